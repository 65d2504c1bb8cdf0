"""Run code that could crash the process in a child process, so a
regression fails one test instead of ending the whole run.

The child is the same Python with the same environment: under `make
sanitize` it runs checked as well, and its sanitizer reports come back in the
failure message; otherwise faulthandler shows where it died.  It can import `support` like the tests do.
"""
import os
import signal
import subprocess
import sys
import textwrap

_TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Exit statuses that `tools/sanitized.sh` gives ASan and UBSan findings.
_SANITIZER_STATUS = {86: "an AddressSanitizer finding", 87: "an UndefinedBehaviorSanitizer finding"}


def _child_environment():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (_TESTS, env.get("PYTHONPATH")) if p)
    # Sanitizer reports on the child's stderr, where the failure message shows them.
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in env:
            env[name] += ":log_path=stderr"
    return env


def _describe(returncode):
    if returncode < 0:
        try:
            return f"signal {signal.Signals(-returncode).name}"
        except ValueError:
            return f"signal {-returncode}"
    if returncode in _SANITIZER_STATUS:
        return _SANITIZER_STATUS[returncode]
    return f"exit status {returncode}"


def run_isolated(code, timeout=120):
    """Runs `code` in a fresh interpreter; returns its stdout.

    Fails with the child's output when it dies from a signal, a sanitizer
    finding or an uncaught exception, or outlives `timeout` seconds.
    """
    # faulthandler shows where Python was when the child died; under ASan it
    # would take the signal first and leave ASan's report to overflow
    # faulthandler's small signal stack.
    checked = "libasan" in os.environ.get("LD_PRELOAD", "")
    options = [] if checked else ["-X", "faulthandler"]
    child = subprocess.Popen(
        [sys.executable, *options, "-c", textwrap.dedent(code)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=_child_environment(),
    )
    try:
        stdout, stderr = child.communicate(timeout=timeout)
        ended = _describe(child.returncode)
    except subprocess.TimeoutExpired:
        # SIGABRT makes faulthandler print every thread's stack: where it hung.
        child.send_signal(signal.SIGABRT)
        try:
            stdout, stderr = child.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            child.kill()
            stdout, stderr = child.communicate()
        ended = f"no end within {timeout} s (stopped with SIGABRT)"
    if child.returncode != 0:
        raise AssertionError(f"child process ended with {ended}\n--- stdout ---\n{stdout}\n--- stderr ---\n{stderr}")
    return stdout
