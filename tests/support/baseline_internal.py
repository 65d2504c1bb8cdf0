"""List parsing and dictionary order as interpreted Python, following the
same rules as tarvo.tcl.internal: the baselines the C++ module is measured
against.  The tests also use `DictionaryCompare` here as the oracle of the
C++ one.

The list reader calls Tcl's two routines through ctypes for every element,
on a library handle of its own with its own prototypes, so nothing of the
C++ module runs inside it.
"""
import ctypes
import tkinter

from tarvo.tcl.internal import TclDLL

_tcl = ctypes.CDLL(TclDLL._name)


class Tcl_Interp_p(ctypes.c_void_p):
    @classmethod
    def from_param(cls, interp):
        if isinstance(interp, Tcl_Interp_p):
            return interp
        if interp is None:
            return Tcl_Interp_p()
        if isinstance(interp, tkinter.Tk):
            return Tcl_Interp_p(interp.interpaddr())
        raise ValueError("Unrecognized Tcl interpreter object: %r" % (interp,))


# Tcl_Size: int in Tcl 8, ptrdiff_t in Tcl 9.
_TCL9 = TclDLL.TclCopyAndCollapse.restype is ctypes.c_ssize_t
Tcl_Size = ctypes.c_ssize_t if _TCL9 else ctypes.c_int

_tcl.TclFindElement.argtypes = [
    Tcl_Interp_p, ctypes.c_char_p, Tcl_Size, ctypes.POINTER(ctypes.c_char_p),
    ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(Tcl_Size), ctypes.POINTER(ctypes.c_int),
]
_tcl.TclFindElement.restype = ctypes.c_int
_tcl.TclCopyAndCollapse.argtypes = [Tcl_Size, ctypes.c_char_p, ctypes.c_char_p]
_tcl.TclCopyAndCollapse.restype = Tcl_Size
if _TCL9:  # Tcl_GetStringResult is a macro of these in Tcl 9
    _tcl.Tcl_GetObjResult.argtypes = [Tcl_Interp_p]
    _tcl.Tcl_GetObjResult.restype = ctypes.c_void_p
    _tcl.Tcl_GetString.argtypes = [ctypes.c_void_p]
    _tcl.Tcl_GetString.restype = ctypes.c_char_p

    def _string_result(interp):
        return _tcl.Tcl_GetString(_tcl.Tcl_GetObjResult(interp))
else:
    _tcl.Tcl_GetStringResult.argtypes = [Tcl_Interp_p]
    _tcl.Tcl_GetStringResult.restype = ctypes.c_char_p
    _string_result = _tcl.Tcl_GetStringResult


def _ptr_add(ptr, count):
    p = ctypes.cast(ptr, ctypes.c_void_p)
    p.value += count
    return ctypes.cast(p, type(ptr))


def _ptr_diff(ptr1, ptr2):
    return ctypes.cast(ptr1, ctypes.c_void_p).value - ctypes.cast(ptr2, ctypes.c_void_p).value


def TclError_from_interp(interp, default_msg=None):
    msg = None
    if interp:
        msg = _string_result(interp).decode("utf-8", "replace")
    if not msg:
        msg = default_msg
    if msg:
        raise tkinter.TclError(msg)
    raise tkinter.TclError()


def read_list_text(text, interp=None):
    """The text reading of GetListFromAny, one ctypes call (or two) per element."""
    elemStart, nextElem, hasBrace = ctypes.c_char_p(), ctypes.c_char_p(), ctypes.c_int()
    string = ctypes.c_char_p(str(text).encode("utf-8"))
    length = len(string.value)
    limit = _ptr_add(string, length)
    elemPtrs = []
    p, lenRemain = string, length
    while lenRemain > 0:
        elemSize = Tcl_Size()
        result = _tcl.TclFindElement(
            interp, p, lenRemain, ctypes.byref(elemStart), ctypes.byref(nextElem),
            ctypes.byref(elemSize), ctypes.byref(hasBrace),
        )
        if result != 0:
            TclError_from_interp(interp, "invalid list element")
        if _ptr_diff(elemStart, limit) >= 0:
            break
        elemSize = elemSize.value
        if hasBrace.value:
            s = ctypes.string_at(elemStart, elemSize)
        else:
            buffer = ctypes.create_string_buffer(elemSize + 1)
            elemSize = _tcl.TclCopyAndCollapse(elemSize, elemStart, buffer)
            s = buffer.raw[:elemSize]
        elemPtrs.append(s.decode("utf-8"))
        p = nextElem
        lenRemain = _ptr_diff(limit, nextElem)
    return tuple(elemPtrs)


def DictionaryCompare(left, right):
    """Tcl's dictionary order on code points; a character whose lower-case
    form is longer than one character compares by its first code point."""
    left, right = str(left), str(right)
    idxleft = idxright = 0
    secondaryDiff = diff = 0

    def cleft():
        return left[idxleft] if idxleft < len(left) else "\0"

    def cright():
        return right[idxright] if idxright < len(right) else "\0"

    def cnextleft():
        return left[idxleft + 1] if idxleft < len(left) - 1 else "\0"

    def cnextright():
        return right[idxright + 1] if idxright < len(right) - 1 else "\0"

    while True:
        if cright().isdigit() and cleft().isdigit():
            zeros = 0
            while cright() == "0" and cnextright().isdigit():
                idxright += 1
                zeros -= 1
            while cleft() == "0" and cnextleft().isdigit():
                idxleft += 1
                zeros += 1
            if secondaryDiff == 0:
                secondaryDiff = zeros
            diff = 0
            while True:
                if diff == 0:
                    diff = ord(cleft()) - ord(cright())
                idxright += 1
                idxleft += 1
                if not cright().isdigit():
                    if cleft().isdigit():
                        return 1
                    if diff != 0:
                        return diff
                    break
                if not cleft().isdigit():
                    return -1
            continue
        if idxleft < len(left) and idxright < len(right):
            uniLeft, uniRight = left[idxleft], right[idxright]
            idxleft += 1
            idxright += 1
            diff = ord(uniLeft.lower()[0]) - ord(uniRight.lower()[0])
            if diff != 0:
                return diff
            if secondaryDiff == 0:
                secondaryDiff = ord(uniLeft) - ord(uniRight)
            continue
        diff = ord(cleft()) - ord(cright())
        break
    if diff == 0:
        diff = secondaryDiff
    return diff
