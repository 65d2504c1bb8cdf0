import gc
import tkinter
import weakref

import pytest

from support import apps, hostile
from support.crash import run_isolated
from tarvo.tcl import interpreter as interpreter_module
from tarvo.tcl import jot as jot_module
from tarvo.tcl.history import History
from tarvo.tcl.interpreter import Interpreter
from tarvo.tcl.jot import Jot, Jot_Code
from tarvo.tcl.quoten import quoten

TclError = tkinter.TclError


class Recorder:
    """A history that keeps exactly what it was given."""

    def __init__(self):
        self.items = []

    def append(self, item):
        self.items.append(list(item))


class FakeInterpreter:
    """Just what a quick call needs of an interpreter (and a cast_any to watch)."""

    def __init__(self, tk):
        self.tk = tk
        self.history = Recorder()
        self.vars = {"::errorInfo": "the trace"}
        self.cast = []

    def cast_any(self, value):
        self.cast.append(value)
        return ("cast", value)


@pytest.fixture
def fake(oracle):
    return FakeInterpreter(oracle)


def test_module_top_level():
    names = [n for n in vars(jot_module) if not n.startswith("__")]
    assert names == ["weakref", "TclError", "quoten", "Jot", "Jot_Code"]
    assert jot_module.quoten is quoten and jot_module.TclError is TclError


@pytest.mark.parametrize(
    "cls, methods",
    [
        (Jot, ["__init__", "__getattr__", "__call__"]),
        (Jot_Code, ["__init__", "__call__", "__getattr__", "__repr__", "__str__"]),
    ],
)
def test_classes(cls, methods):
    assert cls.__bases__ == (object,)
    assert [n for n in cls.__dict__ if n in methods] == methods
    assert "__getattribute__" not in cls.__dict__


def test_the_interpreter_owns_one_jot():
    tcl = Interpreter()
    assert tcl.jot is tcl.Jot and type(tcl.jot) is Jot
    assert isinstance(tcl.jot.tcl, weakref.ProxyTypes) and tcl.jot.tcl.history is tcl.history
    gc.disable()
    try:
        ref = weakref.ref(tcl)
        del tcl
        assert ref() is None  # no cycle through the proxy
    finally:
        gc.enable()


def test_words_options_and_history(fake):
    fake.tk.eval("namespace eval ns_a::ns_b {proc procname args {return $args}}")
    code = Jot(fake).ns_a.ns_b.procname
    result = code("arguments", [1, [2, 3]], None, True, 2.5, arg_a="value", cast_=False, argb={"k": "a b"})
    assert result == "arguments {1 {2 3}} {} true 2.5 -arg_a value -argb {k {a b}}"
    assert fake.history.items == [
        ["ns_a::ns_b::procname", "arguments", "1 {2 3}", "", "true", "2.5", "-arg_a", "value", "-argb", "k {a b}"]
    ]
    assert code.cmd == ["ns_a", "ns_b", "procname"]


def test_keyword_order_is_kept(fake):
    fake.tk.eval("proc myproc args {return $args}")
    assert Jot(fake).myproc(b=1, a=2, cast_=0) == "-b 1 -a 2"


@pytest.mark.parametrize("cast", [{}, {"cast_": True}, {"cast_": "yes"}])
def test_results_are_cast_by_default(fake, cast):
    assert Jot(fake).set("x", 5, **cast) == ("cast", "5")
    assert fake.cast == ["5"]


def test_a_kept_code_grows(fake):
    fake.tk.eval("namespace eval ns::a {proc b {} {return ran}}")
    p = Jot(fake).ns
    assert p.a is p
    assert p.b(cast_=False) == "ran" and p.cmd == ["ns", "a", "b"]
    assert str(p) == repr(p) == "<tcl.Jot magic, referring Tcl code ::ns::a::b>"


def test_attribute_lookup(fake):
    j = Jot(fake)
    assert j.tcl.tk is fake.tk
    assert j.a.cmd == ["a"] and j.cmd.cmd == ["cmd"] and j.a.tcl is j.tcl
    assert j.__class__ is Jot and isinstance(j.__dict__, dict)
    j.extra = 1
    assert j.extra == 1

    class Sub(Jot):
        def __getattr__(self, name):
            return "own " + name

    assert Sub(fake).anything == "own anything"

    class SubCode(Jot_Code):
        pass

    code = SubCode("x", tcl=j.tcl)
    assert code.y.z is code and code.cmd == ["x", "y", "z"]


def test_construction():
    with pytest.raises(TypeError) as info:
        Jot_Code("a")
    assert str(info.value) == "__init__() needs keyword-only argument tcl"
    marker = object()
    code = Jot_Code("a", "b", tcl=marker)
    assert code.cmd == ["a", "b"] and code.tcl is marker
    assert str(Jot_Code(tcl=marker)) == "<tcl.Jot magic, referring Tcl code ::>"
    with pytest.raises(TypeError):
        Jot()
    with pytest.raises(TypeError):  # not weakly referenceable
        Jot(5)


def test_calling_jot_itself(fake):
    with pytest.raises(TclError) as info:
        Jot(fake)(1, a=2)
    assert info.value.args == ('invalid command name ""',)
    assert fake.history.items == []


def test_tcl_error_carries_the_trace(tcl):
    with pytest.raises(TclError) as info:
        tcl.jot.error("boom")
    assert str(info.value).startswith("boom\n    while executing\n")
    assert info.value.args == (tcl.vars["::errorInfo"],)
    assert info.value.__cause__ is None and info.value.__suppress_context__
    assert tcl.history.filter()[-1].api == "error boom"


def test_other_failures_propagate(fake):
    class Failing:
        def call(self, *words):
            raise hostile.Boom("tk")

    fake.tk = Failing()
    with pytest.raises(hostile.Boom) as info:
        Jot(fake).cmd()
    assert info.value.__context__ is None
    assert fake.history.items == [["cmd"]]


@pytest.mark.parametrize("bad", [hostile.BadQuoten(), hostile.RaisingLookup(), hostile.BadStr()], ids=type)
def test_conversion_errors_stop_before_recording(fake, bad):
    with pytest.raises(hostile.Boom):
        Jot(fake).set("x", bad)
    with pytest.raises(hostile.Boom):
        Jot(fake).set("x", opt=bad)
    assert fake.history.items == []


def test_dead_interpreter():
    j = Interpreter().jot
    gc.collect()
    with pytest.raises(ReferenceError):
        j.set("x", 1, cast_=False)


# Uncast results are Tcl's own text of the result, as eval gives it.
@pytest.mark.parametrize(
    "words, script",
    [
        (("list", "a", "b c"), "list a {b c}"), (("expr", "1.0/3"), "expr 1.0/3"), (("expr", "2**70"), "expr 2**70"),
        (("expr", "1e300*10"), "expr 1e300*10"), (("llength", "a b"), "llength {a b}"),
        (("string", "is", "true", "yes"), "string is true yes"),
        (("format", "a%cb", 0), "format a%cb 0"), (("format", "%c%s", 0x1F600, "é"), "format %c%s 0x1F600 é"),
        (("dict", "create", "k", "v w"), "dict create k {v w}"), (("list",), "list"),
        (("binary", "format", "a2", "xy"), "binary format a2 xy"),
        (("set", "::v", "\U0001F600 x"), "set ::v {\U0001F600 x}"),
    ],
)
def test_uncast_result_is_tcl_text(tcl, words, script):
    name, *args = words
    assert getattr(tcl.jot, name)(*args, cast_=False) == tcl.eval(script)


def test_uncast_result_keeps_nul(tcl):
    # tkinter hands the NUL over as a raw zero byte, which eval could not
    # carry, and which Tcl keeps in the string and list it makes of it.
    assert tcl.jot.set("v", "a\0b", cast_=False) == "a\0b"
    assert tcl.jot.list("a\0b", "c", cast_=False) == tcl.eval("list a[format %c 0]b c") == "a\0b c"


def test_variables_are_written_through_tclobj(tcl):
    tcl.vars["::v"] = [1, "a b", [None, 2.5], {"k": True}]
    assert tcl.eval("set ::v") == "1 {a b} {{} 2.5} {k 1}"
    tcl.vars["::w"] = None
    assert tcl.eval("set ::w") == ""


# -- references ---------------------------------------------------------------


@pytest.fixture(scope="module")
def small():
    from tarvo.tcl.history import History

    tcl = Interpreter()
    tcl.history = History(5)
    tcl.eval("proc echo args {return $args}")
    return tcl


LEAK_CALLS = [
    ("call", lambda t: t.jot.echo("a b", [1, 2], opt=None, cast_=False), None),
    ("list result", lambda t: t.jot.list("a", "b c", cast_=False), None),
    ("number result", lambda t: t.jot.expr("1.5*2", cast_=False), None),
    ("attributes and text", lambda t: (t.jot.a.b.cmd, str(t.jot.a), repr(t.jot.a), t.jot.tcl), None),
    ("construct", lambda t: (Jot(t), Jot_Code("a", tcl=t)), None),
    ("Tcl error", lambda t: t.jot.error("boom", cast_=False), TclError),
    ("conversion error", lambda t: t.jot.echo(hostile.BadQuoten()), hostile.Boom),
    ("jot itself", lambda t: t.jot(1), TclError),
    ("no tcl", lambda t: Jot_Code("a"), TypeError),
]


@pytest.mark.parametrize("name, operation, raises", LEAK_CALLS, ids=[c[0] for c in LEAK_CALLS])
def test_no_leaks(no_leaks, small, name, operation, raises):
    no_leaks(operation, small, raises=raises)


def test_no_leaks_with_a_dead_interpreter(no_leaks):
    code = Jot(Interpreter()).set
    gc.collect()
    no_leaks(code, "x", 1, raises=ReferenceError)


class StandIn:
    """A Tcl application object of a user's own: no interpreter behind it."""

    def __init__(self, result):
        self.result = result

    def call(self, *words):
        return self.result


@pytest.mark.parametrize("result", [42, ("a", "b c"), 1.5, "text"])
def test_uncast_result_of_a_stand_in_is_its_str(result):
    fake = FakeInterpreter(StandIn(result))
    assert Jot(fake).anything("x", cast_=False) == str(result)


# -- what a quick call reads again on every call --------------------------------
#
# A quick call keeps what it read from the interpreter, its class and the
# history for as long as they stay as they were; each change below, made
# between two calls, must show in the second.


class Mutating:
    """A history that changes the list of words it is given."""

    def __init__(self):
        self.items = []

    def append(self, item):
        self.items.append(list(item))
        item[1] = "changed"


class Watched(History):
    def append(self, item):
        self.__dict__.setdefault("seen", []).append(list(item))
        super().append(item)


def spy(log):
    return lambda *args: log.append(list(args[-1]))


def history_of_another_kind(tcl, patch, log):
    patch.setattr(tcl, "history", Mutating())
    return lambda result: (tcl.history.items, tcl.eval("set x", record=False), tcl.eval("set changed", record=False)) == (
        [["set", "x", "v"]], "old", "v")  # it ran as the list stood afterwards


def history_subclass(tcl, patch, log):
    patch.setattr(tcl, "history", Watched())
    return lambda result: tcl.history.seen == [["set", "x", "v"]] and tcl.history.filter()[-1].api == "set x v"


def append_on_the_instance(tcl, patch, log):
    patch.setattr(tcl.history, "append", spy(log), raising=False)
    return lambda result: log == [["set", "x", "v"]] and tcl.history.filter()[-1].api != "set x v"


def append_on_the_class(tcl, patch, log):
    patch.setattr(History, "append", spy(log))
    return lambda result: log == [["set", "x", "v"]]


def own_cast_any(owner):
    def change(tcl, patch, log):
        target = tcl if owner == "instance" else Interpreter
        patch.setattr(target, "cast_any", (lambda v: ("own", v)) if owner == "instance" else (lambda s, v: ("own", v)),
                      raising=False)
        return lambda result: result == tcl.eval("set x", typecast=True) == ("own", "v")
    return change


def own_reading(owner, name):
    def change(tcl, patch, log):
        target = tcl if owner == "instance" else Interpreter
        reader = (lambda v: ("own", v)) if owner == "instance" else (lambda s, v: ("own", v))
        patch.setattr(target, name, reader, raising=False)
        return lambda result: result == ("own", "v") == tcl.cast_any("v")  # cast_any's first step
    return change


def other_tk(tcl, patch, log):
    other = tkinter.Tcl().tk
    patch.setattr(tcl, "tk", other)
    return lambda result: result == "v" and other.eval("set x") == "v" and tcl.jot.set("y", "2") == 2


def call_of_the_application(tcl, patch, log):
    patch.setattr(tcl, "tk", apps.LoggingApp(tcl.tk, log))
    return lambda result: result == "v" and log == [("set", "x", "v")] and tcl.eval("set x", record=False) == "v"


def call_of_the_application_class(tcl, patch, log):
    if not apps.class_is_mutable():
        pytest.skip("tkinter's application type takes no new attributes on this Python")
    original = type(tcl.tk).call
    patch.setattr(type(tcl.tk), "call", lambda tk, *words: (log.append(words), original(tk, *words))[1])
    return lambda result: result == "v" and log == [("set", "x", "v")] and tcl.eval("set x", record=False) == "v"


def module_tcl_obj(tcl, patch, log):
    patch.setattr(interpreter_module, "Tcl_Obj", str)  # a str has no typename: the global was read
    return AttributeError


CHANGES = [history_of_another_kind, history_subclass, append_on_the_instance, append_on_the_class,
           own_cast_any("instance"), own_cast_any("class"), own_reading("instance", "cast_int"),
           own_reading("class", "getint"), other_tk, call_of_the_application, call_of_the_application_class, module_tcl_obj]


@pytest.mark.parametrize("change", CHANGES, ids=range(len(CHANGES)))
def test_changes_between_calls_show(monkeypatch, change):
    tcl = Interpreter()
    tcl.eval("set x old")
    for cast in (False, True, True):  # what the calls keep is fresh
        tcl.jot.set("y", "0", cast_=cast)
        tcl.eval("set y", typecast=cast)
    check = change(tcl, monkeypatch, [])
    if check is AttributeError:
        with pytest.raises(AttributeError):
            tcl.jot.set("x", "v")
        with pytest.raises(AttributeError):
            tcl.eval("set x", typecast=True)
    else:
        assert check(tcl.jot.set("x", "v"))


def replace_by_setattr(tcl, history):
    tcl.history = history


def replace_in_dict(tcl, history):
    tcl.__dict__["history"] = history


def replace_by_update(tcl, history):
    vars(tcl).update(history=history)


def replace_after_delete(tcl, history):
    del tcl.history
    tcl.history = history


def replace_the_dict(tcl, history):
    tcl.__dict__ = dict(vars(tcl), history=history)


@pytest.mark.parametrize("replace", [replace_by_setattr, replace_in_dict, replace_by_update, replace_after_delete,
                                     replace_the_dict])
def test_every_way_of_changing_the_instance_shows(replace):
    # However the interpreter's own attributes change, the next call reads them anew.
    tcl = Interpreter()
    for _ in range(3):
        tcl.eval("set y 1")
        tcl.jot.set("y", "2")
    for step in range(3):
        recorder = Recorder()
        replace(tcl, recorder)
        tcl.eval(f"set x {step}")
        tcl.jot.set("x", str(step))
        assert recorder.items == [list(f"set x {step}"), ["set", "x", str(step)]]


@pytest.mark.parametrize(
    "make",
    [lambda: Jot_Code("a", tcl=object()), lambda: Jot(Interpreter()), History],
    ids=["Jot_Code", "Jot", "History"],
)
def test_weakly_referenceable_like_python_classes(make):
    obj = make()
    ref = weakref.ref(obj)
    assert ref() is obj and weakref.proxy(obj).__class__ is type(obj)
    del obj
    gc.collect()
    assert ref() is None


def left_alive(cls, tag):
    # Read from __dict__: a Jot's or Jot_Code's own getattr would answer anything.
    return [o for o in gc.get_objects() if type(o) is cls and o.__dict__.get("tag") == tag]


@pytest.mark.parametrize(
    "make, attribute",
    [
        (lambda: Jot_Code("a", tcl=None), "tcl"),
        (lambda: Jot_Code("a", tcl=None), "cmd"),
        (lambda: Jot(Interpreter()), "tcl"),
        (History, "enabled"),
        (History, "__markers__"),
    ],
    ids=["Jot_Code.tcl", "Jot_Code.cmd", "Jot.tcl", "History.enabled", "History.__markers__"],
)
def test_object_that_refers_to_itself_is_collected(make, attribute):
    # A cycle of one object of ours alone: only our own clear breaks it.
    # (A weak reference would not tell: the collector clears those before
    # it tries to free anything.)
    obj = make()
    cls, tag = type(obj), "cycle %s %d" % (attribute, id(obj))
    obj.tag = tag
    setattr(obj, attribute, obj)
    del obj
    gc.collect()
    assert left_alive(cls, tag) == []


def test_quick_calls_work_without_the_sibling_modules_c_interfaces():
    # Replaced capsules (or none): quick calls take the Python road to the
    # history and the interpreter, with the same outcome.
    out = run_isolated("""
        import tarvo.tcl.history as history
        import tarvo.tcl.interpreter as interpreter
        history.__c_api__ = None
        interpreter.__c_api__ = "not a capsule"
        tcl = interpreter.Interpreter()
        print(tcl.jot.set("x", "a b"), tcl.history.filter(count=1)[0].api, tcl.jot.expr("1+1"), sep="|")
    """)
    assert out == "a b|set x {a b}|2\n"
