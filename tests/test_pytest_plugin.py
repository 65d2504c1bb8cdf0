"""The pytest plugin, run on small sample suites with pytester."""
import pathlib
import re
import textwrap
import xml.etree.ElementTree as ET

import pytest

STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}"

SAMPLE = """
    import tkinter

    def test_passes(tcl):
        assert tcl.eval("set a 1") == "1"

    def test_fails(tcl):
        tcl.eval("set a 1")
        tcl.jot.set("b", "x y")
        assert tcl.eval("set a") == "2"

    def test_fails_in_tcl(tcl):
        tcl.eval("proc boom {} {error oops}")
        tcl.eval("boom")

    def test_fails_through_a_cast(tcl):
        tcl.cast_boolean("maybe")

    def test_fails_without_tcl():
        assert 0
"""


def section_lines(text):
    """The lines of every "Tcl history" section in `text`, as a list per section."""
    sections = []
    for match in re.finditer(r"-+ Tcl history -+\n(.*?)(?=\n[-_=]{3,}|\Z)", text, re.S):
        sections.append(match.group(1).splitlines())
    return sections


def stamped(lines):
    """`lines` with each timestamp replaced by TIME, after checking its form."""
    return [re.sub(f"^    {STAMP}: ", "    TIME: ", line) for line in lines]


@pytest.fixture
def sample(pytester):
    pytester.makepyfile(test_sample=textwrap.dedent(SAMPLE))
    return pytester


def test_failing_tests_show_their_tcl_calls_and_error(sample):
    result = sample.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1, failed=4)
    sections = [stamped(lines) for lines in section_lines(result.stdout.str())]
    assert sections == [
        [
            "tcl: 3 Tcl calls, oldest first",
            "    TIME: set a 1",
            "    TIME: set b {x y}",
            "    TIME: set a",
        ],
        [
            "tcl: 2 Tcl calls, oldest first",
            "    TIME: proc boom {} {error oops}",
            "    TIME: boom",
            "",
            "Tcl error:",
            "    oops",
            "        while executing",
            '    "error oops"',
            '        (procedure "boom" line 1)',
            "        invoked from within",
            '    "boom"',
        ],
        [
            "tcl: no Tcl calls",
            "",
            "Tcl error:",
            '    expected boolean value but got "maybe"',
        ],
    ]
    # In the failure's own report, after its traceback.
    result.stdout.re_match_lines([r"_+ test_fails _+", r".*AssertionError", r"-+ Tcl history -+"])


def test_the_error_text_comes_from_errorinfo_and_shows_errorcode(pytester):
    pytester.makepyfile(
        """
        import tkinter

        def test_it(tcl):
            error = tkinter.TclError("short")
            error.errorinfo = "short\\n    while executing\\n\\"thing\\""
            error.errorcode = ("ARITH", "DIVZERO", "divide by zero")
            raise error
        """
    )
    result = pytester.runpytest()
    assert section_lines(result.stdout.str()) == [
        [
            "tcl: no Tcl calls",
            "",
            "Tcl error (errorcode ('ARITH', 'DIVZERO', 'divide by zero')):",
            "    short",
            "        while executing",
            '    "thing"',
        ]
    ]


def test_session_interpreter_shows_each_tests_own_calls(pytester):
    pytester.makeconftest(
        """
        import pytest

        @pytest.fixture(scope="session")
        def loaded(tcl_session):
            tcl_session.eval("proc double {x} {expr {2 * $x}}")
            return tcl_session
        """
    )
    pytester.makepyfile(
        """
        def test_first(loaded):
            loaded.eval("set a [double 2]")
            assert 0

        def test_second(tcl_session):
            tcl_session.eval("set b 1")

        def test_third(loaded, tcl):
            loaded.eval("set c [double 3]")
            tcl.eval("set own 1")
            assert loaded.eval("set c") == "5"
        """
    )
    result = pytester.runpytest()
    result.assert_outcomes(passed=1, failed=2)
    assert [stamped(lines) for lines in section_lines(result.stdout.str())] == [
        [
            "tcl_session: 2 Tcl calls, oldest first",
            "    TIME: proc double {x} {expr {2 * $x}}",
            "    TIME: set a [double 2]",
        ],
        [
            "tcl_session: 2 Tcl calls, oldest first",
            "    TIME: set c [double 3]",
            "    TIME: set c",
            "tcl: 1 Tcl call, oldest first",
            "    TIME: set own 1",
        ],
    ]


MANY_CALLS = """
    def test_many(tcl):
        for i in range(5):
            tcl.eval(f"set x {i}")
        assert 0
"""


def last(count, of=5):
    """The section of MANY_CALLS when it shows `count` of its `of` calls."""
    if count < of:
        first = [f"tcl: the last {count} of {of} Tcl calls, oldest first"]
    else:
        first = [f"tcl: {of} Tcl calls, oldest first"]
    return first + [f"    TIME: set x {i}" for i in range(of - count, of)]


@pytest.mark.parametrize(
    "args, ini, expected",
    [
        ([], None, last(5)),
        (["--tcl-history=2"], None, last(2)),
        ([], "1", last(1)),
        (["--tcl-history", "3"], "1", last(3)),
        (["--tcl-history=0"], None, None),
        ([], "0", None),
    ],
)
def test_history_length(pytester, args, ini, expected):
    pytester.makepyfile(textwrap.dedent(MANY_CALLS))
    if ini is not None:
        pytester.makeini(f"[pytest]\ntcl_history = {ini}\n")
    result = pytester.runpytest(*args)
    result.assert_outcomes(failed=1)
    assert [stamped(lines) for lines in section_lines(result.stdout.str())] == ([expected] if expected else [])


@pytest.mark.parametrize(
    "args, ini, message",
    [
        (["--tcl-history=-1"], None, "*--tcl-history: expected a number of calls (0 or more), got '-1'*"),
        (["--tcl-history=many"], None, "*--tcl-history: expected a number of calls (0 or more), got 'many'*"),
        ([], "lots", "*ini option tcl_history: expected a number of calls (0 or more), got 'lots'*"),
    ],
)
def test_bad_history_length(pytester, args, ini, message):
    pytester.makepyfile(textwrap.dedent(MANY_CALLS))
    if ini is not None:
        pytester.makeini(f"[pytest]\ntcl_history = {ini}\n")
    result = pytester.runpytest(*args)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines([message])


def test_several_interpreters_in_one_test(pytester):
    pytester.makepyfile(
        """
        def test_many(tcl, tcl_factory):
            first, second = tcl_factory(), tcl_factory()
            second.eval("set b 2")
            tcl.jot.set("greeting", "hello")
            first.eval("error {first failed}")
        """
    )
    result = pytester.runpytest()
    assert [stamped(lines) for lines in section_lines(result.stdout.str())] == [
        [
            "tcl: 1 Tcl call, oldest first",
            "    TIME: set greeting hello",
            "tcl_factory #1: 1 Tcl call, oldest first",
            "    TIME: error {first failed}",
            "tcl_factory #2: 1 Tcl call, oldest first",
            "    TIME: set b 2",
            "",
            "Tcl error:",
            "    first failed",
            "        while executing",
            '    "error {first failed}"',
        ]
    ]


UNRULY = """
    def test_unruly(tcl):
        tcl.jot.set("b", "x\\udcff y")
        tcl.eval("set long " + "z" * 20_000)
        tcl.eval("error [string repeat e 30000]")
"""


def test_bad_characters_and_long_texts_are_shown_in_part(pytester, monkeypatch):
    # Strict UTF-8 output, where a lone surrogate cannot go as it is.
    monkeypatch.setenv("PYTHONIOENCODING", "utf-8")
    pytester.makepyfile(textwrap.dedent(UNRULY))
    result = pytester.runpytest_subprocess("--junitxml=report.xml", "-p", "no:cacheprovider")
    result.assert_outcomes(failed=1)
    (lines,) = section_lines(result.stdout.str())
    lines = [line for line in lines if not line.startswith("- generated xml file")]
    # Each cut after 2,000 characters, its timestamp included.
    cut_entry = "    TIME: set long " + "z" * (2000 - len("2026-01-01T00:00:00.000000: set long ")) + "... [18,037 more characters]"
    assert stamped(lines) == [
        "tcl: 3 Tcl calls, oldest first",
        "    TIME: set b {x\\udcff y}",
        cut_entry,
        "    TIME: error [string repeat e 30000]",
        "",
        "Tcl error:",
        "    " + "e" * 2000 + "... [28,052 more characters]",  # with the rest of the trace
    ]
    xml = (pytester.path / "report.xml").read_text()
    assert "set b {x\\udcff y}" in xml and "... [18,037 more characters]" in xml
    assert "z" * 2000 not in xml


def test_junit_xml_carries_the_section(sample):
    result = sample.runpytest("--junitxml=report.xml")
    result.assert_outcomes(passed=1, failed=4)
    cases = {case.get("name"): case for case in ET.parse(sample.path / "report.xml").iter("testcase")}
    text = cases["test_fails_in_tcl"].find("failure").text
    assert re.search(f"-+ Tcl history -+\ntcl: 2 Tcl calls, oldest first\n    {STAMP}: proc boom", text)
    assert '\nTcl error:\n    oops\n        while executing\n    "error oops"' in text
    assert "Tcl history" not in cases["test_fails_without_tcl"].find("failure").text


def test_html_report_carries_the_section(sample):
    pytest.importorskip("pytest_html")
    result = sample.runpytest("--html=report.html", "--self-contained-html")
    result.assert_outcomes(passed=1, failed=4)
    html = (sample.path / "report.html").read_text()
    assert re.search(r"Tcl history -+\\ntcl: 3 Tcl calls, oldest first\\n    " + STAMP + r": set a 1", html)


def test_xdist_workers_have_their_own_interpreters(pytester):
    pytest.importorskip("xdist")
    pytester.makepyfile(
        """
        import os

        import pytest

        @pytest.mark.parametrize("n", range(6))
        def test_session(tcl_session, n):
            tcl_session.eval(f"set n {n}")
            with open(f"mark-{n}", "w") as mark:  # in the rootdir, every worker's cwd
                mark.write(f"{os.getpid()} {id(tcl_session)}")
            assert n != 4
        """
    )
    result = pytester.runpytest_subprocess("-n", "2")
    result.assert_outcomes(passed=5, failed=1)
    assert [stamped(lines) for lines in section_lines(result.stdout.str())] == [
        ["tcl_session: 1 Tcl call, oldest first", "    TIME: set n 4"]
    ]
    marks = [p.read_text().split() for p in pytester.path.glob("mark-*")]
    by_worker = {}
    for pid, interpreter in marks:
        by_worker.setdefault(pid, set()).add(interpreter)
    assert len(marks) == 6 and len(by_worker) == 2
    assert all(len(interpreters) == 1 for interpreters in by_worker.values())


def test_the_plugin_can_be_turned_off(pytester):
    pytester.makepyfile(
        test_plugin="""
        def test_plugin_fixture(tcl):
            tcl.eval("set a 1")
            assert 0
        """,
        test_own="""
        import pytest

        @pytest.fixture
        def tcl():  # a fixture of the test's own wins over the plugin's
            from tarvo.tcl.interpreter import Interpreter
            return Interpreter()

        def test_own_fixture(tcl):
            tcl.eval("set a 1")
            assert 0
        """,
    )
    result = pytester.runpytest("-p", "no:tarvo.tcl", "test_plugin.py")
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines(["*fixture 'tcl' not found*"])
    result = pytester.runpytest()
    result.assert_outcomes(failed=2)
    assert [stamped(lines) for lines in section_lines(result.stdout.str())] == [
        ["tcl: 1 Tcl call, oldest first", "    TIME: set a 1"]
    ]


def test_nothing_of_a_torn_down_interpreter_stays_alive(pytester):
    pytester.makepyfile(
        """
        import gc
        import weakref

        from tarvo.tcl.namespace import TclCommand

        refs = {}

        class Helper:
            def __init__(self, tcl):
                self.tcl = tcl

            def __call__(self, *args):
                return self.tcl.eval("set x 1")

        def test_make(tcl, tcl_factory):
            for name, interpreter in (("tcl", tcl), ("factory", tcl_factory())):
                # Callbacks that refer back to their interpreter, made in
                # every way there is: Tcl holds them beyond Python's gc.
                helpers = [Helper(interpreter) for _ in range(3)]
                interpreter.create_callback(helpers[0], cmd_name="cb")
                interpreter.create_callback(helpers[1], cmd_name="puts", force=True)
                TclCommand("::ns::deep", tcl=interpreter).createcommand(helpers[2])
                interpreter.createcommand("raw", lambda *args: interpreter.eval("set y 2"))
                interpreter.eval("cb; puts x; ns::deep; raw")
                refs[name] = weakref.ref(interpreter)
                refs.update((f"{name} helper {i}", weakref.ref(h)) for i, h in enumerate(helpers))

        def test_all_gone():
            gc.collect()
            assert [name for name, ref in refs.items() if ref() is not None] == []
        """
    )
    pytester.runpytest().assert_outcomes(passed=2)


def test_tests_without_the_fixtures_start_no_tcl(pytester):
    pytester.makepyfile(
        """
        import sys

        def test_plain():
            assert 1 / 0

        def test_nothing_imported():
            assert "tkinter" not in sys.modules
            assert "tarvo.tcl.interpreter" not in sys.modules
            assert "tarvo.tcl.pytest_plugin" in sys.modules
        """
    )
    result = pytester.runpytest_subprocess()
    result.assert_outcomes(passed=1, failed=1)
    assert "Tcl history" not in result.stdout.str()


def test_the_example_suite_passes(pytester):
    example = pathlib.Path(__file__).resolve().parent.parent / "examples" / "test_with_fixtures.py"
    pytester.makepyfile(test_with_fixtures=example.read_text())
    pytester.runpytest().assert_outcomes(passed=5)


def test_a_test_stuck_in_tcl_fails_at_its_timeout_and_the_run_goes_on(pytester):
    pytester.makepyfile(
        test_stuck=textwrap.dedent(
            """
            def test_stuck(tcl):
                tcl.eval("set before 1")
                tcl.eval("while 1 {}")

            def test_next(tcl):
                assert tcl.eval("set a 1") == "1"
            """
        )
    )
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "--timeout=2", "--timeout-method=signal")
    result.assert_outcomes(passed=1, failed=1)
    text = result.stdout.str()
    assert "Timeout" in text
    [lines] = [stamped(lines) for lines in section_lines(text)]
    assert lines[:3] == ["tcl: 2 Tcl calls, oldest first", "    TIME: set before 1", "    TIME: while 1 {}"]


def test_teardown_leaves_no_channel_port_or_child_behind(pytester, tmp_path):
    pytester.makepyfile(
        test_leftovers=textwrap.dedent(
            f"""
            import os, socket, pathlib
            STATE = pathlib.Path({str(tmp_path)!r})

            def test_opens(tcl, tcl_factory):
                tcl.eval("set f [open {{{tmp_path / 'unclosed.txt'}}} w]; puts $f written")
                port = tcl.eval("lindex [fconfigure [socket -server {{apply {{args {{}}}}}} 0] -sockname] 2")
                (STATE / "port").write_text(port)
                other = tcl_factory()
                other.eval("package require Expect; log_user 0")
                (STATE / "pid").write_text(other.eval("spawn cat"))

            def test_finds_them_released():
                assert (STATE / "unclosed.txt").read_text() == "written\\n"
                with socket.socket() as s:
                    s.bind(("0.0.0.0", int((STATE / "port").read_text())))
                pid = int((STATE / "pid").read_text())
                assert not os.path.exists(f"/proc/{{pid}}")  # neither running nor a zombie
            """
        )
    )
    from support.spawned import require_debian_package

    require_debian_package("tcl-expect")
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-p", "no:randomly")
    result.assert_outcomes(passed=2)


SOAK = """
import os, pytest

ROUNDS = {rounds}


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def children():
    me = os.getpid()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{{pid}}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == me:
                    found.append(pid)
        except OSError:
            pass
    return found


@pytest.fixture(scope="module")
def before():
    # What the first interpreter of a process opens for good (Tcl 9's
    # notifier keeps an epoll and an eventfd per thread) is not counted.
    from tarvo.tcl.interpreter import Interpreter

    Interpreter().close()
    return open_fds()


@pytest.mark.parametrize("round", range(ROUNDS))
def test_uses_everything(before, tcl, round, tmp_path):
    tcl.eval("package require Expect; log_user 0; spawn cat")
    tcl.eval(f"set f [open {{{{{{tmp_path}}/out}}}} w]; puts $f x")
    tcl.eval("socket -server {{apply {{args {{}}}}}} 0")


def test_nothing_left(before):
    assert children() == []
    assert open_fds() <= before + 2
"""


def test_many_fixture_tests_leave_no_fd_port_or_child(pytester):
    from support.spawned import require_debian_package

    require_debian_package("tcl-expect")
    pytester.makepyfile(test_soak=SOAK.format(rounds=200))
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-q", "-p", "no:randomly")
    result.assert_outcomes(passed=201)


def test_the_section_writes_quick_calls_so_that_tclsh_reruns_them(pytester):
    pytester.makepyfile(test_words=textwrap.dedent("""
        def test_fails(tcl):
            tcl.jot.list("a", "", "b")
            tcl.jot.string("match", "-nocase", "\\r\\nSW-7> $", "")
            tcl.eval("set x {a  b}")
            assert False
    """))
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(failed=1)
    text = re.sub(STAMP, "TIME", result.stdout.str())  # (the lines, split at \r too)
    # A word's line break stays one; its next line is indented as the section's are.
    assert "\n    TIME: list a {} b\n    TIME: string match -nocase {\n        SW-7> $} {}\n" in text
    assert "\n    TIME: set x {a  b}\n" in text
