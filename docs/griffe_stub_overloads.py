"""A Griffe extension for the API reference: an overloaded function of a stub has no
implementation for Griffe to hang its overloads on, so the first overload stands for the
function and the others are shown as its overloads."""

from __future__ import annotations

from typing import Any

import griffe


class StubOverloads(griffe.Extension):
    def on_module_members(self, *, mod: griffe.Module, **kwargs: Any) -> None:
        _promote(mod)

    def on_class_members(self, *, cls: griffe.Class, **kwargs: Any) -> None:
        _promote(cls)


def _promote(owner: griffe.Module | griffe.Class) -> None:
    for name, overloads in list(owner.overloads.items()):
        if overloads and name not in owner.members:
            owner.set_member(name, overloads[0])
            overloads[0].overloads = overloads[1:]
            del owner.overloads[name]
