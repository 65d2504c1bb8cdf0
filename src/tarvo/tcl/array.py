"""Python view of a Tcl array."""

__all__ = ['Array']


class Array(dict):
    """Names and values of a Tcl array, in a stable order.

    A plain ``dict`` otherwise: items keep their insertion order and values of
    existing keys may be replaced while iterating over ``items()``.
    """

    @classmethod
    def from_tcl(cls, value):
        """Build an Array from the result of Tcl's ``array get``.

        ``value`` is the flat list alternating names and values, either as a
        tuple/list of items (used exactly as given) or as Tcl list text, which
        is split with the package's ``cast_list``.
        """
        if isinstance(value, (tuple, list)):
            items = value
        else:
            import tarvo.tcl  # looked up at call time: tarvo.tcl imports us

            items = tarvo.tcl.cast_list(value)
        if len(items) % 2:
            raise ValueError(
                f'a Tcl array list alternates names and values, but this one '
                f'has an odd number of items ({len(items)}): {value!r:.200}'
            )
        it = iter(items)
        return cls(zip(it, it))

    def __repr__(self):
        return f'{type(self).__name__}({dict.__repr__(self)})'
