"""Shared measuring for the benchmarks: time per call, best of several runs,
and one row per comparison against a peer measured in the same run."""
import timeit
from dataclasses import dataclass


def per_call(operation, *, repeat=7, min_time=0.2):
    """Best time of one call of `operation()`, in seconds."""
    timer = timeit.Timer(operation)
    number, _ = timer.autorange()
    number = max(number, int(number * min_time / 0.2))
    return min(timer.repeat(repeat=repeat, number=number)) / number


@dataclass
class Row:
    """`ours` against `peer`: times in seconds per call.

    `at_most` is a target on ours/peer (e.g. 1.5: at most 1.5 times the
    peer's time); `at_least_faster` a target on peer/ours (e.g. 5: at least
    five times faster).  Without either the ratio is only reported.
    """

    what: str
    ours: float
    peer_name: str
    peer: float
    at_most: float = None
    at_least_faster: float = None

    @property
    def ratio(self):
        return self.ours / self.peer

    def target(self):
        if self.at_most is not None:
            return f"<= {self.at_most:g}x the time", self.ratio <= self.at_most
        if self.at_least_faster is not None:
            return f">= {self.at_least_faster:g}x faster", self.peer / self.ours >= self.at_least_faster
        return "report", None


def format_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def print_table(rows):
    header = ("benchmark", "ours", "peer", "peer time", "ours/peer", "speed-up", "target", "met")
    lines = []
    for row in rows:
        target, met = row.target()
        lines.append((
            row.what, format_time(row.ours), row.peer_name, format_time(row.peer),
            f"{row.ratio:.2f}", f"{row.peer / row.ours:.1f}x", target,
            "" if met is None else ("yes" if met else "NO"),
        ))
    widths = [max(len(str(c)) for c in column) for column in zip(header, *lines)]
    for line in [header] + lines:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(line, widths)).rstrip())
