"""Fixtures shared by the test modules."""
import tkinter

import pytest


@pytest.fixture
def tcl():
    """A fresh Interpreter of its own (TclX loaded, start-up hooks run)."""
    from tarvo.tcl.interpreter import Interpreter

    return Interpreter()


@pytest.fixture(scope="session")
def oracle():
    """A plain tkinter Tcl interpreter with TclX: what Tcl itself says."""
    tk = tkinter.Tk(useTk=0).tk
    tk.eval("package require Tclx")
    return tk
