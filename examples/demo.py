"""tarvo.tcl at work: evaluate Tcl, read a Tcl error trace, call Tcl as
Python, read and write keyed lists, publish a Python callback, and list the
history with a marker."""
from tkinter import TclError

from tarvo.tcl.interpreter import Interpreter


def show(label: str, value: object) -> None:
    print(f"{label:<34} {value!r}")


def main() -> None:
    tcl = Interpreter()
    show("TclX loaded", tcl.eval("package present Tclx"))

    # Tcl code, typed results.
    tcl.eval("proc area {w h} {expr {$w * $h}}")
    show("eval('area 3 4')", tcl.eval("area 3 4"))
    show("... with typecast=True", tcl.eval("area 3 4", typecast=True))
    show("quick call jot.area(2.5, 2)", tcl.jot.area(2.5, 2))

    # Keyed lists, written and read as nested mappings.
    tcl.set_keyed_list("::device", {"name.vendor": "acme", "name.model": "x1", "ports": 4})
    show("TclX keylget device name.model", tcl.eval("keylget ::device name.model"))
    device = tcl.get_keyed_list("::device")
    show("get_keyed_list: all_items()", device.all_items())

    # A Python callback whose failure Tcl can read.
    def checksum(text: str) -> int:
        return sum(map(ord, text)) % 256 // len(text.strip())

    tcl.create_callback(checksum)
    show("Tcl calls checksum {ab}", tcl.eval("checksum ab"))

    tcl.history.start_marker("failing")
    for code in ("checksum { }", "proc check {x} {if {$x < 0} {error \"negative: $x\"}}; check -1"):
        try:
            tcl.eval(code)
        except TclError as error:
            print(f"\nTcl's error trace of {code!r}:")
            print("    " + str(error).replace("\n", "\n    "))
    tcl.history.end_marker("failing")

    print("\nthe last five entries of the history:")
    for entry in tcl.history.filter(count=5):
        print("   ", entry)
    print("recorded under the marker 'failing':")
    for entry in tcl.history.filter("failing"):
        print("   ", entry.api)


if __name__ == "__main__":
    main()
