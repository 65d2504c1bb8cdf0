import ctypes
import tkinter
from collections.abc import Callable, Sequence
from typing import Any, ClassVar, NoReturn, TypeVar, overload

_T = TypeVar("_T")
_P = TypeVar("_P", bound=ctypes._Pointer[Any] | ctypes.c_void_p | ctypes.c_char_p)

class ReturnCodes:
    """Tcl's completion codes."""

    TCL_OK: ClassVar[int]
    TCL_ERROR: ClassVar[int]
    TCL_RETURN: ClassVar[int]
    TCL_BREAK: ClassVar[int]
    TCL_CONTINUE: ClassVar[int]

TclDLL: ctypes.CDLL
"""The Tcl shared library, with the prototypes of TclFindElement,
TclCopyAndCollapse, Tcl_GetStringResult and Tcl_ResetResult."""

Tcl_WideInt = ctypes.c_longlong

class Tcl_Interp_p(ctypes.c_void_p):
    """A C `Tcl_Interp *`; from_param turns a tkinter.Tk into one."""

    @classmethod
    def from_param(cls, interp: Tcl_Interp_p | tkinter.Misc | None) -> Tcl_Interp_p | None: ...  # type: ignore[override]

class Tcl_ObjType(ctypes.Structure):
    """Tcl's C `Tcl_ObjType`: a type name and four routine addresses."""

    name: bytes | None
    freeIntRepProc: int | None
    dupIntRepProc: int | None
    updateStringProc: int | None
    setFromAnyProc: int | None

class Tcl_Obj(ctypes.Structure):
    """Tcl's C `Tcl_Obj`: one Tcl value."""

    class u_internalRep(ctypes.Union):
        """The internal representation of a Tcl value."""

        class s_twoPtrValue(ctypes.Structure):
            """Two pointers of an internal representation."""

            ptr1: int | None
            ptr2: int | None

        longValue: int
        doubleValue: float
        otherValuePtr: int | None
        wideValue: int
        twoPtrValue: s_twoPtrValue

    refCount: int
    bytes: bytes | None
    length: int
    typePtr: ctypes._Pointer[Tcl_ObjType]
    internalRep: u_internalRep

def _ptr_add(ptr: _P, count: int) -> _P: ...
def _ptr_sub(ptr: _P, count: int) -> _P: ...
def _ptr_diff(ptr1: Any, ptr2: Any) -> int: ...
def TclError_from_interp(interp: Tcl_Interp_p | tkinter.Misc | None, default_msg: str | None = None) -> NoReturn:
    """Raise TclError with the interpreter's result, or `default_msg`."""

def _c_char_p_from_obj(obj: object) -> ctypes.c_char_p: ...

# A tuple is taken as it is, so its items may be anything; from text, every
# element is a str.
@overload
def GetListFromAny(obj: str, interp: tkinter.Misc | Tcl_Interp_p | None = None) -> tuple[str, ...]: ...
@overload
def GetListFromAny(obj: object, interp: tkinter.Misc | Tcl_Interp_p | None = None) -> tuple[Any, ...]: ...
def DictionaryCompare(left: object, right: object) -> int:
    """Compare str(left) and str(right) in Tcl's dictionary order."""

@overload
def _cast_list(value: str, item_cast: None = None) -> tuple[str, ...]: ...
@overload
def _cast_list(value: object, item_cast: None = None) -> tuple[Any, ...]: ...
@overload
def _cast_list(value: object, item_cast: Callable[[Any], _T]) -> tuple[_T, ...]: ...
def _createcommand(app: Any, name: str, callback: Callable[..., object]) -> None: ...
def _tk_ready(obj: object) -> object: ...

_interrupts: dict[int, BaseException]
