"""Secret: Tcl receives the value, the history, its log and error reports
show ****."""
import copy
import logging
import pickle
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
"""


def test_secret_stays_out_of_failure_reports(pytester, monkeypatch):
    monkeypatch.setenv("DEVICE_PASSWORD", PW)
    pytester.makeconftest(textwrap.dedent(REPORTED).split("@pytest.fixture")[0])
    pytester.makepyfile(test_device="from conftest import *\n" + "@pytest.fixture" +
                        textwrap.dedent(REPORTED).split("@pytest.fixture")[1])
    xml = pytester.path / "report.xml"
    result = pytester.runpytest_subprocess(
        "-l", "--log-level=DEBUG", "-o", "junit_logging=all", f"--junitxml={xml}", "-p", "no:cacheprovider"
    )
    result.assert_outcomes(failed=1)
    output = result.stdout.str()
    assert "login refused: admin/****" in output
    assert "% ['login', 'admin', '****']" in output  # the DEBUG log of the history
    assert "set pw ****" in output and "login admin ****" in output  # the history section
    assert "Secret(****)" in output  # the test's locals
    assert "hunter2" not in output
    assert "hunter2" not in xml.read_text() and "login admin ****" in xml.read_text()
