"""Threads: passes without the interpreter lock, shared documents, pickled paths."""

from __future__ import annotations

import concurrent.futures
import copy
import mmap
import pickle
import subprocess
import sys
import threading
import time

import pytest
import varnex
from conftest import pieces
from varnex._fields import Plan

# About 4 MB: long enough a pass for another thread to be scheduled meanwhile.
BOOKS = 40_000
DOC = (
    b'<?xml version="1.0"?>\n<catalog>\n'
    + b"".join(b'  <book id="b%d"><title>T%d &amp; co</title><price>%d</price></book>\n'
               % (i, i, i % 50) for i in range(BOOKS))
    + b"</catalog>\n"
)
SMALL = DOC[: DOC.index(b"<book", 2000)] + b"</catalog>\n"  # a few KB: the lock is kept
MID = DOC[: DOC.index(b"<book", 200_000)] + b"</catalog>\n"  # released, and quick to answer
UTF16 = DOC.replace(b"?>", b' encoding="UTF-16"?>', 1).decode().encode("utf-16")
FIELDS = {"id": "@id", "title": "title"}

# An entry point for each place a pass runs (the Path methods and the other get_many
# functions share theirs), with the kinds of data it takes ("bytes", "str", "buffer")
# and a call that gives comparable plain values.
ENTRIES = {
    "get": ({"str"}, lambda d: pieces(varnex.get(d, "catalog.book.#.@id|@last"))),
    "get_bytes": ({"bytes"}, lambda d: pieces(varnex.get_bytes(d, "catalog.book.#"))),
    "get_buffer": ({"buffer"}, lambda d: pieces(varnex.get_buffer(d, "catalog.book|@last"))),
    "get_many_bytes": ({"bytes"},
                       lambda d: [pieces(r) for r in varnex.get_many_bytes(d, ["catalog.book.#"])]),
    "validate": ({"bytes", "str", "buffer"}, varnex.validate),
    "Result.get": ({"bytes", "str", "buffer"},
                   lambda d: pieces(varnex.parse(d).get("catalog.book.#.@id|@last"))),
    "Result.get_many": ({"bytes", "str", "buffer"}, lambda d: [
        pieces(r) for r in varnex.parse(d).get_many(["catalog.book.#"])]),
    "Result[name]": ({"bytes", "str", "buffer"}, lambda d: len(varnex.parse(d)["book"])),
    "records": ({"bytes", "str", "buffer"},
                lambda d: varnex.records(d, "catalog.book.#", FIELDS)[-1]),
    # The native part of table(): pyarrow, which wraps its columns, gives up the lock itself.
    "table": ({"bytes", "str", "buffer"},
              lambda d: varnex._varnex._table(d, Plan("catalog.book.#", FIELDS).capsule)[0][0][0]),
}


def read_only_map(data: bytes, tmp_path, access: int = mmap.ACCESS_READ) -> mmap.mmap:
    name = tmp_path / f"doc-{access}.xml"
    name.write_bytes(data)
    with open(name, "r+b") as f:
        return mmap.mmap(f.fileno(), 0, access=access)


# Each source: its kind, whether a pass over it may run without the lock, a
# maker, and the entries it is tried with when not all that take its kind.
SOURCES = {
    "bytes": ("bytes", True, lambda tmp: DOC, None),
    "str": ("str", True, lambda tmp: DOC.decode(), None),
    "memoryview of bytes": ("buffer", True, lambda tmp: memoryview(DOC)[1:], None),
    "read-only mmap": ("buffer", True, lambda tmp: read_only_map(DOC, tmp), None),
    "memoryview of a read-only mmap": (
        "buffer", True, lambda tmp: memoryview(read_only_map(DOC, tmp)),
        {"get_buffer", "validate"}),
    "UTF-16 bytearray, read as a decoded copy": (
        "buffer", True, lambda tmp: bytearray(UTF16), {"get_buffer", "records"}),
    "small bytes": ("bytes", False, lambda tmp: SMALL, {"get_bytes", "validate"}),
    "bytearray": ("buffer", False, lambda tmp: bytearray(DOC), None),
    "read-only memoryview of a bytearray": (
        "buffer", False, lambda tmp: memoryview(bytearray(DOC)).toreadonly(), None),
    "writable mmap": (
        "buffer", False, lambda tmp: read_only_map(DOC, tmp, access=mmap.ACCESS_WRITE), None),
    "read-only memoryview of a writable mmap": (
        "buffer", False,
        lambda tmp: memoryview(read_only_map(DOC, tmp, access=mmap.ACCESS_WRITE)).toreadonly(),
        {"get_buffer", "validate"}),
}

CASES = [(entry, source) for entry, (kinds, _) in ENTRIES.items()
         for source, (kind, _, _, only) in SOURCES.items()
         if kind in kinds and (only is None or entry in only)]


def other_thread_ran(call) -> bool:
    """Whether a thread waiting for the lock ran its Python loop while `call` was running.

    The switch interval is made so long that the interpreter never takes the lock
    away from this thread: the other thread can run only where `call` gives it up.
    """
    old = sys.getswitchinterval()
    sys.setswitchinterval(60)
    steps: list[int] = []
    try:
        go = threading.Event()

        def loop() -> None:
            go.wait()
            for i in range(100):
                steps.append(i)

        worker = threading.Thread(target=loop)
        worker.start()
        go.set()  # the worker now waits for the lock
        call()
        ran = bool(steps)
        worker.join()  # gives the lock up: the loop runs now if it has not
    finally:
        sys.setswitchinterval(old)
    assert len(steps) == 100
    return ran


@pytest.mark.parametrize(("entry", "source"), CASES)
def test_the_lock_is_released_only_over_immutable_documents(entry, source, tmp_path):
    _, call = ENTRIES[entry]
    _, releases, make, _ = SOURCES[source]
    data = make(tmp_path)
    expected = call(data)
    if releases:
        # The other thread must be scheduled while a pass runs, which on a
        # busy machine can take many tries: keep trying for a while.
        deadline = time.monotonic() + 30
        while not other_thread_ran(lambda: call(data)):
            assert time.monotonic() < deadline, "the other thread never ran during a pass"
    else:
        assert not other_thread_ran(lambda: call(data))
    assert call(data) == expected


def test_threads_sharing_documents_and_paths_agree_with_one_thread():
    docs = {"bytes": MID, "str": MID.decode(), "buffer": memoryview(MID)}
    shared = [varnex.compile(p) for p in ("catalog.book.#.title", "catalog.book#(price>45)#.@id",
                                          "**.title|@count", "catalog.book.7")]

    def job(k: int):
        kind = ("bytes", "str", "buffer")[k % 3]
        doc = docs[kind]
        path = shared[k % len(shared)]
        run = {"bytes": path.get_bytes, "str": path.get, "buffer": path.get_buffer}[kind]
        return (pieces(run(doc)),
                [pieces(r) for r in varnex.get_many_bytes(MID, [*shared, "catalog.book.#"])],
                varnex.records(doc, "catalog.book#(price==3)#", FIELDS),
                pieces(varnex.parse(doc).get(f"catalog.book.{k}.title")),
                varnex.validate(doc))

    jobs = range(24)
    alone = [job(k) for k in jobs]
    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        together = list(pool.map(job, jobs))
    assert together == alone


PASSES_IN_THREADS = """
import os, sys, threading, time, varnex
doc = b"<a>" + b"<b>x</b>" * 200_000 + b"</a>"
def loop():
    while True:
        varnex.get_bytes(doc, "a.b.#")
for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.2)
"""

EXITS = {
    # Threads still in passes when the interpreter exits (after a teardown
    # long enough to meet them).
    "daemon threads": "junk = [[i] for i in range(300_000)]",
    # A child forked while another thread was in a pass runs its exit handlers.
    "forked child": """
for _ in range(5):
    pid = os.fork()
    if pid == 0:
        sys.exit(0)
    assert os.waitpid(pid, 0)[1] == 0
""",
}


@pytest.mark.parametrize("exit", list(EXITS))
def test_the_interpreter_exits_cleanly_while_threads_run_passes(exit):
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", PASSES_IN_THREADS + EXITS[exit]],
                          capture_output=True, timeout=120)
    assert (done.returncode, done.stderr.decode()) == (0, "")


PATHS = ["catalog.book.#.title", 'catalog.book#(@id=="b7").title', "**.price|@sum",
         'a\\."b\t', "caf\u00e9.\u0301x", "catalog.book.3|@reverse"]


@pytest.mark.parametrize("path", PATHS)
def test_paths_pickle_and_copy_as_their_text(path):
    original = varnex.compile(path)
    copies = [pickle.loads(pickle.dumps(original, protocol))
              for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1)]
    copies += [copy.copy(original), copy.deepcopy([original])[0]]
    for made in copies:
        assert type(made) is varnex.Path and repr(made) == repr(original)
        assert made == original and hash(made) == hash(original) and not made != original
        assert pieces(made.get_bytes(SMALL)) == pieces(original.get_bytes(SMALL))
    assert original != varnex.compile("catalog") and original != path


def test_results_do_not_pickle_and_say_what_does():
    result = varnex.get_bytes(b"<a><b>1</b></a>", "a.b")
    for attempt in (pickle.dumps, copy.copy):
        with pytest.raises(TypeError, match=r"to_str\(\), value, or to_str_list\(\)"):
            attempt(result)
