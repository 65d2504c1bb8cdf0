"""Objects that misbehave at every hook a C++ walker may call.

Each raises `Boom` (so a test can tell that the exception that comes out is
the one that went in), returns junk, or changes the container being walked.
"""
from collections.abc import Mapping, Sequence


class Boom(Exception):
    """The error every hostile hook raises."""


def boom(*args, **kwargs):
    raise Boom("hostile")


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


class BadNext:
    """Iterable whose iterator yields `good` items, then raises."""

    def __init__(self, good=1):
        self.good = good

    def __iter__(self):
        for index in range(self.good):
            yield str(index)
        raise Boom("hostile")


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
        raise Boom(name)


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
