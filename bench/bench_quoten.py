"""Tcl value conversion and quick calls, against their peers."""
import tkinter

from common import Row, per_call


def large_input():
    """1,000 items: strings that stand bare, need braces or need escapes,
    numbers, None, booleans, sub-lists and dicts."""
    samples = [
        "plain", "two words", "brace{", "$dollar", "tab\there", "back\\slash", "", "{balanced}", "quote\"d",
        42, -7, 3.25, 1e20, None, True, False, ["a", "b c", [1, 2]], {"key": "value with blanks", "n": 1},
        "é€ unicode", "a]b",
    ]
    return [samples[i % len(samples)] for i in range(1000)]


def run():
    import baseline_quoten
    from tarvo.tcl.interpreter import Interpreter
    from tarvo.tcl.quoten import quoten

    rows = []
    large, small = large_input(), ["alpha", "beta", "gamma"]
    assert quoten(large) == baseline_quoten.quoten(large)

    ours = per_call(lambda: quoten(large))
    peer = per_call(lambda: baseline_quoten.quoten(large))
    rows.append(Row("quoten(1,000 mixed items)", ours, "Python quoten", peer, at_least_faster=30))
    peer = per_call(lambda: tkinter._stringify(large))
    rows.append(Row("quoten(1,000 mixed items)", ours, "tkinter._stringify", peer, at_least_faster=5))
    ours = per_call(lambda: quoten(small))
    peer = per_call(lambda: baseline_quoten.quoten(small))
    rows.append(Row("quoten(3 short strings)", ours, "Python quoten", peer, at_least_faster=10))

    tcl = Interpreter()
    tk = tcl.tk
    ours = per_call(lambda: tcl.jot.set("x", 5, cast_=False))
    peer = per_call(lambda: tk.call("set", "x", 5))
    rows.append(Row("tcl.jot.set('x', 5, cast_=False)", ours, "tk.call('set', 'x', 5)", peer, at_most=2.5))
    return rows
