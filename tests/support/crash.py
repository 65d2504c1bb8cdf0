"""Run code that once crashed the process in a child process, so a
regression fails one test instead of ending the whole run."""
import subprocess
import sys
import textwrap


def run_isolated(code, timeout=120):
    """Runs `code` in a fresh interpreter; returns its stdout.

    Fails with the child's output when it dies from a signal or exits non-zero.
    """
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if child.returncode != 0:
        how = f"signal {-child.returncode}" if child.returncode < 0 else f"exit status {child.returncode}"
        raise AssertionError(f"child process ended with {how}\n{child.stdout}\n{child.stderr}")
    return child.stdout
