"""Fixtures shared by the test modules.

`tcl`, a fresh Interpreter for each test, comes from the package's own pytest
plugin (tarvo.tcl.pytest_plugin), which pytest loads from its entry point;
pytester runs the plugin's tests on small sample suites.
"""
import signal
import tkinter

import pytest
from hypothesis import settings

# Property tests run on shared, loaded machines: no per-example deadline.
settings.register_profile("tarvo", deadline=None)
settings.load_profile("tarvo")

pytest_plugins = ["pytester"]

# Started in the background by a shell (`make mutation &`), the run has
# SIGINT ignored, and every child would inherit that: a console or script
# that a test interrupts would then never see the signal.  A handler is not
# inherited across exec, so the children start with SIGINT's default again.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture(scope="session")
def oracle():
    """A plain tkinter Tcl interpreter with TclX: what Tcl itself says."""
    tk = tkinter.Tk(useTk=0).tk
    tk.eval("package require Tclx")
    return tk


@pytest.fixture
def no_leaks():
    """check_leaks(operation, *args, raises=None, **kwargs): fails when the
    operation leaks references or memory (see tests/support/leaks.py)."""
    from support.leaks import check_leaks

    return check_leaks


@pytest.fixture
def declared_group(tmp_path, monkeypatch):
    """A distribution on sys.path whose entry points mention the group
    tarvo.tcl, so that looking up start-up hooks asks importlib.metadata
    (which tests may then replace)."""
    dist = tmp_path / "declared_hooks-1.0.dist-info"
    dist.mkdir()
    (dist / "entry_points.txt").write_text("[tarvo.tcl]\nother = os:getcwd\n")
    monkeypatch.syspath_prepend(str(tmp_path))


pytest_plugins = ["pytester"]


@pytest.fixture
def expect():
    """A fresh Interpreter with Expect loaded, output of spawned programs not
    echoed, and a 5 s timeout.  Skips where Debian's tcl-expect is missing.
    Whatever the test leaves spawned is closed, killed and reaped."""
    from support.spawned import no_leftovers, require_debian_package
    from tarvo.tcl.interpreter import Interpreter

    require_debian_package("tcl-expect")
    tcl = Interpreter()
    tcl.eval("package require Expect")
    tcl.jot.log_user(0)
    tcl.vars["::timeout"] = 5
    with no_leftovers(tcl):
        yield tcl
