"""A mapped file that shrinks while it is read: the call fails with OSError, the process lives."""

from __future__ import annotations

import mmap
import os
import signal
import subprocess
import sys
import threading

import pytest
import varnex

CHANGED = "the file changed while it was read"
COUNT = 200_000
DOC = b"<r>" + b"".join(b"<a><b>%d</b></a>" % i for i in range(COUNT)) + b"</r>"

pytestmark = pytest.mark.skipif(not hasattr(signal, "SIGBUS"), reason="needs SIGBUS")


def shrunk_map(path, access=mmap.ACCESS_READ):
    """A map of the whole document whose file is then cut to 1000 bytes."""
    path.write_bytes(DOC)
    with open(path, "r+b") as f:
        m = mmap.mmap(f.fileno(), 0, access=access)
    os.truncate(path, 1000)
    return m


CALLS = {
    "get_buffer": lambda m: varnex.get_buffer(m, "r.a.#.b|@count"),
    "Path.get_buffer": lambda m: varnex.compile("r.a.#").get_buffer(m),
    "get_many_buffer": lambda m: varnex.get_many_buffer(m, ["r.a.#", "r.a.#.b|@sum"]),
    "validate": varnex.validate,
    "records": lambda m: varnex.records(m, "r.a.#", {"b": "b"}),
    "table": lambda m: varnex.table(m, "r.a.#", {"b": "b"}),
    "parse.get": lambda m: varnex.parse(m).get("r.a.#"),
    "parse.to_str": lambda m: varnex.parse(m).to_str(),
    "parse[key]": lambda m: varnex.parse(m)["a"],
    "parse.keys": lambda m: list(varnex.parse(m).keys()),
    "memoryview": lambda m: varnex.get_buffer(memoryview(m)[3:], "a.#"),
}


@pytest.mark.parametrize("access", [mmap.ACCESS_READ, mmap.ACCESS_WRITE], ids=["read", "write"])
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS)
def test_every_read_of_a_shrunk_map_fails_and_fails_again(tmp_path, call, access):
    m = shrunk_map(tmp_path / "doc.xml", access)
    for _ in range(2):  # the map is as it was after the first: the second meets the fault too
        with pytest.raises(OSError, match=f"^{CHANGED}$"):
            call(m)
    m.close()


# After the error, the map is the file's again: a read past its new end is a bus error, as it
# was before the call (the pages are not left as zeros).
AFTER = """
import mmap, os, sys, varnex
path = sys.argv[1]
with open(path, "r+b") as f:
    m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
os.truncate(path, 1000)
try:
    varnex.get_buffer(m, "r.a.#")
except OSError as error:
    print(error, flush=True)
print(m[len(m) - 1], flush=True)
"""


def test_the_map_is_left_as_it_was(tmp_path):
    (tmp_path / "doc.xml").write_bytes(DOC)
    done = subprocess.run([sys.executable, "-c", AFTER, str(tmp_path / "doc.xml")],
                          capture_output=True, timeout=60)
    assert done.stdout == CHANGED.encode() + b"\n"
    if "asan" in os.environ.get("LD_PRELOAD", ""):  # the sanitizer's handler reports it
        assert done.returncode != 0 and b"AddressSanitizer: BUS" in done.stderr
    else:
        assert done.returncode == -signal.SIGBUS


def test_readers_on_other_threads_never_answer_from_missing_pages(tmp_path):
    """A file cut by one thread while others read its map with the lock released: each
    answer is the whole answer or OSError, never a count of what was left."""
    path = tmp_path / "doc.xml"
    for _ in range(20):
        path.write_bytes(DOC)
        with open(path, "rb") as f:
            m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        answers, started = [], threading.Barrier(3)

        def read(m=m, answers=answers, started=started):
            started.wait()
            for _ in range(50):
                try:
                    answers.append(varnex.get_buffer(m, "r.a.#").value)
                except OSError as error:
                    answers.append(str(error))
        readers = [threading.Thread(target=read) for _ in range(2)]
        for reader in readers:
            reader.start()
        started.wait()
        os.truncate(path, 1000)
        for reader in readers:
            reader.join()
        m.close()
        assert set(answers) <= {COUNT, CHANGED}
        if CHANGED in answers:
            break
    assert CHANGED in answers


def test_a_file_that_shrinks_while_it_is_streamed(tmp_path):
    path = tmp_path / "doc.xml"
    path.write_bytes(DOC)
    batches = iter(varnex.iter_batches(path, "r.a.#", {"b": "b"}, batch_rows=1000))
    assert next(batches).num_rows == 1000
    os.truncate(path, 1000)
    with pytest.raises(OSError, match=f"^{CHANGED}$"):
        for _ in batches:
            pass
