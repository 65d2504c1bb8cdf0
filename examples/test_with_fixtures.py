"""Tests of Tcl code with the package's pytest fixtures: run them with
`pytest examples/test_with_fixtures.py` once the package is installed.

`tcl` is a fresh interpreter for each test, `tcl_session` one for the whole
session and `tcl_factory` makes more.  A failing test shows its Tcl calls and
the Tcl error trace in its report, under "Tcl history".
"""
from typing import Callable

import pytest

from tarvo.tcl.interpreter import Interpreter, TclError


@pytest.fixture(scope="session")
def geometry(tcl_session: Interpreter) -> Interpreter:
    """The session's interpreter with the procedures under test loaded once."""
    tcl_session.eval("namespace eval geometry {proc area {w h} {expr {$w * $h}}}")
    return tcl_session


def test_area(geometry: Interpreter) -> None:
    assert geometry.eval("geometry::area 3 4") == "12"
    assert geometry.jot.geometry.area(2.5, 2) == 5.0  # a quick call, typed by cast_any


def test_area_needs_numbers(geometry: Interpreter) -> None:
    with pytest.raises(TclError, match="non-numeric string"):
        geometry.eval("geometry::area three 4")


def test_keyed_list(tcl: Interpreter) -> None:
    tcl.set_keyed_list("::device", {"name.vendor": "acme", "ports": 4})
    assert tcl.eval("keylget ::device name.vendor") == "acme"
    assert tcl.get_keyed_list("::device").all_items() == [("name.vendor", "acme"), ("ports", "4")]


def test_callback(tcl: Interpreter) -> None:
    seen: list[str] = []
    tcl.create_callback(seen.append, cmd_name="record")
    tcl.eval("record a; record {b c}")
    assert seen == ["a", "b c"]


def test_interpreters_are_separate(tcl_factory: Callable[[], Interpreter]) -> None:
    one, two = tcl_factory(), tcl_factory()
    one.set_var("::x", 1)
    assert "::x" not in two.vars
