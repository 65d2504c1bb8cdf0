"""Every public entry point, on its success path and each error path, under
the leak checker."""
import pytest

from support import hostile
from tarvo.tcl import interpreter as interpreter_module
from tarvo.tcl.history import Entry, History
from tarvo.tcl.interpreter import Interpreter, TclError


def test_the_checker_catches_a_leak(no_leaks):
    from support.leaks import LeakError

    kept = []
    with pytest.raises(LeakError):
        no_leaks(lambda x: kept.append([x]), "item")


def full_history():
    h = History(5)
    h.start_marker("m")
    h.start_marker("m")
    return h


HISTORY_CALLS = [
    ("append text", lambda h: h.append("set a 1"), None),
    ("append words", lambda h: h.append(["puts", "hello world"]), None),
    ("append bad word", lambda h: h.append(["a", 1]), TypeError),
    ("append not iterable", lambda h: h.append(5), TypeError),
    ("append failing iterator", lambda h: h.append(hostile.BadNext()), hostile.Boom),
    ("filter", lambda h: h.filter("m", 3, "a"), None),
    ("filter unknown marker", lambda h: h.filter("zz"), Exception),
    ("filter bad count", lambda h: h.filter(count=None), TypeError),
    ("filter bad regex", lambda h: h.filter(regex="("), Exception),
    ("clear", lambda h: h.clear(), None),
    ("clear all", lambda h: h.clear(clear_all=True), None),
    ("clear unknown marker", lambda h: h.clear("zz"), KeyError),
    ("start and end marker", lambda h: (h.start_marker("n"), h.end_marker("n")), None),
    ("end unknown marker", lambda h: h.end_marker("zz"), ValueError),
    ("enable, disable", lambda h: (h.disable(), h.enable()), None),
    ("bad arguments", lambda h: h.append(1, 2), TypeError),
    ("bad keyword", lambda h: h.filter(x=1), TypeError),
    ("str and repr", lambda h: (str(h), repr(h)), None),
    ("new history", lambda h: History(3), None),
    ("bad capacity", lambda h: History(-1), ValueError),
    ("entry", lambda h: (str(Entry(["a b"])), repr(Entry("x")), Entry("y").timestamp), None),
]


@pytest.mark.parametrize("name, operation, raises", HISTORY_CALLS, ids=[c[0] for c in HISTORY_CALLS])
def test_history(no_leaks, name, operation, raises):
    no_leaks(operation, full_history(), raises=raises)


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
    ("eval unrecorded", lambda t: t.eval("set a 1", record=False), None),
    ("eval Tcl error", lambda t: t.eval("error boom"), TclError),
    ("eval bad code", lambda t: t.eval(5), TypeError),
    ("eval bad arguments", lambda t: t.eval(), TypeError),
    ("delegated attribute", lambda t: t.call("set", "a", "1"), None),
    ("missing attribute", lambda t: t.no_such_thing, AttributeError),
    ("hooks", lambda t: t._load_entrypoint(), None),
]


@pytest.mark.parametrize("name, operation, raises", INTERPRETER_CALLS, ids=[c[0] for c in INTERPRETER_CALLS])
def test_interpreter(no_leaks, quiet_hooks, small_interpreter, name, operation, raises):
    no_leaks(operation, small_interpreter, raises=raises)


def test_interpreter_construction(no_leaks, quiet_hooks):
    no_leaks(Interpreter, calls=10)


def test_entry_point_lookup(no_leaks, tmp_path, monkeypatch):
    import importlib.metadata

    dist = tmp_path / "leak_hooks-1.0.dist-info"
    dist.mkdir()
    (dist / "entry_points.txt").write_text("[tarvo.tcl]\nother = os:getcwd\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    # Fixed entry points: importlib.metadata's own caches would blur the counts.
    found = [importlib.metadata.EntryPoint("other", "os:getcwd", "tarvo.tcl")]
    monkeypatch.setattr(importlib.metadata, "entry_points", lambda **selection: found)
    lookup = interpreter_module.iter_entry_points
    no_leaks(lambda group: list(lookup(group)), "tarvo.tcl")
    no_leaks(lambda group: list(lookup(group)), "no.such.group")
