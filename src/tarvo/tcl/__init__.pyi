"""Drive a Tcl interpreter from Python test scripts.

The submodules are reached as attributes; so are the names that the shared
interpreter of tarvo.tcl.interpreter exports, which the first of them starts.
"""
from _tkinter import TkappType

from . import (
    array as array,
    history as history,
    internal as internal,
    interpreter as interpreter,
    jot as jot,
    namespace as namespace,
    nestmap as nestmap,
    quoten as quoten,
)
from .internal import _cast_list
from .quoten import Secret as Secret
from .interpreter import Interpreter as _Interpreter
from .namespace import TclNamespace, TclNamespaces, TclVariables

def __dir__() -> list[str]: ...

cast_list = _cast_list

# The shared interpreter's methods and attributes.  (`history` and `jot` name
# the submodules here; the shared interpreter's are reached through them as
# tarvo.tcl.interpreter._global_interpreter.history and .jot.)
_shared: _Interpreter
generate_callback_cmd_name = _Interpreter.generate_callback_cmd_name
create_callback = _shared.create_callback
remove_callback = _shared.remove_callback
eval = _shared.eval
get_errorInfo = _shared.get_errorInfo
get_array = _shared.get_array
get_list = _shared.get_list
get_keyed_list = _shared.get_keyed_list
get_int = _shared.get_int
get_boolean = _shared.get_boolean
get_double = _shared.get_double
get_var = _shared.get_var
set_array = _shared.set_array
set_keyed_list = _shared.set_keyed_list
set_var = _shared.set_var
set_int = _shared.set_int
set_double = _shared.set_double
set_boolean = _shared.set_boolean
set_list = _shared.set_list
cast_int = _shared.cast_int
cast_double = _shared.cast_double
cast_boolean = _shared.cast_boolean
cast_array = _Interpreter.cast_array
cast_keyed_list = _Interpreter.cast_keyed_list
cast_any = _shared.cast_any
master: None
children: dict[str, object]
tk: TkappType
Jot: jot.Jot
global_ns: TclNamespace
local_ns: TclNamespace
vars: TclVariables
objs: TclNamespaces
