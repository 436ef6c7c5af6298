"""The strict check against the XML conformance test suite (tests/data/xmlconf.tgz).

Every case that applies to XML 1.0, fifth edition, is run: `valid` and `invalid` documents
must be accepted (they are well formed; validity is not checked), `not-wf` ones rejected.
Skipped: XML 1.1 and Namespaces 1.1 cases, cases for the first four editions only, and the
`error` cases (errors a processor may choose not to report). The cases whose outcome differs
are listed below with the reason; a new difference, or one that went away, fails the test.
"""

from __future__ import annotations

import tarfile
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest
import varnex

SUITE = Path(__file__).parents[1] / "data" / "xmlconf.tgz"
XML_BASE = "{http://www.w3.org/XML/1998/namespace}base"

# reason -> the `not-wf` cases that are accepted for it.
EXPECTED_DIFFERENCES = {
    "not well-formed only in an external entity or the external subset, never read": [
        "not-wf-not-sa-001", "not-wf-not-sa-003", "not-wf-not-sa-004", "not-wf-not-sa-006",
        "not-wf-not-sa-007", "not-wf-not-sa-008", "not-wf-not-sa-009", "not-wf-ext-sa-001",
        "not-wf-ext-sa-002", "not-wf-ext-sa-003", "cond01", "cond02", "decl01", "dtd07",
        "encoding07", "o-p09fail1", "o-p09fail2", "o-p30fail1", "o-p31fail1", "o-p61fail1",
        "o-p62fail1", "o-p62fail2", "o-p63fail1", "o-p63fail2", "o-p64fail1", "o-p64fail2",
        "ibm-not-wf-p28a-ibm28an01.xml", "ibm-not-wf-P30-ibm30n01.xml",
        "ibm-not-wf-P31-ibm31n01.xml", "ibm-not-wf-P61-ibm61n01.xml",
        "ibm-not-wf-P62-ibm62n01.xml", "ibm-not-wf-P62-ibm62n02.xml",
        "ibm-not-wf-P62-ibm62n03.xml", "ibm-not-wf-P62-ibm62n04.xml",
        "ibm-not-wf-P62-ibm62n05.xml", "ibm-not-wf-P62-ibm62n06.xml",
        "ibm-not-wf-P62-ibm62n07.xml", "ibm-not-wf-P62-ibm62n08.xml",
        "ibm-not-wf-P63-ibm63n01.xml", "ibm-not-wf-P63-ibm63n02.xml",
        "ibm-not-wf-P63-ibm63n03.xml", "ibm-not-wf-P63-ibm63n04.xml",
        "ibm-not-wf-P63-ibm63n05.xml", "ibm-not-wf-P63-ibm63n06.xml",
        "ibm-not-wf-P63-ibm63n07.xml", "ibm-not-wf-P64-ibm64n01.xml",
        "ibm-not-wf-P64-ibm64n02.xml", "ibm-not-wf-P64-ibm64n03.xml",
        "ibm-not-wf-P65-ibm65n01.xml", "ibm-not-wf-P65-ibm65n02.xml",
        "ibm-not-wf-P77-ibm77n01.xml", "ibm-not-wf-P77-ibm77n02.xml",
        "ibm-not-wf-P77-ibm77n03.xml", "ibm-not-wf-P77-ibm77n04.xml",
        "ibm-not-wf-P78-ibm78n01.xml", "ibm-not-wf-P78-ibm78n02.xml",
        "ibm-not-wf-P79-ibm79n01.xml", "ibm-not-wf-P79-ibm79n02.xml", "rmt-e2e-38",
    ],
    "namespace constraints beyond unique expanded attribute names are not checked: QName "
    "syntax, unbound prefixes, the reserved xml and xmlns prefixes, colons in PI and entity "
    "names": [
        "rmt-ns10-013", "rmt-ns10-014", "rmt-ns10-015", "rmt-ns10-016", "rmt-ns10-023",
        "rmt-ns10-025", "rmt-ns10-026", "rmt-ns10-029", "rmt-ns10-030", "rmt-ns10-031",
        "rmt-ns10-032", "rmt-ns10-033", "rmt-ns10-042", "rmt-ns10-043", "rmt-ns10-044",
        "rmt-ns-e1.0-13a", "rmt-ns-e1.0-13b", "rmt-ns-e1.0-13c",
    ],
    "attribute types declared in the DTD are not applied, so a namespace name normalised as "
    "an NMTOKEN compares unnormalised": ["rmt-ns10-012"],
}


def applies(test: ET.Element) -> bool:
    """Whether the case is one for an XML 1.0 (fifth edition) processor."""
    if test.get("TYPE") not in ("valid", "invalid", "not-wf"):
        return False
    if test.get("VERSION", "1.0") != "1.0":
        return False
    if test.get("RECOMMENDATION", "").startswith(("XML1.1", "NS1.1")):
        return False
    edition = test.get("EDITION")
    return edition is None or "5" in edition.split()


def cases(root: Path):
    """(test element, document path) for every case in the flattened index."""
    index = ET.parse(root / "cleaned" / "xmlconf-flattened.xml").getroot()

    def walk(element: ET.Element, base: str):
        base += element.get(XML_BASE) or ""
        for child in element:
            if child.tag == "TEST":
                yield child, root / "xmlconf" / base / child.get("URI")
            else:
                yield from walk(child, base)

    yield from walk(index, "")


@pytest.fixture(scope="module")
def suite(tmp_path_factory) -> list[tuple[str, str, bytes]]:
    """(ID, TYPE, document bytes) of every case that applies."""
    folder = tmp_path_factory.mktemp("xmlconf")
    with tarfile.open(SUITE) as archive:
        if hasattr(tarfile, "data_filter"):  # Python 3.11.4 and later
            archive.extractall(folder, filter="data")
        else:
            archive.extractall(folder)
    return [
        (test.get("ID"), test.get("TYPE"), path.read_bytes())
        for test, path in cases(folder / "xmlconf")
        if applies(test)
    ]


def test_the_suite_is_all_there(suite):
    kinds = {kind: sum(1 for _, t, _ in suite if t == kind) for kind in ("valid", "invalid")}
    assert len(suite) > 1900 and kinds["valid"] > 700 and kinds["invalid"] > 200


def test_every_case_is_judged_as_the_suite_says_but_the_listed_ones(suite):
    expected = {case: reason for reason, ids in EXPECTED_DIFFERENCES.items() for case in ids}
    differences = {
        case
        for case, kind, data in suite
        if varnex.validate(data, strict=True) != (kind != "not-wf")
    }
    assert sorted(differences - expected.keys()) == [], "new differences"
    assert sorted(expected.keys() - differences) == [], "differences gone: update the table"


def test_check_locates_each_rejection_inside_the_document(suite):
    accepted = {case for ids in EXPECTED_DIFFERENCES.values() for case in ids}
    for case, kind, data in suite:
        if kind != "not-wf" or case in accepted:
            continue
        with pytest.raises(varnex.XMLSyntaxError) as caught:
            varnex.check(data)
        error = caught.value
        assert error.message and error.line >= 1 and error.column >= 1, case
        assert error.offset is None or 0 <= error.offset <= len(data), case


def test_every_classifier_of_the_index_reads_every_case_alike(suite):
    # The index's kernels (one per instruction set, picked at run time) must agree byte for
    # byte on the suite's odd markup; the portable one is the reference.
    paths = ["portable", "sse2", "avx2", "avx512"]

    def answers(data: bytes):
        out = []
        for call in (lambda: varnex.validate(data), lambda: varnex.get(data, "**.#").value,
                     lambda: varnex.get(data, "**.@*|@count").value,
                     lambda: str(varnex.get(data, "*.*"))):
            try:
                out.append(call())
            except Exception as error:  # noqa: BLE001 - the error is the answer
                out.append((type(error).__name__, str(error)))
        return out

    before = varnex._varnex._set_index_path("portable")
    try:
        want = [answers(data) for _, _, data in suite]
        for path in paths[1:]:
            varnex._varnex._set_index_path(path)
            got = [answers(data) for _, _, data in suite]
            bad = [case for (case, _, _), a, b in zip(suite, want, got, strict=True) if a != b]
            assert bad == [], path
    finally:
        varnex._varnex._set_index_path(before)
