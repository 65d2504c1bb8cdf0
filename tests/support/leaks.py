"""Reference-leak checks: repeat an operation and watch what keeps growing.

After a warm-up, the operation runs for several rounds of many calls each;
after every round we take the reference counts of its arguments, the number
of memory blocks Python has allocated and, on a debug build, the total
reference count.  Like CPython's own leak hunter, a measure leaks when every
one of the successive deltas is at least 1: caches that fill once, and
counts that wobble, do not trip it.
"""
import gc
import sys


class LeakError(AssertionError):
    pass


def _measures(watched):
    names = ["blocks"]
    if hasattr(sys, "gettotalrefcount"):
        names.append("total refs")
    names += [f"refs of argument {i} ({type(obj).__name__})" for i, obj in enumerate(watched)]
    return names


def _measure(watched, out):
    """Fills `out` in place, so the measuring itself allocates nothing that lasts."""
    gc.collect()
    out[0] = sys.getallocatedblocks()
    first = 1
    if hasattr(sys, "gettotalrefcount"):
        out[1] = sys.gettotalrefcount()
        first = 2
    for index, obj in enumerate(watched):
        out[first + index] = sys.getrefcount(obj)


def check_leaks(operation, *args, raises=None, warmup=3, rounds=4, calls=100, **kwargs):
    """Run `operation(*args, **kwargs)` over and over and fail on a leak.

    `raises` is the exception type every call must raise (to check an error
    path); without it every call must return normally.
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
                    raise AssertionError(f"{operation!r} did not raise {raises.__name__}")

    watched = list(args) + list(kwargs.values())
    names = _measures(watched)
    before, after = [0] * len(names), [0] * len(names)
    deltas = [[0] * rounds for _ in names]
    for _ in range(warmup):
        one_round()
    _measure(watched, before)
    for r in range(rounds):
        one_round()
        _measure(watched, after)
        for i in range(len(names)):
            deltas[i][r] = after[i] - before[i]
        before, after = after, before
    for name, growth in zip(names, deltas):
        if all(delta >= 1 for delta in growth):
            raise LeakError(f"{name} grows on every round of {calls} calls: deltas {growth}")
