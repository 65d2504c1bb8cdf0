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
    int (*FindElement)(Interp* interp,           // where errors go, may be null
                       const char* list,         // the list text
                       int listLength,           // bytes of text left
                       const char** elementPtr,  // out: the element's first byte
                       const char** nextPtr,     // out: what follows the element
                       int* sizePtr,             // out: the element's size in bytes
                       int* bracePtr);           // out: non-zero when it was braced
    int (*CopyAndCollapse)(int count, const char* src, char* dst);

    // Commands of our own (Python callbacks with readable errors).
    using ObjCmdProc = int (*)(void* clientData, Interp* interp, int objc, Obj* const objv[]);
    using CmdDeleteProc = void (*)(void* clientData);
    void* (*CreateObjCommand)(Interp* interp, const char* cmdName, ObjCmdProc proc, void* clientData,
                              CmdDeleteProc deleteProc);
    int (*DeleteCommand)(Interp* interp, const char* cmdName);
    int (*EvalObjv)(Interp* interp, int objc, Obj* const objv[], int flags);
    Obj* (*NewStringObj)(const char* bytes, int length);
    void (*SetObjResult)(Interp* interp, Obj* result);
    void (*AddObjErrorInfo)(Interp* interp, const char* message, int length);
    void (*DbIncrRefCount)(Obj* obj, const char* file, int line);
    void (*DbDecrRefCount)(Obj* obj, const char* file, int line);

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
    loaded.CreateObjCommand = reinterpret_cast<decltype(loaded.CreateObjCommand)>(resolve("Tcl_CreateObjCommand"));
    loaded.DeleteCommand = reinterpret_cast<decltype(loaded.DeleteCommand)>(resolve("Tcl_DeleteCommand"));
    loaded.EvalObjv = reinterpret_cast<decltype(loaded.EvalObjv)>(resolve("Tcl_EvalObjv"));
    loaded.NewStringObj = reinterpret_cast<decltype(loaded.NewStringObj)>(resolve("Tcl_NewStringObj"));
    loaded.SetObjResult = reinterpret_cast<decltype(loaded.SetObjResult)>(resolve("Tcl_SetObjResult"));
    loaded.AddObjErrorInfo = reinterpret_cast<decltype(loaded.AddObjErrorInfo)>(resolve("Tcl_AddObjErrorInfo"));
    loaded.DbIncrRefCount = reinterpret_cast<decltype(loaded.DbIncrRefCount)>(resolve("Tcl_DbIncrRefCount"));
    loaded.DbDecrRefCount = reinterpret_cast<decltype(loaded.DbDecrRefCount)>(resolve("Tcl_DbDecrRefCount"));
    loaded.GetObjResult = reinterpret_cast<decltype(loaded.GetObjResult)>(resolve("Tcl_GetObjResult"));
    loaded.GetStringFromObj = reinterpret_cast<decltype(loaded.GetStringFromObj)>(resolve("Tcl_GetStringFromObj"));
    // Last: a filled GetStringResult marks the table as loaded.
    loaded.GetStringResult = reinterpret_cast<decltype(loaded.GetStringResult)>(resolve("Tcl_GetStringResult"));
    api = loaded;
    return api;
}

// The table, once loaded: for code that Tcl calls, which runs only after
// the table was loaded to create it.
inline const Api& api_loaded() noexcept { return detail::table(); }

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

// With the exception of a failed Tcl call set: a TclError (the class
// `module` binds as TclError, read at call time) is raised again as a fresh one carrying ::errorInfo, Tcl's
// whole trace, read from `interp.vars`, with no cause and the caught error's
// context suppressed, as `raise TclError(info) from None` in an `except`
// block does.  Any other exception passes unchanged.
[[noreturn]] inline void raise_with_trace(PyObject* module, PyObject* interp) {
    py::Caught caught;
    PyObject* tcl_error = py::global(module, TARVO_STR("TclError"));
    if (!caught.matches(tcl_error)) caught.reraise();
    py::Handling handling(caught);
    py::Ref vars = py::instance_attr(interp, TARVO_STR("vars"));
    py::Ref info = py::own(PyObject_GetItem(vars.get(), TARVO_STR("::errorInfo")));
    py::raise_from_none(py::call(tcl_error, info.get()));
}

}  // namespace tarvo::tcl
