"""``python -m tarvo.tcl``: run a Tcl script, or a Tcl console."""
from collections.abc import Sequence
from typing import TextIO

from .interpreter import Interpreter

USAGE: str
HELP: str
PROMPT: str
CONTINUED: str
LAUNCHER: str

def run_script(
    tcl: Interpreter, path: str, args: Sequence[str], stderr: TextIO, encoding: str | None = None
) -> int:
    """Run the Tcl script `path` with `args` as tclsh would; the exit status."""

class TclChannel:
    """A text stream onto one of Tcl's standard channels; nothing is written
    where the script closed it."""

    tcl: Interpreter
    name: str
    def __init__(self, tcl: Interpreter, name: str) -> None: ...
    def write(self, text: str) -> int: ...
    def flush(self) -> None: ...

class Console:
    """Reads Tcl commands line by line, evaluates each once it is complete,
    and prints its result or its error trace."""

    tcl: Interpreter
    stdin: TextIO
    stdout: TextIO | TclChannel
    stderr: TextIO | TclChannel
    interactive: bool
    typed: bool
    def __init__(
        self, tcl: Interpreter, stdin: TextIO, stdout: TextIO | TclChannel, stderr: TextIO | TclChannel, interactive: bool
    ) -> None: ...
    def run(self) -> int: ...
    def run_as_tclsh(self) -> int: ...
    def prompt(self, name: str) -> None: ...
    def wait_for_input(self) -> None: ...
    def read_line(self, prompt: str) -> str: ...
    def evaluate(self, command: str) -> None: ...
    def console_command(self, line: str) -> bool: ...

def main(argv: Sequence[str] | None = None) -> int:
    """The console or the script runner, for the command line `argv`; the exit status."""

def entry() -> None:
    """The launcher's entry point: main() as the process's exit status."""
