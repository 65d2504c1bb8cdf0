"""The casts read text with Tcl's own readers directly where nothing that
the general road consults was replaced.  Both roads must give the same
answer for every input: the same value of the same type, or the same
exception with the same message and the same chain.  The oracle is an
interpreter whose getint and getdouble are not tkinter's own functions
(though they do the same), which sends every cast down the general road."""
import math
import threading
import tkinter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import hostile
from tarvo.tcl.interpreter import Interpreter
from tarvo.tcl.nestmap import NestMap


class GeneralRoad(Interpreter):
    def getint(self, s):
        return tkinter.Misc.getint(self, s)

    def getdouble(self, s):
        return tkinter.Misc.getdouble(self, s)


@pytest.fixture(scope="module")
def roads():
    return Interpreter(), GeneralRoad()


CASTS = ("cast_any", "cast_int", "cast_double", "cast_boolean")


def chain(error):
    """An exception and its chain, as far as a caller can see them."""
    links = []
    while error is not None and len(links) < 5:
        links.append((type(error), str(error), error.__suppress_context__, type(error.__cause__)))
        error = error.__cause__ or error.__context__
    return links


def outcome(cast, value):
    try:
        result = cast(value)
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return "raised", chain(error)
    if isinstance(result, float) and math.isnan(result):
        return "nan", type(result)
    if isinstance(result, NestMap):
        return type(result), result.all_items()
    if isinstance(result, float):
        return type(result), repr(result)  # the sign of a zero too
    return type(result), result


def same_on_both_roads(roads, value, casts=CASTS):
    native, general = roads
    for name in casts:
        assert outcome(getattr(native, name), value) == outcome(getattr(general, name), value), (name, value)


# The design's examples, Tcl's number syntax and the edges of its integers.
EXAMPLES = [
    "12", "0", "1", "-7", "2", "1.5", "0.0", "true", "false", "off", "on", "yes", "no", "maybe", "",
    "hello world", "a b c", "{a 1} {b 2}", "{a 1} {b {{c 2} {d 3}}}", "{a {x y}}", "{a {}}", "{a 1} {a.b 2}",
    "010", "0x10", "0X1f", "0o17", "0b101", "0d12", "1e3", "1E-3", ".5", "5.", "+3", "-0", " 12 ", "\t1.5\n",
    "1 2", "1_000", "Tr", "TRUE", "tRuE", "f", "n", "o", "of", "y", "ye", "nan", "NaN", "-nan", "inf", "-inf",
    "Infinity", "1e999", "-1e999", "1e-999", "9223372036854775807", "9223372036854775808",
    "-9223372036854775808", "-9223372036854775809", "18446744073709551615", "18446744073709551616",
    "0xffffffffffffffff", "0x7fffffffffffffff", "-0x8000000000000000", "9" * 10000, "1" + "0" * 400 + ".5",
    "{", "}", "{a", "a}", '"a b"', "\\", "{a 1} {b", "a\u00e9", "\u00e9\u00e9", "1\u00a0", "\u0661",
    "1\x002", "\x00", "\ud800", "a\udcff", "\U0001f600 1",
    # around the plainest numbers, which are read without asking Tcl
    "-0.0", "0.5", "-0.5", "00.5", "01.5", "08", "-08", "1.50", "1..5", "1.5.", "-.5", "--1", "-", ".", "0.",
    "123456789012345.6", "12345678901234.5", "0.123456789012345", "9007199254740993.0", "1.7976931348623157",
    "999999999999999999", "1000000000000000000", "-999999999999999999", "0.1", "0.3", "2.675", "1.005",
]


@pytest.mark.parametrize("value", EXAMPLES, ids=range(len(EXAMPLES)))
def test_examples(roads, value):
    same_on_both_roads(roads, value)


WORDS = ["true", "false", "yes", "no", "on", "off", "TRUE", "Off", "nan", "inf", "0x", "1e", "{}", "{a 1}"]
text = st.one_of(
    st.text(alphabet="0123456789+-.eExXob trufalsyonTRUFALSYON{}\t\n", max_size=12),
    st.lists(st.sampled_from(WORDS + ["1", "-2", ".5", " ", "{", "}"]), max_size=5).map("".join),
)


@settings(max_examples=400)
@given(text)
def test_random_text(roads, value):
    same_on_both_roads(roads, value)


@settings(max_examples=100)
@given(st.text(max_size=8))
def test_any_text(roads, value):
    same_on_both_roads(roads, value)


@settings(max_examples=300)
@given(st.from_regex(r"-?[0-9]{1,19}(\.[0-9]{1,17})?", fullmatch=True))
def test_decimal_text(roads, value):
    same_on_both_roads(roads, value)


def tcl_objects(tk):
    """Tcl_Obj values of the object types Tcl hands over unconverted."""
    tk.eval("set ::d [dict create a 1 b 2]; dict size $::d")
    tk.eval("keylset ::k a 1 b.c 2")
    tk.eval("set ::r {a+}; regexp $::r aa")
    tk.eval("set ::c list; $::c 1")
    tk.eval("set ::n ::tcl; namespace eval $::n {}")
    tk.eval("set ::i end; lindex {a b} $::i")
    tk.eval("set ::e end-1; lindex {a b} $::e")
    tk.eval("set ::s [string repeat x 3]; string length $::s")
    tk.eval("set ::b [binary format a3 xyz]")
    return [tk.call("set", name) for name in ("::d", "::k", "::r", "::c", "::n", "::i", "::e", "::s", "::b")]


def test_tcl_objects(roads):
    native, _ = roads
    for value in tcl_objects(native.tk):
        same_on_both_roads(roads, value)


def test_scalars_and_containers(roads):
    for value in (5, -3, True, False, 2.5, 0.0, float("nan"), 10**30, None, [1], ("a", 1), {"a": 1}, b"12"):
        same_on_both_roads(roads, value)


@pytest.mark.parametrize("cast", CASTS)
def test_str_that_raises(roads, cast):
    for interp in roads:
        with pytest.raises(hostile.Boom):
            getattr(interp, cast)(hostile.BadStr())


def test_overrides_take_the_general_road(tcl):
    seen = []

    class Counting(Interpreter):
        def cast_int(self, value):
            seen.append(("int", value))
            return super().cast_int(value)

    counting = Counting()
    assert counting.cast_any("true") is True
    assert counting.cast_any("x") == "x"
    # "true" is a boolean word; "x" is tried as an integer again by cast_boolean.
    assert seen == [("int", "true"), ("int", "x"), ("int", "x")]

    # An attribute of the instance shadows the class's cast.
    tcl.cast_double = lambda value: "mine"
    assert tcl.cast_any("1.5") == "mine"
    del tcl.cast_double
    tcl.getint = lambda value: 7
    assert tcl.cast_any("x") == 7 and tcl.cast_int("12") == 7
    del tcl.getint
    assert tcl.cast_any("12") == 12


def test_a_stand_in_tk_takes_the_general_road(tcl):
    class StandIn:
        def __init__(self, tk):
            self.tk = tk

        def getint(self, value):
            return 99

        def __getattr__(self, name):
            return getattr(self.tk, name)

    tcl.tk = StandIn(tcl.tk)
    assert tcl.cast_int("12") == 99
    assert tcl.cast_any("12") == 99


def test_replaced_keyed_list_cast(tcl, monkeypatch):
    monkeypatch.setattr(Interpreter, "cast_keyed_list", staticmethod(lambda value: ("mine", value)))
    assert tcl.cast_any("{a 1}") == ("mine", "{a 1}")
    monkeypatch.undo()
    monkeypatch.setattr(NestMap, "from_tcl", staticmethod(lambda value: ("from_tcl", value)))
    assert tcl.cast_any("{a 1}") == ("from_tcl", "{a 1}")


def test_the_native_road_is_taken(roads):
    # Tcl's refusals on the general road leave their message as the
    # interpreter's result; the native road asks without an interpreter.
    from tarvo.tcl.internal import TclDLL

    with pytest.raises(tkinter.TclError) as refusal:  # Tcl's own words (8.6 and 9 differ)
        tkinter.Tcl().tk.getdouble("hello world")
    for interp, expected in zip(roads, (b"", str(refusal.value).encode())):
        TclDLL.Tcl_ResetResult(interp)
        assert interp.cast_any("hello world") == "hello world"
        assert TclDLL.Tcl_GetStringResult(interp) == expected


def test_replaced_tclerror_is_honoured(tcl, monkeypatch):
    import tarvo.tcl.interpreter as module

    monkeypatch.setattr(module, "TclError", KeyError)
    with pytest.raises(tkinter.TclError):
        tcl.cast_boolean("maybe")
    with pytest.raises(tkinter.TclError):
        tcl.cast_any("maybe")
    assert tcl.cast_any("true") is True


def test_direct_refusals_keep_their_chain(tcl):
    with pytest.raises(ValueError) as info:
        tcl.cast_int("abc")
    assert str(info.value) == 'expected integer but got "abc"'
    assert isinstance(info.value.__context__, tkinter.TclError) and info.value.__cause__ is None
    with pytest.raises(ValueError) as info:
        tcl.cast_boolean("nan")
    assert isinstance(info.value.__cause__, tkinter.TclError)
    assert str(info.value) == 'expected boolean value but got "nan"'


def test_boolean_cast_empties_the_result(tcl):
    from tarvo.tcl.internal import TclDLL

    tcl.tk.call("set", "x", "something")
    tcl.cast_boolean("yes")
    assert TclDLL.Tcl_GetStringResult(tcl) == b""


def test_other_threads_are_refused(tcl):
    errors = []

    def other():
        for cast in CASTS:
            try:
                getattr(tcl, cast)("12")
            except RuntimeError as error:
                errors.append(str(error))

    thread = threading.Thread(target=other)
    thread.start()
    thread.join()
    assert len(errors) == 4 and all("Calling Tcl from different apartment" in e for e in errors)
