"""Secret: Tcl receives the value, the history, its log and error reports
show ****."""
import copy
import logging
import pickle
import re
import textwrap

import pytest
from tkinter import TclError

import tarvo.tcl
from support import hostile
from support.crash import run_isolated
from tarvo.tcl import Secret
from tarvo.tcl.nestmap import NestMap
from tarvo.tcl.quoten import _quoten_masked, quoten, tclobj

PW = "hunter2"


class Login:
    """An object whose Tcl string holds a Secret, reached through quoten."""

    def __quoten__(self):
        return quoten(["admin", Secret(PW)])


@pytest.fixture
def echo(tcl):
    tcl.eval("proc echo args {return $args}")
    tcl.history.clear()
    return tcl


def test_secret_shows_nothing_of_its_value():
    s = Secret(PW)
    assert (repr(s), str(s), f"{s}", "%s" % s) == ("Secret(****)", "****", "****", "****")
    assert s.reveal() == PW and tarvo.tcl.Secret is Secret
    with pytest.raises(AttributeError):
        s.value = "other"
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (Secret,), {})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Secret(), r"^Secret\(\) takes exactly 1 positional argument \(0 given\)$"),
        (lambda: Secret(1, 2), r"^Secret\(\) takes exactly 1 positional argument \(2 given\)$"),
        (lambda: Secret(val=1), r"^Secret\(\) got an unexpected keyword argument 'val'$"),
        (lambda: Secret(1).reveal(2), r"^reveal\(\) takes exactly 1 positional argument \(2 given\)$"),
        (lambda: hash(Secret([])), r"^unhashable type: 'list'$"),
    ],
)
def test_bad_arguments(call, message):
    with pytest.raises(TypeError, match=message):
        call()


@pytest.mark.parametrize(
    "operation",
    [
        lambda: Secret(hostile.BadEq()) == Secret(1),
        lambda: hash(Secret(hostile.BadHash())),
        lambda: quoten(Secret(hostile.BadStr())),
        lambda: tclobj(Secret(hostile.BadStr())),
        lambda: _quoten_masked(["a", Secret(hostile.BadStr())]),
    ],
    ids=["eq", "hash", "quoten", "tclobj", "masked"],
)
def test_hostile_values_raise_through(operation):
    with pytest.raises(hostile.Boom) as raised:
        operation()
    assert raised.value is hostile.last_raised()


def test_equality_hash_pickle_and_copy():
    s = Secret(PW)
    assert s == Secret(PW) and s != Secret("other") and s != PW and PW != s
    assert hash(s) == hash(Secret(PW)) and hash(Secret(5)) != hash(5)
    assert len({s, Secret(PW), Secret("other")}) == 2
    for twin in (pickle.loads(pickle.dumps(s)), copy.copy(s), copy.deepcopy(s)):
        assert type(twin) is Secret and twin.reveal() == PW


@pytest.mark.parametrize(
    "value, quoted, obj",
    [
        (Secret(PW), PW, PW),
        (Secret(5), "5", 5),
        (Secret(None), "", ""),
        (Secret(["a b", 1]), "{a b} 1", ("a b", 1)),
        (["user", Secret("p w")], "user {p w}", ("user", "p w")),
        ({"password": Secret(PW)}, "password hunter2", ("password", PW)),
        (Secret(Secret(PW)), PW, PW),
    ],
)
def test_quoten_and_tclobj_give_the_value(value, quoted, obj):
    assert quoten(value) == quoted
    assert tclobj(value) == obj


@pytest.mark.parametrize(
    "value, masked",
    [
        ("plain", "plain"),
        (["a", 1], "a 1"),
        (Secret(PW), (PW, "****", (PW,))),
        (["user", Secret("p w")], ("user {p w}", "user ****", ("p w",))),
        (Secret(["a b", Secret("c")]), ("{a b} c", "****", ("{a b} c",))),
        (Secret(""), ("", "****", ())),
        (Login(), ("admin hunter2", "admin ****", (PW,))),
        (NestMap({"user": "admin", "password": Secret(PW)}), ("{user admin} {password hunter2}",
                                                             "{user admin} {password ****}", (PW,))),
        (5, ("5", "5", ())),  # an int from __quoten__ would be a non-str word
    ],
    ids=["str", "list", "secret", "in a list", "nested", "empty", "hook", "keyed list", "no str"],
)
def test_quoten_masked(value, masked):
    if value == 5:
        class Five:
            def __quoten__(self):
                return 5

        value, masked = Five(), (5, 5, ())
    assert _quoten_masked(value) == masked


@pytest.mark.parametrize(
    "args, kwargs, tcl_gets, recorded",
    [
        ((Secret(PW),), {}, "hunter2", "echo ****"),
        (("admin",), {"password": Secret(PW)}, "admin -password hunter2", "echo admin -password ****"),
        ((["admin", Secret(PW)], "x y"), {}, "{admin hunter2} {x y}", "echo {admin ****} {x y}"),
        ((Secret("a b"), Secret("c")), {}, "{a b} c", "echo **** ****"),
        ((Login(), 1), {"n": None}, "{admin hunter2} 1 -n {}", "echo {admin ****} 1 -n "),
    ],
)
def test_quick_call_sends_the_value_and_records_the_mask(echo, caplog, args, kwargs, tcl_gets, recorded):
    caplog.set_level(logging.DEBUG, logger="tarvo.tcl")
    assert echo.jot.echo(*args, cast_=False, **kwargs) == tcl_gets
    (entry,) = echo.history.filter()
    assert entry.api == recorded and str(entry).endswith(": " + recorded)
    assert PW not in caplog.text and "****" in caplog.text


@pytest.mark.parametrize(
    "secret, message",
    [
        (Secret(PW), "refused: ****\n"),
        (Secret("p w {x"), "refused: ****\n"),
        (Secret("x" * 200), "refused: ****\n"),
    ],
    ids=["word", "needs escaping", "longer than Tcl's trace shows"],
)
def test_a_tcl_error_reports_the_secret_masked(echo, secret, message):
    echo.eval("proc check {user password} {error \"refused: $password\"}")
    with pytest.raises(TclError) as failure:
        echo.jot.check("admin", secret)
    text = str(failure.value)
    assert text.startswith(message)
    assert text.endswith('invoked from within\n"check admin ****"')
    assert secret.reveal() not in text and secret.reveal()[:20] not in text
    assert failure.value.__cause__ is None and failure.value.__suppress_context__
    assert not isinstance(failure.value.__context__, TclError)


# Secrets longer than Tcl's messages quote them, of every width of
# character; Tcl cuts some of them inside a character.
CUT_SECRETS = {
    "one long word": "Tr0ub4dor-correcthorsebatterystaple-xyzzy-plugh",
    "words": "correct horse battery staple, then more words " * 2,
    "accents": "p\u00e4ssw\u00f6rd-\u00fcn\u00efcode-\u20ac\u20ac\u20ac-" * 4,
    "cjk": "\u65e5\u672c\u8a9e\u306e\u30d1\u30b9\u30ef\u30fc\u30c9" * 8,
    "astral": "\U0001f600emoji\U0001f600astral-planes-sekrit\U0001f600" * 3,
    "a word deep inside": "1 + 2 + 3 + 4 + 5 + 6 + 7 + 8 + 9 + zz9plural-z-alpha + 10 + 11 + 12 + 13",
}

# Tcl commands whose messages quote an argument, some of them cut short.
CUT_CALLS = {
    "expr": ("expr", ()),
    "expr after other words": ("expr", ("1 +",)),
    "format": ("format", ("%d",)),
    "lindex": ("lindex", ("a b",)),
    "lrange": ("lrange", ("a b", 0)),
    "string repeat": ("string", ("repeat", "a")),
    "string is": ("string", ("is", "integer", "-strict", "-failindex")),
    "incr": ("incr", ("x",)),
    "after": ("after", ()),
    "info body": ("info", ("body",)),
    "in a procedure": ("in_proc", ()),
}


def pieces(secret, size):
    return {secret[i:i + size] for i in range(len(secret) - size + 1)}


@pytest.mark.parametrize("secret", CUT_SECRETS.values(), ids=CUT_SECRETS.keys())
@pytest.mark.parametrize("command, words", CUT_CALLS.values(), ids=CUT_CALLS.keys())
def test_a_tcl_error_masks_what_tcl_quotes_of_a_secret_in_part(tcl, oracle, caplog, command, words, secret):
    caplog.set_level(logging.DEBUG, logger="tarvo.tcl")
    for interp in (tcl, oracle):
        interp.eval("proc in_proc {value} {format %d $value}; set x 1")
    with pytest.raises(TclError) as failure:
        getattr(tcl.jot, command)(*words, Secret(secret))
    error = failure.value
    texts = [str(error), error.errorinfo, error.message, *error.errorcode, caplog.text]
    texts += [str(entry) for entry in tcl.history.filter(count=0)]
    for text in texts:
        assert not pieces(secret, 8) & pieces(text, 8), text
        for prefix in (secret[:n] for n in range(4, len(secret))):
            assert prefix + '"' not in text and prefix + "..." not in text and not text.endswith(prefix), text
    # Where **** stands, Tcl said something; everything else is Tcl's own text.
    with pytest.raises(TclError) as plain:
        oracle.call(command, *words, secret)
    raw_info = oracle.eval("set ::errorInfo")
    for masked, raw in ((error.message, str(plain.value)), (error.errorinfo, raw_info)):
        assert re.fullmatch(".+?".join(map(re.escape, masked.split("****"))), raw, re.S), (masked, raw)


@pytest.mark.parametrize(
    "words, masked",
    [
        # Only a piece that is cut, or starts the Secret, gives something away.
        (("expr", "1 +"), 'invalid bareword "****"\nin expression "1 + ****...";\n'
                          'should be "$****" or "****}" or "****(...)" or ...\n'),
        (("format", "%d"), 'expected integer but got "****"\n'),
    ],
    ids=["expr", "format"],
)
def test_words_of_a_message_that_a_secret_holds_stay(tcl, words, masked):
    with pytest.raises(TclError) as failure:
        tcl.jot.eval(*words, Secret("correct horse battery staple, to be or not to be"))
    assert str(failure.value).startswith(masked)


HORSE = "correct horse battery staple"


@pytest.mark.parametrize(
    "before, start, end, after, masked",
    [
        # A piece at the end of the message, which does not start the Secret.
        ("bad:", 8, 18, "", "bad:****"),
        # Short words, cut at both ends by a quote or "...": 4 characters
        # give something away, 3 do not.
        ('value "', 8, 11, '" here', 'value "****" here'),
        ('value "', 8, 10, '" here', 'value "hor" here'),
        ("...", 8, 11, "", "...****"),
        ("a...", 8, 11, "...", "a...****..."),
        ('"', 8, 11, "...", '"****...'),
        # No cut at either end: a word of a message, not a quote.
        ("x", 8, 11, "y", "xhorsy"),
        # Cut at one end only: 8 characters are masked, 7 are not.
        ('"', 8, 15, " x", '"**** x'),
        ('"', 8, 14, " x", '"horse b x'),
        # The start of the message is a cut too.
        ("", 8, 15, " x", "**** x"),
        ("", 8, 14, " x", "horse b x"),
    ],
)
def test_a_message_masks_the_pieces_of_a_secret_at_a_cut(tcl, before, start, end, after, masked):
    tcl.eval("proc cut {before from to after value} {error $before[string range $value $from $to]$after}")
    with pytest.raises(TclError) as failure:
        tcl.jot.cut(before, start, end, after, Secret(HORSE))
    assert failure.value.message == masked


def test_a_tcl_error_of_a_command_with_no_secret_keeps_its_context(echo):
    with pytest.raises(TclError) as failure:
        echo.jot.error("boom")
    assert isinstance(failure.value.__context__, TclError)


def test_variables_receive_the_value(tcl):
    tcl.set_var("::pw", Secret(PW))
    tcl.vars["::pw2"] = Secret(5)
    tcl.set_list("::l", ["admin", Secret(PW)])
    tcl.set_array("::a", {"password": Secret(PW)})
    tcl.set_keyed_list("::k", {"password": Secret(PW)})
    assert [tcl.vars[name] for name in ("::pw", "::pw2", "::l", "::a(password)")] == [PW, "5", "admin hunter2", PW]
    assert tcl.eval("keylget ::k password") == PW


def test_second_conversion_failing_stops_the_call(echo):
    class Flaky:
        calls = 0

        def __quoten__(self):
            Flaky.calls += 1
            if Flaky.calls == 2:
                raise ZeroDivisionError("second")
            return quoten(Secret(PW))

    with pytest.raises(ZeroDivisionError, match="second"):
        echo.jot.echo(Flaky())
    assert echo.history.filter() == []


def test_other_threads_get_the_value_while_one_masks():
    # In a child process: no Tcl interpreter of the test run may meet a
    # garbage collection on the other thread.
    out = run_isolated(
        """
        import threading
        from tarvo.tcl.quoten import Secret, _quoten_masked, quoten

        seen = []

        class Slow:
            def __quoten__(self):
                if quoten(Secret("own")) == "****":  # the masking pass
                    worker = threading.Thread(target=lambda: seen.append(quoten(Secret("other"))))
                    worker.start()
                    worker.join()
                return quoten(Secret("own"))

        print(_quoten_masked(Slow()), seen)
        """
    )
    assert out.strip() == "('own', '****', ('own', 'own')) ['other']"  # the hook masks twice


def test_eval_records_its_text_as_it_is(tcl):
    # A Secret cannot reach eval's text: it would be its str, ****, and Tcl
    # would get that.  Text that holds a password is recorded as written.
    tcl.eval(f"set pw {PW}")
    assert tcl.history.filter()[-1].api == f"set pw {PW}"


def test_secret_in_a_reference_cycle_is_collected():
    out = run_isolated(
        """
        import gc, weakref
        from tarvo.tcl import Secret
        class Box:
            pass
        box = Box()
        box.secret = Secret(box)
        probe = weakref.ref(box)
        del box
        gc.collect()
        print(probe() is None)
        """
    )
    assert out.strip() == "True"


REPORTED = """
    import logging
    import os

    import pytest
    from tarvo.tcl import Secret
    from tarvo.tcl.interpreter import Interpreter


    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(item, call):
        # What a report of the history shows: every entry as str().
        outcome = yield
        report = outcome.get_result()
        tcl = item.funcargs.get("tcl")
        if tcl is not None and report.when == "call":
            entries = tcl.history.filter(count=0)
            report.sections.append(("Tcl history", "\\n".join(map(str, entries))))


    @pytest.fixture
    def tcl():
        return Interpreter()


    def test_login(tcl):
        password = Secret(os.environ["DEVICE_PASSWORD"])
        tcl.eval("proc login {user password} {error \\"login refused: $user/$password\\"}")
        tcl.jot.set("pw", password)
        logging.getLogger("device").info("logging in as admin")
        tcl.jot.login("admin", password)


    def test_token(tcl):
        tcl.jot.format("%d", Secret(os.environ["DEVICE_TOKEN"]))
"""

TOKEN = "tok-4f9c2e7a61b3d8e05c1a9f7b2d4e6c8a0b1d3f5e7a9c2b4d6f8e0a1c3e5b7d9f"


def test_secret_stays_out_of_failure_reports(pytester, monkeypatch):
    monkeypatch.setenv("DEVICE_PASSWORD", PW)
    monkeypatch.setenv("DEVICE_TOKEN", TOKEN)
    pytester.makeconftest(textwrap.dedent(REPORTED).split("@pytest.fixture")[0])
    pytester.makepyfile(test_device="from conftest import *\n" + "@pytest.fixture" +
                        textwrap.dedent(REPORTED).split("@pytest.fixture")[1])
    xml = pytester.path / "report.xml"
    result = pytester.runpytest_subprocess(
        "-l", "--log-level=DEBUG", "-o", "junit_logging=all", f"--junitxml={xml}", "-p", "no:cacheprovider"
    )
    result.assert_outcomes(failed=2)
    output = result.stdout.str()
    assert "login refused: admin/****" in output
    assert 'expected integer but got "****"' in output  # Tcl quotes the token's first 50 characters
    assert "% ['login', 'admin', '****']" in output  # the DEBUG log of the history
    assert "set pw ****" in output and "login admin ****" in output  # the history section
    assert "Secret(****)" in output  # the test's locals
    assert "hunter2" not in output
    assert "hunter2" not in xml.read_text() and "login admin ****" in xml.read_text()
    assert not pieces(TOKEN, 8) & (pieces(output, 8) | pieces(xml.read_text(), 8))
