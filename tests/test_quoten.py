import collections.abc
import enum
import pickle
import sys

import pytest
from hypothesis import given, settings, strategies as st

from support import hostile
from support.crash import run_isolated
from tarvo.tcl import quoten as quoten_module
from tarvo.tcl.quoten import (
    _Tcl_ConvertElement, _Tcl_ScanElement, _tcl_UpdateStringOfList, _quoten_from_mapping, _tclobj_from_mapping,
    _tclobj_from_sequence, quoten, tclobj,
)

NL = "\n"
BS = "\\"


def test_module_top_level():
    names = [n for n in vars(quoten_module) if not n.startswith("__")]
    assert names == [
        "Mapping", "Sequence", "Set", "_tkTcl_Obj", "sys", "_Tcl_ScanElement", "_Tcl_ConvertElement",
        "_tcl_UpdateStringOfList", "_quoten_from_sequence", "_quoten_from_mapping", "quoten", "_sysmaxsize",
        "_long_type", "_tclobj_from_sequence", "_tclobj_from_mapping", "tclobj", "Secret", "_quoten_masked",
    ]
    m = quoten_module
    assert m.Mapping is collections.abc.Mapping and m.sys is sys
    assert m._quoten_from_sequence is _tcl_UpdateStringOfList
    assert (m._sysmaxsize, m._long_type) == (sys.maxsize, int)
    assert (quoten.from_sequence, quoten.from_mapping) == (_tcl_UpdateStringOfList, _quoten_from_mapping)
    assert (tclobj.from_sequence, tclobj.from_mapping) == (_tclobj_from_sequence, _tclobj_from_mapping)


def test_public_functions_behave_like_builtins_with_attributes(monkeypatch):
    assert (quoten.__name__, quoten.__qualname__, quoten.__module__) == ("quoten", "quoten", "tarvo.tcl.quoten")
    assert quoten.__text_signature__ == "(obj)" and "Tcl string" in quoten.__doc__
    assert repr(tclobj) == "<built-in function tclobj>"
    assert pickle.loads(pickle.dumps(quoten)) is quoten
    monkeypatch.setattr(quoten, "from_sequence", len)  # writable, like a Python function's
    assert quoten.from_sequence is len and quoten([1, 2]) == "1 2"

    class Holder:
        q = quoten  # no descriptor: stays unbound, as a builtin does

    assert Holder().q("a b") == "a b"


def python_function():
    pass


@pytest.mark.parametrize("function", [quoten, tclobj], ids=["quoten", "tclobj"])
@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
@pytest.mark.parametrize("value", [5, None, b"name"])
def test_names_refuse_what_a_python_function_refuses(function, attribute, value):
    with pytest.raises(TypeError) as python:
        setattr(python_function, attribute, value)
    before = getattr(function, attribute)
    with pytest.raises(TypeError) as ours:
        setattr(function, attribute, value)
    assert str(ours.value) == str(python.value)
    assert getattr(function, attribute) == before


# -- Tcl list element quoting -------------------------------------------------

ELEMENTS = [
    ("", "{}"), ("a b", "{a b}"), ("{", BS + "{"), ("}", BS + "}"), ("a{b", "a\\{b"), ("a{b}c", "a{b}c"),
    ("{a}", "{{a}}"), (BS, BS * 2), ("a\\b", "{a\\b}"), ("a\\{b}", "a\\\\\\{b\\}"), ("#a", "#a"),
    ("$x", "{$x}"), ("a]", "a\\]"), ('a"b', 'a\\"b'), ('"a', '{"a}'), (NL, "{\n}"), ("{" + NL, "\\{\\n"),
    (BS + NL, BS * 3 + "n"), ("\t\f\v\r", "{\t\f\v\r}"), ("}{" + NL, "\\}\\{\\n"), ("a\0b", "a\0b"),
    ("é€\U0001F600", "é€\U0001F600"), ("{é}\U0001F600", "{{é}\U0001F600}"), ("€ {", "€\\ \\{"),
]


@pytest.mark.parametrize("element, written", ELEMENTS)
def test_single_elements(element, written):
    assert _tcl_UpdateStringOfList([element]) == written
    _, flags = _Tcl_ScanElement(element)
    assert _Tcl_ConvertElement(element, flags) == written


@pytest.mark.parametrize(
    "element, flags",
    [
        ("", {"USE_BRACES"}), ("abc", set()), ("a b\\", {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}),
        ("\\\n ", {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED", "USE_BRACES"}),
        ("}{", {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}),
        ("a\\}", {"USE_BRACES"}),
    ],
)
def test_scan_flags(element, flags):
    estimate, found = _Tcl_ScanElement(string=element)
    assert (estimate, found) == (2 * len(element) + 2, flags)
    assert type(found) is set


def test_convert_with_given_flags():
    flags = set()
    assert _Tcl_ConvertElement("{a}", flags) == "\\{a\\}"
    assert flags == {"BRACES_UNMATCHED"}  # added to the caller's set
    assert _Tcl_ConvertElement(src="a b", flags=["USE_BRACES"]) == "{a b}"
    assert _Tcl_ConvertElement("", {"TCL_DONT_USE_BRACES"}) == "{}"
    assert _Tcl_ConvertElement("{x", frozenset({"USE_BRACES"})) == "{{x}"
    with pytest.raises(AttributeError):  # escaping a leading brace needs add()
        _Tcl_ConvertElement("{x", frozenset())
    with pytest.raises(hostile.Boom):
        _Tcl_ConvertElement("a", hostile.BadIter())


@pytest.mark.parametrize(
    "element, written",
    [("{", "\\{"), ("{}", "\\{\\}"), ("{é}", "\\{é\\}"), ("{€ }", "\\{€\\ \\}")],
)
def test_convert_escapes_a_leading_brace_of_any_length(element, written):
    flags = set()
    assert _Tcl_ConvertElement(element, flags) == written
    assert flags == {"BRACES_UNMATCHED"}


# -- quoten and tclobj --------------------------------------------------------


class Color(enum.IntEnum):
    RED = 1


class Hooked:
    def __init__(self, quoten=None, tclobj=None):
        if quoten is not None:
            self.__quoten__ = lambda: quoten
        if tclobj is not None:
            self.__tclobj__ = lambda: tclobj


class Text(str):
    def __str__(self):
        return "own"


QUOTEN = [
    (None, ""), (True, "true"), (False, "false"), (42, "42"), (-7, "-7"), (2**70, str(2**70)), (1.5, "1.5"),
    (1e20, "1e+20"), (float("inf"), "inf"), ("a b", "a b"), ([1, 2, [3, 4]], "1 2 {3 4}"),
    ({"my key": "my value", "a": "b"}, "{my key} {my value} a b"), ([None, True, ""], "{} true {}"),
    ([[]], "{}"), ([], ""), ({}, ""), (set(), ""), (b"ab", "97 98"), (range(3), "0 1 2"), ({1: [2, 3]}, "1 {2 3}"),
    ((("a b",),), "{{a b}}"), (frozenset(["x y"]), "{x y}"), ({"k": 1}.keys(), "k"), (Color.RED, str(Color.RED)),
    (Text("t"), "own"), (hostile.FalseHooks(), "plain"), (Hooked(quoten="X"), "X"),
    (Hooked(tclobj=("a", "b c")), "a {b c}"), (Hooked(quoten=5), 5),
    ([Hooked(quoten=5), Hooked(quoten=[1, "a b"])], "5 {1 {a b}}"),
    ([Hooked(quoten="a b")], "{a b}"), (Hooked(quoten="Q", tclobj="T"), "Q"),
]


@pytest.mark.parametrize("value, text", QUOTEN)
def test_quoten(value, text):
    assert quoten(value) == text
    assert type(quoten(value)) is type(text)


TCLOBJ = [
    (None, ""), (5, 5), (-2**63, -2**63), (2**63 - 1, 2**63 - 1), (2**63, "9223372036854775808"),
    (-2**63 - 1, "-9223372036854775809"), ([1, "a", [2, None]], (1, "a", (2, ""))),
    ({"a": 1, "b": [2]}, ("a", 1, "b", (2,))),
    (set(), ()), ([], ()), (Color.RED, str(Color.RED)), (Hooked(quoten="X"), "X"), (Hooked(tclobj=("a", "b c")), ("a", "b c")),
    (Hooked(quoten="Q", tclobj=7), 7), (range(2), (0, 1)), (bytearray(b"ab"), (97, 98)),
    (hostile.FalseHooks(), "plain"),
]


@pytest.mark.parametrize("value, result", TCLOBJ)
def test_tclobj(value, result):
    got = tclobj(obj=value)
    assert got == result and type(got) is type(result)


@pytest.mark.parametrize("value", [b"ab", True, 1.5, "a b", Text("t")])
def test_tclobj_passes_through(value):
    assert tclobj(value) is value


def test_tclobj_passes_tcl_objects_through(oracle):
    obj = oracle.call("dict", "create", "a", "1")
    assert type(obj).__name__ == "Tcl_Obj" and tclobj(obj) is obj


def test_helpers():
    assert _tclobj_from_mapping({"k": "v"}) == ("k", "v")
    assert _tclobj_from_sequence(iter([1, [2]])) == (1, (2,))
    assert _quoten_from_mapping(obj={"a b": None}) == "{a b} {}"


# -- bad input ----------------------------------------------------------------

class NotCallable:
    __quoten__ = 1
    __tclobj__ = "x"


FAILING = [
    (hostile.BadQuoten(), hostile.Boom), (hostile.BadTclobj(), hostile.Boom), (hostile.RaisingLookup(), hostile.Boom),
    (hostile.BadStr(), hostile.Boom), (hostile.BadGetItem(), hostile.Boom), (hostile.BadKeys(), hostile.Boom),
    (hostile.BadMappingItem(), KeyError), ([1, hostile.BadQuoten()], hostile.Boom),
    ({"k": hostile.BadStr()}, hostile.Boom),
    (NotCallable(), TypeError),
]


@pytest.mark.parametrize("value, error", FAILING, ids=[type(v).__name__ for v, _ in FAILING])
@pytest.mark.parametrize("function", [quoten, tclobj])
def test_errors_propagate(function, value, error):
    with pytest.raises(error):
        function(value)


@pytest.mark.parametrize(
    "function, value, error",
    [
        (_tcl_UpdateStringOfList, 5, TypeError), (_tclobj_from_sequence, 5, TypeError),
        (_quoten_from_mapping, 5, TypeError), (_tclobj_from_mapping, 5, TypeError),
        (_tcl_UpdateStringOfList, hostile.BadIter(), hostile.Boom),
        (_tclobj_from_sequence, hostile.BadNext(2), hostile.Boom),
        (_quoten_from_mapping, hostile.BadKeys(), hostile.Boom),
        (_tclobj_from_mapping, hostile.BadMappingItem(), KeyError),
    ],
)
def test_helper_errors(function, value, error):
    with pytest.raises(error):
        function(value)


def test_list_elements_must_become_text():
    nested = Hooked(quoten=Hooked(quoten=5))  # __quoten__ gives an object whose own __quoten__ gives 5
    assert isinstance(quoten(nested), Hooked)
    with pytest.raises(TypeError, match="a Tcl list element must convert to str, not 'int'"):
        quoten([nested])
    with pytest.raises(TypeError, match="not 'int'"):
        _Tcl_ScanElement(Hooked(quoten=5))


@pytest.mark.parametrize(
    "function, message",
    [
        (lambda: quoten(), "quoten() takes exactly 1 positional argument (0 given)"),
        (lambda: tclobj(1, 2), "tclobj() takes exactly 1 positional argument (2 given)"),
        (lambda: _Tcl_ScanElement("a", "b"), "_Tcl_ScanElement() takes exactly 1 positional argument (2 given)"),
        (lambda: _Tcl_ConvertElement("a"), "_Tcl_ConvertElement() takes exactly 2 positional arguments (1 given)"),
        (lambda: _tcl_UpdateStringOfList(), "_tcl_UpdateStringOfList() takes exactly 1 positional argument (0 given)"),
        (lambda: quoten(value=1), "quoten() got an unexpected keyword argument 'value'"),
    ],
)
def test_argument_errors(function, message):
    with pytest.raises(TypeError) as info:
        function()
    assert str(info.value) == message


def test_containers_changed_while_walked():
    items = ["a", None, "b"]
    items[1] = hostile.Mutator(items)  # empties the list when converted
    assert quoten(items) == "a mutated"  # the walk stops where the list's iterator stops
    items = ["a", None]
    items[1] = hostile.Mutator(items)
    assert tclobj(items) == ("a", "mutated")
    mapping = {"k": None}
    mapping["k"] = hostile.DictMutator(mapping)
    assert quoten(mapping) == "k mutated"  # keys and values were collected first
    assert len(mapping) == 2


@pytest.mark.parametrize("function", [quoten, tclobj])
def test_deep_and_cyclic_input_raises_recursion_error(function):
    cyclic = []
    cyclic.append(cyclic)
    deep = []
    for _ in range(100_000):
        deep = [deep]
    for value in (cyclic, deep, {"k": cyclic}):
        with pytest.raises(RecursionError):
            function(value)


def test_tclobj_hook_result_is_not_converted_again():
    selfish = Hooked()
    selfish.__tclobj__ = lambda: [selfish]
    assert tclobj(selfish) == [selfish]
    with pytest.raises(RecursionError):  # quoten converts it further, for ever
        quoten(selfish)


def test_hostile_walks_do_not_crash_the_process():
    out = run_isolated(
        """
        import sys
        from tarvo.tcl.quoten import quoten, tclobj
        sys.path.insert(0, "tests")
        from support import hostile
        for grow in (False, True):
            for f in (quoten, tclobj):
                items = ["x"] * 5
                items[3] = hostile.Mutator(items, grow=grow)
                print(len(f(items)), end=" ")
        deep = []
        for _ in range(300_000):
            deep = [deep]
        for f in (quoten, tclobj):
            try:
                f(deep)
            except RecursionError:
                print("recursion", end=" ")
        """
    )
    assert out == "13 4 20 6 recursion recursion "


# -- against Tcl's own parser -------------------------------------------------

# Characters that matter to Tcl's parsers, and any other text.  tkinter
# cannot hand a lone surrogate to Tcl at all, so there are none.
TEXT = st.lists(
    st.sampled_from(list(' []$;"{}\\\n\r\t\v\f\0#x') + ["\\\n", "{a}", "é", "\U0001F600"])
    | st.characters(exclude_categories=("Cs",))
).map("".join)


def tcl_elements(tk, text):
    """The elements of `text` as Tcl's list parser reads them.

    tkinter hands a NUL over as a raw zero byte; `string map` turns those into
    Tcl's own NUL first, so the parser sees the text Tcl itself would hold.
    """
    tk.call("set", "::quoten_text", text)
    length = int(tk.eval("llength [string map {\\0 \\0} $::quoten_text]"))
    return [tk.call("eval", f"lindex [string map {{\\0 \\0}} $::quoten_text] {i}") for i in range(length)]


@settings(max_examples=400, deadline=None, database=None)
@given(st.lists(TEXT))
def test_tcl_reads_the_list_back(oracle, items):
    text = quoten(items)
    assert tcl_elements(oracle, text) == items
    # the same text handed straight to Tcl's list commands
    assert [oracle.call("lindex", text, i) for i in range(len(items))] == items
    if "\0" not in text:
        assert list(oracle.splitlist(text)) == items


@settings(max_examples=150, deadline=None, database=None)
@given(st.lists(st.recursive(TEXT, lambda inner: st.lists(inner, max_size=4), max_leaves=12)))
def test_nested_lists_read_back_level_by_level(oracle, items):
    text = quoten(items)
    for i, item in enumerate(items):
        assert oracle.call("lindex", text, i) == quoten(item)


@settings(max_examples=300, deadline=None, database=None)
@given(st.lists(TEXT.filter(lambda s: "\0" not in s), min_size=1))
def test_no_substitution_when_evaluated(oracle, items):
    calls = []
    oracle.createcommand("sentinel", lambda *args: calls.append(args))
    try:
        items = [*items, "[sentinel]", "$::tcl_version", "a;sentinel", "\\[sentinel\\]"]
        result = oracle.eval("list " + quoten(items))
        assert list(oracle.splitlist(result)) == items
        assert calls == []
    finally:
        oracle.deletecommand("sentinel")


def test_tcl_takes_tclobj_values(oracle):
    oracle.call("set", "::quoten_v", tclobj([1, "a b", [2.5, None], {"k": True}]))
    assert oracle.eval("set ::quoten_v") == "1 {a b} {2.5 {}} {k 1}"
    assert oracle.eval("lindex $::quoten_v 2 0") == "2.5"


# -- references ---------------------------------------------------------------

LEAK_CALLS = [
    ("quoten list", lambda: quoten([1, "a b", [None, 2.5], {"k": b"v"}, {"s"}, "{"])),
    ("quoten hooks", lambda: quoten([Hooked(quoten=5), Hooked(tclobj=("a", 1)), Text("x")])),
    ("tclobj", lambda: tclobj([1, 2**70, {"k": [None]}, Color.RED, Hooked(tclobj="t")])),
    ("scan and convert", lambda: _Tcl_ConvertElement("{a b", _Tcl_ScanElement("{a b")[1])),
    ("helpers", lambda: (_quoten_from_mapping({"a": 1}), _tclobj_from_mapping({"a": 1}), _tclobj_from_sequence("ab"))),
]
LEAK_ERRORS = [
    ("bad hook", lambda: quoten([1, hostile.BadQuoten()]), hostile.Boom),
    ("bad lookup", lambda: tclobj({"k": hostile.RaisingLookup()}), hostile.Boom),
    ("bad iteration", lambda: quoten.from_sequence(hostile.BadNext(3)), hostile.Boom),
    ("bad mapping", lambda: tclobj(hostile.BadMappingItem()), KeyError),
    ("junk element", lambda: quoten([Hooked(quoten=Hooked(quoten=5))]), TypeError),
    ("bad arguments", lambda: _Tcl_ConvertElement("a", flags=1, src=2), TypeError),
    ("recursion", lambda: quoten([[[[[]]]]] * 3 + [CYCLE]), RecursionError),
]
CYCLE = []
CYCLE.append(CYCLE)


@pytest.mark.parametrize("name, operation", LEAK_CALLS, ids=[c[0] for c in LEAK_CALLS])
def test_no_leaks(no_leaks, name, operation):
    no_leaks(operation)


@pytest.mark.parametrize("name, operation, error", LEAK_ERRORS, ids=[c[0] for c in LEAK_ERRORS])
def test_no_leaks_on_errors(no_leaks, name, operation, error):
    no_leaks(operation, raises=error, calls=20 if error is RecursionError else 100)


class Unstable:
    """What a __quoten__ hook returns that answers differently every time."""

    answers = ("plain", "} [cmd] {", "a b", "{")

    def __init__(self):
        self.calls = 0

    def __quoten__(self):
        answer = self.answers[self.calls % len(self.answers)]
        self.calls += 1
        return answer


class Wrapper:
    def __init__(self, inner):
        self.inner = inner

    def __quoten__(self):
        return self.inner


@pytest.mark.parametrize("start", range(len(Unstable.answers)))
def test_each_element_is_converted_once_per_call(oracle, start):
    inner = Unstable()
    inner.calls = start
    text = quoten(["x", Wrapper(inner), "y"])
    # The quoting of one answer never applies to another: Tcl reads back
    # exactly the answer that was written.
    assert oracle.splitlist(text) == ("x", Unstable.answers[start], "y")
    assert inner.calls == start + 1
