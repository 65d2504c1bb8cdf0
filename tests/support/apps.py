"""Stand-ins for tkinter's application object, for tests that watch its calls.

tkinter's application type takes no new attributes from 3.15 on, and no
subclasses on any version, so a test that wants to see what goes through
`eval` or `call` puts a `LoggingApp` where the interpreter keeps its
application object.  `class_is_mutable` tells where the type itself can
still be patched.
"""

import _tkinter
import sys

_IMMUTABLETYPE = 1 << 8


def class_is_mutable():
    """Whether methods of tkinter's application type can be replaced here."""
    return sys.version_info < (3, 10) or not _tkinter.TkappType.__flags__ & _IMMUTABLETYPE


class LoggingApp:
    """Passes everything on to `app`, noting the code of `eval` and the words of `call` in `log`."""

    def __init__(self, app, log):
        self._app, self._log = app, log

    def __getattr__(self, name):
        return getattr(self._app, name)

    def eval(self, code):
        self._log.append(code)
        return self._app.eval(code)

    def call(self, *words):
        self._log.append(words)
        return self._app.call(*words)
