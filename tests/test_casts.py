import functools

import pytest

import tarvo.tcl
from tarvo.tcl.array import Array
from tarvo.tcl.interpreter import Interpreter, TclError
from tarvo.tcl.nestmap import NestMap

from support.tclversion import TCL9


# -- list, array and keyed-list casts (no interpreter needed) --------------------


def test_cast_list():
    assert Interpreter.cast_list("1 2 3") == ("1", "2", "3")
    assert Interpreter.cast_list("1 2 3", item_cast=int) == (1, 2, 3)
    assert functools.partial(Interpreter.cast_list, item_cast=int)("4 {5}") == (4, 5)
    assert Interpreter.__dict__["cast_list"].__func__ is tarvo.tcl.cast_list


def test_cast_list_refusal_is_chained():
    with pytest.raises(ValueError) as info:
        Interpreter.cast_list("a {b")
    assert isinstance(info.value.__cause__, TclError)


def test_cast_array():
    array = Interpreter.cast_array("a 1 b 2")
    assert isinstance(array, Array) and array == {"a": "1", "b": "2"}
    assert Interpreter.cast_array("a 1 b 2", item_cast=int) == {"a": 1, "b": 2}


def test_cast_keyed_list():
    klist = Interpreter.cast_keyed_list("{a 1} {b {{c 2} {d 3}}}", item_cast=int)
    assert type(klist) is NestMap
    assert klist.all_items() == [("a", 1), ("b.c", 2), ("b.d", 3)]
    assert Interpreter.cast_keyed_list("{a 1} {b 2}") == {"a": "1", "b": "2"}


# -- number and boolean casts ------------------------------------------------------


@pytest.mark.parametrize(
    "method, value, expected",
    [
        ("cast_int", "12", 12),
        ("cast_int", "0x10", 16),
        ("cast_int", 7, 7),
        ("cast_int", [3], 3),  # refused by tkinter, read through its Tcl string
        ("cast_double", 2, 2.0),
        ("cast_double", "1e3", 1000.0),
        ("cast_boolean", "yes", True),
        ("cast_boolean", "off", False),
        ("cast_boolean", "2", True),
        ("cast_boolean", "-7", True),
        ("cast_boolean", "0.0", False),
        ("cast_boolean", "1.5", True),
        ("cast_boolean", 0, False),
        ("cast_boolean", ["true"], True),
    ],
)
def test_number_and_boolean_casts(tcl, method, value, expected):
    result = getattr(tcl, method)(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "method, value", [("cast_int", 2.0), ("cast_int", "abc"), ("cast_double", "x1"), ("cast_boolean", "maybe")]
)
def test_refusals(tcl, method, value):
    with pytest.raises(ValueError):
        getattr(tcl, method)(value)


# Numbers that Tcl 9 reads differently from Tcl 8.6: a leading zero is no
# longer octal (0o17 is, in both), and underscores may stand between digits.
# The casts read them as the Tcl in use, whose own `string is` and `expr`
# must agree.
@pytest.mark.parametrize("method, text, tcl8, tcl9", [
    ("cast_int", "017", 15, 17),
    ("cast_int", "-010", -8, -10),
    ("cast_int", "0o17", 15, 15),
    ("cast_int", "08", None, 8),
    ("cast_int", "1_000", None, 1000),
    ("cast_int", "-1_000_000", None, -1000000),
    ("cast_int", "0x_ff", None, None),
    ("cast_int", "1__0", None, 10),
    ("cast_double", "1_000.5", None, 1000.5),
    ("cast_double", "017.5", 17.5, 17.5),
    ("cast_double", "017", 15.0, 17.0),
    ("cast_any", "017", 15, 17),
    ("cast_any", "1_000", "1_000", 1000),
    ("cast_any", "1_000.25", "1_000.25", 1000.25),
])
def test_numbers_as_the_tcl_in_use_reads_them(tcl, oracle, method, text, tcl8, tcl9):
    expected = tcl9 if TCL9 else tcl8
    if expected is None:
        kind = "integer" if method == "cast_int" else "double"
        assert oracle.eval(f"string is {kind} -strict {text}") == "0"
        with pytest.raises(ValueError):
            getattr(tcl, method)(text)
        return
    if isinstance(expected, str):  # no number at all
        assert oracle.eval(f"string is double -strict {text}") == "0"
    else:
        reading = "expr {double(%s)}" if isinstance(expected, float) else "expr {%s}"
        assert oracle.eval(reading % text) == str(expected)
    result = getattr(tcl, method)(text)
    assert result == expected and type(result) is type(expected)


def test_boolean_refusal_is_chained_to_tcls_error(tcl):
    with pytest.raises(ValueError) as info:
        tcl.cast_boolean("maybe")
    assert isinstance(info.value.__cause__, TclError)
    assert str(info.value) == str(info.value.__cause__)


# -- guessing ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        ("12", 12),
        ("0", 0),
        ("1", 1),
        ("1.5", 1.5),
        ("true", True),
        ("off", False),
        ("", ""),
        ("hello world", "hello world"),
        ("a b c", "a b c"),
        (("a", 1, True), ("a", "1", "true")),
    ],
)
def test_cast_any(tcl, value, expected):
    result = tcl.cast_any(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("value", [5, True, 2.5])
def test_cast_any_passes_numbers_through(tcl, value):
    assert tcl.cast_any(value) is value


def test_cast_any_keyed_lists(tcl):
    assert tcl.cast_any("{a 1} {b 2}") == NestMap(a="1", b="2")
    tcl.eval("keylset k a.b 1 c 2")
    obj = tcl.tk.call("set", "k")
    assert obj.typename == "keyedList"
    assert tcl.cast_any(obj) == NestMap({"a.b": "1", "c": "2"})


def test_eval_typecast(tcl):
    assert tcl.eval("set a 1", typecast=True) == 1
    assert tcl.eval("list 1 2", typecast=True) == "1 2"
    assert tcl.eval("set b {{x 1}}", typecast=True) == NestMap(x="1")


def test_subclass_overrides(tcl):
    calls = []

    class Mine(Interpreter):
        def cast_int(self, value):
            calls.append("int")
            raise ValueError(value)

        def cast_double(self, value):
            calls.append("double")
            raise ValueError(value)

        def cast_boolean(self, value):
            calls.append("boolean")
            raise ValueError(value)

        @staticmethod
        def cast_keyed_list(value, item_cast=None):
            calls.append("keyed")
            return "mine"

        @staticmethod
        def cast_list(value, item_cast=None):
            return "list"

    mine = Mine()
    assert mine.cast_any("{a 1}") == NestMap(a="1")  # the class's own keyed-list cast
    assert calls == ["int", "double", "boolean"]
    assert mine.cast_any(("a",)) == "list"
    mine.vars["kl"] = "{a 1}"
    assert mine.get_keyed_list("kl") == NestMap(a="1")
    with pytest.raises(ValueError):
        mine.get_int("kl")


@pytest.mark.parametrize("refusal", [TypeError, ValueError])
def test_cast_any_goes_past_a_cast_that_refuses(refusal):
    class Refusing(Interpreter):
        def cast_int(self, value):
            raise refusal(value)

    assert Refusing().cast_any("12") == 12.0  # cast_double took it


@pytest.mark.parametrize("error", [KeyError, ZeroDivisionError, RuntimeError])
def test_cast_any_lets_other_errors_of_a_cast_out(error):
    class Broken(Interpreter):
        def cast_double(self, value):
            raise error("broken")

    with pytest.raises(error, match="broken"):
        Broken().cast_any("1.5")


class OwnInt(Interpreter):
    def cast_int(self, value):
        raise ValueError(value)


@pytest.mark.parametrize("cls", [Interpreter, OwnInt], ids=["plain", "subclass"])
@pytest.mark.parametrize("error, text_back", [(TypeError, True), (ValueError, True), (KeyError, False)])
def test_cast_any_and_a_keyed_list_cast_that_fails(monkeypatch, cls, error, text_back):
    # cast_any's last step is Interpreter.cast_keyed_list: a refusal (TypeError,
    # ValueError) leaves the text as it is, any other error comes out.
    def failing(value, item_cast=None):
        raise error("no keyed list")

    monkeypatch.setattr(Interpreter, "cast_keyed_list", staticmethod(failing))
    tcl = cls()
    if text_back:
        assert tcl.cast_any("{a 1} {é 2}") == "{a 1} {é 2}"
    else:
        with pytest.raises(error, match="no keyed list"):
            tcl.cast_any("{a 1} {é 2}")


# -- variable access -----------------------------------------------------------------


@pytest.mark.parametrize("value, stored", [("no", "1"), ("", "0"), ([], "0"), (0.0, "0"), (3, "1")])
def test_set_boolean(tcl, value, stored):
    tcl.set_boolean("::flag", value)
    assert tcl.get_var("::flag") == stored


@pytest.mark.parametrize("text, expected", [("2", True), ("off", False), ("1.5", True)])
def test_get_boolean(tcl, text, expected):
    tcl.set_var("::flag", text)
    assert tcl.get_boolean("::flag") is expected


def test_numbers_and_aliases(tcl):
    assert Interpreter.__dict__["set_int"] is Interpreter.__dict__["set_var"]
    assert Interpreter.__dict__["set_double"] is Interpreter.__dict__["set_var"]
    tcl.set_int("::n", "abc")
    assert tcl.get_var("::n") == "abc"
    with pytest.raises(ValueError):
        tcl.get_int("::n")
    tcl.set_double("::d", 2.5)
    assert tcl.get_double("::d") == 2.5
    tcl.set_int("::i", 42)
    assert tcl.get_int("::i") == 42


def test_lists(tcl):
    tcl.eval("set ::l {a {b c} d}")
    assert tcl.get_list("::l") == ("a", "b c", "d")
    tcl.set_list("::l", (x for x in ["x y", 1, None, [2, 3]]))
    assert tcl.eval("llength $::l") == "4"
    assert tcl.get_list("::l") == ("x y", "1", "", "2 3")
    with pytest.raises(TypeError):
        tcl.set_list("::l", 5)
    assert tcl.get_list("::l") == ("x y", "1", "", "2 3")  # nothing written


def test_keyed_lists_through_tclx(tcl):
    tcl.set_keyed_list("::kl", {"name.first": "Ada", "name.last": "King", "age": 36})
    assert tcl.eval("keylget ::kl name.first") == "Ada"
    assert tcl.eval("keylkeys ::kl name") == "first last"
    assert tcl.get_keyed_list("::kl") == NestMap({"name.first": "Ada", "name.last": "King", "age": "36"})


def test_set_keyed_list_stores_a_given_nestmap_as_it_is(tcl):
    seen = {}
    tcl.vars = seen
    klist = NestMap(a=1)
    tcl.set_keyed_list("k", klist)
    assert seen["k"] is klist
    tcl.set_keyed_list("d", {"a": {"b": 1}})
    assert type(seen["d"]) is NestMap and seen["d"]["a.b"] == 1


def test_set_keyed_list_refusal_writes_nothing(tcl):
    with pytest.raises(ValueError):
        tcl.set_keyed_list("::kl", "not a mapping")
    assert "::kl" not in tcl.vars


def test_arrays(tcl):
    tcl.set_array("::arr", {"a": 1, "b c": "x"})
    assert tcl.get_array("::arr") == {"a": "1", "b c": "x"}
    assert tcl.eval("set ::arr(b\\ c)") == "x"


def test_missing_variables(tcl):
    for read in (tcl.get_var, tcl.get_int, tcl.get_list, tcl.get_keyed_list, tcl.get_array):
        with pytest.raises(KeyError):
            read("::no_such_variable")


def test_error_info(tcl):
    with pytest.raises(TclError) as info:
        tcl.eval("error boom")
    assert tcl.get_errorInfo() == str(info.value)


# -- leaks ---------------------------------------------------------------------------


LEAK_CALLS = [
    ("cast_int", lambda t: t.cast_int("12"), None),
    ("cast_int refused", lambda t: t.cast_int(2.0), ValueError),
    ("cast_double", lambda t: t.cast_double(2), None),
    ("cast_boolean", lambda t: t.cast_boolean("1.5"), None),
    ("cast_boolean refused", lambda t: t.cast_boolean("maybe"), ValueError),
    ("cast_any", lambda t: (t.cast_any("x y"), t.cast_any("{a 1}"), t.cast_any(("a", 1))), None),
    ("cast_any read natively", lambda t: [t.cast_any(v) for v in ("12", "1.5", "on", "nan", "9" * 30, "a\x00")], None),
    ("cast_any with a NUL", lambda t: t.cast_any("{a \x00}"), None),
    ("cast_double refused", lambda t: t.cast_double("nan"), ValueError),
    ("cast_int of a bignum", lambda t: t.cast_int("9" * 40), None),
    ("cast_list", lambda t: Interpreter.cast_list("a {b"), ValueError),
    ("cast_array", lambda t: Interpreter.cast_array("a 1", item_cast=int), None),
    ("cast_keyed_list", lambda t: Interpreter.cast_keyed_list("{a 1}", item_cast=int), None),
    ("cast_keyed_list refused", lambda t: Interpreter.cast_keyed_list("a b c"), ValueError),
    ("set and get", lambda t: (t.set_var("::v", "3"), t.get_int("::v"), t.get_boolean("::v")), None),
    ("lists", lambda t: (t.set_list("::l", [1, "a b"]), t.get_list("::l")), None),
    ("keyed lists", lambda t: (t.set_keyed_list("::k", {"a.b": 1}), t.get_keyed_list("::k")), None),
    ("arrays", lambda t: (t.set_array("::a", {"x": 1}), t.get_array("::a")), None),
    ("missing", lambda t: t.get_var("::missing"), KeyError),
    ("errorInfo", lambda t: t.get_errorInfo(), None),
]


@pytest.mark.parametrize("name, operation, raises", LEAK_CALLS, ids=[c[0] for c in LEAK_CALLS])
def test_no_leaks(no_leaks, tcl, name, operation, raises):
    no_leaks(operation, tcl, raises=raises)


def test_quick_calls_return_typed_results(tcl):
    assert tcl.jot.set("x", 5) == 5
    assert [e.api for e in tcl.history.filter(count=1)] == ["set x 5"]
    assert tcl.jot.set("y", "1.5") == 1.5
    assert tcl.jot.list("a", "b c") == ("a", "b c")  # tkinter hands a Tcl list over as a tuple
    assert tcl.jot.list("a", "b c", cast_=False) == "a {b c}"
    assert tcl.jot.set("k", "{a 1} {b {{c 2}}}") == NestMap({"a": "1", "b.c": "2"})


@pytest.mark.parametrize("words", [("dict", "create", "a", "1", "b", "c d"), ("dict", "create", "n", "1")])
def test_a_tcl_object_of_another_type_than_keyed_list_casts_as_its_text(tcl, words):
    value = tcl.tk.call(*words)
    assert type(value).__name__ == "Tcl_Obj" and value.typename == "dict"
    assert tcl.cast_any(value) == tcl.cast_any(str(value))
    assert not isinstance(tcl.cast_any(value), NestMap)
