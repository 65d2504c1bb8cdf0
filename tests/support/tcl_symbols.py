"""TEMPORARY, until the package makes the Tcl library's symbols global when
it starts its first interpreter; then delete this module and its callers
(grep for make_tcl_symbols_global).

tkinter's _tkinter is loaded with local symbols, so libraries that Tcl loads
later cannot link against libtcl's symbols.  Debian's Expect is not built
against Tcl's stubs and needs them: without this, `package require Expect`
fails with "undefined symbol: Tcl_ErrnoMsg".  Reopening the very library
that _tkinter already loaded, with RTLD_GLOBAL | RTLD_NOLOAD, makes them
global; it never loads a second copy.
"""
import ctypes
import os
import re

_LIBTCL = re.compile(r"/libtcl\d[^/]*$")


def _loaded_libtcl():
    """Path of the Tcl library mapped into this process, or None."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split(maxsplit=5)[-1].strip()
            if _LIBTCL.search(path):
                return path
    return None


def make_tcl_symbols_global():
    """Makes the loaded libtcl's symbols global; quietly does nothing where
    that cannot be done."""
    import _tkinter  # noqa: F401  (the library must be loaded first)

    path = _loaded_libtcl() if os.path.exists("/proc/self/maps") else None
    noload = getattr(os, "RTLD_NOLOAD", None)
    if path is None or noload is None:
        return
    try:
        ctypes.CDLL(path, mode=os.RTLD_GLOBAL | noload)
    except OSError:
        pass
