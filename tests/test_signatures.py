"""What inspect and help() tell about the API: every class and public
callable has a signature, on every supported Python."""
import ctypes
import importlib
import inspect
import pydoc
import re
import types

import pytest

from tarvo.tcl.history import Entry, History
from tarvo.tcl.interpreter import Interpreter, TclTimeoutError
from tarvo.tcl.jot import Jot, Jot_Code
from tarvo.tcl.nestmap import NestMap

MODULES = ["interpreter", "internal", "nestmap", "quoten", "history", "jot"]


@pytest.mark.parametrize(
    "cls, signature",
    [
        (Interpreter, "(*, timeout=None)"),
        (TclTimeoutError, "(*args)"),
        (History, "(max_history=9999)"),
        (Entry, "(api)"),
        (Jot, "(tcl)"),
        (Jot_Code, "(*cmd, tcl)"),
        (NestMap, "(iterable=(), /, **kwargs)"),
    ],
)
def test_class_signatures(cls, signature):
    assert str(inspect.signature(cls)) == signature
    # The signature head stays out of the docstring, as for a C type's.
    assert not cls.__doc__.startswith(cls.__name__ + "(")
    assert "\n--\n" not in cls.__doc__


@pytest.mark.parametrize(
    "method, unbound, bound",
    [
        (
            "eval",
            "(self, code, typecast=False, record=True, *, timeout=None)",
            "(code, typecast=False, record=True, *, timeout=None)",
        ),
        ("get_errorInfo", "(self, /)", "()"),
        ("set_int", "(self, name, value)", "(name, value)"),
        ("cast_list", "(value, item_cast=None)", "(value, item_cast=None)"),
        ("generate_callback_cmd_name", "(callback, mangle_cmd_name=False)", "(callback, mangle_cmd_name=False)"),
    ],
)
def test_interpreter_methods_name_self_once(method, unbound, bound):
    from tarvo.tcl.interpreter import _global_interpreter

    assert str(inspect.signature(getattr(Interpreter, method))) == unbound
    assert str(inspect.signature(getattr(_global_interpreter, method))) == bound


@pytest.mark.parametrize(
    "method, bound", [("__getitem__", "(key, /)"), ("update", "(*args, **kwargs)"), ("all_items", "()")]
)
def test_nestmap_methods(method, bound):
    assert str(inspect.signature(getattr(NestMap(), method))) == bound


def public_callables():
    for name in MODULES:
        module = importlib.import_module("tarvo.tcl." + name)
        for attr, value in vars(module).items():
            if attr.startswith("_") or not callable(value) or inspect.ismodule(value):
                continue
            if isinstance(value, type) and value.__module__ != module.__name__:
                continue  # imported, not ours
            if isinstance(value, type) and issubclass(value, (ctypes._SimpleCData, ctypes.Structure)):
                continue  # ctypes' own classes have none, from C or from Python alike
            yield pytest.param(value, id=f"{name}.{attr}")
            if isinstance(value, type):
                for method, member in vars(value).items():
                    if not method.startswith("_") and callable(getattr(value, method)):
                        yield pytest.param(getattr(value, method), id=f"{name}.{attr}.{method}")
            for helper in ("from_sequence", "from_mapping"):
                if hasattr(value, helper):
                    yield pytest.param(getattr(value, helper), id=f"{name}.{attr}.{helper}")


@pytest.mark.parametrize("function", list(public_callables()))
def test_every_public_callable_has_a_signature(function):
    inspect.signature(function)


def test_help_documents_the_instance_attributes():
    text = pydoc.render_doc(Interpreter, renderer=pydoc.plaintext)
    assert re.search(r"\n \|\s*\n \|  Instance attributes:\n \|\s*\n \|  tk\n", text)  # a paragraph of its own
    for attribute in ("tk", "history", "jot, Jot", "global_ns", "local_ns", "vars", "objs", "__callbacks__"):
        assert f"\n |  {attribute}\n |      " in text
    assert "eval(self, code, typecast=False, record=True, *, timeout=None)" in text


def documented_functions():
    for name in MODULES:
        module = importlib.import_module("tarvo.tcl." + name)
        for attr, value in vars(module).items():
            if isinstance(value, types.BuiltinFunctionType) and value.__module__ == module.__name__:
                yield pytest.param(value, id=f"{name}.{attr}")


@pytest.mark.parametrize("function", list(documented_functions()))
def test_help_text_of_functions_reads_whole(function):
    # What help() shows under the signature: whole sentences, from the first
    # to the last.
    text = function.__doc__
    assert text and not text.startswith(function.__name__ + "(")
    first = re.match(r"\w*", text).group()
    module = importlib.import_module(function.__module__)
    assert text[0].isupper() or text[0] == "`" or hasattr(module, first), text
    assert text.rstrip().endswith((".", ")")), text


def interpreter_methods():
    from tarvo.tcl.interpreter import _global_interpreter

    for name in sorted(vars(Interpreter)):  # its own, not tkinter's
        if name.startswith("_") or isinstance(vars(Interpreter)[name], (property, type)):
            continue
        attribute = getattr(_global_interpreter, name)
        if callable(attribute):
            yield pytest.param(attribute, id=f"Interpreter().{name}")


@pytest.mark.parametrize("function", [*public_callables(), *interpreter_methods()])
def test_one_positional_argument_too_many_is_refused(function):
    # As the signature says: the parser knows each function's count.
    try:
        parameters = inspect.signature(function).parameters.values()
    except ValueError:
        pytest.skip("no signature")
    kinds = [p.kind for p in parameters]
    if inspect.Parameter.VAR_POSITIONAL in kinds or isinstance(function, type):
        pytest.skip("takes any number, or is a class")
    if inspect.ismethoddescriptor(function):
        pytest.skip("a method of a C type: its instance is checked first")
    positional = sum(k in (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD) for k in kinds)
    with pytest.raises(TypeError, match=r"takes .* (positional )?arguments? (\(\d+ given\)|but \d+ were given)"):
        function(*[None] * (positional + 1))
