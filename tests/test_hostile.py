"""Hostile objects at every error exit of the modules: the exception that
comes out is the one that went in (or Python's own TypeError for junk), the
process survives, and the error path leaks nothing.

Hostile objects that tear down the very container being walked can crash a
careless walker outright: those cases run in child processes, in
test_crashes.py.
"""
import importlib.metadata
import logging
import tkinter
from types import SimpleNamespace

import pytest

from support import hostile
from support.hostile import Boom
from tarvo.tcl import history as history_module
from tarvo.tcl import interpreter as interpreter_module
from tarvo.tcl.array import Array
from tarvo.tcl.history import Entry, History
from tarvo.tcl.interpreter import Interpreter, TclError
from tarvo.tcl.namespace import TclCommand, TclNamespace


def check(no_leaks, target, operation, error):
    """`operation(target)` raises `error` (for Boom: the very one raised), and
    does so without leaking."""
    with pytest.raises(error) as info:
        operation(target)
    if error is Boom:
        assert info.value is hostile.last_raised()
        assert info.value.__cause__ is None
    no_leaks(operation, target, raises=error)
    return info.value


def table(cases):
    """parametrize arguments for a table of (name, prepare, operation, error)."""
    return pytest.mark.parametrize("prepare, operation, error", [c[1:] for c in cases], ids=[c[0] for c in cases])


def nothing(monkeypatch, target):
    pass


def setting(**attributes):
    """A preparation that sets attributes on the target."""

    def prepare(monkeypatch, target):
        for name, value in attributes.items():
            monkeypatch.setattr(target, name, value, raising=False)

    return prepare


def patching(module, **attributes):
    """A preparation that replaces names of a module."""

    def prepare(monkeypatch, target):
        for name, value in attributes.items():
            monkeypatch.setattr(module, name, value)

    return prepare


# -- history -----------------------------------------------------------------


class RaisingApi:
    @property
    def api(self):
        hostile.boom()


class BadLogger(logging.Logger):
    isEnabledFor = hostile.boom


class BadDebugLogger(logging.Logger):
    debug = hostile.boom


HISTORY_CASES = [
    ("words whose iteration raises", nothing, lambda h: h.append(hostile.BadIter()), Boom),
    ("words failing midway", nothing, lambda h: h.append(hostile.BadNext(2)), Boom),
    ("words that are no iterator", nothing, lambda h: h.append(hostile.JunkIter()), TypeError),
    ("enabled whose truth raises", setting(enabled=hostile.BadBool()), lambda h: h.append("x"), Boom),
    ("enabled whose truth is junk", setting(enabled=hostile.JunkBool()), lambda h: h.append("x"), TypeError),
    ("store whose append raises", setting(__history__=SimpleNamespace(append=hostile.boom)),
     lambda h: h.append("x"), Boom),
    ("active markers whose iteration raises", setting(__activeMarkers__=hostile.BadIter()),
     lambda h: h.append("x"), Boom),
    ("marker stores whose lookup raises", setting(__markers__=hostile.BadGetItem()), lambda h: h.append("x"), Boom),
    ("clock that raises", patching(history_module, get_time=hostile.boom), lambda h: h.append("x"), Boom),
    ("logger whose level check raises", patching(history_module, logger=BadLogger("bad")),
     lambda h: h.append("x"), Boom),
    ("logger whose debug raises", patching(history_module, logger=BadDebugLogger("bad", logging.DEBUG)),
     lambda h: h.append("x"), Boom),
    ("marker whose hash raises", nothing, lambda h: h.start_marker(hostile.BadHash()), Boom),
    ("marker whose hash is junk", nothing, lambda h: h.start_marker(hostile.JunkHash()), TypeError),
    ("marker equal to a known one raises", nothing, lambda h: h.start_marker(hostile.Colliding("m")), Boom),
    ("markers that are no container", setting(__markers__=SimpleNamespace()),
     lambda h: h.start_marker("m"), TypeError),
    ("ending a marker whose comparison raises", nothing, lambda h: h.end_marker(hostile.Colliding("m")), Boom),
    ("ending a marker whose comparison is junk", nothing, lambda h: h.end_marker(hostile.JunkEq()), Boom),
    ("clearing a marker whose hash raises", nothing, lambda h: h.clear(hostile.BadHash()), Boom),
    ("clear_all whose truth raises", nothing, lambda h: h.clear(clear_all=hostile.BadBool()), Boom),
    ("clearing stores that cannot be listed", setting(__markers__=hostile.BadKeys()),
     lambda h: h.clear(clear_all=True), Boom),
    ("filtering a marker whose hash raises", nothing, lambda h: h.filter(hostile.BadHash()), Boom),
    ("filtering a marker whose comparison raises", nothing, lambda h: h.filter(hostile.Colliding("m")), Boom),
    ("count that cannot be negated", nothing, lambda h: h.filter(count=hostile.BadNumber()), Boom),
    ("regex whose truth raises", nothing, lambda h: h.filter(regex=hostile.BadBool()), Boom),
    ("entry whose api raises", setting(__history__=[RaisingApi()]), lambda h: h.filter(regex="x"), Boom),
    ("capacity that is no integer", nothing, lambda h: History(hostile.BadNumber()), TypeError),
    ("str of a store whose str raises", setting(__history__=hostile.BadStr()), str, Boom),
    ("repr of a store whose repr raises", setting(__history__=hostile.BadRepr()), repr, Boom),
]


def marked_history():
    h = History(5)
    h.start_marker("m")
    h.append("before")
    return h


@table(HISTORY_CASES)
def test_history(no_leaks, monkeypatch, prepare, operation, error):
    h = marked_history()
    prepare(monkeypatch, h)
    check(no_leaks, h, operation, error)


@pytest.mark.parametrize(
    "prepare, words",
    [
        (nothing, hostile.BadIter()),
        (nothing, hostile.BadNext(2)),
        (nothing, ["a", 1]),
        (patching(history_module, get_time=hostile.boom), "x"),
    ],
    ids=["iteration raises", "iteration fails midway", "a word is no str", "the clock raises"],
)
def test_failed_append_records_nothing(monkeypatch, prepare, words):
    h = marked_history()
    prepare(monkeypatch, h)
    with pytest.raises((Boom, TypeError)):
        h.append(words)
    assert [e.api for e in h.__history__] == [e.api for e in h.__markers__["m"]] == ["before"]


def test_words_are_what_the_iterator_yields_while_it_empties_its_source():
    words = ["a", "b c"]
    h = marked_history()
    h.append(hostile.MutatingIter(words))
    assert h.filter()[-1].api == "a {b c}" and words == []


def test_stores_changed_while_walked():
    h = marked_history()
    h.start_marker("n")

    class Store(list):
        def append(self, item):
            h.__activeMarkers__.clear()  # the list being walked
            h.__markers__["new"] = []  # the mapping being read
            super().append(item)

    h.__markers__["m"] = Store()
    h.append("x")
    assert [e.api for e in h.__markers__["m"]] == ["x"] and h.filter("n") == []
    h.start_marker("o")

    class Clearing(list):
        def clear(self):
            h.__markers__["late"] = []  # the stores being listed
            super().clear()

    h.__markers__["o"] = Clearing(["y"])
    h.clear(clear_all=True)
    assert h.__markers__["o"] == [] and "late" in h.__markers__


class BadStrftime:
    strftime = hostile.boom


ENTRY_CASES = [
    ("words whose iteration raises", nothing, lambda e: Entry(hostile.BadIter()), Boom),
    ("words failing midway", nothing, lambda e: Entry(hostile.BadNext(2)), Boom),
    ("words that are no iterator", nothing, lambda e: Entry(hostile.JunkIter()), TypeError),
    ("str of an api whose str raises", setting(api=hostile.BadStr()), str, Boom),
    ("str of an api whose str is junk", setting(api=hostile.JunkStr()), str, TypeError),
    ("repr of an api whose str raises", setting(api=hostile.BadStr()), repr, Boom),
    ("str of a timestamp whose strftime raises", setting(timestamp=BadStrftime()), str, Boom),
]


@table(ENTRY_CASES)
def test_entry(no_leaks, monkeypatch, prepare, operation, error):
    e = Entry("x")
    prepare(monkeypatch, e)
    check(no_leaks, e, operation, error)


# -- interpreter -------------------------------------------------------------


class Hook:
    """An entry point whose name, module name and loaded object are given."""

    def __init__(self, name="tcl_init", module_name="hooks", target=None, load=None):
        self.name, self.module_name = name, module_name
        self.target = target if target is not None else (lambda tcl: None)
        if load is not None:
            self.load = load

    def load(self):
        return self.target


def hooks(*found):
    return patching(interpreter_module, iter_entry_points=lambda group: iter(found))


INTERPRETER_CASES = [
    ("record whose truth raises", nothing, lambda t: t.eval("set a 1", record=hostile.BadBool()), Boom),
    ("record whose truth is junk", nothing, lambda t: t.eval("set a 1", record=hostile.JunkBool()), TypeError),
    ("typecast whose truth raises", nothing, lambda t: t.eval("set a 1", typecast=hostile.BadBool()), Boom),
    ("code whose iteration raises", nothing, lambda t: t.eval(hostile.BadIter()), Boom),
    ("history whose append raises", setting(history=SimpleNamespace(append=hostile.boom)),
     lambda t: t.eval("set a 1"), Boom),
    ("Tcl application whose eval raises", setting(tk=SimpleNamespace(eval=hostile.boom)),
     lambda t: t.eval("set a 1"), Boom),
    ("error trace that cannot be read", setting(vars=hostile.BadGetItem()), lambda t: t.eval("error oops"), Boom),
    ("Tcl application whose lookup raises", setting(tk=hostile.RaisingLookup()), lambda t: t.interpaddr, Boom),
    ("hook lookup that raises", patching(interpreter_module, iter_entry_points=hostile.boom),
     lambda t: t._load_entrypoint(), Boom),
    ("hooks whose iteration raises", patching(interpreter_module, iter_entry_points=lambda group: map(hostile.boom, [1])),
     lambda t: t._load_entrypoint(), Boom),
    ("hook whose attributes raise", hooks(hostile.RaisingLookup()), lambda t: t._load_entrypoint(), Boom),
    ("hook name whose comparison raises", hooks(Hook(name=hostile.Colliding("tcl_init"))),
     lambda t: t._load_entrypoint(), Boom),
    ("hook name whose comparison is junk", hooks(Hook(name=hostile.JunkEq())), lambda t: t._load_entrypoint(), Boom),
    ("unknown hook whose module name cannot be shown", hooks(Hook(name="setup", module_name=hostile.BadStr())),
     lambda t: t._load_entrypoint(), Boom),
    ("hook whose load raises", hooks(Hook(load=hostile.boom)), lambda t: t._load_entrypoint(), Boom),
    ("hook that raises", hooks(Hook(target=hostile.boom)), lambda t: t._load_entrypoint(), Boom),
]


@pytest.fixture(scope="module")
def interp():
    tcl = Interpreter()
    tcl.history = History(5)
    return tcl


@table(INTERPRETER_CASES)
def test_interpreter(no_leaks, monkeypatch, interp, prepare, operation, error):
    prepare(monkeypatch, interp)
    check(no_leaks, interp, operation, error)


def test_a_failing_history_stops_the_call_before_tcl(interp, monkeypatch):
    monkeypatch.setattr(interp, "history", SimpleNamespace(append=hostile.boom))
    with pytest.raises(Boom):
        interp.eval("set ::never_run 1")
    assert "::never_run" not in interp.vars


def test_an_unreadable_error_trace_keeps_the_tcl_error_as_context(interp, monkeypatch):
    monkeypatch.setattr(interp, "vars", hostile.BadGetItem())
    with pytest.raises(Boom) as info:
        interp.eval("error oops")
    assert isinstance(info.value.__context__, TclError) and str(info.value.__context__) == "oops"


@pytest.mark.parametrize(
    "prepare",
    [patching(interpreter_module, TclNamespace=hostile.boom), hooks(Hook(target=hostile.boom))],
    ids=["namespace class raises", "hook raises"],
)
def test_construction(no_leaks, monkeypatch, prepare):
    prepare(monkeypatch, None)
    with pytest.raises(Boom) as info:
        Interpreter()
    assert info.value is hostile.last_raised()
    no_leaks(Interpreter, raises=Boom, warmup=2, calls=3)


@pytest.mark.parametrize(
    "entry_points",
    [
        hostile.boom,
        hostile.entry_points_finding(lambda: [hostile.RaisingLookup()]),
        hostile.entry_points_finding(hostile.BadIter),
    ],
    ids=["lookup raises", "entry point whose attributes raise", "entry points whose iteration raises"],
)
def test_entry_point_lookup(no_leaks, monkeypatch, declared_group, entry_points):
    monkeypatch.setattr(importlib.metadata, "entry_points", entry_points)
    check(no_leaks, "tarvo.tcl", interpreter_module.iter_entry_points, Boom)


# -- namespaces and variables ---------------------------------------------------


def write(name, value):
    return lambda vars: vars.__setitem__(name, value)


NAMESPACE_CASES = [
    ("value whose str raises", write("v", hostile.BadStr()), Boom),
    ("value whose str is junk", write("v", hostile.JunkStr()), TypeError),
    ("array from a mapping that cannot be walked", lambda vars: vars.array_set("hostile_array", hostile.BadKeys()), Boom),
    ("array from a mapping whose items are junk", lambda vars: vars.array_set("hostile_array", hostile.JunkKeys()), TypeError),
    ("array value whose str raises", lambda vars: vars.array_set("hostile_array", {"k": hostile.BadStr()}), Boom),
]


@pytest.mark.parametrize("operation, error", [c[1:] for c in NAMESPACE_CASES], ids=[c[0] for c in NAMESPACE_CASES])
def test_variables(no_leaks, interp, operation, error):
    check(no_leaks, interp.global_ns.vars, operation, error)


def test_array_values_that_grow_their_mapping(interp):
    mapping = {"j": "fine"}
    mapping["k"] = hostile.DictMutator(mapping)
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        interp.global_ns.vars.array_set("grown", mapping)
    assert "grown" not in interp.global_ns.vars  # all values are taken before Tcl is touched
    mapping = {"k": hostile.Mutator(target=[])}
    interp.global_ns.vars.array_set("grown", mapping)
    assert interp.global_ns.vars.array_get("grown") == Array({"k": "mutated"})


@pytest.mark.parametrize("make", [TclNamespace, TclCommand], ids=["namespace", "command"])
def test_interpreter_whose_lookup_raises(no_leaks, make):
    check(no_leaks, hostile.RaisingLookup(), lambda tcl: make("::", tcl=tcl), Boom)


def test_hostile_objects_never_reach_tcl_as_names(interp):
    for name in (hostile.BadStr(), hostile.BadHash(), hostile.JunkStr()):
        with pytest.raises(TypeError):
            interp.global_ns.vars[name]
        with pytest.raises(TypeError):
            interp.global_ns.cmds[name]
        with pytest.raises(TypeError):
            TclNamespace(name, tcl=interp)
    with pytest.raises(tkinter.TclError):  # and Tcl still answers
        interp.tk.eval("error still-here")
