"""The native module's docstrings, read from its type stub, as a C++ header.

The stub is where they are written (the reference docs read it too); the build turns each
into a string constant that the binding's method tables and type specs use, so what
`help()` shows cannot drift from what the stub says. Only the standard library is used:
the build's own Python runs this.

Usage: python stub_docstrings.py STUB HEADER
"""

from __future__ import annotations

import ast
import inspect
import re
import sys
from dataclasses import dataclass
from pathlib import Path

# `[`get_bytes`][varnex._varnex.get_bytes]`, a link on the docs site, reads as `get_bytes`.
_CROSS_REFERENCE = re.compile(r"\[(`[^`\]]+`)\]\[[\w.]+\]")


@dataclass(frozen=True)
class Doc:
    text: str  # what __doc__ is at run time
    signature: str | None  # what __text_signature__ is, "($self, path)"; None for none

    def internal(self, name: str) -> str:
        """The text the interpreter is given: its signature line first, where there is one."""
        if self.signature is None:
            return self.text
        return f"{name}{self.signature}\n--\n\n{self.text}"


def runtime_text(doc: str) -> str:
    """A stub docstring as the interpreter shows it."""
    return _CROSS_REFERENCE.sub(r"\1", doc)


def _signature(function: ast.FunctionDef, is_method: bool) -> str:
    args = function.args
    positional = [*args.posonlyargs, *args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    parts = []
    for index, (arg, default) in enumerate(zip(positional, defaults, strict=True)):
        name = "$" + arg.arg if is_method and index == 0 else arg.arg
        parts.append(name if default is None else f"{name}={ast.unparse(default)}")
        if args.posonlyargs and index == len(args.posonlyargs) - 1:
            parts.append("/")
    if args.vararg:
        parts.append("*" + args.vararg.arg)
    elif args.kwonlyargs:
        parts.append("*")
    for arg, default in zip(args.kwonlyargs, args.kw_defaults, strict=True):
        parts.append(arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}")
    if args.kwarg:
        parts.append("**" + args.kwarg.arg)
    return "(" + ", ".join(parts) + ")"


def _is_property(function: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in function.decorator_list)


def _attributes(body: list[ast.stmt]) -> list[tuple[str, str]]:
    """Annotated attributes followed by a docstring: (name, docstring)."""
    found = []
    for statement, following in zip(body, body[1:], strict=False):
        if (isinstance(statement, ast.AnnAssign) and isinstance(statement.target, ast.Name)
                and isinstance(following, ast.Expr)
                and isinstance(following.value, ast.Constant)
                and isinstance(following.value.value, str)):
            found.append((statement.target.id, inspect.cleandoc(following.value.value)))
    return found


def _class_text(node: ast.ClassDef) -> str:
    text = ast.get_docstring(node) or ""
    attributes = _attributes(node.body)
    if attributes:
        # Instance attributes have no descriptor to carry their own docstrings.
        lines = ["", "Attributes:"]
        for name, doc in attributes:
            first, *rest = doc.splitlines()
            lines.append(f"    {name}: {first}")
            lines.extend(f"        {line}" if line else "" for line in rest)
        text += "\n" + "\n".join(lines)
    return text


def docstrings(stub: str) -> dict[str, Doc]:
    """Every documented public name of the stub by qualified name ("" is the module itself)."""
    tree = ast.parse(stub)
    found: dict[str, Doc] = {}
    module_doc = ast.get_docstring(tree)
    if module_doc:
        found[""] = Doc(runtime_text(module_doc), None)

    def add_function(node: ast.FunctionDef, prefix: str, is_method: bool) -> None:
        qualname = prefix + node.name
        doc = ast.get_docstring(node)
        if qualname in found or doc is None:  # an overload's first docstring is the one
            return
        if not is_method and node.name.startswith("_"):  # the package's own helpers
            return
        signature = None if _is_property(node) else _signature(node, is_method)
        found[qualname] = Doc(runtime_text(doc), signature)

    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            add_function(node, "", is_method=False)
        elif isinstance(node, ast.ClassDef):
            text = _class_text(node)
            if text:
                found[node.name] = Doc(runtime_text(text), None)
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    add_function(member, node.name + ".", is_method=True)
    return found


_ESCAPES = {"\n": "\\n", '"': '\\"', "\\": "\\\\"}


def _literal(text: str) -> str:
    """A C++ string literal of `text` in UTF-8, one source line per line of text."""
    def escape(c: str) -> str:
        if c in _ESCAPES:
            return _ESCAPES[c]
        if " " <= c <= "~":
            return c
        return "".join(f"\\{byte:03o}" for byte in c.encode())  # octal: at most 3 digits

    lines = text.splitlines(keepends=True) or [""]
    return "\n    ".join('"' + "".join(map(escape, line)) + '"' for line in lines)


def header(stub: str) -> str:
    lines = [
        "// Generated from _varnex.pyi by cmake/stub_docstrings.py: edit the stub, not this.",
        "#pragma once",
        "",
        "namespace varnex::python::doc {",
        "",
    ]
    for qualname, doc in docstrings(stub).items():
        cname = qualname.replace(".", "_") or "module_"
        name = qualname.rpartition(".")[2]
        lines.append(f"inline constexpr char {cname}[] =\n    {_literal(doc.internal(name))};")
    lines += ["", "}  // namespace varnex::python::doc", ""]
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    stub, out = map(Path, argv[1:])
    text = header(stub.read_text(encoding="utf-8"))
    # Rewritten only when it changes, so an edit elsewhere in the stub rebuilds nothing else.
    if not out.exists() or out.read_text(encoding="utf-8") != text:
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
