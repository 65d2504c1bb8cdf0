"""tarvo.tcl at work: evaluate Tcl, read a Tcl error trace, list the history."""
from tkinter import TclError

from tarvo.tcl.interpreter import Interpreter


def main():
    tcl = Interpreter()
    print("TclX", tcl.eval("package present Tclx"), "is loaded")

    tcl.eval("proc greet {who} {return \"hello, $who\"}")
    print("greet:", tcl.eval("greet world"))

    tcl.history.start_marker("failing")
    try:
        tcl.eval("proc check {x} {if {$x < 0} {error \"negative: $x\"}}; check -1")
    except TclError as error:
        print("Tcl's error trace:")
        print("   ", str(error).replace("\n", "\n    "))
    tcl.history.end_marker("failing")

    print("the whole history:")
    for entry in tcl.history.filter():
        print("   ", entry)
    print("recorded under the marker 'failing':")
    for entry in tcl.history.filter("failing"):
        print("   ", entry.api)


if __name__ == "__main__":
    main()
