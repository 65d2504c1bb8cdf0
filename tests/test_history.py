import datetime
import logging
import re

import pytest

from support.crash import run_isolated

from tarvo.tcl import history as history_module
from tarvo.tcl.history import Entry, History


def apis(entries):
    return [entry.api for entry in entries]


def filled(*commands, **kwargs):
    h = History(**kwargs)
    for command in commands:
        h.append(command)
    return h


def test_module_top_level_order():
    names = [n for n in vars(history_module) if not n.startswith("__")]
    assert names == ["re", "logging", "deque", "get_time", "logger", "Entry", "History"]
    assert history_module.logger.name == "tarvo.tcl"


def test_new_history():
    h = History()
    assert History.__MAX_HISTORY__ == 9999
    assert h.enabled is True
    assert h.__markers__ == {} and h.__activeMarkers__ == []
    assert str(h) == repr(h) == "deque([], maxlen=9999)"


@pytest.mark.parametrize(
    "capacity, kept",
    [(3, ["b", "c", "d"]), (None, ["a", "b", "c", "d"]), (0, [])],
)
def test_capacity(capacity, kept):
    h = filled("a", "b", "c", "d", max_history=capacity)
    assert apis(h.filter(count=0)) == kept
    h.start_marker("m")
    assert h.__markers__["m"].maxlen == capacity


@pytest.mark.parametrize("bad, error", [(-1, ValueError), ("x", TypeError)])
def test_capacity_refused_by_deque(bad, error):
    with pytest.raises(error):
        History(bad)


@pytest.mark.parametrize(
    "words, text",
    [
        (["puts", "hello world"], "puts {hello world}"),
        (("set", "x", "a b"), "set x {a b}"),
        (["a\tb", "c\nd"], "a\tb c\nd"),  # only blanks force braces
        (["{a b}"], "{{a b}}"),
        ([], ""),
        (iter(["x", "y"]), "x y"),
    ],
)
def test_words_are_joined(words, text):
    assert Entry(words).api == text


def tcl_words(words):
    """A command's words as the history shows them: a word holding a blank
    braced, the words joined with single blanks."""
    return " ".join("{%s}" % w if " " in w else w for w in words)


# Words of every width (ASCII, Latin-1, BMP, astral), each first, last and
# beside a wider or narrower one; short words and long ones (the C library
# scans and copies from 17 characters on), a blank as a word's last character.
WORD_MIXES = [
    ["puts", "x" * 15 + " ", "y" * 16, "z" * 16 + " ", "w" * 17],
    ["é", "a b", "ü" * 17, "c"],
    ["€", "a", "b c"],
    ["a", "€ x", "b"],
    ["\U0001F600", "é", "a", "€ b"],
    ["é b", "\U0001F600 c", "€"],
    ["a" * 20, "€" * 20 + " ", "é"],
]


@pytest.mark.parametrize("words", WORD_MIXES)
def test_words_of_every_width_are_joined(words):
    assert Entry(words).api == tcl_words(words)
    h = History()
    h.append(tuple(words))
    assert h.filter()[0].api == tcl_words(words)


@pytest.mark.parametrize("count", [31, 32, 33, 40])
@pytest.mark.parametrize("blank_at", [0, 30, 31, 32, 39])
def test_many_words_keep_their_braces(count, blank_at):
    words = ["w%d" % i for i in range(count)]
    if blank_at < count:
        words[blank_at] = "a b"
    assert Entry(words).api == tcl_words(words)
    assert Entry(words + ["€"]).api == tcl_words(words + ["€"])


@pytest.mark.parametrize("words", [["a", 1], ["a", "€", b"x"], ["é", None]])
def test_bad_word_is_named_as_str_join_names_it(words):
    with pytest.raises(TypeError) as python:
        " ".join(words)
    with pytest.raises(TypeError) as ours:
        Entry(words)
    assert str(ours.value) == str(python.value)


def test_string_api_kept_as_is():
    class Text(str):
        pass

    api = Text("puts hi")
    assert Entry(api).api is api


@pytest.mark.parametrize("item", [["a", 1], [b"x"], 5, None])
def test_bad_items_store_nothing(item):
    h = History()
    with pytest.raises(TypeError):
        h.append(item)
    assert h.filter() == []


def test_entry_display():
    e = Entry("puts hello")
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}: puts hello", str(e))
    assert repr(e) == "<Entry '%s' at %s>" % (e, hex(id(e)))


def test_timestamp_is_the_moment_of_recording():
    before = datetime.datetime.now()
    h = filled("x")
    after = datetime.datetime.now()
    stamp = h.filter()[0].timestamp
    assert type(stamp) is datetime.datetime
    assert before <= stamp <= after
    assert h.filter()[0].timestamp is stamp


def test_replaced_get_time_is_used(monkeypatch):
    fixed = datetime.datetime(2020, 1, 2, 3, 4, 5, 6)
    monkeypatch.setattr(history_module, "get_time", lambda: fixed)
    e = filled("x").filter()[0]
    assert e.timestamp is fixed
    assert str(e) == "2020-01-02T03:04:05.000006: x"


def test_clock_replaced_before_start_up_is_used():
    # The package reads tarvo.utils.utils.get_time when it starts: a clock of
    # the user's own put there first is the one every entry reads.
    out = run_isolated("""
        import datetime
        import tarvo.utils.utils as utils
        utils.get_time = lambda: datetime.datetime(2001, 2, 3, 4, 5, 6, 7)
        from tarvo.tcl.history import Entry, History
        h = History()
        h.append(["set", "x", "€ 1"])
        print(Entry("x").timestamp.isoformat(), h.filter()[0])
    """)
    assert out.split() == ["2001-02-03T04:05:06.000007", "2001-02-03T04:05:06.000007:", "set", "x", "{€", "1}"]


def test_timestamp_is_a_plain_attribute():
    e = Entry("x")
    e.timestamp = 5
    assert e.timestamp == 5
    del e.timestamp
    with pytest.raises(AttributeError):
        e.timestamp
    with pytest.raises(AttributeError):
        str(e)


def test_markers():
    h = History()
    h.start_marker("m")
    h.append("a")
    h.end_marker("m")
    h.append("b")
    assert apis(h.filter("m")) == ["a"]
    assert apis(h.filter()) == ["a", "b"]
    h.start_marker("m")  # restarted: keeps what it had
    h.append("c")
    assert apis(h.filter("m")) == ["a", "c"]


def test_entries_are_shared_and_double_markers_receive_twice():
    h = History()
    h.start_marker("m")
    h.start_marker("n")
    h.start_marker("m")
    h.append("x")
    (entry,) = h.filter()
    assert h.filter("m") == [entry, entry]
    assert h.filter("n")[0] is entry
    h.end_marker("m")
    h.append("y")
    assert apis(h.filter("m")) == ["x", "x", "y"]


def test_unknown_markers():
    h = History()
    with pytest.raises(ValueError):
        h.end_marker("nope")
    with pytest.raises(KeyError) as info:
        h.clear(marker="nope")
    assert info.value.args == ("nope",)
    with pytest.raises(Exception) as info:
        h.filter("nope")
    assert type(info.value) is Exception
    assert str(info.value) == "No such marker: nope"
    assert isinstance(info.value.__context__, KeyError)


@pytest.mark.parametrize(
    "count, expected",
    [(0, "abcde"), (2, "de"), (9, "abcde"), (-2, "cde"), (5, "abcde")],
)
def test_filter_count(count, expected):
    h = filled(*"abcde")
    assert "".join(apis(h.filter(count=count))) == expected


def test_filter_pattern_after_count():
    h = filled("set a 1", "puts x", "set b 2", "puts y", "set c 3", "puts z")
    assert apis(h.filter(count=5, regex="set")) == ["set b 2", "set c 3"]
    assert apis(h.filter(count=0, regex=re.compile(r"\d$"))) == ["set a 1", "set b 2", "set c 3"]
    assert len(h.filter(count=0, regex="")) == 6
    assert apis(h.filter(count=0, regex="b")) == ["set b 2"]  # a search, not a match
    with pytest.raises(re.error):
        h.filter(regex="(")


def test_clear():
    h = History()
    h.start_marker("m")
    h.append("a")
    h.clear()
    assert h.filter() == [] and apis(h.filter("m")) == ["a"]
    h.append("b")
    h.clear(marker="m")
    assert h.filter("m") == [] and apis(h.filter()) == ["b"]
    h.clear(marker="ignored", clear_all=True)
    assert h.filter() == [] and h.__activeMarkers__ == ["m"]
    h.append("c")
    assert apis(h.filter("m")) == ["c"]


def test_disable_and_enable(caplog):
    caplog.set_level(logging.DEBUG, logger="tarvo.tcl")
    h = History()
    h.start_marker("m")
    h.disable()
    h.append("a")
    assert h.enabled is False and h.filter() == [] and h.filter("m") == []
    h.enable()
    h.append(["puts", "hello world"])
    assert apis(h.filter("m")) == ["puts {hello world}"]
    assert [r.getMessage() for r in caplog.records] == [
        "TclHistory is enabled.",
        "TclHistory is disabled.",
        "% a",
        "TclHistory is enabled.",
        "% ['puts', 'hello world']",
    ]
    assert {r.levelno for r in caplog.records} == {logging.DEBUG}


def test_tuple_items_are_logged_and_recorded(caplog):
    caplog.set_level(logging.DEBUG, logger="tarvo.tcl")
    h = History()
    h.append(("set", "x"))
    assert [r.getMessage() for r in caplog.records][-1] == "% ('set', 'x')"
    assert apis(h.filter()) == ["set x"]


def test_logging_follows_level_changes(caplog):
    h = History()
    caplog.set_level(logging.INFO, logger="tarvo.tcl")
    h.append("quiet")
    caplog.set_level(logging.DEBUG, logger="tarvo.tcl")
    h.append("loud")
    assert [r.getMessage() for r in caplog.records] == ["% loud"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda h: h.append(), "append() takes exactly 2 positional arguments (1 given)"),
        (lambda h: h.append("a", "b"), "append() takes exactly 2 positional arguments (3 given)"),
        (lambda h: h.filter(1, 2, 3, 4), "filter() takes at most 4 positional arguments (5 given)"),
        (lambda h: h.start_marker(mark="m"), "start_marker() got an unexpected keyword argument 'mark'"),
        (lambda h: h.clear(None, marker="m"), "clear() got multiple values for keyword argument 'marker'"),
        (lambda h: h.enable(1), "enable() takes exactly 1 positional argument (2 given)"),
        (lambda h: h.disable(1), "disable() takes exactly 1 positional argument (2 given)"),
        (lambda h: Entry(), "__init__() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(History())
    assert str(info.value) == message


def test_keywords_work():
    h = History(max_history=2)
    h.append(item="a")
    h.start_marker(marker="m")
    h.append(item="b")
    assert apis(h.filter(marker="m", count=1, regex="b")) == ["b"]
    h.clear(clear_all=True)
    assert h.filter() == []


def test_histories_take_attributes_and_weak_references():
    import weakref

    h = History()
    h.note = "mine"
    assert h.__dict__ == {"note": "mine"}
    ref = weakref.ref(h)
    del h
    assert ref() is None


def test_subclass_and_replaced_stores():
    class Mine(History):
        def enable(self):
            self.enabled = "yes"

    h = Mine(5)
    assert h.enabled == "yes"
    h.append("a")
    assert apis(h.filter()) == ["a"]
    h.__history__ = []  # any object with append works as the store
    h.append("b")
    assert apis(h.__history__) == ["b"]


@pytest.mark.parametrize("attribute", ["api", "timestamp"])
def test_cycles_through_an_entry_are_collected(attribute):
    import gc
    import weakref

    class Holder:
        pass

    entry, holder = Entry("x"), Holder()
    holder.entry = entry
    setattr(entry, attribute, holder)
    gone = weakref.ref(holder)
    del entry, holder
    gc.collect()
    assert gone() is None


# -- whether to log: read again whenever the logging setup changed ----------------


class Kept(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


class Chatty(logging.Logger):
    def isEnabledFor(self, level):
        return True


def debug_level(logger):
    logger.setLevel(logging.DEBUG)


LOGGING_CHANGES = [
    ("level DEBUG", debug_level, True),
    ("level back to WARNING", lambda logger: logger.setLevel(logging.WARNING), False),
    ("disabled at DEBUG", lambda logger: (debug_level(logger), setattr(logger, "disabled", True)), False),
    ("logging.disable", lambda logger: (debug_level(logger), logging.disable(logging.DEBUG)), False),
    ("isEnabledFor of the logger's own", lambda logger: setattr(logger, "isEnabledFor", lambda level: True), True),
    ("a class of its own", lambda logger: setattr(logger, "__class__", Chatty), True),
]


@pytest.mark.parametrize("change, logs", [c[1:] for c in LOGGING_CHANGES], ids=[c[0] for c in LOGGING_CHANGES])
@pytest.mark.parametrize("through", ["append", "eval"])
def test_logging_decided_anew_after_a_change(tcl, change, logs, through):
    logger = logging.getLogger("tarvo.tcl")
    kept, saved = Kept(), dict(vars(logger))
    logger.addHandler(kept)
    record = (lambda text: tcl.history.append(text)) if through == "append" else tcl.eval
    try:
        for _ in range(3):
            record("set before 1")  # the answer for the setup as it was is kept
        change(logger)
        record("set after 1")
        record("set after 1")
    finally:
        logging.disable(logging.NOTSET)
        logger.__class__ = logging.Logger
        vars(logger).clear()
        vars(logger).update(saved)
        logger._cache.clear()
    assert kept.messages == (["% set after 1"] * 2 if logs else [])


def test_logger_replaced_in_the_module(tcl, monkeypatch):
    other, kept = logging.getLogger("tarvo.tcl.test.other"), Kept()
    other.addHandler(kept)
    other.setLevel(logging.DEBUG)
    tcl.eval("set a 1")
    monkeypatch.setattr(history_module, "logger", other)
    tcl.eval("set a 2")
    tcl.jot.set("a", "3")
    assert kept.messages == ["% set a 2", "% ['set', 'a', '3']"]


# -- entries that rerun exactly ----------------------------------------------

from hypothesis import given, settings, strategies as st  # noqa: E402

WORDS = st.lists(st.text(st.characters(blacklist_categories=["Cs"]), max_size=8), min_size=1, max_size=6)


@settings(max_examples=200, database=None)
@given(words=WORDS)
def test_an_entry_of_words_reruns_as_the_same_words(tcl_session, oracle, words):
    tcl_session.eval("proc capture args {}", record=False)
    oracle.eval("proc capture args {set ::got $args}")
    tcl_session.jot.capture(*words)
    entry = tcl_session.history.filter(count=1)[0]
    assert entry.words == ("capture", *words)
    oracle.call("eval", entry.script)
    # Compared by Tcl itself: tkinter would hand a word back as a tuple
    # where Tcl once read it as a list (a shared literal, say).
    oracle.call("set", "::want", tuple(words))
    assert oracle.eval("expr {[llength $::got] == [llength $::want] && $::got eq $::want}") == "1"
    assert entry.api == " ".join("{%s}" % w if " " in w else w for w in entry.words)


@pytest.mark.parametrize(
    "words, script",
    [
        (["list", "a", "", "b"], "list a {} b"),
        (["expect", "-re", "\r\nSW-7> $", ""], "expect -re {\r\nSW-7> $} {}"),
        (["puts", "[exit]", "{", "\u00e9\u4e2d"], "puts {[exit]} \\{ \u00e9\u4e2d"),
    ],
    ids=["empty word", "newline and dollar", "bracket, brace, non-Latin-1"],
)
def test_the_script_of_an_entry_is_written_as_tcl_s_list(oracle, words, script):
    entry = Entry(iter(words))
    assert (entry.words, entry.script) == (tuple(words), script)
    oracle.call("set", "words", tuple(words))
    assert entry.script == oracle.eval("string cat $words")


def test_an_entry_keeps_its_own_copy_of_the_words_and_text_stands_for_itself():
    words = ["set", "x", "a b"]
    entry = Entry(words)
    words.append("more")
    assert (entry.words, entry.script, entry.api) == (("set", "x", "a b"), "set x {a b}", "set x {a b}")
    text = Entry("set x {a b}")
    assert (text.words, text.script) == (None, "set x {a b}")
    entry.api = "puts hello"  # the words no longer make the command
    assert (entry.words, entry.script) == (None, "puts hello")


def test_freeing_an_entry_while_the_collector_runs_is_safe():
    # Clearing a freed entry's command may run code (here a collection):
    # the collector must no longer see the entry then.
    out = run_isolated("""
        import gc
        from tarvo.tcl.history import Entry

        class Collects:
            def __del__(self):
                gc.collect()

        for n in range(200):
            entry = Entry("x")
            entry.api = Collects()
            if n % 2:
                entry.timestamp = [entry]  # a cycle: the collector frees it
            del entry
            gc.collect()
        print("done")
    """)
    assert out == "done\n"
