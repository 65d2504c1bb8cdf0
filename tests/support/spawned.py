"""What the Expect tests need around their spawned programs: where the
program under test is, whether Debian's packages are installed, and a
teardown that leaves no process running and none unreaped."""
import contextlib
import os
import signal
import subprocess
import sys

import pytest

CONSOLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "device_console.py")
PYTHON = sys.executable


def debian_package_installed(name):
    """Whether dpkg knows the Debian package `name` as installed; None
    where there is no dpkg."""
    try:
        out = subprocess.run(
            ["dpkg-query", "-W", "-f=${Status}", name], capture_output=True, text=True, check=False
        )
    except FileNotFoundError:
        return None
    return out.returncode == 0 and "install ok installed" in out.stdout


def require_debian_package(*names):
    """Skips the test unless one of the Debian packages `names` is installed."""
    if not any(debian_package_installed(name) for name in names):
        pytest.skip(f"Debian package {' or '.join(names)} is not installed")


def children():
    """Process ids of this process's children, zombies included."""
    me = os.getpid()
    found = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == me:
            found.add(int(entry))
    return found


def reaped(pid):
    """True when `pid` is no child of ours any more: neither running nor a
    zombie.  (A zombie is reaped by asking.)"""
    try:
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        return True
    return False


def kill_and_reap(pid):
    """Kills our child `pid` and reaps it."""
    with contextlib.suppress(ProcessLookupError):
        os.kill(pid, signal.SIGKILL)
    with contextlib.suppress(ChildProcessError):
        os.waitpid(pid, 0)


def close_spawned(tcl):
    """Closes every spawn id still open in `tcl`; a process of it that is
    still our child is killed and reaped through Expect."""
    for spawn_id in tcl.tk.splitlist(tcl.tk.call("file", "channels", "exp*")):
        spawn_id = str(spawn_id)
        if spawn_id in ("exp0", "exp1", "exp2"):  # Expect's own stdin, stdout, stderr
            continue
        try:
            pid = int(tcl.tk.call("exp_pid", "-i", spawn_id))
        except Exception:  # not a spawn id, or one already done with
            continue
        with contextlib.suppress(Exception):
            tcl.tk.call("close", "-i", spawn_id)
        if pid in children():  # else reaped already: the number may be another's now
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
            with contextlib.suppress(Exception):
                tcl.tk.call("exp_wait", "-i", spawn_id)


@contextlib.contextmanager
def no_leftovers(tcl):
    """On the way out, whatever happened inside: every spawned program of
    `tcl` closed, and every child process started meanwhile killed and
    reaped."""
    before = children()
    try:
        yield
    finally:
        close_spawned(tcl)
        for pid in children() - before:
            kill_and_reap(pid)
