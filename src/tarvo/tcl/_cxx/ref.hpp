// Owned references and the one error idiom of the tarvo.tcl extension modules.
//
// A C API call that fails leaves a Python error set and returns NULL or -1.
// We turn that into a thrown `py::Error` marker right at the call site
// (`own(...)`, `check(...)`), let C++ unwinding release every `Ref` on the
// way out, and turn the marker back into NULL / -1 in the `noexcept` shell
// of the entry point (`entry(...)`, `entry_int(...)`).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "sync.hpp"

#include <cassert>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>
#include <utility>

namespace tarvo::py {

// Thrown when, and only when, a Python error is set.
struct Error {};

[[noreturn]] inline void fail() {
    assert(PyErr_Occurred());
    throw Error{};
}

// Sets `type` with a fixed message and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw Error{};
}

// Sets `type` with a PyUnicode_FromFormat message.  The message is made
// first: when making it fails (a %S or %R of an object whose __str__ or
// __repr__ raises), that failure is the error set.  PyErr_Format itself,
// before Python 3.11, would replace it by an empty error.
template <class... A>
void set_format(PyObject* type, const char* format, A... args) noexcept {
    PyObject* message = PyUnicode_FromFormat(format, args...);
    if (!message) return;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

// The same, then throws.
template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* format, A... args) {
    set_format(type, format, args...);
    throw Error{};
}

// An owned reference: released when it goes out of scope, moved (never
// copied) between owners.  There is deliberately no implicit conversion to
// PyObject*: `get()` lends it, `release()` hands it over.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be NULL).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object (may be NULL).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // A second owned reference to the same object.
    Ref copy() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Steals a new reference returned by the C API; throws when it is NULL.
inline Ref own(PyObject* p) {
    if (!p) fail();
    return Ref::steal(p);
}

// A borrowed reference returned by the C API that must not be NULL.
inline PyObject* require(PyObject* p) {
    if (!p) fail();
    return p;
}

// Checks a C API status (-1 on error) and passes other values through,
// so it serves PyObject_IsTrue, PyObject_RichCompareBool and friends.
inline int check(int status) {
    if (status < 0) fail();
    return status;
}

inline Ref newref(PyObject* p) noexcept { return Ref::borrow(p); }
inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

// The value of `key` in a dict that another thread may change meanwhile
// (the GIL off): held from the moment it is found; empty where it is not
// there.  Where the lookup fails, throws.
inline Ref dict_find(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) fail();
    return Ref::steal(value);
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) fail();
    return Ref::borrow(value);
#endif
}

// Item `i` of a list that another thread may change meanwhile: held, or
// empty where the list is no longer that long.
inline Ref list_item(PyObject* list, Py_ssize_t i) {
#ifdef Py_GIL_DISABLED
    PyObject* item = PyList_GetItemRef(list, i);
    if (!item) {
        if (!PyErr_ExceptionMatches(PyExc_IndexError)) fail();
        PyErr_Clear();
    }
    return Ref::steal(item);
#else
    if (i >= PyList_GET_SIZE(list)) return Ref::steal(nullptr);
    return Ref::borrow(PyList_GET_ITEM(list, i));
#endif
}

// Python truth of an object.
inline bool truth(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    return check(PyObject_IsTrue(o)) != 0;
}

inline Ref str(PyObject* o) { return own(PyObject_Str(o)); }

// str() of an exact int: machine-size values written here directly, which
// is several times quicker than the general conversion; the rest by str().
inline Ref int_str(PyObject* o) {
    assert(PyLong_CheckExact(o));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow) return str(o);
    if (value == -1 && PyErr_Occurred()) fail();
    char digits[24];
    char* const end = digits + sizeof digits;
    char* p = end;
    unsigned long long rest =
        value < 0 ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    do {
        *--p = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest);
    if (value < 0) *--p = '-';
    Ref text = own(PyUnicode_New(end - p, 127));
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), p, static_cast<size_t>(end - p));
    return text;
}
inline Ref text(const char* s) { return own(PyUnicode_FromString(s)); }
inline Ref integer(long long v) { return own(PyLong_FromLongLong(v)); }

// Calls a Python callable with positional arguments.
template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return own(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref call(PyObject* callable) { return own(PyObject_CallNoArgs(callable)); }

// Calls `obj.<name>(args...)`; `name` should be an interned str.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[] = {obj, args...};
    return own(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls a Python callable with keyword arguments (off the hot paths).
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
                   std::initializer_list<std::pair<const char*, PyObject*>> keywords) {
    Ref args = own(PyTuple_New(static_cast<Py_ssize_t>(positional.size())));
    Py_ssize_t i = 0;
    for (PyObject* p : positional) {
        Py_INCREF(p);
        PyTuple_SET_ITEM(args.get(), i++, p);
    }
    Ref kwargs = own(PyDict_New());
    for (const auto& [name, value] : keywords) check(PyDict_SetItemString(kwargs.get(), name, value));
    return own(PyObject_Call(callable, args.get(), kwargs.get()));
}

inline Ref getattr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }
inline Ref getattr(PyObject* obj, const char* name) { return own(PyObject_GetAttrString(obj, name)); }
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_SetAttr(obj, name, value)); }
inline void setattr(PyObject* obj, const char* name, PyObject* value) {
    check(PyObject_SetAttrString(obj, name, value));
}

// Looks an attribute up where only AttributeError means "absent": returns an
// empty Ref then; any other error propagates.
inline Ref getattr_optional(PyObject* obj, PyObject* name) {
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    return {};
}

// Py_EnterRecursiveCall for the life of a scope: a C++ walk of deeply
// nested data raises RecursionError instead of overflowing the C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) fail();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Whether attribute lookup on instances of `type` begins with object's own
// __getattribute__ (a class may still add a __getattr__ hook after it), so
// that reading an instance's attribute the generic way gives what Python
// would.  Known for the last class asked, at its version.
inline bool standard_getattribute(PyTypeObject* type) {
    if (type->tp_getattro == PyObject_GenericGetAttr) return true;
    struct Known {
        PyTypeObject* type;  // compared only
        unsigned int version;
    };
    static Kept<Known> kept;
    const Known known = kept.load();
#ifdef Py_TPFLAGS_VALID_VERSION_TAG
    const bool versioned = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
#else
    const bool versioned = type->tp_version_tag != 0;
#endif
    if (versioned && type == known.type && type->tp_version_tag == known.version) return true;
    static PyObject* const name = PyUnicode_InternFromString("__getattribute__");
    if (!name) return false;
    PyObject* found = _PyType_Lookup(type, name);
    const bool standard = found && Py_IS_TYPE(found, &PyWrapperDescr_Type) &&
                          reinterpret_cast<PyWrapperDescrObject*>(found)->d_wrapped ==
                              reinterpret_cast<void*>(PyObject_GenericGetAttr);
    if (standard && versioned) kept.store({type, type->tp_version_tag});
    return standard;
}

// An attribute of an instance whose class has a __getattr__ hook: what the
// instance keeps itself is read straight away, without the detour through
// the hook; only what normal lookup misses takes the normal road.  A class
// with a __getattribute__ of its own is asked the normal way.
inline Ref instance_attr(PyObject* obj, PyObject* name) {
    if (!standard_getattribute(Py_TYPE(obj))) return own(PyObject_GetAttr(obj, name));
    PyObject* value = PyObject_GenericGetAttr(obj, name);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    return getattr(obj, name);
}

inline Ref import(const char* module) { return own(PyImport_ImportModule(module)); }

// `from <module> import <name>`
inline Ref import_from(const char* module, const char* name) {
    Ref mod = import(module);
    return getattr(mod.get(), name);
}

// The currently raised exception, taken out of the error indicator and
// normalised, so it can be inspected, chained and raised again.
class Caught {
public:
    Caught() noexcept {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb && value) PyException_SetTraceback(value, tb);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        tb_ = Ref::steal(tb);
    }
    PyObject* value() const noexcept { return value_.get(); }
    bool matches(PyObject* exc_type) const noexcept {
        return type_ && PyErr_GivenExceptionMatches(type_.get(), exc_type);
    }
    // Puts the exception back, as it was caught.
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), tb_.release()); }
    // Puts the exception back and throws the marker.
    [[noreturn]] void reraise() {
        restore();
        throw Error{};
    }

private:
    Ref type_, value_, tb_;
};

// Raises `exc` (an exception instance) and throws the marker.
[[noreturn]] inline void raise_object(PyObject* exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    throw Error{};
}

// While it lives, `caught` is the exception being handled, as inside a
// Python `except` block: exceptions raised meanwhile (by C code through
// PyErr_SetObject, or by Python code we call) get it as their __context__.
class Handling {
public:
    explicit Handling(const Caught& caught) noexcept {
        PyErr_GetExcInfo(&type_, &value_, &tb_);
        PyObject* value = caught.value();
        PyObject* type = value ? reinterpret_cast<PyObject*>(Py_TYPE(value)) : nullptr;
        PyObject* tb = value ? PyException_GetTraceback(value) : nullptr;
        Py_XINCREF(type);
        Py_XINCREF(value);
        PyErr_SetExcInfo(type, value, tb);
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, tb_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

// `raise exc from None` inside a Handling scope: no cause, and the context
// (the handled exception) suppressed from the traceback.
[[noreturn]] inline void raise_from_none(Ref exc) {
    PyException_SetCause(exc.get(), nullptr);  // also sets __suppress_context__
    raise_object(exc.get());
}

// `raise exc from cause` inside a Handling scope: `cause` becomes both the
// __cause__ and, through the scope, the __context__ of `exc`.
[[noreturn]] inline void raise_from(Ref exc, PyObject* cause) {
    Py_INCREF(cause);
    PyException_SetCause(exc.get(), cause);  // steals `cause`; sets __suppress_context__
    raise_object(exc.get());
}

// A module global read at call time, as Python code reads its globals.
inline PyObject* global(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        fail();
    }
    return value;
}

namespace detail {
inline PyObject* interned(PyObject* p) {
    if (!p) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        fail();
    }
    return p;
}
}  // namespace detail

// An interned str, made once per process and never released.
#define TARVO_STR(literal)                                                         \
    (::tarvo::py::detail::interned([]() noexcept {                                 \
        static PyObject* const interned_str = PyUnicode_InternFromString(literal); \
        return interned_str;                                                       \
    }()))

namespace detail {
inline void translate_current_exception(const char* where) noexcept {
    try {
        throw;
    } catch (const Error&) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "%s: error marker without an exception", where);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%s: %s", where, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: unknown C++ exception", where);
    }
}

inline PyObject* to_result(Ref&& r) noexcept { return r.release(); }
inline PyObject* to_result(PyObject* p) noexcept { return p; }
}  // namespace detail

// The noexcept shell of every entry point that returns an object.  The body
// returns a `Ref` (or a new PyObject*).  It may also return an empty Ref with
// a Python error set: the cheap way out where failing is an everyday answer
// (a cast that refuses a value), since unwinding a C++ exception costs
// microseconds.
template <class F>
PyObject* entry(const char* where, F&& body) noexcept {
    try {
        return detail::to_result(body());
    } catch (...) {
        detail::translate_current_exception(where);
        return nullptr;
    }
}

// The same for slots and hooks that report failure as -1.
template <class F>
int entry_int(const char* where, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        detail::translate_current_exception(where);
        return -1;
    }
}

}  // namespace tarvo::py
