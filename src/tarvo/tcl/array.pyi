from typing import Any, TypeVar

__all__ = ["Array"]

_VT = TypeVar("_VT")

class Array(dict[str, _VT]):
    """Names and values of a Tcl array, in a stable order."""

    @classmethod
    def from_tcl(cls, value: Any) -> Array[str]:
        """Build an Array from the result of Tcl's ``array get`` (its list text,
        a Tcl_Obj, or a tuple or list of alternating names and values)."""
