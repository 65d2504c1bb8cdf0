"""Objects that misbehave at every hook a C++ walker may call.

Each raises `Boom` (so a test can tell that the exception that comes out is
the one that went in: `last_raised()`), returns junk, or changes the
container being walked.
"""
import weakref
from collections.abc import Mapping, Sequence


class Boom(Exception):
    """The error every hostile hook raises."""


_last = [None]


def raise_boom(message="hostile"):
    error = Boom(message)
    _last[0] = weakref.ref(error)
    raise error


def boom(*args, **kwargs):
    raise_boom()


def last_raised():
    """The Boom that a hostile hook raised last, while something still holds it."""
    return _last[0]() if _last[0] is not None else None


class BadStr:
    __str__ = boom


class BadRepr:
    __repr__ = boom


class BadBool:
    __bool__ = boom


class BadEq:
    __eq__ = boom
    __hash__ = object.__hash__


class BadHash:
    __hash__ = boom


class BadIter:
    __iter__ = boom


class BadNumber:
    """An integer-like argument whose every conversion raises."""

    __index__ = __int__ = __neg__ = __float__ = boom


class Colliding:
    """Hashes like `like`, so a lookup among keys equal to `like` compares
    with it; the comparison raises, or calls `on_eq()` and answers False."""

    def __init__(self, like, on_eq=None):
        self.like = like
        self.on_eq = on_eq

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        if self.on_eq is None:
            boom()
        self.on_eq()
        return False


class BadNext:
    """Iterable whose iterator yields `good` items, then raises."""

    def __init__(self, good=1):
        self.good = good

    def __iter__(self):
        for index in range(self.good):
            yield str(index)
        raise_boom()


class BadLen(Sequence):
    __len__ = boom

    def __getitem__(self, index):
        raise IndexError(index)


class BadGetItem(Sequence):
    """A sequence of `length` items whose every lookup raises."""

    def __init__(self, length=2):
        self.length = length

    def __len__(self):
        return self.length

    __getitem__ = boom


class BadKeys(Mapping):
    """A mapping whose keys() and iteration raise."""

    def __getitem__(self, key):
        return "v"

    def __len__(self):
        return 1

    __iter__ = boom
    keys = boom


class BadMappingItem(Mapping):
    """A mapping that lists a key its lookup then refuses."""

    def __getitem__(self, key):
        raise KeyError(key)

    def __len__(self):
        return 1

    def __iter__(self):
        return iter(["missing"])


class JunkStr:
    def __str__(self):
        return 5


class JunkBool:
    def __bool__(self):
        return "yes"


class JunkHash:
    def __hash__(self):
        return "x"


class JunkEq:
    """Equality answers an object whose truth raises."""

    def __eq__(self, other):
        return BadBool()

    __hash__ = object.__hash__


class JunkIter:
    def __iter__(self):
        return 5


class JunkLen(Sequence):
    def __len__(self):
        return -1

    def __getitem__(self, index):
        raise IndexError(index)


class JunkKeys(Mapping):
    """A mapping whose keys() is no iterable."""

    def __getitem__(self, key):
        return "v"

    def __len__(self):
        return 1

    def __iter__(self):
        return iter(["k"])

    def keys(self):
        return 5

    def items(self):
        return 5


class MutatingIter:
    """Yields the items of `target` while emptying (or growing) it."""

    def __init__(self, target, grow=False):
        self.target = target
        self.grow = grow

    def __iter__(self):
        for item in list(self.target):
            if self.grow:
                self.target.append(item)
            else:
                self.target.clear()
            yield item


class BadQuoten:
    __quoten__ = boom


class BadTclobj:
    __tclobj__ = boom


class Junk:
    """Protocol hooks that return whatever they were given."""

    def __init__(self, result, hook="__quoten__"):
        self.result = result
        self.hook = hook

    def __getattr__(self, name):
        if name == self.hook:
            return lambda: self.result
        raise AttributeError(name)


class RaisingLookup:
    """An object whose attribute lookup of the protocol hooks raises Boom."""

    def __getattr__(self, name):
        raise_boom(name)


class FalseHooks:
    """Protocol attributes that are present but false: they count as absent."""

    __quoten__ = None
    __tclobj__ = 0

    def __str__(self):
        return "plain"


class Mutator:
    """When converted (str, __quoten__, __tclobj__), empties or grows `target`."""

    def __init__(self, target, grow=False):
        self.target = target
        self.grow = grow

    def _mutate(self):
        if self.grow:
            self.target.append("more")
        else:
            self.target.clear()
        return "mutated"

    def __str__(self):
        return self._mutate()

    def __quoten__(self):
        return self._mutate()

    def __tclobj__(self):
        return self._mutate()


class DictMutator:
    """As a dict value, adds keys to its dict when converted."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        self.target[len(self.target)] = "new"
        return "mutated"

    __quoten__ = __str__
    __tclobj__ = __str__


def entry_points_finding(found):
    """A stand-in for importlib.metadata.entry_points that finds `found` in
    the group tarvo.tcl, through either API: the selection by keyword of
    Python 3.10 and later, or the dict of groups of Python 3.9."""

    def entry_points(**selection):
        return found() if selection else {"tarvo.tcl": found()}

    return entry_points
