"""Tcl test files (tcltest) as pytest items: one item per `test` case."""
import os
from dataclasses import dataclass
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

import pytest

__all__ = ["TclTestFile", "TclTestCase", "TclTestError", "CaseOutcome", "FileRun", "run_file", "case_ids", "scheduler"]

@dataclass
class CaseOutcome:
    id: str
    outcome: str
    reason: str
    report: str
    command: str
    start: float
    skip: str = ""

@dataclass
class FileRun:
    cases: list[CaseOutcome] = ...
    loose: str = ""
    counts: tuple[int, int, int, int] | None = None
    status: int | None = None
    error: str | None = None
    timed_out: bool = False
    @property
    def failed(self) -> bool: ...
    def ending(self) -> str: ...

def run_file(
    path: os.PathLike[str] | str,
    argv: Sequence[str] = (),
    *,
    collect: bool = False,
    only: Iterable[str] | None = None,
    timeout: float | None = None,
    interpreter: str | None = None,
) -> FileRun: ...
def case_ids(run: FileRun) -> list[str]: ...

class TclTestError(Exception): ...

class TclTestFile(pytest.File):
    run: FileRun | None
    collected: FileRun | None
    ids: list[str]
    outcomes: dict[str, CaseOutcome]
    def collect(self) -> Iterator[pytest.Item]: ...
    def repr_failure(self, excinfo: pytest.ExceptionInfo[BaseException]) -> Any: ...  # type: ignore[override]
    def setup(self) -> None: ...

class TclTestCase(pytest.Item):
    case: str
    line: int
    def __init__(self, *, case: str, line: int = 0, **kwargs: Any) -> None: ...
    def runtest(self) -> None: ...
    def reportinfo(self) -> tuple[Any, int | None, str]: ...

def scheduler(config: pytest.Config, log: Any, patterns: list[str]) -> Any: ...
