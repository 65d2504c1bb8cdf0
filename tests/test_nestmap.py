"""NestMap: keyed lists with dotted paths, and their Tcl form."""
import abc
import tkinter
from collections.abc import MutableMapping

import pytest
from hypothesis import example, given, settings, strategies as st

import tarvo.tcl
from support import hostile
from support.crash import run_isolated
from tarvo.datastructures import AttrDict
from tarvo.tcl import nestmap
from tarvo.tcl.nestmap import NestMap
from tarvo.tcl.quoten import quoten, tclobj

from support import baseline_nestmap  # the same rules, interpreted: a second opinion

CONFLICT = 'target key "%s" is a value, cannot update value against another keyed list'
EXAMPLES = settings(database=None, max_examples=150)


def plain(value):
    """A tree as nested lists of (key, value) pairs: order and leaf types show."""
    if isinstance(value, (NestMap, baseline_nestmap.NestMap)):
        return [(type(value).__name__, key, plain(item)) for key, item in dict.items(value)]
    return value


# ---------------------------------------------------------------------------
# The module and the class


def test_module_and_class_layout():
    assert [n for n in vars(nestmap) if not n.startswith("__")] == [
        "AttrDict", "MutableMapping", "Tcl_Obj", "tclobj", "NestMap"]
    assert NestMap.__bases__ == (AttrDict, MutableMapping) and type(NestMap) is abc.ABCMeta
    assert NestMap.__mro__[:4] == (NestMap, AttrDict, dict, MutableMapping)
    assert isinstance(NestMap(), MutableMapping) and NestMap.__module__ == "tarvo.tcl.nestmap"
    assert [n for n in vars(NestMap) if n not in ("__module__", "__doc__", "__abstractmethods__", "_abc_impl")] == [
        "__init__", "from_tcl", "__getitem__", "__setitem__", "__contains__", "__delitem__", "get", "pop",
        "setdefault", "update", "all_keys", "all_items", "has_key", "__tclobj__"]
    for name in ("get", "pop", "setdefault"):
        assert vars(NestMap)[name] is getattr(MutableMapping, name)
    assert vars(NestMap)["has_key"] is vars(NestMap)["__contains__"]
    assert NestMap.from_tcl(string="{a 1}") == NestMap().from_tcl("{a 1}") == {"a": "1"}


# ---------------------------------------------------------------------------
# Paths


def test_paths_build_levels_in_order():
    klist = NestMap()
    klist["name.first"] = "Ada"
    klist["name.last"] = "Lovelace"
    assert list(klist) == ["name"] and type(klist["name"]) is NestMap
    assert list(klist["name"].items()) == [("first", "Ada"), ("last", "Lovelace")]
    assert klist.all_keys() == ["name.first", "name.last"] and klist.name.first == "Ada"
    klist["a.b.c"] = 1
    assert ("a.b" in klist, "a.x" in klist, "x.b" in klist, klist.has_key("a.b.c")) == (True, False, False, True)
    assert klist.all_items()[-1] == ("a.b.c", 1) and klist.get("a.missing") is None


def test_leaves_on_the_way():
    klist = NestMap(a="x")
    with pytest.raises(KeyError) as info:
        klist["a.b"] = 1
    assert info.value.args == (CONFLICT % "a",) and klist == {"a": "x"}
    with pytest.raises(TypeError):
        klist["a.b"]
    klist["a"] = "xbx"
    assert "a.b" in klist and "a.q" not in klist
    klist["a"] = {"k.x": 1}  # a plain dict is a leaf: its keys are taken literally
    assert klist["a.k.x"] == 1 and "a.k.x" in klist and "a.k" not in klist
    with pytest.raises(AttributeError):
        NestMap(a=5).__contains__("a.b")


def test_replacing_levels_and_leaves():
    klist = NestMap({"a.b": 1, "a.c": 2})
    klist["a"] = 3
    assert klist == {"a": 3}
    sub = NestMap(x=1)
    with pytest.raises(KeyError) as info:
        klist["a"] = sub
    assert info.value.args == (CONFLICT % "a",) and klist == {"a": 3}
    klist["b"] = NestMap(y=1)
    klist["b"] = sub  # a level replaces a level whole, without merging
    assert klist["b"] is sub and plain(klist["b"]) == [("NestMap", "x", 1)]


def test_refused_assignment_changes_nothing():
    klist = NestMap({"a.b.c": "leaf", "a.d": 1})
    before = plain(klist)
    for path in ("a.b.c.d", "a.d.e.f", "a.b.c.d.e"):
        with pytest.raises(KeyError):
            klist[path] = "v"
    assert plain(klist) == before


@pytest.mark.parametrize("tree, path, left", [
    ({"a.b.c": 1, "x": 1}, "a.b.c", {"x": 1}),  # the only leaf under a: a goes
    ({"a.b.c": 1, "a.b.d": 2, "x": 1}, "a.b.c", {"a": {"b": {"d": 2}}, "x": 1}),
    ({"a.b.c": 1, "a.e": 3}, "a.b.c", {"a": {"e": 3}}),
])
def test_deletion_prunes_emptied_levels(tree, path, left):
    klist = NestMap(tree)
    del klist[path]
    assert klist == left


def test_missing_component_is_the_key_error():
    klist = NestMap({"a.b.c": 1})
    for path, missing in (("x", "x"), ("x.y", "x"), ("a.y.z", "y"), ("a.b.q", "q")):
        for operation in (klist.__getitem__, klist.__delitem__, klist.pop):
            with pytest.raises(KeyError) as info:
                operation(path)
            assert info.value.args == (missing,)
    assert klist.pop("a.x", "d") == "d" and klist.pop("a.b.c") == 1 and klist == {}
    assert klist.setdefault("x.y", 1) == 1 and klist.setdefault("x.y", 2) == 1 and klist == {"x": {"y": 1}}


@pytest.mark.parametrize("key", [5, None, 1.5, b"a.b"])
def test_keys_that_are_no_str(key):
    klist = NestMap(a=1)
    for operation in (klist.__getitem__, klist.__contains__, klist.__delitem__, klist.has_key, klist.get,
                      klist.pop, klist.setdefault, lambda k: klist.__setitem__(k, 1), lambda k: k in klist):
        with pytest.raises(TypeError):
            operation(key)
    with pytest.raises(TypeError):
        NestMap({key: 1})


def test_str_subclass_keys_split_their_own_way():
    class Shouting(str):
        def split(self, sep, maxsplit):
            return [part.upper() for part in str.split(self, sep, maxsplit)]

    klist = NestMap()
    klist[Shouting("a.b.c")] = 1
    assert klist == {"A": {"B": {"C": 1}}} and klist[Shouting("a.b.c")] == 1


# Paths of every shape, each walked through the same str object again and
# again while the tree under it changes: level by level, a leaf on the way,
# a level of a subclass that takes the rest of the path its own way.
PATH_SHAPES = ["a.b.c", "a..b", ".a", "a.", "..", ".".join("p%d" % i for i in range(20)),
               "a.b." + "x" * 300, "ä.b.c", "a.ä.c", "a.b" + "q" * 40 + ".c"]


@pytest.mark.parametrize("path", PATH_SHAPES)
def test_paths_walked_again_as_the_tree_changes(path):
    class Upper(NestMap):
        def __getitem__(self, key):
            return NestMap.__getitem__(self, key.upper())

    head, _, rest = path.partition(".")

    def run(cls, fresh):
        own = "".join(list(path))  # a str object of this run's own
        tree, seen = cls(), []
        for change in (None, "leaf", "level", "subclass"):
            if change == "leaf":
                dict.__setitem__(tree, head, "leaf")
            elif change == "level":
                dict.__setitem__(tree, head, cls())
            elif change == "subclass":
                dict.__setitem__(tree, head, Upper({rest.upper(): "upper"}))
            for operation in [lambda p: tree[p], lambda p: p in tree, lambda p: tree.__setitem__(p, 1),
                              lambda p: tree[p], lambda p: tree.__delitem__(p), lambda p: tree.all_items()] * 2:
                try:
                    seen.append(("ok", plain(operation("".join(list(path)) if fresh else own))))
                except Exception as exc:
                    seen.append((type(exc).__name__, str(exc)))
        return seen

    ours = run(NestMap, fresh=False)
    assert ours == run(NestMap, fresh=True)
    assert ours[:36] == run(baseline_nestmap.NestMap, fresh=False)[:36]  # before the subclass of ours


def test_weak_proxies_are_what_they_stand_for():
    # isinstance() of a proxy asks its referent's class: a proxy of a leaf
    # is a leaf, a proxy of a NestMap a level, one after the other.
    import weakref

    class Box:
        pass

    for cls in (NestMap, baseline_nestmap.NestMap):
        leaf, inner = Box(), cls(x=1)
        tree = cls(a=weakref.proxy(leaf))
        with pytest.raises(KeyError):
            tree["a"] = cls(y=1)
        tree["p"] = weakref.proxy(inner)
        tree["p.y"] = 5
        assert dict(inner) == {"x": 1, "y": 5} and tree.all_keys() == ["a", "p.x", "p.y"]


def test_built_in_types_registered_as_nest_maps():
    # A registration makes instances of a built-in type levels from then on.
    out = run_isolated("""
        from support import baseline_nestmap
        from tarvo.tcl.nestmap import NestMap

        for cls in (NestMap, baseline_nestmap.NestMap):
            class Registry(cls):
                pass

            tree = cls(a=b"leaf")
            tree["a"] = b"again"  # the same type replaces a leaf
            try:
                tree["a"] = cls(x=1)
            except KeyError:
                print("leaf", end=" ")
            Registry.register(bytes)
            tree["a"] = cls(x=1)  # bytes are levels now: no conflict
            print(dict(tree["a"]), isinstance(b"", cls))
    """)
    assert out.splitlines() == ["leaf {'x': 1} True"] * 2


# ---------------------------------------------------------------------------
# Construction and update


@pytest.mark.parametrize("args, kwargs, expected", [
    (({"name.first": 1, "name.last": 2},), {}, {"name": {"first": 1, "last": 2}}),
    ((), {"a": {"x": 1}}, {"a": {"x": 1}}),
    ((), {"a": ""}, {"a": {}}),
    ((), {"a": "xy"}, {"a": "xy"}),
    ((), {"a": ["ab", "cd"]}, {"a": {"a": "b", "c": "d"}}),
    ((), {"a": [], "b": (), "c": None, "d": 5}, {"a": {}, "b": {}, "c": None, "d": 5}),
    (("",), {}, {}),
    (([("k", 1)],), {"self": 2}, {"k": 1, "self": 2}),
    ((), {"a": {1: 2}}, {"a": {1: 2}}),  # no str key: stays a dict
])
def test_construction(args, kwargs, expected):
    klist = NestMap(*args, **kwargs)
    assert klist == expected and plain(klist) == plain(baseline_nestmap.NestMap(*args, **kwargs))


@pytest.mark.parametrize("args, error", [(("ab",), ValueError), ((5,), TypeError), (({}, {}), TypeError)])
def test_construction_refused_as_by_dict(args, error):
    with pytest.raises(error) as ours:
        NestMap(*args)
    with pytest.raises(error) as theirs:
        dict(*args)
    assert str(ours.value) == str(theirs.value)


def test_construction_shares_sub_levels():
    first = NestMap({"a.b": 1})
    second = NestMap(first)
    assert second["a"] is first["a"]
    second["a.c"] = 2
    second["z"] = 3
    assert first == {"a": {"b": 1, "c": 2}} and "z" not in first


def test_update():
    tree = NestMap({"a.b": 1, "a.c": 2, "keep": 0})
    tree.update(NestMap({"a.b": 9, "a.d.e": 3, "empty": {}}))
    assert tree == {"a": {"b": 9, "c": 2, "d": {"e": 3}}, "keep": 0}
    tree.update(a=NestMap(c=7), n=NestMap(x=1), leaf=5)
    assert tree.a.c == 7 and tree.a.b == 9 and tree.n == {"x": 1} and tree.leaf == 5
    with pytest.raises(KeyError) as info:
        tree.update(first=1, leaf=NestMap(x=1), last=2)
    assert info.value.args == (CONFLICT % "leaf",) and tree.first == 1 and "last" not in tree
    with pytest.raises(TypeError) as info:
        tree.update({}, {})
    assert str(info.value) == "update() takes at most 1 positional arguments (2 given)"
    tree.update([("p.q", 1)])
    tree.update(AttrDict({"r.s": 2}))
    assert tree.p.q == 1 and tree.r.s == 2 and tree.update(self=1) is None and tree.self == 1


def test_listings():
    tree = NestMap({"a.b": 1, "c": {}, "d": {"e": {}}, "f": {"g": "x"}, "h": {"plain.key": 1}})
    tree["h"] = {"plain.key": 1}
    assert tree.all_keys() == ["a.b", "f.g", "h"]
    assert tree.all_items() == [("a.b", 1), ("f.g", "x"), ("h", {"plain.key": 1})]
    assert NestMap(a={}).all_items() == [] and tree.all_keys() is not tree.all_keys()


# ---------------------------------------------------------------------------
# Subclasses


def test_subclasses():
    class Sub(NestMap):
        pass

    assert type(Sub.from_tcl("{a {{b 1}}}")) is NestMap
    tree = Sub()
    tree["a.b"] = 1
    assert type(tree) is Sub and type(tree["a"]) is NestMap and isinstance(tree, NestMap)


def test_overrides_are_honoured_at_every_level():
    seen = []

    class Logged(NestMap):
        def __getitem__(self, key):
            seen.append(key)
            return NestMap.__getitem__(self, key)

    tree = NestMap()
    tree["a"] = Logged({"b": Logged(c=1)})
    assert tree["a.b.c"] == 1 and seen == ["b.c", "c"]


def test_methods_replaced_on_the_class_are_honoured(monkeypatch):
    seen, tree = [], NestMap({"a.b.c": 1})
    original = NestMap.__getitem__

    def spy(self, key):
        seen.append(key)
        return original(self, key)

    assert tree["a.b.c"] == 1
    monkeypatch.setattr(NestMap, "__getitem__", spy)
    assert tree["a.b.c"] == 1 and seen == ["a.b.c", "b.c", "c"]
    monkeypatch.setattr(AttrDict, "__contains__", lambda self, key: key in ("a", "z"), raising=False)
    assert "a.z" in tree and "a.b" not in tree


# ---------------------------------------------------------------------------
# The same rules, interpreted: random operations on both give the same results


PATHS = st.lists(st.sampled_from(["a", "b", ""]), min_size=1, max_size=3).map(".".join)
VALUES = st.one_of(st.integers(0, 3), st.sampled_from(["x", "xbx", "b", ""]),
                   st.dictionaries(PATHS, st.integers(0, 3), max_size=2).map(lambda d: ("tree", d)))
OPERATIONS = st.lists(st.one_of(
    st.tuples(st.sampled_from(["set", "setdefault"]), PATHS, VALUES),
    st.tuples(st.sampled_from(["get", "contains", "del", "pop"]), PATHS),
    st.tuples(st.just("update"), VALUES, st.sampled_from(["a", "b"]), VALUES),
    st.tuples(st.just("listing")),
), max_size=12)


def apply(cls, operations):
    def value(v):
        return cls(v[1]) if isinstance(v, tuple) else v

    tree, outcomes = cls(), []
    for name, *args in operations:
        try:
            if name == "set":
                tree[args[0]] = value(args[1])
                result = None
            elif name == "setdefault":
                result = tree.setdefault(args[0], value(args[1]))
            elif name == "get":
                result = tree[args[0]]
            elif name == "contains":
                result = (args[0] in tree, tree.has_key(args[0]))
            elif name == "del":
                del tree[args[0]]
                result = None
            elif name == "pop":
                result = tree.pop(args[0], "default")
            elif name == "update":
                other = value(args[0])
                result = tree.update(other if isinstance(other, cls) else {}, **{args[1]: value(args[2])})
            else:
                result = (tree.all_keys(), tree.all_items())
            outcomes.append(("ok", plain(result)))
        except Exception as exc:  # the same error, with the same text
            outcomes.append((type(exc).__name__, str(exc)))
    return outcomes, plain(tree)


@EXAMPLES
@given(OPERATIONS)
def test_same_rules_as_interpreted(operations):
    assert apply(NestMap, operations) == apply(baseline_nestmap.NestMap, operations)


# ---------------------------------------------------------------------------
# Tcl text


@pytest.mark.parametrize("text, expected", [
    ("{a 1} {b 2}", [("NestMap", "a", "1"), ("NestMap", "b", "2")]),
    ("{a 1} {b {{c 2}}}", [("NestMap", "a", "1"), ("NestMap", "b", [("NestMap", "c", "2")])]),
    ("{a {x y}}", [("NestMap", "a", "x y")]),
    ("{a {{x y}}}", [("NestMap", "a", [("NestMap", "x", "y")])]),
    ("{a {}}", [("NestMap", "a", [])]),
    ("", []),
    ("{a.b 1}", [("NestMap", "a", [("NestMap", "b", "1")])]),
    ("{a 1} {a 2}", [("NestMap", "a", "2")]),
    ("{a 1} {b 2} {a 3}", [("NestMap", "a", "3"), ("NestMap", "b", "2")]),
    ("{{} 1} {{x y} {{.z w}}}", [("NestMap", "", "1"), ("NestMap", "x y", [("NestMap", "", [("NestMap", "z", "w")])])]),
    ("{a {b {c d} e}} {f { }} {g {{h {\"\" x}}}}",
     [("NestMap", "a", "b {c d} e"), ("NestMap", "f", []), ("NestMap", "g", [("NestMap", "h", "\"\" x")])]),
    ("{a \\{x} {b {{c} {d e}}}", [("NestMap", "a", "{x"), ("NestMap", "b", "{c} {d e}")]),
    ((("a", ("b", "c")), ["d", 5]), [("NestMap", "a", ("b", "c")), ("NestMap", "d", 5)]),
])
def test_from_tcl(text, expected):
    assert plain(NestMap.from_tcl(text)) == plain(baseline_nestmap.NestMap.from_tcl(text)) == expected


@pytest.mark.parametrize("text, error, message", [
    ("a b c", ValueError, "dictionary update sequence element #0 has length 1; 2 is required"),
    ("{a 1 2}", ValueError, "dictionary update sequence element #0 has length 3; 2 is required"),
    ("{a 1} {b", ValueError, "invalid list element"),
    ("{a 1} {a.b 2}", KeyError, repr(CONFLICT % "a")),
    ("{x {{a 1} {a.b 2}}}", KeyError, repr(CONFLICT % "a")),
    ([("a",)], ValueError, "dictionary update sequence element #0 has length 1; 2 is required"),
])
def test_from_tcl_refuses(text, error, message):
    with pytest.raises(error) as info:
        NestMap.from_tcl(text)
    assert str(info.value) == message


def test_from_tcl_reads_cast_list_at_call_time(monkeypatch):
    calls = []

    def cast_list(value):
        calls.append(value)
        return tarvo.tcl.internal._cast_list(value)

    monkeypatch.setattr(tarvo.tcl, "cast_list", cast_list, raising=False)
    assert NestMap.from_tcl("{a {b c}} {d e}") == {"a": "b c", "d": "e"}
    assert calls == ["{a {b c}} {d e}", "a {b c}", "d e", "b c", "b", "c", "e", "e"]


@pytest.mark.parametrize("text", ["{a 1} {b {{c 2}}}", "{a {}}", "", "{{x y} {{z {p q}}}} {w {}} {v {{}}}"])
def outcome(read, text):
    try:
        return plain(read(text))
    except Exception as exc:
        return type(exc).__name__, str(exc)


@st.composite
def nested_lists(draw):
    """Tcl text of nested lists, with any of Tcl's separators between items."""
    def render(node, braced):
        if isinstance(node, str):
            return node
        separator = draw(st.sampled_from([" ", "\t", "\n", "\v", "\f", "\r", " \n "]))
        body = separator.join(render(item, True) for item in node)
        return "{" + body + "}" if braced else body

    words = st.one_of(st.sampled_from(["a", "b", "a.b"]), st.text(alphabet="ab.\"{\\\x01\xa0", min_size=1, max_size=3))
    tree = draw(st.recursive(words, lambda items: st.lists(items, max_size=3), max_leaves=12))
    return render(tree, False)


TCL_TEXTS = st.one_of(st.text(alphabet="ab. {}\"\\\t\n\v\f\r\x01\xa0", max_size=30), nested_lists())


@EXAMPLES
@given(TCL_TEXTS)
def test_what_tcl_would_say_is_what_it_says(text):
    # Where cast_list is Tcl's own parser, from_tcl knows some of its
    # answers without asking; asked through a wrapper it asks every time.
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tarvo.tcl, "cast_list", lambda value: tarvo.tcl.internal._cast_list(value))
        asked = outcome(NestMap.from_tcl, text)
    assert outcome(NestMap.from_tcl, text) == asked


def outcome_in_full(read, text):
    """The tree read, or the error with its chain of causes and contexts."""
    def chain(exc, depth=0):
        if exc is None or depth > 3:
            return None
        return (type(exc), str(exc), chain(exc.__cause__, depth + 1), chain(exc.__context__, depth + 1),
                exc.__suppress_context__)

    try:
        return "read", plain(read(text))
    except Exception as exc:
        return "refused", chain(exc)


# Pieces of keyed-list text: words, Tcl's separators and quoting, backslash
# sequences (some standing for characters our strs spell otherwise), NUL,
# non-ASCII and surrogates.
TEXT_PIECES = st.sampled_from([
    "a", "b", "a.b", ".", "x y", " ", "\t", "\n", "\v", "{}", "{x}", "a{", '"', "\\", "\\\\", "\\{", "\\}",
    "\\ ", "\\\n  ", "\\u00e9", "\\x41", "\\0", "\\ud83d\\ude00", "\\U0001F600", "\x00", "\xe9",
    "\U0001F600", "\ud83d\ude00", "\ud83d",
])
TEXT_WORDS = st.sampled_from(["1", "x", "x y", "", "a.b"]) | st.lists(TEXT_PIECES, max_size=4).map("".join)
TEXT_KEYS = st.sampled_from(["a", "a.b", "b", "a.c", "b.a.c", "a b", "", "1", "\\x41"]) | TEXT_WORDS
TEXT_QUOTES = st.sampled_from(["{%s}", "{%s}", "{%s}", "{%s} ", '"%s"', "%s"])
TEXT_SEPARATORS = st.sampled_from([" ", "  ", "\n", "\t "])


@st.composite
def keyed_list_texts(draw):
    """Keyed lists, nested, with every way of quoting an entry, its key and its
    value, repeated and dotted keys; now and then one byte slipped in."""
    def level(values):
        entries = st.tuples(TEXT_KEYS, values, TEXT_QUOTES, TEXT_QUOTES, TEXT_QUOTES, TEXT_SEPARATORS)
        return st.lists(entries, max_size=4).map(lambda items: " ".join(
            outer % (key_quote % key + separator + value_quote % value)
            for key, value, outer, key_quote, value_quote, separator in items))

    text = draw(st.recursive(TEXT_WORDS, level, max_leaves=10))
    if draw(st.integers(0, 3)) == 0:
        where = draw(st.integers(0, len(text)))
        text = text[:where] + draw(st.sampled_from(["{", "}", '"', "\\", " ", "\x00", ""])) + text[where + 1:]
    return text


@settings(EXAMPLES, max_examples=500)
@given(keyed_list_texts() | TCL_TEXTS)
@example("{a 1} {a.b 2}")
@example("{x {{a 1} {a.b 2}}} {y {1 2}")  # no list at all: before the conflict inside x
@example("{x {{a 1} {a.b 2}}} {y 1 2}")  # an entry of three: before it too
@example('{a 1} {b} {c {x} "y" {z}"}')  # an entry that is no list: before an entry of one
@example("{x {{a 1} {a.b 2}}} {x 1}")  # the value that a repeated key drops is never read
@example("{a 1} {b {{p 1} {p.q 2}}} {a {{r 1} {r.s 2}}}")  # values are read in the dict's order
@example("{a 1} {b {{c 2}}} {a {{d 3}}} {b.e 4}")
@example('{a {b c} d} {e "f g}')
@example("{k {{a \\\ud83d\ude00}}} {l {{b \\\U0001F600}}}")
@example("{k\x00 {{a\x00b \\x00}}} {c \\\n   d}")
@example("{k {{a b\\ c} {d \\{}}} {\\{ 1}")
def test_read_as_asking_tcl_for_every_split(text):
    # from_tcl reads text itself where cast_list is Tcl's parser; through a
    # wrapper it asks cast_list for every split.  Trees, errors and their
    # chains are the same.
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tarvo.tcl, "cast_list", lambda value: tarvo.tcl.internal._cast_list(value))
        asked = outcome_in_full(NestMap.from_tcl, text)
    assert outcome_in_full(NestMap.from_tcl, text) == asked


@pytest.mark.parametrize("separator", [" ", "\t", "\n", "\v", "\f", "\r"])
def test_every_separator_of_tcl(separator):
    text = "{k {{a%sb} {c {x%sy}}}} {d {p%sq}}" % (separator, separator, separator)
    assert plain(NestMap.from_tcl(text)) == [
        ("NestMap", "k", [("NestMap", "a", "b"), ("NestMap", "c", "x%sy" % separator)]),
        ("NestMap", "d", "p%sq" % separator)]


@pytest.mark.parametrize("text", ["{a 1} {b {{c 2}}}", "{a {}}", "", "{{x y} {{z {p q}}}} {w {}} {v {{}}}"])
def test_written_back_as_read(text):
    tree = NestMap.from_tcl(text)
    assert quoten(tree) == text and NestMap.from_tcl(tclobj(tree)) == tree


def test_tclobj_hook(monkeypatch):
    tree = NestMap.from_tcl("{a 1} {b {{c 2}}}")
    assert tree.__tclobj__() == tclobj(tree) == (("a", "1"), ("b", (("c", "2"),)))
    monkeypatch.setattr(nestmap, "tclobj", lambda obj: ("seen", obj))
    assert tree.__tclobj__() == ("seen", [("a", "1"), ("b", tree["b"])])


def test_tcl_obj_of_keyed_list_type_is_read(oracle):
    oracle.eval("set k {}; keylset k a.b 1 c {x y}")
    keyed = oracle.call("set", "k")
    other = oracle.call("dict", "create", "a", 1)
    assert type(keyed) is nestmap.Tcl_Obj and keyed.typename == "keyedList" and other.typename != "keyedList"
    tree = NestMap(other=other)
    tree["x.y"] = keyed
    assert tree["x.y"] == {"a": {"b": "1"}, "c": "x y"} and type(tree["x.y"]) is NestMap
    assert tree["other"] is other and NestMap.from_tcl(keyed) == tree["x.y"]


# ---------------------------------------------------------------------------
# TclX as the oracle

TCLX_LEAVES = r"""
proc nestmap_leaves {var {prefix {}}} {
    upvar 1 $var kl
    set out {}
    if {$prefix eq {}} {set keys [keylkeys kl]} else {set keys [keylkeys kl $prefix]}
    foreach key $keys {
        if {$prefix eq {}} {set path $key} else {set path $prefix.$key}
        if {[catch {keylkeys kl $path}]} {
            lappend out $path [keylget kl $path]
        } else {
            lappend out {*}[nestmap_leaves kl $path]
        }
    }
    return $out
}
"""

KEYS = st.from_regex(r"[a-z0-9_]([a-z0-9_ ]{0,3}[a-z0-9_])?", fullmatch=True)
LEAVES = st.text(alphabet="abz019 \t$[];#-_:/", max_size=8)
TREES = st.recursive(LEAVES, lambda children: st.dictionaries(KEYS, children, min_size=1, max_size=4), max_leaves=25)


def flatten(tree, prefix=""):
    for key, value in tree.items():
        if isinstance(value, dict):
            yield from flatten(value, prefix + key + ".")
        else:
            yield prefix + key, value


def tclx_leaves(tk, var):
    pairs = tk.splitlist(tk.eval(f"nestmap_leaves {var}"))
    return list(zip(pairs[::2], pairs[1::2]))


@EXAMPLES
@given(TREES.filter(lambda t: isinstance(t, dict)))
def test_read_and_written_as_tclx_reads(oracle, tree):
    oracle.eval(TCLX_LEAVES + "set k {}")
    for path, leaf in flatten(tree):
        oracle.call("keylset", "k", path, leaf)
    leaves = tclx_leaves(oracle, "k")
    tree = NestMap.from_tcl(oracle.eval("set k"))
    assert tree.all_items() == NestMap.from_tcl(oracle.call("set", "k")).all_items() == leaves
    oracle.call("set", "object", tclobj(tree))
    oracle.call("set", "text", quoten(tree))
    assert tclx_leaves(oracle, "object") == tclx_leaves(oracle, "text") == leaves


@pytest.mark.parametrize("text, path, message", [
    ("{{} 1}", "", "may not be an empty string"),
    ("{a.b 1}", "a.b", 'may not contain a "."'),
    ("{x {{y.z 1}}}", "x.y.z", 'may not contain a "."'),
])
def test_keys_tclx_refuses_are_read_all_the_same(oracle, text, path, message):
    oracle.call("set", "r", text)
    with pytest.raises(tkinter.TclError, match=message):
        oracle.eval("keylkeys r [lindex [keylkeys r] 0]")
    assert NestMap.from_tcl(text).all_items() == [(path, "1")]


# ---------------------------------------------------------------------------
# Bad input


def test_deep_nesting_never_overflows_the_stack():
    out = run_isolated("""
        from tarvo.tcl.nestmap import NestMap

        def attempt(operation):
            try:
                operation()
                print("works")
            except RecursionError:
                print("RecursionError")

        depth = 20000
        path = ".".join(["a"] * depth)
        tree = NestMap()
        tree[path] = 1
        print(tree[path], path in tree)
        for operation in (tree.all_keys, tree.all_items, lambda: NestMap().update(tree)):
            attempt(operation)
        del tree[path]
        print(tree == {})
        nested, text = {}, "x"
        for _ in range(depth):
            nested = {"a": nested}
        for _ in range(5000):
            text = "{a {" + text + "}}"
        attempt(lambda: NestMap(nested))
        attempt(lambda: NestMap.from_tcl(text))
    """)
    words = out.split()
    assert words[:2] == ["1", "True"] and words[5] == "True" and len(words) == 8
    assert set(words[2:5] + words[6:]) <= {"works", "RecursionError"}


class BadHashStr(str):
    __hash__ = hostile.boom


class BadGet(dict):
    __getitem__ = __delitem__ = __contains__ = hostile.boom


def replace_cast_list(function):
    def operation(text):
        saved = tarvo.tcl.cast_list
        tarvo.tcl.cast_list = function
        try:
            return NestMap.from_tcl(text)
        finally:
            tarvo.tcl.cast_list = saved

    return operation


CALLS = [
    ("construct", lambda t: NestMap({"a.b": [("c", 1)]}, d=2), None),
    ("construct refused", lambda t: NestMap("ab"), ValueError),
    ("construct bad keys", lambda t: NestMap(hostile.BadKeys()), hostile.Boom),
    ("construct bad iter", lambda t: NestMap(a=hostile.BadIter()), hostile.Boom),
    ("construct bad hash", lambda t: NestMap([(BadHashStr("k"), 1)]), hostile.Boom),
    ("construct conflict", lambda t: NestMap({"a": {"b": 1, "b.c": 2}}), KeyError),
    ("get", lambda t: t["a.b.c"], None),
    ("get missing", lambda t: t["a.q.c"], KeyError),
    ("get through leaf", lambda t: t["s.x"], TypeError),
    ("get bad leaf", lambda t: t["bad.x"], hostile.Boom),
    ("get bad hash", lambda t: t[BadHashStr("a")], hostile.Boom),
    ("set", lambda t: t.__setitem__("n.m.o", 1), None),
    ("set conflict", lambda t: t.__setitem__("s.x", 1), KeyError),
    ("set level on leaf", lambda t: t.__setitem__("s", NestMap()), KeyError),
    ("set int key", lambda t: t.__setitem__(1, 1), TypeError),
    ("contains", lambda t: ("a.b.c" in t, t.has_key("a.q")), None),
    ("contains bad leaf", lambda t: "bad.x" in t, hostile.Boom),
    ("delete", lambda t: t.__delitem__("a.b.c"), None),
    ("delete missing", lambda t: t.__delitem__("a.b.q"), KeyError),
    ("delete bad leaf", lambda t: t.__delitem__("bad.x"), hostile.Boom),
    ("get pop setdefault", lambda t: (t.get("a.q"), t.pop("a.b.c"), t.setdefault("x.y", 1)), None),
    ("update", lambda t: (t.update(NestMap({"a.b.d": 1}), k=NestMap(z=1)), t.update({"p.q": 2})), None),
    ("update too many", lambda t: t.update({}, {}), TypeError),
    ("update bad keys", lambda t: t.update(hostile.BadKeys()), hostile.Boom),
    ("update bad pairs", lambda t: t.update(hostile.BadNext(0)), hostile.Boom),
    ("update conflict", lambda t: t.update(s=NestMap(x=1)), KeyError),
    ("listings", lambda t: (t.all_keys(), t.all_items()), None),
    ("tclobj", lambda t: (t.__tclobj__(), quoten(t), tclobj(t)), None),
    ("tclobj bad value", lambda t: NestMap(v=hostile.BadTclobj()).__tclobj__(), hostile.Boom),
    ("from_tcl", lambda t: NestMap.from_tcl("{a {{b 1} {c {x y}}}} {d {}} {e.f 2}"), None),
    ("from_tcl malformed", lambda t: NestMap.from_tcl("{a 1} {b"), ValueError),
    ("from_tcl no pairs", lambda t: NestMap.from_tcl("a b"), ValueError),
    ("from_tcl conflict", lambda t: NestMap.from_tcl("{a {{b 1} {b.c 2}}}"), KeyError),
    ("from_tcl conflict dropped", lambda t: NestMap.from_tcl("{x {{a 1} {a.b 2}}} {x 1}"), None),
    ("from_tcl conflicts in order", lambda t: NestMap.from_tcl("{a 1} {b {{p 1} {p.q 2}}} {a {{r 1} {r.s 2}}}"),
     KeyError),
    ("from_tcl entry no list", lambda t: NestMap.from_tcl('{a 1} {b} {c {x} "y" {z}"}'), ValueError),
    ("from_tcl escapes", lambda t: NestMap.from_tcl("{k {{a \\\xe9\\{} {b \\x41}}} {c\x00 d\\ e} {f \"g h\"}"), None),
    ("from_tcl bad str", lambda t: NestMap.from_tcl(hostile.BadStr()), hostile.Boom),
    ("from_tcl bad cast_list", lambda t: replace_cast_list(hostile.boom)("{a 1}"), hostile.Boom),
    ("from_tcl bad arguments", lambda t: NestMap.from_tcl(), TypeError),
    ("unbound on a dict", lambda t: NestMap.__getitem__({}, "a"), TypeError),
]


@pytest.mark.parametrize("name, operation, raises", CALLS, ids=[c[0] for c in CALLS])
def test_errors_and_leaks(no_leaks, name, operation, raises):
    def tree():
        made = NestMap({"a.b.c": 1, "s": "x"})
        made["bad"] = BadGet()
        return made

    if raises is hostile.Boom:
        with pytest.raises(hostile.Boom) as info:
            operation(tree())
        assert info.value is hostile.last_raised()
    no_leaks(lambda: operation(tree()), raises=raises)


def python_unpack_error(entry):
    try:
        _, _ = entry
    except (TypeError, ValueError) as exc:
        return type(exc), str(exc)
    return None


@pytest.mark.parametrize(
    "listing",
    [lambda: [("a.b", 1), ["c", "€"]], lambda: [("a.b", 1), 5], lambda: [("a.b", 1), ("c",)],
     lambda: [("a.b", 1), iter(["x", "é", "y"])], lambda: [("a", 1), None], lambda: (("a.é", 2),)],
)
def test_update_from_a_nestmap_takes_what_its_own_all_items_lists(listing):
    # A subclass's all_items is what update merges, entry by entry, with
    # Python's unpacking errors for entries that are no pair.
    class Listed(NestMap):
        def all_items(self):
            return listing()

    target = NestMap(z=0)
    failure = next((e for e in map(python_unpack_error, listing()) if e), None)
    if failure is None:
        target.update(Listed(ignored=1))
        assert target.all_items() == [("z", 0), *map(tuple, listing())]
    else:
        with pytest.raises(failure[0]) as info:
            target.update(Listed(ignored=1))
        assert str(info.value) == failure[1]


class Entries:
    """An iterable that is no list or tuple: unpacked item by item."""

    def __init__(self, *values):
        self.values = values

    def __iter__(self):
        return iter(self.values)


def unpack_error(entry):
    try:
        first, second = entry
    except (TypeError, ValueError) as error:
        return type(error), str(error)
    raise AssertionError(f"{entry!r} unpacks")


@pytest.mark.parametrize("entry", [
    ("a", 1, 2), ["a", 1, 2], ("a",), [], Entries("a", 1, 2), Entries("a"), Entries(),
    {"a": 1, "b": 2, "c": 3}, 5,
], ids=repr)
@pytest.mark.parametrize("nested", [False, True], ids=["top", "nested"])
def test_a_listing_that_yields_no_pair_fails_as_python_unpacking_does(entry, nested):
    # An override of all_items() whose entries are no pairs: the merge says
    # what `path, leaf = entry` would say, on every Python version.
    class Odd(NestMap):
        def all_items(self):
            return [entry]

    source = NestMap(top=Odd()) if nested else Odd()
    kind, message = unpack_error(entry)
    with pytest.raises(kind) as caught:
        NestMap().update(source)
    assert str(caught.value) == message


def test_levels_go_through_attrdict_s_own_methods_once_they_are_replaced(monkeypatch):
    # Replaced on the base class, each of them is called with the arguments
    # in their places, on every level of a path.
    calls = []

    def recording(name):
        plain = getattr(dict, name)

        def method(self, *args):
            calls.append((name, *args))
            return plain(self, *args)

        return method

    for name in ("__setitem__", "__getitem__", "__delitem__"):
        monkeypatch.setattr(AttrDict, name, recording(name))
    tree = NestMap()
    tree["a.b"] = "leaf"
    assert tree["a.b"] == "leaf"
    del tree["a.b"]
    assert dict(tree) == {}  # (an emptied level goes too)
    assert [call for call in calls if call[0] == "__setitem__"][-1] == ("__setitem__", "b", "leaf")
    assert ("__getitem__", "b") in calls and ("__delitem__", "b") in calls


@pytest.mark.parametrize("depth", [31, 32, 33, 34, 64])
def test_keyed_lists_nested_past_the_brace_stack_read_as_tclx_reads(oracle, depth):
    # The braces still open while the text is read are kept in a fixed
    # place up to a depth, and beyond it elsewhere: both edges, with an
    # element after the deepest one at every level.
    oracle.eval(TCLX_LEAVES + "set k {}")
    paths = [".".join(f"k{i}" for i in range(depth)), "k0.k1.after", ".".join(f"k{i}" for i in range(depth - 1)) + ".z"]
    for n, path in enumerate(paths):
        oracle.call("keylset", "k", path, f"leaf {n}")
    tree = NestMap.from_tcl(oracle.eval("set k"))
    assert tree.all_items() == tclx_leaves(oracle, "k")
    assert [tree[path] for path in paths] == ["leaf 0", "leaf 1", "leaf 2"]
