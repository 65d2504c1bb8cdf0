"""Nothing a Tcl call does may hang, leak or outlive its test: time limits,
Python's signal handlers while Tcl runs, closing and freeing interpreters."""
import gc
import math
import os
import shutil
import signal
import socket
import subprocess
import threading
import time
import weakref

import pytest

from support.crash import run_isolated
from support.spawned import children, require_debian_package
from tarvo.tcl.interpreter import Interpreter, TclError, TclTimeoutError

pytestmark = pytest.mark.timeout(120)

TCLSH = shutil.which(f"tclsh{Interpreter().eval('info tclversion')}")

# Tcl that never returns by itself, each waiting its own way.
WAITS = {
    "bytecode loop": "while 1 {}",
    "after": "after 30000",
    "vwait": "vwait ::never",
    "update loop": "while 1 {update}",
    "catch inside": "while 1 {catch {while 1 {}}}",
    "proc loop": "proc spin {} {while 1 {incr i}}; spin",
}


def run_call(tcl, how, code, **limit):
    """`code` through eval, or as the quick call `eval code`."""
    if how == "eval":
        return tcl.eval(code, timeout=limit.get("timeout"))
    return tcl.jot.eval(code, timeout_=limit.get("timeout"))


@pytest.mark.parametrize("how", ["eval", "jot"])
@pytest.mark.parametrize("code", list(WAITS.values()), ids=list(WAITS))
def test_a_call_that_runs_out_of_time_is_cancelled(tcl, how, code):
    start = time.monotonic()
    with pytest.raises(TclTimeoutError) as info:
        run_call(tcl, how, code, timeout=0.2)
    assert time.monotonic() - start < 3
    error = info.value
    assert isinstance(error, TclError) and isinstance(error, TimeoutError)
    assert str(error).startswith("Tcl evaluation timed out after 0.2 s\n")
    assert error.errorinfo == str(error) and error.message == "Tcl evaluation timed out after 0.2 s"
    assert error.errorcode[:2] == ("TCL", "CANCEL")
    # Recorded, and nothing left pending: the next calls run whole.
    assert code in tcl.history.filter()[-1].api
    assert tcl.eval("after 50; set done 1") == "1"
    assert tcl.jot.set("x", 2) == 2


@pytest.mark.parametrize("timeout, shown", [(1, "1"), (0.25, "0.25"), (1.0, "1")])
def test_the_message_names_the_limit(tcl, timeout, shown):
    with pytest.raises(TclTimeoutError, match=rf"^Tcl evaluation timed out after {shown} s\n"):
        tcl.eval("while 1 {}", timeout=timeout)


def test_a_call_that_ends_in_time_is_untouched(tcl):
    assert tcl.eval("after 20; set a 1", timeout=5) == "1"
    assert tcl.eval("set a", timeout=math.inf) == "1"
    assert tcl.jot.set("b", "x y", timeout_=5, cast_=False) == "x y"
    assert tcl.history.filter()[-1].api == "set b {x y}"  # timeout_ is no word of the command


@pytest.mark.parametrize(
    "value, error",
    [(-1, ValueError), (0, ValueError), (0.0, ValueError), (-0.5, ValueError), (math.nan, ValueError),
     ("1", TypeError), (True, TypeError), ([1], TypeError)],
    ids=["-1", "0", "0.0", "-0.5", "nan", "str", "bool", "list"],
)
def test_bad_time_limits(tcl, value, error):
    before = len(tcl.history.filter())
    with pytest.raises(error, match="timeout"):
        tcl.eval("set a 1", timeout=value)
    with pytest.raises(error, match="timeout_"):
        tcl.jot.set("a", 1, timeout_=value)
    assert len(tcl.history.filter()) == before  # refused before anything ran
    with pytest.raises(error, match="timeout"):
        tcl.timeout = value
    with pytest.raises(error, match="timeout"):
        Interpreter(timeout=value)


def test_the_interpreter_wide_default(tcl_factory):
    tcl = tcl_factory()
    assert tcl.timeout is None
    tcl.timeout = 0.2
    assert tcl.timeout == 0.2
    for call in (lambda: tcl.eval("vwait ::never"), lambda: tcl.jot.vwait("::never"),
                 lambda: tcl.eval("vwait ::never", timeout=None)):
        with pytest.raises(TclTimeoutError, match="after 0.2 s"):
            call()
    with pytest.raises(TclTimeoutError, match="after 0.1 s"):  # the call's own wins
        tcl.eval("vwait ::never", timeout=0.1)
    tcl.timeout = None
    assert tcl.timeout is None and tcl.eval("after 300; set a 1") == "1"
    other = tcl_factory()
    assert Interpreter(timeout=0.3).timeout == 0.3 and other.timeout is None


def test_a_nested_limit_applies_to_its_own_call(tcl):
    # The inner eval times out inside the callback: its command fails as a
    # Tcl error that Tcl may catch, and the outer evaluation goes on.
    tcl.create_callback(lambda: tcl.eval("while 1 {}", timeout=0.1), cmd_name="inner")
    assert tcl.eval("catch {inner} m; set m", timeout=10) == "Tcl evaluation timed out after 0.1 s"
    assert tcl.eval("set after 1") == "1"


@pytest.mark.parametrize("how", ["eval", "jot"])
def test_an_outer_limit_stops_callbacks_nested_50_deep(tcl, how):
    depth = []

    def down(level):
        depth.append(int(level))
        if int(level) < 50:
            return tcl.eval(f"catch {{down {int(level) + 1}}}")  # no catch stops it
        return tcl.eval("while 1 {}")

    tcl.create_callback(down)
    start = time.monotonic()
    with pytest.raises(TclTimeoutError, match="after 0.3 s"):
        run_call(tcl, how, "down 0", timeout=0.3)
    assert time.monotonic() - start < 5 and depth[-1] == 50
    assert tcl.eval("set a 1") == "1"
    assert tcl.eval("catch {error x} m; set m") == "x"  # no cancellation left


class Alarm:
    """SIGUSR1 after `seconds`, with `handler`; put back as it was after.
    (pytest-timeout has SIGALRM.)"""

    def __init__(self, seconds, handler):
        self.seconds, self.handler = seconds, handler

    def __enter__(self):
        self.old = signal.signal(signal.SIGUSR1, self.handler)
        self.timer = threading.Timer(self.seconds, os.kill, (os.getpid(), signal.SIGUSR1))
        self.timer.start()
        return self

    def __exit__(self, *exc):
        self.timer.cancel()
        self.timer.join()
        signal.signal(signal.SIGUSR1, self.old)


def interrupt(*_):
    raise KeyboardInterrupt("alarm")


@pytest.mark.parametrize("how", ["eval", "jot"])
@pytest.mark.parametrize("code", list(WAITS.values()), ids=list(WAITS))
def test_a_signal_handler_that_raises_stops_the_call(tcl, how, code):
    start = time.monotonic()
    with Alarm(0.2, interrupt), pytest.raises(KeyboardInterrupt, match="alarm"):
        run_call(tcl, how, code)
    assert time.monotonic() - start < 2
    assert tcl.eval("set a 1") == "1"
    assert tcl.eval("catch {error x} m; set m") == "x"


def test_a_signal_handler_runs_while_tcl_does(tcl):
    seen = []
    with Alarm(0.1, lambda *_: seen.append(time.monotonic())):
        tcl.eval("after 1500")
        done = time.monotonic()
    assert seen and done - seen[0] > 0.5  # ran during the wait, not after it


def test_signals_stop_callbacks_nested_50_deep(tcl):
    tcl.create_callback(
        lambda level: tcl.eval(f"catch {{down {int(level) + 1}}}" if int(level) < 50 else "while 1 {}"),
        cmd_name="down",
    )
    with Alarm(0.3, interrupt), pytest.raises(KeyboardInterrupt):
        tcl.eval("down 0")
    assert tcl.eval("set a 1") == "1"


def test_an_exception_of_a_signal_handler_passes_every_catch_through_callbacks(tcl):
    class Stop(Exception):
        pass

    def stop(*_):
        raise Stop("from the handler")

    tcl.create_callback(lambda: tcl.eval("while 1 {}"), cmd_name="spin")
    with Alarm(0.2, stop), pytest.raises(Stop):
        tcl.eval("while 1 {catch {spin}}")
    assert tcl.eval("set a 1") == "1"


def test_ctrl_c_in_a_child_process():
    out = run_isolated(
        """
        import os, signal, threading, time
        from tarvo.tcl.interpreter import Interpreter
        tcl = Interpreter()
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            tcl.eval("while 1 {}")
        except KeyboardInterrupt:
            print("KeyboardInterrupt", time.monotonic() - start < 3, tcl.eval("set a 1"))
        """
    )
    assert out.split() == ["KeyboardInterrupt", "True", "1"]


# -- closing -----------------------------------------------------------------


def test_close_deletes_the_interpreter_at_once(tmp_path):
    tcl = Interpreter()
    path = tmp_path / "out.txt"
    tcl.eval(f"set f [open {{{path}}} w]; puts $f hi")  # never closed by the script
    tcl.eval("set s [socket -server {apply {args {}}} 0]")
    port = int(tcl.eval("lindex [fconfigure $s -sockname] 2"))
    tcl.create_callback(len)
    tcl.close()
    assert path.read_text() == "hi\n"
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 0)
        s.bind(("0.0.0.0", port))
    assert tcl.__callbacks__ == {}
    tcl.close()  # again: nothing


@pytest.mark.parametrize(
    "call",
    [lambda t: t.eval("set a 1"), lambda t: t.jot.set("a", 1), lambda t: t.create_callback(len),
     lambda t: t.cast_int("1"), lambda t: setattr(t, "timeout", 1)],
    ids=["eval", "quick call", "create_callback", "cast_int", "timeout"],
)
def test_calls_on_a_closed_interpreter(call):
    with Interpreter() as tcl:
        tcl.eval("set a 1")
    with pytest.raises(RuntimeError, match="^this Tcl interpreter is closed$"):
        call(tcl)
    with pytest.raises(TclError, match="deleted interpreter"):
        tcl.tk.call("set", "a")  # tkinter's own, on the stand-in
    assert tcl.timeout is None


def test_closing_while_it_evaluates_or_from_another_thread():
    out = run_isolated(
        """
        import threading
        from tarvo.tcl.interpreter import Interpreter, TclError
        tcl = Interpreter()
        tcl.create_callback(lambda: tcl.close(), cmd_name="closer")
        try:
            tcl.eval("closer")
        except TclError as error:
            print("callback:", error.errorcode, tcl.eval("set a 1"))
        errors = []
        def other():
            try:
                tcl.close()
            except RuntimeError as error:
                errors.append(str(error).split(":")[0])
        thread = threading.Thread(target=other)
        thread.start(); thread.join()
        print("thread:", errors, tcl.eval("set a 2"))
        tcl.close()
        print("closed")
        """
    )
    assert out.splitlines() == [
        "callback: ('PYTHON', 'RuntimeError') 1",
        "thread: ['Calling Tcl from different apartment'] 2",
        "closed",
    ]


@pytest.mark.parametrize("end", ["close", "drop"])
def test_spawned_programs_are_closed_and_reaped(end):
    require_debian_package("tcl-expect")
    before = set(children())
    tcl = Interpreter()
    tcl.eval("package require Expect; log_user 0")
    for _ in range(10):
        tcl.eval("spawn cat")
    tcl.eval('spawn sh -c {trap "" HUP; exec sleep 60}')  # deaf to the hang-up: killed
    assert len(set(children()) - before) == 11
    if end == "close":
        tcl.close()
    else:
        del tcl
        gc.collect()
    assert set(children()) - before == set()


# -- freeing -------------------------------------------------------------------


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan keeps freed memory aside")
def test_interpreters_with_callbacks_are_freed():
    out = run_isolated(
        """
        import gc
        from tarvo.tcl.interpreter import Interpreter
        def rss():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * 4096
        for _ in range(20):
            tcl = Interpreter(); tcl.create_callback(len); tcl.eval("len abc"); del tcl
        start = rss()
        for _ in range(300):
            tcl = Interpreter(); tcl.create_callback(len); tcl.eval("len abc"); del tcl
        print((rss() - start) // 2**20)
        """
    )
    assert int(out) < 5  # MB; it was 187


def test_a_callback_that_refers_to_its_interpreter_goes_with_one_collection():
    tcl = Interpreter()
    tcl.create_callback(lambda: tcl.eval("set a 1"), cmd_name="back")
    assert tcl.eval("back") == "1"
    gone = weakref.ref(tcl)
    del tcl
    gc.collect()
    assert gone() is None


def test_namespace_objects_keep_using_a_dropped_interpreter():
    tcl = Interpreter()
    tcl.create_callback(len)
    tcl.eval("set x 1")
    variables = tcl.global_ns.vars
    del tcl
    gc.collect()
    assert variables["x"] == "1"  # dropping frees what it held; the Tcl interpreter lives on with them


# -- a class's own attribute lookup ---------------------------------------------------


@pytest.mark.parametrize("name", ["tk", "history", "cast_any"])
def test_a_subclass_whose_getattribute_answers_is_asked(name):
    from tarvo.tcl.history import History

    seen = []

    class Traced(Interpreter):
        def __getattribute__(self, attr):
            if attr == name:
                seen.append(attr)
            return super().__getattribute__(attr)

    tcl = Traced()
    stand_in = History()

    class Other(Interpreter):
        def __getattribute__(self, attr):
            if attr == "history":
                return stand_in
            if attr == "cast_any":
                return lambda value: ("cast", value)
            return super().__getattribute__(attr)

    other = Other()
    for call in (lambda t: t.eval("set a 1", typecast=True), lambda t: t.jot.set("a", 2)):
        seen.clear()
        call(tcl)
        assert seen and seen[0] == name
    assert other.eval("set a 3", typecast=True) == ("cast", "3")
    assert other.jot.set("a", 4) == ("cast", "4")
    assert [e.api for e in stand_in.filter()] == ["set a 3", "set a 4"]
    tcl.close()
    other.close()


def test_a_stopped_evaluation_is_not_reported_again_as_a_background_error(tcl, capfd):
    def stop():
        raise KeyboardInterrupt

    tcl.create_callback(stop)
    with pytest.raises(KeyboardInterrupt):
        tcl.eval("after 0 stop; update")
    with pytest.raises(TclTimeoutError):
        tcl.eval("after 0 {while 1 {}}; update", timeout=0.1)
    tcl.eval("after 0 {error boom}; update; update")
    err = capfd.readouterr().err
    assert err == 'boom\n    while executing\n"error boom"\n    ("after" script)\n'  # that one only


# -- child interpreters ---------------------------------------------------------------


def test_child_interpreters_run_as_long_as_they_need(tcl):
    # A child gets its parent's time limit from `interp create`: it must not
    # stop when that passes.
    assert tcl.eval("interp create c; c eval {after 200; set x 1}") == "1"
    assert tcl.eval("interp cr d; d eval {interp create e; e eval {after 150; set y 2}}") == "2"
    seconds = "[expr {[clock seconds] + 100}]"
    assert tcl.eval(f"interp create f; interp limit f time -seconds {seconds}; f eval {{after 100; set z 3}}") == "3"
    assert tcl.eval("interp limit f time -seconds") != ""  # a limit of the script's own stays
    assert sorted(tcl.eval("interp children").split()) == ["c", "d", "f"]


@pytest.mark.parametrize("create", ["interp create", "interp create -safe", "interp create named", "interp cr --"])
def test_a_child_of_any_name_computes_past_its_parent_s_tick(tcl, create):
    # Busy for several ticks: its inherited limit must move on as its parent's does.
    code = "set i 0; while {$i < 2000000} {incr i}; set i"
    assert tcl.eval(f"set child [{create}]; interp eval $child {{{code}}}") == "2000000"


@pytest.mark.parametrize("where", ["{}", "$i"])
def test_a_coroutine_yields_through_the_watched_interp_command(tcl, where):
    # Tcl runs `interp` by its NR-enabled procedure, off the C stack: the
    # watch's `interp` must keep that, in the child's `interp` too.
    code = "interp hide {} yield; list [coroutine demo interp invokehidden {} yield ok] [demo]"
    assert tcl.eval(f"set i [interp create]; interp eval {where} {{{code}}}") == "ok {}"


def test_what_a_child_interpreter_runs_stops_too(tcl):
    # Each stop is over once its call has raised: the next evaluation of the
    # child and of its parent runs (a tick that Tcl ran late, while the
    # failed call read its trace, once cancelled them again).
    tcl.eval("interp create c; c eval {interp create g}")
    with pytest.raises(TclTimeoutError, match="after 0.2 s"):
        tcl.eval("c eval {while 1 {}}", timeout=0.2)
    with Alarm(0.2, interrupt), pytest.raises(KeyboardInterrupt):
        tcl.eval("c eval {g eval {while 1 {catch {after 10}}}}")
    assert tcl.eval("c eval {g eval {set q 5}}") == "5"



# A script that keeps a child's time limit itself, as Tcl's interp.test
# does: it must see the limit tclsh gives it, and the child must stop there.
# Printed with `puts`, so that tclsh can run it too.
SCRIPTED_LIMIT = """
    set i [interp create]
    set ::calls 0
    proc cb {} {incr ::calls}
    set out [list [$i limit time]]
    $i limit time -granularity 3
    lappend out [$i limit time -granularity] [interp limit $i time -seconds]
    lappend out [catch {interp limit $i time -seconds x} m] $m
    set s [expr {[clock seconds] + 1}]
    LIMIT -seconds $s -command cb
    lappend out [expr {[$i limit time -seconds] == $s}] [$i limit time -milliseconds] [$i limit time -command]
    lappend out [catch {$i eval {while 1 {}}} m] $m $::calls
    LIMIT -seconds {} -milliseconds {} -command {}
    lappend out [interp limit $i time]
    puts $out
"""
SCRIPTED_LIMIT_OUT = (
    "{-command {} -granularity 10 -milliseconds {} -seconds {}} 3 {} 1 {expected integer but got \"x\"}"
    " 1 0 cb 1 {time limit exceeded} 1 {-command {} -granularity 3 -milliseconds {} -seconds {}}"
)


@pytest.mark.parametrize("limit", ["$i limit time", "interp limit $i time", "interp lim $i t"])
def test_a_time_limit_the_script_sets_on_a_child_is_its_own(limit, tmp_path):
    # Our ticks must neither move it on (a hang) nor run its -command; once
    # the script takes it off, they are back: the child stops at a timeout.
    script = SCRIPTED_LIMIT.replace("LIMIT", limit)
    out = run_isolated(f"""
        from tarvo.tcl.interpreter import Interpreter, TclTimeoutError
        tcl = Interpreter()
        tcl.eval({script!r})
        try:
            tcl.eval("$i eval {{while 1 {{}}}}", timeout=0.2)
        except TclTimeoutError as error:
            print(error.args[0].splitlines()[0])
    """, timeout=60)
    assert out == SCRIPTED_LIMIT_OUT + "\nTcl evaluation timed out after 0.2 s\n"
    if TCLSH:
        (tmp_path / "limit.tcl").write_text(script)
        tclsh = subprocess.run([TCLSH, "limit.tcl"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert tclsh.stdout == SCRIPTED_LIMIT_OUT + "\n"
