"""Shared helpers: every query function, fed one document in the form it takes."""

from __future__ import annotations

import signal
import subprocess
import sys
import time

import varnex

# Texts users see from more than one entry point.
NOT_BUFFER = "data must be a buffer-protocol object (mmap, bytearray, memoryview)"
NOT_SOURCE = "data must be bytes, str, or a buffer-protocol object (mmap, bytearray)"
WRONG_TYPE = "argument '{}': '{}' object is not an instance of '{}'"

# name -> (reads text, call(data: bytes, path)); a text reader gets the bytes decoded.
QUERIES = {
    "get": (True, lambda d, p: varnex.get(d.decode(), p)),
    "Path.get": (True, lambda d, p: varnex.compile(p).get(d.decode())),
    "parse(str).get": (True, lambda d, p: varnex.parse(d.decode()).get(p)),
    "get_bytes": (False, lambda d, p: varnex.get_bytes(d, p)),
    "get_buffer": (False, lambda d, p: varnex.get_buffer(bytearray(d), p)),
    "Path.get_bytes": (False, lambda d, p: varnex.compile(p).get_bytes(d)),
    "Path.get_buffer": (False, lambda d, p: varnex.compile(p).get_buffer(memoryview(d))),
    "parse(bytes).get": (False, lambda d, p: varnex.parse(d).get(p)),
    "parse(buffer).get": (False, lambda d, p: varnex.parse(bytearray(d)).get(p)),
}
# The same for several paths in one pass: call(data: bytes, paths) gives a list.
MANY = {
    "get_many": (True, lambda d, ps: varnex.get_many(d.decode(), ps)),
    "get_many_bytes": (False, lambda d, ps: varnex.get_many_bytes(d, ps)),
    "get_many_buffer": (False, lambda d, ps: varnex.get_many_buffer(bytearray(d), ps)),
    "parse.get_many": (False, lambda d, ps: varnex.parse(memoryview(d)).get_many(ps)),
}


def entries(table: dict, data: bytes, text: bool = True):
    """(name, call) of each function in `table` that can read `data`; text readers need UTF-8."""
    try:
        data.decode()
    except UnicodeDecodeError:
        text = False
    return [(name, call) for name, (reads_text, call) in table.items() if text or not reads_text]


def pieces(result) -> list[str]:
    """Each item's raw text (markup for an element with children), in order."""
    if len(result) == 0:
        return []
    if len(result) == 1:
        return [result.to_str()]
    return [item.to_str() for item in result.value]


def texts(*values: str | bytes):
    """A Result of one text item per value, each holding exactly those bytes (not always UTF-8)."""
    raws = [v.encode() if isinstance(v, str) else v for v in values]
    esc = [v.replace(b"&", b"&amp;").replace(b'"', b"&quot;").replace(b"<", b"&lt;") for v in raws]
    doc = b"<r>" + b"".join(b'<i a="' + v + b'"/>' for v in esc) + b"</r>"
    return varnex.get_bytes(doc, "r.i.#.@a")


def interrupted(script: str, *args: str, after: float = 0.3) -> tuple[str, float]:
    """Runs `script` in a child and sends it SIGINT `after` seconds past its "start" line, as a
    terminal sends Ctrl-C (a background job, as CI may be, inherits it ignored). Gives the next
    line it prints, which its handler writes as "interrupted <s>" from the time it reads on
    standard input (the moment of the signal) or as "finished <s>"."""
    child = subprocess.Popen([sys.executable, "-c", script, *args], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        assert child.stdout.readline() == "start\n"
        time.sleep(after)
        child.stdin.write(f"{time.perf_counter()}\n")
        child.stdin.flush()
        child.send_signal(signal.SIGINT)
        outcome, seconds = child.stdout.readline().split()
    finally:
        child.kill()
        child.wait()
    return outcome, float(seconds)
