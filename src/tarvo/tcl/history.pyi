import datetime
import logging
import re
from collections import deque
from collections.abc import Hashable, Iterable
from typing import ClassVar

from typing_extensions import disjoint_base

from ..utils.utils import get_time as get_time

logger: logging.Logger

# A capsule: recording a command as the package's other modules call it in C.
__c_api__: object

@disjoint_base
class Entry:
    """One recorded Tcl command and the moment it was recorded."""

    timestamp: datetime.datetime
    api: str
    @property
    def words(self) -> tuple[str, ...] | None: ...
    @property
    def script(self) -> str: ...
    def __init__(self, api: str | Iterable[str]) -> None: ...

@disjoint_base
class History:
    """A bounded record of Tcl commands, with markers for sub-histories."""

    __MAX_HISTORY__: ClassVar[int]
    __history__: deque[Entry]
    __markers__: dict[Hashable, deque[Entry]]
    __activeMarkers__: list[Hashable]
    enabled: bool
    def __init__(self, max_history: int | None = 9999) -> None: ...
    def enable(self) -> None: ...
    def disable(self) -> None: ...
    def append(self, item: str | Iterable[str]) -> None: ...
    def clear(self, marker: Hashable | None = None, clear_all: bool = False) -> None: ...
    def start_marker(self, marker: Hashable) -> None: ...
    def end_marker(self, marker: Hashable) -> None: ...
    def filter(
        self, marker: Hashable | None = None, count: int = 20, regex: str | re.Pattern[str] | None = None
    ) -> list[Entry]: ...
