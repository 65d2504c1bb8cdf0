from typing import Any, TypeVar

__all__ = ["AttrDict"]

_KT = TypeVar("_KT")
_VT = TypeVar("_VT")

class AttrDict(dict[_KT, _VT]):
    """A ``dict`` whose keys can also be reached as attributes."""

    def __getattr__(self, name: str) -> _VT: ...
    def __setattr__(self, name: str, value: Any) -> None: ...
    def __delattr__(self, name: str) -> None: ...
    def __dir__(self) -> list[str]: ...
