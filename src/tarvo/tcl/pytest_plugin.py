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
import fnmatch
import math
import os
import shutil
import sys
from typing import TYPE_CHECKING, Any, Callable, Dict, Generator, Iterator, List, Optional, Sequence

import pytest

from tarvo.utils.utils import shown

if TYPE_CHECKING:
    from .expect import Session
    from .history import Entry, History
    from .interpreter import Interpreter

__all__ = ["tcl", "tcl_session", "tcl_factory", "tcl_spawn", "SECTION", "DEFAULT_HISTORY"]

SECTION = "Tcl history"
DEFAULT_HISTORY = 20

_INI = "tcl_history"


class _Watch:
    """One interpreter whose calls a test's report may show: the calls
    recorded in its history after `start` (all of them when `start` is None
    or no longer there: the history was new, or cleared since)."""

    __slots__ = ("label", "history", "start")

    def __init__(self, label: str, history: History, start: Optional[Entry]) -> None:
        self.label = label
        self.history = history  # not the interpreter: that one may go before the report
        self.start = start

    def calls(self) -> List[Entry]:
        calls = []
        for entry in reversed(self.history.__history__):
            if entry is self.start:
                break
            calls.append(entry)
        calls.reverse()
        return calls


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
_tcltest_key = pytest.StashKey[Dict[str, Any]]()
_timeout_key = pytest.StashKey[Optional[float]]()
_empty_key = pytest.StashKey[List[str]]()
_broken_key = pytest.StashKey[int]()
_session_key = pytest.StashKey["Interpreter"]()
_watches_key = pytest.StashKey[List[_Watch]]()


def _count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = -1
    if count < 0:
        raise argparse.ArgumentTypeError(f"expected a number of calls (0 or more), got {text!r}")
    return count


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


def pytest_configure(config: pytest.Config) -> None:
    limit = config.getoption("tcl_history")
    if limit is None:
        text = str(config.getini(_INI)).strip()
        try:
            limit = _count(text)
        except argparse.ArgumentTypeError as error:
            raise pytest.UsageError(f"ini option {_INI}: {error}") from None
    config.stash[_limit_key] = limit
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


def _watch(node: Any, label: str, interpreter: Interpreter, fresh: bool) -> None:
    """Let the report of `node` show the calls made in `interpreter` from now
    on (or, if `fresh`, all that it ever made)."""
    if not node.config.stash.get(_limit_key, DEFAULT_HISTORY):
        return
    history = interpreter.history
    store = history.__history__
    start = store[-1] if store and not fresh else None
    node.stash.setdefault(_watches_key, []).append(_Watch(label, history, start))


@pytest.fixture
def tcl(request: pytest.FixtureRequest) -> Iterator[Interpreter]:
    """A fresh Tcl interpreter (TclX loaded) for this test, torn down after it."""
    from .interpreter import Interpreter

    interpreter = Interpreter(timeout=request.config.stash.get(_timeout_key, None))
    _watch(request.node, "tcl", interpreter, fresh=True)
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
        _watch(request.node, f"tcl_factory #{len(made)}", interpreter, fresh=True)
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
    request.config.stash[_session_key] = interpreter
    yield interpreter
    del request.config.stash[_session_key]
    interpreter.close()


def _uses_session(item: pytest.Item) -> bool:
    return "tcl_session" in getattr(item, "fixturenames", ())


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_setup(item: pytest.Item) -> Generator[None, None, None]:
    # The session's interpreter serves many tests: each one's report shows
    # the calls from its own setup on.
    watching = item.config.stash.get(_limit_key, DEFAULT_HISTORY) and _uses_session(item)
    before = item.config.stash.get(_session_key, None) if watching else None
    if before is not None:
        _watch(item, "tcl_session", before, fresh=False)
    yield
    if watching and before is None:
        made = item.config.stash.get(_session_key, None)
        if made is not None:  # started by this test's setup: all of its calls are this test's
            _watch(item, "tcl_session", made, fresh=True)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Generator[None, Any, None]:
    outcome = yield
    watches = item.stash.get(_watches_key, None)
    if watches is None:
        return
    report: pytest.TestReport = outcome.get_result()
    if report.failed:
        error = call.excinfo.value if call.excinfo is not None else None
        text = _section(watches, item.config.stash[_limit_key], error)
        longrepr = report.longrepr
        if hasattr(longrepr, "addsection"):
            # Inside the failure's own text: the terminal shows it with the
            # traceback, and JUnit XML and pytest-html carry it along.
            longrepr.addsection(SECTION, text)  # type: ignore[union-attr]
        else:
            report.sections.append((SECTION, text))
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
