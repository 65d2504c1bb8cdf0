"""The interpreter spine: import, eval and recording, against their peers."""
import statistics
import subprocess
import sys
import time

from common import Row, per_call


def fresh_process_seconds(code, runs=15):
    """Median wall time of running `code` in a new interpreter, minus an empty one."""

    def median(source):
        times = []
        for _ in range(runs):
            start = time.perf_counter()
            subprocess.run([sys.executable, "-c", source], check=True)
            times.append(time.perf_counter() - start)
        return statistics.median(times)

    return median(code) - median("pass")


def run():
    import baseline_history
    from tarvo.tcl.history import History
    from tarvo.tcl.interpreter import Interpreter

    rows = []
    ours = fresh_process_seconds("import tarvo.tcl.interpreter")
    peer = fresh_process_seconds(
        "import tkinter; tkinter.Tk(useTk=0).tk.eval('package require Tclx')"
    )
    rows.append(Row("import (shared interpreter ready)", ours, "Tk(useTk=0)+Tclx", peer, at_most=1.3))

    tcl = Interpreter()
    ours = per_call(lambda: tcl.eval("set a 1"))
    peer = per_call(lambda: tcl.tk.eval("set a 1"))
    rows.append(Row("eval('set a 1')", ours, "tk.eval", peer, at_most=1.5))

    words = ["set", "x", "a b"]
    ours_history, peer_history = History(), baseline_history.History()
    ours = per_call(lambda: ours_history.append(words))
    peer = per_call(lambda: peer_history.append(words))
    rows.append(Row("History.append(3 words)", ours, "Python History", peer, at_least_faster=5))
    return rows
