import copy
import datetime
import pickle

import pytest

from tarvo.datastructures import AttrDict
from tarvo.utils.utils import get_time, shown


class NestMap(AttrDict):
    def __setitem__(self, key, value):
        super().__setitem__(key, ('seen', value))


def test_attribute_access_maps_to_keys():
    d = AttrDict(a=1)
    d.b = 2
    assert (d.a, d['b'], list(d.items())) == (1, 2, [('a', 1), ('b', 2)])
    del d.a
    for probe in (lambda: d.a, lambda: delattr(d, 'a')):
        with pytest.raises(AttributeError):
            probe()
    d.items = 'key'  # stored as a key; the method still wins on reads
    assert d['items'] == 'key' and callable(d.items)
    assert 'b' in dir(AttrDict(b=1, **{'not one': 2})) and 'not one' not in dir(d)


def test_dunder_names_are_never_keys():
    d = AttrDict({'__deepcopy__': 'x', '__getstate__': 'y'})
    assert not hasattr(d, '__foo__')
    assert copy.deepcopy(d) == d and type(copy.copy(d)) is AttrDict
    assert pickle.loads(pickle.dumps(d)) == d


def test_subclass_dispatch_and_repr():
    m = NestMap()
    m.x = 1
    assert dict.__getitem__(m, 'x') == ('seen', 1)
    assert repr(m) == "NestMap({'x': ('seen', 1)})"
    loop = AttrDict()
    loop.me = loop
    assert repr(loop) == "AttrDict({'me': {...}})"


def test_get_time_is_current_local_time():
    before = datetime.datetime.now()
    now = get_time()
    assert type(now) is datetime.datetime and before <= now <= datetime.datetime.now()
    assert now.strftime('%Y-%m-%dT%H:%M:%S.%f')[-6:] == f'{now.microsecond:06d}'


@pytest.mark.parametrize(
    "text, limit, expected",
    [
        ("abc", 3, "abc"),
        ("abcd", 3, "abc... [1 more character]"),
        ("a" * 12345, 2, "aa... [12,343 more characters]"),
        ("x\udcff\U0001f600y", 10, "x\\udcff\U0001f600y"),  # only what UTF-8 cannot write is escaped
        ("\ud800" * 3, 1, "\\ud800... [2 more characters]"),
    ],
)
def test_shown(text, limit, expected):
    assert shown(text, limit) == expected
