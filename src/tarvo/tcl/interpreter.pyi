import logging
import tkinter
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any, ClassVar, Final, Literal, Protocol, TypeVar, overload, type_check_only

from tkinter import Tk

from . import jot as _jot
from .array import Array as Array
from .history import History as History
from .internal import GetListFromAny as GetListFromAny, TclDLL as TclDLL
from .jot import Jot as Jot
from .namespace import TclCommand as TclCommand, TclNamespace as TclNamespace, TclNamespaces, TclVariables
from .nestmap import NestMap as NestMap
from .quoten import quoten as quoten, tclobj as tclobj

_T = TypeVar("_T")

class TclError(tkinter.TclError):
    """A Tcl error: tkinter.TclError itself, as every Tcl failure is one.

    The errors that eval and quick calls raise carry Tcl's whole error trace
    as their text; they also tell, as attributes, what Tcl knows of the error
    (errors of other origins lack them):

    errorinfo  the whole trace, the same text as the message
    message    Tcl's short result text
    errorcode  Tcl's -errorcode as a tuple of strings, e.g.
               ('ARITH', 'DIVZERO', 'divide by zero'); ('PYTHON', 'ValueError')
               for an exception that a Python callback raised
    errorline  the line of the script where the error happened
    """

    errorinfo: str
    message: str
    errorcode: tuple[str, ...]
    errorline: int

TCL_INIT_ENTRYPOINT: Final = "tarvo.tcl"
TCL_ALLOWED_ENTRYPOINT_KEYS: tuple[str, ...]
logger: logging.Logger

class TclTimeoutError(TclError, TimeoutError):
    """A Tcl evaluation that ran longer than its time limit, and was cancelled.

    Like the TclError of any failed eval or quick call, it carries errorinfo,
    message, errorcode and errorline.
    """

# A capsule: cast_any as the package's other modules call it in C.
__c_api__: object

@type_check_only
class _EntryPoint(Protocol):
    @property
    def name(self) -> str: ...
    @property
    def module_name(self) -> str: ...
    def load(self) -> Any: ...

def iter_entry_points(group: str) -> Iterator[_EntryPoint]:
    """The entry points of `group`, each with `name`, `module_name` and `load()`."""

class Interpreter(Tk):
    """A Tcl interpreter without Tk, with TclX loaded, call history, quick calls
    (`jot`), typed results and Python callbacks."""

    __MAX_HISTORY__: ClassVar[int]
    history: History
    Jot: _jot.Jot
    jot: _jot.Jot
    __callbacks__: dict[str, Callable[..., object]]
    global_ns: TclNamespace
    local_ns: TclNamespace
    vars: TclVariables
    objs: TclNamespaces
    def __init__(self, *, timeout: float | None = None) -> None: ...
    def _load_entrypoint(self) -> None: ...
    @staticmethod
    def generate_callback_cmd_name(callback: object, mangle_cmd_name: bool = False) -> str: ...
    def create_callback(
        self, callback: Callable[..., object], cmd_name: object = None, force: bool = False
    ) -> TclCommand: ...
    def remove_callback(self, callback: TclCommand | Callable[..., object] | str) -> TclCommand | None: ...
    # With typecast, the result is cast_any's, whose type only the value tells.
    @overload
    def eval(
        self, code: str, typecast: Literal[False] = False, record: bool = True, *, timeout: float | None = None
    ) -> str: ...
    @overload
    def eval(self, code: str, typecast: bool, record: bool = True, *, timeout: float | None = None) -> Any: ...
    def _eval_file(self, path: str, /, *, timeout: float | None = None) -> str: ...
    def get_errorInfo(self) -> str: ...
    def get_array(self, name: str) -> Array[str]: ...
    def get_list(self, name: str) -> tuple[str, ...]: ...
    def get_keyed_list(self, name: str) -> NestMap: ...
    def get_int(self, name: str) -> int: ...
    def get_boolean(self, name: str) -> bool: ...
    def get_double(self, name: str) -> float: ...
    def get_var(self, name: str) -> str: ...
    def set_array(self, name: str, obj: Mapping[str | int, object]) -> None: ...
    def set_keyed_list(self, name: str, obj: Mapping[str, object] | Iterable[tuple[str, object]]) -> None: ...
    def set_var(self, name: str, value: object) -> None: ...
    set_int = set_var
    set_double = set_var
    def set_boolean(self, name: str, value: object) -> None: ...
    def set_list(self, name: str, value: Iterable[object]) -> None: ...
    @overload
    @staticmethod
    def cast_list(value: str, item_cast: None = None) -> tuple[str, ...]: ...
    @overload
    @staticmethod
    def cast_list(value: object, item_cast: None = None) -> tuple[Any, ...]: ...
    @overload
    @staticmethod
    def cast_list(value: object, item_cast: Callable[[Any], _T]) -> tuple[_T, ...]: ...
    def cast_int(self, value: object) -> int: ...
    def cast_double(self, value: object) -> float: ...
    def cast_boolean(self, value: object) -> bool: ...
    @overload
    @staticmethod
    def cast_array(value: object, item_cast: None = None) -> Array[str]: ...
    @overload
    @staticmethod
    def cast_array(value: object, item_cast: Callable[[Any], _T]) -> Array[_T]: ...
    @staticmethod
    def cast_keyed_list(value: object, item_cast: Callable[[Any], object] | None = None) -> NestMap: ...
    # int, float, bool, tuple of str, NestMap or str: the value decides.
    def cast_any(self, value: object) -> Any: ...
    @property
    def timeout(self) -> float | None:
        """The default time limit, in seconds, of eval and quick calls that give none (None: no limit)."""
    @timeout.setter
    def timeout(self, value: float | None) -> None: ...
    def close(self) -> None: ...
    def __enter__(self: _T) -> _T: ...
    def __exit__(self, exc_type: object, exc_value: object, traceback: object, /) -> None: ...

_global_interpreter: Interpreter
