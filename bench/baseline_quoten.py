"""quoten's rules in interpreted Python: the peer the C++ module is measured against."""
from collections.abc import Mapping, Sequence, Set

_FORCING = frozenset("[$; \f\n\r\t\v")
_ESCAPED = frozenset('[]$; \\"')
_NAMED = {"\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\v": "\\v"}


def _Tcl_ScanElement(string):
    string = quoten(string)
    n = len(string)
    level = 0
    flags = set()
    if n == 0 or string[0] in '{"':
        flags.add("USE_BRACES")
    p = 0
    while p < n:
        c = string[p]
        if c == "{":
            level += 1
        elif c == "}":
            level -= 1
            if level < 0:
                flags.update(("TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"))
        elif c in _FORCING:
            flags.add("USE_BRACES")
        elif c == "\\":
            if p + 1 == n or string[p + 1] == "\n":
                flags = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
            else:
                flags.add("USE_BRACES")
                p += 1
        p += 1
    if level != 0:
        flags = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
    return 2 * p + 2, flags


def _Tcl_ConvertElement(src, flags):
    src = quoten(src)
    if not src:
        return "{}"
    if "USE_BRACES" in flags and "TCL_DONT_USE_BRACES" not in flags:
        return "{%s}" % src
    out = []
    start = 0
    if src[0] == "{":
        out.append("\\{")
        start = 1
        flags.add("BRACES_UNMATCHED")
    for c in src[start:]:
        if c in _ESCAPED:
            out.append("\\" + c)
        elif c in "{}":
            out.append("\\" + c if "BRACES_UNMATCHED" in flags else c)
        elif c in _NAMED:
            out.append(_NAMED[c])
        else:
            out.append(c)
    return "".join(out)


def _tcl_UpdateStringOfList(listObj):
    items = [quoten(item) for item in listObj]
    flags = [_Tcl_ScanElement(item)[1] for item in items]
    return " ".join(_Tcl_ConvertElement(item, f) for item, f in zip(items, flags))


def _quoten_from_mapping(obj):
    items = []
    for key in obj:
        items.append(key)
        items.append(obj[key])
    return _tcl_UpdateStringOfList(items)


def quoten(obj):
    method = getattr(obj, "__quoten__", None)
    if method:
        return method()
    method = getattr(obj, "__tclobj__", None)
    if method:
        return quoten(method())
    if obj is None:
        return ""
    if isinstance(obj, str):
        return str(obj)
    if isinstance(obj, bool):
        return "true" if obj else "false"
    if isinstance(obj, (Sequence, Set)):
        return _tcl_UpdateStringOfList(obj)
    if isinstance(obj, Mapping):
        return _quoten_from_mapping(obj)
    return str(obj)
