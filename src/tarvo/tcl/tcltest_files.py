"""Tcl test files (tcltest) as pytest items: one item per `test` case.

How a file is collected and run:

- Collection runs the file once in a fresh interpreter with every case
  skipped before its set-up: the file's own code runs (its procs, its
  constraints, its `makeFile`s), the cases' bodies do not, and each `test`
  call made at the top level leaves its name.  A name used twice becomes
  ``name#2`` for its second case, and so on.  Cases that a child
  interpreter runs, given tcltest by ``tcltest::loadIntoChildInterpreter``,
  are the file's too.  Where the file's own code fails without its cases
  (it unsets a variable that a body sets), collection runs the file for
  real instead, every case, and its items report that run.
- When the first case of a file comes up, the file runs for real, once, in
  another fresh interpreter, with every case that pytest kept (``-k``,
  ``--lf``, ...) and no other; each case's outcome, skip reason and tcltest
  report are recorded as it ends, and each item then reports its own.

Both runs are as tclsh's: from the file's folder, ``argv0`` the file,
``argv`` the tcltest options that pytest was given, ``exit`` ending the file
with its status.  The working folder, and ``env``, are restored after each;
each run has an interpreter of its own, closed after it, so ``auto_path`` and
everything else a file sets stays with it.

The outcome of a case is read from tcltest's own counters around its `test`
call (execution traces, which leave the case's frames as they are), its
report from tcltest's output channel, which a channel of ours replaces.  With
a time limit, case bodies run through tcltest's ``EvalTest`` hook, in an
`eval` of their own with that limit.
"""
from __future__ import annotations

import datetime

import os
import re
import sys
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, NoReturn, Optional, Sequence, Tuple

import pytest

from tarvo.utils.utils import shown

if TYPE_CHECKING:
    from .interpreter import Interpreter

__all__ = ["TclTestFile", "TclTestCase", "TclTestError", "CaseOutcome", "FileRun", "run_file", "case_ids", "scheduler"]

# The hooks that take each case's outcome, in the ::tcltest namespace of an
# interpreter that runs cases: the file's, and each child interpreter that
# the file gives tcltest with tcltest::loadIntoChildInterpreter (as Tcl's
# own init.test and package.test do).  They keep their notes with the
# file's interpreter, through TarvoBegin and TarvoEnd.
_HOOKS = r"""
namespace eval ::tcltest {
    variable TarvoCurrent {}
    variable TarvoBefore {}
    variable TarvoReason {}
    variable TarvoStart 0

    proc TarvoEnter {command op} {
        variable testLevel
        if {$testLevel != 0} return
        variable TarvoCurrent
        variable TarvoBefore
        variable TarvoReason {}
        variable TarvoStart [clock microseconds]
        variable numTests
        set TarvoCurrent [TarvoBegin [lindex $command 1]]
        set TarvoBefore [list $numTests(Passed) $numTests(Skipped) $numTests(Failed)]
    }

    proc TarvoLeave {command code result op} {
        variable testLevel
        variable TarvoCurrent
        if {$testLevel != 0 || $TarvoCurrent eq {}} return
        variable TarvoBefore
        variable TarvoReason
        variable TarvoStart
        variable numTests
        lassign $TarvoBefore passed skipped failed
        if {$numTests(Failed) > $failed} {
            set outcome failed
        } elseif {$numTests(Skipped) > $skipped} {
            set outcome skipped
        } elseif {$numTests(Passed) > $passed} {
            set outcome passed
        } elseif {$code == 1} {
            set outcome error
            set TarvoReason $::errorInfo
        } else {
            set outcome none
        }
        TarvoEnd $TarvoCurrent $outcome $TarvoReason $command $TarvoStart
        set TarvoCurrent {}
    }
    trace add execution [namespace current]::test enter [namespace current]::TarvoEnter
    trace add execution [namespace current]::test leave [namespace current]::TarvoLeave

    # Collecting: no case runs.  Running: only those pytest kept.
    rename Skipped TarvoSkipped
    proc Skipped {name constraints} {
        variable TarvoCollect
        variable TarvoOnly
        variable TarvoCurrent
        variable testLevel
        if {$TarvoCollect} {return 1}
        if {$testLevel == 1 && $TarvoOnly ne {} && ![dict exists $TarvoOnly $TarvoCurrent]} {
            return 1
        }
        tailcall [namespace current]::TarvoSkipped $name $constraints
    }
    if {[info procs _noticeSkipped] ne {}} {
        rename _noticeSkipped TarvoNoticeSkipped
        proc _noticeSkipped {name reason} {
            variable testLevel
            if {$testLevel == 1} {
                # From Skipped: the constraint not met; from test: the body
                # called tcltest::Skip.
                if {[string match *Skipped [lindex [info level -1] 0]]} {
                    variable TarvoReason [list constraints $reason]
                } else {
                    variable TarvoReason [list body $reason]
                }
            }
            tailcall [namespace current]::TarvoNoticeSkipped $name $reason
        }
    }
    # tcltest's report of each case: collected by the file's interpreter,
    # not written on stdout.
    variable TarvoChan [chan create write [namespace current]::TarvoChannel]
    fconfigure $TarvoChan -buffering none -translation lf -encoding utf-8
    # (Reading an option parses the command line first, as tcltest's own
    # [outputChannel] does; given a name, that one would open a file.)
    debug
    variable outputChannel $TarvoChan
}
"""

# Set up in the file's interpreter before the file runs.  Everything of ours
# lives in ::tcltest (names starting with Tarvo), so that the file sees the
# namespaces and globals it would see under tclsh.
_PRELUDE = r"""
package require tcltest 2
namespace eval ::tcltest {
    variable TarvoCollect
    variable TarvoOnly
    variable TarvoSeen {}
    variable TarvoOut {}
    variable TarvoLoose {}
    variable TarvoCases {}

    proc TarvoChannel {cmd chan args} {
        variable TarvoOut
        switch -- $cmd {
            initialize {return {initialize finalize watch write}}
            write {
                append TarvoOut [lindex $args 0]
                return [string length [lindex $args 0]]
            }
        }
    }

    # A case begins: its id (a name used before gets #2, #3, ...); what was
    # written before it is the file's own.
    proc TarvoBegin {name} {
        variable TarvoSeen
        variable TarvoOut
        variable TarvoLoose
        dict incr TarvoSeen $name
        set n [dict get $TarvoSeen $name]
        append TarvoLoose $TarvoOut
        set TarvoOut {}
        return [expr {$n == 1 ? $name : "$name#$n"}]
    }

    # A case ends, with what it wrote as its report.
    proc TarvoEnd {id outcome reason command start} {
        variable TarvoOut
        variable TarvoCases
        lappend TarvoCases [list $id $outcome $reason [encoding convertfrom utf-8 $TarvoOut] $command $start]
        set TarvoOut {}
    }

    # A child interpreter that runs cases takes its notes here too (a
    # tcltest older than 2.3 has no loadIntoChildInterpreter).
    if {[info procs loadIntoChildInterpreter] ne {}} {
        rename loadIntoChildInterpreter TarvoLoadIntoChild
        proc loadIntoChildInterpreter {child args} {
            TarvoLoadIntoChild $child {*}$args
            variable TarvoCollect
            variable TarvoOnly
            foreach name {TarvoChannel TarvoBegin TarvoEnd} {
                interp alias $child ::tcltest::$name {} ::tcltest::$name
            }
            interp eval $child [list namespace eval ::tcltest [list variable TarvoCollect $TarvoCollect]]
            interp eval $child [list namespace eval ::tcltest [list variable TarvoOnly $TarvoOnly]]
            interp eval $child [set ::tcltest::TarvoHooks]
        }
    }
}
"""

# What the file's own `package require tcltest` and import would do: a file
# that finds ::tcltest there already (Tcl's own do) skips both.
_IMPORT = "namespace import ::tcltest::*"

# With a time limit: each body runs in an eval of its own, which the
# limit ends (the hook is tcltest's own; the body keeps its frame).
_TIMED_BODIES = r"""
proc ::tcltest::EvalTest {script} {
    variable TarvoScript $script
    set code [TarvoBody]
    variable TarvoOptions
    variable TarvoResult
    if {$code == 1} {
        return -options $TarvoOptions $TarvoResult
    }
    return -code $code $TarvoResult
}
"""
_BODY = "::uplevel 1 {::catch $::tcltest::TarvoScript ::tcltest::TarvoResult ::tcltest::TarvoOptions}"

_SUMMARY = re.compile(r"^\S.*:\tTotal\t(\d+)\tPassed\t(\d+)\tSkipped\t(\d+)\tFailed\t(\d+)$", re.M)


@dataclass
class CaseOutcome:
    """What one case did: `outcome` is passed, skipped, failed, error (its
    `test` call itself failed) or none (tcltest did not count it).  A skip
    comes from `constraints` not met (`reason` names them), the `body`
    (tcltest::Skip; `reason` is its text), or tcltest's -match or -skip
    (`skip` is empty)."""

    id: str
    outcome: str
    reason: str
    report: str
    command: str
    start: float  # seconds since the epoch
    skip: str = ""


@dataclass
class FileRun:
    """One run of a file: its cases in the order they ended, what it wrote
    outside of them (tcltest's summary, ...), tcltest's own counts (Total,
    Passed, Skipped, Failed; None without a summary), how it ended: `status`
    is the exit status it gave (None: it ran to its end), `error` the trace
    of the error that stopped it, `timed_out` whether that was its time
    limit."""

    cases: List[CaseOutcome] = field(default_factory=list)
    loose: str = ""
    counts: Optional[Tuple[int, int, int, int]] = None
    status: Optional[int] = None
    error: Optional[str] = None
    timed_out: bool = False

    @property
    def failed(self) -> bool:
        """The file did not end normally: an error, or a non-zero exit."""
        return self.error is not None or bool(self.status)

    def ending(self) -> str:
        if self.error is not None:
            return self.error
        if self.status:
            return f"the file exited with status {self.status}"
        return "the file ran to its end"


def _exit_command(*args: str) -> str:
    """Tcl's `exit`, which tkinter takes away: SystemExit ends the whole
    evaluation, and no `catch` of the file keeps it."""
    if len(args) > 1:
        raise ValueError('wrong # args: should be "exit ?returnCode?"')
    status = 0
    if args:
        try:
            status = int(args[0], 0)
        except ValueError:
            raise ValueError(f'expected integer but got "{args[0]}"') from None
    raise SystemExit(status)


def _tcl_list(words: Iterable[str]) -> str:
    from .quoten import quoten

    return str(quoten(list(words)))


def run_file(
    path: os.PathLike[str] | str,
    argv: Sequence[str] = (),
    *,
    collect: bool = False,
    only: Optional[Iterable[str]] = None,
    timeout: Optional[float] = None,
    interpreter: Optional[str] = None,
) -> FileRun:
    """Runs the tcltest file `path` as tclsh would, in a fresh interpreter
    from the file's folder, with `argv` (tcltest's options) as its
    arguments.  `collect`: run the file's own code only, no case.  `only`:
    the case ids to run (None: all).  `timeout`: the time limit of each case
    body, in seconds, and of the file's own code outside them (a case per
    limit).  `interpreter`: tcltest's ``interpreter``, the program its
    child processes run.  Working folder and ``env`` are restored after."""
    from .interpreter import Interpreter, TclTimeoutError

    path = os.path.abspath(os.fspath(path))
    only = None if only is None else list(only)
    folder = os.path.dirname(path)
    here = os.getcwd()
    run = FileRun()
    tcl = Interpreter()
    try:
        # tclsh's globals for the script FILE ARGS...
        tcl.tk.call("set", "::argv0", path)
        tcl.tk.call("set", "::argv", _tcl_list(argv))
        tcl.tk.call("set", "::argc", len(argv))
        tcl.tk.call("set", "::tcl_interactive", 0)
        saved_env = tcl.tk.call("array", "get", "::env")
        tcl.create_callback(_exit_command, cmd_name="exit")
        os.chdir(folder)
        try:
            tcl.tk.call("info", "script", path)
            tcl.eval(_PRELUDE, record=False)
            tcl.tk.call("set", "::tcltest::TarvoCollect", int(collect))
            tcl.tk.call("set", "::tcltest::TarvoOnly", "" if only is None else _tcl_list(_only(only)))
            tcl.tk.call("set", "::tcltest::TarvoHooks", _HOOKS)
            tcl.eval(_HOOKS, record=False)
            tcl.eval(_IMPORT, record=False)
            tcl.tk.call("info", "script", "")
            if interpreter:
                tcl.tk.call("::tcltest::interpreter", interpreter)
            limit = None
            if timeout is not None:
                limit = timeout * (1 + (0 if collect else _count(only)))
                if not collect:
                    _time_bodies(tcl, timeout)
            try:
                # As tclsh evaluates its main script: Tcl's own file
                # evaluation, with no script around it whose frame `info
                # frame` would count, nor a `source` in the error trace.
                tcl._eval_file(path, timeout=limit)
            except SystemExit as stop:
                run.status = stop.code if isinstance(stop.code, int) else (0 if stop.code is None else 1)
            except TclTimeoutError as error:
                run.error = f"the file's own code ran longer than its limit of {limit:g} s\n" + _trace(error)
                run.timed_out = True
            except _tcl_error_type() as error:
                run.error = _trace(error)
            _read_cases(tcl, run)
        finally:
            os.chdir(here)
            _restore_env(tcl, saved_env)
    finally:
        tcl.close()
    return run


def _tcl_error_type() -> type[Exception]:
    import tkinter

    return tkinter.TclError


def _trace(error: BaseException) -> str:
    return str(getattr(error, "errorinfo", None) or error)


def _only(ids: Iterable[str]) -> List[str]:
    words: List[str] = []
    for case in ids:
        words += [case, "1"]
    return words


def _count(only: Optional[Iterable[str]]) -> int:
    if only is None:
        return 1000
    return len(list(only))


def _time_bodies(tcl: Interpreter, timeout: float) -> None:
    from .interpreter import TclTimeoutError

    def body() -> str:
        try:
            return str(tcl.eval(_BODY, record=False, timeout=timeout))
        except TclTimeoutError:
            raise TimeoutError(f"the case's body ran longer than its limit of {timeout:g} s (--tcl-timeout)") from None

    tcl.create_callback(body, cmd_name="::tcltest::TarvoBody")
    tcl.eval(_TIMED_BODIES, record=False)


def _read_cases(tcl: Interpreter, run: FileRun) -> None:
    # (Tcl's own list parser: a case's text may hold NULs, which tkinter's
    # splitlist refuses.)
    from . import cast_list

    for record in cast_list(str(tcl.eval("set ::tcltest::TarvoCases", record=False))):
        case, outcome, reason, report, command, start = cast_list(record)
        skip = ""
        if outcome == "skipped" and reason:
            skip, reason = cast_list(reason)
        run.cases.append(CaseOutcome(case, outcome, reason, report, command, int(start) / 1e6, skip))
    run.loose = str(tcl.eval("encoding convertfrom utf-8 $::tcltest::TarvoLoose$::tcltest::TarvoOut", record=False))
    found = _SUMMARY.findall(run.loose)
    if found:
        total, passed, skipped, failed = (int(n) for n in found[-1])
        run.counts = (total, passed, skipped, failed)


def _restore_env(tcl: Interpreter, saved: Any) -> None:
    """Puts ``env`` back as it was (Tcl writes the process's environment)."""
    try:
        tcl.tk.call(
            "apply",
            "{saved} {"
            " foreach name [array names ::env] {if {![dict exists $saved $name]} {unset ::env($name)}};"
            " dict for {name value} $saved {"
            "  if {![info exists ::env($name)] || $::env($name) ne $value} {set ::env($name) $value}}}",
            saved,
        )
    except _tcl_error_type():
        pass


def case_ids(run: FileRun) -> List[str]:
    """The ids of the cases a collecting run saw, each once, in order."""
    seen: Dict[str, None] = {}
    for case in run.cases:
        seen.setdefault(case.id, None)
    return list(seen)


_CONTROL = re.compile(r"[\x00-\x1f\x7f]")


def _item_name(case: str) -> str:
    """A case's id as an item's name: control characters written as
    escapes, so that the node id stays one line."""
    return _CONTROL.sub(lambda m: repr(m.group())[1:-1], case)


class TclTestError(Exception):
    """A case that failed, or a file that could not be collected or ended
    badly: its text is Tcl's own report."""


@dataclass
class _Call:
    """One entry of a case's "Tcl history": its `test` call."""

    start: float
    text: str

    # Read as the history's entries are read.
    @property
    def timestamp(self) -> datetime.datetime:
        return datetime.datetime.fromtimestamp(self.start)

    @property
    def script(self) -> str:
        return self.text

    def __str__(self) -> str:
        return f"{self.timestamp.strftime('%Y-%m-%dT%H:%M:%S.%f')}: {self.text}"


class _CaseCalls:
    __slots__ = ("label", "entries")

    def __init__(self, label: str, entries: List[_Call]) -> None:
        self.label = label
        self.entries = entries

    def calls(self) -> List[_Call]:
        return self.entries


class TclTestFile(pytest.File):
    """A tcltest file: its cases are its items."""

    run: Optional[FileRun] = None
    collected: Optional[FileRun] = None  # a run made for real at collection, kept for the items
    ids: List[str] = []
    outcomes: Dict[str, CaseOutcome] = {}

    def _options(self) -> Dict[str, Any]:
        from .pytest_plugin import tcltest_settings

        return tcltest_settings(self.config)

    def _run(self, **how: Any) -> FileRun:
        """run_file on this file with pytest's tcltest options and `how`."""
        options = self._options()
        return run_file(
            self.path, options["argv"], timeout=options["timeout"], interpreter=options["interpreter"], **how
        )

    def collect(self) -> Iterator[pytest.Item]:
        found = self._run(collect=True)
        if found.error is not None:
            # The file's own code may need what its cases do (a variable a
            # body sets, which the code after the case unsets): then only a
            # run for real, of every case, tells its cases, and the items
            # take their outcomes from it.  Set-up that fails there too is
            # the file's error (an exit status says nothing here), as is
            # set-up that outlasts its limit, not to be waited for again.
            if not found.timed_out:
                found = self._run()
            if found.error is not None:
                from .pytest_plugin import note_broken

                note_broken(self.config)
                raise TclTestError(f"{self.path.name}: its set-up failed:\n{found.ending()}")
            self.collected = found
        ids = self.ids = case_ids(found)
        if not ids:
            from .pytest_plugin import note_empty

            note_empty(self.config, self.path)
            return
        group = pytest.mark.xdist_group(str(self.path)) if self.config.getvalue("dist") == "loadgroup" else None
        lines = _lines(self.path, ids)
        for case in ids:
            item = TclTestCase.from_parent(self, name=_item_name(case), case=case, line=lines.get(case, 0))
            if group is not None:
                item.add_marker(group)
            yield item

    def repr_failure(self, excinfo: pytest.ExceptionInfo[BaseException]) -> Any:  # type: ignore[override]
        if isinstance(excinfo.value, TclTestError):
            return str(excinfo.value)
        return super().repr_failure(excinfo)

    def setup(self) -> None:
        if self.collected is not None:  # (the cases pytest did not keep ran too: the file needs them)
            self.run = self.collected
        else:
            kept = _kept(self.session).get(self.nodeid, [])
            self.run = self._run(only=None if kept == self.ids else kept)
        self.collected = None
        self.outcomes = {case.id: case for case in self.run.cases}
        known = set(self.ids)
        strays = [case for case in self.run.cases if case.id not in known]
        self.addfinalizer(lambda: self._finish(strays))
        # What tcltest wrote outside of the cases (its summary): in the
        # first case's captured output.
        sys.stdout.write(self.run.loose)

    def _finish(self, strays: List[CaseOutcome]) -> None:
        run = self.run
        self.run = None
        if run is None:
            return
        problems = []
        if run.failed:
            problems.append(f"{self.path.name}: {run.ending()}")
        bad = [case for case in strays if case.outcome in ("failed", "error")]
        if bad:
            problems.append(
                f"{self.path.name}: cases that ran but were not collected failed:\n"
                + "\n".join(case.report or case.reason for case in bad)
            )
        if problems:
            pytest.fail("\n".join(problems), pytrace=False)


class TclTestCase(pytest.Item):
    """One `test` case of a tcltest file."""

    def __init__(self, *, case: str, line: int = 0, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.case = case
        self.line = line  # of its `test` call, from 0

    def runtest(self) -> None:
        parent = self.parent
        assert isinstance(parent, TclTestFile)
        run = parent.run
        assert run is not None, "the file has not run"
        outcome = parent.outcomes.get(self.case)
        if outcome is None:
            if run.failed:
                pytest.fail(f"not run: the file stopped before it ({_first_line(run.ending())})", pytrace=False)
            pytest.skip("its `test` call was not reached in this run of the file")
        from .pytest_plugin import watch_case

        watch_case(self, _CaseCalls("tcltest", [_Call(outcome.start, shown(outcome.command))]))
        if outcome.outcome == "passed":
            sys.stdout.write(outcome.report)
            return
        if outcome.outcome == "skipped":
            sys.stdout.write(outcome.report)
            if outcome.skip == "constraints":
                _skip(f"tcltest constraints not met: {outcome.reason}")
            if outcome.skip == "body":
                _skip(f"skipped by its body: {outcome.reason}")
            _skip("not selected by tcltest's -match, -skip or -limitconstraints")
        if outcome.outcome == "failed":
            pytest.fail(outcome.report.strip("\n"), pytrace=False)
        if outcome.outcome == "error":
            pytest.fail(f"its `test` call failed:\n{outcome.reason}", pytrace=False)
        pytest.skip("tcltest did not count this case")

    def reportinfo(self) -> Tuple[Any, Optional[int], str]:
        # (Not the node id's tail, which pytest would show with its dots
        # as "::".)
        return self.path, self.line, f"{self.name} in {self.path.name}"


_TEST_CALL = re.compile(r"^[ \t]*(?:::)?(?:tcltest::)?test[ \t]+(\{[^}\n]*\}|\"[^\"\n]*\"|[^\s]+)", re.M)


def _lines(path: Any, ids: List[str]) -> Dict[str, int]:
    """Where each case's `test` call is, as far as the text tells (a name's
    n-th case at the n-th line that starts a `test` call with that name),
    counted from 0; a name the text does not spell out has none."""
    try:
        text = path.read_text(encoding="utf-8", errors="replace")
    except OSError:
        return {}
    calls: Dict[str, List[int]] = {}
    for match in _TEST_CALL.finditer(text):
        word = match.group(1)
        name = word[1:-1] if word[:1] in "{\"" and len(word) > 1 else word
        calls.setdefault(name, []).append(match.start())
    lines: Dict[str, int] = {}
    taken: Dict[str, int] = {}
    for case in ids:
        name = case
        if case not in calls and re.search(r"#\d+$", case):
            name = case.rpartition("#")[0]
        n = taken.get(name, 0)
        if n < len(calls.get(name, ())):
            lines[case] = text.count("\n", 0, calls[name][n])
        taken[name] = n + 1
    return lines


def _skip(reason: str) -> NoReturn:
    # (Reported at the case, not at this line.)
    raise pytest.skip.Exception(reason, _use_item_location=True)


_kept_key = pytest.StashKey[Dict[str, List[str]]]()


def _kept(session: pytest.Session) -> Dict[str, List[str]]:
    """The cases that this session runs, by their file's node id."""
    kept = session.stash.get(_kept_key, None)
    if kept is None:
        kept = {}
        for item in session.items:
            if isinstance(item, TclTestCase):
                kept.setdefault(item.parent.nodeid if item.parent else "", []).append(item.case)
        session.stash[_kept_key] = kept
    return kept


def _first_line(text: str) -> str:
    return text.split("\n", 1)[0]


def scheduler(config: pytest.Config, log: Any, patterns: List[str]) -> Any:
    """pytest-xdist's scheduling by scope, where the scope of a case of a Tcl
    test file is its file, and that of any other test the test itself (as
    ``--dist load`` has it)."""
    import fnmatch

    from xdist.scheduler import LoadScopeScheduling  # type: ignore[import-untyped]

    class FileScheduling(LoadScopeScheduling):  # type: ignore[misc]
        def _split_scope(self, nodeid: str) -> str:
            file, sep, _ = nodeid.partition("::")
            if sep and any(fnmatch.fnmatchcase(os.path.basename(file), pattern) for pattern in patterns):
                return file
            return nodeid

    return FileScheduling(config, log)
