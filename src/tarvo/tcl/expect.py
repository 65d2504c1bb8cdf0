"""A session with an interactive program, driven through Expect.

    from tarvo.tcl.expect import Session

    with Session(tcl, ["ssh", "sw-7"], timeout=10) as sw:
        sw.expect("Password: ", kind="exact")
        sw.send_line(Secret(password))
        sw.expect(r"SW-7> $")
        lines = sw.run("show version", prompt=r"\\r\\nSW-7> $")

Everything goes through the interpreter's own Expect (loaded on first use),
so the conversation is the interpreter's as well: its history shows every
`spawn`, `send` and `expect`, and a `Secret` sent stays ****.  Patterns are
regular expressions unless `kind` says "glob" or "exact", as Expect's `-re`,
`-gl` and `-ex`.  A session not closed is closed and reaped when its
interpreter is closed, as everything Expect spawned is.
"""
from __future__ import annotations

import contextlib
import operator
import re
import signal
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Mapping, Optional, Sequence, Tuple, Union

from .interpreter import Interpreter, TclTimeoutError

__all__ = ["Session", "Match", "ExpectTimeout", "ExpectEOF", "KINDS"]

# Expect's flag for each kind of pattern.
KINDS = {"regex": "-re", "glob": "-gl", "exact": "-ex"}

# What the Tcl side answers for the two ends that are no pattern.
_TIMEOUT, _EOF = -1, -2

# One expect, at the global level where Expect keeps expect_out: the number
# of the pattern that matched (-1 time-out, -2 end of file), the match and
# everything read up to its end.
_EXPECT = """
namespace eval ::tarvo::expect {}
proc ::tarvo::expect::wait_for {id seconds patterns} {
    variable hit
    set body [list -i $id -timeout $seconds]
    set n 0
    foreach {flag pattern} $patterns {
        lappend body $flag $pattern [list set ::tarvo::expect::hit $n]
        incr n
    }
    lappend body timeout {set ::tarvo::expect::hit -1} eof {set ::tarvo::expect::hit -2}
    unset -nocomplain ::expect_out(buffer) ::expect_out(0,string)
    uplevel #0 [list expect {*}$body]
    if {$hit == -1} {
        # A time-out sets no expect_out: what was read stays unmatched,
        # and is shown without being taken from the program's buffer.  The
        # pattern matches an empty buffer too, so nothing more is read: a
        # read could meet the end of file, and Expect would close the id.
        uplevel #0 [list expect -i $id -timeout 0 -notransfer -re {(?s).*} {}]
        set ::expect_out(0,string) ""
    }
    set buffer [expr {[info exists ::expect_out(buffer)] ? $::expect_out(buffer) : ""}]
    set match [expr {$hit >= 0 ? $::expect_out(0,string) : ""}]
    list $hit $match $buffer
}
"""


def _terminal_extent(n: Any) -> int:
    """A terminal's row or column count, as the kernel holds it."""
    count = operator.index(n)
    if not 0 <= count <= 0xFFFF:
        raise ValueError(f"a terminal size must be from 0 to 65535, not {count}")
    return count


@contextlib.contextmanager
def _terminal_size(tcl: Interpreter, size: Optional[Tuple[int, int]]) -> Iterator[None]:
    """The terminal of what is spawned inside has `size` (rows, columns)
    before its program starts: Expect applies stty_init to a new terminal
    ahead of the program, where an stty after the spawn would race the
    program's first look.  The user's stty_init is back afterwards."""
    if size is None:
        yield
        return
    rows, columns = (_terminal_extent(n) for n in size)
    saved = tcl.vars.get("stty_init")
    tcl.vars["stty_init"] = f"rows {rows} columns {columns}"
    try:
        yield
    finally:
        if saved is None:
            del tcl.vars["stty_init"]
        else:
            tcl.vars["stty_init"] = saved


class ExpectTimeout(TclTimeoutError):
    """No pattern matched before the time-out; `before` holds what was read.
    A TclTimeoutError, as a Tcl call's time-out is: so a TimeoutError too."""

    def __init__(self, message: str, before: str) -> None:
        super().__init__(message)
        self.before = before


class ExpectEOF(EOFError):
    """The program closed its output before a pattern matched."""

    def __init__(self, message: str, before: str) -> None:
        super().__init__(message)
        self.before = before


@dataclass(frozen=True)
class Match:
    """What an expect found: the pattern's index, the matched text and the
    text read before it."""

    index: int
    matched: str
    before: str


Pattern = Union[str, Tuple[str, str]]


class Session:
    """One program spawned through Expect in `tcl`: `argv` is the command
    and its arguments, `env` (if given) the program's whole environment,
    `size` its terminal's (rows, columns), and `timeout` the default time
    each expect waits, in seconds."""

    def __init__(
        self,
        tcl: Interpreter,
        argv: Sequence[str],
        *,
        env: Optional[Mapping[str, str]] = None,
        size: Optional[Tuple[int, int]] = None,
        timeout: float = 10.0,
    ) -> None:
        if isinstance(argv, str) or not argv:
            raise TypeError("argv must be a non-empty sequence of str (the command and its arguments)")
        self.tcl = tcl
        self.timeout = timeout
        self.status: Optional[int] = None
        tcl.eval("package require Expect", record=False)
        if not tcl.eval("info commands ::tarvo::expect::wait_for", record=False):
            tcl.eval(_EXPECT, record=False)
        words = list(argv)
        if env is not None:
            # The program's environment is exactly `env`, whatever Tcl's is.
            words = ["env", "-i", *(f"{key}={value}" for key, value in env.items()), *words]
        with _terminal_size(tcl, size):
            self.pid = int(tcl.jot.spawn("-noecho", *words, cast_=False))
        self.spawn_id: str = tcl.vars["spawn_id"]

    # -- talking ----------------------------------------------------------

    def send(self, text: Any) -> None:
        """Send `text` as it is (a Secret stays **** in the history)."""
        self._require_open()
        self.tcl.jot.exp_send("-i", self.spawn_id, "--", text)

    def send_line(self, line: Any = "", newline: str = "\r") -> None:
        """Send `line` and the key that ends a line on a terminal."""
        if type(line) is str:
            self.send(line + newline)
        else:  # a Secret, say, which stays a word of its own
            self.send(line)
            self.send(newline)

    def expect(self, *patterns: Pattern, kind: str = "regex", timeout: Optional[float] = None) -> Match:
        """Wait until one of `patterns` matches what the program printed;
        a pattern is a str of `kind` ("regex", "glob" or "exact") or a pair
        (kind, pattern).  Returns the Match; raises ExpectTimeout after
        `timeout` seconds (else the session's) and ExpectEOF at the end of
        the program's output."""
        self._require_open()
        if not patterns:
            raise TypeError("expect() needs at least one pattern")
        flat: list[str] = []
        for pattern in patterns:
            pattern_kind, text = (kind, pattern) if isinstance(pattern, str) else pattern
            if pattern_kind not in KINDS:
                raise ValueError(f"unknown kind of pattern {pattern_kind!r}: use one of {', '.join(KINDS)}")
            flat += [KINDS[pattern_kind], text]
        return self._wait_for(flat, timeout)

    def _wait_for(self, flat: list[str], timeout: Optional[float]) -> Match:
        """Expect's flags and patterns `flat` (none: only the end of output)."""
        seconds = self.timeout if timeout is None else timeout
        # Expect counts whole seconds; the call itself may take a little longer.
        wait = max(0, int(-(-seconds // 1)))
        answer = self.tcl.jot.tarvo.expect.wait_for(self.spawn_id, wait, flat, cast_=False, timeout_=wait + 30)
        hit, matched, buffer = _split(self.tcl, answer)
        index = int(hit)
        if index == _TIMEOUT:
            raise ExpectTimeout(f"no pattern matched within {seconds:g} s", str(buffer))
        if index == _EOF:
            raise ExpectEOF("the program's output ended before a pattern matched", str(buffer))
        buffer, matched = str(buffer), str(matched)
        return Match(index, matched, buffer[: len(buffer) - len(matched)])

    def run(self, command: Any, prompt: str, *, kind: str = "regex", timeout: Optional[float] = None) -> list[str]:
        """Send `command` as a line and wait for `prompt`; the lines the
        program printed in between, without the echo of the command and
        without the prompt."""
        self.send_line(command)
        before = self.expect(prompt, kind=kind, timeout=timeout).before
        lines = re.split(r"\r?\n", before)
        if lines and lines[0].strip() == str(command).strip():
            lines = lines[1:]
        # The prompt's line break, where the pattern did not take it.
        if lines and lines[-1] == "":
            lines = lines[:-1]
        return lines

    # -- the end ----------------------------------------------------------

    def wait(self, timeout: Optional[float] = None) -> int:
        """Wait until the program ends by itself (its output ends), reap it
        and return its exit status; ExpectTimeout after `timeout` seconds
        (else the session's), with the program still running."""
        if self.status is None:
            try:
                self._wait_for([], timeout)
            except ExpectEOF:
                pass
        return self.close()

    def close(self) -> int:
        """End the program (closing its terminal), reap it and return its
        exit status, negative for the signal that killed it.  Closing again
        returns the same status."""
        if self.status is not None:
            return self.status
        from tkinter import TclError

        try:
            self.tcl.jot.exp_close("-i", self.spawn_id)
        except TclError:  # the program closed its side first
            pass
        outcome = _split(self.tcl, self.tcl.jot.exp_wait("-i", self.spawn_id, cast_=False, timeout_=30))
        self.status = _status(outcome)
        return self.status

    def __enter__(self) -> Session:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _require_open(self) -> None:
        if self.status is not None:
            raise ValueError(f"the session with {self.spawn_id} is closed")


def _split(tcl: Interpreter, text: str) -> Tuple[Any, ...]:
    """The words of the Tcl list `text`."""
    split: Callable[[str], Tuple[Any, ...]] = tcl.tk.splitlist
    return split(text)


def _status(outcome: Sequence[Any]) -> int:
    """exp_wait's answer as an exit status: `pid spawn_id 0 status` for an
    exit, `... 0 status CHILDKILLED SIGNAME message` for a signal (negative
    here, as subprocess gives it), `... -1 errno` for a failed wait."""
    words = [str(word) for word in outcome]
    if len(words) >= 6 and words[4] == "CHILDKILLED":
        return -int(getattr(signal, words[5], signal.SIGKILL))
    if len(words) >= 4 and words[2] == "0":
        return int(words[3])
    raise OSError(f"waiting for the program failed: {' '.join(words)}")
