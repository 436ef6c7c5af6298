"""Every example in docs/ runs: pycon blocks as doctests, python blocks as code, console
blocks as shell commands whose output is compared. Each page runs top to bottom in one
namespace, in a fresh folder holding catalog.xml, so a page's examples build on each other."""

from __future__ import annotations

import doctest
import os
import re
import shutil
import subprocess
import sys
import types
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = sorted(DOCS.glob("**/*.md"))

# A fenced block, also when indented (inside a tab or a list item).
FENCE = re.compile(
    r"^(?P<indent>[ \t]*)(?P<fence>```+)(?P<lang>[\w-]*)[^\n]*\n"
    r"(?P<body>.*?)^(?P=indent)(?P=fence)[ \t]*$",
    re.M | re.S,
)
RUN = {"pycon", "python", "console"}
SHOWN_ONLY = {"xml", "text", "sh", "toml"}  # files, grammar and install lines: shown, not run
FLAGS = doctest.ELLIPSIS


def blocks(page: Path) -> list[tuple[int, str, str]]:
    """(line, language, code) of each fenced block, the indentation of tabs removed."""
    text = page.read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        indent = len(match["indent"])
        body = "".join(line[indent:] for line in match["body"].splitlines(keepends=True))
        found.append((text.count("\n", 0, match.start()) + 1, match["lang"], body))
    return found


@pytest.fixture
def folder(tmp_path, monkeypatch):
    shutil.copy(ROOT / "examples" / "catalog.xml", tmp_path / "catalog.xml")
    monkeypatch.chdir(tmp_path)
    # The installed console script first: the command-line page runs `varnex`.
    monkeypatch.setenv("PATH", f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    return tmp_path


def test_every_block_is_run_or_plainly_not_code():
    for page in PAGES:
        for line, lang, _ in blocks(page):
            assert lang in RUN | SHOWN_ONLY, f"{page.name}:{line}: fence language {lang!r}"


@pytest.mark.parametrize("page", PAGES, ids=[p.relative_to(DOCS).as_posix() for p in PAGES])
def test_examples_run(page, folder):
    # A module of its own, so functions a page defines pickle for a process pool.
    module = types.ModuleType(f"docs_{page.stem}")
    sys.modules[module.__name__] = module
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    parser = doctest.DocTestParser()
    try:
        for line, lang, code in blocks(page):
            where = f"{page.relative_to(ROOT)}:{line}"
            if lang == "python":
                exec(compile(code, where, "exec"), module.__dict__)
            elif lang == "pycon":
                test = parser.get_doctest(code, {}, where, str(page), line)
                test.globs = module.__dict__  # not the copy doctest makes: pages run on
                result = runner.run(test, clear_globs=False)
                assert result.failed == 0, f"{where}: a doctest failed (see the output above)"
            elif lang == "console":
                run_console(code, where)
    finally:
        del sys.modules[module.__name__]


def run_console(code: str, where: str) -> None:
    """`$ command` lines, each followed by what it prints (standard output and error)."""
    commands: list[tuple[str, list[str]]] = []
    for line in code.splitlines():
        if line.startswith("$ "):
            commands.append((line[2:], []))
        else:
            assert commands, f"{where}: output before the first command"
            commands[-1][1].append(line)
    for command, expected in commands:
        # One pipe for both streams, so lines keep the order they were written in.
        done = subprocess.run(["bash", "-c", command], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=120)
        assert done.stdout.splitlines() == expected, f"{where}: {command}"
