"""Tcl namespaces, variables and commands seen from Python.

Two rules hold throughout this module:

* Names never reach Tcl through an unquoted script.  Commands get them as
  separate words (``tk.call``); where Tcl's exact string result is needed the
  script is built with :func:`_tcl_quote`, which no character can break.
* Nothing here keeps the interpreter alive.  The interpreter stores namespace
  objects on itself, so they hold only a weak proxy to it plus the Tcl
  application object (``interp.tk``), which never refers back.

Variable access goes through ``tk.eval`` and ``tk.setvar``, which work in
Tcl's *current* frame and namespace (``tk.call`` always runs at global level).
Qualified names resolve the same from anywhere; unqualified ones, as used by
``TclNamespace(None)``, resolve where Tcl currently is, e.g. in the calling
proc while Tcl runs a Python callback.
"""

import collections.abc
import tkinter
import weakref

from .array import Array
from .internal import _createcommand, _tk_ready
from .quoten import tclobj

__all__ = ['TclNamespace', 'TclCommand', 'TclVariableError']


class TclVariableError(KeyError, tkinter.TclError):
    """A Tcl variable is missing or cannot be read, set or unset.

    A ``KeyError``, so mapping idioms work (``vars.get(name)``), and a
    ``tkinter.TclError`` like any other failure reported by Tcl.
    """

    def __init__(self, message, name=None):
        super().__init__(message)
        self.name = name

    def __str__(self):
        # KeyError would show the message quoted, as if it were a key.
        return str(self.args[0]) if len(self.args) == 1 else super().__str__()


def _tcl_value(value):
    """Turn a Python value into what is handed to Tcl as a variable value:
    its tclobj() form, made ready for tkinter.

    tkinter converts str, bytes, numbers and Tcl objects itself, and tuples
    and lists of them into Tcl lists; anything else becomes its str().
    ``_tk_ready`` takes that str() here, and checks every str, where a
    failure raises cleanly: inside a tuple or list, tkinter would hand Tcl a
    null object for a failing one and crash the process.  (A __tclobj__ hook
    may return any object, so this holds after tclobj too.)
    """
    return _tk_ready(tclobj(value))


# Every ASCII character other than [A-Za-z0-9_] is backslash-escaped.  Control
# characters use their C-style or three-digit octal escapes: a backslash before
# a real newline would be a line continuation, and "\000" cannot swallow a
# following digit.  Non-ASCII characters are never special to the Tcl parser
# and are left alone (escaping one half of a surrogate pair would break it).
_NAMED_ESCAPES = {'\a': r'\a', '\b': r'\b', '\t': r'\t', '\n': r'\n',
                  '\v': r'\v', '\f': r'\f', '\r': r'\r'}
_QUOTE_TABLE = {}
for _code in range(128):
    _ch = chr(_code)
    if _ch.isalnum() or _ch == '_':
        continue
    if _ch in _NAMED_ESCAPES:
        _QUOTE_TABLE[_code] = _NAMED_ESCAPES[_ch]
    elif _code < 0x20 or _code == 0x7F:
        _QUOTE_TABLE[_code] = '\\%03o' % _code
    else:
        _QUOTE_TABLE[_code] = '\\' + _ch
del _code, _ch


def _tcl_quote(text):
    """Return a Tcl word whose value is exactly ``text``."""
    return text.translate(_QUOTE_TABLE) if text else '{}'


def _eval_text(tk, script):
    """Evaluate ``script`` in Tcl's current frame and return its exact text.

    tkinter hands a NUL in a Python string to Tcl as a raw zero byte, and
    reads an eval result only up to the first zero byte.  Passing the result
    through ``string map`` rebuilds it from its characters, which writes NUL in
    Tcl's own two-byte form, so values holding NUL come back whole.
    """
    return tk.eval('string map {\\0 \\0} [' + script + ']')


def _split(tk, text):
    """Split Tcl list text into a tuple of strings."""
    if '\0' in text:  # splitlist refuses NUL
        return tuple(str(item) for item in tk.call('lrange', text, 0, 'end'))
    return tuple(str(item) for item in tk.splitlist(text))


def _weak(tcl):
    if isinstance(tcl, weakref.ProxyTypes):
        return tcl
    try:
        return weakref.proxy(tcl)
    except TypeError:
        return tcl


def _app(tcl):
    try:
        return tcl.tk
    except AttributeError:
        raise TypeError(
            f'expected an interpreter with a Tcl application object in its '
            f'"tk" attribute, got {type(tcl).__name__}'
        ) from None


def _check_name(name, what):
    if not isinstance(name, str):
        raise TypeError(f'Tcl {what} names are str, not {type(name).__name__}')


def _qualify(namespace, name):
    """Resolve ``name`` inside ``namespace`` (None: leave it to Tcl)."""
    if namespace is None or name.startswith('::'):
        return name
    if name.startswith(':'):
        # Tcl would read the extra colon as part of the separator.
        raise ValueError(
            f'{name!r} cannot be qualified with a namespace: it starts with '
            f'a single colon'
        )
    return ('::' if namespace == '::' else namespace + '::') + name


def _normalize_namespace(name):
    if name is None:
        return None
    _check_name(name, 'namespace')
    if name.endswith('::'):
        name = name.rstrip(':')
    if not name:
        return '::'
    return _qualify('::', name)


def _tail(qualified):
    return qualified.rpartition('::')[2]


def _current_namespace(tk):
    return tk.eval('namespace current')


class TclVariables(collections.abc.MutableMapping):
    """Tcl variables of a namespace by name; ``a(b)`` names array elements.

    Values read are Tcl's exact strings.  Reading an array as a whole raises
    :class:`TclVariableError`: use :meth:`array_get` for arrays.
    """

    def __init__(self, namespace, tk):
        self._namespace = namespace
        self._tk = tk

    def _qualify(self, name):
        _check_name(name, 'variable')
        return _qualify(self._namespace, name)

    def _settable(self, name):
        qualified = self._qualify(name)
        if '\0' in qualified:
            # tkinter would pass it as a raw zero byte, naming a different
            # variable from the one Tcl scripts (and our reads) see.
            raise ValueError(f'cannot set Tcl variable {name!r}: the name holds NUL')
        return qualified

    def __getitem__(self, name):
        qualified = self._qualify(name)
        try:
            return _eval_text(self._tk, 'set ' + _tcl_quote(qualified))
        except tkinter.TclError as exc:
            raise TclVariableError(str(exc), name) from None

    def __setitem__(self, name, value):
        self._tk.setvar(self._settable(name), _tcl_value(value))

    def __delitem__(self, name):
        qualified = self._qualify(name)
        try:
            self._tk.eval('unset ' + _tcl_quote(qualified))
        except tkinter.TclError as exc:
            raise TclVariableError(str(exc), name) from None

    def __contains__(self, name):
        qualified = self._qualify(name)
        return self._tk.eval('info exists ' + _tcl_quote(qualified)) == '1'

    def _names(self):
        if self._namespace is None:
            return _split(self._tk, _eval_text(self._tk, 'info vars'))
        # Only the part after the last "::" of the pattern is a glob pattern;
        # the namespace part names the namespace literally.
        pattern = _qualify(self._namespace, '*')
        names = _split(self._tk, _eval_text(self._tk, 'info vars ' + _tcl_quote(pattern)))
        return tuple(_tail(name) for name in names)

    def __iter__(self):
        return iter(self._names())

    def __len__(self):
        return len(self._names())

    def array_get(self, name):
        """Return the Tcl array ``name`` as an :class:`Array` of strings."""
        word = _tcl_quote(self._qualify(name))
        tk = self._tk
        try:
            if tk.eval('array exists ' + word) != '1':
                if tk.eval('info exists ' + word) == '1':
                    problem = "variable isn't array"
                else:
                    problem = 'no such variable'
                raise TclVariableError(f'can\'t read "{name}": {problem}', name)
            return Array.from_tcl(_split(tk, _eval_text(tk, 'array get ' + word)))
        except TclVariableError:
            raise
        except tkinter.TclError as exc:
            raise TclVariableError(str(exc), name) from None

    def array_set(self, name, mapping):
        """Write every key and value of ``mapping`` into the Tcl array ``name``.

        Creates the array if needed (even for an empty mapping); a scalar of
        that name is an error, as with Tcl's ``array set``.
        """
        qualified = self._settable(name)
        items = []
        for key, value in mapping.items():
            if isinstance(key, int) and not isinstance(key, bool):
                key = str(key)
            elif not isinstance(key, str):
                raise TypeError(
                    f'Tcl array keys are str or int, not {type(key).__name__}: {key!r}'
                )
            if '\0' in key:
                raise ValueError(f'cannot set Tcl array key {key!r}: it holds NUL')
            items.append((key, _tcl_value(value)))
        self._tk.eval('array set ' + _tcl_quote(qualified) + ' {}')
        for key, value in items:
            self._tk.setvar(qualified, key, value)

    def __repr__(self):
        return f'<{type(self).__name__} of namespace {self._namespace!r}>'


class _NamespacePart:
    """What a namespace's commands and child namespaces share: the namespace
    they belong to (None: Tcl's current one) and the Tcl application."""

    def __init__(self, namespace, tcl, tk):
        self._namespace = namespace
        self._tcl = tcl
        self._tk = tk

    def _base(self):
        return _current_namespace(self._tk) if self._namespace is None else self._namespace

    def __repr__(self):
        return f'<{type(self).__name__} of namespace {self._namespace!r}>'


class TclCommands(_NamespacePart):
    """Commands of a namespace by name.

    ``cmds[name]`` is a :class:`TclCommand` whether or not the command
    exists; ``name in cmds`` tells whether it does.
    """

    def __getitem__(self, name):
        _check_name(name, 'command')
        return TclCommand(_qualify(self._base(), name), tcl=self._tcl)

    def __contains__(self, name):
        return self[name].exists()

    def __iter__(self):
        """Names of the commands defined in the namespace itself."""
        pattern = _qualify(self._base(), '*')
        names = _split(self._tk, _eval_text(self._tk, 'info commands ' + _tcl_quote(pattern)))
        return iter(tuple(_tail(name) for name in names))


class TclNamespaces(_NamespacePart, collections.abc.Mapping):
    """Child namespaces of a namespace, by their simple names."""

    def __getitem__(self, name):
        _check_name(name, 'namespace')
        if not name or '::' in name:
            raise KeyError(name)
        child = _qualify(self._base(), name)
        if not self._tk.getboolean(self._tk.call('namespace', 'exists', child)):
            raise KeyError(name)
        return TclNamespace(child, tcl=self._tcl)

    def _children(self):
        children = self._tk.call('namespace', 'children', self._base())
        return tuple(_tail(str(child)) for child in self._tk.splitlist(children))

    def __iter__(self):
        return iter(self._children())

    def __len__(self):
        return len(self._children())


class TclNamespace:
    """A Tcl namespace seen from Python.

    ``name`` is ``'::'`` for the global namespace, a namespace name such as
    ``'::ns'`` (``'ns'`` is taken relative to the global namespace), or None
    for unqualified access: names then go to Tcl unchanged and resolve in its
    current frame and namespace.

    ``vars`` maps variable names to values, ``cmds`` gives the commands and
    ``objs`` the child namespaces.
    """

    def __init__(self, name, tcl):
        self.name = _normalize_namespace(name)
        self.tcl = _weak(tcl)
        self._tk = _app(tcl)
        self.vars = TclVariables(self.name, self._tk)
        self.cmds = TclCommands(self.name, self.tcl, self._tk)
        self.objs = TclNamespaces(self.name, self.tcl, self._tk)

    def __eq__(self, other):
        if not isinstance(other, TclNamespace):
            return NotImplemented
        return self.name == other.name and self._tk is other._tk

    def __hash__(self):
        return hash(self.name)

    def __repr__(self):
        return f'{type(self).__name__}({self.name!r})'


class TclCommand:
    """A Tcl command seen from Python, by its fully qualified name.

    ``str(cmd)`` is that name; a name given without a leading ``::`` is taken
    relative to the global namespace.  Errors reported by Tcl propagate as
    ``tkinter.TclError``.
    """

    def __init__(self, name, tcl):
        _check_name(name, 'command')
        self._name = _qualify('::', name)
        self.tcl = _weak(tcl)
        self._tk = _app(tcl)

    @property
    def name(self):
        return self._name

    def exists(self):
        """True when Tcl has a command of exactly this name."""
        # A fully qualified name is looked up as it is, with no glob matching
        # and no fallback to the global namespace.
        return bool(self._tk.call('namespace', 'which', '-command', self._name))

    def rename(self, new_name):
        """Rename the command to ``new_name``, creating its namespace if needed."""
        _check_name(new_name, 'command')
        if not new_name:
            raise ValueError('cannot rename a Tcl command to "": use delete()')
        target = _qualify('::', new_name)
        tk = self._tk
        created = None
        qualifiers = parent = str(tk.call('namespace', 'qualifiers', target))
        while parent and not tk.getboolean(tk.call('namespace', 'exists', parent)):
            created = parent  # the outermost namespace that is missing
            parent = str(tk.call('namespace', 'qualifiers', parent))
        if created is not None:
            tk.call('namespace', 'eval', qualifiers, '')
        try:
            tk.call('rename', self._name, target)
        except tkinter.TclError:
            if created is not None:
                tk.call('namespace', 'delete', created)
            raise
        self._name = target

    def createcommand(self, callback):
        """Create the command, calling ``callback`` with its words as str.

        Tcl gets the string form of the callback's result.  An exception the
        callback raises becomes a Tcl error whose message names it, with the
        Python traceback in Tcl's errorInfo; nothing is kept for later.
        """
        _createcommand(self._tk, self._name, callback)

    def delete(self):
        """Delete the command."""
        self._tk.call('rename', self._name, '')

    def __str__(self):
        return self._name

    def __repr__(self):
        return f'{type(self).__name__}({self._name!r})'

    def __eq__(self, other):
        if not isinstance(other, TclCommand):
            return NotImplemented
        return self._name == other._name and self._tk is other._tk

    # rename() changes the name, so the hash cannot depend on it.
    def __hash__(self):
        return id(self._tk)
