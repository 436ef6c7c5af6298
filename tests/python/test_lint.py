"""Source guards: the core stays free of Python, the binding stays on the limited API."""

from __future__ import annotations

import re
import shutil
import subprocess
from pathlib import Path

import pytest
import varnex._varnex

SRC = Path(__file__).resolve().parents[2] / "src"
CORE = [p for layer in ("xml", "path", "engine", "values")
        for p in sorted((SRC / layer).glob("*.[ch]pp"))]
BINDING = sorted((SRC / "python").glob("*.[ch]pp"))

# What a build for 3.11's limited API still compiles: private names and the
# interpreter's internal headers (every other call outside it is undeclared there).
NON_LIMITED = re.compile(r"\b(_Py\w+|Py_BUILD_CORE)\b|#\s*include\s*[<\"]cpython/")
PYTHON_INCLUDE = re.compile(r"#\s*include\s*[<\"]Python\.h[>\"]")


def code_only(path: Path) -> str:
    text = path.read_text()
    text = re.sub(r"//[^\n]*", "", text)
    return re.sub(r"/\*.*?\*/", "", text, flags=re.S)


@pytest.mark.skipif(not SRC.is_dir(), reason="needs the source tree")
def test_core_never_includes_python():
    offenders = [p.name for p in CORE if PYTHON_INCLUDE.search(p.read_text())]
    assert offenders == []
    assert CORE, "core sources not found"


@pytest.mark.skipif(not SRC.is_dir(), reason="needs the source tree")
def test_binding_uses_only_the_limited_api():
    offenders = {
        p.name: sorted(set(NON_LIMITED.findall(code_only(p)))) for p in BINDING
    }
    assert {k: v for k, v in offenders.items() if v} == {}
    # The limited API is chosen by the build, never redefined in a source file.
    assert not any("Py_LIMITED_API" in code_only(p) for p in BINDING)


@pytest.mark.skipif(not SRC.is_dir(), reason="needs the source tree")
def test_only_the_message_table_words_an_exception():
    worded = re.compile(r"\bPyErr_(SetString|Format)\s*\(")
    offenders = [p.name for p in BINDING
                 if p.stem != "messages" and worded.search(code_only(p))]
    assert offenders == []


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_binding_exports_only_its_init_function():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", varnex._varnex.__file__],
        capture_output=True, text=True, check=True,
    ).stdout
    exported = {line.split()[-1] for line in out.splitlines() if " T " in line}
    assert "PyInit__varnex" in exported
    assert sorted(s for s in exported if "varnex6python" in s or s.startswith("Py")) == [
        "PyInit__varnex"
    ]
