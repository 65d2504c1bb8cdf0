"""tarvo.tcl driving an interactive program through Expect: log in to the
device console of tests/device_console.py with a password that stays out of
the history, read and type back what it prints, watch the conversation from
Python, meet a program that never answers, and end with no process left."""
import os
import sys
from typing import Any
from tkinter import TclError

from tarvo.tcl import Secret
from tarvo.tcl.interpreter import Interpreter

CONSOLE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "device_console.py"))
PROMPT = r"\r\nDC-1> $"


def show(label: str, value: Any) -> None:
    print(f"{label:<36} {value!r}")


def command(tcl: Interpreter, line: str) -> list[str]:
    """Types one command; returns the lines it printed."""
    tcl.jot.send(line + "\r")
    tcl.jot.expect("-re", PROMPT)
    buffer: str = tcl.vars["expect_out(buffer)"]
    return buffer.split("\r\n")[1:-1]


def main() -> None:
    tcl = Interpreter()
    show("package require Expect", tcl.eval("package require Expect"))
    tcl.jot.log_user(0)
    tcl.set_var("timeout", 5)

    pid = tcl.jot.spawn(sys.executable, CONSOLE)
    show("spawned: process id, spawn id", (pid, tcl.vars["spawn_id"]))

    # The password goes to the program, and **** to the history.
    tcl.jot.expect("login: ")
    tcl.jot.send("admin\r")
    tcl.jot.expect("Password: ")
    tcl.jot.send(Secret("hunter2\r"))
    tcl.jot.expect("-re", PROMPT)
    show("after the login", tcl.vars["expect_out(buffer)"])

    for line in command(tcl, "show interfaces"):
        print("   ", line)
    (token_line,) = command(tcl, "token")
    token = token_line.split()[-1]
    show(f"unlock {token} (read back, typed)", command(tcl, "unlock " + token))

    # A Python callback watches the conversation from an expect body.
    tcl.create_callback(lambda text: print("    seen:", repr(text)), cmd_name="seen")
    tcl.jot.send("frobnicate\r")
    tcl.jot.expect("-re", PROMPT, "seen $expect_out(buffer)")

    # A program that never answers ends at the timeout.
    tcl.jot.send("hang\r")
    try:
        tcl.jot.expect("-timeout", 1, "-re", PROMPT, "", "timeout", 'error "no prompt within 1 s"')
    except TclError as error:
        show("expect -timeout 1", str(error).splitlines()[0])
    tcl.jot.close()
    show("exp_wait: pid, spawn id, 0, status", tcl.jot.exp_wait())

    print("\nthe history, with the password masked:")
    for entry in tcl.history.filter(count=0):
        print("   ", repr(entry.api))


if __name__ == "__main__":
    main()
