// Module objects: state, definition order of the top level, and the functions
// and classes that C++ puts into Python namespaces.
#pragma once

#include "ref.hpp"

#include <cstring>
#include <string_view>

namespace tarvo::py {

// ---------------------------------------------------------------------------
// Module state.  A state struct lists its owned objects once:
//
//     struct State {
//         PyObject* deque = nullptr;
//         PyObject* logger = nullptr;
//         static constexpr PyObject* State::*fields[] = {&State::deque, &State::logger};
//     };
//
// and `state_slots<State>` gives traverse / clear / free from that list.  No
// owned reference ever lives in a static C++ object: its destructor would run
// after the interpreter has gone.

template <class State>
State* state(PyObject* module) noexcept {
    return static_cast<State*>(PyModule_GetState(module));
}

template <class State>
struct state_slots {
    static int traverse(PyObject* module, visitproc visit, void* arg) noexcept {
        State* s = state<State>(module);
        if (!s) return 0;
        for (auto field : State::fields) Py_VISIT(s->*field);
        return 0;
    }
    static int clear(PyObject* module) noexcept {
        State* s = state<State>(module);
        if (!s) return 0;
        for (auto field : State::fields) Py_CLEAR(s->*field);
        return 0;
    }
    static void free(void* module) noexcept { clear(static_cast<PyObject*>(module)); }
};

// Stores an owned reference in a state field.
inline void keep(PyObject*& field, Ref value) noexcept { Py_XSETREF(field, value.release()); }

// Binds `name` in the module namespace (a new reference is taken).
inline void add(PyObject* module, const char* name, PyObject* value) {
    check(PyObject_SetAttrString(module, name, value));
}

// The module of a C type defined with PyType_FromModuleAndSpec, found from
// the type of an instance, which may be a Python subclass of it.
inline PyObject* module_of(PyTypeObject* type, PyModuleDef* def) {
    PyObject* mro = type->tp_mro;
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* module = PyType_GetModule(t);
        if (module && PyModule_GetDef(module) == def) return module;
        PyErr_Clear();
    }
    raise_format(PyExc_TypeError, "'%.100s' is not a type of module %s", type->tp_name, def->m_name);
}

// A C type of `module` made from `spec`.  Its Py_tp_doc may begin with
// "Name(signature)\n--\n\n", the constructor's signature that
// __text_signature__ (and so inspect.signature) reads from tp_doc.  CPython
// 3.9 copies only the text after that head into tp_doc; there the whole doc
// is put back (__doc__ was already made from the text alone).
inline Ref type_from_spec(PyObject* module, PyType_Spec* spec) {
    Ref type = own(PyType_FromModuleAndSpec(module, spec, nullptr));
#if PY_VERSION_HEX < 0x030A0000
    for (PyType_Slot* slot = spec->slots; slot->slot; ++slot) {
        if (slot->slot != Py_tp_doc || !slot->pfunc) continue;
        const char* doc = static_cast<const char*>(slot->pfunc);
        const size_t size = std::strlen(doc) + 1;
        auto* copy = static_cast<char*>(PyObject_Malloc(size));
        if (!copy) {
            PyErr_NoMemory();
            fail();
        }
        std::memcpy(copy, doc, size);
        auto* t = reinterpret_cast<PyTypeObject*>(type.get());
        PyObject_Free(const_cast<char*>(t->tp_doc));  // the type owns its tp_doc
        t->tp_doc = copy;
    }
#endif
    return type;
}

// Module-level slots shared by every module: exec; (on interpreters that
// know it) the statement that the module runs in the main interpreter only:
// tkinter's Tcl objects are bound to one interpreter, and so are ours; and
// (on those that have a free-threaded build) that it needs no GIL: what its
// threads share is kept as _cxx/sync.hpp keeps it, and an interpreter is
// used on its own thread only.
#if PY_VERSION_HEX >= 0x030D0000
#define TARVO_MODULE_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define TARVO_MODULE_GIL_SLOT
#endif
#if PY_VERSION_HEX >= 0x030C0000
#define TARVO_MODULE_SLOTS(exec_fn)                                                   \
    {Py_mod_exec, reinterpret_cast<void*>(exec_fn)},                                  \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},   \
        TARVO_MODULE_GIL_SLOT {                                                       \
        0, nullptr                                                                    \
    }
#else
#define TARVO_MODULE_SLOTS(exec_fn) \
    {Py_mod_exec, reinterpret_cast<void*>(exec_fn)}, { 0, nullptr }
#endif

// Defines the extension module tarvo.tcl.<name>: its slots, its PyModuleDef
// (module state `State`, initialised by `exec_fn`) as `<name>_module`, and
// PyInit_<name>.  Used once per module, at file scope.
#define TARVO_MODULE(name, doc, State, exec_fn)                             \
    namespace {                                                             \
    PyModuleDef_Slot name##_module_slots[] = {TARVO_MODULE_SLOTS(exec_fn)}; \
    PyModuleDef name##_module = {                                           \
        PyModuleDef_HEAD_INIT,                                              \
        "tarvo.tcl." #name,                                                 \
        doc,                                                                \
        sizeof(State),                                                      \
        nullptr,                                                            \
        name##_module_slots,                                                \
        ::tarvo::py::state_slots<State>::traverse,                          \
        ::tarvo::py::state_slots<State>::clear,                             \
        ::tarvo::py::state_slots<State>::free,                              \
    };                                                                      \
    }                                                                       \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&name##_module); }

// Relative import of a sibling module's attribute: `from .<module> import <name>`.
inline Ref import_relative(PyObject* module, const char* sibling, const char* name) {
    Ref fromlist = own(Py_BuildValue("(s)", name));
    Ref mod = own(PyImport_ImportModuleLevel(sibling, PyModule_GetDict(module), nullptr, fromlist.get(), 1));
    PyObject* value = PyObject_GetAttrString(mod.get(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
        Ref mod_name = own(PyModule_GetNameObject(mod.get()));
        raise_format(PyExc_ImportError, "cannot import name '%s' from '%U'", name, mod_name.get());
    }
    return Ref::steal(value);
}

// The namespace dict of a type.  Since Python 3.12, static built-in types
// (`object` among them) keep theirs per interpreter and leave tp_dict NULL:
// only PyType_GetDict reaches it there.
inline Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return own(PyType_GetDict(type));
#else
    return Ref::borrow(require(type->tp_dict));
#endif
}

// What `name` names in the dict of the first class along the MRO of `type`
// that has it (borrowed from that dict), or NULL: the lookup behind
// attribute access, done with the public API, without its cache.
inline PyObject* class_lookup(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        // Borrowed from a dict the type keeps alive.
        PyObject* found = PyDict_GetItemWithError(dict.get(), name);
        if (found) return found;
        if (PyErr_Occurred()) fail();
    }
    return nullptr;
}

// Whether `type` carries a version tag that names its present state: any
// change to a class or to one of its bases gives it a new one (none until
// the interpreter's own lookup next asks), and a tag names one state of one
// class for the life of the process.  So what was found in a class at one
// tag still holds while it has that tag.
inline bool has_valid_version(PyTypeObject* type) noexcept {
#ifdef Py_TPFLAGS_VALID_VERSION_TAG
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
#else
    return type->tp_version_tag != 0;
#endif
}

// Instance attributes read straight from the instance's own __dict__, as
// PyObject_GenericGetAttr finds them where the class has nothing of that
// name (no descriptor, no class attribute).  Whether a class has none of a
// few names is kept for its version in a `ClassLacks` of the caller's:
//
//     if (py::lacks_all(st->lacks, Py_TYPE(obj), {TARVO_STR("tk")})) {
//         Ref dict = py::instance_dict(obj);
//         Ref tk = py::own_attr(obj, dict.get(), TARVO_STR("tk"));
//     }

class ClassLacks {
public:
    struct Known {
        PyTypeObject* type;  // compared only: the version names the class
        unsigned int version;
    };
    Kept<Known> known;
};

// Whether `type` has none of `names` along its MRO.
inline bool lacks_all(ClassLacks& lacks, PyTypeObject* type, std::initializer_list<PyObject*> names) {
    const ClassLacks::Known known = lacks.known.load();
    if (known.type == type && known.version && type->tp_version_tag == known.version && has_valid_version(type)) {
        return true;
    }
    for (PyObject* name : names) {
        if (class_lookup(type, name)) return false;
    }
    if (has_valid_version(type)) lacks.known.store({type, type->tp_version_tag});
    return true;
}

// The instance's own __dict__, or empty where it has none.
inline Ref instance_dict(PyObject* obj) {
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    if (dict) return Ref::steal(dict);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    return {};
}

// `obj.<name>` where the class of `obj` has nothing of that name: from
// `dict` (its own __dict__) where it is there, else by instance_attr.
inline Ref own_attr(PyObject* obj, PyObject* dict, PyObject* name) {
    if (dict && PyDict_CheckExact(dict)) {
        if (PyObject* value = PyDict_GetItemWithError(dict, name)) return newref(value);
        if (PyErr_Occurred()) fail();
    }
    return instance_attr(obj, name);
}

// class_lookup for code that must not throw: null with an error set where
// the lookup failed (as well as where nothing was found).
inline PyObject* class_lookup_quiet(PyTypeObject* type, PyObject* name) noexcept {
    try {
        return class_lookup(type, name);
    } catch (const Error&) {
        return nullptr;
    }
}

// A method that a class's generic lookup finds for instances that keep no
// attributes of their own (no __dict__): a method descriptor, which a call
// through PyObject_VectorcallMethod gets unbound and calls with the
// instance in front.  Kept for the class's version, so that such a call
// skips the lookup:
//
//     if (PyObject* method = st->known_call.find(tk, TARVO_STR("call"))) {
//         result = PyObject_Vectorcall(method, argv_with_tk_first, n + 1, nullptr);
//     }
class KnownMethod {
public:
    // The descriptor, borrowed from the class, or null where the call takes
    // another road (the caller then calls by name).  Runs no code.
    PyObject* find(PyObject* obj, PyObject* name) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        const Known known = known_.load();
        if (type == known.type && known.version && type->tp_version_tag == known.version && has_valid_version(type)) {
            return known.found;
        }
        if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0) return nullptr;
#ifdef Py_TPFLAGS_MANAGED_DICT
        if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return nullptr;
#endif
        PyObject* found = class_lookup_quiet(type, name);
        if (!found || !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR) || !has_valid_version(type)) {
            PyErr_Clear();
            return nullptr;
        }
        known_.store({type, type->tp_version_tag, found});
        return found;
    }

private:
    struct Known {
        PyTypeObject* type;  // compared only: the version names the class
        unsigned int version;
        PyObject* found;  // borrowed from the class, which holds it at that version
    };
    Kept<Known> known_;
};

// ---------------------------------------------------------------------------
// Functions.  Every C++ function is a PyCFunction whose `self` is its module,
// so its body reaches the module state; `PyMethodDef`s are static, since the
// function object keeps a pointer to its def.

inline Ref function(PyMethodDef* def, PyObject* module) {
    Ref module_name = own(PyModule_GetNameObject(module));
    return own(PyCFunction_NewEx(def, module, module_name.get()));
}

// A builtin function placed in a class is no descriptor and would not bind:
// an instancemethod wrapper makes it a method, with the instance in args[0].
inline Ref method(PyMethodDef* def, PyObject* module) {
    Ref f = function(def, module);
    return own(PyInstanceMethod_New(f.get()));
}

inline Ref static_method(PyMethodDef* def, PyObject* module) {
    Ref f = function(def, module);
    return own(PyStaticMethod_New(f.get()));
}

inline Ref class_method(PyMethodDef* def, PyObject* module) {
    Ref f = function(def, module);
    return own(PyClassMethod_New(f.get()));
}

// ---------------------------------------------------------------------------
// Classes built by calling their metaclass, as a class statement does:
//
//     ClassBuilder b(module, "Interpreter", bases, doc);
//     b.method(&init_def);          // in definition order
//     b.static_method(&cast_list_def);
//     b.alias("set_int", "set_var");
//     Ref cls = b.build();

class ClassBuilder {
public:
    ClassBuilder(PyObject* module, const char* name, PyObject* bases, const char* doc)
        : module_(module), name_(text(name)), bases_(newref(bases)) {
        metaclass_ = newref(reinterpret_cast<PyObject*>(&PyType_Type));
        const Py_ssize_t n = PyTuple_GET_SIZE(bases);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* base_meta = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, i)));
            auto* winner = reinterpret_cast<PyTypeObject*>(metaclass_.get());
            auto* candidate = reinterpret_cast<PyTypeObject*>(base_meta);
            if (PyType_IsSubtype(winner, candidate)) continue;
            if (!PyType_IsSubtype(candidate, winner)) {
                raise(PyExc_TypeError,
                      "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                      "subclass of the metaclasses of all its bases");
            }
            metaclass_ = newref(base_meta);
        }
        Ref prepare = getattr(metaclass_.get(), "__prepare__");
        ns_ = call(prepare.get(), name_.get(), bases_.get());
        Ref module_name = own(PyModule_GetNameObject(module));
        set("__module__", module_name.get());
        set("__qualname__", name_.get());
        if (doc) {
            set("__doc__", text(doc).get());
            // "Name(signature)\n--\n\n" ahead of the text: the metaclass copies
            // the whole of __doc__ into tp_doc, where __text_signature__ (and
            // so inspect.signature) finds the constructor's signature, as for
            // a C type; __doc__ itself keeps the text after that head.
            const char* marker = std::strstr(doc, ")\n--\n\n");
            const size_t name_length = std::strlen(name);
            if (marker && std::strncmp(doc, name, name_length) == 0 && doc[name_length] == '(') {
                doc_body_ = text(marker + 6);
            }
        }
    }

    void set(const char* name, PyObject* value) { check(PyMapping_SetItemString(ns_.get(), name, value)); }

    // A method; `__new__` becomes a static method and `__init_subclass__` /
    // `__class_getitem__` class methods, as `type` does for Python functions.
    void method(PyMethodDef* def) {
        const std::string_view name = def->ml_name;
        if (name == "__new__") return static_method(def);
        if (name == "__init_subclass__" || name == "__class_getitem__") {
            set(def->ml_name, class_method(def, module_).get());
            return;
        }
        set(def->ml_name, py::method(def, module_).get());
    }
    void static_method(PyMethodDef* def) { set(def->ml_name, py::static_method(def, module_).get()); }

    // Binds the very object already bound under `existing` under `name` too.
    void alias(const char* name, const char* existing) {
        Ref value = own(PyMapping_GetItemString(ns_.get(), existing));
        set(name, value.get());
    }

    PyObject* namespace_dict() const noexcept { return ns_.get(); }

    Ref build() {
        Ref cls = call(metaclass_.get(), name_.get(), bases_.get(), ns_.get());
        // Setting __doc__ on a class leaves its tp_doc as the metaclass made it.
        if (doc_body_) check(PyObject_SetAttrString(cls.get(), "__doc__", doc_body_.get()));
        return cls;
    }

private:
    PyObject* module_;
    Ref name_, bases_, metaclass_, ns_, doc_body_;
};

}  // namespace tarvo::py
