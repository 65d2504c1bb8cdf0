"""What a type checker makes of the API: mypy --strict reads this file and
every assert_type must hold (tests/test_typing.py).  It is never run."""
from typing import Any, Callable, Optional

from typing_extensions import assert_type

import tarvo.tcl
from tarvo.datastructures import AttrDict
from tarvo.tcl.array import Array
from tarvo.tcl.history import Entry, History
from tarvo.tcl.interpreter import Interpreter, TclError
from tarvo.tcl.jot import Jot_Code
from tarvo.tcl.namespace import TclCommand
from tarvo.tcl.nestmap import NestMap
from tarvo.tcl.quoten import quoten, tclobj


def interpreter(tcl: Interpreter) -> None:
    assert_type(tcl.eval("set a 1"), str)
    assert_type(tcl.eval("set a 1", record=False), str)
    assert_type(tcl.eval("set a 1", typecast=True), Any)
    assert_type(tcl.get_int("::a"), int)
    assert_type(tcl.get_list("::l"), tuple[str, ...])
    assert_type(tcl.get_array("::arr"), Array[str])
    assert_type(tcl.get_keyed_list("::kl"), NestMap)
    assert_type(tcl.vars["::a"], str)
    assert_type(tcl.cast_list("1 2", int), tuple[int, ...])
    assert_type(Interpreter.cast_list("1 2"), tuple[str, ...])
    assert_type(tcl.cast_array("a 1", float), Array[float])
    assert_type(tcl.create_callback(print), TclCommand)
    assert_type(tcl.remove_callback("print"), Optional[TclCommand])
    assert_type(tcl.history, History)
    assert_type(tcl.history.filter(count=5), list[Entry])
    assert_type(tcl.tk.call("set", "a"), Any)
    tcl.set_int("::n", 5)
    tcl.set_list("::l", ["a b", 1])


def quick_calls(tcl: Interpreter) -> None:
    assert_type(tcl.jot.ns.proc, Jot_Code)
    assert_type(tcl.jot.set("x", 5), Any)
    assert_type(tcl.jot.set("x", 5, cast_=False), str)


def errors(tcl: Interpreter) -> None:
    try:
        tcl.eval("expr 1/0")
    except TclError as error:
        assert_type(error.errorcode, tuple[str, ...])
        assert_type(error.errorinfo, str)
        assert_type(error.errorline, int)


def package_level() -> None:
    assert_type(tarvo.tcl.cast_list("a b"), tuple[str, ...])
    assert_type(tarvo.tcl.eval("set a 1"), str)
    assert_type(tarvo.tcl.get_double("::x"), float)


def values() -> None:
    assert_type(quoten(["a b", 1]), str)
    assert_type(quoten.from_sequence(("a", "b")), str)
    assert_type(tclobj({"k": 1}), object)
    assert_type(NestMap({"a.b": 1}).all_keys(), list[str])
    assert_type(AttrDict[str, int](a=1).a, int)


def fixtures(tcl_factory: Callable[[], Interpreter]) -> None:
    assert_type(tcl_factory(), Interpreter)
