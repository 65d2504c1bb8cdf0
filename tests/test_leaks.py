"""Every public entry point, on its success path and each error path, under
the leak checker.  (The error paths that hostile objects drive are checked in
test_hostile.py, under the same checker.)"""
import collections
import ctypes
import functools
import importlib.metadata
import itertools
import logging
import re
import sys
import sysconfig
import tkinter

import pytest

import tarvo.tcl
from support import hostile
from support.leaks import LeakError
from tarvo.tcl import history as history_module
from tarvo.tcl import interpreter as interpreter_module
from tarvo.tcl.history import Entry, History
from tarvo.tcl.interpreter import Interpreter, TclError
from tarvo.tcl.namespace import TclCommand, TclNamespace, TclVariableError


def cases(table):
    """parametrize arguments for a table of (name, operation, raises)."""
    return pytest.mark.parametrize("operation, raises", [c[1:] for c in table], ids=[c[0] for c in table])


# -- the checker itself ------------------------------------------------------


def incref(obj):
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(obj))


def decref(obj):
    ctypes.pythonapi.Py_DecRef(ctypes.py_object(obj))


kept = []


def keep_and_raise(x):
    kept.append(x)
    raise ValueError(x)


# The sentinels are mortal objects: since Python 3.12 the reference count of
# None, small ints and interned strings never changes.
# support.leaks counts no blocks where the GIL is off.
blocks_counted = pytest.mark.skipif(
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")), reason="blocks are not counted on a free-threaded build"
)
immortal_none = pytest.mark.skipif(sys.version_info >= (3, 12), reason="None is immortal")
LEAKY = [
    # operation, arguments, raises, what the report names
    pytest.param(incref, (object(),), None, "refs of argument 0", id="a reference to an argument"),
    pytest.param(lambda: kept.append(object()), (), None, "blocks", id="a small object, no argument", marks=blocks_counted),
    pytest.param(lambda: incref(None), (), None, "refs of None", id="a reference to None", marks=immortal_none),
    pytest.param(keep_and_raise, (["x"],), ValueError, "refs of argument 0", id="a reference on the error path"),
    pytest.param(decref, (), None, "refs of argument 0", id="one release too many"),
]


@pytest.mark.parametrize("operation, args, raises, report", LEAKY)
def test_the_checker_catches(no_leaks, operation, args, raises, report):
    if operation is decref:
        args = (object(),)
        for _ in range(10_000):  # enough references that releasing them frees nothing
            incref(args[0])
    try:
        with pytest.raises(LeakError, match=re.escape(report)):
            no_leaks(operation, *args, raises=raises)
    finally:
        kept.clear()


def test_the_checker_waits_for_a_cache_to_fill(no_leaks):
    # Grows on every round of the first measures, then stops: no leak.
    filling = []
    no_leaks(lambda: len(filling) < 650 and filling.append(object()))
    assert len(filling) == 650


cache = functools.lru_cache(maxsize=64)(lambda n: [n])
counter = itertools.count()
bounded = collections.deque(maxlen=5)


def cycle():
    a = []
    a.append(a)


CLEAN = [
    ("garbage", lambda: [object() for _ in range(10)], None),
    ("reference cycles", cycle, None),
    ("a cache that fills once", lambda: cache(next(counter) % 50), None),
    ("a bounded store", lambda: bounded.append(object()), None),
    ("raising and catching", lambda: {}["missing"], KeyError),
]


@cases(CLEAN)
def test_the_checker_stays_quiet(no_leaks, operation, raises):
    no_leaks(operation, raises=raises)


@pytest.mark.parametrize(
    "operation, raises, error",
    [(lambda: 1, ValueError, AssertionError), (lambda: {}[1], None, KeyError), (lambda: {}[1], ValueError, KeyError)],
    ids=["did not raise", "raised unexpectedly", "raised something else"],
)
def test_the_checker_reports_wrong_outcomes(no_leaks, operation, raises, error):
    with pytest.raises(error) as info:
        no_leaks(operation, raises=raises)
    assert not isinstance(info.value, LeakError)


# -- history -----------------------------------------------------------------


def full_history():
    h = History(5)
    h.start_marker("m")
    h.start_marker("m")
    return h


ORPHANED = History(5)
ORPHANED.__activeMarkers__.append("zz")  # active, but no store

HISTORY_CALLS = [
    ("append text", lambda h: h.append("set a 1"), None),
    ("append words", lambda h: h.append(["puts", "hello world"]), None),
    ("append by keyword", lambda h: h.append(item="x"), None),
    ("append disabled", lambda h: (h.disable(), h.append("x"), h.enable()), None),
    ("append bad word", lambda h: h.append(["a", 1]), TypeError),
    ("append not iterable", lambda h: h.append(5), TypeError),
    ("append failing iterator", lambda h: h.append(hostile.BadNext()), hostile.Boom),
    ("append without enabled", lambda h: History.__new__(History).append("x"), AttributeError),
    ("append to an unknown marker", lambda h: ORPHANED.append("x"), KeyError),
    ("append bad arguments", lambda h: h.append(1, 2), TypeError),
    ("append no arguments", lambda h: h.append(), TypeError),
    ("filter", lambda h: h.filter("m", 3, "a"), None),
    ("filter all", lambda h: h.filter(count=0), None),
    ("filter compiled pattern", lambda h: h.filter(regex=re.compile("a")), None),
    ("filter unknown marker", lambda h: h.filter("zz"), Exception),
    ("filter unhashable marker", lambda h: h.filter([]), TypeError),
    ("filter bad count", lambda h: h.filter(count=None), TypeError),
    ("filter bad regex", lambda h: h.filter(regex="("), re.error),
    ("filter bad regex type", lambda h: h.filter(regex=5), TypeError),
    ("filter bad keyword", lambda h: h.filter(x=1), TypeError),
    ("filter keyword twice", lambda h: h.filter(None, marker="m"), TypeError),
    ("clear", lambda h: h.clear(), None),
    ("clear marker", lambda h: h.clear("m"), None),
    ("clear all", lambda h: h.clear(clear_all=True), None),
    ("clear unknown marker", lambda h: h.clear("zz"), KeyError),
    ("clear too many", lambda h: h.clear(1, 2, 3), TypeError),
    ("start and end marker", lambda h: (h.start_marker("n"), h.end_marker("n")), None),
    ("start unhashable marker", lambda h: h.start_marker([]), TypeError),
    ("start no marker", lambda h: h.start_marker(), TypeError),
    ("end unknown marker", lambda h: h.end_marker("zz"), ValueError),
    ("enable, disable", lambda h: (h.disable(), h.enable()), None),
    ("enable extra argument", lambda h: h.enable(1), TypeError),
    ("str and repr", lambda h: (str(h), repr(h)), None),
    ("str without store", lambda h: str(History.__new__(History)), AttributeError),
    ("attributes", lambda h: (h.__history__, h.__markers__, h.__activeMarkers__, h.enabled), None),
    ("new history", lambda h: History(3), None),
    ("new default history", lambda h: History(), None),
    ("re-initialised history", lambda h: h.__init__(5), None),
    ("bad capacity", lambda h: History(-1), ValueError),
    ("bad capacity type", lambda h: History("x"), TypeError),
    ("too many arguments", lambda h: History(1, 2), TypeError),
]


@cases(HISTORY_CALLS)
def test_history(no_leaks, operation, raises):
    no_leaks(operation, full_history(), raises=raises)


def pending_entry():
    return Entry("x")


def stamped_entry():
    e = Entry("x")
    e.timestamp  # built now
    return e


def bare_entry():
    return Entry.__new__(Entry)


ENTRY_CALLS = [
    ("new from text", lambda e: Entry("set a 1"), None),
    ("new from words", lambda e: Entry(["puts", "a b"]), None),
    ("new bad word", lambda e: Entry(["a", None]), TypeError),
    ("new not iterable", lambda e: Entry(5), TypeError),
    ("new no argument", lambda e: Entry(), TypeError),
    ("re-initialised", lambda e: e.__init__("y"), None),
    ("str", lambda e: str(e), None),
    ("repr", lambda e: repr(e), None),
    ("timestamp", lambda e: e.timestamp, None),
    ("timestamp of a new entry", lambda e: Entry("y").timestamp, None),
    ("str of a new entry", lambda e: str(Entry("y")), None),
    ("api", lambda e: e.api, None),
    ("set timestamp", lambda e: setattr(e, "timestamp", 5), None),
    ("delete timestamp", lambda e: (delattr(e, "timestamp"), setattr(e, "timestamp", 5)), None),
]


@pytest.mark.parametrize("make", [pending_entry, stamped_entry])
@cases(ENTRY_CALLS)
def test_entry(no_leaks, make, operation, raises):
    no_leaks(operation, make(), raises=raises)


BARE_ENTRY_CALLS = [
    ("str", lambda e: str(e), AttributeError),
    ("repr", lambda e: repr(e), AttributeError),
    ("timestamp", lambda e: e.timestamp, AttributeError),
    ("api", lambda e: e.api, AttributeError),
    ("delete timestamp", lambda e: delattr(e, "timestamp"), AttributeError),
    ("str without api", lambda e: (setattr(e, "timestamp", stamped_entry().timestamp), str(e)), AttributeError),
]


@cases(BARE_ENTRY_CALLS)
def test_bare_entry(no_leaks, operation, raises):
    no_leaks(operation, bare_entry(), raises=raises)


class MyEntry(Entry):
    pass


class MyHistory(History):
    pass


SUBCLASS_CALLS = [
    ("entry subclass", MyEntry, lambda cls: str(cls(["a", "b c"]))),
    ("history subclass", MyHistory, lambda cls: cls(5).append("x")),
    ("history subclass filter", MyHistory, lambda cls: cls(5).filter()),
]


@pytest.mark.parametrize("cls, operation", [c[1:] for c in SUBCLASS_CALLS], ids=[c[0] for c in SUBCLASS_CALLS])
def test_subclasses(no_leaks, cls, operation):
    # The subclass is the watched argument: each instance holds a reference to it.
    no_leaks(operation, cls)


class SubLogger(logging.Logger):
    pass


@pytest.fixture(params=["fast path", "subclass", "disabled"])
def debug_logging(request, monkeypatch):
    """A history logger at DEBUG, with a handler that keeps no record.

    It is made outside logging's registry, where pytest would add handlers
    of its own that keep every record."""
    cls = SubLogger if request.param == "subclass" else logging.Logger  # a subclass: no cache read
    logger = cls("tarvo.tcl.leaks", logging.DEBUG)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    logger.disabled = request.param == "disabled"
    monkeypatch.setattr(history_module, "logger", logger)
    return logger


LOGGED_CALLS = [
    ("append", lambda h: h.append(["puts", "x"]), None),
    ("enable, disable", lambda h: (h.disable(), h.enable()), None),
    ("append bad word", lambda h: h.append([1]), TypeError),
]


@cases(LOGGED_CALLS)
def test_history_with_debug_logging(no_leaks, debug_logging, operation, raises):
    no_leaks(operation, full_history(), raises=raises)


def test_history_with_replaced_clock(no_leaks, monkeypatch):
    monkeypatch.setattr(history_module, "get_time", lambda: 5)
    no_leaks(lambda h: (h.append("x"), str(h.filter()[-1].timestamp)), full_history())


# -- interpreter -------------------------------------------------------------


class Hook:
    name, module_name = "tcl_init", "hooks"

    @staticmethod
    def load():
        return lambda tcl: None


@pytest.fixture
def quiet_hooks(monkeypatch):
    """Fixed hooks: importlib.metadata's own caches would blur the counts."""
    monkeypatch.setattr(interpreter_module, "iter_entry_points", lambda group: iter([Hook]))


@pytest.fixture(scope="module")
def small_interpreter():
    tcl = Interpreter()
    tcl.history = History(5)
    return tcl


INTERPRETER_CALLS = [
    ("eval", lambda t: t.eval("set a 1"), None),
    ("eval by keyword", lambda t: t.eval(code="set a 1", record=True, typecast=False), None),
    ("eval unrecorded", lambda t: t.eval("set a 1", record=False), None),
    ("eval Tcl error", lambda t: t.eval("error boom"), TclError),
    ("eval Tcl error unrecorded", lambda t: t.eval("error boom", record=False), TclError),
    ("eval bad code", lambda t: t.eval(5), TypeError),
    ("eval bad code unrecorded", lambda t: t.eval(5, record=False), TypeError),
    ("eval bad arguments", lambda t: t.eval(), TypeError),
    ("eval bad keyword", lambda t: t.eval("x", cast=1), TypeError),
    ("delegated attribute", lambda t: t.call("set", "a", "1"), None),
    ("missing attribute", lambda t: t.no_such_thing, AttributeError),
    ("hooks", lambda t: t._load_entrypoint(), None),
    ("hooks extra argument", lambda t: t._load_entrypoint(1), TypeError),
    ("construction bad arguments", lambda t: Interpreter(1), TypeError),
]


@cases(INTERPRETER_CALLS)
def test_interpreter(no_leaks, quiet_hooks, small_interpreter, operation, raises):
    no_leaks(operation, small_interpreter, raises=raises)


def test_interpreter_without_tk(no_leaks):
    bare = Interpreter.__new__(Interpreter)
    no_leaks(lambda t: t.anything, bare, raises=AttributeError)
    no_leaks(lambda t: t.eval("set a 1"), bare, raises=AttributeError)


class NamedHook:
    def __init__(self, name, target):
        self.name, self.module_name, self.target = name, "hooks", target

    def load(self):
        return self.target


def failing_hook(tcl):
    raise RuntimeError("hook failed")


HOOKS = [
    # name, the hooks found, the error they give
    ("no hooks", [], None),
    ("a hook", [Hook], None),
    ("unknown hook name", [NamedHook("setup", print)], ValueError),
    ("hook not callable", [NamedHook("tcl_init", 42)], TypeError),
    ("failing hook", [NamedHook("tcl_init", failing_hook)], RuntimeError),
]


@pytest.mark.parametrize("hooks, raises", [c[1:] for c in HOOKS], ids=[c[0] for c in HOOKS])
def test_interpreter_construction(no_leaks, monkeypatch, hooks, raises):
    monkeypatch.setattr(interpreter_module, "iter_entry_points", lambda group: iter(hooks))
    no_leaks(Interpreter, raises=raises, warmup=2, calls=3)


@pytest.mark.parametrize("hooks, raises", [c[1:] for c in HOOKS], ids=[c[0] for c in HOOKS])
def test_hooks_of_a_running_interpreter(no_leaks, monkeypatch, small_interpreter, hooks, raises):
    monkeypatch.setattr(interpreter_module, "iter_entry_points", lambda group: iter(hooks))
    no_leaks(lambda t: t._load_entrypoint(), small_interpreter, raises=raises)


class EntryPointWithout:
    name = "tcl_init"
    load = None


ENTRY_POINTS = [
    (
        "found",
        hostile.entry_points_finding(lambda: [importlib.metadata.EntryPoint("tcl_init", "os:getcwd", "tarvo.tcl")]),
        None,
    ),
    ("none found", hostile.entry_points_finding(list), None),
    ("entry point without module", hostile.entry_points_finding(lambda: [EntryPointWithout()]), AttributeError),
    ("lookup fails", lambda **selection: hostile.boom(), hostile.Boom),
]


@pytest.mark.parametrize("entry_points, raises", [c[1:] for c in ENTRY_POINTS], ids=[c[0] for c in ENTRY_POINTS])
def test_entry_point_lookup(no_leaks, monkeypatch, declared_group, entry_points, raises):
    # importlib.metadata's answer is fixed: its own path caches would blur the counts.
    monkeypatch.setattr(importlib.metadata, "entry_points", entry_points)
    # The import machinery behind the lookup fills caches of its own for a
    # while: a longer warm-up.
    no_leaks(lambda group: list(interpreter_module.iter_entry_points(group)), "tarvo.tcl", warmup=10, raises=raises)


def test_entry_point_lookup_bad_arguments(no_leaks):
    no_leaks(lambda: interpreter_module.iter_entry_points(), raises=TypeError)
    no_leaks(lambda: interpreter_module.iter_entry_points("a", "b"), raises=TypeError)


PACKAGE_CALLS = [
    ("a name of the shared interpreter", lambda p: p.eval, None),
    ("a submodule", lambda p: p.history, None),
    ("an unknown name", lambda p: p.no_such_name, AttributeError),
    ("a private name", lambda p: p._global_interpreter, AttributeError),
]


@cases(PACKAGE_CALLS)
def test_package_level_names(no_leaks, operation, raises):
    no_leaks(operation, tarvo.tcl, raises=raises)


# -- namespaces, variables and commands ----------------------------------------


@pytest.fixture(scope="module")
def tcl_state(small_interpreter):
    small_interpreter.tk.eval(
        "set ::scalar 1; array set ::arr {k v}; namespace eval ::ns::child {}; proc ::ns::p {} {}"
    )
    return small_interpreter


def callback(*words):
    return "called"


def rename_round_trip(t):
    cmd = TclCommand("::ns::p", tcl=t)
    cmd.rename("::ns::q")
    cmd.rename("::ns::p")


def create_and_delete(t):
    cmd = TclCommand("::made", tcl=t)
    cmd.createcommand(callback)
    t.tk.eval("made a b")
    cmd.delete()


NAMESPACE_CALLS = [
    ("namespace", lambda t: TclNamespace("::ns", tcl=t), None),
    ("namespace without tk", lambda t: TclNamespace("::", tcl=object()), TypeError),
    ("namespace bad name", lambda t: TclNamespace(5, tcl=t), TypeError),
    ("read", lambda t: t.global_ns.vars["scalar"], None),
    ("read unqualified", lambda t: t.local_ns.vars["scalar"], None),
    ("read element", lambda t: t.global_ns.vars["arr(k)"], None),
    ("read missing", lambda t: t.global_ns.vars["missing"], TclVariableError),
    ("read array", lambda t: t.global_ns.vars["arr"], TclVariableError),
    ("read bad name", lambda t: t.global_ns.vars[5], TypeError),
    ("write", lambda t: t.global_ns.vars.__setitem__("written", ("a", "b c")), None),
    ("write NUL name", lambda t: t.global_ns.vars.__setitem__("a\0b", 1), ValueError),
    ("write to an array", lambda t: t.global_ns.vars.__setitem__("arr", 1), tkinter.TclError),
    ("write and delete", lambda t: (t.global_ns.vars.__setitem__("d", 1), t.global_ns.vars.__delitem__("d")), None),
    ("delete missing", lambda t: t.global_ns.vars.__delitem__("missing"), TclVariableError),
    ("contains", lambda t: ("scalar" in t.global_ns.vars, "missing" in t.global_ns.vars), None),
    ("names and length", lambda t: (list(t.global_ns.vars), len(t.global_ns.vars), list(t.local_ns.vars)), None),
    ("bad qualification", lambda t: t.global_ns.objs["ns"].vars[":x"], ValueError),
    ("array get", lambda t: t.global_ns.vars.array_get("arr"), None),
    ("array get missing", lambda t: t.global_ns.vars.array_get("missing"), TclVariableError),
    ("array get scalar", lambda t: t.global_ns.vars.array_get("scalar"), TclVariableError),
    ("array set", lambda t: t.global_ns.vars.array_set("arr2", {"k": 1, 2: "x y"}), None),
    ("array set empty", lambda t: t.global_ns.vars.array_set("arr3", {}), None),
    ("array set bad key", lambda t: t.global_ns.vars.array_set("arr2", {1.5: 1}), TypeError),
    ("array set NUL key", lambda t: t.global_ns.vars.array_set("arr2", {"a\0": 1}), ValueError),
    ("array set scalar", lambda t: t.global_ns.vars.array_set("scalar", {"k": 1}), tkinter.TclError),
    ("commands", lambda t: (t.global_ns.cmds["set"], "set" in t.global_ns.cmds, list(t.global_ns.cmds)), None),
    ("commands unqualified", lambda t: (t.local_ns.cmds["set"], list(t.local_ns.cmds)), None),
    ("command bad name", lambda t: t.global_ns.cmds[5], TypeError),
    ("children", lambda t: (t.global_ns.objs["ns"], list(t.global_ns.objs), len(t.global_ns.objs)), None),
    ("missing child", lambda t: t.global_ns.objs["nowhere"], KeyError),
    ("bad child name", lambda t: t.global_ns.objs["a::b"], KeyError),
    ("command", lambda t: (TclCommand("set", tcl=t).exists(), str(TclCommand("x", tcl=t))), None),
    ("command compared", lambda t: {TclCommand("a", tcl=t): 1}[TclCommand("a", tcl=t)], None),
    ("command bad name type", lambda t: TclCommand(5, tcl=t), TypeError),
    ("rename", rename_round_trip, None),
    ("rename missing", lambda t: TclCommand("::missing", tcl=t).rename("::fresh::missing"), tkinter.TclError),
    ("rename to nothing", lambda t: TclCommand("::ns::p", tcl=t).rename(""), ValueError),
    ("create and delete", create_and_delete, None),
    ("delete missing", lambda t: TclCommand("::missing", tcl=t).delete(), tkinter.TclError),
]


@cases(NAMESPACE_CALLS)
def test_namespaces(no_leaks, tcl_state, operation, raises):
    no_leaks(operation, tcl_state, raises=raises)


# -- Secret ------------------------------------------------------------------

from tarvo.tcl.quoten import Secret, _quoten_masked, quoten, tclobj  # noqa: E402


class MaskedTwice:
    """Its Tcl string holds a Secret; the second conversion raises."""

    def __init__(self):
        self.calls = 0

    def __quoten__(self):
        self.calls += 1
        if self.calls % 2 == 0:
            raise hostile.Boom("second conversion")
        return quoten(Secret("pw"))


SECRET_CALLS = [
    ("construct", lambda s: Secret(s.reveal()), None),
    ("construct bad arguments", lambda s: Secret(), TypeError),
    ("construct by keyword", lambda s: Secret(value=1), None),
    ("construct bad keyword", lambda s: Secret(val=1), TypeError),
    ("reveal, repr, str", lambda s: (s.reveal(), repr(s), str(s)), None),
    ("reveal bad arguments", lambda s: s.reveal(1), TypeError),
    ("compare and hash", lambda s: (s == Secret("pw"), s != Secret("x"), s == "pw", hash(s)), None),
    ("hash unhashable", lambda s: hash(Secret([])), TypeError),
    ("pickle form", lambda s: s.__reduce__(), None),
    ("protocol methods", lambda s: (s.__quoten__(), s.__tclobj__()), None),
    ("quoten and tclobj", lambda s: (quoten(s), tclobj(s), quoten(["a", s]), tclobj({"k": s})), None),
    ("masked: none", lambda s: _quoten_masked(["a", "b"]), None),
    ("masked: one", lambda s: _quoten_masked(["a", s, Secret(["b", s])]), None),
    ("masked: second pass raises", lambda s: _quoten_masked(MaskedTwice()), hostile.Boom),
]


@cases(SECRET_CALLS)
def test_secret(no_leaks, operation, raises):
    no_leaks(operation, Secret("pw"), raises=raises)


@pytest.fixture(scope="module")
def echo_interpreter(small_interpreter):
    small_interpreter.tk.eval("proc echo args {return $args}; proc refuse {p} {error \"refused $p\"}")
    return small_interpreter


QUICK_CALLS_WITH_SECRETS = [
    ("argument", lambda t: t.jot.echo("a", Secret("pw"), cast_=False), None),
    ("option and list", lambda t: t.jot.echo(["a", Secret("pw")], opt=Secret("x")), None),
    ("Tcl error", lambda t: t.jot.refuse(Secret("pw")), TclError),
    ("second conversion raises", lambda t: t.jot.echo(MaskedTwice()), hostile.Boom),
]


@cases(QUICK_CALLS_WITH_SECRETS)
def test_quick_calls_with_secrets(no_leaks, echo_interpreter, operation, raises):
    no_leaks(operation, echo_interpreter, raises=raises)
