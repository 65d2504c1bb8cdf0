import subprocess
import sys

import pytest

import tarvo.tcl


def test_import_starts_no_interpreter():
    script = (
        "import sys, tarvo.tcl; "
        "print('tarvo.tcl.interpreter' in sys.modules, 'tkinter' in sys.modules)"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]


def test_names_of_the_shared_interpreter():
    from tarvo.tcl.interpreter import _global_interpreter

    assert tarvo.tcl.eval("set pkg_level 5") == "5"
    assert _global_interpreter.vars["pkg_level"] == "5"
    assert tarvo.tcl.tk is _global_interpreter.tk
    assert tarvo.tcl.vars is _global_interpreter.vars


def test_submodules_stay_submodules():
    from tarvo.tcl import history

    assert tarvo.tcl.history is history
    assert type(tarvo.tcl.history).__name__ == "module"


@pytest.mark.parametrize("name", ["no_such_name", "_global_interpreter", "__all__"])
def test_unknown_names(name):
    with pytest.raises(AttributeError):
        getattr(tarvo.tcl, name)
