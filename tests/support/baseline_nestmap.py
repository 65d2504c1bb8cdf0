"""NestMap as interpreted Python, following the same rules as
tarvo.tcl.nestmap: the baseline the C++ module is measured against (and,
in the tests, a second opinion on every rule)."""
from collections.abc import MutableMapping

from _tkinter import Tcl_Obj

from tarvo.datastructures import AttrDict

KEYED_LIST_TYPE = "keyedList"
CONFLICT = 'target key "%s" is a value, cannot update value against another keyed list'


class NestMap(AttrDict, MutableMapping):
    def __init__(self, /, *args, **kwargs):
        AttrDict.__init__(self)
        items = dict(*args, **kwargs)
        for key, value in items.items():
            if not isinstance(value, NestMap):
                try:
                    items[key] = NestMap(value)
                except (ValueError, TypeError):
                    pass
        self.update(items)

    @staticmethod
    def from_tcl(string):
        import tarvo.tcl

        cast_list = tarvo.tcl.cast_list
        items = dict([cast_list(element) for element in cast_list(string)])
        for key, value in items.items():
            if not isinstance(value, NestMap):
                try:
                    items[key] = NestMap.from_tcl(value)
                except ValueError:
                    pass
        result = NestMap()
        result.update(items)
        return result

    def __getitem__(self, key):
        if "." in key:
            head, rest = key.split(".", 1)
            return AttrDict.__getitem__(self, head)[rest]
        return AttrDict.__getitem__(self, key)

    def __setitem__(self, key, value):
        if isinstance(value, Tcl_Obj) and value.typename == KEYED_LIST_TYPE:
            value = NestMap.from_tcl(value)
        if "." in key:
            head, rest = key.split(".", 1)
            try:
                sub = self[head]
            except KeyError:
                sub = NestMap()
                AttrDict.__setitem__(self, head, sub)
            else:
                if not isinstance(sub, NestMap):
                    raise KeyError(CONFLICT % head)
            sub[rest] = value
            return
        if isinstance(value, NestMap) and AttrDict.__contains__(self, key):
            if not isinstance(AttrDict.__getitem__(self, key), NestMap):
                raise KeyError(CONFLICT % key)
        AttrDict.__setitem__(self, key, value)

    def __contains__(self, key):
        if "." in key:
            head, rest = key.split(".", 1)
            if not AttrDict.__contains__(self, head):
                return False
            return AttrDict.__getitem__(self, head).__contains__(rest)
        return AttrDict.__contains__(self, key)

    def __delitem__(self, key):
        if "." in key:
            head, rest = key.split(".", 1)
            value = AttrDict.__getitem__(self, head)
            del value[rest]
            if not value:
                AttrDict.__delitem__(self, head)
            return
        AttrDict.__delitem__(self, key)

    get = MutableMapping.get
    pop = MutableMapping.pop
    setdefault = MutableMapping.setdefault

    def update(self, /, *args, **kwargs):
        if len(args) > 1:
            raise TypeError("update() takes at most 1 positional arguments ({} given)".format(len(args)))
        if args:
            other = args[0]
            if isinstance(other, NestMap):
                for path, leaf in other.all_items():
                    self[path] = leaf
            else:
                MutableMapping.update(self, other)
        for key, value in kwargs.items():
            if isinstance(value, NestMap):
                try:
                    sub = self[key]
                except KeyError:
                    sub = NestMap()
                    self[key] = sub
                else:
                    if not isinstance(sub, NestMap):
                        raise KeyError(CONFLICT % key)
                sub.update(value)
            else:
                self[key] = value

    def all_keys(self):
        result = []
        for key, value in self.items():
            if isinstance(value, NestMap):
                for sub in value.all_keys():
                    result.append(key + "." + sub)
            else:
                result.append(key)
        return result

    def all_items(self):
        result = []
        for key, value in self.items():
            if isinstance(value, NestMap):
                for sub, leaf in value.all_items():
                    result.append((key + "." + sub, leaf))
            else:
                result.append((key, value))
        return result

    has_key = __contains__

    def __tclobj__(self):
        from tarvo.tcl.quoten import tclobj

        return tclobj([(key, value) for key, value in self.items()])
