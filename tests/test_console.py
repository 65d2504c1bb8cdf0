"""python -m tarvo.tcl: the script runner and the console, run as a user
runs them, in a process of their own."""
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from support.tclversion import PATCHLEVEL

# The tclsh of the Tcl that tkinter runs on.
TCL_VERSION = ".".join(PATCHLEVEL.split(".")[:2])
TCLSH = shutil.which(f"tclsh{TCL_VERSION}")


def tarvo_tcl(*args, stdin="", cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "tarvo.tcl", *args], input=stdin, capture_output=True, text=True, cwd=cwd, timeout=60
    )


@pytest.fixture
def script(tmp_path):
    """Writes a Tcl script into a fresh folder; returns its file name there."""

    def write(text, name="script.tcl"):
        (tmp_path / name).write_text(textwrap.dedent(text))
        return name

    return write


def test_a_script_that_succeeds(script, tmp_path, tcl):
    name = script(
        """\
        puts "argc=$argc argv=[list $argv] argv0=$argv0 script=[info script]"
        puts "interactive=$tcl_interactive tclx=[package present Tclx]"
        puts -nonewline "no newline"
        """
    )
    out = tarvo_tcl(name, "one", "two words", cwd=tmp_path)
    assert (out.returncode, out.stderr) == (0, "")
    assert out.stdout == (
        "argc=2 argv={one {two words}} argv0=script.tcl script=script.tcl\n"
        f"interactive=0 tclx={tcl.eval('package present Tclx')}\n"
        "no newline"
    )


def test_a_script_that_fails(script, tmp_path):
    name = script(
        """\
        puts before
        proc check {x} {error "bad value: $x"}
        check 7
        puts after
        """
    )
    out = tarvo_tcl(name, cwd=tmp_path)
    assert (out.returncode, out.stdout) == (1, "before\n")
    # Tcl's whole trace, as tclsh writes it.
    assert out.stderr == textwrap.dedent(
        """\
        bad value: 7
            while executing
        "error "bad value: $x""
            (procedure "check" line 1)
            invoked from within
        "check 7"
            (file "script.tcl" line 3)
        """
    )


@pytest.mark.skipif(TCLSH is None, reason=f"tclsh{TCL_VERSION} (Debian package tcl{TCL_VERSION}) is not installed")
@pytest.mark.parametrize("name", ["my script.tcl", "sc$ript [x].tcl", "{odd\\.tcl", "#1.tcl"])
def test_a_script_of_any_name(tmp_path, name):
    (tmp_path / name).write_text("puts [info script]\nerror boom\n")
    ours, tclsh = tarvo_tcl(name, cwd=tmp_path), subprocess.run(
        [TCLSH, name], capture_output=True, text=True, cwd=tmp_path, timeout=60
    )
    assert (ours.returncode, ours.stdout, ours.stderr) == (tclsh.returncode, tclsh.stdout, tclsh.stderr)


def test_a_script_that_is_not_there(tmp_path):
    out = tarvo_tcl("nowhere.tcl", cwd=tmp_path)
    assert (out.returncode, out.stdout) == (1, "")
    assert out.stderr == 'couldn\'t read file "nowhere.tcl": no such file or directory\n'


@pytest.mark.parametrize(
    "command, status, stderr",
    [
        ("exit 3", 3, ""),
        ("exit", 0, ""),
        ("exit 0x10", 16, ""),
        ("exit -1", 255, ""),
        ("if {1} {catch {exit 4}}", 4, ""),  # as Tcl's own: nothing catches it
        ("exit 3.5", 1, 'expected integer but got "3.5"\n    while executing\n"exit 3.5"'),
        ("exit 1 2", 1, 'wrong # args: should be "exit ?returnCode?"\n    while executing\n"exit 1 2"'),
    ],
)
def test_exit(script, tmp_path, command, status, stderr):
    name = script(f"puts -nonewline written\n{command}\nputs never\n")
    out = tarvo_tcl(name, cwd=tmp_path)
    assert (out.returncode, out.stdout) == (status, "written")
    assert out.stderr == (stderr + '\n    (file "script.tcl" line 2)\n' if stderr else "")


# Scripts that leave channels open, and how each one ends.
CHANNELS_LEFT_OPEN = {
    "exit": "set f [open out.txt w]\nputs $f written\nexit 3\n",
    "end of script": "set f [open out.txt w]\nputs $f written\n",
    "error": "set f [open out.txt w]\nputs $f written\nerror boom\n",
    "exit in a proc": "proc leave {} {exit 4}\nset f [open out.txt w]\nputs $f written\nleave\n",
    "full buffers": (
        "set f [open out.txt w]\nset g [open more.txt w]\n"
        "fconfigure $f -buffering full -translation binary\nfconfigure $g -blocking 0\n"
        "puts -nonewline $f [string repeat x 100000]\nputs $g [string repeat y 10]\nexit 0\n"
    ),
    "own exit": (
        "rename exit tcl_exit\nproc exit {{code 0}} {puts $::f \"own exit $code\"; tcl_exit 7}\n"
        "set f [open out.txt w]\n"
    ),
    "exit that returns": "proc exit args {}\nset f [open out.txt w]\nputs $f written\n",
    "no exit": "rename exit {}\nset f [open out.txt w]\nputs $f written\n",
    "a child interpreter's channel": "interp create c\nc eval {set f [open out.txt w]; puts $f written}\nexit 2\n",
}


def written(folder):
    return {path.name: path.read_text() for path in sorted(folder.iterdir()) if path.suffix == ".txt"}


@pytest.mark.skipif(TCLSH is None, reason=f"tclsh{TCL_VERSION} (Debian package tcl{TCL_VERSION}) is not installed")
@pytest.mark.parametrize("piped", [False, True], ids=["script", "standard input"])
@pytest.mark.parametrize("text", CHANNELS_LEFT_OPEN.values(), ids=CHANNELS_LEFT_OPEN.keys())
def test_leaving_flushes_and_closes_channels_as_tclsh_does(tmp_path, text, piped):
    ends = {}
    for name, command in (("tclsh", [TCLSH]), ("ours", [sys.executable, "-m", "tarvo.tcl"])):
        folder = tmp_path / name
        folder.mkdir()
        (folder / "script.tcl").write_text(text)
        out = subprocess.run(
            command if piped else [*command, "script.tcl"],
            input=text if piped else "",
            capture_output=True, text=True, cwd=folder, timeout=60,
        )
        ends[name] = out.returncode, written(folder)
    assert ends["ours"] == ends["tclsh"]
    assert ends["ours"][1]  # something to compare


# A server that answers its first client and leaves from inside the
# callback: the channel it closed there is still Tcl's, and its answer
# must go out all the same.
ANSWER_AND_LEAVE = """\
proc accept {channel host port} {
    puts $channel answer
    close $channel
    exit 5
}
puts [lindex [chan configure [socket -server accept -myaddr 127.0.0.1 0] -sockname] 2]
flush stdout
vwait forever
"""


@pytest.mark.skipif(TCLSH is None, reason=f"tclsh{TCL_VERSION} (Debian package tcl{TCL_VERSION}) is not installed")
@pytest.mark.parametrize("piped", [False, True], ids=["script", "standard input"])
def test_exit_inside_an_accept_callback_sends_what_was_written(tmp_path, piped):
    (tmp_path / "script.tcl").write_text(ANSWER_AND_LEAVE)
    ends = {}
    for name, command in (("tclsh", [TCLSH]), ("ours", [sys.executable, "-m", "tarvo.tcl"])):
        server = subprocess.Popen(
            command if piped else [*command, "script.tcl"], cwd=tmp_path, text=True,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        )
        try:
            if piped:
                server.stdin.write(ANSWER_AND_LEAVE)
                server.stdin.flush()
            port = int(server.stdout.readline())
            with socket.create_connection(("127.0.0.1", port), timeout=30) as client:
                answer = client.makefile("rb").read()
            ends[name] = server.wait(timeout=30), answer
        finally:
            server.kill()
            server.communicate()
    assert ends["ours"] == ends["tclsh"] == (5, b"answer\r\n")


@pytest.mark.parametrize("flush_all", [None, "0", "1"])
def test_leaving_waits_for_a_non_blocking_channel_only_where_asked(tmp_path, flush_all):
    # As Tcl's own exit: what a non-blocking stdout cannot write at once is
    # dropped, unless TCL_FLUSH_NONBLOCKING_ON_EXIT asks for all of it.  The
    # pipe is read only after the process ends: a wait for it would hang.
    (tmp_path / "script.tcl").write_text(
        "fconfigure stdout -blocking 0\nputs -nonewline [string repeat A 655360]\nflush stdout\n"
    )
    env = dict(os.environ)
    env.pop("TCL_FLUSH_NONBLOCKING_ON_EXIT", None)
    if flush_all is not None:
        env["TCL_FLUSH_NONBLOCKING_ON_EXIT"] = flush_all
    console = subprocess.Popen(
        [sys.executable, "-m", "tarvo.tcl", "script.tcl"], cwd=tmp_path, env=env,
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
    )
    try:
        if flush_all == "1":
            out, _ = console.communicate(timeout=60)
            assert (console.returncode, len(out)) == (0, 655360)
        else:
            assert console.wait(timeout=30) == 0
            assert len(console.stdout.read()) < 655360
    finally:
        console.kill()
        console.wait()
        console.stdout.close()


def test_leaving_does_not_wait_for_a_pipeline(tmp_path):
    script = (
        'set p [open "|sleep 120 >/dev/null 2>/dev/null" w]\n'
        "set f [open pid.txt w]\nputs $f [pid $p]\nclose $f\n"
    )
    (tmp_path / "script.tcl").write_text(script)
    try:
        out = tarvo_tcl("script.tcl", cwd=tmp_path)  # would outlive its timeout
    finally:
        if (tmp_path / "pid.txt").exists():
            os.kill(int((tmp_path / "pid.txt").read_text()), signal.SIGKILL)
    assert (out.returncode, out.stderr) == (0, "")


def test_commands_piped_on_standard_input():
    commands = textwrap.dedent(
        """\
        set a 1
        puts "a is $a"
        proc double {x} {
            return [expr {2 * $x}]
        }
        double 21

        expr {1 /
              0}
        .history 2
        .typed on
        double 2
        set kl {{k 1} {j {{x 2}}}}
        .typed
        .typed off
        .typed maybe
        set s {a b}
        .help
        set open {
        """
    )
    out = tarvo_tcl(stdin=commands)
    assert out.returncode == 0
    entry = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}: "
    # No results, as tclsh prints none when its input is no terminal.
    expected = (
        "a is 1\n"
        f"{entry}double 21\n"
        f"{entry}expr {{1 /\n"
        "          0}\n"
        "typed results on\n"
        "typed results on\n"
        "typed results off\n"
    )
    assert re.fullmatch(re.escape(expected).replace(re.escape(entry), entry), out.stdout.split("Everything")[0])
    assert "  .history [N]" in out.stdout  # .help
    # Tcl's message of a failing command, without the trace, as tclsh writes
    # it; the command that the end of input cuts off is dropped, as there.
    assert out.stderr == "divide by zero\nusage: .typed on|off\n"


# Scripts whose run tclsh's and ours must give alike: the error trace of the
# main script's own code (no frame for how it was started), its `return`,
# `info frame`, `info script` and the exit status.
AS_TCLSH = {
    "error in a for body": "proc f {} {for {set i 0} {$i < 1} {incr i} {error boom}}\nf\n",
    "return -code error at the top": "puts start\nreturn -code error oops\n",
    "error in a foreach body": "foreach x {1 2} {\n  if {$x == 2} {\n    set y [expr {$x / 0}]\n  }\n}\n",
    "uplevel": "proc g {} {uplevel 1 {error up}}\ng\n",
    "info frame": "proc f {} {puts [dict get [info frame 0] line]; puts [dict get [info frame -1] line]}\n"
                  "puts [info frame]\nputs [dict get [info frame 0] type]\n\nf\nputs [info level]\n",
    "info script": "puts [file tail [info script]]\nputs $argv0:$argc:$argv\nputs $tcl_interactive\n",
    "return": "puts a\nreturn\nputs b\n",
    "exit": "puts a\nexit 3\n",
    "unclosed brace": "puts a\nset x {\n",
}


@pytest.mark.skipif(TCLSH is None, reason=f"tclsh{TCL_VERSION} (Debian package tcl{TCL_VERSION}) is not installed")
@pytest.mark.parametrize("text", AS_TCLSH.values(), ids=AS_TCLSH.keys())
def test_a_script_runs_as_under_tclsh(script, tmp_path, text):
    name = script(text)
    ours = tarvo_tcl(name, "x", "y", cwd=tmp_path)
    theirs = subprocess.run([TCLSH, name, "x", "y"], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert (ours.returncode, ours.stdout, ours.stderr) == (theirs.returncode, theirs.stdout, theirs.stderr)


# Commands piped to tclsh's main loop and to ours must give alike: output
# and errors in one stream, in their order, and the exit status.
PIPED_AS_TCLSH = {
    "results and prompts while interactive": "puts a\nset x 5\nset tcl_interactive 1\nset y 6\n"
                                             "set tcl_interactive 0\nset z 7\n",
    "tcl_interactive stays a boolean": "set tcl_interactive foo\nputs $tcl_interactive\nset tcl_interactive yes\n",
    "custom prompts": "set tcl_prompt1 {puts -nonewline one}\nset tcl_prompt2 {puts -nonewline two}\n"
                      "set tcl_interactive 1\nputs {x\ny}\n",
    "a prompt held as a list": "set tcl_prompt1 [list puts -nonewline {> }]\nset tcl_interactive 1\nset a 1\n",
    "a failing prompt": "set tcl_prompt1 {error foo}\nset tcl_interactive 1\nset errorInfo\n",
    "a prompt that closes stdin": "set tcl_prompt1 {close stdin}\nset tcl_interactive 1\nputs never\n",
    "closed stdout": "set tcl_interactive 1\nclose stdout\nset a NO\nputs stderr YES\n",
    "closed stderr": "close stderr\nerror foo\nputs bar\n",
    "a command reads the lines after it": "puts [gets stdin]\nnot a command\nputs [read stdin 3]\nxyz",
    "non-blocking stdin": "chan configure stdin -blocking 0\nputs ok\n",
    "cut off by an end-of-file character": "chan configure stdin -eofchar \\032\nputs a\nif 1 {\n\032puts b\n",
    "cut off by the end": "puts a\nif 1 {\n",
    "stdin closed": "set tcl_interactive 1\nclose stdin\nputs never\n",
    "an error": "error foo\nputs bar\nexit 3\n",
}


@pytest.mark.skipif(TCLSH is None, reason=f"tclsh{TCL_VERSION} (Debian package tcl{TCL_VERSION}) is not installed")
@pytest.mark.parametrize("text", PIPED_AS_TCLSH.values(), ids=PIPED_AS_TCLSH.keys())
def test_piped_commands_run_as_under_tclsh(text):
    def run(program):
        return subprocess.run(program, input=text, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)

    ours, theirs = run([sys.executable, "-m", "tarvo.tcl"]), run([TCLSH])
    assert (ours.returncode, ours.stdout) == (theirs.returncode, theirs.stdout)


def test_child_tcl_processes_run_the_console_again(script, tmp_path):
    script("puts child:[package present Tclx]:$argv\n", name="child.tcl")
    name = script("puts [file tail [info nameofexecutable]]\nputs [exec [info nameofexecutable] child.tcl a {b c}]\n")
    out = tarvo_tcl(name, cwd=tmp_path)
    from tarvo.tcl.interpreter import _global_interpreter

    tclx = _global_interpreter.eval("package present Tclx")
    assert (out.returncode, out.stdout, out.stderr) == (0, f"tarvo-tclsh\nchild:{tclx}:a {{b c}}\n", "")


def test_fixtures_leave_the_executable_name_alone(tcl):
    assert os.path.samefile(tcl.eval("info nameofexecutable"), sys.executable)


@pytest.mark.parametrize("count", ["\u00b2", "\u0663", "-1", "1.0", "x", "1 2"])
def test_history_refuses_what_is_no_count(count):
    out = tarvo_tcl(stdin=f"set a 1\n.history {count}\nputs still\n")
    assert (out.returncode, out.stdout, out.stderr) == (0, "still\n", "usage: .history [N]\n")


def test_history_cuts_a_long_entry():
    out = tarvo_tcl(stdin=f"set a {'x' * 5000}\n.history 1\n")
    assert out.returncode == 0 and out.stderr == ""
    entry = out.stdout.split("\n")[0]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT[\d:.]{15}: set a x+\.\.\. \[3,034 more characters\]", entry)
    assert len(entry) == 2000 + len("... [3,034 more characters]")


def test_exit_from_standard_input():
    out = tarvo_tcl(stdin="puts one\nexit 5\nputs two\n")
    assert (out.returncode, out.stdout, out.stderr) == (5, "one\n", "")


def test_help():
    out = tarvo_tcl("--help")
    assert out.returncode == 0 and out.stdout.startswith("usage: python -m tarvo.tcl [-encoding NAME] [FILE [ARGS...]]\n")


SHOW_ARGS = "puts [list [file tail $argv0] $argv $argc $tcl_interactive]\n"


@pytest.mark.skipif(TCLSH is None, reason=f"tclsh{TCL_VERSION} (Debian package tcl{TCL_VERSION}) is not installed")
@pytest.mark.parametrize(
    "words",
    [
        ["-script"],                              # a first word with "-" is no file: stdin
        ["-script", "x", "y"],
        ["-encoding", "utf-8", "script.tcl", "\u00c0"],
        ["-encoding", "iso8859-1", "script.tcl"],
        ["-encoding", "", "script.tcl"],          # Tcl's identity encoding: a file still
        ["-encoding", "utf-8", "-script"],        # no file either
        ["-encoding", "utf-8"],                   # too few words for the option: a file named -encoding
        ["-encoding", "bogus", "script.tcl"],
        ["-encoding", "utf-8", "fail.tcl"],       # the trace ends at the file, as tclsh's
    ],
)
def test_the_command_line_is_read_as_tclsh_reads_it(tmp_path, words):
    # The file says whether it was read as UTF-8 (the euro sign's bytes).
    (tmp_path / "script.tcl").write_text(SHOW_ARGS + "puts [string equal \u20ac \u20ac]\n", encoding="utf-8")
    (tmp_path / "-script").write_text("puts {the file -script}\n")
    (tmp_path / "fail.tcl").write_text("proc f {} {error boom}\nf\n")
    stdin = SHOW_ARGS.replace("file tail $argv0", "expr 0") + "exit\n"
    ends = {}
    for name, command in (("tclsh", [TCLSH]), ("ours", [sys.executable, "-m", "tarvo.tcl"])):
        out = subprocess.run([*command, *words], input=stdin, capture_output=True, text=True, cwd=tmp_path, timeout=60)
        ends[name] = (out.returncode, out.stdout.replace("tclsh" + TCL_VERSION, "script.tcl"), out.stderr)
    assert ends["ours"] == ends["tclsh"]


class Terminal:
    """The console on a pseudo-terminal, typed at as a person types."""

    def __init__(self, cwd=None):
        self.master, slave = os.openpty()
        # A terminal of a known kind: on a "dumb" one (as CI may have),
        # readline scrolls long lines sideways instead of echoing them.
        self.console = subprocess.Popen(
            [sys.executable, "-m", "tarvo.tcl"], stdin=slave, stdout=slave, stderr=slave, close_fds=True, cwd=cwd,
            env={**os.environ, "TERM": "xterm"},
        )
        os.close(slave)
        self.screen = b""
        self.typed = 0  # where the screen stood when a line was last typed


    def read_until(self, *endings):
        """Reads what the console writes until what it wrote since the last
        typed line ends with one of `endings` (or the console has gone, when
        none are given): the prompt that stood before does not count."""
        deadline = time.monotonic() + 30
        while not self.screen[self.typed:].endswith(endings) and time.monotonic() < deadline:
            if select.select([self.master], [], [], 1)[0]:
                try:
                    chunk = os.read(self.master, 4096)
                except OSError:  # the console has gone: Linux reports EIO
                    return
                self.screen += chunk

    def type_lines(self, *lines):
        """Line by line, each once the console asks for it."""
        for line in lines:
            self.read_until(b"% ", b"> ")
            os.write(self.master, line.encode() + b"\n")
            self.typed = len(self.screen)

    def kill(self):
        """Ends the console, whatever it does, and the terminal."""
        self.console.kill()
        self.console.wait()
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def finish(self):
        """The exit status, and the screen as text."""
        self.read_until()
        os.close(self.master)
        self.master = None
        status = self.console.wait(timeout=30)
        # readline may add control sequences; the terminal writes CR LF (and
        # one CR more, at times, after Tcl's output).
        return status, re.sub(r"\x1b\[[0-9;?]*[a-zA-Z]|\r+(?=\n)", "", self.screen.decode())


needs_pty = pytest.mark.skipif(not hasattr(os, "openpty"), reason="needs a pseudo-terminal")


@needs_pty
def test_the_console_on_a_terminal():
    terminal = Terminal()
    terminal.type_lines("set a 1", "proc f {} {", "return $::tcl_interactive", "}", "f", "error oops", "exit 6")
    status, text = terminal.finish()
    assert status == 6
    assert re.match(re.escape(f"Tcl {PATCHLEVEL} with TclX, in Python: .help for the console's own commands\n"), text)
    assert text.split("\n", 1)[1] == textwrap.dedent(
        """\
        % set a 1
        1
        % proc f {} {
        > return $::tcl_interactive
        > }
        % f
        1
        % error oops
        oops
            while executing
        "error oops"
        % exit 6
        """
    )


# Tcl that says it is ready, then runs until something stops it.
READY = 'set f [open out.txt w]; puts $f partial; puts [string toupper ready]; flush stdout'
BUSY = READY + '; while 1 {}'


@pytest.mark.parametrize(
    "piped", [None, BUSY + "\nputs never\n", READY + "\n"], ids=["script", "standard input", "waiting for input"]
)
def test_ctrl_c_stops_a_script_with_status_130(tmp_path, piped):
    (tmp_path / "script.tcl").write_text(BUSY + "\n")
    console = subprocess.Popen(
        [sys.executable, "-X", "faulthandler", "-m", "tarvo.tcl", *([] if piped else ["script.tcl"])],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path,
    )
    status = None
    try:
        if piped:
            console.stdin.write(piped)
            console.stdin.flush()
        assert console.stdout.readline() == "READY\n"
        os.kill(console.pid, signal.SIGINT)
        status = console.wait(timeout=30)
    except subprocess.TimeoutExpired:
        os.kill(console.pid, signal.SIGABRT)  # faulthandler shows where it hangs
    finally:
        out, err = console.communicate(timeout=30)
    assert (status, out, err) == (130, "", "")
    assert (tmp_path / "out.txt").read_text() == "partial\n"  # left as exit leaves it


@needs_pty
def test_ctrl_c_on_a_terminal_stops_the_command_or_drops_what_is_typed(tmp_path):
    terminal = Terminal(cwd=tmp_path)
    try:
        terminal.type_lines("proc f {} {")
        terminal.read_until(b"> ")
        # readline writes the prompt before it waits: a signal in between
        # would be seen only with the next key.
        time.sleep(0.5)
        os.kill(terminal.console.pid, signal.SIGINT)  # at the prompt: the command typed so far goes
        terminal.read_until(b"% ")
        terminal.type_lines(BUSY)
        terminal.read_until(b"READY\r\n", b"READY\r\r\n")
        os.kill(terminal.console.pid, signal.SIGINT)  # while it runs: the command stops
        terminal.type_lines("puts $tcl_interactive", "info procs f", "exit 5")
        status, text = terminal.finish()
    finally:
        terminal.kill()
    assert status == 5
    assert text.split("\n", 1)[1] == textwrap.dedent(
        f"""\
        % proc f {{}} {{
        > 
        % {BUSY}
        READY

        KeyboardInterrupt
        % puts $tcl_interactive
        1
        % info procs f
        % exit 5
        """
    )
    assert (tmp_path / "out.txt").read_text() == "partial\n"
