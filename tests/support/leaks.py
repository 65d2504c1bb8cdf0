"""Reference-leak checks: repeat an operation and watch what keeps changing.

After a warm-up, the operation runs for several rounds of many calls each;
after every round we take

* the reference counts of its arguments and of None, True and False where
  Python counts them (an entry point that hands out one of them without a
  new reference makes its count fall; one that keeps a reference it should
  have dropped, rise),
* the number of memory blocks Python holds (sys.getallocatedblocks; where
  Python runs on plain malloc, as under `make sanitize`, tracemalloc counts
  the blocks allocated since the check began instead),
* on a debug build of Python, the total reference count.

Like CPython's own leak hunter, a measure leaks when every one of the
successive deltas is at least 1: caches that fill once, and counts that
wobble, do not trip it.  A reference count that falls on every round is an
over-release, a use-after-free in the making, and fails the same way.
"""
import array
import gc
import sys
import sysconfig
import tracemalloc


class LeakError(AssertionError):
    pass


def _mortal(obj):
    """Whether references to `obj` are counted.  Since Python 3.12, None,
    True, False, small ints and interned strings are immortal: their count
    never changes, so watching them tells nothing."""
    before = sys.getrefcount(obj)
    held = [obj]
    counted = sys.getrefcount(obj) != before
    del held
    return counted


_SINGLETONS = tuple((name, obj) for name, obj in (("None", None), ("True", True), ("False", False)) if _mortal(obj))


# On a free-threaded build (the GIL off) CPython frees some memory late once
# any other thread has run, even one that ran only Python code (pytest-xdist's
# own threads are enough): the count of blocks then grows on every round with
# no leak of ours.  There the reference counts are watched, not the blocks;
# every other build counts both.
_FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def _count_blocks_with_tracemalloc():
    """Whether sys.getallocatedblocks() counts nothing (Python on plain malloc)."""
    return sys.getallocatedblocks() == 0


class _Measures:
    """The measures, read into preallocated arrays of C integers: measuring
    allocates nothing that outlives it, or it would itself look like a leak
    (a delta beyond the small-int cache is a new object)."""

    def __init__(self, watched):
        self.watched = list(watched) + [obj for _, obj in _SINGLETONS]
        self.traced = _count_blocks_with_tracemalloc()
        self.names = ["blocks"]
        self.total = hasattr(sys, "gettotalrefcount")
        if self.total:
            self.names.append("total refs")
        self.first_ref = len(self.names)
        self.names += [f"refs of argument {i} ({type(obj).__name__})" for i, obj in enumerate(watched)]
        self.names += [f"refs of {name}" for name, _ in _SINGLETONS]

    def buffer(self):
        return array.array("q", bytes(8 * len(self.names)))

    def blocks(self):
        if _FREE_THREADED:
            return 0
        if self.traced:
            return len(tracemalloc.take_snapshot().traces)
        return sys.getallocatedblocks()

    def read(self, out):
        gc.collect()
        out[0] = self.blocks()
        if self.total:
            out[1] = sys.gettotalrefcount()
        for index, obj in enumerate(self.watched):
            out[self.first_ref + index] = sys.getrefcount(obj)


def check_leaks(operation, *args, raises=None, warmup=3, rounds=4, calls=100, **kwargs):
    """Run `operation(*args, **kwargs)` over and over and fail on a leak.

    `raises` is the exception type (or tuple of types) every call must raise,
    to check an error path; without it every call must return normally.
    """

    def one_round():
        for _ in range(calls):
            try:
                operation(*args, **kwargs)
            except BaseException as exc:  # noqa: B036 - rethrown unless expected
                if raises is None or not isinstance(exc, raises):
                    raise
            else:
                if raises is not None:
                    raise AssertionError(f"{operation!r} did not raise {raises!r}")

    measures = _Measures(list(args) + list(kwargs.values()))
    count = len(measures.names)
    started_tracing = measures.traced and not tracemalloc.is_tracing()
    if started_tracing:
        tracemalloc.start(1)
    # What exists already is left out of the collections that come before
    # each measure: they then take a moment instead of a walk over the whole
    # test session's objects.
    gc.freeze()
    try:
        for _ in range(warmup):
            one_round()
        # A leak grows on every round, for ever; a cache of CPython's own
        # (seen on 3.12 for messages formatted from a raising __str__) grows
        # for a while, less and less, and stops.  So a measure that grew on
        # every round is watched for more rounds before it counts as a leak.
        for _ in range(_ATTEMPTS):
            found = _measure(measures, one_round, count, rounds, calls)
            if not found:
                return
    finally:
        gc.unfreeze()
        if started_tracing:
            tracemalloc.stop()
    raise LeakError("; ".join(found))


# Sets of rounds a suspected leak gets before it is reported.
_ATTEMPTS = 6


def _measure(measures, one_round, count, rounds, calls):
    """Runs `rounds` rounds and returns what leaked on every one of them."""
    before, after = measures.buffer(), measures.buffer()
    deltas = array.array("q", bytes(8 * count * rounds))  # deltas[i * rounds + r]
    measures.read(before)
    for r in range(rounds):
        one_round()
        measures.read(after)
        for i in range(count):
            deltas[i * rounds + r] = after[i] - before[i]
        before, after = after, before
    found = []
    for i, name in enumerate(measures.names):
        growth = deltas[i * rounds : (i + 1) * rounds].tolist()
        if all(delta >= 1 for delta in growth):
            found.append(f"{name} grows on every round of {calls} calls: deltas {growth}")
        elif i >= measures.first_ref and all(delta <= -1 for delta in growth):
            found.append(f"{name} falls on every round of {calls} calls (released too often): deltas {growth}")
    return found
