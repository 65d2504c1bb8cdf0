// tarvo.tcl.interpreter: the Interpreter class, a Tcl interpreter without Tk
// (a tkinter.Tk created with useTk=0) with TclX loaded, call recording, the
// quick-call proxy and namespace accessors, and the shared interpreter that
// importing this module starts.
//
// `Interpreter` derives from a Python class, so it is made the way a class
// statement makes it: its metaclass is called with a namespace of C++
// functions.  Module globals are read at call time, as Python code reads
// them, so a caller may replace `iter_entry_points` or a companion class.
#include "_cxx/py.hpp"

namespace py = tarvo::py;
using py::Ref;

namespace {

extern PyModuleDef interpreter_module;

struct State {
    PyObject* metadata = nullptr;  // importlib.metadata
    PyObject* record = nullptr;    // types.SimpleNamespace
    static constexpr PyObject* State::*fields[] = {&State::metadata, &State::record};
};

const char* const self_params[] = {"self"};

// ---------------------------------------------------------------------------
// Start-up hooks, found by entry point.

const char* const iter_entry_points_params[] = {"group"};
const py::Signature iter_entry_points_sig{"iter_entry_points", iter_entry_points_params, 1, 1};

// The entry points of `group`, each as an object with `name`, `module_name`
// and `load()`, from the standard library's importlib.metadata.
PyObject* iter_entry_points(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("iter_entry_points", [&] {
        PyObject* a[1];
        py::parse(iter_entry_points_sig, args, nargs, kwnames, a);
        State* st = py::state<State>(module);
        Ref entry_points = py::getattr(st->metadata, TARVO_STR("entry_points"));
#if PY_VERSION_HEX >= 0x030A0000
        Ref found = py::call_kw(entry_points.get(), {}, {{"group", a[0]}});
#else
        Ref by_group = py::call(entry_points.get());
        Ref empty = py::own(PyTuple_New(0));
        Ref found = py::call_method(by_group.get(), TARVO_STR("get"), a[0], empty.get());
#endif
        Ref result = py::own(PyList_New(0));
        Ref iterator = py::own(PyObject_GetIter(found.get()));
        while (Ref ep = Ref::steal(PyIter_Next(iterator.get()))) {
            Ref name = py::getattr(ep.get(), TARVO_STR("name"));
            Ref module_name = py::getattr(ep.get(), TARVO_STR("module"));
            Ref load = py::getattr(ep.get(), TARVO_STR("load"));
            Ref hook = py::call_kw(st->record, {},
                                   {{"name", name.get()}, {"module_name", module_name.get()}, {"load", load.get()}});
            py::check(PyList_Append(result.get(), hook.get()));
        }
        if (PyErr_Occurred()) py::fail();
        return py::own(PyObject_GetIter(result.get()));
    });
}

PyMethodDef iter_entry_points_def = {
    "iter_entry_points", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(iter_entry_points)),
    METH_FASTCALL | METH_KEYWORDS,
    PyDoc_STR("iter_entry_points(group)\n--\n\n"
              "The entry points of `group`, each with `name`, `module_name` and `load()`.")};

// ---------------------------------------------------------------------------
// Interpreter methods.  Each is a function of the module placed in the class
// namespace; the instance arrives as args[0].

#define TARVO_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

const py::Signature init_sig{"__init__", self_params, 1, 1};

PyObject* interpreter_init(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("Interpreter.__init__", [&] {
        PyObject* a[1];
        py::parse(init_sig, args, nargs, kwnames, a);
        PyObject* self = a[0];

        // 1. The Tcl interpreter, without Tk.
        PyObject* cls = py::global(module, TARVO_STR("Interpreter"));
        Ref super = py::call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
        Ref base_init = py::getattr(super.get(), TARVO_STR("__init__"));
        Ref zero = py::integer(0);
        py::call_kw(base_init.get(), {}, {{"useTk", zero.get()}});

        // 2. to 7. Its history, callback registry and namespaces.
        Ref history = py::call(py::global(module, TARVO_STR("History")));
        py::setattr(self, TARVO_STR("history"), history.get());
        Ref jot = py::call_kw(py::global(module, TARVO_STR("Jot")), {}, {{"tcl", self}});
        py::setattr(self, TARVO_STR("Jot"), jot.get());
        py::setattr(self, TARVO_STR("jot"), jot.get());
        Ref callbacks = py::own(PyDict_New());
        py::setattr(self, TARVO_STR("__callbacks__"), callbacks.get());
        PyObject* namespace_class = py::global(module, TARVO_STR("TclNamespace"));
        Ref global_name = py::text("::");
        Ref global_ns = py::call_kw(namespace_class, {global_name.get()}, {{"tcl", self}});
        py::setattr(self, TARVO_STR("global_ns"), global_ns.get());
        Ref local_ns = py::call_kw(namespace_class, {Py_None}, {{"tcl", self}});
        py::setattr(self, TARVO_STR("local_ns"), local_ns.get());
        local_ns = py::getattr(self, TARVO_STR("local_ns"));
        py::setattr(self, TARVO_STR("vars"), py::getattr(local_ns.get(), TARVO_STR("vars")).get());
        py::setattr(self, TARVO_STR("objs"), py::getattr(local_ns.get(), TARVO_STR("objs")).get());

        // 8. A clean command line for the Tcl side.
        Ref global_vars = py::getattr(py::getattr(self, TARVO_STR("global_ns")).get(), TARVO_STR("vars"));
        Ref empty_tuple = py::own(PyTuple_New(0));
        Ref empty_text = py::text("");
        py::check(PyObject_SetItem(global_vars.get(), TARVO_STR("argc"), zero.get()));
        py::check(PyObject_SetItem(global_vars.get(), TARVO_STR("argv"), empty_tuple.get()));
        py::check(PyObject_SetItem(global_vars.get(), TARVO_STR("argv0"), empty_text.get()));
        py::check(PyObject_SetItem(global_vars.get(), TARVO_STR("tcl_interactive"), zero.get()));

        // 9. TclX, straight through the Tcl application object: not recorded.
        Ref tk = py::getattr(self, TARVO_STR("tk"));
        py::call_method(tk.get(), TARVO_STR("eval"), py::text("package require Tclx").get());

        // 10. Start-up hooks.
        py::call_method(self, TARVO_STR("_load_entrypoint"));
        return py::none();
    });
}

const py::Signature load_entrypoint_sig{"_load_entrypoint", self_params, 1, 1};

PyObject* interpreter_load_entrypoint(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return py::entry("Interpreter._load_entrypoint", [&] {
        PyObject* a[1];
        py::parse(load_entrypoint_sig, args, nargs, kwnames, a);
        PyObject* self = a[0];
        PyObject* iter_entry_points = py::global(module, TARVO_STR("iter_entry_points"));
        Ref hooks = py::call_kw(iter_entry_points, {}, {{"group", py::global(module, TARVO_STR("TCL_INIT_ENTRYPOINT"))}});
        Ref iterator = py::own(PyObject_GetIter(hooks.get()));
        while (Ref ep = Ref::steal(PyIter_Next(iterator.get()))) {
            Ref name = py::getattr(ep.get(), TARVO_STR("name"));
            Ref module_name = py::getattr(ep.get(), TARVO_STR("module_name"));
            PyObject* allowed = py::global(module, TARVO_STR("TCL_ALLOWED_ENTRYPOINT_KEYS"));
            if (!py::check(PySequence_Contains(allowed, name.get()))) {
                py::raise_format(PyExc_ValueError, "Unknown Tcl entrypoint: %S from %S", name.get(), module_name.get());
            }
            PyObject* logger = py::global(module, TARVO_STR("logger"));
            py::call_method(logger, TARVO_STR("debug"), py::text("Loading Tcl-Init from %s").get(), module_name.get());
            Ref tcl_init = py::call_method(ep.get(), TARVO_STR("load"));
            if (!PyCallable_Check(tcl_init.get())) {
                py::raise_format(PyExc_TypeError, "Tcl-Init must be callable, got: %R", tcl_init.get());
            }
            py::call(tcl_init.get(), self);
        }
        if (PyErr_Occurred()) py::fail();
        return py::none();
    });
}

const char* const getattr_params[] = {"self", "attr"};
const py::Signature getattr_sig{"__getattr__", getattr_params, 2, 2};

// Reached only when normal lookup failed: the rest of the Tcl application
// object (`call`, `createcommand`, `interpaddr`, ...) shows through.
PyObject* interpreter_getattr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("Interpreter.__getattr__", [&] {
        PyObject* a[2];
        py::parse(getattr_sig, args, nargs, kwnames, a);
        PyObject* self = a[0];
        PyObject* attr = a[1];
        // The generic lookup never comes back here, so a half-built or copied
        // object without `tk` cannot recurse.
        Ref tk = Ref::steal(PyObject_GenericGetAttr(self, TARVO_STR("tk")));
        if (tk) {
            Ref value = Ref::steal(PyObject_GetAttr(tk.get(), attr));
            if (value) return value;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::fail();
        PyErr_Clear();
        py::raise_format(PyExc_AttributeError, "'Interpreter' object has no attribute '%S'", attr);
    });
}

// An attribute the instance keeps in its own dict, read without the detour
// through the class's __getattr__ hook; anything else takes the normal road.
Ref instance_attr(PyObject* self, PyObject* name) {
    PyObject* value = PyObject_GenericGetAttr(self, name);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::fail();
    PyErr_Clear();
    return py::getattr(self, name);
}

const char* const eval_params[] = {"self", "code", "typecast", "record"};
const py::Signature eval_sig{"eval", eval_params, 4, 2};

PyObject* interpreter_eval(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("Interpreter.eval", [&] {
        PyObject* a[4];
        py::parse(eval_sig, args, nargs, kwnames, a);
        PyObject* self = a[0];
        PyObject* code = a[1];
        if (!a[3] || py::truth(a[3])) {
            Ref history = instance_attr(self, TARVO_STR("history"));
            py::call_method(history.get(), TARVO_STR("append"), code);
        }
        Ref tk = instance_attr(self, TARVO_STR("tk"));
        Ref result;
        try {
            result = py::call_method(tk.get(), TARVO_STR("eval"), code);
        } catch (const py::Error&) {
            // A Tcl error: report Tcl's whole trace, not its short message.
            py::Caught caught;
            PyObject* tcl_error = py::global(module, TARVO_STR("TclError"));
            if (!caught.matches(tcl_error)) caught.reraise();
            py::Handling handling(caught);
            Ref vars = py::getattr(self, TARVO_STR("vars"));
            Ref info = py::own(PyObject_GetItem(vars.get(), TARVO_STR("::errorInfo")));
            py::raise_from_none(py::call(tcl_error, info.get()));
        }
        if (a[2] && py::truth(a[2])) result = py::call_method(self, TARVO_STR("cast_any"), result.get());
        return result;
    });
}

PyMethodDef interpreter_methods[] = {
    {"__init__", TARVO_FASTCALL(interpreter_init), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__init__($self, /)\n--\n\n"
               "Start a Tcl interpreter without Tk, load TclX and run the start-up hooks.")},
    {"_load_entrypoint", TARVO_FASTCALL(interpreter_load_entrypoint), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_load_entrypoint($self, /)\n--\n\n"
               "Run every start-up hook of the entry-point group TCL_INIT_ENTRYPOINT.")},
    {"__getattr__", TARVO_FASTCALL(interpreter_getattr), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__getattr__($self, attr, /)\n--\n\nDelegate to the Tcl application object.")},
    {"eval", TARVO_FASTCALL(interpreter_eval), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("eval($self, code, typecast=False, record=True)\n--\n\n"
               "Evaluate Tcl code and return its result, cast with cast_any when `typecast`.\n"
               "A Tcl error raises TclError with Tcl's whole error trace.")},
};

enum MethodIndex { INIT, LOAD_ENTRYPOINT, GETATTR, EVAL };

// ---------------------------------------------------------------------------
// Module

Ref make_interpreter_class(PyObject* module) {
    Ref bases = py::own(PyTuple_Pack(1, py::global(module, TARVO_STR("Tk"))));
    py::ClassBuilder cls(module, "Interpreter", bases.get(),
                         "A Tcl interpreter without Tk, with TclX loaded, call history, quick calls\n"
                         "(`jot`), typed results and Python callbacks.");
    cls.set("__MAX_HISTORY__", py::integer(9999).get());
    cls.method(&interpreter_methods[INIT]);
    cls.method(&interpreter_methods[LOAD_ENTRYPOINT]);
    cls.method(&interpreter_methods[GETATTR]);
    cls.method(&interpreter_methods[EVAL]);
    return cls.build();
}

// The export list of the shared interpreter: the public names of the class,
// in definition order, then its own public attributes.
void publish(PyObject* interpreter, PyObject* cls) {
    Ref names = py::own(PyList_New(0));
    for (PyObject* source : {cls, interpreter}) {
        Ref dict = py::getattr(source, TARVO_STR("__dict__"));
        Ref keys = py::own(PyMapping_Keys(dict.get()));
        const Py_ssize_t n = PyList_GET_SIZE(keys.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* key = PyList_GET_ITEM(keys.get(), i);
            if (!PyUnicode_Check(key)) continue;
            if (PyUnicode_GetLength(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '_') continue;
            py::check(PyList_Append(names.get(), key));
        }
    }
    py::setattr(interpreter, TARVO_STR("__all__"), names.get());
}

int exec_module(PyObject* module) noexcept {
    return py::entry_int("tarvo.tcl.interpreter", [&] {
        State* st = py::state<State>(module);
        py::keep(st->metadata, py::import("importlib.metadata"));
        py::keep(st->record, py::import_from("types", "SimpleNamespace"));
        Ref logging = py::import("logging");
        py::add(module, "logging", logging.get());
        py::add(module, "Tk", py::import_from("tkinter", "Tk").get());
        py::add(module, "TclError", py::import_from("tkinter", "TclError").get());
        py::add(module, "Tcl_Obj", py::import_from("_tkinter", "Tcl_Obj").get());
        py::add(module, "iter_entry_points", py::function(&iter_entry_points_def, module).get());
        py::add(module, "Array", py::import_relative(module, "array", "Array").get());
        py::add(module, "History", py::import_relative(module, "history", "History").get());
        py::add(module, "tclobj", py::import_relative(module, "quoten", "tclobj").get());
        py::add(module, "TclNamespace", py::import_relative(module, "namespace", "TclNamespace").get());
        py::add(module, "TclCommand", py::import_relative(module, "namespace", "TclCommand").get());
        py::add(module, "quoten", py::import_relative(module, "quoten", "quoten").get());
        py::add(module, "Jot", py::import_relative(module, "jot", "Jot").get());
        py::add(module, "TCL_INIT_ENTRYPOINT", py::text("tarvo.tcl").get());
        Ref allowed = py::own(Py_BuildValue("(s)", "tcl_init"));
        py::add(module, "TCL_ALLOWED_ENTRYPOINT_KEYS", allowed.get());
        Ref name = py::own(PyModule_GetNameObject(module));
        py::add(module, "logger", py::call_method(logging.get(), TARVO_STR("getLogger"), name.get()).get());

        Ref cls = make_interpreter_class(module);
        py::add(module, "Interpreter", cls.get());

        Ref shared = py::call(cls.get());
        publish(shared.get(), cls.get());
        py::add(module, "_global_interpreter", shared.get());
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {TARVO_MODULE_SLOTS(exec_module)};

PyModuleDef interpreter_module = {
    PyModuleDef_HEAD_INIT,
    "tarvo.tcl.interpreter",
    "The Interpreter class and the shared interpreter that importing this module starts.",
    sizeof(State),
    nullptr,
    module_slots,
    py::state_slots<State>::traverse,
    py::state_slots<State>::clear,
    py::state_slots<State>::free,
};

}  // namespace

PyMODINIT_FUNC PyInit_interpreter() { return PyModuleDef_Init(&interpreter_module); }
