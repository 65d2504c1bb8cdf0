"""An interactive program driven through Expect with the package's own API:
the device console of tests/device_console.py, from login to exit."""
import logging
import os
import re
import time

import pytest
from tkinter import TclError

from support.spawned import CONSOLE, PYTHON, children, no_leftovers, reaped
from tarvo.tcl import Secret

PASSWORD = "hunter2"
PROMPT = r"DC-1> $"


def spawn(tcl):
    """Starts the console; returns its process id."""
    pid = tcl.jot.spawn(PYTHON, CONSOLE)
    assert re.fullmatch(r"exp\d+", tcl.vars["spawn_id"])
    assert tcl.jot.exp_pid() == pid
    return pid


def log_in(tcl, password=PASSWORD):
    tcl.jot.expect("login: ")
    tcl.jot.send("admin\r")
    tcl.jot.expect("Password: ")
    tcl.jot.send(Secret(password + "\r"))
    tcl.jot.expect("-re", PROMPT)
    return tcl.vars["expect_out(buffer)"]


def run(tcl, line):
    """Types one command; returns the lines it printed before the next prompt."""
    tcl.jot.send(line + "\r")
    tcl.jot.expect("-re", r"\r\n" + PROMPT)
    echoed, *lines, prompt = tcl.vars["expect_out(buffer)"].split("\r\n")
    assert (echoed, prompt) == (line, "DC-1> ")  # the terminal's echo of what was typed
    return lines


def finish(tcl, pid):
    """Waits for the end of the console; returns its wait result."""
    pid_, spawn_id, os_error, status, *signal = tcl.jot.exp_wait()
    assert (pid_, spawn_id, os_error) == (str(pid), tcl.vars["spawn_id"], "0")
    assert reaped(pid)
    return int(status), signal


def test_login(expect):
    spawn(expect)
    assert log_in(expect) == "\r\nWelcome to DC-1, admin.\r\nDC-1> "
    apis = [entry.api for entry in expect.history.filter(count=0)]
    assert apis[-5:] == ["expect {login: }", "send admin\r", "expect {Password: }", "send ****",
                         "expect -re {DC-1> $}"]


def test_wrong_password(expect):
    spawn(expect)
    expect.jot.expect("login: ")
    expect.jot.send("admin\r")
    expect.jot.expect("Password: ")
    expect.jot.send(Secret("guess\r"))
    expect.jot.expect("login: ")
    assert expect.vars["expect_out(buffer)"] == "\r\nLogin incorrect\r\nlogin: "


@pytest.mark.parametrize(
    "line, lines",
    [
        ("show version", ["Model: DC-1", "Firmware: 2.4.1", "Serial: TV-0042"]),
        ("show interfaces", ["Port  Link  Speed", "eth0  up    1000", "eth1  down  -", "eth2  up    100"]),
        ("frobnicate now", ["% Unknown command: frobnicate"]),
        ("", []),
    ],
)
def test_command_output(expect, line, lines):
    spawn(expect)
    log_in(expect)
    assert run(expect, line) == lines


def test_output_read_back_and_typed(expect):
    spawn(expect)
    log_in(expect)
    (line,) = run(expect, "token")
    token = re.fullmatch(r"Token: ([0-9A-F]{8})", line).group(1)
    wrong = token[:-1] + ("1" if token.endswith("0") else "0")
    assert run(expect, "unlock " + wrong) == ["% Wrong token"]
    assert run(expect, "unlock " + token) == ["Unlocked."]


@pytest.mark.parametrize(
    "on_timeout, outcome",
    [("error {no prompt within 1 s}", TclError), ("string cat timed-out", "timed-out"), (None, "")],
)
def test_program_that_never_answers_ends_at_the_timeout(expect, on_timeout, outcome):
    pid = spawn(expect)
    log_in(expect)
    expect.jot.send("hang\r")
    clauses = ["-re", PROMPT, "string cat prompt"] + (["timeout", on_timeout] if on_timeout else [])
    started = time.monotonic()
    # Expect counts a timeout in whole seconds of the clock from the call:
    # once the program's echo has come, 2 s end within the second after the
    # clock's next turn.
    if outcome is TclError:
        with pytest.raises(TclError, match=r"^no prompt within 1 s\n    while executing"):
            expect.jot.expect("-timeout", 2, *clauses)
    else:
        assert expect.jot.expect("-timeout", 2, *clauses) == outcome
    assert 1 < time.monotonic() - started < 5
    expect.jot.close()
    assert finish(expect, pid) == (0, ["CHILDKILLED", "SIGHUP", "hangup"])


def test_program_dying_midway_gives_eof(expect):
    pid = spawn(expect)
    log_in(expect)
    expect.jot.send("crash\r")
    assert expect.jot.expect("-re", PROMPT, "string cat prompt", "eof", "string cat eof") == "eof"
    assert finish(expect, pid) == (70, [])
    with pytest.raises(TclError, match=r'^can not find channel named "exp[0-9]+"'):
        expect.jot.send("show version\r")


def test_clean_exit_leaves_no_zombie(expect):
    pid = spawn(expect)
    log_in(expect)
    expect.jot.send("exit\r")
    expect.jot.expect("eof")
    assert expect.vars["expect_out(buffer)"] == "exit\r\nBye.\r\n"
    assert finish(expect, pid) == (0, [])
    assert not os.path.exists(f"/proc/{pid}")


def test_python_callback_watches_the_conversation(expect):
    seen = []

    def watch(text):
        seen.append(text)
        return len(text)

    expect.create_callback(watch, cmd_name="watch")
    spawn(expect)
    expect.jot.expect("login: ", "watch $expect_out(buffer)")
    expect.jot.send("admin\r")
    assert expect.jot.expect("Password: ", "watch $expect_out(buffer)") == len("admin\r\nPassword: ")
    assert seen == ["DC-1 device console\r\nlogin: ", "admin\r\nPassword: "]


def test_teardown_kills_and_reaps_what_a_test_left(expect):
    with no_leftovers(expect):
        pid = spawn(expect)
        log_in(expect)
        expect.jot.send("hang\r")
        other = expect.jot.spawn(PYTHON, CONSOLE)  # a second one, never closed either
        assert {pid, other} <= children()
    assert reaped(pid) and reaped(other)
    assert not {pid, other} & children()


def test_secret_stays_out_of_history_and_debug_log(expect, caplog):
    caplog.set_level(logging.DEBUG, logger="tarvo.tcl")
    spawn(expect)
    log_in(expect)
    expect.eval("proc check {password} {error \"refused: $password\"}")
    with pytest.raises(TclError) as failure:
        expect.jot.check(Secret(PASSWORD))
    texts = [str(entry) for entry in expect.history.filter(count=0)]
    assert any(text.endswith(": send ****") for text in texts)
    assert str(failure.value).startswith("refused: ****\n")
    for text in texts + [record.getMessage() for record in caplog.records] + [str(failure.value)]:
        assert PASSWORD not in text
    assert "% ['send', '****']" in caplog.messages
