"""The "Device transcript" section: what a failing test's programs, spawned
through Expect in the Tcl fixtures, were sent and printed."""
import datetime
import re
import textwrap
import xml.etree.ElementTree as ET

import pytest

from support.spawned import CONSOLE, PYTHON, require_debian_package
from support.tclversion import TCL9
from tarvo.tcl.pytest_plugin import _Spawn

STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}"


@pytest.fixture(autouse=True)
def _expect_installed():
    require_debian_package("tcl-expect")
    if TCL9:
        pytest.skip("the transcript is off on Tcl 9, whose Expect crashed under its traces")


def transcripts(text):
    """The lines of every "Device transcript" section in `text`, each
    timestamp replaced by TIME after checking its form."""
    found = []
    for match in re.finditer(r"-+ Device transcript -+\n(.*?)(?=\n[-_=]{3,}|\Z)", text, re.S):
        found.append([re.sub(f"^(\\s+){STAMP} ", r"\1TIME ", line) for line in match.group(1).splitlines()])
    return found


LOGIN = f"""
    import sys
    from tarvo.tcl import Secret

    def log_in(tcl_spawn):
        s = tcl_spawn([{PYTHON!r}, {CONSOLE!r}], timeout=3)
        s.expect("login: ", kind="exact")
        s.send_line("admin")
        s.expect("Password: ", kind="exact")
        s.send_line(Secret("hunter2"))
        s.expect(r"DC-1> $")
        return s
"""

HEAD = f"spawn -noecho {PYTHON} {CONSOLE}"
LOGGED_IN = [
    "    TIME < DC-1 device console",
    "    TIME < login: ",
    "    TIME > admin",
    "    TIME < admin",
    "    TIME < Password: ",
    "    TIME > ****",
    "    TIME < ",
    "    TIME < Welcome to DC-1, admin.",
    "    TIME < DC-1> ",
]


def test_a_failing_test_shows_both_sides_and_what_no_expect_took(pytester):
    pytester.makepyfile(test_device=textwrap.dedent(LOGIN) + textwrap.dedent("""
        def test_fails(tcl_spawn):
            s = log_in(tcl_spawn)
            assert s.run("show version", prompt=r"\\r\\nDC-1> $") == ["Model: DC-1"]

        def test_times_out(tcl_spawn):
            s = log_in(tcl_spawn)
            s.send_line("show interfaces")
            s.expect("eth1", kind="exact")
            s.expect("eth9", kind="exact", timeout=0.5)

        def test_passes(tcl_spawn):
            log_in(tcl_spawn).run("show version", prompt=r"\\r\\nDC-1> $")
    """))
    result = pytester.runpytest_subprocess("-p", "no:randomly", "--junitxml=report.xml")
    result.assert_outcomes(passed=1, failed=2)
    fails = LOGGED_IN + [
        "    TIME > show version",
        "    TIME < show version",
        "    TIME < Model: DC-1",
        "    TIME < Firmware: 2.4.1",
        "    TIME < Serial: TV-0042",
        "    TIME < DC-1> ",
    ]
    times_out = LOGGED_IN + [
        "    TIME > show interfaces",
        "    TIME < show interfaces",
        "    TIME < Port  Link  Speed",
        "    TIME < eth0  up    1000",
        "    TIME < eth1",
        "    TIME ?   down  -",
        "    TIME ? eth2  up    100",
        "    TIME ? DC-1> ",
    ]
    first, second = transcripts(result.stdout.str())
    assert re.fullmatch(r"exp\d+: " + re.escape(HEAD) + ": 15 lines, oldest first", first[0])
    assert first[1:] == fails
    # Lines no expect took are counted apart, after the others.
    assert re.fullmatch(r"exp\d+: " + re.escape(HEAD) + ": 14 lines, oldest first", second[0])
    assert second[1:] == times_out
    # JUnit XML carries the section, the Secret masked there too.
    failures = [case.find("failure").text for case in ET.parse(pytester.path / "report.xml").iter("testcase")
                if case.find("failure") is not None]
    assert len(failures) == 2
    assert all("Device transcript" in text and "hunter2" not in text for text in failures)
    assert "< Serial: TV-0042" in failures[0] and "? eth2  up    100" in failures[1]


MANY = f"""
    def test_many(tcl):
        tcl.eval("package require Expect; log_user 0")
        tcl.eval(r'''spawn {PYTHON} -c "for i in range(30): print('line', i)"; expect -re {{line 29\r\n}}''')
        assert 0
"""


@pytest.mark.parametrize(
    "args, ini, shown",
    [
        ([], None, 30),
        (["--tcl-transcript=5"], None, 5),
        (["--tcl-transcript=31"], None, 30),
        ([], "7", 7),
        (["--tcl-transcript=4"], "7", 4),
        (["--tcl-transcript=0"], None, 0),
        ([], "0", 0),
    ],
)
def test_transcript_length(pytester, args, ini, shown):
    pytester.makepyfile(textwrap.dedent(MANY))
    if ini is not None:
        pytester.makeini(f"[pytest]\ntcl_transcript = {ini}\n")
    result = pytester.runpytest(*args)
    result.assert_outcomes(failed=1)
    found = transcripts(result.stdout.str())
    if not shown:
        assert found == []
        return
    (lines,) = found
    told = "30 lines" if shown == 30 else f"the last {shown} of 30 lines"
    assert re.fullmatch(r"exp\d+: spawn .*: " + told + ", oldest first", lines[0])
    assert lines[1:] == [f"    TIME < line {i}" for i in range(30 - shown, 30)]


@pytest.mark.parametrize(
    "args, ini, message",
    [
        (["--tcl-transcript=-1"], None, "expected a number of lines (0 or more), got '-1'"),
        ([], "many", "ini option tcl_transcript: expected a number of lines (0 or more), got 'many'"),
    ],
)
def test_bad_transcript_length(pytester, args, ini, message):
    pytester.makepyfile(textwrap.dedent(MANY))
    if ini is not None:
        pytester.makeini(f"[pytest]\ntcl_transcript = {ini}\n")
    result = pytester.runpytest(*args)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    assert message in result.stderr.str()


def test_tcl_code_and_the_users_own_log_file(pytester, tmp_path):
    # Expect driven from Tcl: a spawn id local to a procedure, send without
    # -i, exp_continue, a spawn id closed and given again.  The user's own
    # log_file and log_user keep working.
    log = tmp_path / "session.log"
    pytester.makepyfile(textwrap.dedent(f"""
        def test_tcl(tcl):
            tcl.eval('''
                package require Expect
                log_user 0
                log_file -a -noappend {log}
                proc talk {{}} {{
                    spawn sh -c {{read a; printf 'got %s\\\\n' "$a"; printf 'x\\\\001y\\\\r\\\\n\\\\377end\\\\n'}}
                    send -- "abc\\\\r"
                    set n 0
                    expect {{
                        -re {{[a-z]+\\r\\n}} {{incr n; exp_continue}}
                        eof
                    }}
                    wait
                    return $n
                }}
                talk
                spawn true
                log_file
            ''')
            assert 0
    """))
    result = pytester.runpytest("-p", "no:randomly")
    result.assert_outcomes(failed=1)
    (lines,) = transcripts(result.stdout.str())
    first = lines.index(next(line for line in lines if line.startswith("exp") and "true" not in line))
    assert lines[first + 1:first + 6] == [
        "    TIME > abc",
        "    TIME < abc",
        "    TIME < got abc",
        "    TIME < x\\x01y",
        "    TIME < \u00ffend",
    ]
    assert re.fullmatch(r"exp\d+: spawn true: nothing sent or received", lines[-1])
    assert "got abc" in log.read_text(encoding="utf-8", errors="replace")
    assert "Captured stdout" not in result.stdout.str()  # log_user 0 held


def test_error_traces_are_unchanged_by_the_transcript(pytester):
    # An error raised in an expect body: the same trace with the transcript
    # on and off.
    pytester.makepyfile(textwrap.dedent("""
        import pytest, tkinter

        def test_trace(tcl):
            tcl.eval("package require Expect; log_user 0")
            with pytest.raises(tkinter.TclError) as error:
                tcl.eval('''proc go {} {
                    spawn echo hi
                    expect hi {error "in the body"}
                }
                go''')
            print("TRACE<" + error.value.errorinfo + ">")
            tcl.eval('catch {close; wait}')
    """))
    traces = []
    for length in ("0", "20"):
        result = pytester.runpytest("-s", f"--tcl-transcript={length}")
        result.assert_outcomes(passed=1)
        traces.append(re.search(r"TRACE<(.*)>", result.stdout.str(), re.S).group(1))
    assert traces[0] == traces[1]
    assert 'in the body\n    while executing\n"error "in the body""' in traces[0]


def test_session_interpreter_shows_each_tests_own_lines(pytester):
    pytester.makepyfile(textwrap.dedent("""
        import pytest

        @pytest.fixture(scope="session")
        def cat(tcl_session):
            tcl_session.eval("package require Expect; log_user 0; spawn cat; set ::cat $spawn_id")
            return tcl_session

        @pytest.mark.parametrize("word", ["one", "two"])
        def test_say(cat, word):
            # The terminal echoes the word, then cat prints it.
            cat.eval(f"send -i $::cat {word}\\\\r; expect -i $::cat {word}\\\\r\\\\n{word}\\\\r\\\\n")
            assert 0
    """))
    result = pytester.runpytest("-p", "no:randomly")
    result.assert_outcomes(failed=2)
    one, two = transcripts(result.stdout.str())
    assert one[1:] == ["    TIME > one", "    TIME < one", "    TIME < one"]
    assert two[1:] == ["    TIME > two", "    TIME < two", "    TIME < two"]
    assert one[0].endswith(": 3 lines, oldest first")


def test_under_xdist(pytester):
    pytester.makepyfile(textwrap.dedent(MANY))
    result = pytester.runpytest_subprocess("-n", "2", "--tcl-transcript=2")
    result.assert_outcomes(failed=1)
    (lines,) = transcripts(result.stdout.str())
    assert lines[1:] == ["    TIME < line 28", "    TIME < line 29"]


T0 = datetime.datetime(2026, 1, 2, 3, 4, 5, 6)


@pytest.mark.parametrize(
    "way, pieces, lines",
    [
        # \r\n ends a line, also split between two pieces; a lone \r does
        # not, from the program.
        ("<", ["a\r\nb", "c\r", "\nd\re\n"], ["< a", "< bc", "< d\\re"]),
        # What we send ends a line at \r: Enter.
        (">", ["ls\r", "pw", "\r"], ["> ls", "> pw"]),
        ("<", ["", "\n", "\n"], ["< ", "< "]),
        # The last code point of the C0 and C1 ranges, and the first after.
        ("<", ["\x1f\x20\x7e\x7f\x9f\xa0\ud7ff"], ["< \\x1f ~\\x7f\\x9f\xa0\ud7ff"]),
        ("<", ["\t\0\udcff\udc80"], ["< \\t\\0\\xff\\x80"]),
    ],
)
def test_lines_of_a_spawn(way, pieces, lines):
    spawn = _Spawn("exp4", "spawn x", 10)
    for piece in pieces:
        spawn.add(way, piece, T0)
    assert [line.shown() for line in spawn.lines] == [f"2026-01-02T03:04:05.000006 {line}" for line in lines]


@pytest.mark.parametrize("size, left_out", [(1999, 0), (2000, 0), (2001, 1), (3_000_000, 2_998_000)])
def test_a_line_keeps_its_first_2000_characters(size, left_out):
    spawn = _Spawn("exp4", "spawn x", 3)
    for chunk in range(0, size, 700_000):  # one line, in several pieces
        spawn.add("<", "é" * min(700_000, size - chunk), T0)
    spawn.add("<", "\nnext\n", T0)
    first, second = spawn.lines
    assert first.text == "é" * min(size, 2000)
    assert first.shown().endswith(f"... ({left_out} characters left out)" if left_out else "é")
    assert second.text == "next" and spawn.count == 2


def test_only_the_last_lines_are_kept():
    spawn = _Spawn("exp4", "spawn x", 3)
    spawn.add("<", "".join(f"{i}\n" for i in range(100_000)), T0)
    assert [line.text for line in spawn.lines] == ["99997", "99998", "99999"]
    assert spawn.count == 100_000


def test_the_report_leaves_a_finished_program_to_the_teardown(pytester):
    # The program has ended and all it printed was taken: reading for the
    # report would meet the end of file, and Expect would close the id.
    pytester.makepyfile(textwrap.dedent("""
        import pytest, time

        @pytest.fixture
        def echo(tcl):
            tcl.eval("package require Expect; log_user 0; spawn sh -c {echo hi}; expect hi\\\\r\\\\n")
            yield tcl
            assert tcl.eval("expect eof {set x eof}; set x") == "eof"
            tcl.eval("wait")

        def test_fails(echo):
            time.sleep(0.3)
            assert 0
    """))
    result = pytester.runpytest("-p", "no:randomly")
    result.assert_outcomes(failed=1, errors=0)
    (lines,) = transcripts(result.stdout.str())
    assert lines[1:] == ["    TIME < hi"]


def test_expect_works_on_when_the_transcript_cannot_take_notes(tcl):
    # The notes are taken inside Expect's own commands: a failure there
    # must not fail them.
    from tarvo.tcl.pytest_plugin import _Transcript

    _Transcript(tcl, 5)
    tcl.eval("rename ::tarvo::transcript::note {}; package require Expect; log_user 0")
    assert tcl.eval("spawn cat; send hi\\r; expect hi\\r\\n {set x ok}; close; wait; set x") == "ok"
