"""Python callbacks called from Tcl, against tkinter's own createcommand."""
from common import Row, per_call

LOOP = "for {set i 0} {$i < 100000} {incr i} {%s $i}"


def run():
    from tarvo.tcl.interpreter import Interpreter

    tcl = Interpreter()

    def callback(value):
        return value

    tcl.create_callback(callback, cmd_name="ours")
    tcl.tk.createcommand("plain", callback)
    ours = per_call(lambda: tcl.tk.eval(LOOP % "ours"), repeat=3, min_time=0.5)
    peer = per_call(lambda: tcl.tk.eval(LOOP % "plain"), repeat=3, min_time=0.5)
    return [Row("Tcl loop, 100,000 callback calls", ours, "tk createcommand", peer, at_most=1.2)]
