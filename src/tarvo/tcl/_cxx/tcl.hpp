// The Tcl C routines our modules call directly.
//
// They are resolved once per process from the Tcl shared library that
// `tarvo.tcl.internal` opened (its `TclDLL`), so every module calls into the
// very library that module declares, without linking against Tcl at build
// time and without going through ctypes on every call.  The table holds
// plain function pointers only, so it may live in static storage.
#pragma once

#include "ref.hpp"

namespace tarvo::tcl {

struct Interp;  // Tcl_Interp, opaque
struct Obj;     // Tcl_Obj, opaque

enum ReturnCode { TCL_OK = 0, TCL_ERROR = 1, TCL_RETURN = 2, TCL_BREAK = 3, TCL_CONTINUE = 4 };

struct Api {
    const char* (*GetStringResult)(Interp* interp);
    void (*ResetResult)(Interp* interp);
    int (*FindElement)(Interp* interp,            // where errors go, may be null
                       const char* list,           // the list text
                       int listLength,             // bytes of text left
                       const char** elementPtr,    // out: the element's first byte
                       const char** nextPtr,       // out: what follows the element
                       int* sizePtr,               // out: the element's size in bytes
                       int* bracePtr);             // out: non-zero when it was braced
    int (*CopyAndCollapse)(int count, const char* src, char* dst);
    // The result as an object, and an object's string with its length in
    // bytes: unlike Tcl_GetStringResult's C string, it keeps a zero byte
    // that came in through tkinter (which hands NUL over as a raw 0 byte).
    Obj* (*GetObjResult)(Interp* interp);
    char* (*GetStringFromObj)(Obj* obj, int* lengthPtr);
};

namespace detail {
inline void* address_of(PyObject* cast, PyObject* void_p, PyObject* library, const char* name) {
    py::Ref routine = py::getattr(library, name);
    py::Ref pointer = py::call(cast, routine.get(), void_p);
    py::Ref value = py::getattr(pointer.get(), "value");
    void* address = PyLong_AsVoidPtr(value.get());
    if (!address) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "Tcl routine %s has no address", name);
        py::fail();
    }
    return address;
}

inline Api& table() {
    static Api api{};
    return api;
}
}  // namespace detail

// Fills the table from `library` (a ctypes.CDLL of the Tcl library), once.
inline const Api& load(PyObject* library) {
    Api& api = detail::table();
    if (api.GetStringResult) return api;
    py::Ref ctypes = py::import("ctypes");
    py::Ref cast = py::getattr(ctypes.get(), "cast");
    py::Ref void_p = py::getattr(ctypes.get(), "c_void_p");
    Api loaded{};
    auto resolve = [&](const char* name) { return detail::address_of(cast.get(), void_p.get(), library, name); };
    loaded.ResetResult = reinterpret_cast<decltype(loaded.ResetResult)>(resolve("Tcl_ResetResult"));
    loaded.FindElement = reinterpret_cast<decltype(loaded.FindElement)>(resolve("TclFindElement"));
    loaded.CopyAndCollapse = reinterpret_cast<decltype(loaded.CopyAndCollapse)>(resolve("TclCopyAndCollapse"));
    loaded.GetObjResult = reinterpret_cast<decltype(loaded.GetObjResult)>(resolve("Tcl_GetObjResult"));
    loaded.GetStringFromObj = reinterpret_cast<decltype(loaded.GetStringFromObj)>(resolve("Tcl_GetStringFromObj"));
    loaded.GetStringResult = reinterpret_cast<decltype(loaded.GetStringResult)>(resolve("Tcl_GetStringResult"));
    api = loaded;
    return api;
}

// The table, resolved from tarvo.tcl.internal.TclDLL on first use.
inline const Api& api() {
    const Api& api = detail::table();
    if (api.GetStringResult) return api;
    py::Ref library = py::import_from("tarvo.tcl.internal", "TclDLL");
    return load(library.get());
}

// The C `Tcl_Interp *` behind a tkinter Tcl application object (or anything
// whose `interpaddr()` reports one, such as an Interpreter).
inline Interp* interp_of(PyObject* app) {
    py::Ref address = py::call_method(app, TARVO_STR("interpaddr"));
    void* p = PyLong_AsVoidPtr(address.get());
    if (!p) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "the Tcl interpreter has no address");
        py::fail();
    }
    return static_cast<Interp*>(p);
}

}  // namespace tarvo::tcl
