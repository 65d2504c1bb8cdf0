"""What needs no interpreter, called from 8 threads at once.

The functions below share process-wide caches (kept strs of keys and path
heads, split paths, readings of classes kept for their versions) and module
state.  Each thread calls them in its own order, with keys made afresh so
that the caches keep changing hands, and every answer is checked against
the one computed here on one thread first.  On a free-threaded CPython
(the GIL off) this is where a race would show; with a GIL it checks that
threads see the same answers."""

import os
import random
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

from support.crash import run_isolated

from tarvo.tcl import cast_list
from tarvo.tcl.internal import DictionaryCompare, GetListFromAny
from tarvo.tcl.nestmap import NestMap
from tarvo.tcl.quoten import quoten, tclobj

THREADS = 8
SECONDS = 1.5
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
MODULES = ("quoten", "nestmap", "internal", "history", "jot", "interpreter")


class Sub(NestMap):
    """A subclass: class readings are kept per class and version."""


def fresh(text):
    """`text` as a new str object: the caches keyed by a str's address see a new one."""
    return "".join(list(text))


def nestmap_paths(cls, n):
    """Dotted paths written, read, tested and deleted on a NestMap of its own."""
    m = cls()
    for i in range(n):
        m[fresh(f"k{i % 7}.s{i}.leaf")] = i
    read = [m[fresh(f"k{i % 7}.s{i}.leaf")] for i in range(n)]
    present = [fresh(f"k{i % 7}.s{i}") in m for i in range(n)]
    del m[fresh("k0.s0")]
    return read, present, sorted(m.all_items()), quoten(m)


def shared_reads(m, n):
    return [m.get(fresh(f"a{i % 5}.b{i % 3}")) for i in range(n)], fresh("a1.b1") in m


def build_cases():
    text = " ".join(f"{{key{i} {{value {i}}}}} x{i}" for i in range(30))
    klist = "{id 7} {name {{first Ann} {last Lee}}} " + " ".join(f"{{f{i} {{{{g{i} {i}}}}}}}" for i in range(20))
    shared = NestMap()
    for i in range(5):
        for j in range(3):
            shared[f"a{i}.b{j}"] = f"{i}/{j}"
    words = [f"x{i}" for i in range(40)] + [f"x{i}y" for i in range(0, 40, 3)] + ["X10", "x9", "a b", "ä"]
    return [
        ("GetListFromAny", lambda: GetListFromAny(text)),
        ("GetListFromAny nested", lambda: [GetListFromAny(e) for e in GetListFromAny(klist)]),
        ("GetListFromAny refuses", lambda: pytest.raises(Exception, GetListFromAny, "{a").exconly()),
        ("cast_list", lambda: cast_list(text, str)),
        ("cast_list int", lambda: cast_list(" ".join(map(str, range(200))), int)),
        ("quoten", lambda: quoten([["a b", 1, 2.5, None, True], {"k": "{", "j": ["x y"]}, "$x [y]"])),
        ("quoten ints", lambda: [quoten(i) for i in range(300)]),
        ("tclobj", lambda: tclobj([1, "a b", ("c", "d {")])),
        ("DictionaryCompare", lambda: sorted(words, key=lambda w: [DictionaryCompare(w, v) for v in words])),
        ("from_tcl", lambda: sorted(NestMap.from_tcl(fresh(klist)).all_items())),
        ("from_tcl sub", lambda: sorted(Sub.from_tcl(fresh(klist)).all_items())),
        ("NestMap paths", lambda: nestmap_paths(NestMap, 40)),
        ("Sub paths", lambda: nestmap_paths(Sub, 40)),
        ("shared reads", lambda: shared_reads(shared, 30)),
    ]


def hammer():
    """The cases from THREADS threads at once: what went wrong, as text."""
    cases = build_cases()
    expected = {name: call() for name, call in cases}
    errors = []
    counts = [0] * THREADS
    start = threading.Barrier(THREADS)

    def run(index):
        order = cases[:]
        random.Random(index).shuffle(order)
        start.wait()
        deadline = time.monotonic() + SECONDS
        try:
            while time.monotonic() < deadline:
                for name, call in order:
                    got = call()
                    if got != expected[name]:
                        errors.append(f"thread {index}, {name}: {got!r}")
                        return
                    counts[index] += 1
        except BaseException as error:  # reported, with the thread's number
            errors.append(f"thread {index} raised {error!r}")

    threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if not all(count >= len(cases) for count in counts):
        errors.append(f"some threads did not get through every case: {counts}")
    return errors


def test_eight_threads_get_the_answers_of_one():
    # In a process of its own: on a free-threaded build, memory that other
    # threads touched is freed late, which the leak checks of the tests
    # that follow would count as growth.
    out = run_isolated("import test_free_threading as t\nfor e in t.hammer(): print(e)\nprint('done')")
    assert out == "done\n"


@pytest.mark.skipif(not FREE_THREADED, reason="the GIL is there to stay on this build")
def test_no_module_turns_the_gil_back_on():
    script = (
        "import importlib, sys\n"
        f"for name in {MODULES!r}:\n"
        "    importlib.import_module('tarvo.tcl.' + name)\n"
        "    if sys._is_gil_enabled():\n"
        "        sys.exit('importing tarvo.tcl.%s turned the GIL on' % name)\n"
        "print('GIL off')\n"
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert (out.returncode, out.stdout, out.stderr) == (0, "GIL off\n", "")
