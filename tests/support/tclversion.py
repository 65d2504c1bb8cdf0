"""The Tcl that tkinter runs on, for tests whose answers differ between Tcl
8.6 and Tcl 9 (sizes in the C interface, number syntax, encodings)."""
import tkinter

PATCHLEVEL = tkinter.Tcl().eval("info patchlevel")
MAJOR = int(PATCHLEVEL.split(".")[0])
TCL9 = MAJOR >= 9
