"""`varnex --records` and compressed input, run as the installed console script."""

from __future__ import annotations

import bz2
import csv
import gzip
import io
import json
import lzma
import subprocess
import sys
from pathlib import Path

import pyarrow.parquet as pq
import pytest

SCRIPT = Path(sys.executable).parent / "varnex"
DOC = ('<?xml version="1.0"?><shop>' + "".join(
    f'<item id="{i}"><name>N,"{i}"\tx</name><price>{i}.5</price><tag>a</tag><tag>b</tag></item>\n'
    for i in range(300)) + "</shop>").encode()
FIELDS = ["-f", "id:int64=@id", "-f", "name=name", "-f", "price:float64=price", "-f", "tags=tag.#"]
PACKED = {"xml": DOC, "xml.gz": gzip.compress(DOC), "xml.bz2": bz2.compress(DOC),
          "xml.xz": lzma.compress(DOC)}


def varnex(*args: str, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([str(SCRIPT), *args], input=stdin, capture_output=True, timeout=60)


@pytest.fixture
def files(tmp_path):
    for suffix, data in PACKED.items():
        (tmp_path / f"shop.{suffix}").write_bytes(data)
    return tmp_path


@pytest.mark.parametrize("suffix", list(PACKED))
def test_csv_rows_from_files_and_from_standard_input(files, suffix):
    for run in (varnex("--records", "shop.item", *FIELDS, str(files / f"shop.{suffix}")),
                varnex("--records", "shop.item", *FIELDS, stdin=PACKED[suffix])):
        assert run.returncode == 0, run.stderr
        rows = list(csv.reader(io.StringIO(run.stdout.decode())))
        assert rows[0] == ["id", "name", "price", "tags"]
        assert rows[1] == ["0", 'N,"0"\tx', "0.5", '["a", "b"]']
        assert len(rows) == 301
        assert run.stderr == b""  # no progress line: standard error is no terminal


def test_tsv_and_jsonl_rows(files):
    run = varnex("--records", "shop.item", *FIELDS, "--tsv", str(files / "shop.xml.gz"))
    lines = run.stdout.decode().splitlines()
    assert lines[:2] == ["id\tname\tprice\ttags", '0\tN,"0"\\tx\t0.5\t["a", "b"]']
    run = varnex("--records", "shop.item", *FIELDS, "--jsonl", str(files / "shop.xml.bz2"))
    rows = [json.loads(line) for line in run.stdout.splitlines()]
    assert rows[299] == {"id": 299, "name": 'N,"299"\tx', "price": 299.5, "tags": ["a", "b"]}


def test_parquet_out_of_several_files(files, tmp_path):
    out = tmp_path / "shop.parquet"
    run = varnex("--records", "shop.item", *FIELDS, "--parquet", str(out),
                 str(files / "shop.xml.xz"), str(files / "shop.xml"))
    assert run.returncode == 0, run.stderr
    table = pq.read_table(out)
    assert table.num_rows == 600
    assert table.schema.field("price").type == "double"
    assert table.column("id").to_pylist() == list(range(300)) * 2


def test_statuses_and_errors(files, tmp_path):
    none = varnex("--records", "shop.nothing", "-f", "x=@id", str(files / "shop.xml"))
    assert none.returncode == 1 and none.stdout == b"x\n"
    truncated = tmp_path / "cut.xml.gz"
    truncated.write_bytes(PACKED["xml.gz"][:2000])
    run = varnex("--records", "shop.item", *FIELDS, str(truncated))
    assert run.returncode == 2
    assert b"the gzip data ends early: truncated after compressed byte 2000" in run.stderr
    assert run.stdout.count(b"\n") > 10  # the rows before the end are written
    for args, message in [
        (["--records", "shop.item"], b"--records needs at least one -f NAME=PATH"),
        (["--records", "shop.item", "-f", "x"], b"-f x: give NAME=PATH or NAME:TYPE=PATH"),
        (["--records", "shop.item", "-f", "x:money=@id"], b"money"),
        (["--records", "shop.item", "-f", "x=@id", "-c"], b"--records writes --csv"),
        (["-f", "x=@id", "shop.item"], b"go with --records"),
    ]:
        run = varnex(*args, str(files / "shop.xml"))
        assert run.returncode == 2 and message in run.stderr, (args, run.stderr)
    missing = varnex("--records", "shop.item", "-f", "x=@id", str(tmp_path / "none.xml"))
    assert missing.returncode == 2 and b"none.xml: No such file" in missing.stderr


def test_queries_read_compressed_files_too(files):
    for suffix in PACKED:
        run = varnex("-c", "shop.item", str(files / f"shop.{suffix}"))
        assert run.stdout == b"300\n", suffix
    assert varnex("-c", "shop.item", stdin=PACKED["xml.bz2"]).stdout == b"300\n"


def test_ctrl_c_stops_an_endless_stream():
    import signal
    import threading
    import time

    # SIGINT as a terminal sends it (a background job, as CI may be, inherits it ignored).
    proc = subprocess.Popen([str(SCRIPT), "--records", "r.a", "-f", "x=@id"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert proc.stdin is not None and proc.stdout is not None

    def feed() -> None:
        try:
            proc.stdin.write(b"<r>")
            while True:
                proc.stdin.write(b'<a id="1"/>' * 10_000)
        except (OSError, ValueError):
            pass

    threading.Thread(target=feed, daemon=True).start()
    # Rows coming out: the stream is running (a signal during start-up would only test the
    # interpreter's imports).
    assert proc.stdout.read(1)
    threading.Thread(target=proc.stdout.read, daemon=True).start()
    time.sleep(0.2)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=10) == 130
