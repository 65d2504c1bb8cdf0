import gc
import pathlib
import weakref

import pytest

from tarvo.tcl.interpreter import Interpreter, TclError
from support.crash import run_isolated
from tarvo.tcl.namespace import TclCommand


def report(*args):
    return "got " + " ".join(args)


class Holder:
    def method(self):
        return "m"

    def __call__(self):
        return "called"


class Unnamed:
    def __call__(self):
        return "x"


# -- default names -----------------------------------------------------------


def test_default_names():
    holder, unnamed = Holder(), Unnamed()
    bound = holder.method
    generate = Interpreter.generate_callback_cmd_name
    assert generate(report) == "report"
    assert generate(report, mangle_cmd_name=True) == f"{id(report)}_report"
    assert generate(bound) == "method"
    assert generate(bound, True) == f"{id(bound)}_method"  # the id of what was passed
    assert generate(unnamed) == f"{id(unnamed)}_"
    assert generate(lambda: 0) == "<lambda>"
    assert Interpreter().generate_callback_cmd_name(report) == "report"


def test_default_name_lookup_errors_propagate():
    class Strange:
        @property
        def __name__(self):
            raise RuntimeError("no")

    with pytest.raises(RuntimeError):
        Interpreter.generate_callback_cmd_name(Strange())


# -- creating and removing ---------------------------------------------------


def test_create_callback_publishes_the_function(tcl):
    cmd = tcl.create_callback(report)
    assert isinstance(cmd, TclCommand) and str(cmd) == "::report"
    assert tcl.__callbacks__ == {"::report": report}
    assert tcl.eval("report a {b c}") == "got a b c"
    assert tcl.eval("set r [report 1 2]; llength $r") == "3"


def test_results_reach_tcl_in_their_string_form(tcl):
    tcl.create_callback(lambda: ("a", "b c", 5), cmd_name="listy")
    assert tcl.eval("listy") == "a {b c} 5"
    assert tcl.eval("lindex [listy] 1") == "b c"


@pytest.mark.parametrize("name", [None, ""])
def test_false_names_mean_the_default(tcl, name):
    assert str(tcl.create_callback(report, cmd_name=name)) == "::report"


def test_taken_name_is_refused_without_change(tcl):
    with pytest.raises(ValueError) as info:
        tcl.create_callback(report, cmd_name="puts")
    assert str(info.value) == "Cannot create command '::puts': command already exists"
    assert tcl.__callbacks__ == {}
    assert not TclCommand("::brindle::_cbBkup::puts", tcl=tcl).exists()


def test_forced_replacement_and_restore_on_a_fresh_interpreter():
    tcl = Interpreter()
    tcl.create_callback(report, cmd_name="puts", force=True)
    assert tcl.eval("puts x") == "got x"
    assert TclCommand("::brindle::_cbBkup::puts", tcl=tcl).exists()
    restored = tcl.remove_callback("puts")
    assert isinstance(restored, TclCommand) and str(restored) == "::puts"
    assert not TclCommand("::brindle::_cbBkup::puts", tcl=tcl).exists()
    with pytest.raises(TclError, match="can not find channel named"):
        tcl.eval("puts nosuchchannel x")  # the real puts again


def test_namespaced_callbacks_keep_their_namespace_in_the_backup(tcl):
    tcl.eval("namespace eval ::ns {proc foo {} {return orig}}")
    tcl.create_callback(report, cmd_name="::ns::foo", force=True)
    assert TclCommand("::brindle::_cbBkup::ns::foo", tcl=tcl).exists()
    assert tcl.eval("::ns::foo") == "got "
    assert str(tcl.remove_callback("::ns::foo")) == "::ns::foo"
    assert tcl.eval("::ns::foo") == "orig"


@pytest.mark.parametrize("how", ["command", "callable", "name", "qualified name"])
def test_removal_by_command_callable_or_name(tcl, how):
    cmd = tcl.create_callback(report)
    key = {"command": cmd, "callable": report, "name": "report", "qualified name": "::report"}[how]
    assert tcl.remove_callback(key) is None
    assert tcl.__callbacks__ == {} and not cmd.exists()
    with pytest.raises(ValueError) as info:
        tcl.remove_callback(key)
    assert str(info.value) == "No callback in this interpreter named '::report'"


def test_explicit_name_is_not_the_callables_default(tcl):
    tcl.create_callback(report, cmd_name="custom")
    with pytest.raises(ValueError, match="No callback in this interpreter named '::report'"):
        tcl.remove_callback(report)
    assert tcl.eval("custom x") == "got x"
    tcl.remove_callback("custom")
    assert not TclCommand("::custom", tcl=tcl).exists()


def test_foreign_commands_are_not_removed(tcl):
    tcl.eval("proc mine {} {}")
    with pytest.raises(ValueError, match="'::mine'"):
        tcl.remove_callback("mine")
    assert TclCommand("::mine", tcl=tcl).exists()


def test_forcing_over_an_own_callback(tcl):
    first = lambda: "first"  # noqa: E731
    second = lambda: "second"  # noqa: E731
    tcl.create_callback(first, cmd_name="cb")
    tcl.create_callback(second, cmd_name="cb", force=True)
    assert tcl.__callbacks__ == {"::cb": second}
    assert tcl.eval("cb") == "second"
    tcl.remove_callback("cb")
    assert tcl.eval("cb") == "first"  # back in Tcl, but not registered
    with pytest.raises(ValueError, match="No callback"):
        tcl.remove_callback("cb")


# -- errors a user can read --------------------------------------------------


def failing(x):
    return 1 / int(x)


def test_a_failing_callback_raises_a_readable_tcl_error(tcl):
    tcl.create_callback(failing)
    tcl.eval("proc outer {} {failing 0}")
    with pytest.raises(TclError) as info:
        tcl.eval("outer")
    text = str(info.value)
    assert text.startswith("ZeroDivisionError: division by zero\nTraceback (most recent call last):\n")
    assert "in failing" in text and "return 1 / int(x)" in text
    assert '(procedure "outer" line 1)' in text
    assert tcl.vars["::errorInfo"] == text


def test_a_failing_callback_under_a_quick_call(tcl):
    tcl.create_callback(failing)
    tcl.eval("proc outer {x} {failing $x}")
    assert tcl.jot.outer(8, cast_=False) == "0.125"
    with pytest.raises(TclError) as info:
        tcl.jot.outer(0, cast_=False)
    text = str(info.value)
    assert text.startswith("ZeroDivisionError: division by zero\nTraceback")
    assert '(procedure "outer" line 1)' in text and "return 1 / int(x)" in text
    assert tcl.history.filter()[-1].api == "outer 0"


def test_tcl_code_can_catch_the_error(tcl):
    tcl.create_callback(failing)
    assert tcl.eval("catch {failing 0} msg") == "1"
    assert tcl.eval("set msg") == "ZeroDivisionError: division by zero"
    assert "Traceback" in tcl.eval("set ::errorInfo")
    assert tcl.eval("failing 4") == "0.25"  # and the next call is fine


def test_custom_exception_text_and_nothing_kept(tcl):
    class Oops(Exception):
        pass

    raised = []

    def cb():
        exc = Oops("bad\nthing")
        raised.append(weakref.ref(exc))
        raise exc

    tcl.create_callback(cb)
    with pytest.raises(TclError) as info:
        tcl.eval("cb")
    assert "Oops: bad\nthing" in str(info.value)
    del info
    gc.collect()
    assert raised[0]() is None  # no reference to the exception outlives the command
    tcl.tk.mainloop()  # nothing was kept aside for a later mainloop to raise


def test_error_text_keeps_every_character(tcl):
    def cb():
        raise ValueError("smile \U0001F600, nul \x00, \u00e9")

    tcl.create_callback(cb)
    assert tcl.eval("catch cb msg; set msg") == "ValueError: smile \U0001F600, nul \x00, \u00e9"


def test_callbacks_reentering_tcl_and_tkinter_commands_afterwards(tcl):
    tcl.create_callback(lambda: tcl.eval("set inner 1"), cmd_name="reenter")
    tcl.tk.createcommand("plain", lambda: "plain")
    assert tcl.eval("reenter; plain") == "plain"
    assert tcl.eval("reenter; reenter; plain; reenter") == "1"


def test_deleting_the_command_releases_the_callable(tcl):
    holder = Holder()
    ref = weakref.ref(holder)
    tcl.create_callback(holder, cmd_name="held")
    del holder
    assert tcl.eval("held") == "called"
    tcl.remove_callback("held")
    gc.collect()
    assert ref() is None


# -- leaks -------------------------------------------------------------------


def test_create_and_remove_do_not_leak(no_leaks, tcl):
    def cycle(callback):
        tcl.create_callback(callback, cmd_name="leaky")
        tcl.eval("leaky a b", record=False)  # a growing history would look like a leak
        tcl.remove_callback("leaky")

    no_leaks(cycle, report)


def test_failing_callbacks_do_not_leak():
    # Run apart from pytest: formatting a traceback under pytest's hooks keeps
    # allocating in the standard library for thousands of calls.
    run_isolated(
        """
        import sys
        sys.path.insert(0, %r)
        from support.leaks import check_leaks
        from tarvo.tcl.interpreter import Interpreter, TclError

        def failing(x):
            return 1 / int(x)

        tcl = Interpreter()
        tcl.create_callback(failing)
        check_leaks(tcl.eval, "failing 0", record=False, raises=TclError, warmup=10)
        check_leaks(tcl.eval, "catch {failing 0}", record=False, warmup=10)
        """
        % str(pathlib.Path(__file__).parent)
    )


@pytest.mark.parametrize(
    "operation, raises",
    [
        (lambda t: t.create_callback(report, cmd_name="puts"), ValueError),
        (lambda t: t.remove_callback("nothing"), ValueError),
        (lambda t: Interpreter.generate_callback_cmd_name(report, True), None),
    ],
)
def test_refusals_do_not_leak(no_leaks, tcl, operation, raises):
    no_leaks(operation, tcl, raises=raises)


# -- a command deleted while its callback runs -------------------------------

DELETIONS = {
    "remove_callback": "tcl.remove_callback('cb')",
    "rename": "tcl.eval('rename cb {}')",
    "proc": "tcl.eval('proc cb {} {return replaced}')",
}
ENDINGS = {"returns": "return 'own result'", "raises": "raise ValueError('own error')"}
STARTS = {
    "eval": "cb",
    "after": "after 0 {set ::code [catch cb ::outcome]}; update; list $::code $::outcome",
}


@pytest.mark.parametrize("start", STARTS)
@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("deletion", DELETIONS)
def test_command_deleted_while_its_callback_runs(deletion, ending, start):
    out = run_isolated(f"""
        import gc, weakref
        from tarvo.tcl.interpreter import Interpreter, TclError
        tcl = Interpreter()
        class Callback:
            def __call__(self):
                {DELETIONS[deletion]}
                {ENDINGS[ending]}
        callback = Callback()
        released = weakref.ref(callback)
        tcl.create_callback(callback, cmd_name="cb")
        del callback
        try:
            print(tcl.eval({STARTS[start]!r}))
        except TclError as error:
            print("error:", error.message)
        gc.collect()
        print(tcl.eval("info commands cb") or "-", released() is None)
    """)
    own = "own result" if ending == "returns" else "ValueError: own error"
    if start == "eval":
        first = own if ending == "returns" else f"error: {own}"
    else:
        first = f"{int(ending == 'raises')} {{{own}}}" if " " in own else f"0 {{{own}}}"
    left = "cb" if deletion == "proc" else "-"
    # The registry keeps a callable until remove_callback drops it.
    assert out.splitlines() == [first, f"{left} {deletion == 'remove_callback'}"]


# -- failures: one report per call, whatever the nesting ---------------------


def test_nested_failures_grow_the_trace_linearly(tcl):
    def cb(n):
        if n == "0":
            raise ValueError("deep")
        return tcl.eval(f"cb {int(n) - 1}")

    tcl.create_callback(cb)

    def failure(depth):
        with pytest.raises(TclError) as info:
            tcl.eval(f"cb {depth}")
        return info.value

    errors = {depth: failure(depth) for depth in (4, 8, 16)}
    for depth, error in errors.items():
        assert error.message == "ValueError: deep"
        assert error.errorcode == ("PYTHON", "ValueError")
        assert str(error).startswith("ValueError: deep\nTraceback (most recent call last):\n")
        # Every level's Python frames once, its Tcl command once.
        assert str(error).count("Traceback (most recent call last)") == depth + 1
        assert [f'"cb {n}"' in str(error) for n in range(depth + 1)] == [True] * (depth + 1)
    per_level = (len(str(errors[8])) - len(str(errors[4]))) / 4
    assert len(str(errors[16])) - len(str(errors[8])) == pytest.approx(8 * per_level, rel=0.05)


def test_a_tcl_error_passes_through_a_callback_as_tcl_s_own(tcl):
    tcl.create_callback(lambda: tcl.eval("expr {1/0}"), cmd_name="divide")
    tcl.eval("proc guarded {} {try {divide} trap {ARITH DIVZERO} {msg} {return trapped:$msg}}")
    assert tcl.eval("guarded") == "trapped:divide by zero"
    with pytest.raises(TclError) as info:
        tcl.eval("divide")
    assert (info.value.message, info.value.errorcode) == ("divide by zero", ("ARITH", "DIVZERO", "divide by zero"))
    assert str(info.value).startswith('divide by zero\n    while executing\n"expr {1/0}"\nTraceback')


def test_runaway_recursion_ends_with_memory_flat():
    out = run_isolated("""
        import resource
        from tarvo.tcl.interpreter import Interpreter, TclError
        tcl = Interpreter()
        tcl.create_callback(lambda: tcl.eval("again"), cmd_name="again")
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            tcl.eval("again")
        except TclError as error:
            print(error.message)
        # Flat: the text of each level no longer copies the levels below
        # (which took gigabytes); room is left for a checked build's memory.
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 1024 * 1024)
        print(tcl.eval("set after 1"))
    """)
    message, flat, after = out.splitlines()
    assert message.startswith("RecursionError: maximum recursion depth exceeded") or message.startswith(
        "too many nested evaluations"
    )
    assert (flat, after) == ("True", "1")


def takes_one(word):
    return word


def test_a_call_with_the_wrong_number_of_words(tcl):
    tcl.create_callback(takes_one)
    with pytest.raises(TclError) as info:
        tcl.eval("takes_one a b")
    assert info.value.message == "TypeError: takes_one() takes 1 positional argument but 2 were given"
    assert info.value.errorcode == ("PYTHON", "TypeError")
    assert str(info.value) == f'{info.value.message}\n    while executing\n"takes_one a b"'


def test_each_call_reports_its_own_outcome(tcl):
    def cb(word):
        if word == "bad":
            raise ValueError("bad")
        if word == "nested":
            assert tcl.eval("catch {cb bad} msg; set msg") == "ValueError: bad"
            return "outer fine"
        return word

    tcl.create_callback(cb)
    # Nothing but the command itself reaches the callback.
    assert tcl.eval("info commands ::tarvo::_callbacks::*") == ""
    assert tcl.eval("catch {cb bad}") == "1"
    assert tcl.eval("cb good") == "good"
    assert tcl.eval("cb nested") == "outer fine"


# -- results tkinter cannot convert ------------------------------------------

UNCONVERTIBLE = {
    "a tuple holding an object whose str() raises": ("(1, Boom())", "ValueError: no str"),
    "a str with a lone surrogate": ("'x\\ud800'", "UnicodeEncodeError: "),
    "a tuple holding a lone surrogate": ("('a', ['\\udfff'])", "UnicodeEncodeError: "),
    "an object whose str() raises": ("Boom()", "ValueError: no str"),
}


@pytest.mark.parametrize("result, message", UNCONVERTIBLE.values(), ids=UNCONVERTIBLE)
def test_results_tkinter_cannot_convert(result, message):
    out = run_isolated(f"""
        from tarvo.tcl.interpreter import Interpreter, TclError
        class Boom:
            def __str__(self):
                raise ValueError("no str")
        tcl = Interpreter()
        tcl.create_callback(lambda: {result}, cmd_name="cb")
        try:
            tcl.eval("cb")
        except TclError as error:
            print(error.message)
            print(error.errorcode)
        tcl.tk.mainloop()  # nothing was kept aside for a later mainloop
        print(tcl.eval("catch cb; set done 1"))
    """)
    assert out.startswith(message)


@pytest.mark.parametrize(
    "result, text",
    [
        (None, "None"),
        ((1, "a b", None), "1 {a b} None"),
        ([1, [2, "x y"]], "1 {2 {x y}}"),
        (b"ab\xff", "ab\xff"),
        (2**70, str(2**70)),
        (True, "1"),
        (1.5, "1.5"),
        ({"k": 1}, "{'k': 1}"),
    ],
)
def test_results_keep_tkinter_s_conversion(tcl, result, text):
    tcl.create_callback(lambda: result, cmd_name="cb")
    assert tcl.eval("cb") == text


# -- KeyboardInterrupt and SystemExit stop the whole evaluation --------------

STOPS = {"KeyboardInterrupt": "KeyboardInterrupt('stop')", "SystemExit": "SystemExit(3)"}
CALLERS = {
    "eval": lambda tcl: tcl.eval("cb"),
    "eval with catch": lambda tcl: tcl.eval("catch {cb} msg; set msg"),
    "eval with try": lambda tcl: tcl.eval("proc p {} {try {cb} on error {} {return caught}}; p"),
    "quick call of catch": lambda tcl: tcl.jot.catch("cb"),
    "nested in another callback": lambda tcl: tcl.eval("catch {outer}"),
}


@pytest.mark.parametrize("caller", CALLERS.values(), ids=CALLERS)
@pytest.mark.parametrize("stop", STOPS.values(), ids=STOPS)
def test_interrupts_stop_the_whole_evaluation(tcl, stop, caller):
    raised = []

    def cb():
        raised.append(eval(stop))
        raise raised[-1]

    tcl.create_callback(cb)
    tcl.create_callback(lambda: tcl.eval("catch {cb}"), cmd_name="outer")
    with pytest.raises(BaseException) as info:
        caller(tcl)
    assert info.value is raised[-1] and info.traceback[-1].name == "cb"
    assert tcl.eval("set after 1") == "1"  # the interpreter runs on
    assert tcl.eval("catch {expr {1/0}}") == "1"


def test_an_interrupt_nobody_raised_is_not_raised_later(tcl):
    def cb():
        raise KeyboardInterrupt

    tcl.create_callback(cb)
    with pytest.raises(TclError):
        tcl.tk.eval("cb")  # tkinter's own eval: not ours to report
    assert tcl.eval("set x 1") == "1"
    assert tcl.jot.set("x", 2) == 2


class UnlinedSyntaxError(SyntaxError):
    """An exception that the traceback module cannot write."""

    @property
    def lineno(self):
        raise RuntimeError("no line")


@pytest.mark.parametrize("text, message", [("bad thing", "UnlinedSyntaxError: bad thing"), ("", "UnlinedSyntaxError")])
def test_a_failure_the_traceback_module_cannot_write_is_named_by_its_type_and_str(tcl, text, message):
    def fail():
        raise UnlinedSyntaxError(text)

    tcl.create_callback(fail, cmd_name="fail")
    with pytest.raises(TclError) as info:
        tcl.eval("fail")
    assert (info.value.message, info.value.errorcode) == (message, ("PYTHON", "UnlinedSyntaxError"))
