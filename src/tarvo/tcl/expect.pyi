"""A session with an interactive program, driven through Expect."""
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional, Tuple, Union

from .interpreter import Interpreter, TclTimeoutError

__all__ = ["Session", "Match", "ExpectTimeout", "ExpectEOF", "KINDS"]

KINDS: dict[str, str]

class ExpectTimeout(TclTimeoutError):
    """No pattern matched before the time-out; `before` holds what was read."""

    before: str
    def __init__(self, message: str, before: str) -> None: ...

class ExpectEOF(EOFError):
    """The program closed its output before a pattern matched."""

    before: str
    def __init__(self, message: str, before: str) -> None: ...

@dataclass(frozen=True)
class Match:
    """What an expect found: the pattern's index, the matched text and the
    text read before it."""

    index: int
    matched: str
    before: str

Pattern = Union[str, Tuple[str, str]]

class Session:
    """One program spawned through Expect in `tcl`."""

    tcl: Interpreter
    timeout: float
    status: int | None
    pid: int
    spawn_id: str
    def __init__(
        self,
        tcl: Interpreter,
        argv: Sequence[str],
        *,
        env: Optional[Mapping[str, str]] = None,
        size: Optional[Tuple[int, int]] = None,
        timeout: float = 10.0,
    ) -> None: ...
    def send(self, text: Any) -> None: ...
    def send_line(self, line: Any = "", newline: str = "\r") -> None: ...
    def expect(self, *patterns: Pattern, kind: str = "regex", timeout: Optional[float] = None) -> Match: ...
    def run(self, command: Any, prompt: str, *, kind: str = "regex", timeout: Optional[float] = None) -> list[str]: ...
    def wait(self, timeout: Optional[float] = None) -> int: ...
    def close(self) -> int: ...
    def __enter__(self) -> Session: ...
    def __exit__(self, *exc_info: object) -> None: ...
