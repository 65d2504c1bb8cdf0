"""Drive a Tcl interpreter from Python test scripts.

``import tarvo.tcl`` starts nothing.  The names that the shared interpreter
exports (``eval``, ``jot``, ``vars``, ``get_keyed_list``, ...) are reached
here lazily: the first of them starts the shared interpreter of
``tarvo.tcl.interpreter``.  ``cast_list``, the list cast, needs no
interpreter: its first use opens the Tcl library (``tarvo.tcl.internal``)
and binds it here, so later uses are plain attribute reads.  ``Secret``
(from ``tarvo.tcl.quoten``) needs no interpreter either.
"""
import importlib

_SUBMODULES = frozenset(
    ("array", "history", "internal", "interpreter", "jot", "namespace", "nestmap", "quoten")
)


def __getattr__(name):
    if name == "cast_list":
        from .internal import _cast_list

        globals()["cast_list"] = _cast_list
        return _cast_list
    if name == "Secret":
        from .quoten import Secret

        globals()["Secret"] = Secret
        return Secret
    if name in _SUBMODULES:
        return importlib.import_module("." + name, __name__)
    if not name.startswith("_"):
        from .interpreter import _global_interpreter

        if name in _global_interpreter.__all__:
            return getattr(_global_interpreter, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | _SUBMODULES | {"cast_list", "Secret"})
