"""Start-up: a process that runs an empty Tcl script through the console, and
one that imports the interpreter module, against the floor of any Python that
drives Tcl with TclX (tkinter, one interpreter, `package require Tclx`).

Each is a fresh process, measured side by side in rounds (the best of each),
so that a machine's load falls on all of them alike."""
import os
import subprocess
import sys
import tempfile
import time

from common import Row

ROUNDS = 15


def best_of(commands):
    best = {name: float("inf") for name in commands}
    for _ in range(ROUNDS):
        for name, command in commands.items():
            start = time.perf_counter()
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def run():
    with tempfile.TemporaryDirectory() as folder:
        empty = os.path.join(folder, "empty.tcl")
        open(empty, "w").close()
        times = best_of({
            "floor": [sys.executable, "-c", "import tkinter; tkinter.Tcl().eval('package require Tclx')"],
            "console": [sys.executable, "-m", "tarvo.tcl", empty],
            "import": [sys.executable, "-c", "import tarvo.tcl.interpreter"],
        })
    floor = "tkinter.Tcl() + Tclx"
    return [
        Row("start: console, empty script", times["console"], floor, times["floor"], at_most=1.3),
        Row("start: import tarvo.tcl.interpreter", times["import"], floor, times["floor"], at_most=1.3),
    ]
