"""Typed results where they are used: quick calls, eval with a typecast,
and a new interpreter, against tkinter doing the same without them."""
import time
import tkinter

from common import Row, per_call


def best_seconds(operation, runs=15):
    """The best time of `runs` calls of an operation that takes milliseconds."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        operation()
        best = min(best, time.perf_counter() - start)
    return best


def run():
    from tarvo.tcl.interpreter import Interpreter

    tcl = Interpreter()
    tk = tcl.tk
    rows = [
        Row("jot.set('x', 'hello world') (cast)", per_call(lambda: tcl.jot.set("x", "hello world")),
            "tk.call", per_call(lambda: tk.call("set", "x", "hello world")), at_most=3),
        Row("jot.set('x', 42) (cast)", per_call(lambda: tcl.jot.set("x", 42)),
            "tk.call", per_call(lambda: tk.call("set", "x", 42)), at_most=2.5),
        Row("eval('set a 1', typecast=True)", per_call(lambda: tcl.eval("set a 1", typecast=True)),
            "tk.eval", per_call(lambda: tk.eval("set a 1")), at_most=2),
    ]

    # A new interpreter after the first, against a bare Tcl interpreter that
    # loads TclX's library itself (the script Tcl found for it).
    load_tclx = tcl.eval("package ifneeded Tclx [package provide Tclx]")

    def bare():
        tkinter.Tk(useTk=0).tk.eval(load_tclx)

    rows.append(Row("Interpreter() (not the first)", best_seconds(Interpreter),
                    "Tk(useTk=0)+load TclX", best_seconds(bare), at_most=2))
    return rows
