import copy
import gc
import logging
import subprocess
import sys
import textwrap
import tkinter
import weakref

import pytest

from support import apps
from support.tclversion import TCL9
from tarvo.tcl import interpreter as interpreter_module
from tarvo.tcl.interpreter import Interpreter, TclError

MODULE_ORDER = [
    "logging", "Tk", "TclError", "Tcl_Obj", "iter_entry_points", "NestMap", "Array", "History",
    "tclobj", "GetListFromAny", "TclDLL", "TclNamespace", "TclCommand", "quoten", "Jot",
    "TCL_INIT_ENTRYPOINT", "TCL_ALLOWED_ENTRYPOINT_KEYS", "logger", "TclTimeoutError", "Interpreter",
    "_global_interpreter",
]
METHOD_ORDER = [
    "__init__", "_load_entrypoint", "__getattr__", "generate_callback_cmd_name", "create_callback",
    "remove_callback", "eval", "get_errorInfo", "get_array", "get_list", "get_keyed_list", "get_int",
    "get_boolean", "get_double", "get_var", "set_array", "set_keyed_list", "set_var", "set_int",
    "set_double", "set_boolean", "set_list", "cast_list", "cast_int", "cast_double", "cast_boolean",
    "cast_array", "cast_keyed_list", "cast_any", "timeout", "close", "__enter__", "__exit__",
]


def in_order(names, order):
    return [n for n in names if n in order]


def test_module_top_level():
    names = [n for n in vars(interpreter_module) if not n.startswith("__")]
    assert in_order(names, MODULE_ORDER) == [n for n in MODULE_ORDER if n in names]
    assert set(names) <= set(MODULE_ORDER)
    assert interpreter_module.Tk is tkinter.Tk and TclError is tkinter.TclError
    assert interpreter_module.TCL_INIT_ENTRYPOINT == "tarvo.tcl"
    assert "tcl_init" in interpreter_module.TCL_ALLOWED_ENTRYPOINT_KEYS
    assert interpreter_module.logger.name == "tarvo.tcl.interpreter"
    assert isinstance(interpreter_module._global_interpreter, Interpreter)


def test_class_namespace():
    assert Interpreter.__bases__ == (tkinter.Tk,)
    assert Interpreter.__MAX_HISTORY__ == 9999
    methods = [n for n in Interpreter.__dict__ if n in METHOD_ORDER]
    assert methods == [n for n in METHOD_ORDER if n in methods]
    assert Interpreter.__module__ == "tarvo.tcl.interpreter"


def test_eval_and_history(tcl):
    assert tcl.eval("set a 1") == "1"
    assert tcl.eval("set b {x y}") == "x y"
    assert tcl.history.filter()[-1].api == "set b {x y}"


@pytest.mark.parametrize("record", [False, 0, None, ""])
def test_eval_without_recording(tcl, record):
    before = len(tcl.history.filter(count=0))
    assert tcl.eval("set a 2", record=record) == "2"
    assert len(tcl.history.filter(count=0)) == before


def test_startup_state(tcl):
    assert tcl.vars["::argc"] == "0"
    assert tcl.vars["::argv"] == ""
    assert tcl.vars["::argv0"] == ""
    assert tcl.vars["::tcl_interactive"] == "0"
    assert tcl.tk.eval("package present Tclx")
    assert tcl.history.filter(count=0) == []
    assert tcl.history.enabled is True
    assert tcl.__callbacks__ == {}
    assert tcl.vars is tcl.local_ns.vars and tcl.objs is tcl.local_ns.objs
    assert tcl.global_ns.name == "::" and tcl.local_ns.name is None


def test_later_interpreters_load_the_tclx_the_first_one_found(oracle):
    # The shared interpreter searched for TclX; a later one is handed the
    # script Tcl found, so its require reads no package index.
    from tarvo.tcl.interpreter import _global_interpreter as first

    later = Interpreter()
    version = first.eval("package provide Tclx")
    assert later.eval("package provide Tclx") == version == oracle.eval("package require Tclx")
    script = f"package ifneeded Tclx {version}"
    assert later.eval(script) == first.eval(script) == oracle.eval(script)
    assert later.eval("keylset k a.b 1; keylget k a.b") == "1"
    assert "msgcat" not in later.eval("package names").split()
    # Other packages are still found by Tcl's own search.
    assert later.eval("package require msgcat") == oracle.eval("package require msgcat")


def test_error_carries_tcl_trace(tcl):
    with pytest.raises(TclError) as info:
        tcl.eval("proc p {} {error boom}; p")
    error = info.value
    assert str(error).startswith("boom\n    while executing\n")
    assert '(procedure "p" line 1)' in str(error)
    assert error.args == (tcl.vars["::errorInfo"],)
    assert error.__cause__ is None and error.__suppress_context__
    assert str(error.__context__) == "boom"
    assert tcl.history.filter()[-1].api == "proc p {} {error boom}; p"


def test_error_context_inside_an_except_block(tcl):
    try:
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(TclError) as info:
            tcl.eval("error inner")
    caught = info.value.__context__
    assert isinstance(caught, TclError) and str(caught) == "inner"
    assert isinstance(caught.__context__, KeyError)


def test_non_tcl_errors_pass_unchanged(tcl):
    with pytest.raises(TypeError):
        tcl.eval(5)
    tcl.history = None  # recording needs a history
    with pytest.raises(AttributeError):
        tcl.eval("set a 1")
    assert tcl.eval("set a 1", record=False) == "1"


def test_attributes_of_the_tcl_application_show_through(tcl):
    tcl.call("set", "x", "7")
    assert tcl.eval("set x") == "7"
    assert tcl.interpaddr() == tcl.tk.interpaddr()
    with pytest.raises(AttributeError) as info:
        tcl.no_such_thing
    assert str(info.value) == "'Interpreter' object has no attribute 'no_such_thing'"


def spy_getattr(self, name):
    return ("spied", name)


def spy_getattribute(self, name):
    if name == "seen":
        return "everything"
    return object.__getattribute__(self, name)


@pytest.mark.parametrize("owner, name, value, seen, missing", [
    (Interpreter, "__getattr__", spy_getattr, "seen", ("spied", "nothing_here")),
    (Interpreter, "__getattribute__", spy_getattribute, "everything", AttributeError),
    (tkinter.Misc, "__getattribute__", spy_getattribute, "everything", AttributeError),
    (Interpreter, "readonly", property(lambda self: "from the class"), "seen", AttributeError),
])
def test_attribute_lookup_follows_the_class(tcl, monkeypatch, owner, name, value, seen, missing):
    # Whatever the classes say about attribute lookup, now or after a change, is what is done.
    tcl.seen = "seen"
    for _ in range(2):
        assert tcl.seen == "seen" and tcl.call("set", "q", "1") == "1"
        with pytest.raises(AttributeError):
            tcl.nothing_here
        with monkeypatch.context() as patch:
            patch.setattr(owner, name, value, raising=False)
            assert tcl.seen == seen and tcl.eval("set q") == "1"
            if name == "readonly":
                assert tcl.readonly == "from the class"
            if missing is AttributeError:
                with pytest.raises(AttributeError):
                    tcl.nothing_here
            else:
                assert tcl.nothing_here == missing

    class Sub(Interpreter):
        def __getattr__(self, attr):
            return ("sub", attr)

    sub = Sub.__new__(Sub)
    assert sub.nothing_here == ("sub", "nothing_here")


def patch_the_application_class(tcl, monkeypatch, seen):
    if not apps.class_is_mutable():
        pytest.skip("tkinter's application type takes no new attributes on this Python")
    original = type(tcl.tk).eval
    monkeypatch.setattr(type(tcl.tk), "eval", lambda tk, code: (seen.append(code), original(tk, code))[1])


def wrap_the_application(tcl, monkeypatch, seen):
    monkeypatch.setattr(tcl, "tk", apps.LoggingApp(tcl.tk, seen))


@pytest.mark.parametrize("change", [patch_the_application_class, wrap_the_application])
def test_eval_of_the_application_follows_changes(tcl, monkeypatch, change):
    seen = []
    for _ in range(3):
        assert tcl.eval("set a 1") == "1"
    change(tcl, monkeypatch, seen)
    assert tcl.eval("set a 2") == "2" and seen == ["set a 2"]
    monkeypatch.undo()
    assert tcl.eval("set a 3") == "3" and seen == ["set a 2"]


def test_getattr_without_tk_does_not_recurse():
    bare = Interpreter.__new__(Interpreter)
    with pytest.raises(AttributeError) as info:
        bare.anything
    assert str(info.value) == "'Interpreter' object has no attribute 'anything'"
    assert not hasattr(copy.copy(bare), "anything")


def test_export_list_of_the_shared_interpreter():
    shared = interpreter_module._global_interpreter
    names = shared.__all__
    assert not [n for n in names if n.startswith("_")]
    public_methods = [n for n in Interpreter.__dict__ if not n.startswith("_")]
    assert names[: len(public_methods)] == public_methods
    assert names[:4] == ["generate_callback_cmd_name", "create_callback", "remove_callback", "eval"]
    assert public_methods == [n for n in METHOD_ORDER if not n.startswith("_")]
    for attribute in ("tk", "history", "Jot", "jot", "global_ns", "local_ns", "vars", "objs"):
        assert attribute in names[len(public_methods):]


def test_interpreters_are_independent_and_freed_by_refcount():
    one, two = Interpreter(), Interpreter()
    one.eval("set only 1")
    assert "only" not in two.vars
    assert one.history is not two.history
    gc.disable()
    try:
        ref = weakref.ref(one)
        del one
        assert ref() is None
    finally:
        gc.enable()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.eval(), "eval() takes at least 2 positional arguments (1 given)"),
        (lambda t: t.eval("a", 1, 2, 3), "eval() takes at most 4 positional arguments (5 given)"),
        (lambda t: t.eval("a", cast=1), "eval() got an unexpected keyword argument 'cast'"),
        (lambda t: Interpreter(1), "__init__() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(interpreter_module._global_interpreter)
    assert str(info.value) == message


# -- start-up hooks ----------------------------------------------------------

HOOK_MODULE = """
calls = []
NOT_CALLABLE = 42

def init(tcl):
    calls.append(tcl.eval("set ::hooked yes"))

def boom(tcl):
    raise RuntimeError("hook failed")
"""


@pytest.fixture
def install_hooks(tmp_path, monkeypatch):
    """Installs a distribution whose entry points of the group tarvo.tcl are
    the given `name = object` lines, and returns its hook module."""
    counter = iter(range(1000))

    def install(*lines):
        n = next(counter)
        module = f"tarvo_hooks_{n}"
        (tmp_path / f"{module}.py").write_text(HOOK_MODULE)
        dist = tmp_path / f"tarvo_hooks_{n}-1.0.dist-info"
        dist.mkdir()
        (dist / "METADATA").write_text(f"Metadata-Version: 2.1\nName: tarvo-hooks-{n}\nVersion: 1.0\n")
        body = "\n".join(line.replace("MOD", module) for line in lines)
        (dist / "entry_points.txt").write_text(f"[tarvo.tcl]\n{body}\n")
        monkeypatch.syspath_prepend(str(tmp_path))
        return module

    yield install
    for name in [m for m in sys.modules if m.startswith("tarvo_hooks_")]:
        del sys.modules[name]


def test_hook_runs_on_every_new_interpreter(install_hooks, caplog):
    caplog.set_level(logging.DEBUG, logger="tarvo.tcl.interpreter")
    module = install_hooks("tcl_init = MOD:init")
    tcl = Interpreter()
    hooks = sys.modules[module]
    assert hooks.calls == ["yes"] and tcl.vars["::hooked"] == "yes"
    assert f"Loading Tcl-Init from {module}" in [r.getMessage() for r in caplog.records]
    assert [e.api for e in tcl.history.filter()] == ["set ::hooked yes"]  # hooks are recorded
    tcl._load_entrypoint()
    assert hooks.calls == ["yes", "yes"]


@pytest.mark.parametrize("name", ["setup", "tcl", "init", "tcl_init2"])
def test_hook_with_an_unknown_name_fails_construction(install_hooks, name):
    module = install_hooks(f"{name} = MOD:init")
    with pytest.raises(ValueError) as info:
        Interpreter()
    assert str(info.value) == f"Unknown Tcl entrypoint: {name} from {module}"
    assert sys.modules.get(module) is None or sys.modules[module].calls == []


@pytest.mark.parametrize(
    "target, error, message",
    [
        ("MOD:NOT_CALLABLE", TypeError, "Tcl-Init must be callable, got: 42"),
        ("MOD:boom", RuntimeError, "hook failed"),
        ("MOD:missing", AttributeError, None),
    ],
)
def test_failing_hooks(install_hooks, target, error, message):
    install_hooks(f"tcl_init = {target}")
    with pytest.raises(error) as info:
        Interpreter()
    if message:
        assert str(info.value) == message


def test_failed_construction_leaves_the_module_usable(monkeypatch):
    class Hook:
        def __init__(self, name, target):
            self.name, self.module_name, self._target = name, "somewhere", target

        def load(self):
            return self._target

    ran = []
    hooks = [Hook("tcl_init", ran.append), Hook("bad", ran.append), Hook("tcl_init", ran.append)]
    monkeypatch.setattr(interpreter_module, "iter_entry_points", lambda group: iter(hooks))
    with pytest.raises(ValueError, match="Unknown Tcl entrypoint: bad from somewhere"):
        Interpreter()
    assert len(ran) == 1  # the first hook ran, the loop stopped at the bad one
    hooks.pop(1)
    tcl = Interpreter()
    assert ran[-2:] == [tcl, tcl]
    assert interpreter_module._global_interpreter.eval("set a 5") == "5"


def test_no_declared_hook_spares_importing_importlib_metadata():
    script = "import sys, tarvo.tcl.interpreter; print('importlib.metadata' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_import_fails_with_a_bad_hook(install_hooks, tmp_path):
    install_hooks("setup = MOD:init")
    script = textwrap.dedent(
        """
        import sys
        sys.path.insert(0, sys.argv[1])
        try:
            import tarvo.tcl.interpreter
        except ValueError as e:
            print("ValueError:", e)
        """
    )
    out = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, text=True)
    assert out.stdout.startswith("ValueError: Unknown Tcl entrypoint: setup from tarvo_hooks_"), out.stderr


@pytest.mark.parametrize("hex_bytes, tcl8", [("ff41", "\xffA"), ("c3", "\xc3"), ("41c328", "A\xc3(")])
def test_invalid_utf8_as_the_tcl_in_use_reads_it(tcl, oracle, hex_bytes, tcl8):
    # Tcl 9's encodings are strict by default: bytes that are no UTF-8 fail
    # where Tcl 8.6 reads each as the character of its value.
    script = f"encoding convertfrom utf-8 [binary format H* {hex_bytes}]"
    if not TCL9:
        assert tcl.eval(script) == oracle.eval(script) == tcl8
        return
    with pytest.raises(TclError) as info:
        tcl.eval(script)
    with pytest.raises(tkinter.TclError) as plain:
        oracle.eval(script)
    assert info.value.message == str(plain.value)
    assert info.value.message.startswith("unexpected byte sequence starting at index ")
