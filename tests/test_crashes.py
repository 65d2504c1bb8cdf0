"""Paths that crashed the process, or easily could: each runs in a child
process (support.crash.run_isolated), so a regression fails its own test
instead of ending the run.

Most are hostile objects that drop the container a walker is working on,
or a module global it is about to call; under `make sanitize` a use of the
freed object is reported at once.
"""
import pytest

from support.crash import run_isolated

HISTORY_CASES = [
    (
        "a marker store that replaces the markers while they are walked",
        """
        from tarvo.tcl.history import History
        h = History(5)
        class Store(list):
            def append(self, item):
                h.__markers__ = {"a": [], "b": []}
                super().append(item)
        h.__markers__ = {"a": Store(), "b": Store()}
        h.start_marker("a"); h.start_marker("b")
        h.append("x")
        print(h.__markers__)
        """,
        "{'a': [], 'b': []}",
    ),
    (
        "a marker whose comparison replaces the markers",
        """
        from tarvo.tcl.history import History
        from support.hostile import Colliding
        h = History(5)
        def replace():
            h.__markers__ = {}
        h.__markers__ = {"m": []}
        h.start_marker(Colliding("m", on_eq=replace))
        print(h.__markers__, len(h.__activeMarkers__))
        """,
        "{} 1",
    ),
    (
        "a marker whose comparison replaces the active markers",
        """
        from tarvo.tcl.history import History
        from support.hostile import Colliding
        h = History(5)
        def replace():
            h.__activeMarkers__ = []
        h.__activeMarkers__ = ["marker %d" % i for i in range(20)]
        try:
            h.end_marker(Colliding("other", on_eq=replace))
        except ValueError as error:
            print(error)
        """,
        "list.remove(x): x not in list",
    ),
    (
        "a logger that replaces itself while asked for its level",
        """
        import logging
        from tarvo.tcl import history
        class Mine(logging.Logger):
            def isEnabledFor(self, level):
                history.logger = logging.getLogger("elsewhere")
                return True
            def debug(self, *args):
                print("debug", self.name)
        history.logger = Mine("mine")
        history.History(5)
        """,
        "debug mine",
    ),
    (
        "a logger whose disabled flag replaces the level cache",
        """
        from tarvo.tcl import history
        logger = history.logger
        class Known:
            def __bool__(self):
                return True
        class Disabled:
            def __bool__(self):
                logger._cache = {}
                return False
        h = history.History(5)
        logger.disabled = Disabled()
        logger._cache = {10: Known()}
        logger.debug = lambda *args: print("logged", args[-1])
        h.append("x")
        """,
        "logged x",
    ),
]


@pytest.mark.parametrize("code, expected", [c[1:] for c in HISTORY_CASES], ids=[c[0] for c in HISTORY_CASES])
def test_history(code, expected):
    assert run_isolated(code).strip() == expected


def test_entry_point_whose_name_replaces_the_allowed_names():
    out = run_isolated(
        """
        from tarvo.tcl import interpreter
        from support.hostile import Colliding
        def replace():
            interpreter.TCL_ALLOWED_ENTRYPOINT_KEYS = ("tcl_init",)
        class Hook:
            name = Colliding("zz", on_eq=replace)
            module_name = "hooks"
        interpreter.TCL_ALLOWED_ENTRYPOINT_KEYS = tuple("name %d" % i for i in range(30))
        interpreter.iter_entry_points = lambda group: iter([Hook()])
        try:
            interpreter.Interpreter()
        except ValueError as error:
            print(type(error).__name__)
        """
    )
    assert out.strip() == "ValueError"


@pytest.mark.parametrize(
    "statement, expected",
    [
        ('vars["v"] = ("a", BadStr())', "Boom"),
        ('vars["v"] = ["a", ("b", JunkStr())]', "TypeError"),
        ('cycle = ["a"]; cycle.append(cycle); vars["v"] = cycle', "RecursionError"),
        ('vars.array_set("arr", {"k": ("a", BadStr())})', "Boom"),
        ('vars.array_set("arr", {"j": "fine", "k": BadStr()})', "Boom"),
    ],
    ids=["tuple item whose str raises", "nested junk", "list holding itself", "array value item", "array value"],
)
def test_values_tkinter_cannot_convert(statement, expected):
    # tkinter hands Tcl a null object for an item it cannot convert (and
    # recurses without end into a list that holds itself): these values
    # must raise before they reach it, and write nothing.
    out = run_isolated(
        f"""
        import tkinter
        from support.hostile import BadStr, JunkStr, Boom
        from tarvo.tcl.namespace import TclNamespace
        vars = TclNamespace("::", tcl=tkinter.Tk(useTk=0)).vars
        try:
            {statement}
        except (Boom, TypeError, RecursionError) as error:
            print(type(error).__name__, "v" in vars, "arr" in vars)
        """
    )
    assert out.split() == [expected, "False", "False"]


TEARDOWN_CASES = [
    (
        "namespace objects outliving their interpreter",
        """
        import gc
        from tarvo.tcl.interpreter import Interpreter
        tcl = Interpreter()
        tcl.eval("set x 1")
        ns, cmd, entry = tcl.global_ns, tcl.global_ns.cmds["set"], tcl.history.filter()[-1]
        del tcl
        gc.collect()
        print(ns.vars["x"], cmd.exists(), entry.api)
        try:
            ns.cmds["set"]
        except ReferenceError:
            print("ReferenceError")
        """,
        "1 True set x 1\nReferenceError",
    ),
    (
        "an interpreter dropped by the callback Tcl is running",
        """
        import gc
        from tarvo.tcl.interpreter import Interpreter
        holder = [Interpreter()]
        def drop():
            holder.clear()
            gc.collect()
            return "dropped"
        holder[0].tk.createcommand("drop", drop)
        print(holder[0].eval("drop"), holder)
        """,
        "dropped []",
    ),
    (
        "a callback that removes the Tcl application before an error",
        """
        from tarvo.tcl.interpreter import Interpreter, TclError
        tcl = Interpreter()
        def remove():
            del tcl.tk
        tcl.tk.createcommand("remove", remove)
        try:
            tcl.eval("remove; error oops")
        except TclError as error:
            print(str(error).splitlines()[0])
        """,
        "oops",
    ),
    (
        "recursion through a callback",
        """
        from tarvo.tcl.interpreter import Interpreter, TclError
        tcl = Interpreter()
        tcl.tk.createcommand("again", lambda: tcl.eval("again"))
        try:
            tcl.eval("again")
        except TclError:
            print("TclError")
        """,
        "TclError",
    ),
]


@pytest.mark.parametrize("code, expected", [c[1:] for c in TEARDOWN_CASES], ids=[c[0] for c in TEARDOWN_CASES])
def test_teardown(code, expected):
    assert run_isolated(code).strip() == expected


# -- lone surrogates inside containers ---------------------------------------

WRITERS = {
    "set_list": "tcl.set_list('::v', ['a', TEXT])",
    "vars with a tuple": "tcl.vars['::v'] = ('a', (TEXT,))",
    "set_keyed_list": "tcl.set_keyed_list('::v', {'k': TEXT, 'j': 'b'})",
    "set_array": "tcl.set_array('::v', {'k': ('a', TEXT)})",
}


@pytest.mark.parametrize("writer", WRITERS.values(), ids=WRITERS)
@pytest.mark.parametrize("text", ["'\\ud800'", "'x\\udbff\\U0001F600'", "'\\udfff'"], ids=["first", "high", "last"])
def test_lone_surrogates_inside_containers(writer, text):
    out = run_isolated(f"""
        from tarvo.tcl.interpreter import Interpreter
        tcl = Interpreter()
        TEXT = {text}
        try:
            tcl.set_var("::v", TEXT)
        except UnicodeEncodeError as error:
            print(error.reason)
        tcl.set_var("::v", "before")
        try:
            {writer}
        except UnicodeEncodeError as error:
            print(error.reason)
        print(tcl.get_var("::v"))
    """)
    # The same clean error as for the scalar, and the variable as it was.
    assert out.splitlines() == ["surrogates not allowed", "surrogates not allowed", "before"]


def test_surrogates_that_stand_for_bytes_still_pass(tcl):
    tcl.set_list("::v", ["\udc80", "\udcff"])  # tkinter hands them over as the bytes 0x80 and 0xFF
    assert len(tcl.get_list("::v")) == 2


# -- calls from a thread other than the interpreter's -------------------------

THREAD_CALLS = {
    "GetListFromAny with the interpreter": "GetListFromAny('{a', interp=tcl)",
    "TclError_from_interp": "TclError_from_interp(tcl)",
    "cast_boolean": "tcl.cast_boolean('maybe')",
    "cast_int": "tcl.cast_int('x')",
    "cast_double": "tcl.cast_double('x')",
    "cast_any": "tcl.cast_any('hello world')",
    "get_int": "tcl.get_int('::n')",
    "eval": "tcl.eval('set a 1')",
    "quick call": "tcl.jot.set('a', 1, cast_=False)",
    "create_callback": "tcl.create_callback(print, cmd_name='p')",
    "remove_callback": "tcl.remove_callback('cb')",
}


@pytest.mark.parametrize("call", THREAD_CALLS.values(), ids=THREAD_CALLS)
def test_calls_from_another_thread_are_refused(call):
    # The interpreter's own thread evaluates meanwhile: a write into its
    # interpreter from here would corrupt it.
    out = run_isolated(f"""
        import threading
        from tarvo.tcl.interpreter import Interpreter
        from tarvo.tcl.internal import GetListFromAny, TclError_from_interp
        tcl = Interpreter()
        tcl.set_var("::n", 5)
        tcl.create_callback(lambda: "cb", cmd_name="cb")
        outcome = []
        def other():
            for _ in range(50):
                try:
                    {call}
                    outcome.append("ran")
                except RuntimeError as error:
                    outcome.append(str(error))
        thread = threading.Thread(target=other)
        thread.start()
        while thread.is_alive():
            tcl.eval("for {{set i 0}} {{$i < 2000}} {{incr i}} {{catch {{error x}}; lsort {{b a c}}}}")
        print(set(outcome))
        print(tcl.eval("set a done"), tcl.get_int("::n"))
    """)
    refused, after = out.splitlines()
    # Our own refusal names the rule; a reading through tkinter's eval gets
    # tkinter's refusal, which starts the same.
    assert "Calling Tcl from different apartment" in refused
    assert "ran" not in refused and after == "done 5"


def test_what_touches_no_interpreter_works_from_any_thread():
    out = run_isolated("""
        import threading
        from tarvo.tcl import cast_list
        from tarvo.tcl.interpreter import Interpreter
        from tarvo.tcl.internal import GetListFromAny, DictionaryCompare
        from tarvo.tcl.quoten import quoten
        from tarvo.tcl.nestmap import NestMap
        tcl = Interpreter()
        results = []
        def other():
            results.append(GetListFromAny("a {b c}"))
            results.append(cast_list("1 2", int))
            results.append(quoten(["a b", 1]))
            results.append(DictionaryCompare("x9", "x10"))
            results.append(NestMap.from_tcl("{a 1} {b {{c 2}}}").all_items())
            try:
                GetListFromAny("{a")
            except Exception as error:
                results.append(str(error))
        thread = threading.Thread(target=other)
        thread.start()
        thread.join()
        print(results)
    """)
    assert out.strip() == str(
        [("a", "b c"), (1, 2), "{a b} 1", -1, [("a", "1"), ("b.c", "2")], "invalid list element"]
    )


def test_interpreters_collected_together_with_our_modules():
    # Dropped from sys.modules, the modules, their types and interpreters
    # that refer to themselves are one garbage cycle: the collector may take
    # a module apart before the object that closes an interpreter.
    out = run_isolated("""
        import gc, sys
        import tarvo.tcl.interpreter as interpreter
        tcls = [interpreter.Interpreter() for _ in range(3)]
        for tcl in tcls:
            tcl.create_callback(lambda: None, cmd_name="cb")
            tcl.cycle = tcl
        for name in [name for name in sys.modules if name.startswith("tarvo")]:
            del sys.modules[name]
        del interpreter, tcl, tcls
        gc.collect()
        import tarvo.tcl.interpreter
        print(tarvo.tcl.interpreter.Interpreter().eval("expr {6 * 7}"))
    """)
    assert out == "42\n"


# Code points beside the refused ones (U+D800 to U+DFFF but for U+DC80 to
# U+DCFF): non-Latin-1 text, the last before and the first after.
@pytest.mark.parametrize("writer", WRITERS.values(), ids=WRITERS)
@pytest.mark.parametrize("text", ["Жёлтый", "\u0100\ud7ff", "\ue000\U0001f600", "\udc80\udcff"])
def test_text_beside_the_lone_surrogates_passes(tcl, writer, text):
    exec(writer, {"tcl": tcl, "TEXT": text})
    written = tcl.eval("if {[array exists ::v]} {array get ::v} else {set ::v}")
    if "\udc80" not in text:  # (those two come back as the bytes they stand for)
        assert text in written
