"""pytest fixtures that drive Tcl, and the Tcl history and device transcript of a failing test."""
from collections.abc import Callable, Generator, Iterator
from typing import Any, Final

import pytest

from .expect import Session
from .interpreter import Interpreter

__all__ = [
    "tcl", "tcl_session", "tcl_factory", "tcl_spawn",
    "SECTION", "DEFAULT_HISTORY", "TRANSCRIPT_SECTION", "DEFAULT_TRANSCRIPT",
]

SECTION: Final = "Tcl history"
DEFAULT_HISTORY: Final = 20
TRANSCRIPT_SECTION: Final = "Device transcript"
DEFAULT_TRANSCRIPT: Final = 50

def pytest_addoption(parser: pytest.Parser) -> None: ...
def pytest_configure(config: pytest.Config) -> None: ...
@pytest.fixture
def tcl(request: pytest.FixtureRequest) -> Iterator[Interpreter]:
    """A fresh Tcl interpreter (TclX loaded) for this test, torn down after it."""

@pytest.fixture
def tcl_factory(request: pytest.FixtureRequest) -> Iterator[Callable[[], Interpreter]]:
    """Makes a fresh Tcl interpreter on every call; all are torn down after the test."""

@pytest.fixture
def tcl_spawn(tcl: Interpreter) -> Iterator[Callable[..., Session]]:
    """Spawns a program through Expect in the test's `tcl`; every session is closed after the test."""

@pytest.fixture(scope="session")
def tcl_session(request: pytest.FixtureRequest) -> Iterator[Interpreter]:
    """One Tcl interpreter shared by every test of the session, torn down at its end."""

def pytest_runtest_setup(item: pytest.Item) -> Generator[None, None, None]: ...
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Generator[None, Any, None]: ...
def tcltest_settings(config: pytest.Config) -> dict[str, Any]: ...
def pytest_collect_file(file_path: Any, parent: pytest.Collector) -> pytest.Collector | None: ...
def note_broken(config: pytest.Config) -> None: ...
def pytest_runtestloop(session: pytest.Session) -> Generator[None, None, None]: ...
def note_empty(config: pytest.Config, path: Any) -> None: ...
def pytest_report_collectionfinish(config: pytest.Config) -> list[str]: ...
def watch_case(item: pytest.Item, watch: Any) -> None: ...
def pytest_xdist_make_scheduler(config: pytest.Config, log: Any) -> Any: ...
