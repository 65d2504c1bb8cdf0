"""Typed results and keyed-list variables, against interpreted Python and
against reading a keyed list leaf by leaf with TclX's own commands."""
from tkinter import TclError

from common import Row, per_call


def leaves_through_tclx(tk, name, prefix=""):
    """Every leaf of the keyed list in `name`, read with keylkeys/keylget."""
    leaves = {}
    for key in tk.splitlist(tk.call("keylkeys", name, *([prefix] if prefix else []))):
        path = f"{prefix}.{key}" if prefix else key
        try:
            nested = tk.splitlist(tk.call("keylkeys", name, path))
        except TclError:  # a value that is no keyed list: a leaf
            nested = ()
        if nested:
            leaves.update(leaves_through_tclx(tk, name, path))
        else:
            leaves[path] = tk.call("keylget", name, path)
    return leaves


def run():
    from baseline_casts import Casts
    from bench_nestmap import keyed_list_text
    from tarvo.tcl.interpreter import Interpreter

    tcl = Interpreter()
    python = Casts(tcl)
    rows = []
    # Tcl's own reading of an integer through tkinter is the peer of the
    # quickest case; the others are measured against interpreted Python.
    assert tcl.cast_any("12") == tcl.tk.getint("12")
    rows.append(Row("cast_any('12')", per_call(lambda: tcl.cast_any("12")),
                    "tk.getint('12')", per_call(lambda: tcl.tk.getint("12")), at_most=1.2))
    targets = {"12": None, "1.5": 10, "true": 10, "hello world": 30, "{a 1} {b {{c 2} {d 3}}}": 20}
    for text, faster in targets.items():
        assert tcl.cast_any(text) == python.cast_any(text)
        rows.append(Row(f"cast_any({text!r})", per_call(lambda: tcl.cast_any(text)),
                        "Python cast_any", per_call(lambda: python.cast_any(text)), at_least_faster=faster))

    tcl.vars["::kl"] = keyed_list_text()
    assert len(tcl.get_keyed_list("::kl").all_keys()) == 1000
    assert len(leaves_through_tclx(tcl.tk, "::kl")) == 1000
    rows.append(Row("get_keyed_list(1,000 leaves)", per_call(lambda: tcl.get_keyed_list("::kl")),
                    "keylkeys/keylget", per_call(lambda: leaves_through_tclx(tcl.tk, "::kl"))))
    return rows
