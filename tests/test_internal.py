import collections.abc
import gc
import ctypes
import json
import string
import sys
import tkinter
import types

import pytest
from hypothesis import given, settings, strategies as st

from support import hostile
from support.crash import run_isolated
from support.tclversion import TCL9
from tarvo.tcl import internal
from tarvo.tcl.internal import (
    DictionaryCompare, GetListFromAny, ReturnCodes, TclDLL, TclError_from_interp, Tcl_Interp_p, Tcl_Obj,
    Tcl_ObjType, _c_char_p_from_obj, _ptr_add, _ptr_diff, _ptr_sub,
)

from support import baseline_internal  # its DictionaryCompare, interpreted, is the oracle of ours

TclError = tkinter.TclError
EXAMPLES = settings(deadline=None, database=None)


@pytest.fixture(scope="module")
def root():
    """A tkinter.Tk: what Tcl_Interp_p accepts as an interpreter."""
    return tkinter.Tk(useTk=0)


class FakeTk(tkinter.Tk):
    tk = None

    def __init__(self, address):
        self.address = address

    def interpaddr(self):
        if isinstance(self.address, BaseException):
            raise self.address
        return self.address


def test_module_top_level():
    assert [n for n in vars(internal) if not n.startswith("__")] == [
        "ctypes", "tkinter", "Sequence", "Set", "ReturnCodes", "TclDLL", "_ptr_add", "_ptr_sub", "_ptr_diff",
        "TclError_from_interp", "Tcl_Interp_p", "Tcl_WideInt", "Tcl_ObjType", "Tcl_Obj", "_c_char_p_from_obj",
        "GetListFromAny", "DictionaryCompare", "_cast_list", "_createcommand", "_tk_ready", "_interrupts",
        "_Keeper",
    ]
    assert (internal.Sequence, internal.Set) == (collections.abc.Sequence, collections.abc.Set)
    assert "ctypes.util" in sys.modules and ReturnCodes.__bases__ == (object,)
    assert {n: v for n, v in vars(ReturnCodes).items() if n.startswith("TCL_")} == {
        "TCL_OK": 0, "TCL_ERROR": 1, "TCL_RETURN": 2, "TCL_BREAK": 3, "TCL_CONTINUE": 4}


OLD_NAMES = ["libtcl8.4.so", "libtcl8.4.dylib", "libtcl8.5.so", "libtcl8.5.dylib",
             "libtcl8.6.so.0", "libtcl8.6.so", "libtcl8.6.dylib"]
TCL9_NAMES = ["libtcl9.0.so", "libtcl9.0.dylib"]
# Tcl 9's names come first where tkinter runs on Tcl 9, last elsewhere.
NAMES = TCL9_NAMES + OLD_NAMES if TCL9 else OLD_NAMES + TCL9_NAMES
SIZE = ctypes.c_ssize_t if TCL9 else ctypes.c_int  # Tcl_Size


def tried_up_to(name):
    return NAMES[:NAMES.index(name) + 1]


# Each name the fake loader opens stands for the real Tcl library; TclDLL
# takes the sizes of the version in the name that opened.
@pytest.mark.parametrize("opens, breaks, expected", [
    ({"libtcl8.6.so"}, None, {"tried": tried_up_to("libtcl8.6.so"), "opened": "libtcl8.6.so", "size": 4}),
    ({"libtcl8.4.so", "libtcl8.6.so"}, None, {"tried": tried_up_to("libtcl8.4.so"), "opened": "libtcl8.4.so",
                                              "size": 4}),
    ({"libtcl9.0.so"}, None, {"tried": tried_up_to("libtcl9.0.so"), "opened": "libtcl9.0.so", "size": 8}),
    ({"libtcl8.6.so", "libtcl9.0.so"}, None,
     {"tried": tried_up_to("libtcl9.0.so"), "opened": "libtcl9.0.so", "size": 8} if TCL9 else
     {"tried": tried_up_to("libtcl8.6.so"), "opened": "libtcl8.6.so", "size": 4}),
    (set(), None, {"tried": NAMES, "error": "ImportError: Cannot load Tcl shared library (.so or .dylib)"}),
    ({"libtcl8.5.so"}, "libtcl8.4.dylib", {"tried": tried_up_to("libtcl8.4.dylib"), "error": "RuntimeError: broken"}),
    ({"libtcl8.4.so"}, None, {"tried": tried_up_to("libtcl8.4.so"), "error": "AttributeError"}),
], ids=["only 8.6", "first wins", "only 9.0", "8.6 and 9.0", "none", "other error", "no Tcl routines"])
def test_library_search(opens, breaks, expected):
    # "no Tcl routines": the name opens the C library instead.
    real = "libc.so.6" if expected.get("error") == "AttributeError" else TclDLL._name
    if TCL9 and any(name.startswith("libtcl8") for name in opens) and "opened" in expected:
        # A Tcl 8 name must open a Tcl 8 library: Tcl 9's lacks one of the
        # routines declared for it.
        real = "libtcl8.6.so"
        try:
            ctypes.CDLL(real)
        except OSError:
            pytest.skip("no Tcl 8.6 library beside Tcl 9 here")
    out = run_isolated(f"""
        import ctypes, importlib, json
        real, tried, result = ctypes.CDLL, [], {{}}
        def fake(name):
            tried.append(name)
            if name == {breaks!r}:
                raise RuntimeError("broken")
            if name not in {sorted(opens)!r}:
                raise OSError(name)
            library = real({real!r})
            library._name = name
            return library
        ctypes.CDLL = fake
        try:
            internal = importlib.import_module("tarvo.tcl.internal")
            result["opened"] = internal.TclDLL._name
            result["size"] = ctypes.sizeof(internal.TclDLL.TclCopyAndCollapse.restype)
            assert internal.Tcl_Obj.length.size == result["size"]
        except Exception as exc:
            result["error"] = f"{{type(exc).__name__}}: {{exc}}"
        print(json.dumps(dict(result, tried=tried)))
    """)
    result = json.loads(out)
    if expected.get("error") == "AttributeError":
        assert "TclFindElement" in result["error"]
        result["error"] = "AttributeError"
    assert result == expected


def test_declarations():
    c = ctypes
    assert [(list(r.argtypes), r.restype) for r in (TclDLL.TclFindElement, TclDLL.TclCopyAndCollapse,
                                                    TclDLL.Tcl_GetStringResult, TclDLL.Tcl_ResetResult)] == [
        ([Tcl_Interp_p, c.c_char_p, SIZE, c.POINTER(c.c_char_p), c.POINTER(c.c_char_p), c.POINTER(SIZE),
          c.POINTER(c.c_int)], c.c_int),
        ([SIZE, c.c_char_p, c.c_char_p], SIZE), ([Tcl_Interp_p], c.c_char_p), ([Tcl_Interp_p], None)]
    union, two = Tcl_Obj.u_internalRep, Tcl_Obj.u_internalRep.s_twoPtrValue
    assert issubclass(Tcl_Interp_p, c.c_void_p) and internal.Tcl_WideInt is c.c_longlong
    assert [b.__base__ for b in (Tcl_ObjType, Tcl_Obj, union, two)] == [c.Structure, c.Structure, c.Union, c.Structure]
    assert two.__qualname__ == "Tcl_Obj.u_internalRep.s_twoPtrValue"

    def layout(cls):
        return [(name, getattr(cls, name).offset, getattr(cls, name).size) for name, _ in cls._fields_]

    head = [("name", 0, 8), ("freeIntRepProc", 8, 8), ("dupIntRepProc", 16, 8), ("updateStringProc", 24, 8),
            ("setFromAnyProc", 32, 8)]
    if TCL9:  # Tcl 9's type has a version and eight list routines after the head
        assert c.sizeof(Tcl_ObjType) == 112
        assert layout(Tcl_ObjType) == head + [("version", 40, 8)] + [
            (name, 48 + 8 * i, 8) for i, name in enumerate(["lengthProc", "indexProc", "sliceProc", "reverseProc",
                                                             "getElementsProc", "setElementProc", "replaceProc",
                                                             "inOperProc"])]
    else:
        assert c.sizeof(Tcl_ObjType) == 40 and layout(Tcl_ObjType) == head
    assert [c.sizeof(t) for t in (Tcl_Obj, union, two)] == [48, 16, 16]
    size = c.sizeof(SIZE)
    assert layout(Tcl_Obj) == [("refCount", 0, size), ("bytes", 8, 8), ("length", 16, size), ("typePtr", 24, 8),
                               ("internalRep", 32, 16)]
    assert layout(union) == [("longValue", 0, 8), ("doubleValue", 0, 8), ("otherValuePtr", 0, 8),
                             ("wideValue", 0, 8), ("twoPtrValue", 0, 16)]
    assert layout(two) == [("ptr1", 0, 8), ("ptr2", 8, 8)]


def test_string_result_through_the_library(root):
    # Tcl 9 has no Tcl_GetStringResult: TclDLL carries one that reads the
    # result object, as Tcl 9's header defines the name.
    root.tk.call("set", "r", "héllo wörld")
    assert TclDLL.Tcl_GetStringResult(root).decode() == "héllo wörld"
    TclDLL.Tcl_ResetResult(root)
    assert TclDLL.Tcl_GetStringResult(root) == b""
    if TCL9:  # ours: no interpreter, no result (Tcl 8.6's own would crash)
        assert TclDLL.Tcl_GetStringResult(None) == b""


def test_list_routines_through_the_library():
    # TclDLL's prototypes fit the library's: Tcl's own parser reads through them.
    text = rb"{a b} c\ d"
    start, after, size, brace = ctypes.c_char_p(), ctypes.c_char_p(), SIZE(), ctypes.c_int()
    refs = map(ctypes.byref, (start, after, size, brace))
    assert TclDLL.TclFindElement(None, text, len(text), *refs) == ReturnCodes.TCL_OK
    assert (start.value[:size.value], brace.value, after.value) == (b"a b", 1, rb"c\ d")
    buffer = ctypes.create_string_buffer(8)
    assert TclDLL.TclCopyAndCollapse(4, after, buffer) == 3 and buffer.value == b"c d"


def test_layout_reads_a_live_tcl_value(oracle):
    value = oracle.call("dict", "create", "a", "b c")  # a _tkinter.Tcl_Obj: header, then the C pointer
    assert GetListFromAny(value) == ("a", "b c")  # read by its text, which that gave it
    obj = Tcl_Obj.from_address(ctypes.c_void_p.from_address(id(value) + object.__basicsize__).value)
    assert obj.refCount >= 1 and obj.typePtr.contents.name == value.typename.encode() == b"dict"
    assert (obj.bytes, obj.length) == (b"a {b c}", 7)


# ---------------------------------------------------------------------------
# Interpreter handles and TclError_from_interp


def test_from_param(root, tcl):
    handle = Tcl_Interp_p(1234)
    assert Tcl_Interp_p.from_param(handle) is handle and Tcl_Interp_p.from_param(None).value is None
    assert Tcl_Interp_p.from_param(root).value == root.interpaddr()
    assert Tcl_Interp_p.from_param(tcl).value == tcl.interpaddr()  # a Tk subclass
    with pytest.raises(ValueError) as info:
        Tcl_Interp_p.from_param("abc")
    assert info.value.args == ("Unrecognized Tcl interpreter object: 'abc'",)


BAD_INTERPRETERS = {"text": "abc", "application object": tkinter.Tcl().tk, "repr raises": hostile.BadRepr(),
                    "interpaddr raises": FakeTk(hostile.Boom("hostile")), "interpaddr not a number": FakeTk("x")}


@pytest.mark.parametrize("interp", BAD_INTERPRETERS.values(), ids=BAD_INTERPRETERS.keys())
def test_refused_interpreter_is_reported_like_ctypes(interp):
    out = [ctypes.c_char_p(), ctypes.c_char_p(), SIZE(), ctypes.c_int()]
    with pytest.raises(ctypes.ArgumentError) as by_ctypes:
        TclDLL.TclFindElement(interp, b"x", 1, *map(ctypes.byref, out))
    for call in (lambda: GetListFromAny(" ", interp), lambda: TclError_from_interp(interp, "m")):
        with pytest.raises(ctypes.ArgumentError) as info:
            call()
        assert info.value.args == by_ctypes.value.args and info.value.__context__ is None
    with pytest.raises(KeyboardInterrupt):  # an interrupt is no refusal
        GetListFromAny("x", FakeTk(KeyboardInterrupt()))


@pytest.mark.parametrize("obj", [(), ["a"], None, 5, ""], ids=repr)
def test_interpreter_not_looked_at(obj):
    GetListFromAny(obj, "not an interpreter")


@pytest.mark.parametrize("result, args, expected", [
    (None, (None,), ()), (None, (None, "m"), ("m",)), (None, (None, ""), ()), (None, (0, "m"), ("m",)),
    (None, (Tcl_Interp_p(), "m"), ("m",)), (None, (None, ("a", "b")), (("a", "b"),)),
    ("boom", ("d",), ("boom",)), ("boom", (), ("boom",)), ("", ("d",), ("d",)), ("", (), ()),
])
def test_tcl_error_from_interp(root, result, args, expected):
    if result is not None:
        root.tk.call("set", "r", result)  # the interpreter's result
        if not result:
            TclDLL.Tcl_ResetResult(root)
        args = (root,) + args
    with pytest.raises(TclError) as info:
        TclError_from_interp(*args)
    assert info.value.args == expected


def test_message_with_a_cut_character(root):
    with pytest.raises(TclError) as info:  # Tcl quotes the bytes after the brace, cutting the emoji
        GetListFromAny("{}\U0001F600", root)
    assert str(info.value).startswith('list element in braces followed by "')
    with pytest.raises(TclError) as again:
        TclError_from_interp(root)
    assert again.value.args == info.value.args


def test_null_interpreter_is_never_asked():
    out = run_isolated("""
        import tkinter
        from tarvo.tcl.internal import GetListFromAny, TclError_from_interp
        class NullTk(tkinter.Tk):
            def __init__(self):
                pass
            def interpaddr(self):
                return 0
        for call in (lambda: GetListFromAny("{a", NullTk()), lambda: TclError_from_interp(NullTk(), "d")):
            try:
                call()
            except tkinter.TclError as exc:
                print(exc)
    """)
    assert out.split("\n") == ["invalid list element", "d", ""]


# ---------------------------------------------------------------------------
# C strings and pointers


@pytest.mark.parametrize("function", [_ptr_add, _ptr_sub, _ptr_diff], ids=lambda f: f.__name__)
@pytest.mark.parametrize("args", [1, 3])
def test_pointer_arithmetic_takes_exactly_two_arguments(function, args):
    pointer = ctypes.c_void_p(64)
    with pytest.raises(TypeError) as refusal:
        function(*[pointer] * args)
    assert str(refusal.value) == f"{function.__name__}() takes exactly 2 positional arguments ({args} given)"


def test_c_strings_and_pointers():
    assert [_c_char_p_from_obj(o).value for o in (None, 12, "héllo")] == [b"", b"12", "héllo".encode()]
    p = _c_char_p_from_obj("x" * 1000 + "end")
    assert _ptr_diff(_ptr_add(p, 5), p) == 5 and _ptr_diff(p, _ptr_add(p, 5)) == -5
    assert _ptr_sub(_ptr_add(p, 1003), 3).value == b"end"  # back by `count` bytes
    moved = _ptr_add(p, 1000)
    del p
    _c_char_p_from_obj("y" * 1003)  # would take the freed text's place
    assert type(moved) is ctypes.c_char_p and moved.value == b"end"  # the moved pointer keeps it alive
    assert type(_ptr_sub(ctypes.c_void_p(16), 8)) is ctypes.c_void_p
    for call in (lambda: _ptr_diff(ctypes.c_char_p(), moved), lambda: _ptr_add(moved, "x")):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(UnicodeEncodeError):
        _c_char_p_from_obj("\ud800")


# ---------------------------------------------------------------------------
# GetListFromAny


class StrSub(str):
    def __str__(self):
        return "x y"


def test_tuple_is_returned_itself():
    value, item = ("a", 1), object()
    assert GetListFromAny(value) is value and GetListFromAny([item])[0] is item


@pytest.mark.parametrize("obj, expected", [
    (5, (5,)), (2.5, (2.5,)), (True, (True,)), (None, ()), ([1, "x"], (1, "x")), ({3}, (3,)),
    (frozenset("a"), ("a",)), (range(3), (0, 1, 2)), (b"ab", (97, 98)), ({"k": 1}.keys(), ("k",)),
    (type("T", (tuple,), {})((1, 2)), (1, 2)), (StrSub("ignored"), ("x", "y")), (type("I", (int,), {})(7), ("7",)),
    ({"a": 1, "b": "x y"}, ("'a': 1, 'b': 'x y'",)), (types.MappingProxyType({"k": 1}), ("'k': 1",)),
], ids=lambda v: type(v).__name__)
def test_reading_choice(obj, expected):
    result = GetListFromAny(obj)
    assert type(result) is tuple and result == expected


class BadLenSet(collections.abc.Set):
    """A set whose items can be walked but whose size cannot be told."""

    __len__ = hostile.boom

    def __iter__(self):
        return iter(["a"])

    def __contains__(self, item):
        return item == "a"


# tuple() stopped asking for the size in 3.14: the size is asked for all the same.
@pytest.mark.parametrize("obj, error", [
    (hostile.BadLen(), hostile.Boom), (hostile.JunkLen(), ValueError), (BadLenSet(), hostile.Boom),
], ids=lambda v: type(v).__name__)
def test_a_container_whose_size_fails_raises(obj, error):
    with pytest.raises(error):
        GetListFromAny(obj)


@pytest.mark.parametrize("text, expected", [
    ("a b c {de} {f g h { i }}", ("a", "b", "c", "de", "f g h { i }")), ("", ()), (" \t\n\r\v\f", ()),
    ("{}", ("",)), ('""', ("",)), (r"{a\nb}", ("a\\nb",)), (r"a\nb", ("a\nb",)), (r"a\ b", ("a b",)),
    ('"a b"', ("a b",)), ("é {Ω ≈} \U0001F600", ("é", "Ω ≈", "\U0001F600")),
    # NUL is data: it stays in its element, and the elements after it are read
    ("a\x00b c", ("a\x00b", "c")), ("{\x00} \x00", ("\x00", "\x00")), ("\\0 x", ("\x00", "x")),
    ("\\u00e9\\x41 \\ud83d\\ude00", ("éA", "\U0001F600")), ("a\ud800b {\udfff}", ("a\ud800b", "\udfff")),
], ids=repr)
def test_text(text, expected):
    assert GetListFromAny(text) == expected


def tcl_reads(oracle, text):
    """Tcl's own reading of `text`, which reaches Tcl with NUL in the form
    Tcl keeps it (tkinter hands Tcl raw NUL bytes, after which Tcl keeps a
    backslash in front of a NUL that no Tcl string would)."""
    oracle.call("set", "::raw", text.replace("\x00", "\x01"))
    oracle.eval("set ::text [string map [list \\x01 [format %c 0]] $::raw]")
    return tuple(oracle.eval(f"lindex $::text {i}") for i in range(int(oracle.eval("llength $::text"))))


@pytest.mark.parametrize("text", ["a\\\U0001F600b", "\\U0001F600", "a\\\x00b c", "x\\", "a\\\\ {\x00}"], ids=repr)
def test_text_like_tcl(oracle, text):
    assert GetListFromAny(text) == tcl_reads(oracle, text)


@pytest.mark.parametrize("text", ["{a", '"a', "{a}b", '"a"b', "a {b", "{}x", "{a b}\\ c", "{\x00}\x00"], ids=repr)
def test_malformed_text(oracle, root, text):
    with pytest.raises(TclError) as info:
        GetListFromAny(text)
    assert info.value.args == ("invalid list element",)
    with pytest.raises(TclError) as tcl_says:
        tcl_reads(oracle, text)
    with pytest.raises(TclError) as info:
        GetListFromAny(text, interp=root)
    with pytest.raises(TclError) as kept:  # the interpreter's result stays as Tcl set it
        TclError_from_interp(root)
    assert info.value.args == kept.value.args == tcl_says.value.args


def test_huge_text():
    element = "x" * (1 << 20)
    assert GetListFromAny((element + " ") * 100) == (element,) * 100  # 100 MiB
    assert GetListFromAny(("{" + "é" * 4000 + "} ") * 500) == ("é" * 4000,) * 500


# Elements that make Tcl's `list` use braces, quotes and backslashes.
ELEMENT = st.text(alphabet=st.one_of(
    st.sampled_from(list('{}"\\ \t\n\r\v\f;$[]#0ax') + ["é", "€", "\U0001F600", "\x00"]),
    st.characters(blacklist_categories=("Cs",))), max_size=12)


@EXAMPLES
@given(elements=st.lists(ELEMENT, max_size=8))
def test_reads_what_tcl_writes(oracle, elements):
    text = oracle.call("format", "%s", tuple(elements))  # Tcl's own list writer
    assert GetListFromAny(text) == tuple(elements)
    if "\x00" not in text:
        assert GetListFromAny(text) == oracle.splitlist(text)


# Raw text, well formed or not (no \u escapes: tkinter mis-decodes the lone surrogates they make).
@settings(EXAMPLES, max_examples=600)
@given(text=st.text(alphabet=st.sampled_from(list('{}"\\ \t\nab0x;') + ["é", "\U0001F600", "\x00"]), max_size=16))
def test_raw_text_like_tcl(oracle, root, text):
    try:
        expected = tcl_reads(oracle, text)
    except TclError as tcl_says:
        with pytest.raises(TclError) as info:
            GetListFromAny(text)
        assert info.value.args == ("invalid list element",)
        with pytest.raises(TclError) as info:
            GetListFromAny(text, root)
        # Tcl quotes a character outside the BMP as it holds it: whole after
        # its own string work, cut where it has it in four bytes (as from us).
        if all(c <= "\uffff" for c in text):
            assert info.value.args == tcl_says.args
        return
    assert GetListFromAny(text) == expected


# ---------------------------------------------------------------------------
# DictionaryCompare


@pytest.mark.parametrize("left, right, expected", [
    ("a", "b", -1), ("B", "a", 1), ("B", "b", -32), ("b", "B", 32), ("abc", "ABC", 32), ("x9y", "x10y", -1),
    ("x10y", "x9y", 1), ("a3", "a5", -2), ("x01", "x1", 1), ("x1", "x01", -1), ("x0", "x00", -1), ("", "", 0),
    ("", "a", -97), ("abc", "ab", 99), ("A1", "a01", -32), (10, 9, 1), ("_", "A", -2), ("a", "a\x00", 0),
    # unlike Tcl: every str.isdigit() character is a digit, and NUL is a character
    ("x\u0663", "x10", -1), ("a\u00b2", "a1", 0xB2 - 0x31), ("a\x00b", "a\x00c", -1),
    # U+0130 compares as "i", the first character of its lower-case form
    ("\u0130", "i", 0x130 - 0x69), ("\u0130x", "iy", -1),
], ids=repr)
def test_dictionary_compare(left, right, expected):
    assert DictionaryCompare(right=right, left=left) == expected


def test_dictionary_compare_lower_case_of_every_character():
    for code in range(1, 0x110000):
        if not chr(code).isdigit():
            assert DictionaryCompare(chr(code), "\x01") == ord(chr(code).lower()[0]) - 1, hex(code)


COMPARED = st.text(alphabet=st.one_of(st.sampled_from(
    list("0019aAzZ_ \x00") + ["\u0663", "\u00b2", "\u0130", "\u212a", "\ud800", "\U0001D7CE"]), st.characters()),
    max_size=10)


@settings(EXAMPLES, max_examples=1000)
@given(left=COMPARED, right=COMPARED)
def test_dictionary_compare_follows_the_algorithm(left, right):
    assert DictionaryCompare(left, right) == baseline_internal.DictionaryCompare(left, right)


# Where Tcl's lsort -dictionary and the algorithm agree: ASCII and Latin-1
# letters, ASCII digits, punctuation and white space, no NUL.
TCL_TEXT = st.text(alphabet=st.sampled_from(
    string.ascii_letters + string.digits * 3 + string.punctuation + " \t\n" + "àÀéÉßÿµ¿×÷"), max_size=8)


@settings(EXAMPLES, max_examples=500)
@given(left=TCL_TEXT, right=TCL_TEXT)
def test_dictionary_compare_agrees_with_tcl(oracle, left, right):
    first = oracle.splitlist(oracle.call("lsort", "-dictionary", (left, right)))[0]
    assert DictionaryCompare(left, right) == 0 if left == right else (DictionaryCompare(left, right) < 0) == (first == left)


# ---------------------------------------------------------------------------
# Every entry point, on each way out, under the leak checker; hostile objects
# must come out with their own exception.


def raises_tcl_error(root):
    root.tk.call("set", "r", "kept")
    TclError_from_interp(root, "d")


LEAK_CALLS = [
    ("list text", lambda r: GetListFromAny("a {b c} d\\ e \"f g\" é \\0 " + "x" * 600 + "\\ y"), None),
    ("list text, interpreter", lambda r: GetListFromAny("a b", r), None),
    ("containers", lambda r: (GetListFromAny(("a",)), GetListFromAny(range(3)), GetListFromAny(5)), None),
    ("malformed", lambda r: GetListFromAny("{a"), TclError),
    ("malformed, interpreter", lambda r: GetListFromAny("{a", r), TclError),
    ("refused interpreter", lambda r: GetListFromAny("a", hostile.BadRepr()), ctypes.ArgumentError),
    ("bad str", lambda r: GetListFromAny(hostile.BadStr()), hostile.Boom),
    ("bad sequence item", lambda r: GetListFromAny(hostile.BadGetItem()), hostile.Boom),
    ("bad sequence length", lambda r: GetListFromAny(hostile.BadLen()), hostile.Boom),
    ("compare", lambda r: DictionaryCompare("x10", "X9"), None),
    ("compare bad str", lambda r: DictionaryCompare("a", hostile.BadStr()), hostile.Boom),
    ("error from interpreter", raises_tcl_error, TclError),
    ("error without interpreter", lambda r: TclError_from_interp(None, "m"), TclError),
    ("error, refused interpreter", lambda r: TclError_from_interp("abc"), ctypes.ArgumentError),
    ("error, bad interpreter truth", lambda r: TclError_from_interp(hostile.BadBool()), hostile.Boom),
    ("error, bad default truth", lambda r: TclError_from_interp(None, hostile.BadBool()), hostile.Boom),
    ("from_param", lambda r: Tcl_Interp_p.from_param(r), None),
    ("from_param refused", lambda r: Tcl_Interp_p.from_param("abc"), ValueError),
    ("c_char_p", lambda r: _c_char_p_from_obj("héllo"), None),
    ("c_char_p bad str", lambda r: _c_char_p_from_obj(hostile.BadStr()), hostile.Boom),
    ("pointers", lambda r: _ptr_diff(_ptr_sub(_ptr_add(ctypes.c_void_p(64), 8), 4), ctypes.c_void_p(64)), None),
    ("null pointer", lambda r: _ptr_add(ctypes.c_void_p(), 1), TypeError),
    ("argument error", lambda r: GetListFromAny(x=1), TypeError),
]


@pytest.mark.parametrize("name, operation, raises", LEAK_CALLS, ids=[c[0] for c in LEAK_CALLS])
def test_no_leaks(no_leaks, root, name, operation, raises):
    no_leaks(operation, root, raises=raises)


def test_text_too_long_for_tcl(no_leaks):
    huge = "é" * (1 << 30)  # 2**31 bytes of UTF-8, one more than Tcl's int lengths allow
    with pytest.raises(OverflowError, match="2147483648 bytes"):
        GetListFromAny(huge)
    no_leaks(GetListFromAny, huge, raises=OverflowError, warmup=1, calls=2)


# -- The object behind a command of _createcommand ------------------------------

def trampoline_of(callback):
    (found,) = [o for o in gc.get_referrers(callback) if type(o).__name__ == "_Trampoline"]
    return found


def test_trampoline_shows_its_callback_to_the_collector():
    tk = tkinter.Tcl()
    callback = lambda *words: "-".join(words)  # noqa: E731
    internal._createcommand(tk, "joined", callback)
    trampoline = trampoline_of(callback)
    assert trampoline.callback is callback
    assert callback in gc.get_referents(trampoline)
    assert tk.eval("joined a b") == "a-b"


@pytest.mark.parametrize("result", [[1, 2], {"a": 1}, 3.5, None, object()])
def test_trampoline_called_outside_its_command_is_a_plain_call(result):
    # Somebody who finds it (through gc) and calls it gets what the callback
    # returns, not what Tcl would get, and its exceptions as they are.
    tk = tkinter.Tcl()

    def callback(fail=False):
        if fail:
            raise KeyError("plain")
        return result

    internal._createcommand(tk, "found", callback)
    trampoline = trampoline_of(callback)
    assert trampoline() is result
    with pytest.raises(KeyError, match="plain"):
        trampoline(fail=True)
