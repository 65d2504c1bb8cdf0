"""What differs between machines: which Tcl libraries the loader finds,
which Tcl tkinter was built on, whether TclX is there."""
import shutil
import subprocess
import sys

import pytest

from support.crash import run_isolated
from support.tclversion import PATCHLEVEL, TCL9

# Every routine a Tcl library has that the package might call, each of them
# ending the process.
DECOY_ROUTINES = """
    TclFindElement TclCopyAndCollapse TclResetCancellation Tcl_GetStringResult Tcl_ResetResult
    Tcl_GetObjResult Tcl_GetStringFromObj Tcl_CreateObjCommand Tcl_DeleteCommand Tcl_GetCommandInfo
    Tcl_SetCommandInfo Tcl_EvalObjv Tcl_NewStringObj Tcl_NewListObj Tcl_SetObjResult Tcl_AddObjErrorInfo
    Tcl_SetObjErrorCode Tcl_DbIncrRefCount Tcl_DbDecrRefCount Tcl_CancelEval Tcl_AsyncInvoke
    Tcl_GetReturnOptions Tcl_DictObjGet Tcl_ListObjGetElements Tcl_GetIntFromObj Tcl_GetCurrentThread
    Tcl_GetWideIntFromObj Tcl_GetDoubleFromObj Tcl_GetBooleanFromObj Tcl_GetBignumFromObj
    Tcl_AppendObjToErrorInfo Tcl_GetString Tcl_GetVersion
""".split()
DECOY = "#include <stdlib.h>\n" + "".join(f"void {name}(void) {{ abort(); }}\n" for name in DECOY_ROUTINES)


# The name TclDLL tries first: Tcl 9's where tkinter runs on Tcl 9.
FIRST_NAME = "libtcl9.0.so" if TCL9 else "libtcl8.4.so"


@pytest.fixture(scope="module")
def decoy_library(tmp_path_factory):
    """A Tcl library whose routines abort."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the decoy Tcl library")
    folder = tmp_path_factory.mktemp("decoy")
    (folder / "decoy.c").write_text(DECOY)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(folder / "decoy.so"), str(folder / "decoy.c")],
                   check=True)
    return folder / "decoy.so"


def test_the_cxx_calls_the_tcl_that_tkinter_runs_on(decoy_library):
    # The decoy opens under the first name TclDLL tries (as if it came first
    # on the loader path; tkinter's own library is loaded already), so TclDLL
    # is the decoy, but nothing that works on an interpreter may call into it.
    out = run_isolated(f"""
        import ctypes, tkinter
        real = ctypes.CDLL
        def first_is_decoy(name, *args, **kwargs):
            if name != {FIRST_NAME!r}:
                return real(name, *args, **kwargs)
            library = real({str(decoy_library)!r})
            library._name = name
            return library
        ctypes.CDLL = first_is_decoy
        from tarvo.tcl.interpreter import Interpreter
        from tarvo.tcl.internal import GetListFromAny, TclDLL, TclError_from_interp
        print(TclDLL._name)
        tcl = Interpreter()
        print(GetListFromAny("a {{b c}}", interp=tcl))
        try:
            GetListFromAny("{{a", interp=tcl)
        except tkinter.TclError as error:
            print(error)
        print(tcl.cast_boolean("yes"), tcl.cast_any("{{a 1}}"), tcl.jot.list("a", "b c", cast_=False))
        tcl.create_callback(lambda: "called", cmd_name="cb")
        print(tcl.eval("cb"))
        tcl.eval("set x 1")
        try:
            TclError_from_interp(tcl, "default")
        except tkinter.TclError as error:
            print(error)
    """)
    assert out.splitlines() == [
        FIRST_NAME, "('a', 'b c')", "unmatched open brace in list",
        "True NestMap({'a': '1'}) a {b c}", "called", "1",
    ]


OTHER_VERSION = "8.6" if TCL9 else "9.0"


@pytest.mark.parametrize("version, message", [
    ("8.5", "tkinter runs on Tcl 8.5, but tarvo.tcl supports Tcl 8.6 and 9 only: Tcl 8.5 and older are not "
            "supported"),
    ("8.4", "tkinter runs on Tcl 8.4, but tarvo.tcl supports Tcl 8.6 and 9 only: Tcl 8.5 and older are not "
            "supported"),
    ("10.0", "tkinter runs on Tcl 10.0, whose C interface tarvo.tcl does not know: it supports Tcl 8.6 and 9 only"),
    (OTHER_VERSION, f"tkinter's _tkinter was built for Tcl {OTHER_VERSION}, but the Tcl library it runs on is "
                    f"Tcl {PATCHLEVEL}: the two must be the same version"),
], ids=["8.5", "8.4", "unknown major", "built for another Tcl"])
def test_a_tkinter_of_another_tcl_is_refused(version, message):
    # The modules that call Tcl at import refuse to, before any call.
    out = run_isolated(f"""
        import _tkinter
        _tkinter.TCL_VERSION = {version!r}
        for name in ("internal", "interpreter"):
            try:
                __import__("tarvo.tcl." + name)
            except ImportError as error:
                print(error)
    """)
    assert out.splitlines() == [message, message]


def test_a_missing_tclx_says_where_tclx_comes_from(tmp_path, monkeypatch):
    # tkinter sources ~/.Tk.tcl into every new interpreter: there Tcl is
    # told to look for no package at all.
    (tmp_path / ".Tk.tcl").write_text("package unknown {}\n")
    monkeypatch.setenv("HOME", str(tmp_path))
    out = run_isolated("""
        import tkinter
        try:
            from tarvo.tcl.interpreter import Interpreter
        except tkinter.TclError as error:
            print(type(error).__name__, error.args)
            print(getattr(error, "__notes__", None))
    """)
    kind, notes = out.splitlines()
    assert kind == 'TclError ("can\'t find package Tclx",)'
    if sys.version_info >= (3, 11):
        assert notes == str(["TclX is a system package, not a Python one: on Debian and Ubuntu, install it with "
                             "`apt-get install tclx8.4` (`tcl-tclx` on Debian releases after 13)."])
