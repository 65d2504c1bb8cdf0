"""pytest fixtures that drive Tcl, and the Tcl history of a failing test.

Installed with the package, pytest loads this plugin by itself (entry point
``tarvo.tcl`` of the group ``pytest11``); ``-p no:tarvo.tcl`` turns it off.

Fixtures:

``tcl``
    A fresh :class:`~tarvo.tcl.interpreter.Interpreter` for the test, torn
    down after it.
``tcl_session``
    One interpreter for the whole session (each worker of pytest-xdist has
    its own): starting one costs about 20 ms, most of it TclX.
``tcl_factory``
    A function that makes a fresh interpreter on every call, for a test that
    drives several; all are torn down after the test.
``tcl_spawn``
    A function that spawns a program through Expect in the test's ``tcl``
    interpreter and returns its :class:`~tarvo.tcl.expect.Session`; every
    session is closed and its program reaped after the test.

A test that fails while it uses any of them gets a report section "Tcl
history": the Tcl calls that the test made through these interpreters
(``eval`` and quick calls, the test's own only, also with ``tcl_session``),
oldest first and with their timestamps, and the trace of the Tcl error that
the failure came through, if any; an entry or a trace longer than 2,000
characters is cut there, with the number of characters left out.  ``--tcl-history=N`` (or the ini option
``tcl_history``) shows the last N calls of each interpreter, 20 by default;
0 turns the section off.  The section is part of the failure's report, so it
reaches the terminal, JUnit XML (``--junitxml``), pytest-html and the
controller of pytest-xdist.

Beside it, the section "Device transcript" shows, for every program
spawned through Expect in these interpreters, the last lines of the
conversation: what was sent (``>``), what an ``expect`` took (``<``) and
what Expect had read from the program that no ``expect`` took (``?``),
each with its time, control characters escaped and a Secret sent by a
quick call as ``****``.  ``--tcl-transcript=N`` (or the ini option ``tcl_transcript``)
keeps the last N lines of each program, 50 by default; 0 turns it off.

Tearing an interpreter down closes it (``Interpreter.close()``): its Tcl
channels are flushed and closed (files written, server sockets' ports free),
its callbacks removed, and the programs it spawned through Expect closed and
reaped, before the next test starts.  The interpreter is of no use after that.

``--tcl-timeout=SECONDS`` (or the ini option ``tcl_timeout``) is the time
limit of every eval and quick call of these interpreters, as their
``timeout``: a call that runs longer raises TclTimeoutError.

Tcl test files: ``--tcltest`` collects the files named ``*.test`` (the ini
option ``tcltest_patterns`` names others, and collects them without the
flag); each `test` case of a tcltest file is an item of its own,
``path/file.test::case-name`` (see tarvo.tcl.tcltest_files).  tcltest's
options come from ``--tcltest-verbose``, ``--tcltest-constraints``,
``--tcltest-match``, ``--tcltest-skip``, ``--tcltest-tmpdir`` and
``--tcltest-interpreter`` (or the ini options of the same names with
underscores); ``--tcl-timeout`` limits each case's body.  Under pytest-xdist
the cases of one file run in one worker: with ``--dist load`` (what ``-n``
means by itself) this plugin schedules them so, with ``--dist loadgroup``
they are marked ``xdist_group``, and ``loadscope`` and ``loadfile`` keep a
file together by themselves.

A test that uses none of these fixtures costs next to nothing: this module
starts no Tcl and imports neither tkinter nor the interpreter until a fixture
is set up or a Tcl test file is collected.
"""
from __future__ import annotations

import argparse
import collections
import datetime
import fnmatch
import itertools
import math
import os
import shutil
import sys
from typing import TYPE_CHECKING, Any, Callable, Deque, Dict, Generator, Iterator, List, Optional, Sequence

import pytest

from tarvo.utils.utils import shown

if TYPE_CHECKING:
    from .expect import Session
    from .history import Entry, History
    from .interpreter import Interpreter

__all__ = [
    "tcl", "tcl_session", "tcl_factory", "tcl_spawn",
    "SECTION", "DEFAULT_HISTORY", "TRANSCRIPT_SECTION", "DEFAULT_TRANSCRIPT",
]

SECTION = "Tcl history"
DEFAULT_HISTORY = 20

_INI = "tcl_history"


class _Watch:
    """One interpreter whose calls a test's report may show: the calls
    recorded in its history after `start` (all of them when `start` is None
    or no longer there: the history was new, or cleared since; none when
    the history is not shown), and its transcript from `marks` on."""

    __slots__ = ("label", "history", "start", "transcript", "marks")

    def __init__(
        self,
        label: str,
        history: Optional[History],
        start: Optional[Entry],
        transcript: Optional[_Transcript] = None,
        marks: Optional[Dict[int, int]] = None,
    ) -> None:
        self.label = label
        self.history = history  # not the interpreter: that one may go before the report
        self.start = start
        self.transcript = transcript
        self.marks = marks or {}

    def calls(self) -> List[Entry]:
        calls: List[Entry] = []
        if self.history is None:
            return calls
        for entry in reversed(self.history.__history__):
            if entry is self.start:
                break
            calls.append(entry)
        calls.reverse()
        return calls


# -- device transcripts --------------------------------------------------------

TRANSCRIPT_SECTION = "Device transcript"
DEFAULT_TRANSCRIPT = 50

_TRANSCRIPT_INI = "tcl_transcript"
_LINE_LIMIT = 2000  # characters of one transcript line kept; the rest is counted
_SPAWNS_KEPT = 100  # programs of one interpreter whose lines are kept, the last ones spawned

# Expect's commands, watched with Tcl's execution traces (which run in the
# caller's frame, where Expect reads spawn_id and writes expect_out, and
# change neither results nor error traces).  Expect is watched from the
# moment it is loaded: `package` is traced until then.  What `expect`
# takes from a program is read from the caller's expect_out(buffer) as
# Expect writes it, by a variable trace that lives as long as the call;
# `-notransfer` takes nothing.  `unread` shows what Expect read from a
# program that no expect took, leaving it where it is; it reads nothing
# more, for a read could meet the end of file, and Expect would close the
# spawn id under the test's own teardown.
_TRANSCRIPT_TCL = r"""
namespace eval ::tarvo::transcript {
    variable installed 0
    variable added {}
    proc loaded {args} {
        variable installed
        if {$installed || ![llength [info commands ::exp_spawn]]} return
        set installed 1
        catch {trace remove execution ::package leave ::tarvo::transcript::loaded}
        foreach {names op procs} {
            {spawn exp_spawn} leave spawned
            {send exp_send} enter sending
            {expect exp_expect} {enter leave} {expecting expected}
        } {
            foreach name $names {
                if {![llength [info commands ::$name]]} continue
                foreach o $op p $procs {
                    trace add execution ::$name $o [list ::tarvo::transcript::$p]
                }
            }
        }
    }
    proc spawned {cmd code result op} {
        upvar 1 spawn_id id
        if {$code == 0 && [info exists id]} {catch {note spawn $id $cmd}}
    }
    proc sending {cmd op} {
        set id ""
        set n 1
        set last [expr {[llength $cmd] - 1}]
        for {} {$n < $last} {incr n} {
            switch -exact -- [lindex $cmd $n] {
                -i {set id [lindex $cmd [incr n]]}
                -- {incr n; break}
                -raw - -break - -s - -h {}
                default break
            }
        }
        if {$n != $last} return
        if {$id eq ""} {
            upvar 1 spawn_id local
            if {[info exists local]} {
                set id $local
            } elseif {[info exists ::spawn_id]} {
                set id $::spawn_id
            } else {
                return
            }
        }
        catch {note send $id $cmd $n}
    }
    proc expecting {cmd op} {
        variable added
        set traced [uplevel 1 {trace info variable expect_out}]
        set add [expr {"-notransfer" ni $cmd && {write ::tarvo::transcript::taken} ni $traced}]
        if {$add} {uplevel 1 {trace add variable expect_out write ::tarvo::transcript::taken}}
        lappend added $add
    }
    proc expected {cmd code result op} {
        variable added
        set add [lindex $added end]
        set added [lrange $added 0 end-1]
        if {$add} {catch {uplevel 1 {trace remove variable expect_out write ::tarvo::transcript::taken}}}
    }
    proc taken {name1 name2 op} {
        if {$name2 ne "buffer"} return
        upvar 1 $name1 out
        if {[info exists out(spawn_id)]} {catch {note read $out(spawn_id) $out(buffer)}}
    }
    proc unread {id} {
        set got ""
        catch {expect -i $id -notransfer -timeout 0 -re {(?s).*} {set got $expect_out(buffer)}}
        return $got
    }
}
if {[llength [info commands ::exp_spawn]]} {
    ::tarvo::transcript::loaded
} else {
    trace add execution ::package leave ::tarvo::transcript::loaded
}
"""

# Control characters as escapes; a lone surrogate (a byte that was no UTF-8)
# as the byte.
_ESCAPES = {code: f"\\x{code:02x}" for code in [*range(0x20), *range(0x7F, 0xA0)]}
_ESCAPES.update({ord("\t"): "\\t", ord("\r"): "\\r", ord("\n"): "\\n", ord("\0"): "\\0"})
_ESCAPES.update({code: f"\\x{code - 0xDC00:02x}" for code in range(0xDC80, 0xDD00)})


class _Line:
    __slots__ = ("time", "way", "text", "left_out")

    def __init__(self, time: datetime.datetime, way: str, text: str) -> None:
        self.time = time
        self.way = way  # ">" sent, "<" taken by an expect, "?" read by Expect and not taken
        self.text = ""
        self.left_out = 0
        self.add(text)

    def add(self, text: str) -> None:
        room = _LINE_LIMIT - len(self.text)
        self.text += text[:room]
        self.left_out += max(0, len(text) - room)

    def shown(self) -> str:
        text = self.text.translate(_ESCAPES)
        if self.left_out:
            text += f"... ({self.left_out} characters left out)"
        return f"{self.time.strftime('%Y-%m-%dT%H:%M:%S.%f')} {self.way} {text}"


class _Spawn:
    """One program's side of the conversation and ours: its last lines."""

    __slots__ = ("serial", "spawn_id", "command", "lines", "count", "open")
    _serials = itertools.count()

    def __init__(self, spawn_id: str, command: str, keep: int) -> None:
        self.serial = next(self._serials)
        self.spawn_id = spawn_id
        self.command = command
        self.lines: Deque[_Line] = collections.deque(maxlen=keep)
        self.count = 0  # lines ever begun
        self.open = False  # the last line goes on with the next text of its way

    def add(self, way: str, text: str, time: datetime.datetime) -> None:
        # A line ends at \n (or \r\n, also when the two come in two pieces);
        # what we send ends a line at a \r as well: that is Enter.
        pieces = text.replace("\r\n", "\n").split("\n")
        if way == ">":
            pieces = [part for piece in pieces for part in piece.split("\r")]
        for n, piece in enumerate(pieces):
            ends = n < len(pieces) - 1  # a line break follows the piece
            if not piece and not ends:
                break
            if self.open and self.lines and self.lines[-1].way == way:
                self.lines[-1].add(piece)
            else:
                self.lines.append(_Line(time, way, piece))
                self.count += 1
            self.open = not ends
            if ends and self.lines[-1].text.endswith("\r"):
                self.lines[-1].text = self.lines[-1].text[:-1]


class _Transcript:
    """What every program spawned through Expect in one interpreter was
    sent and printed, by spawn, each with its last `keep` lines."""

    def __init__(self, interpreter: Interpreter, keep: int) -> None:
        self.keep = keep
        self.spawns: Deque[_Spawn] = collections.deque(maxlen=_SPAWNS_KEPT)
        self.current: Dict[str, _Spawn] = {}  # by spawn id: a closed id is given again
        self.history = interpreter.history
        self.tk = interpreter.tk
        # tkinter's own command, not a callback of the interpreter's: the
        # test's callback registry stays the test's.
        self.tk.createcommand("::tarvo::transcript::note", self._note)
        interpreter.eval(_TRANSCRIPT_TCL, record=False)

    def _note(self, what: str, spawn_id: str, text: str, index: str = "") -> None:
        # (Called by Tcl's traces of the test's own commands, which an error
        # here would fail: the Tcl side catches it.)
        now = datetime.datetime.now()
        if what == "spawn":
            self.current[spawn_id] = _Spawn(spawn_id, text, self.keep)
            self.spawns.append(self.current[spawn_id])
            return
        spawn = self.current.get(spawn_id)
        if spawn is None:
            return
        if what == "send":
            spawn.add(">", self._sent(text, int(index)), now)
        else:
            spawn.add("<", text, now)

    def _sent(self, command: str, index: int) -> str:
        """The text of word `index` of a `send` command, as its history
        entry shows it when that is this command: a Secret stays ****."""
        words = self.tk.splitlist(command)  # type: ignore[no-untyped-call]
        store = self.history.__history__
        recorded = store[-1].words if store else None
        if recorded is not None and len(recorded) == len(words):
            if all(a == b or "****" in a for a, b in zip(recorded, words)):
                return str(recorded[index])
        return str(words[index])

    def marks(self) -> Dict[int, int]:
        """Where each spawn stands now: a later section shows what follows."""
        return {spawn.serial: spawn.count for spawn in self.spawns}

    def section(self, since: Dict[int, int], limit: int) -> List[str]:
        """The lines of each spawn since `since` (from marks()), the last
        `limit` of them, and what it printed that no expect took."""
        lines: List[str] = []
        for spawn in self.spawns:
            begun = since.get(spawn.serial, 0)
            total = spawn.count - begun
            unread = self._unread(spawn)
            if spawn.serial in since and not total and not unread:
                continue  # a spawn of an earlier test, silent since
            kept = list(spawn.lines)[-min(limit, total):] if total else []
            head = f"{spawn.spawn_id}: {shown(spawn.command)}"
            if not kept and not unread:
                lines.append(f"{head}: nothing sent or received")
                continue
            if total > len(kept):
                lines.append(f"{head}: the last {len(kept)} of {total} lines, oldest first")
            else:
                lines.append(f"{head}: {total} line{'' if total == 1 else 's'}, oldest first")
            lines += ["    " + line.shown() for line in kept]
            if unread:
                rest = _Spawn(spawn.spawn_id, "", limit or 1)
                rest.add("?", unread, datetime.datetime.now())
                lines += ["    " + line.shown() for line in rest.lines]
        return lines

    def _unread(self, spawn: _Spawn) -> str:
        if self.current.get(spawn.spawn_id) is not spawn:
            return ""
        try:
            found = self.tk.call("::tarvo::transcript::unread", spawn.spawn_id)
        except Exception:  # the interpreter is closed, or Expect refuses
            return ""
        return found if isinstance(found, str) else ""  # (nothing may come as an empty tuple)


_TCLTEST_PATTERNS = "tcltest_patterns"
_TIMEOUT_INI = "tcl_timeout"
# pytest's option (as --tcltest-NAME and the ini's tcltest_NAME) and
# tcltest's own.
_TCLTEST_OPTIONS = {
    "verbose": ("-verbose", "LEVELS", "tcltest's -verbose for Tcl test files (such as 'bpse')"),
    "constraints": ("-constraints", "LIST", "tcltest's -constraints: the constraints to take as met"),
    "match": ("-match", "PATTERNS", "tcltest's -match: run only the cases whose names match"),
    "skip": ("-skip", "PATTERNS", "tcltest's -skip: skip the cases whose names match"),
    "tmpdir": ("-tmpdir", "DIR", "tcltest's -tmpdir: the folder for the files that cases make"),
}

_limit_key = pytest.StashKey[int]()
_transcript_key = pytest.StashKey[int]()
_session_transcript_key = pytest.StashKey[Optional[_Transcript]]()
_tcltest_key = pytest.StashKey[Dict[str, Any]]()
_timeout_key = pytest.StashKey[Optional[float]]()
_empty_key = pytest.StashKey[List[str]]()
_broken_key = pytest.StashKey[int]()
_session_key = pytest.StashKey["Interpreter"]()
_watches_key = pytest.StashKey[List[_Watch]]()


def _number(text: str, what: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = -1
    if count < 0:
        raise argparse.ArgumentTypeError(f"expected a number of {what} (0 or more), got {text!r}")
    return count


def _count(text: str) -> int:
    return _number(text, "calls")


def _line_count(text: str) -> int:
    return _number(text, "lines")


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not seconds > 0:
        raise argparse.ArgumentTypeError(f"expected a time limit in seconds (more than 0), got {text!r}")
    return seconds


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("tarvo.tcl", "Tcl interpreters (tarvo.tcl)")
    group.addoption(
        "--tcl-history",
        metavar="N",
        type=_count,
        default=None,
        help=f"a failing test that used the Tcl fixtures shows its last N Tcl calls in "
        f"the report section '{SECTION}'; 0 turns the section off "
        f"(default: the ini option {_INI}, else {DEFAULT_HISTORY})",
    )
    parser.addini(
        _INI,
        f"the number of Tcl calls a failing test shows in its '{SECTION}' section "
        f"(0: none), as --tcl-history (default {DEFAULT_HISTORY})",
        default=str(DEFAULT_HISTORY),
    )
    group.addoption(
        "--tcl-transcript",
        metavar="N",
        type=_line_count,
        default=None,
        help=f"a failing test shows the last N lines of its conversation with each program "
        f"spawned through Expect in the Tcl fixtures, in the report section "
        f"'{TRANSCRIPT_SECTION}'; 0 turns it off (default: the ini option {_TRANSCRIPT_INI}, "
        f"else {DEFAULT_TRANSCRIPT})",
    )
    parser.addini(
        _TRANSCRIPT_INI,
        f"the number of lines per spawned program a failing test shows in its "
        f"'{TRANSCRIPT_SECTION}' section (0: none), as --tcl-transcript (default {DEFAULT_TRANSCRIPT})",
        default=str(DEFAULT_TRANSCRIPT),
    )
    group.addoption(
        "--tcl-timeout",
        metavar="SECONDS",
        type=_seconds,
        default=None,
        help="the time limit of each Tcl call of the fixtures' interpreters, and of each "
        "case of a Tcl test file (default: the ini option tcl_timeout, else none)",
    )
    parser.addini(_TIMEOUT_INI, "the time limit in seconds of Tcl calls and tcltest cases, as --tcl-timeout")
    group.addoption(
        "--tcltest",
        action="store_true",
        default=False,
        help="collect Tcl test files (tcltest; named by the ini option tcltest_patterns, "
        "else *.test): each `test` case is an item",
    )
    parser.addini(
        _TCLTEST_PATTERNS,
        "the names of Tcl test files to collect (such as *.test); collects them without --tcltest",
        # (mypy on 3.9 sees no fault here: the ignore would be unused there)
        "args",  # type: ignore[maybe-unrecognized-str-typeform, unused-ignore]
    )
    for name, (flag, metavar, text) in _TCLTEST_OPTIONS.items():
        group.addoption(f"--tcltest-{name}", metavar=metavar, default=None, help=text)
        parser.addini(f"tcltest_{name}", f"{text}, as --tcltest-{name}")
    group.addoption(
        "--tcltest-interpreter",
        metavar="PROGRAM",
        default=None,
        help="tcltest's interpreter: the program that runs the Tcl scripts of a test "
        "file's child processes (default: the ini option tcltest_interpreter, else "
        "tcltest's own, [info nameofexecutable])",
    )
    parser.addini("tcltest_interpreter", "tcltest's interpreter, as --tcltest-interpreter")


def _count_setting(config: pytest.Config, option: str, ini: str, read: Callable[[str], int]) -> int:
    count = config.getoption(option)
    if count is None:
        try:
            count = read(str(config.getini(ini)).strip())
        except argparse.ArgumentTypeError as error:
            raise pytest.UsageError(f"ini option {ini}: {error}") from None
    return int(count)


def pytest_configure(config: pytest.Config) -> None:
    config.stash[_limit_key] = _count_setting(config, "tcl_history", _INI, _count)
    config.stash[_transcript_key] = _count_setting(config, "tcl_transcript", _TRANSCRIPT_INI, _line_count)
    timeout = config.getoption("tcl_timeout")
    if timeout is None:
        text = str(config.getini(_TIMEOUT_INI) or "").strip()
        if text:
            try:
                timeout = _seconds(text)
            except argparse.ArgumentTypeError as error:
                raise pytest.UsageError(f"ini option {_TIMEOUT_INI}: {error}") from None
    config.stash[_timeout_key] = timeout
    patterns = list(config.getini(_TCLTEST_PATTERNS))
    if config.getoption("tcltest") or patterns:
        config.stash[_tcltest_key] = _tcltest_settings(config, patterns or ["*.test"], timeout)


def _setting(config: pytest.Config, name: str) -> tuple[Optional[str], str]:
    """The value of option `name`, from the command line or else the ini
    file, and the folder a relative path in it is relative to."""
    value = config.getoption(f"tcltest_{name}")
    if value is not None:
        return value, str(config.invocation_params.dir)
    value = str(config.getini(f"tcltest_{name}") or "").strip() or None
    return value, str(config.inipath.parent if config.inipath else config.rootpath)


def _tcltest_settings(config: pytest.Config, patterns: List[str], timeout: Optional[float]) -> Dict[str, Any]:
    argv: List[str] = []
    for name, (flag, _, _) in _TCLTEST_OPTIONS.items():
        value, base = _setting(config, name)
        if value is None:
            continue
        if name == "tmpdir":
            value = os.path.join(base, value)
        argv += [flag, value]
    interpreter, base = _setting(config, "interpreter")
    if interpreter is not None and os.sep not in interpreter:
        interpreter = shutil.which(interpreter) or interpreter
    elif interpreter is not None:
        interpreter = os.path.join(base, interpreter)
    return {"patterns": patterns, "argv": argv, "timeout": timeout, "interpreter": interpreter}


def tcltest_settings(config: pytest.Config) -> Dict[str, Any]:
    """How Tcl test files are collected and run: their name patterns, the
    tcltest options they get as arguments, the time limit of a case and
    tcltest's interpreter."""
    return config.stash[_tcltest_key]


def pytest_collect_file(file_path: Any, parent: pytest.Collector) -> Optional[pytest.Collector]:
    settings = parent.config.stash.get(_tcltest_key, None)
    if settings is None or not any(fnmatch.fnmatchcase(file_path.name, pattern) for pattern in settings["patterns"]):
        return None
    from .tcltest_files import TclTestFile

    file: pytest.Collector = TclTestFile.from_parent(parent, path=file_path)
    return file


def note_broken(config: pytest.Config) -> None:
    """A Tcl test file whose set-up failed: a collection error that does
    not stop the other files."""
    config.stash[_broken_key] = config.stash.get(_broken_key, 0) + 1


@pytest.hookimpl(hookwrapper=True)
def pytest_runtestloop(session: pytest.Session) -> Generator[None, None, None]:
    # pytest runs nothing after a collection error; a broken Tcl test file
    # is reported, and the others run.
    broken = min(session.config.stash.get(_broken_key, 0), session.testsfailed)
    session.testsfailed -= broken
    try:
        yield
    finally:
        session.testsfailed += broken


def note_empty(config: pytest.Config, path: Any) -> None:
    """A Tcl test file with no `test` case: told under -v."""
    config.stash.setdefault(_empty_key, []).append(str(path))


def pytest_report_collectionfinish(config: pytest.Config) -> List[str]:
    if config.getoption("verbose") <= 0:
        return []
    return [f"{path}: no tcltest cases (no `test` call), nothing collected" for path in config.stash.get(_empty_key, [])]


def watch_case(item: pytest.Item, watch: Any) -> None:
    """Lets the report of a tcltest case show its own Tcl calls."""
    if item.config.stash.get(_limit_key, DEFAULT_HISTORY):
        item.stash[_watches_key] = [watch]


@pytest.hookimpl(optionalhook=True)
def pytest_xdist_make_scheduler(config: pytest.Config, log: Any) -> Any:
    """Under ``--dist load`` (what ``-n`` means by itself), the cases of one
    Tcl test file go to one worker: each file runs once, where its cases
    are."""
    if config.stash.get(_tcltest_key, None) is None or config.getvalue("dist") != "load":
        return None
    from .tcltest_files import scheduler

    return scheduler(config, log, config.stash[_tcltest_key]["patterns"])


def _transcript(config: pytest.Config, interpreter: Interpreter) -> Optional[_Transcript]:
    """The transcript of the programs that `interpreter` will spawn, unless
    transcripts are off, or the Tcl is 9: Expect for Tcl 9 (Debian's) has
    crashed under the traces that take the notes."""
    from _tkinter import TCL_VERSION

    keep = config.stash.get(_transcript_key, DEFAULT_TRANSCRIPT)
    if not keep or TCL_VERSION.startswith("9"):
        return None
    return _Transcript(interpreter, keep)


def _watch(
    node: Any, label: str, interpreter: Interpreter, fresh: bool, transcript: Optional[_Transcript] = None
) -> None:
    """Let the report of `node` show the calls made in `interpreter`, and
    its transcript, from now on (or, if `fresh`, all that it ever made)."""
    history: Optional[History] = None
    if node.config.stash.get(_limit_key, DEFAULT_HISTORY):
        history = interpreter.history
    if history is None and transcript is None:
        return
    store = history.__history__ if history is not None else None
    start = store[-1] if store and not fresh else None
    marks = transcript.marks() if transcript is not None and not fresh else None
    node.stash.setdefault(_watches_key, []).append(_Watch(label, history, start, transcript, marks))


@pytest.fixture
def tcl(request: pytest.FixtureRequest) -> Iterator[Interpreter]:
    """A fresh Tcl interpreter (TclX loaded) for this test, torn down after it."""
    from .interpreter import Interpreter

    interpreter = Interpreter(timeout=request.config.stash.get(_timeout_key, None))
    _watch(request.node, "tcl", interpreter, fresh=True, transcript=_transcript(request.config, interpreter))
    yield interpreter
    interpreter.close()


@pytest.fixture
def tcl_factory(request: pytest.FixtureRequest) -> Iterator[Callable[[], Interpreter]]:
    """Makes a fresh Tcl interpreter on every call; all are torn down after
    the test."""
    from .interpreter import Interpreter

    made: List[Interpreter] = []

    def make() -> Interpreter:
        interpreter = Interpreter(timeout=request.config.stash.get(_timeout_key, None))
        made.append(interpreter)
        transcript = _transcript(request.config, interpreter)
        _watch(request.node, f"tcl_factory #{len(made)}", interpreter, fresh=True, transcript=transcript)
        return interpreter

    yield make
    while made:
        made.pop().close()


@pytest.fixture
def tcl_spawn(tcl: Interpreter) -> Iterator[Callable[..., Session]]:
    """Spawns a program through Expect in the test's `tcl` interpreter:
    ``tcl_spawn(argv, env=None, size=None, timeout=10)`` returns its
    :class:`~tarvo.tcl.expect.Session`.  Every session is closed and its
    program reaped after the test."""
    from .expect import Session

    made: List[Session] = []

    def spawn(argv: Sequence[str], **options: Any) -> Session:
        session = Session(tcl, argv, **options)
        made.append(session)
        return session

    yield spawn
    while made:
        made.pop().close()


@pytest.fixture(scope="session")
def tcl_session(request: pytest.FixtureRequest) -> Iterator[Interpreter]:
    """One Tcl interpreter (TclX loaded) shared by every test of the session
    (of each pytest-xdist worker), torn down at its end."""
    from .interpreter import Interpreter

    interpreter = Interpreter(timeout=request.config.stash.get(_timeout_key, None))
    request.config.stash[_session_transcript_key] = _transcript(request.config, interpreter)
    request.config.stash[_session_key] = interpreter
    yield interpreter
    del request.config.stash[_session_key]
    del request.config.stash[_session_transcript_key]
    interpreter.close()


def _uses_session(item: pytest.Item) -> bool:
    return "tcl_session" in getattr(item, "fixturenames", ())


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_setup(item: pytest.Item) -> Generator[None, None, None]:
    # The session's interpreter serves many tests: each one's report shows
    # the calls from its own setup on.
    config = item.config
    watching = _uses_session(item) and (
        config.stash.get(_limit_key, DEFAULT_HISTORY) or config.stash.get(_transcript_key, DEFAULT_TRANSCRIPT)
    )
    before = config.stash.get(_session_key, None) if watching else None
    if before is not None:
        _watch(item, "tcl_session", before, fresh=False, transcript=config.stash.get(_session_transcript_key, None))
    yield
    if watching and before is None:
        made = config.stash.get(_session_key, None)
        if made is not None:  # started by this test's setup: all of its calls are this test's
            _watch(item, "tcl_session", made, fresh=True, transcript=config.stash.get(_session_transcript_key, None))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Generator[None, Any, None]:
    outcome = yield
    watches = item.stash.get(_watches_key, None)
    if watches is None:
        return
    report: pytest.TestReport = outcome.get_result()
    if report.failed:
        error = call.excinfo.value if call.excinfo is not None else None
        sections = []
        if item.config.stash[_limit_key]:
            sections.append((SECTION, _section(watches, item.config.stash[_limit_key], error)))
        transcript = _transcript_section(watches, item.config.stash[_transcript_key])
        if transcript:
            sections.append((TRANSCRIPT_SECTION, transcript))
        longrepr = report.longrepr
        for title, text in sections:
            if hasattr(longrepr, "addsection"):
                # Inside the failure's own text: the terminal shows it with
                # the traceback, and JUnit XML and pytest-html carry it along.
                longrepr.addsection(title, text)  # type: ignore[union-attr]
            else:
                report.sections.append((title, text))
    if call.when == "teardown":
        del item.stash[_watches_key]


def _section(watches: List[_Watch], limit: int, error: Optional[BaseException]) -> str:
    lines = []
    for watch in watches:
        calls = watch.calls()
        if not calls:
            lines.append(f"{watch.label}: no Tcl calls")
            continue
        if len(calls) > limit:
            lines.append(f"{watch.label}: the last {limit} of {len(calls)} Tcl calls, oldest first")
            calls = calls[-limit:]
        else:
            lines.append(f"{watch.label}: {len(calls)} Tcl call{'s' if len(calls) > 1 else ''}, oldest first")
        for entry in calls:
            # Commands made of words as Tcl quotes a list: pasted into
            # tclsh, each runs the same words again.
            line = f"{entry.timestamp.strftime('%Y-%m-%dT%H:%M:%S.%f')}: {entry.script}"
            lines.append("    " + shown(line).replace("\n", "\n        "))
    tcl_error = _tcl_error(error)
    if tcl_error is not None:
        trace = getattr(tcl_error, "errorinfo", None) or str(tcl_error)
        errorcode = getattr(tcl_error, "errorcode", None)
        lines.append("")
        # Tcl's errorcode NONE says nothing: a plain `error` sets it.
        told = errorcode and tuple(errorcode) != ("NONE",)
        lines.append(f"Tcl error (errorcode {errorcode!r}):" if told else "Tcl error:")
        lines.append("    " + shown(str(trace)).replace("\n", "\n    "))
    return "\n".join(lines)


def _transcript_section(watches: List[_Watch], limit: int) -> str:
    lines: List[str] = []
    for watch in watches:
        transcript = getattr(watch, "transcript", None)  # (a tcltest case's watch has none)
        if transcript is None or not limit:
            continue
        found = transcript.section(watch.marks, limit)
        if found and len(watches) > 1:
            lines.append(f"{watch.label}:")
            found = ["    " + line for line in found]
        lines += found
    return "\n".join(lines)


def _tcl_error(error: Optional[BaseException]) -> Optional[BaseException]:
    """The first TclError along the chain of causes and contexts of `error`."""
    tkinter = sys.modules.get("tkinter")
    if tkinter is None:  # nothing has imported it: there is no Tcl error
        return None
    tcl_error: type[BaseException] = tkinter.TclError
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        if isinstance(error, tcl_error):
            return error
        error = error.__cause__ or (None if error.__suppress_context__ else error.__context__)
    return None
