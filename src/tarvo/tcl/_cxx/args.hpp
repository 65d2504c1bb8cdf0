// The one argument parser of the extension modules.
//
// Every function takes METH_FASTCALL | METH_KEYWORDS arguments and declares a
// `Signature`; `parse()` fills one borrowed pointer per parameter (NULL when
// the caller left it to its default) and raises the one family of TypeError
// texts our callers see:
//
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
//   "%.200s() keywords must be strings"
//   "%s() got multiple values for keyword argument '%U'"
//   "%s() got an unexpected keyword argument '%U'"
//   "%s() needs keyword-only argument %U"
//
// checked in that order: too many positionals, bad keywords, missing
// positionals, missing keyword-only arguments.  A method counts its `self`
// like Python code does, whether `self` arrives in `args` (functions placed in
// a class namespace) or beside it (methods of C types, `bound` = 1).
// Positional-only parameters (the `self, /` of a method that also takes
// **kwargs) leave their names free for **kwargs, as in Python.
#pragma once

#include "ref.hpp"

#include <vector>

namespace tarvo::py {

struct Signature {
    const char* name;           // the function's name, as the messages show it
    const char* const* params;  // positional-or-keyword names, then keyword-only names
    int npositional;            // positional-or-keyword parameters
    int nrequired;              // leading positional parameters without a default
    int nkwonly = 0;            // keyword-only parameters, after the positional ones
    int nkwrequired = 0;        // leading keyword-only parameters without a default
    bool varargs = false;       // accepts *args
    bool varkw = false;         // accepts **kwargs
    int nposonly = 0;           // leading positional parameters that no keyword can name
};

// What lies beyond the named parameters: the *args tail and the **kwargs dict.
struct Extra {
    PyObject* const* rest = nullptr;
    Py_ssize_t nrest = 0;
    Ref kwargs;  // a dict, or empty when no extra keyword was given
};

namespace detail {

[[noreturn]] inline void raise_count(const Signature& s, bool at_least, Py_ssize_t expected, Py_ssize_t given) {
    const char* more_or_less = at_least ? "at least" : "at most";
    if (!s.varargs && s.nrequired == s.npositional) more_or_less = "exactly";
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name, more_or_less,
                 expected, expected == 1 ? "" : "s", given);
}

// Whether the keyword `kw` is the parameter name `name` (ASCII).  Keyword
// names are nearly always short ASCII strs, compared here in place.
inline bool is_name(PyObject* kw, const char* name) {
    if (!PyUnicode_IS_ASCII(kw)) return PyUnicode_CompareWithASCIIString(kw, name) == 0;
    const char* data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(kw));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(kw);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (data[i] != name[i]) return false;  // also stops at the end of `name`
    }
    return name[n] == '\0';
}

inline int find_param(const Signature& s, PyObject* kw) {
    const int total = s.npositional + s.nkwonly;
    for (int i = s.nposonly; i < total; ++i) {
        if (is_name(kw, s.params[i])) return i;
    }
    return -1;
}

}  // namespace detail

// Parses `args[0:nargs]` and the keywords named by `kwnames` into `out`,
// which has one slot per parameter of `s`; the first `bound` slots belong to
// parameters the caller bound already (`self`) and are left untouched.
// Without an `extra`, *args and **kwargs must not be declared.
inline void parse(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                  Extra* extra = nullptr, Py_ssize_t bound = 0) {
    assert(extra || (!s.varargs && !s.varkw));
    const int total = s.npositional + s.nkwonly;
    const Py_ssize_t given = nargs + bound;
    if (given > s.npositional && !s.varargs) detail::raise_count(s, false, s.npositional, given);

    for (int i = static_cast<int>(bound); i < total; ++i) out[i] = nullptr;
    const Py_ssize_t npos = given < s.npositional ? given : s.npositional;
    for (Py_ssize_t i = bound; i < npos; ++i) out[i] = args[i - bound];
    if (extra && given > s.npositional) {
        extra->rest = args + (s.npositional - bound);
        extra->nrest = given - s.npositional;
    }

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            if (!PyUnicode_Check(kw)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
            const int i = detail::find_param(s, kw);
            if (i < 0) {
                if (!s.varkw || !extra) {
                    raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, kw);
                }
                if (!extra->kwargs) extra->kwargs = own(PyDict_New());
                check(PyDict_SetItem(extra->kwargs.get(), kw, value));
                continue;
            }
            if (i < npos || out[i]) {
                raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, kw);
            }
            out[i] = value;
        }
    }

    for (int i = static_cast<int>(npos); i < s.nrequired; ++i) {
        // Like CPython's own compiled-function helpers, "given" counts the
        // positional arguments in front of the first one that is missing.
        if (!out[i]) detail::raise_count(s, true, s.nrequired, i);
    }
    for (int i = s.npositional; i < s.npositional + s.nkwrequired; ++i) {
        if (!out[i]) raise_format(PyExc_TypeError, "%s() needs keyword-only argument %s", s.name, s.params[i]);
    }
}

// The same for the tuple-and-dict calling convention of tp_init / tp_new.
// The keyword values stay borrowed from `kwargs`, the positionals from `args`.
inline void parse_tuple(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** out, Extra* extra = nullptr,
                        Py_ssize_t bound = 0) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return parse(s, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out, extra, bound);
    std::vector<PyObject*> stack(static_cast<size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
    Ref kwnames = own(PyTuple_New(nkw));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k, key);
        stack[static_cast<size_t>(nargs + k)] = value;
        ++k;
    }
    parse(s, stack.data(), nargs, kwnames.get(), out, extra, bound);
    // The *args tail pointed into `stack`; point it into `args` instead.
    if (extra && extra->nrest) extra->rest = &PyTuple_GET_ITEM(args, nargs - extra->nrest);
}

// A C++ function as the PyCFunction a PyMethodDef holds.
#define TARVO_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

// The body of a module function, or of a function placed in a class as a
// method (the instance first): it gets the module and one borrowed pointer
// per parameter (NULL where the caller left it to its default).
using Body = Ref (*)(PyObject* module, PyObject** a);

// The noexcept shell of such a body, parsing the arguments by `sig`.
template <const Signature& sig, Body body>
PyObject* fastcall(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return entry(sig.name, [&] {
        PyObject* a[8];
        assert(sig.npositional + sig.nkwonly <= 8);
        parse(sig, args, nargs, kwnames, a);
        return body(module, a);
    });
}

// The PyMethodDef of `body` under the Python name `name`.
#define TARVO_DEF(name, sig, body, doc) \
    {name, TARVO_FASTCALL((::tarvo::py::fastcall<sig, body>)), METH_FASTCALL | METH_KEYWORDS, PyDoc_STR(doc)}

// The argument or, when the caller left it out, the default.
inline PyObject* arg_or(PyObject* value, PyObject* fallback) noexcept { return value ? value : fallback; }

}  // namespace tarvo::py
