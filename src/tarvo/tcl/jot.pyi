from typing import Any, Literal, NoReturn, overload

from typing_extensions import disjoint_base

from .interpreter import Interpreter, TclError as TclError
from .quoten import quoten as quoten

@disjoint_base
class Jot:
    """Tcl commands as attributes: tcl.jot.ns.proc('a b', opt=1) runs the
    command ns::proc {a b} -opt 1 in the interpreter `tcl`."""

    tcl: Interpreter  # a weak proxy to it
    def __init__(self, tcl: Interpreter) -> None: ...
    def __getattr__(self, name: str, /) -> Jot_Code: ...
    def __call__(self, *args: object, **kwargs: object) -> NoReturn: ...

@disjoint_base
class Jot_Code:
    """One Tcl command named by its parts `cmd`: every attribute access adds a
    part, and a call runs the command."""

    tcl: Interpreter
    cmd: list[str]
    def __init__(self, *cmd: str, tcl: Interpreter) -> None: ...
    # Tcl's result through cast_any, whose type only the value tells; with
    # cast_=False, Tcl's string of it.
    @overload
    def __call__(self, *args: object, cast_: Literal[False], **kwargs: object) -> str: ...
    @overload
    def __call__(self, *args: object, cast_: bool = True, **kwargs: object) -> Any: ...
    def __getattr__(self, name: str, /) -> Jot_Code: ...
