import pytest

from tarvo.tcl.array import Array


@pytest.mark.parametrize('items, expected', [
    (('a', '1', 'b', '2'), {'a': '1', 'b': '2'}),
    (['k (1)', '', 'x', 'a {b}'], {'k (1)': '', 'x': 'a {b}'}),
    ((), {}),
])
def test_from_tcl_items(items, expected):
    array = Array.from_tcl(items)
    assert type(array) is Array and array == expected
    assert type(type('Sub', (Array,), {}).from_tcl(items)).__name__ == 'Sub'


@pytest.mark.parametrize('items', [('a',), ('a', '1', 'b')])
def test_odd_item_count_is_an_error(items):
    with pytest.raises(ValueError, match='odd number'):
        Array.from_tcl(items)


def test_order_and_updates_while_iterating():
    array = Array.from_tcl(('z', '1', 'a', '2', 'm', '3'))
    for key, value in array.items():
        array[key] = value + '!'
    assert repr(array) == "Array({'z': '1!', 'a': '2!', 'm': '3!'})"
