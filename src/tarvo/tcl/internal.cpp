// tarvo.tcl.internal: the Tcl C library underneath tkinter's interpreter,
// reached directly: Tcl's completion codes, the opened library, and Tcl
// commands that call Python with errors a user can read.
#include "_cxx/py.hpp"
#include "_cxx/tcl.hpp"
#include "_cxx/tclstr.hpp"

#include <structmember.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace py = tarvo::py;
using py::Ref;

namespace {

// Library names tried in order, oldest Tcl first; the loader searches its
// usual places for each.
const char* const library_names[] = {
    "libtcl8.4.so", "libtcl8.4.dylib", "libtcl8.5.so", "libtcl8.5.dylib",
    "libtcl8.6.so.0", "libtcl8.6.so", "libtcl8.6.dylib",
};

Ref make_return_codes(PyObject* module) {
    Ref bases = py::own(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    py::ClassBuilder cls(module, "ReturnCodes", bases.get(), "Tcl's completion codes.");
    const std::pair<const char*, int> codes[] = {
        {"TCL_OK", tarvo::tcl::TCL_OK},           {"TCL_ERROR", tarvo::tcl::TCL_ERROR},
        {"TCL_RETURN", tarvo::tcl::TCL_RETURN},   {"TCL_BREAK", tarvo::tcl::TCL_BREAK},
        {"TCL_CONTINUE", tarvo::tcl::TCL_CONTINUE},
    };
    for (const auto& [name, value] : codes) cls.set(name, py::integer(value).get());
    return cls.build();
}

// The first Tcl library that opens; ImportError when none does.
Ref open_tcl_library(PyObject* cdll) {
    for (const char* name : library_names) {
        PyObject* library = PyObject_CallOneArg(cdll, py::text(name).get());
        if (library) return Ref::steal(library);
        if (!PyErr_ExceptionMatches(PyExc_OSError)) py::fail();
        PyErr_Clear();
    }
    py::raise(PyExc_ImportError, "Cannot load Tcl shared library (.so or .dylib)");
}

// ---------------------------------------------------------------------------
// Python callbacks as Tcl commands, with errors a user can read.
//
// tkinter runs a Python callback as a Tcl command, but when the callback
// raises, Tcl only sees an error with an empty message, and the exception is
// kept aside for some later mainloop to raise out of context.  So each
// callback is published twice:
//
//   - a hidden tkinter command that calls a small trampoline.  tkinter keeps
//     its own bookkeeping of the GIL and of its thread state around that
//     call, which a command of ours calling into Python would upset for the
//     tkinter commands that run after it.  The trampoline calls the callback;
//     when it raises, it writes the error down as plain text and returns.
//   - the command under the name the user asked for, in C++: it runs the
//     hidden one and, when the trampoline wrote an error down, turns it into
//     a Tcl error whose message names the exception and whose errorInfo
//     carries the Python traceback.  It never touches Python, so it needs no
//     GIL, and deleting it deletes the hidden command, which releases the
//     callback.

namespace tcl = tarvo::tcl;

// What the callback's last failure left for its command to report; shared
// by the trampoline (a Python object) and the command (owned by Tcl).
struct Outcome {
    bool failed = false;
    std::string message;  // Tcl's own encoding
    std::string trace;
};

struct TrampolineObject {
    PyObject_HEAD
    PyObject* callback;
    std::shared_ptr<Outcome>* outcome;
    vectorcallfunc vectorcall;
};

// The exception in flight, written down as text, then dropped.
void record_failure(Outcome& outcome) {
    py::Caught caught;
    outcome.failed = true;
    outcome.message = "Python callback failed";
    outcome.trace.clear();
    try {
        Ref traceback = py::import("traceback");
        Ref type = py::newref(reinterpret_cast<PyObject*>(Py_TYPE(caught.value())));
        Ref tb = py::own(PyException_GetTraceback(caught.value()));
        Ref lines = py::call_method(traceback.get(), TARVO_STR("format_exception_only"), type.get(), caught.value());
        Ref empty = py::text("");
        Ref text = py::own(PyUnicode_Join(empty.get(), lines.get()));
        Ref message = py::call_method(text.get(), TARVO_STR("rstrip"));
        outcome.message = py::encode_tcl(message.get());
        Ref frames = tb ? py::call_method(traceback.get(), TARVO_STR("format_exception"), type.get(),
                                          caught.value(), tb.get())
                        : py::own(PyList_New(0));
        Ref trace = py::own(PyUnicode_Join(empty.get(), frames.get()));
        Ref stripped = py::call_method(trace.get(), TARVO_STR("rstrip"));
        outcome.trace = py::encode_tcl(stripped.get());
    } catch (const py::Error&) {
        PyErr_Clear();  // the generic message stands
    }
}

PyObject* trampoline_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* t = reinterpret_cast<TrampolineObject*>(self);
    PyObject* result = PyObject_Vectorcall(t->callback, args, nargsf, kwnames);
    if (result) return result;
    try {
        record_failure(**t->outcome);
    } catch (...) {
        (*t->outcome)->failed = true;
    }
    PyErr_Clear();
    return py::text("").release();  // never fails for the empty string
}

int trampoline_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<TrampolineObject*>(self)->callback);
    return 0;
}

int trampoline_clear(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<TrampolineObject*>(self)->callback);
    return 0;
}

void trampoline_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    trampoline_clear(self);
    delete reinterpret_cast<TrampolineObject*>(self)->outcome;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef trampoline_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(TrampolineObject, vectorcall), READONLY, nullptr},
    {"callback", T_OBJECT, offsetof(TrampolineObject, callback), READONLY, "the Python callable"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot trampoline_slots[] = {
    {Py_tp_doc, const_cast<char*>("Calls a Python callback for a Tcl command and writes its errors down.")},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(trampoline_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(trampoline_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(trampoline_dealloc)},
    {Py_tp_members, trampoline_members},
    {0, nullptr},
};

PyType_Spec trampoline_spec = {"tarvo.tcl.internal._Trampoline", sizeof(TrampolineObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
                               trampoline_slots};

// The command under the user's name; owned by Tcl through its client data.
struct Command {
    tcl::Interp* interp;
    tcl::Obj* hidden;  // the hidden command's name, one reference held
    std::string hidden_name;
    std::shared_ptr<Outcome> outcome;
};

int command_proc(void* data, tcl::Interp* interp, int objc, tcl::Obj* const objv[]) noexcept {
    auto* command = static_cast<Command*>(data);
    const tcl::Api& api = tcl::api_loaded();
    try {
        // The same words, headed by the hidden command.
        tcl::Obj* few[16];
        std::vector<tcl::Obj*> many;
        tcl::Obj** words = few;
        if (objc > 16) {
            many.resize(static_cast<size_t>(objc));
            words = many.data();
        }
        std::copy(objv, objv + objc, words);
        words[0] = command->hidden;
        const int code = api.EvalObjv(interp, objc, words, 0);
        Outcome& outcome = *command->outcome;
        if (code != tcl::TCL_OK || !outcome.failed) return code;
        outcome.failed = false;
        api.SetObjResult(interp, api.NewStringObj(outcome.message.data(), static_cast<int>(outcome.message.size())));
        if (!outcome.trace.empty()) {
            const std::string info = "\n" + outcome.trace;
            api.AddObjErrorInfo(interp, info.data(), static_cast<int>(info.size()));
        }
    } catch (...) {  // std::bad_alloc
        static const char message[] = "out of memory in a Python callback";
        api.SetObjResult(interp, api.NewStringObj(message, static_cast<int>(sizeof message - 1)));
    }
    return tcl::TCL_ERROR;
}

void command_delete(void* data) noexcept {
    auto* command = static_cast<Command*>(data);
    const tcl::Api& api = tcl::api_loaded();
    api.DeleteCommand(command->interp, command->hidden_name.c_str());
    api.DbDecrRefCount(command->hidden, __FILE__, __LINE__);
    delete command;
}

struct State {
    PyObject* trampoline_type = nullptr;
    unsigned long long callbacks = 0;  // hidden commands made so far
    static constexpr PyObject* State::*fields[] = {&State::trampoline_type};
};

const char* const createcommand_params[] = {"app", "name", "callback"};
const py::Signature createcommand_sig{"_createcommand", createcommand_params, 3, 3};

// _createcommand(app, name, callback): creates the Tcl command `name` in the
// Tcl application object `app`, calling `callback` with the command's words
// as strings; Tcl gets the string form of its result, and an exception it
// raises becomes a Tcl error naming it, with the Python traceback in
// errorInfo.  Call it on the interpreter's own thread.
PyObject* createcommand(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("_createcommand", [&] {
        PyObject* a[3];
        py::parse(createcommand_sig, args, nargs, kwnames, a);
        PyObject *app = a[0], *name = a[1], *callback = a[2];
        if (!PyUnicode_Check(name)) py::raise(PyExc_TypeError, "a Tcl command name must be a str");
        if (!PyCallable_Check(callback)) py::raise(PyExc_TypeError, "the callback must be callable");
        State* st = py::state<State>(module);
        const tcl::Api& api = tcl::api();
        tcl::Interp* interp = tcl::interp_of(app);

        auto* type = reinterpret_cast<PyTypeObject*>(st->trampoline_type);
        Ref trampoline = py::own(type->tp_alloc(type, 0));
        auto* t = reinterpret_cast<TrampolineObject*>(trampoline.get());
        t->outcome = new std::shared_ptr<Outcome>(std::make_shared<Outcome>());
        t->vectorcall = trampoline_call;
        t->callback = py::newref(callback).release();

        const std::string hidden = "::tarvo::_callbacks::" + std::to_string(++st->callbacks);
        Ref hidden_name = py::text(hidden.c_str());
        py::call_method(app, TARVO_STR("createcommand"), hidden_name.get(), trampoline.get());

        auto command = std::make_unique<Command>();
        command->interp = interp;
        command->hidden_name = hidden;
        command->hidden = api.NewStringObj(hidden.data(), static_cast<int>(hidden.size()));
        api.DbIncrRefCount(command->hidden, __FILE__, __LINE__);
        command->outcome = *t->outcome;
        const std::string tcl_name = py::encode_tcl(name);
        api.CreateObjCommand(interp, tcl_name.c_str(), command_proc, command.release(), command_delete);
        return py::none();
    });
}

PyMethodDef createcommand_def = {
    "_createcommand", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(createcommand)),
    METH_FASTCALL | METH_KEYWORDS,
    PyDoc_STR("_createcommand(app, name, callback)\n--\n\n"
              "Create the Tcl command `name` calling `callback`; its exceptions become readable Tcl errors.")};

int exec_module(PyObject* module) noexcept {
    return py::entry_int("tarvo.tcl.internal", [&] {
        Ref ctypes = py::import("ctypes");
        py::add(module, "ctypes", ctypes.get());
        py::import("ctypes.util");
        py::add(module, "tkinter", py::import("tkinter").get());
        py::add(module, "Sequence", py::import_from("collections.abc", "Sequence").get());
        py::add(module, "Set", py::import_from("collections.abc", "Set").get());

        py::add(module, "ReturnCodes", make_return_codes(module).get());
        Ref library = open_tcl_library(py::getattr(ctypes.get(), "CDLL").get());
        py::add(module, "TclDLL", library.get());
        tarvo::tcl::load(library.get());

        State* st = py::state<State>(module);
        py::keep(st->trampoline_type, py::own(PyType_FromModuleAndSpec(module, &trampoline_spec, nullptr)));
        py::add(module, "_createcommand", py::function(&createcommand_def, module).get());
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {TARVO_MODULE_SLOTS(exec_module)};

PyModuleDef internal_module = {
    PyModuleDef_HEAD_INIT,
    "tarvo.tcl.internal",
    "The Tcl C library underneath tkinter's interpreter, reached directly.",
    sizeof(State),
    nullptr,
    module_slots,
    py::state_slots<State>::traverse,
    py::state_slots<State>::clear,
    py::state_slots<State>::free,
};

}  // namespace

PyMODINIT_FUNC PyInit_internal() { return PyModuleDef_Init(&internal_module); }
