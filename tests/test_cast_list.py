"""The package-level list cast, tarvo.tcl.cast_list."""
import functools

import pytest

import tarvo.tcl
from support import hostile
from support.crash import run_isolated
from tarvo.tcl import internal

cast_list = tarvo.tcl.cast_list


def test_bound_lazily_without_an_interpreter():
    out = run_isolated("""
        import sys, tarvo.tcl
        print("tkinter" in sys.modules, "tarvo.tcl.internal" in sys.modules)
        cast_list = tarvo.tcl.cast_list
        print("tarvo.tcl.internal" in sys.modules, "tarvo.tcl.interpreter" in sys.modules)
        from tarvo.tcl import cast_list as again
        print(vars(tarvo.tcl)["cast_list"] is cast_list is again, cast_list("a {b c}"))
    """)
    assert out.split("\n") == ["False False", "True False", "True ('a', 'b c')", ""]
    assert cast_list is internal._cast_list and cast_list.__name__ == "cast_list" and "cast_list" in dir(tarvo.tcl)


@pytest.mark.parametrize("value, item_cast, expected", [
    ("1 2 3", None, ("1", "2", "3")), ("1 2 3", int, (1, 2, 3)), ("{a b} c\\ d", str.upper, ("A B", "C D")),
    ([1, "2"], str, ("1", "2")), (None, int, ()), (5, None, (5,)), ("", "not callable", ()),
])
def test_cast_list(value, item_cast, expected):
    assert cast_list(value=value, item_cast=item_cast) == expected


def test_tuple_passes_unchanged():
    value = ("1", "2")
    assert cast_list(value) is value and functools.partial(cast_list, item_cast=int)(value) == (1, 2)


def test_malformed_list_is_a_value_error():
    with pytest.raises(ValueError) as info:
        cast_list("a {b")
    error = info.value
    assert type(error) is ValueError and error.args == (error.__cause__,) and str(error) == "invalid list element"
    assert type(error.__cause__) is internal.tkinter.TclError and error.__cause__.args == ("invalid list element",)
    assert error.__suppress_context__ and error.__context__ is error.__cause__


LEAK_CALLS = [
    ("text", lambda: cast_list("a {b c} d\\ e"), None),
    ("item cast", lambda: cast_list("1 2 3", int), None),
    ("malformed", lambda: cast_list("{a"), ValueError),
    ("item cast raises", lambda: cast_list("a b", hostile.boom), hostile.Boom),
    ("item cast not callable", lambda: cast_list("a", "x"), TypeError),
    ("bad str", lambda: cast_list(hostile.BadStr()), hostile.Boom),
]


@pytest.mark.parametrize("name, operation, raises", LEAK_CALLS, ids=[c[0] for c in LEAK_CALLS])
def test_errors_and_leaks(no_leaks, name, operation, raises):
    if raises and raises is not ValueError:  # item_cast's and str()'s errors pass unchanged
        with pytest.raises(raises) as info:
            operation()
        assert info.value.__cause__ is None
    no_leaks(operation, raises=raises)
