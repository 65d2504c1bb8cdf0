"""tarvo.tcl.expect: a session with an interactive program, as a test writes
one, against the device console of tests/device_console.py."""
import os
import signal

import pytest

from support.spawned import CONSOLE, PYTHON, reaped
from tarvo.tcl import Secret
from tarvo.tcl.expect import ExpectEOF, ExpectTimeout, Match, Session
from tarvo.tcl.interpreter import TclTimeoutError

PROMPT = r"\r\nDC-1> $"


@pytest.fixture
def device(expect):
    """A session logged in to the console."""
    session = Session(expect, [PYTHON, CONSOLE], timeout=5)
    session.expect("login: ", kind="exact")
    session.send_line("admin")
    session.expect("Password: ", kind="exact")
    session.send_line(Secret("hunter2"))
    session.expect(r"DC-1> $")
    yield session
    session.close()


@pytest.mark.parametrize(
    "command, lines",
    [
        ("show version", ["Model: DC-1", "Firmware: 2.4.1", "Serial: TV-0042"]),
        ("show interfaces", ["Port  Link  Speed", "eth0  up    1000", "eth1  down  -", "eth2  up    100"]),
        ("bogus", ["% Unknown command: bogus"]),
    ],
)
@pytest.mark.parametrize("kind, prompt", [("regex", PROMPT), ("glob", "DC-?> "), ("exact", "DC-1> ")])
def test_run_gives_the_output_lines_without_echo_or_prompt(device, command, lines, kind, prompt):
    assert device.run(command, prompt=prompt, kind=kind) == lines


def test_expect_names_the_pattern_that_matched_and_what_came_before(device):
    device.send_line("show version")
    # "." is any character for a regex, itself for an exact pattern.
    found = device.expect(("exact", "Model. DC-1"), ("glob", "*Firmware: ?.?.?"), "Serial: TV-\\d+")
    assert found == Match(1, "show version\r\nModel: DC-1\r\nFirmware: 2.4.1", "")
    found = device.expect(("exact", "Serial: TV-0042"), r"DC-1> $")
    assert found == Match(0, "Serial: TV-0042", "\r\n")


def test_a_time_out_shows_what_was_read_and_leaves_it_unread(device):
    device.send_line("show version")
    device.expect("Model: ", kind="exact")
    with pytest.raises(ExpectTimeout) as timeout:
        device.expect("never printed", timeout=1)
    assert timeout.value.before == "DC-1\r\nFirmware: 2.4.1\r\nSerial: TV-0042\r\nDC-1> "
    assert isinstance(timeout.value, TclTimeoutError) and isinstance(timeout.value, TimeoutError)
    assert device.expect("Firmware: ", kind="exact").before == "DC-1\r\n"


@pytest.mark.parametrize("command, status", [("exit", 0), ("crash", 70)])
def test_close_returns_the_exit_status_and_reaps(device, command, status):
    device.send_line(command)
    with pytest.raises(ExpectEOF) as eof:
        device.expect("never printed")
    assert eof.value.before.startswith(command + "\r\n")
    assert (device.close(), device.close()) == (status, status)
    assert reaped(device.pid)


def test_a_program_killed_by_a_signal_gives_its_negative_number(expect):
    session = Session(expect, ["sleep", "60"], timeout=5)
    os.kill(session.pid, signal.SIGTERM)
    assert session.close() == -signal.SIGTERM
    with pytest.raises(ValueError, match="is closed"):
        session.send_line("x")


def test_environment_and_terminal_size(expect):
    command = ["sh", "-c", 'printf "[%s][%s]\\n" "$GREETING" "$HOME"; stty size']
    with Session(expect, command, env={"GREETING": "grüß dich", "PATH": os.environ["PATH"]}, size=(31, 101)) as s:
        assert s.expect(r"\[.*\]\[.*\]").matched == "[grüß dich][]"
        assert s.expect(r"\d+ \d+").matched == "31 101"
        with pytest.raises(ExpectEOF):
            s.expect("never printed")
    assert s.status == 0


@pytest.mark.parametrize("size", [(1, 1), (31, 101), (65535, 65535)])
def test_the_terminal_has_its_size_before_the_program_starts(expect, size):
    # The program's very first act is to read the size: set after the
    # spawn, it would often see 0 0.
    expect.vars["stty_init"] = "-echo"
    for _ in range(5):
        with Session(expect, ["stty", "size"], size=size) as s:
            assert s.expect(r"\d+ \d+").matched == "%d %d" % size
    assert expect.vars["stty_init"] == "-echo"
    del expect.vars["stty_init"]
    with Session(expect, ["stty", "size"], size=size) as s:
        s.expect(r"\d+ \d+")
    assert "stty_init" not in expect.vars


@pytest.mark.parametrize(
    "size, error",
    [((-1, 80), ValueError), ((24, 65536), ValueError), ((24.0, 80), TypeError), (("24", 80), TypeError)],
)
def test_a_terminal_size_out_of_range_spawns_nothing(expect, size, error):
    with pytest.raises(error):
        Session(expect, ["sleep", "60"], size=size)
    assert "spawn_id" not in expect.vars


def test_a_secret_sent_stays_masked_in_the_history(device):
    device.send_line(Secret("s3cret-word"))
    scripts = [entry.script for entry in device.tcl.history.filter(count=0)]
    assert not any("s3cret" in script for script in scripts)
    assert f"exp_send -i {device.spawn_id} -- ****" in scripts


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda tcl: Session(tcl, "sleep 1"), TypeError, "non-empty sequence"),
        (lambda tcl: Session(tcl, []), TypeError, "non-empty sequence"),
        (lambda tcl: Session(tcl, ["true"]).expect("x", kind="fuzzy"), ValueError, "unknown kind of pattern 'fuzzy'"),
        (lambda tcl: Session(tcl, ["true"]).expect(), TypeError, "at least one pattern"),
    ],
)
def test_bad_input_is_refused(expect, make, error, message):
    with pytest.raises(error, match=message):
        make(expect)


def test_wait_for_a_program_that_ends_by_itself_or_not(device):
    device.send_line("hang")
    with pytest.raises(ExpectTimeout):
        device.wait(timeout=1)
    assert device.status is None  # still running, still ours
    assert device.close() == -signal.SIGHUP


def test_wait_after_exit_gives_its_status(device):
    device.send_line("exit")
    assert (device.wait(), device.wait()) == (0, 0)


def test_the_fixture_closes_and_reaps_what_a_test_spawned(pytester):
    pytester.makepyfile(test_spawned=f"""
        import os
        import pytest
        from support.spawned import require_debian_package

        PIDS = []

        def test_spawns(tcl_spawn):
            require_debian_package("tcl-expect")
            session = tcl_spawn(["sleep", "60"], timeout=2)
            PIDS.append(session.pid)
            assert session.spawn_id.startswith("exp")

        def test_it_is_gone():
            with pytest.raises(ChildProcessError):
                os.waitpid(PIDS[0], os.WNOHANG)  # reaped: no child of ours any more
            with pytest.raises(ProcessLookupError):
                os.kill(PIDS[0], 0)
    """)
    result = pytester.runpytest("-p", "no:cacheprovider", "-p", "no:randomly")
    result.assert_outcomes(passed=2)
