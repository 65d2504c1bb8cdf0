// Builtin functions that carry attributes.
//
// A builtin function object has no `__dict__`, so `f.helper = g` fails on
// it.  A `py::Function` behaves like a builtin function (a vectorcall goes
// straight into its C++ body; it is no descriptor, so it does not bind when
// placed in a class; `__name__`, `__qualname__`, `__module__`, `__doc__`,
// `__text_signature__`, repr and pickling as a builtin's) and has a
// `__dict__` for plain attributes, readable and writable by callers, as a
// Python function has.
//
// A module makes the type once, from a PyType_Spec with a name of its own:
//
//     PyType_Spec function_spec = {"tarvo.tcl.quoten.builtin_function", sizeof(py::FunctionObject), 0,
//                                  py::function_flags, py::function_slots};
//     Ref type = own(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
//     Ref quoten = py::attributed_function(type.get(), &quoten_def, module);
//
// and the function's def must be METH_FASTCALL | METH_KEYWORDS, with the
// module as its `self`, like every other function of ours.
#pragma once

#include "ref.hpp"

#include <structmember.h>

#include <cstring>

namespace tarvo::py {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyMethodDef* def;
    PyObject* self;  // what the C function receives as `self`: its module
    PyObject* name;
    PyObject* qualname;
    PyObject* module;  // __module__: the module's name
    PyObject* doc;
    PyObject* dict;
    PyObject* weakrefs;
};

namespace detail {

inline FunctionObject* as_function(PyObject* f) noexcept { return reinterpret_cast<FunctionObject*>(f); }

// The C signature of a METH_FASTCALL | METH_KEYWORDS function.
using FastWithKeywords = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline PyObject* function_vectorcall(PyObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* fn = as_function(f);
    auto body = reinterpret_cast<FastWithKeywords>(reinterpret_cast<void (*)(void)>(fn->def->ml_meth));
    return body(fn->self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// The parts of a builtin's docstring: "name(signature)\n--\n\ntext".
inline const char* doc_body(const char* doc) noexcept {
    const char* marker = doc ? std::strstr(doc, ")\n--\n\n") : nullptr;
    return marker ? marker + 6 : doc;
}

inline PyObject* function_get_text_signature(PyObject* f, void*) noexcept {
    return entry("__text_signature__", [&]() -> Ref {
        const char* doc = as_function(f)->def->ml_doc;
        const char* open = doc ? std::strchr(doc, '(') : nullptr;
        const char* body = doc_body(doc);
        if (!open || body == doc || open > body) return none();
        return own(PyUnicode_FromStringAndSize(open, body - 5 - open));
    });
}

inline PyObject* function_get_signature(PyObject* f, void*) noexcept {
    // inspect knows builtins only: ask it about a builtin made from the same def.
    return entry("__signature__", [&] {
        FunctionObject* fn = as_function(f);
        Ref builtin = own(PyCFunction_NewEx(fn->def, fn->self, fn->module));
        Ref inspect = import("inspect");
        return call_method(inspect.get(), TARVO_STR("signature"), builtin.get());
    });
}

inline int set_text_field(PyObject*& field, PyObject* value, const char* what) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(field, value);
    return 0;
}

inline PyObject* new_ref(PyObject* o) noexcept {
    Py_INCREF(o);
    return o;
}

inline PyObject* function_get_name(PyObject* f, void*) noexcept { return new_ref(as_function(f)->name); }
inline int function_set_name(PyObject* f, PyObject* value, void*) noexcept {
    return set_text_field(as_function(f)->name, value, "__name__");
}
inline PyObject* function_get_qualname(PyObject* f, void*) noexcept { return new_ref(as_function(f)->qualname); }
inline int function_set_qualname(PyObject* f, PyObject* value, void*) noexcept {
    return set_text_field(as_function(f)->qualname, value, "__qualname__");
}

inline PyObject* function_repr(PyObject* f) noexcept {
    return PyUnicode_FromFormat("<built-in function %U>", as_function(f)->name);
}

// Pickled by reference, as builtins are: the module attribute of that name.
inline PyObject* function_reduce(PyObject* f, PyObject*) noexcept { return new_ref(as_function(f)->qualname); }

inline int function_traverse(PyObject* f, visitproc visit, void* arg) noexcept {
    FunctionObject* fn = as_function(f);
    Py_VISIT(Py_TYPE(f));
    Py_VISIT(fn->self);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->dict);
    return 0;
}

inline int function_clear(PyObject* f) noexcept {
    FunctionObject* fn = as_function(f);
    Py_CLEAR(fn->self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->dict);
    // __name__ and __qualname__ stay: they hold no references that could
    // form a cycle, and repr needs them.
    return 0;
}

inline void function_dealloc(PyObject* f) noexcept {
    PyTypeObject* type = Py_TYPE(f);
    PyObject_GC_UnTrack(f);
    if (as_function(f)->weakrefs) PyObject_ClearWeakRefs(f);
    function_clear(f);
    Py_CLEAR(as_function(f)->name);
    Py_CLEAR(as_function(f)->qualname);
    type->tp_free(f);
    Py_DECREF(type);
}

}  // namespace detail

inline PyMethodDef function_methods[] = {
    {"__reduce__", detail::function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyGetSetDef function_getset[] = {
    {"__name__", detail::function_get_name, detail::function_set_name, nullptr, nullptr},
    {"__qualname__", detail::function_get_qualname, detail::function_set_qualname, nullptr, nullptr},
    {"__text_signature__", detail::function_get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", detail::function_get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(detail::function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(detail::function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(detail::function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(detail::function_dealloc)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long function_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                         Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long function_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
#endif

// A function of `type` (a type made with the slots above) running
// `def`, which must be METH_FASTCALL | METH_KEYWORDS, with `module` as self.
inline Ref attributed_function(PyObject* type, PyMethodDef* def, PyObject* module) {
    if (def->ml_flags != (METH_FASTCALL | METH_KEYWORDS)) {
        raise_format(PyExc_SystemError, "%s: attributed functions take METH_FASTCALL | METH_KEYWORDS", def->ml_name);
    }
    Ref name = own(PyUnicode_InternFromString(def->ml_name));
    Ref module_name = own(PyModule_GetNameObject(module));
    const char* body = detail::doc_body(def->ml_doc);
    Ref doc = body ? own(PyUnicode_FromString(body)) : none();
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    Ref f = own(t->tp_alloc(t, 0));
    FunctionObject* fn = detail::as_function(f.get());
    fn->vectorcall = detail::function_vectorcall;
    fn->def = def;
    fn->self = detail::new_ref(module);
    fn->qualname = name.copy().release();
    fn->name = name.release();
    fn->module = module_name.release();
    fn->doc = doc.release();
    return f;
}

}  // namespace tarvo::py
