"""General purpose containers."""

import reprlib

__all__ = ['AttrDict']


def _is_dunder(name):
    return len(name) > 4 and name[:2] == '__' and name[-2:] == '__'


class AttrDict(dict):
    """A ``dict`` whose keys can also be reached as attributes.

    ``d.x`` reads ``d['x']``, ``d.x = v`` stores ``d['x'] = v`` and ``del d.x``
    deletes the key.  Attribute access always goes through ``self[...]`` so a
    subclass that overrides the item methods is honoured.  Real attributes and
    methods (``d.items``) win over keys when reading; dunder names never map to
    keys, so protocol probes (copy, pickle, ``hasattr``) behave as for a dict.
    """

    def __getattr__(self, name):
        # Only called when normal attribute lookup has failed.
        if _is_dunder(name):
            raise AttributeError(name)
        try:
            return self[name]
        except KeyError:
            raise AttributeError(
                f'{type(self).__name__!r} object has no attribute {name!r}'
            ) from None

    def __setattr__(self, name, value):
        if _is_dunder(name):
            super().__setattr__(name, value)
        else:
            self[name] = value

    def __delattr__(self, name):
        if _is_dunder(name):
            super().__delattr__(name)
            return
        try:
            del self[name]
        except KeyError:
            raise AttributeError(
                f'{type(self).__name__!r} object has no attribute {name!r}'
            ) from None

    @reprlib.recursive_repr(fillvalue='{...}')
    def __repr__(self):
        # Built through the mapping protocol so subclasses that keep or
        # convert their values differently still show what users read.
        body = ', '.join(f'{key!r}: {self[key]!r}' for key in self)
        return f'{type(self).__name__}({{{body}}})'

    def __dir__(self):
        names = set(super().__dir__())
        names.update(k for k in self if isinstance(k, str) and k.isidentifier())
        return sorted(names)
