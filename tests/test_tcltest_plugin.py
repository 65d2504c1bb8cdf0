"""Tcl test files under pytest (--tcltest), run on small sample suites with
pytester: one item per tcltest case, each file once, in an interpreter and
folder of its own."""
import os
import re
import subprocess
import textwrap
import xml.etree.ElementTree as ET

import pytest

HEAD = "package require tcltest 2\nnamespace import -force ::tcltest::*\n"

SAMPLE = HEAD + r"""
proc double {x} {expr {2 * $x}}
test sample-1.1 {passes} {double 2} 4
test sample-1.2 {fails} -body {double 3} -result 7
test sample-1.3 {skipped} -constraints never -body {double 3} -result 6
test sample-1.4 {error expected} -body {error boom} -returnCodes error -result boom
test sample-1.5 {break} -body {break} -returnCodes break
test sample-1.6 {skipped from its body} -body {tcltest::Skip "not today"}
cleanupTests
"""


def tcltest_file(pytester, name, text):
    path = pytester.path / name
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    return path


def outcomes_by_id(result):
    """{node id: PASSED/FAILED/...} from a -v run (one line per item)."""
    found = {}
    for line in result.stdout.lines:
        match = re.match(r"^\[gw\d\] \[...%\] (PASSED|FAILED|SKIPPED|ERROR) (\S+::.*?)\s*$", line)
        if match:
            found.setdefault(match.group(2), match.group(1))
            continue
        match = re.match(r"^(\S+::.*?) (PASSED|FAILED|SKIPPED|ERROR)\b", line)
        if match:
            found.setdefault(match.group(1), match.group(2))
    return found


def test_each_case_is_an_item_with_its_own_outcome(pytester):
    tcltest_file(pytester, "sample.test", SAMPLE)
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "-v", "-rs")
    result.assert_outcomes(passed=3, failed=1, skipped=2)
    assert outcomes_by_id(result) == {
        "sample.test::sample-1.1": "PASSED",
        "sample.test::sample-1.2": "FAILED",
        "sample.test::sample-1.3": "SKIPPED",
        "sample.test::sample-1.4": "PASSED",
        "sample.test::sample-1.5": "PASSED",
        "sample.test::sample-1.6": "SKIPPED",
    }
    out = result.stdout.str()
    # tcltest's own report of the failure, then the case's Tcl call.
    report = out[out.index("_ sample-1.2 in sample.test _"):]
    assert report.index("==== sample-1.2 fails FAILED") < report.index("---- Result was:\n6")
    assert "---- Result should have been (exact matching):\n7" in report
    assert "==== Contents of test case:\ndouble 3" in report
    history = report[report.index("- Tcl history -"):]
    assert re.search(r"tcltest: 1 Tcl call, oldest first\n    \S+: test sample-1.2 fails -body \{double 3\} -result 7",
                     history)
    # Skips name their constraint, or the reason the body gave.
    result.stdout.fnmatch_lines(
        ["SKIPPED [1] sample.test:7: tcltest constraints not met: never",
         "SKIPPED [1] sample.test:10: skipped by its body: not today"]
    )


@pytest.mark.parametrize(
    "options, ran",
    [
        (["--tcltest-constraints", "never"], {"sample-1.3": "PASSED"}),
        (["--tcltest-match", "sample-1.[12]"], {"sample-1.1": "PASSED", "sample-1.4": "SKIPPED"}),
        (["--tcltest-skip", "sample-1.2"], {"sample-1.2": "SKIPPED", "sample-1.1": "PASSED"}),
    ],
)
def test_tcltest_options(pytester, options, ran):
    tcltest_file(pytester, "sample.test", SAMPLE)
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "-v", *options)
    found = outcomes_by_id(result)
    assert {case: found[f"sample.test::{case}"] for case in ran} == ran


def test_ini_patterns_collect_without_the_flag_and_ini_options_apply(pytester):
    tcltest_file(pytester, "sample.tcl", SAMPLE)
    pytester.makeini("[pytest]\ntcltest_patterns = *.tcl\ntcltest_constraints = never\n")
    result = pytester.runpytest("-p", "no:cacheprovider", "-v")
    assert outcomes_by_id(result)["sample.tcl::sample-1.3"] == "PASSED"


ODD = HEAD + r"""
test {with space} {} {set a 1} 1
test {bracket[1]} {} {set a 1} 1
test {brace {x} y} {} {set a 1} 1
test {grüße-ü.1} {} {set a 1} 1
test twice {} {set a 1} 1
test twice {} {set a 1} 2
"""


@pytest.mark.parametrize(
    "keyword, selected",
    [
        ("space", ["with space"]),
        ("bracket", ["bracket[1]"]),
        ("brace and y", ["brace {x} y"]),
        ("grüße", ["grüße-ü.1"]),
        ("twice", ["twice", "twice#2"]),
        ("not twice", ["with space", "bracket[1]", "brace {x} y", "grüße-ü.1"]),
    ],
)
def test_odd_case_names_give_ids_that_k_selects(pytester, keyword, selected):
    tcltest_file(pytester, "odd.test", ODD)
    xml = pytester.path / "junit.xml"
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "-v", "-k", keyword, f"--junitxml={xml}")
    names = [case.get("name") for case in ET.parse(xml).getroot().iter("testcase")]
    assert names == selected
    assert all(f"odd.test::{name}" in outcomes_by_id(result) for name in selected)
    # Only the selected cases ran: the second "twice" fails when it runs.
    assert ("FAILED" in outcomes_by_id(result).values()) == ("twice#2" in selected)


def test_cases_whose_words_hold_nul(pytester):
    # (binary.test and others: the `test` call's words hold NULs once Tcl
    # has substituted them.)
    tcltest_file(pytester, "nul.test", HEAD + 'test nul-1 {} {binary format a2 a} "a\\0"\n'
                 'test nul-2 {} {set a 1} "\\0"\n')
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "-v")
    assert outcomes_by_id(result) == {"nul.test::nul-1": "PASSED", "nul.test::nul-2": "FAILED"}


def test_a_node_id_runs_its_case_alone(pytester):
    tcltest_file(pytester, "odd.test", ODD)
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "-v", "odd.test::bracket[1]")
    assert outcomes_by_id(result) == {"odd.test::bracket[1]": "PASSED"}


def test_last_failed_reruns_the_failed_case_only(pytester):
    tcltest_file(pytester, "odd.test", ODD)
    pytester.runpytest("--tcltest").assert_outcomes(passed=5, failed=1)
    result = pytester.runpytest("--tcltest", "--lf", "-v")
    assert outcomes_by_id(result) == {"odd.test::twice#2": "FAILED"}


def test_x_stops_at_the_first_failing_case(pytester):
    tcltest_file(pytester, "a.test", HEAD + "test a-1 {} {set x 1} 2\ntest a-2 {} {set x 1} 1\n")
    tcltest_file(pytester, "b.test", HEAD + "test b-1 {} {set x 1} 1\n")
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "-x")
    result.assert_outcomes(failed=1)


@pytest.mark.parametrize(
    "text, message",
    [
        # A Tcl syntax error: the file does not parse.
        (HEAD + "test s-1 {} {set a 1} 1\nproc broken {} {\n", ["*missing close-brace*"]),
        # An error of the file's own set-up code, with Tcl's trace.
        (HEAD + "proc setup {} {error {no device}}\nsetup\ntest s-1 {} {} {}\n",
         ["*its set-up failed:", "no device", '*(procedure "setup" line 1)*']),
    ],
)
def test_a_broken_file_is_a_collection_error_and_the_others_run(pytester, text, message):
    tcltest_file(pytester, "broken.test", text)
    tcltest_file(pytester, "good.test", HEAD + "test g-1 {} {set a 1} 1\n")
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest")
    result.assert_outcomes(passed=1, errors=1)
    result.stdout.fnmatch_lines(["*ERROR collecting broken.test*", *message])
    assert result.ret == pytest.ExitCode.TESTS_FAILED


# File code that needs what its cases did: with the bodies skipped, `unset`
# fails, so collection runs the file for real.
NEEDS_ITS_CASES = HEAD + """\
set log [open runs.log a]; puts $log run; close $log
test n-1 {} {set v 1} 1
unset v
test n-2 {} {set v 2} 3
unset v
test n-3 {} {set w 3} 3
"""


@pytest.mark.parametrize(
    "args, outcomes",
    [([], dict(passed=2, failed=1)), (["-k", "n-3"], dict(passed=1, deselected=2))],
)
def test_a_file_whose_code_needs_its_cases_is_collected_by_running_it(pytester, args, outcomes):
    tcltest_file(pytester, "needs.test", NEEDS_ITS_CASES)
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "-v", *args)
    result.assert_outcomes(**outcomes)
    if not args:
        result.stdout.fnmatch_lines(["*needs.test::n-2 FAILED*", "*Result was:", "2", "*Result should have been*"])
    # Once with its cases skipped, once for real (every case: the file
    # needs them), which the items report.
    assert (pytester.path / "runs.log").read_text() == "run\n" * 2


@pytest.mark.timeout(60)
def test_set_up_that_hangs_is_a_collection_error_at_the_time_limit(pytester):
    # (Not run again for real, as a failing set-up is: that run's limit for
    # the file's own code is a thousand cases'.)
    tcltest_file(pytester, "hangs.test", HEAD + "test h-1 {} {set a 1} 1\nvwait forever\n")
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "--tcl-timeout", "0.5")
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines(["*its set-up failed:", "*the file's own code ran longer than its limit of 0.5 s*"])


def test_a_file_without_cases_collects_nothing_and_says_so(pytester):
    tcltest_file(pytester, "plain.test", "set a 1\nproc p {} {}\n")
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "-v")
    assert result.ret == pytest.ExitCode.NO_TESTS_COLLECTED
    result.stdout.fnmatch_lines(["*plain.test: no tcltest cases (no `test` call), nothing collected"])


@pytest.mark.parametrize(
    "ending, errors",
    [
        ("exit", 0),
        ("exit 0", 0),
        ("cleanupTests; exit", 0),
        ("exit 3", 1),
        # (Only when the cases have run: at collection it would be an error
        # of the set-up.)
        ("if {$::tcltest::numTests(Total)} {error {after the cases}}", 1),
    ],
)
def test_how_a_file_ends(pytester, ending, errors):
    tcltest_file(pytester, "ends.test", HEAD + f"test e-1 {{}} {{set a 1}} 1\ntest e-2 {{}} {{set a 2}} 2\n{ending}\n")
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest")
    result.assert_outcomes(passed=2, errors=errors)
    if errors:
        expected = "the file exited with status 3" if "exit" in ending else "after the cases"
        result.stdout.fnmatch_lines(["*ERROR at teardown of e-2 in ends.test*", f"*{expected}*"])


def test_cases_after_a_stop_are_not_run(pytester):
    tcltest_file(pytester, "stop.test", HEAD + "test s-1 {} {set a 1} 1\nif {$::tcltest::numTests(Total)} {exit 2}\n"
                 "test s-2 {} {set a 1} 1\n")
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest")
    result.assert_outcomes(passed=1, failed=1, errors=1)
    result.stdout.fnmatch_lines(["*not run: the file stopped before it (the file exited with status 2)*"])


def test_a_hanging_case_fails_at_the_time_limit_and_the_file_goes_on(pytester):
    tcltest_file(pytester, "hang.test", HEAD + "test h-1 {loops} {while 1 {}} 1\ntest h-2 {waits} {vwait forever} 1\n"
                 "test h-3 {} {set a 1} 1\n")
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "--tcl-timeout", "0.5", "-v")
    assert outcomes_by_id(result) == {
        "hang.test::h-1": "FAILED",
        "hang.test::h-2": "FAILED",
        "hang.test::h-3": "PASSED",
    }
    result.stdout.fnmatch_lines(["*the case's body ran longer than its limit of 0.5 s (--tcl-timeout)*"])


@pytest.mark.parametrize("option", [["--tcl-timeout", "0"], ["--tcl-timeout", "soon"], ["-o", "tcl_timeout=-1"]])
def test_a_bad_time_limit_is_a_usage_error(pytester, option):
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", *option)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines(["*expected a time limit in seconds (more than 0)*"])


def test_a_file_runs_from_its_folder_and_leaves_nothing_behind(pytester):
    (pytester.path / "one").mkdir()
    (pytester.path / "two").mkdir()
    tcltest_file(pytester, "one/a.test", HEAD + r"""
        test a-1 {its folder} {file tail [pwd]} one
        test a-2 {its script} {file tail [info script]} a.test
        test a-3 {argv0} {file tail $argv0} a.test
        cd /
        set env(TARVO_SAMPLE) leaked
        lappend auto_path /leaked
        """)
    tcltest_file(pytester, "two/b.test", HEAD + r"""
        test b-1 {its folder} {file tail [pwd]} two
        test b-2 {env} {info exists env(TARVO_SAMPLE)} 0
        test b-3 {auto_path} {expr {"/leaked" in $auto_path}} 0
        """)
    pytester.makepyfile(test_z=f"""
        import os, subprocess

        def test_after():
            assert os.getcwd() == {str(pytester.path)!r}
            assert "TARVO_SAMPLE" not in subprocess.run(["env"], capture_output=True, text=True).stdout
        """)
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "one", "two", "test_z.py")
    result.assert_outcomes(passed=7)


def test_a_file_runs_once_and_its_cases_stay_in_one_worker(pytester):
    log = pytester.path / "runs.log"
    for name in "abc":
        cases = "".join(f"test {name}-{n} {{}} {{puts $log [list {name} [pid]]; set a 1}} 1\n" for n in range(6))
        tcltest_file(pytester, f"{name}.test", HEAD + f"set log [open {log} a]\nfconfigure $log -buffering line\n{cases}")
    pytester.makepyfile(test_py="import pytest\n@pytest.mark.parametrize('n', range(6))\ndef test_py(n): pass\n")
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "-n", "2")
    result.assert_outcomes(passed=24)
    runs = [line.split() for line in log.read_text().splitlines()]
    assert len(runs) == 18  # each case once
    for name in "abc":
        assert len({pid for file, pid in runs if file == name}) == 1


def test_loadgroup_marks_the_cases_of_a_file(pytester):
    for name in "ab":
        cases = "".join(f"test {name}-{n} {{}} {{pid}} [pid]\n" for n in range(4))
        tcltest_file(pytester, f"{name}.test", HEAD + cases)
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "-n", "2", "--dist", "loadgroup")
    result.assert_outcomes(passed=8)


def test_the_fixtures_take_the_time_limit(pytester):
    pytester.makepyfile(
        """
        import pytest
        from tarvo.tcl.interpreter import TclTimeoutError

        def test_it(tcl):
            assert tcl.timeout == 0.5
            with pytest.raises(TclTimeoutError):
                tcl.eval("while 1 {}")
        """
    )
    pytester.runpytest("-p", "no:cacheprovider", "--tcl-timeout", "0.5").assert_outcomes(passed=1)


def test_without_the_flag_test_files_are_not_collected(pytester):
    tcltest_file(pytester, "sample.test", SAMPLE)
    result = pytester.runpytest("-p", "no:cacheprovider", "sample.test")
    assert result.ret in (pytest.ExitCode.NO_TESTS_COLLECTED, pytest.ExitCode.USAGE_ERROR)


def test_run_file_gives_tcltests_own_counts(tmp_path):
    from tarvo.tcl.tcltest_files import run_file

    path = tmp_path / "sample.test"
    path.write_text(SAMPLE)
    run = run_file(path)
    assert run.counts == (6, 3, 2, 1)
    assert [case.outcome for case in run.cases] == ["passed", "failed", "skipped", "passed", "passed", "skipped"]
    assert not run.failed and run.ending() == "the file ran to its end"
    assert os.getcwd() != str(tmp_path)


def test_a_failing_file_gives_the_trace_tclsh_gives(tmp_path):
    # Its main script, not a `source`d file: the trace ends at the file's line.
    from tarvo.tcl.tcltest_files import run_file

    path = tmp_path / "broken.test"
    path.write_text("package require tcltest\nproc setup {} {error {no device}}\n\nsetup\n")
    run = run_file(path)
    assert run.error.endswith(
        'no device\n    while executing\n"error {no device}"\n    (procedure "setup" line 1)\n'
        f'    invoked from within\n"setup"\n    (file "{path}" line 4)'
    )


def test_cases_run_by_a_child_interpreter_are_items_too(pytester):
    # As Tcl's init.test and package.test: tcltest loaded into a child, whose
    # cases run there and report to the file's own tcltest.  A name the
    # parent used too gets #2.
    tcltest_file(pytester, "child.test", HEAD + r"""
        test same-1.0 {in the file's interpreter} {set x 1} 1
        set i [interp create]
        tcltest::loadIntoChildInterpreter $i
        interp eval $i {
            namespace import -force ::tcltest::*
            test child-1.1 {passes} {expr {6 * 7}} 42
            test child-1.2 {fails} -body {expr {6 * 7}} -result 41
            test child-1.3 {skipped} -constraints never -body {expr 1} -result 1
            test same-1.0 {in the child} {set y 2} 2
            cleanupTests
        }
        interp delete $i
        cleanupTests
    """)
    result = pytester.runpytest("-p", "no:cacheprovider", "--tcltest", "-v", "-rs", "-k", "not child-1.1")
    result.assert_outcomes(passed=2, failed=1, skipped=1, deselected=1)
    assert outcomes_by_id(result) == {
        "child.test::same-1.0": "PASSED",
        "child.test::child-1.2": "FAILED",
        "child.test::child-1.3": "SKIPPED",
        "child.test::same-1.0#2": "PASSED",
    }
    out = result.stdout.str()
    report = out[out.index("_ child-1.2 in child.test _"):]
    assert "---- Result was:\n42\n---- Result should have been (exact matching):\n41" in report
    assert "SKIPPED [1] child.test:11: tcltest constraints not met: never" in out
