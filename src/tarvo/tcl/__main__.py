"""``python -m tarvo.tcl``: run a Tcl script, or a Tcl console.

``python -m tarvo.tcl FILE [ARGS...]`` runs the Tcl script FILE in the shared
Interpreter (TclX loaded), with ``argv0``, ``argv`` and ``argc`` set as tclsh
sets them.  A failing script writes Tcl's error trace to standard error and
exits with status 1; ``exit N`` exits with N.  As with tclsh, ``exit`` and
the end of the script or of the input flush every Tcl channel and close those
the script opened before the process ends, Tcl ended as its own ``exit``
ends it.

Without FILE it is a console: each command is read up to where Tcl's ``info
complete`` finds it whole, evaluated, and its result printed; a failing one
prints Tcl's whole error trace to standard error.  Lines that begin with a
console command (``.help`` lists them) are not Tcl.  When standard input is
not a terminal, commands are read from it as tclsh's main loop reads them:
by Tcl's own stdin channel, with prompts and results only while
``tcl_interactive`` is true (it starts at 0), a failing command's message
without the trace, all written to Tcl's own channels; the exit status is 0
unless a command says ``exit N``.

Ctrl-C stops a script, or the commands read from a pipe, with exit status
130, as a shell reports SIGINT; on a terminal it stops the running command,
or drops the command being typed, and the console goes on.
"""
from __future__ import annotations

import os
import re
import sys
from typing import TYPE_CHECKING, List, Optional, Sequence, TextIO, Union

from tarvo.utils.utils import shown

if TYPE_CHECKING:
    import ctypes

    from .interpreter import Interpreter

USAGE = """\
usage: python -m tarvo.tcl [-encoding NAME] [FILE [ARGS...]]

Runs the Tcl script FILE (read in encoding NAME), with TclX loaded, ARGS in
Tcl's argv; without FILE, a Tcl console (commands from standard input when it
is not a terminal).  As with tclsh, a first word that begins with "-" is no
FILE: the console starts, with every word in argv.
"""

HELP = """\
Everything is Tcl, except these console commands:
  .history [N]    the last N Tcl calls (20 if not given, all for 0), oldest first,
                  each cut after 2,000 characters
  .typed on|off   print results through cast_any, as their Python repr
  .help           this text
A command goes on over further lines until Tcl finds it complete.  exit [N]
or the end of input (Ctrl-D) leaves.
"""

PROMPT, CONTINUED = "% ", "> "

def _trace(error: BaseException) -> str:
    """Tcl's whole error trace for `error`."""
    return str(getattr(error, "errorinfo", None) or error)


def _interactive(tcl: Interpreter) -> bool:
    """Whether ::tcl_interactive is true (false where unset or no boolean)."""
    from tkinter import TclError

    try:
        return bool(tcl.tk.getboolean(tcl.tk.call("set", "::tcl_interactive")))
    except TclError:
        return False


def _flush_tcl(tcl: Interpreter) -> None:
    """Write out what Tcl's stdout channel holds, so that it comes before
    what Python prints next."""
    from tkinter import TclError

    try:
        tcl.tk.call("flush", "stdout")
    except TclError:  # closed or replaced by the script
        pass


# tkinter deletes Tcl's `exit` from every interpreter it makes.  Ours ends
# the process at once, as Tcl's does, once everything written is out: every
# channel flushed, those the script opened closed.
_EXIT = """
namespace eval ::tarvo::console {}
proc ::exit {{returnCode 0}} {
    if {![string is integer -strict $returnCode]} {
        return -code error "expected integer but got \\"$returnCode\\""
    }
    ::tarvo::console::close_channels
    ::tarvo::console::end_process [expr {$returnCode & 0xFF}]
}
# What Tcl's own exit does with the channels on its way out: each one
# flushed and closed, without waiting for the processes of a command
# pipeline.  The standard channels are only flushed.  A blocking channel
# waits until all is written; a non-blocking one writes what it can and
# drops the rest, unless TCL_FLUSH_NONBLOCKING_ON_EXIT (other than 0) asks
# for all of it.
proc ::tarvo::console::close_channels {} {
    set all [expr {[info exists ::env(TCL_FLUSH_NONBLOCKING_ON_EXIT)]
                   && $::env(TCL_FLUSH_NONBLOCKING_ON_EXIT) ne "0"}]
    foreach chan [chan names] {
        if {$all} {catch {chan configure $chan -blocking 1}}
        catch {flush $chan}
        if {$chan ni {stdin stdout stderr}} {
            catch {chan configure $chan -blocking 0}
            catch {close $chan}
        }
    }
}
"""


# What tclsh's main loop needs of Tcl, for commands read from a pipe.
_MAIN_LOOP = """
namespace eval ::tarvo::console {variable interactive $::tcl_interactive}
# tclsh links tcl_interactive to a boolean of its own: a value that is no
# boolean is undone and refused.
proc ::tarvo::console::interactive_written args {
    variable interactive
    if {[string is boolean -strict $::tcl_interactive]} {
        set interactive $::tcl_interactive
        return
    }
    set ::tcl_interactive $interactive
    return -code error "variable must have boolean value"
}
trace add variable ::tcl_interactive write ::tarvo::console::interactive_written
# The next line of standard input after a "+"; "-" where a non-blocking
# stdin holds no whole line yet; empty at its end, on an error, or where
# there is no stdin (the script closed it).
proc ::tarvo::console::next_line {} {
    if {[catch {chan gets stdin line} length]} {return {}}
    if {$length >= 0} {return +$line}
    if {![catch {chan blocked stdin} blocked] && $blocked} {return -}
    return {}
}
"""


class TclChannel:
    """A text stream onto one of Tcl's standard channels, as tclsh's main
    loop writes to them: nothing is written where the script closed it."""

    def __init__(self, tcl: Interpreter, name: str) -> None:
        self.tcl, self.name = tcl, name

    def write(self, text: str) -> int:
        from tkinter import TclError

        try:
            self.tcl.tk.call("puts", "-nonewline", self.name, text)
        except TclError:
            pass
        return len(text)

    def flush(self) -> None:
        from tkinter import TclError

        try:
            self.tcl.tk.call("flush", self.name)
        except TclError:
            pass


def _end_process(code: str) -> None:
    """Ends the process as Tcl's exit does: Tcl finalized, so that a channel
    that no interpreter names any more (a socket closed inside the callback
    that accepted it, one of a deleted child interpreter) is still flushed
    and closed.  Ctrl-C meanwhile ends the process, as it ends tclsh."""
    import signal

    sys.stdout.flush()
    sys.stderr.flush()
    library = _tcl_library()
    if library is not None:
        try:
            signal.signal(signal.SIGINT, signal.SIG_DFL)
        except ValueError:  # not the main thread: its handler stays
            pass
        library.Tcl_Finalize()
    os._exit(int(code))


def _give_exit(tcl: Interpreter) -> None:
    tcl.tk.eval(_EXIT)
    tcl.tk.createcommand("::tarvo::console::end_process", _end_process)


def _start(tcl: Interpreter, argv0: str, args: Sequence[str], interactive: bool) -> None:
    """Tcl as tclsh starts it: tclsh's `exit`, and the globals argv0, argv,
    argc and tcl_interactive."""
    _give_exit(tcl)
    tcl.global_ns.vars["argv0"] = argv0
    tcl.global_ns.vars["argv"] = tuple(args)
    tcl.global_ns.vars["argc"] = len(args)
    tcl.global_ns.vars["tcl_interactive"] = int(interactive)


def _leave(tcl: Interpreter, status: int) -> int:
    """Ends as tclsh ends a script or its input: through Tcl's `exit` command
    with `status` (which the script may have replaced).  Where that returns,
    the channels are closed all the same, and `status` is the exit status."""
    from tkinter import TclError

    for command in (f"exit {status}", "::tarvo::console::close_channels"):
        try:
            tcl.eval(command, record=False)
        except TclError:  # an `exit` or a namespace of the script's own
            pass
        except KeyboardInterrupt:  # Ctrl-C again, while a channel would not take its output
            return 130
    return status


def run_script(
    tcl: Interpreter, path: str, args: Sequence[str], stderr: TextIO, encoding: Optional[str] = None
) -> int:
    """Run the Tcl script `path` with `args` as tclsh would; the exit status.
    `encoding`: that of the file (tclsh's -encoding), None for the system's.
    Ctrl-C stops it with KeyboardInterrupt."""
    from tkinter import TclError

    _start(tcl, path, args, interactive=False)
    try:
        if encoding is None:
            # Tcl's own file evaluation, as tclsh runs its script, watched
            # as eval is: Python's signal handlers run while Tcl works.
            tcl._eval_file(path)
        else:
            _source(tcl, path, encoding)
    except TclError as error:
        stderr.write(_trace(error) + "\n")
        return 1
    finally:
        _flush_tcl(tcl)
    return 0


def _source(tcl: Interpreter, path: str, encoding: str) -> None:
    """The file read in `encoding`: by `source -encoding`, which tkinter's
    file evaluation lacks.  Its error trace ends where tclsh's does, at the
    file; `info frame` counts the `source` command's frame too."""
    from tkinter import TclError

    from .quoten import quoten

    command = str(quoten(["source", "-encoding", encoding, path]))
    try:
        tcl.eval(command, record=False)
    except TclError as error:
        trace = _trace(error)
        for how in ("invoked from within", "while executing"):
            suffix = f'\n    {how}\n"{command}"'
            if trace.endswith(suffix):
                error.errorinfo = trace[: -len(suffix)]  # type: ignore[attr-defined]
        raise


class Console:
    """Reads Tcl commands line by line, evaluates each once it is complete,
    and prints its result or its error trace."""

    def __init__(
        self,
        tcl: Interpreter,
        stdin: TextIO,
        stdout: Union[TextIO, TclChannel],
        stderr: Union[TextIO, TclChannel],
        interactive: bool,
    ) -> None:
        self.tcl = tcl
        self.stdin, self.stdout, self.stderr = stdin, stdout, stderr
        self.interactive = interactive
        self.typed = False

    def run(self) -> int:
        """Read and evaluate commands up to the end of input; the exit status."""
        pending: List[str] = []
        while True:
            try:
                line = self.read_line(CONTINUED if pending else PROMPT)
            except EOFError:
                break
            except KeyboardInterrupt:
                if not self.interactive:
                    raise
                self.stdout.write("\n")  # as at Python's prompt: the command is dropped
                pending = []
                continue
            if not pending and self.console_command(line):
                continue
            pending.append(line + "\n")
            command = "".join(pending)
            if self.tcl.tk.getboolean(self.tcl.tk.call("info", "complete", command)):
                pending = []
                self.evaluate(command)
        if pending:  # cut off: Tcl tells what is missing
            self.evaluate("".join(pending))
        return 0

    def run_as_tclsh(self) -> int:
        """Read commands from Tcl's own stdin and evaluate them as tclsh's
        main loop does: a script's `gets stdin` reads the lines that follow
        its command, prompts (``tcl_prompt1``, ``tcl_prompt2``) and results
        only while ::tcl_interactive is true, and a command cut off by the
        end of input dropped.  The exit status."""
        tk = self.tcl.tk
        tk.eval(_MAIN_LOOP)
        pending: List[str] = []
        prompt: Optional[str] = "tcl_prompt1"  # None once shown
        while True:
            if prompt is not None and _interactive(self.tcl):
                self.prompt(prompt)
                prompt = None
            self.wait_for_input()
            got = tk.eval("::tarvo::console::next_line")  # a string, where call() may give a tuple
            if not got:
                break
            if got == "-":
                continue
            line = got[1:]
            if not pending and self.console_command(line):
                prompt = "tcl_prompt1"
                continue
            pending.append(line + "\n")
            command = "".join(pending)
            if not tk.getboolean(tk.call("info", "complete", command)):
                prompt = "tcl_prompt2"
                continue
            pending, prompt = [], "tcl_prompt1"
            self.evaluate(command)
            if tk.getboolean(tk.call("catch", "chan configure stdin -blocking")):  # the command closed stdin
                break
        return 0

    def prompt(self, name: str) -> None:
        """Show the prompt `name` as tclsh does: the script in that variable
        of Tcl's, or else "% " for a new command and nothing within one; a
        failing script's message goes to stderr, then the default prompt."""
        from tkinter import TclError

        tk = self.tcl.tk
        try:
            script = tk.eval(f"::set ::{name}")
        except TclError:
            script = None
        if script is not None:
            try:
                self.tcl.eval(script, record=False)
            except TclError as error:
                tk.call("append", "::errorInfo", "\n    (script that generates prompt)")
                self.stderr.write(str(getattr(error, "message", None) or error) + "\n")
                self.stderr.flush()
                script = None
        if script is None and name == "tcl_prompt1":
            self.stdout.write(PROMPT)
        self.stdout.flush()

    def wait_for_input(self) -> None:
        """Wait, where Ctrl-C can stop it, until standard input has something
        to read (Tcl's read goes on waiting through a signal).  Where Tcl
        holds input already, or stdin is no longer file descriptor 0, Tcl
        waits itself."""
        import select

        from tkinter import TclError

        try:
            if int(self.tcl.tk.call("chan", "pending", "input", "stdin")) > 0:
                return
            select.select([0], [], [])
        except (TclError, OSError, ValueError):
            pass

    def read_line(self, prompt: str) -> str:
        if self.interactive:
            if self.stdin is sys.stdin:
                return input(prompt)  # with readline's editing, where it is loaded
            self.stdout.write(prompt)
            self.stdout.flush()
        line = self.stdin.readline()
        if not line:
            raise EOFError
        return line[:-1] if line.endswith("\n") else line

    def evaluate(self, command: str) -> None:
        from tkinter import TclError

        if not command.strip():
            return
        self.stdout.flush()
        try:
            # Without the newline that ended its last line, as the history shows it.
            result = self.tcl.eval(command[:-1] if command.endswith("\n") else command, typecast=self.typed)
        except TclError as error:
            _flush_tcl(self.tcl)
            # On a terminal, the whole trace; read from a pipe, Tcl's
            # message alone, as tclsh writes it there.
            shown = _trace(error) if self.interactive else str(getattr(error, "message", None) or error)
            self.stderr.write(shown + "\n")
            self.stderr.flush()
            return
        except Exception as error:  # a cast_any that fails, for one
            _flush_tcl(self.tcl)
            self.stderr.write(f"{type(error).__name__}: {error}\n")
            self.stderr.flush()
            return
        except KeyboardInterrupt:  # Ctrl-C stops the command, and the console goes on
            if not self.interactive:
                raise
            _flush_tcl(self.tcl)
            self.stderr.write("\nKeyboardInterrupt\n")
            self.stderr.flush()
            return
        _flush_tcl(self.tcl)
        # As tclsh: results only while ::tcl_interactive is true, which it
        # is for a terminal (a script may change it).
        if not _interactive(self.tcl):
            return
        if self.typed:
            self.stdout.write(f"{result!r}\n")
        elif result:
            self.stdout.write(f"{result}\n")
        self.stdout.flush()

    def console_command(self, line: str) -> bool:
        """Carry out `line` if it is a console command, and say whether it was."""
        words = line.split()
        if not words or words[0] not in (".history", ".typed", ".help"):
            return False
        name, args = words[0], words[1:]
        if name == ".help" and not args:
            self.stdout.write(HELP)
        elif name == ".typed" and len(args) <= 1 and (not args or args[0] in ("on", "off")):
            if args:
                self.typed = args[0] == "on"
            self.stdout.write(f"typed results {'on' if self.typed else 'off'}\n")
        elif name == ".history" and len(args) <= 1 and (not args or re.fullmatch("[0-9]+", args[0])):
            for entry in self.tcl.history.filter(count=int(args[0]) if args else 20):
                # Commands made of words as Tcl quotes a list: pasted, they rerun.
                line = f"{entry.timestamp.strftime('%Y-%m-%dT%H:%M:%S.%f')}: {entry.script}"
                self.stdout.write(shown(line).replace("\n", "\n    ") + "\n")
        else:
            usage = {".help": ".help", ".typed": ".typed on|off", ".history": ".history [N]"}[name]
            self.stderr.write(f"usage: {usage}\n")
        self.stdout.flush()
        return True


# The program that runs Tcl scripts as this console does, installed with the
# distribution: Tcl's `info nameofexecutable` names it in the console, so
# that tcltest's child interpreters and `exec [info nameofexecutable] ...`
# run this console again, not Python on Tcl text.
LAUNCHER = "tarvo-tclsh"


def _launcher() -> Optional[str]:
    """The path of LAUNCHER for this Python: beside its executable (a venv's
    bin, say), else the first on PATH; None where it is not installed."""
    folders = [os.path.dirname(sys.executable)] + os.environ.get("PATH", "").split(os.pathsep)
    for folder in folders:
        path = os.path.join(folder or os.curdir, LAUNCHER)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
    return None


def _name_the_executable() -> None:
    """Make Tcl's `info nameofexecutable` the launcher, where it is found.
    Tcl keeps the name per process: tkinter gave it Python's."""
    path = _launcher()
    library = _tcl_library()
    if path is None or library is None:
        return
    import ctypes

    find_executable = library.Tcl_FindExecutable
    find_executable.argtypes, find_executable.restype = [ctypes.c_char_p], None
    find_executable(os.fsencode(path))


def _tcl_library() -> Optional[ctypes.PyDLL]:
    """The Tcl library that tkinter runs on, found through `_tkinter` itself
    (already loaded: RTLD_NOLOAD loads nothing); None where it lacks the
    routines the console calls.  Called with the GIL held: no other Python
    thread can use Tcl meanwhile."""
    import ctypes

    import _tkinter

    where = getattr(_tkinter, "__file__", None)
    try:
        library = ctypes.PyDLL(where, mode=os.RTLD_NOLOAD | os.RTLD_LAZY) if where else ctypes.PyDLL(None)
        library.Tcl_FindExecutable, library.Tcl_Finalize
    except (OSError, AttributeError):
        return None
    library.Tcl_Finalize.argtypes, library.Tcl_Finalize.restype = [], None
    return library


def entry() -> None:
    """The launcher's entry point: main() as the process's exit status."""
    sys.exit(main())


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The console or the script runner, for the command line `argv`
    (sys.argv[1:] if None); the exit status."""
    args = list(sys.argv[1:] if argv is None else argv)
    if args and args[0] in ("-h", "--help"):
        sys.stdout.write(USAGE)
        return 0
    # The shared interpreter: starting a second one would cost as much again.
    from .interpreter import _global_interpreter as tcl

    _name_the_executable()
    # tclsh's command line: ?-encoding name? ?fileName arg ...?, where a
    # first word that begins with "-" is no file: the words are all argv.
    encoding = None
    if len(args) >= 3 and args[0] == "-encoding" and not args[2].startswith("-"):
        encoding, args = args[1], args[2:]
    try:
        if args and (encoding is not None or not args[0].startswith("-")):
            status = run_script(tcl, args[0], args[1:], sys.stderr, encoding)
        else:
            status = _console(tcl, args)
    except KeyboardInterrupt:  # as a shell reports SIGINT
        status = 130
    return _leave(tcl, status)


def _no_input_hook() -> None:
    """Takes away the hook through which tkinter runs Tcl's events while
    input() waits for a line: it sees no signal, so Ctrl-C at the prompt
    would wait for the next line.  tclsh runs no events at its prompt either."""
    import ctypes

    try:
        ctypes.c_void_p.in_dll(ctypes.pythonapi, "PyOS_InputHook").value = None
    except (AttributeError, ValueError):  # a Python without that hook
        pass


def _console(tcl: Interpreter, args: Sequence[str] = ()) -> int:
    """The console on standard input, with `args` as Tcl's argv; its exit
    status."""
    interactive = sys.stdin.isatty()
    _start(tcl, sys.argv[0], args, interactive)
    if interactive:
        try:
            import readline  # noqa: F401  (line editing and history for input())
        except ImportError:
            pass
        _no_input_hook()
        version = tcl.tk.call("info", "patchlevel")
        sys.stdout.write(f"Tcl {version} with TclX, in Python: .help for the console's own commands\n")
        return Console(tcl, sys.stdin, sys.stdout, sys.stderr, True).run()
    # As tclsh: Tcl reads standard input, and writes to its own channels.
    return Console(tcl, sys.stdin, TclChannel(tcl, "stdout"), TclChannel(tcl, "stderr"), False).run_as_tclsh()


if __name__ == "__main__":
    sys.exit(main())
