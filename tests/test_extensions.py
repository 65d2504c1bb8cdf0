"""Binary Tcl extensions from Debian load into an Interpreter and work."""
import tkinter

import pytest
from tkinter import TclError

from support.crash import run_isolated
from support.spawned import require_debian_package

# Tcl package, the Debian packages that may provide it, a script that uses it, what that gives.
EXTENSIONS = [
    ("Expect", ["tcl-expect"], "exp_version", "5.45.4"),
    ("Thread", ["tcl-thread"],
     "set t [thread::create {thread::wait}]; set r [thread::send $t {expr {6 * 7}}]; thread::release $t; set r",
     "42"),
    ("sqlite3", ["libsqlite3-tcl"], "sqlite3 db :memory:; set r [db eval {SELECT 6 * 7}]; db close; set r", "42"),
    ("itcl", ["tcl-itcl4", "itcl3"],
     "itcl::class Counter {variable n 0; method bump {} {incr n}}; Counter c; c bump; c bump", "2"),
    ("tls", ["tcl-tls"], "info commands ::tls::socket", "::tls::socket"),
    ("tdom", ["tdom"], "[[dom parse {<a><b>42</b></a>}] documentElement] asText", "42"),
]


@pytest.mark.parametrize(
    "package, debian, script, result", EXTENSIONS, ids=[e[0] for e in EXTENSIONS]
)
def test_extension_loads_and_works(package, debian, script, result):
    require_debian_package(*debian)
    from tarvo.tcl.interpreter import Interpreter

    # Some of Debian's extensions have no build for Tcl 9 yet (sqlite3):
    # plain tkinter cannot load them either.
    try:
        tkinter.Tcl().eval(f"package require {package}")
    except TclError as error:
        if "compiled for Tcl" not in str(error):
            raise
        pytest.skip(f"Debian's {debian[0]} has no build for Tcl {tkinter.TclVersion}: {error}")

    tcl = Interpreter()
    version = tcl.eval(f"package require {package}")
    assert tcl.eval(f"package present {package}") == version
    assert tcl.eval(script) == result


def test_a_missing_package_gives_tcls_own_message(tcl):
    # As on a machine without the package: once Tcl has looked for packages
    # (and so loaded its handler for unknown ones), it knows of no Expect.
    forget = "catch {package require tarvo_none}; package forget Expect; set ::auto_path {}"
    tcl.eval(forget)
    with pytest.raises(TclError) as failure:
        tcl.eval("package require Expect")
    oracle = tkinter.Tcl().tk
    oracle.eval(forget)
    with pytest.raises(TclError) as plain:
        oracle.eval("package require Expect")
    assert str(plain.value) == "can't find package Expect"
    assert str(failure.value) == str(plain.value) + '\n    while executing\n"package require Expect"'


def test_the_first_interpreter_makes_tcl_s_symbols_global():
    # Debian's Expect is built without Tcl's stubs: in a fresh process it
    # loads only once tkinter's Tcl library has global symbols, and that
    # library must stay the only Tcl in the process.
    require_debian_package("tcl-expect")
    out = run_isolated(r"""
        import re
        from tarvo.tcl.interpreter import Interpreter
        tcl = Interpreter()
        print(tcl.eval("package require Expect"))
        with open("/proc/self/maps") as maps:
            print(len({line.split()[-1] for line in maps if re.search(r"/libtcl\d+\.\d+\.(so|dylib)[.\d]*$", line.strip())}))
    """)
    assert out.split() == ["5.45.4", "1"]
