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
#include "_cxx/dictstate.hpp"
#include "_cxx/history_api.hpp"
#include "_cxx/interpreter_api.hpp"
#include "_cxx/nestmap_api.hpp"
#include "_cxx/tcl.hpp"
#include "_cxx/tclnum.hpp"
#include "_cxx/watch.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace py = tarvo::py;
using py::Ref;

namespace {

extern PyModuleDef interpreter_module;

struct State {
    PyObject* metadata = nullptr;     // importlib.metadata, once it is needed
    PyObject* record = nullptr;       // types.SimpleNamespace
    PyObject* path_finder = nullptr;  // importlib.machinery.PathFinder
    PyObject* interrupts = nullptr;   // tarvo.tcl.internal._interrupts
    PyObject* timeout_error = nullptr;  // TclTimeoutError
    PyObject* keeper = nullptr;         // tarvo.tcl.internal._Keeper
    bool global_symbols = false;      // Tcl's symbols made global, for the first interpreter

    // What the native casts compare with (see NativeCasts).
    PyObject* cls = nullptr;                  // Interpreter as built here
    PyObject* own = nullptr;                  // tuple: its cast_int, cast_double, cast_boolean, cast_keyed_list
    PyObject* tk_getint = nullptr;            // tkinter.Misc.getint
    PyObject* tk_getdouble = nullptr;         // tkinter.Misc.getdouble
    PyObject* object_getattribute = nullptr;  // object.__getattribute__
    PyObject* tcl_error = nullptr;            // tkinter.TclError
    PyObject* nest_map = nullptr;             // the NestMap imported
    PyObject* nestmap = nullptr;              // its module, whose C API reads keyed lists
    PyObject* own_cast_any = nullptr;         // Interpreter.__dict__['cast_any'] as built here
    const tarvo::tcl::NestMapApi* nestmap_api = nullptr;
    const tarvo::tcl::HistoryApi* history_api = nullptr;  // tarvo.tcl.history's
    PyObject* tclx_version = nullptr;  // the TclX the first interpreter loaded (see offer_tclx)
    PyObject* tclx_script = nullptr;   // ... and its `package ifneeded` script
    PyTypeObject* native_type = nullptr;  // the class last found plain, at version native_version
    unsigned int native_version = 0;
    unsigned int keyed_list_version = 0;  // Interpreter's version when its cast_keyed_list was last its own
    py::ClassLacks self_lacks;            // an interpreter class without `tk` and `history` of its own
    PyTypeObject* cast_any_class = nullptr;  // the class, and its version, last found to take it
    unsigned int cast_any_version = 0;

    // Read from dicts, for as long as they stay as they were (dictstate.hpp):
    py::KeptNames<4> globals;    // see Global
    py::KeptNames<8> own_names;  // an interpreter's own __dict__, see OwnName
    py::KnownMethod tk_eval;     // the `eval` of tkinter's application objects
    PyObject* module_dict = nullptr;  // the module's own __dict__ (borrowed: the module keeps it for life)

    static constexpr PyObject* State::* fields[] = {
        &State::metadata,  &State::record,       &State::path_finder, &State::interrupts,
        &State::cls,       &State::own,          &State::tk_getint,   &State::tk_getdouble,
        &State::object_getattribute, &State::tcl_error, &State::nest_map, &State::nestmap,
        &State::tclx_version, &State::tclx_script, &State::own_cast_any, &State::timeout_error, &State::keeper};
};

const char* const self_params[] = {"self"};

// Module globals that the hot paths read at call time.
enum Global { G_TCL_OBJ, G_TCL_ERROR, G_INTERPRETER, G_NESTMAP };

PyObject* global_name(Global which) {
    switch (which) {
        case G_TCL_OBJ: return TARVO_STR("Tcl_Obj");
        case G_TCL_ERROR: return TARVO_STR("TclError");
        case G_INTERPRETER: return TARVO_STR("Interpreter");
        case G_NESTMAP: break;
    }
    return TARVO_STR("NestMap");
}

PyObject* global_of(PyObject* module, State* st, Global which) {
    PyObject* globals = st->module_dict;
    if (st->globals.holds(globals) ||
        st->globals.read(globals, {global_name(G_TCL_OBJ), global_name(G_TCL_ERROR), global_name(G_INTERPRETER),
                                   global_name(G_NESTMAP)})) {
        if (PyObject* value = st->globals.value(which)) return value;
    }
    return py::global(module, global_name(which));
}

// What the hot paths ask of an interpreter's own __dict__.
enum OwnName { N_TK, N_HISTORY, N_CAST_ANY, N_CAST_INT, N_GETINT, N_CAST_DOUBLE, N_GETDOUBLE, N_CAST_BOOLEAN };

// `dict`, an interpreter's own __dict__, read for those names; null where
// that reading cannot be kept (then each is looked up on its own).
const py::KeptNames<8>* own_names(State* st, PyObject* dict) {
    if (!dict) return nullptr;
    if (st->own_names.holds(dict)) return &st->own_names;
    const bool kept = st->own_names.read(
        dict, {TARVO_STR("tk"), TARVO_STR("history"), TARVO_STR("cast_any"), TARVO_STR("cast_int"), TARVO_STR("getint"),
               TARVO_STR("cast_double"), TARVO_STR("getdouble"), TARVO_STR("cast_boolean")});
    return kept ? &st->own_names : nullptr;
}

// `self.<name>` where its class has nothing of that name: `dict` is its
// own __dict__ (or empty), read through `kept` where that holds.
Ref own_attr(State* st, PyObject* self, PyObject* dict, OwnName n, PyObject* name) {
    return py::kept_attr(own_names(st, dict), self, dict, n, name);
}

// Every method is a body behind the one shell: TARVO_METHOD(name, doc) for
// the body `name_body` with the Signature `name_sig`.
#define TARVO_METHOD_NAMED(pyname, name, doc) TARVO_DEF(pyname, name##_sig, name##_body, doc)
#define TARVO_METHOD(name, doc) TARVO_METHOD_NAMED(#name, name, doc)

// ---------------------------------------------------------------------------
// Start-up hooks, found by entry point.
//
// importlib.metadata is dear to import (it pulls in email, zipfile, pathlib
// and more), which would more than double the start-up of every process
// that imports us, while nearly always no installed distribution declares a
// start-up hook.  So we first look where importlib.metadata's own finder
// looks, the metadata folders on sys.path, and consult importlib.metadata
// only when one of them declares the group, or when something there is
// beyond what this quick look can rule out (archives, eggs, other finders).

bool ends_with(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

bool file_mentions(const std::filesystem::path& file, const std::string& needle) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return content.find(needle) != std::string::npos;
}

bool folder_may_declare(const std::filesystem::path& folder, const std::string& needle) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (ec || !fs::exists(status)) return false;
    if (!fs::is_directory(status)) return true;  // an archive on sys.path: look inside with importlib
    std::string base = folder.filename().string();
    std::transform(base.begin(), base.end(), base.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ends_with(base, ".egg")) return true;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        if (ends_with(name, ".egg")) return true;
        if (!ends_with(name, ".dist-info") && !ends_with(name, ".egg-info")) continue;
        if (file_mentions(it->path() / "entry_points.txt", needle)) return true;
    }
    return ec.value() != 0;  // a folder we could not read: leave it to importlib
}

bool may_declare(State* st, PyObject* group) {
    if (!PyUnicode_Check(group)) return true;
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(group, &size);
    if (!utf8) py::fail();
    // A distribution declares the group with a section header of that name
    // in its entry_points.txt.  The bare name may stand elsewhere in it: our
    // own pytest plugin is the entry point "tarvo.tcl = tarvo.tcl.pytest_plugin".
    const std::string needle = "[" + std::string(utf8, static_cast<size_t>(size)) + "]";

    Ref finders = py::own(PySequence_List(py::require(PySys_GetObject("meta_path"))));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(finders.get()); ++i) {
        PyObject* finder = PyList_GET_ITEM(finders.get(), i);
        if (finder != st->path_finder && PyObject_HasAttr(finder, TARVO_STR("find_distributions"))) return true;
    }
    Ref folders = py::own(PySequence_List(py::require(PySys_GetObject("path"))));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(folders.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(folders.get(), i);
        if (!PyUnicode_Check(entry)) return true;
        Ref encoded = py::own(PyUnicode_EncodeFSDefault(entry));
        const std::string folder(PyBytes_AS_STRING(encoded.get()),
                                 static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
        if (folder_may_declare(folder.empty() ? std::filesystem::path(".") : std::filesystem::path(folder), needle)) {
            return true;
        }
    }
    return false;
}

const char* const iter_entry_points_params[] = {"group"};
const py::Signature iter_entry_points_sig{"iter_entry_points", iter_entry_points_params, 1, 1};

// The entry points of `group`, each as an object with `name`, `module_name`
// and `load()`, from the standard library's importlib.metadata.
PyObject* iter_entry_points(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("iter_entry_points", [&] {
        PyObject* a[1];
        py::parse(iter_entry_points_sig, args, nargs, kwnames, a);
        State* st = py::state<State>(module);
        Ref result = py::own(PyList_New(0));
        if (!may_declare(st, a[0])) return py::own(PyObject_GetIter(result.get()));
        if (!py::load_field(st->metadata)) py::fill_once(st->metadata, py::import("importlib.metadata").release());
        Ref entry_points = py::getattr(st->metadata, TARVO_STR("entry_points"));
#if PY_VERSION_HEX >= 0x030A0000
        Ref found = py::call_kw(entry_points.get(), {}, {{"group", a[0]}});
#else
        Ref by_group = py::call(entry_points.get());
        Ref empty = py::own(PyTuple_New(0));
        Ref found = py::call_method(by_group.get(), TARVO_STR("get"), a[0], empty.get());
#endif
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

// With the error of `package require Tclx` set: where Tcl cannot find TclX,
// the TclError (its type and message unchanged) gets a note on where TclX
// comes from (Python 3.11 and later show notes).  Then it is raised.
[[noreturn]] void explain_missing_tclx() {
    py::Caught caught;
    PyObject* error = caught.value();
    Ref text = error ? Ref::steal(PyObject_Str(error)) : Ref();
    if (!text) PyErr_Clear();
    Ref missing = py::text("can't find package Tclx");
    if (text && PyUnicode_Compare(text.get(), missing.get()) == 0) {
        if (Ref add_note = py::getattr_optional(error, TARVO_STR("add_note"))) {
            Ref note = py::text(
                "TclX is a system package, not a Python one: on Debian and Ubuntu, install it with "
                "`apt-get install tclx8.4` (`tcl-tclx` on Debian releases after 13).");
            py::call(add_note.get(), note.get());
        }
    }
    caught.reraise();
}

// TclX for every interpreter after the first.  A `package require` that
// finds no script for the package in its interpreter has Tcl search for
// one, which sources the package index of every package installed: most
// of the time a new interpreter takes.  Once the first interpreter of the
// process has found TclX, each new one is given, before its own `package
// require Tclx`, the `package ifneeded` script that Tcl found for the
// version it loaded.  That require then loads the same TclX the same way,
// without the search; any other package is still found by Tcl's search.
void offer_tclx(State* st, PyObject* tk) {
    if (!st->tclx_version) return;
    py::call_method(tk, TARVO_STR("call"), TARVO_STR("package"), TARVO_STR("ifneeded"), TARVO_STR("Tclx"),
                    st->tclx_version, st->tclx_script);
}

// What the first `package require Tclx` found: the version it provides and
// its `package ifneeded` script.
void remember_tclx(State* st, PyObject* tk) {
    Ref version = py::call_method(tk, TARVO_STR("eval"), py::text("package provide Tclx").get());
    Ref script = py::call_method(tk, TARVO_STR("call"), TARVO_STR("package"), TARVO_STR("ifneeded"),
                                 TARVO_STR("Tclx"), version.get());
    version = py::str(version.get());
    script = py::str(script.get());
    if (PyUnicode_GET_LENGTH(version.get()) == 0 || PyUnicode_GET_LENGTH(script.get()) == 0) return;
    py::keep(st->tclx_script, std::move(script));
    py::keep(st->tclx_version, std::move(version));
}

// The background-error handler of every interpreter: the one it had, but
// for errors of evaluations that were cancelled to the end (a timeout, a
// signal handler's or a callback's KeyboardInterrupt, ...).
constexpr const char* QUIET_CANCELLED = R"tcl(
namespace eval ::tarvo {}
proc ::tarvo::_bgerror {next message options} {
    if {[lrange [dict get $options -errorcode] 0 1] eq {TCL CANCEL}} return
    tailcall {*}$next $message $options
}
interp bgerror {} [list ::tarvo::_bgerror [interp bgerror {}]]
)tcl";

const char* const init_params[] = {"self", "timeout"};
const py::Signature init_sig{"__init__", init_params, 1, 1, 1, 0};

Ref init_body(PyObject* module, PyObject** a) {
    PyObject* self = a[0];
    const double timeout = tarvo::tcl::timeout_seconds(a[1]);

    // 1. The Tcl interpreter, without Tk.
    PyObject* cls = py::global(module, TARVO_STR("Interpreter"));
    Ref super = py::call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
    Ref base_init = py::getattr(super.get(), TARVO_STR("__init__"));
    Ref zero = py::integer(0);
    py::call_kw(base_init.get(), {}, {{"useTk", zero.get()}});
    State* st = py::state<State>(module);
    if (!st->global_symbols) {
        // Binary extensions built without Tcl's stubs (Expect) need them.
        tarvo::tcl::api();
        tarvo::tcl::make_symbols_global();
        st->global_symbols = true;
    }
    // What watches its calls, and what closes it.
    {
        Ref app = py::getattr(self, TARVO_STR("tk"));
        tarvo::tcl::Interp* interp = tarvo::tcl::interp_of(app.get());
        tarvo::tcl::start_watch(interp, st->interrupts, st->timeout_error)->timeout = timeout;
        Ref keeper = py::call(st->keeper, app.get());
        py::setattr(self, TARVO_STR("__tcl__"), keeper.get());
        // A cancelled evaluation is reported by the call that started it,
        // not once more by the background-error handler.
        Ref quiet = py::text(QUIET_CANCELLED);
        py::call_method(app.get(), TARVO_STR("eval"), quiet.get());
    }

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
    offer_tclx(st, tk.get());
    Ref require = py::text("package require Tclx");
    if (!Ref::steal(PyObject_CallMethodOneArg(tk.get(), TARVO_STR("eval"), require.get()))) explain_missing_tclx();
    if (!st->tclx_version) remember_tclx(st, tk.get());

    // 10. Start-up hooks.
    py::call_method(self, TARVO_STR("_load_entrypoint"));
    return py::none();
}

const py::Signature load_entrypoint_sig{"_load_entrypoint", self_params, 1, 1};

Ref load_entrypoint_body(PyObject* module, PyObject** a) {
    PyObject* self = a[0];
    PyObject* iter_entry_points = py::global(module, TARVO_STR("iter_entry_points"));
    Ref hooks = py::call_kw(iter_entry_points, {}, {{"group", py::global(module, TARVO_STR("TCL_INIT_ENTRYPOINT"))}});
    Ref iterator = py::own(PyObject_GetIter(hooks.get()));
    while (Ref ep = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref name = py::getattr(ep.get(), TARVO_STR("name"));
        Ref module_name = py::getattr(ep.get(), TARVO_STR("module_name"));
        // Owned: comparing with the name may run code that rebinds the global.
        Ref allowed = py::newref(py::global(module, TARVO_STR("TCL_ALLOWED_ENTRYPOINT_KEYS")));
        if (!py::check(PySequence_Contains(allowed.get(), name.get()))) {
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
}

const char* const getattr_params[] = {"self", "attr"};
const py::Signature getattr_sig{"__getattr__", getattr_params, 2, 2};

// Reached only when normal lookup failed: the rest of the Tcl application
// object (`call`, `createcommand`, `interpaddr`, ...) shows through.
Ref getattr_body(PyObject*, PyObject** a) {
    PyObject* self = a[0];
    PyObject* attr = a[1];
    // The generic lookup never comes back here, so a half-built or copied
    // object without `tk` cannot recurse.
    Ref tk = Ref::steal(PyObject_GenericGetAttr(self, TARVO_STR("tk")));
    if (tk) {
        Ref value = Ref::steal(PyObject_GetAttr(tk.get(), attr));
        if (value) return value;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    // hasattr() and getattr() with a default land here: no unwinding.
    py::set_format(PyExc_AttributeError, "'Interpreter' object has no attribute '%S'", attr);
    return Ref();
}

// RuntimeError unless this is the thread that created the interpreter.
// tkinter refuses some calls from other threads itself, and hands others
// over to the interpreter's thread when its mainloop runs; but its readings
// of numbers and booleans, and the Tcl routines we call directly, would
// write into the interpreter from the wrong thread.  So every method that
// works on the interpreter refuses other threads, whatever it would call.
void require_own_thread(PyObject* self) {
    Ref tk = py::instance_attr(self, TARVO_STR("tk"));
    if (const auto* fields = tarvo::tcl::app_fields(tk.get())) tarvo::tcl::require_owner(fields);
}

// ---------------------------------------------------------------------------
// Python callbacks as Tcl commands.  A command replaced by a forced callback
// waits under this prefix until the callback is removed.

constexpr const char* BACKUP_PREFIX = "::brindle::_cbBkup::";

// "::brindle::_cbBkup::" followed by the name without its leading colons.
Ref backup_name(PyObject* cmd_name) {
    Ref colons = py::text(":");
    Ref stripped = py::call_method(cmd_name, TARVO_STR("lstrip"), colons.get());
    return py::own(PyUnicode_FromFormat("%s%U", BACKUP_PREFIX, stripped.get()));
}

const char* const generate_name_params[] = {"callback", "mangle_cmd_name"};
const py::Signature generate_name_sig{"generate_callback_cmd_name", generate_name_params, 2, 1};

Ref generate_callback_cmd_name_impl(PyObject* callback, PyObject* mangle) {
    Ref cmd_name = py::text("");
    Ref function = py::getattr_optional(callback, TARVO_STR("__func__"));
    if (!function) function = py::newref(callback);
    if (Ref name = py::getattr_optional(function.get(), TARVO_STR("__name__"))) cmd_name = std::move(name);
    if (!py::truth(cmd_name.get()) || (mangle && py::truth(mangle))) {
        Ref id = py::own(PyLong_FromVoidPtr(callback));
        Ref prefix = py::own(PyUnicode_FromFormat("%S_", id.get()));
        cmd_name = py::own(PyNumber_Add(prefix.get(), cmd_name.get()));
    }
    return cmd_name;
}

Ref generate_name_body(PyObject*, PyObject** a) { return generate_callback_cmd_name_impl(a[0], a[1]); }

// Interpreter.generate_callback_cmd_name(callback), looked up on the class.
Ref default_cmd_name(PyObject* module, PyObject* callback) {
    Ref generate = py::getattr(py::global(module, TARVO_STR("Interpreter")), TARVO_STR("generate_callback_cmd_name"));
    return py::call(generate.get(), callback);
}

Ref global_command(PyObject* self, PyObject* name) {
    Ref global_ns = py::getattr(self, TARVO_STR("global_ns"));
    Ref cmds = py::getattr(global_ns.get(), TARVO_STR("cmds"));
    return py::own(PyObject_GetItem(cmds.get(), name));
}

const char* const create_callback_params[] = {"self", "callback", "cmd_name", "force"};
const py::Signature create_callback_sig{"create_callback", create_callback_params, 4, 2};

Ref create_callback_body(PyObject* module, PyObject** a) {
    PyObject *self = a[0], *callback = a[1];
    require_own_thread(self);
    Ref cmd_name = py::newref(py::arg_or(a[2], Py_None));
    if (!py::truth(cmd_name.get())) cmd_name = default_cmd_name(module, callback);
    cmd_name = py::str(cmd_name.get());
    Ref tclcmd = global_command(self, cmd_name.get());
    cmd_name = py::str(tclcmd.get());
    Ref exists = py::call_method(tclcmd.get(), TARVO_STR("exists"));
    if (py::truth(exists.get())) {
        if (!a[3] || !py::truth(a[3])) {
            py::raise_format(PyExc_ValueError, "Cannot create command '%U': command already exists", cmd_name.get());
        }
        Ref replaced = global_command(self, cmd_name.get());
        py::call_method(replaced.get(), TARVO_STR("rename"), backup_name(cmd_name.get()).get());
    }
    py::call_method(tclcmd.get(), TARVO_STR("createcommand"), callback);
    Ref registry = py::getattr(self, TARVO_STR("__callbacks__"));
    py::check(PyObject_SetItem(registry.get(), cmd_name.get(), callback));
    return tclcmd;
}

const char* const remove_callback_params[] = {"self", "callback"};
const py::Signature remove_callback_sig{"remove_callback", remove_callback_params, 2, 2};

Ref remove_callback_body(PyObject* module, PyObject** a) {
    PyObject *self = a[0], *callback = a[1];
    require_own_thread(self);
    PyObject* command_class = py::global(module, TARVO_STR("TclCommand"));
    Ref tclcmd;
    if (py::check(PyObject_IsInstance(callback, command_class))) {
        tclcmd = py::newref(callback);
    } else {
        Ref name = PyCallable_Check(callback) ? default_cmd_name(module, callback) : py::newref(callback);
        tclcmd = global_command(self, name.get());
    }
    Ref cmd_name = py::str(tclcmd.get());
    Ref registry = py::getattr(self, TARVO_STR("__callbacks__"));
    if (!py::check(PySequence_Contains(registry.get(), cmd_name.get()))) {
        py::raise_format(PyExc_ValueError, "No callback in this interpreter named '%U'", cmd_name.get());
    }
    py::call_method(tclcmd.get(), TARVO_STR("delete"));
    py::check(PyObject_DelItem(registry.get(), cmd_name.get()));
    Ref backup = py::call_kw(command_class, {backup_name(cmd_name.get()).get()}, {{"tcl", self}});
    Ref exists = py::call_method(backup.get(), TARVO_STR("exists"));
    if (!py::truth(exists.get())) return py::none();
    py::call_method(backup.get(), TARVO_STR("rename"), cmd_name.get());
    return backup;
}

Ref call_cast_any(PyObject* module, PyObject* self, PyObject* value);

// tk.<name>(arg) (through `method` where that is known) as a call of
// Python's: under the interpreter's time limit and `seconds`, with Python's
// signal handlers run while Tcl works, and a Tcl error raised with Tcl's
// whole trace, not its short message.
Ref watched(PyObject* module, PyObject* self, PyObject* tk, double seconds, PyObject* method, PyObject* name,
            PyObject* arg) {
    PyObject* interrupts = py::state<State>(module)->interrupts;
    tarvo::tcl::forget_interrupt(interrupts, tk);
    tarvo::tcl::Call call = tarvo::tcl::start_call(tk, seconds);
    PyObject* argv[] = {tk, arg};
    Ref result = Ref::steal(method ? PyObject_Vectorcall(method, argv, 2, nullptr)
                                   : PyObject_CallMethodOneArg(tk, name, arg));
    if (!result) tarvo::tcl::raise_failure(module, self, tk, interrupts, call);
    tarvo::tcl::finish(call, tk, interrupts);
    return result;
}

const char* const eval_params[] = {"self", "code", "typecast", "record", "timeout"};
const py::Signature eval_sig{"eval", eval_params, 4, 2, 1, 0};

Ref eval_body(PyObject* module, PyObject** a) {
    PyObject* self = a[0];
    PyObject* code = a[1];
    const double seconds = tarvo::tcl::timeout_seconds(a[4], -1);
    State* st = py::state<State>(module);
    // The instance keeps both in its own __dict__: read from there where
    // its class has neither.
    Ref dict;
    if (py::standard_getattribute(Py_TYPE(self)) &&
        py::lacks_all(st->self_lacks, Py_TYPE(self), {TARVO_STR("tk"), TARVO_STR("history")})) {
        dict = py::instance_dict(self);
    }
    Ref tk = own_attr(st, self, dict.get(), N_TK, TARVO_STR("tk"));
    // (Checking an application type the first time asks it for its address.)
    if (!tarvo::tcl::app_type_checked(tk.get())) dict = {};
    if (const auto* fields = tarvo::tcl::app_fields(tk.get())) tarvo::tcl::require_owner(fields);
    if (!a[3] || py::truth(a[3])) {
        // (The truth of `record` may have run code.)
        if (dict && a[3] && a[3] != Py_True && a[3] != Py_False) dict = {};
        Ref history = own_attr(st, self, dict.get(), N_HISTORY, TARVO_STR("history"));
        if (!py::check(st->history_api->append(history.get(), code))) {
            py::call_method(history.get(), TARVO_STR("append"), code);
        }
    }
    // tk.eval(code), through the method its class has where that is known.
    Ref result = watched(module, self, tk.get(), seconds, st->tk_eval.find(tk.get(), TARVO_STR("eval")),
                         TARVO_STR("eval"), code);
    if (a[2] && py::truth(a[2])) result = call_cast_any(module, self, result.get());
    return result;
}

const char* const eval_file_params[] = {"self", "path", "timeout"};
const py::Signature eval_file_sig{"_eval_file", eval_file_params, 2, 2, 1, 0, false, false, 2};

// A script file, evaluated as tclsh evaluates its main script: by Tcl's own
// file evaluation (tk.evalfile), so that `info script`, `info frame` and the
// error trace are tclsh's, and watched as eval() is.  Not recorded.
Ref eval_file_body(PyObject* module, PyObject** a) {
    PyObject* self = a[0];
    const double seconds = tarvo::tcl::timeout_seconds(a[2], -1);
    Ref tk = py::getattr(self, TARVO_STR("tk"));
    if (const auto* fields = tarvo::tcl::app_fields(tk.get())) tarvo::tcl::require_owner(fields);
    return watched(module, self, tk.get(), seconds, nullptr, TARVO_STR("evalfile"), a[1]);
}

Ref vars_of(PyObject* self) { return py::getattr(self, TARVO_STR("vars")); }

Ref read_var(PyObject* self, PyObject* name) {
    Ref vars = vars_of(self);
    return py::own(PyObject_GetItem(vars.get(), name));
}

void write_var(PyObject* self, PyObject* name, PyObject* value) {
    Ref vars = vars_of(self);
    py::check(PyObject_SetItem(vars.get(), name, value));
}

// Interpreter.<cast>(value), looked up on the class itself, so an override
// in a subclass does not take part.
Ref class_cast(PyObject* module, PyObject* cast, PyObject* value) {
    Ref method = py::getattr(py::global(module, TARVO_STR("Interpreter")), cast);
    return py::call(method.get(), value);
}

// -- typecasts -----------------------------------------------------------------
//
// Each cast has two roads.  The general one is the cast as designed: it asks
// tkinter (`self.getint`, `self.tk.getboolean`, ...) and learns of a refusal
// from the exception tkinter raises.  The native one hands the text to the
// same Tcl routines directly, with no interpreter, so that a refusal is
// only an answer; it is taken for an exact str when nothing that the
// general road would consult has been replaced (see `NativeCasts`), and
// it gives up (for the general road) wherever it cannot tell what that
// road would give.  A refusal of a cast called on its own still goes down
// the general road, which raises it with its message and its chain.

// self.getint(value) / self.getdouble(value): tkinter's own reading, retried
// on the Tcl string of a value of a type tkinter refuses.
Ref general_number(PyObject* module, PyObject* self, PyObject* value, PyObject* reader) {
    require_own_thread(self);
    Ref read = py::getattr(self, reader);
    PyObject* number = PyObject_CallOneArg(read.get(), value);
    if (number) return Ref::steal(number);
    // Refusing text is this cast's everyday answer (cast_any tries it on
    // everything): leave the error set and return, without unwinding.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return {};
    py::Caught caught;
    py::Handling handling(caught);
    Ref text = py::call(py::global(module, TARVO_STR("quoten")), value);
    return py::call(read.get(), text.get());
}

// Whether `value` is no number of the kind `cast` reads: true when
// self.<cast>(value) raises ValueError; its result is compared with zero.
// Any other error propagates.
std::optional<bool> nonzero(PyObject* self, PyObject* cast, PyObject* value, PyObject* zero) {
    PyObject* number = PyObject_CallMethodOneArg(self, cast, value);
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) py::fail();
        PyErr_Clear();
        return std::nullopt;
    }
    Ref owned = Ref::steal(number);
    return py::check(PyObject_RichCompareBool(owned.get(), zero, Py_NE)) != 0;
}

Ref general_boolean(PyObject* module, PyObject* self, PyObject* value) {
    Ref tk = py::instance_attr(self, TARVO_STR("tk"));
    tarvo::tcl::api().ResetResult(tarvo::tcl::interp_of(tk.get()));
    PyObject* tcl_error = py::global(module, TARVO_STR("TclError"));
    PyObject* flag = PyObject_CallMethodOneArg(tk.get(), TARVO_STR("getboolean"), value);
    if (!flag && PyErr_ExceptionMatches(PyExc_TypeError)) {
        py::Caught refused;
        py::Handling handling(refused);
        Ref text = py::call(py::global(module, TARVO_STR("quoten")), value);
        flag = PyObject_CallMethodOneArg(tk.get(), TARVO_STR("getboolean"), text.get());
    }
    if (flag) {
        Ref owned = Ref::steal(flag);
        return py::boolean(py::truth(owned.get()));
    }
    py::Caught caught;
    if (!caught.matches(tcl_error)) caught.reraise();
    py::Handling handling(caught);
    Ref zero = py::integer(0);
    if (auto result = nonzero(self, TARVO_STR("cast_int"), value, zero.get())) return py::boolean(*result);
    Ref zero_float = py::own(PyFloat_FromDouble(0.0));
    if (auto result = nonzero(self, TARVO_STR("cast_double"), value, zero_float.get())) return py::boolean(*result);
    Ref refusal = py::call(PyExc_ValueError, caught.value());
    PyException_SetCause(refusal.get(), py::newref(caught.value()).release());
    PyErr_SetObject(PyExc_ValueError, refusal.get());
    return {};  // a common answer: no unwinding
}

// The native road of one interpreter, `self`, for one call.  It is open
// when the class's own casts and tkinter's readings would be called
// through `self`: the class neither overrides nor shadows cast_int,
// cast_double, cast_boolean (Interpreter's), getint and getdouble
// (tkinter's Misc's) or attribute lookup (object's), and `self.tk` is a
// tkinter application object.  That test of the class is kept per version
// of the class, which changes with any change to it or to a base.  The
// instance may still shadow a cast with an attribute of its own: each
// step asks for its own names (`owns`), as the general road would look
// them up only when it gets there.
class NativeCasts {
public:
    enum Step { INT, DOUBLE, BOOLEAN };

    NativeCasts(PyObject* module, PyObject* self) : NativeCasts(module, py::state<State>(module), self) {}
    NativeCasts(PyObject* module, State* st, PyObject* self) : module_(module), st_(st), self_(self) { open_ = open(); }

    bool open_road() const noexcept { return open_; }

    // The thread check that every cast makes first (RuntimeError).
    void require_own_thread() const { tarvo::tcl::require_owner(fields_); }

    // The interpreter itself, for what a cast does to it.
    tarvo::tcl::Interp* interp() const noexcept { return fields_->interp; }

    // Whether the general road would run the class's own cast for `step`
    // (and, for numbers, tkinter's own reading) on this instance.
    bool owns(Step step) {
        if (known_ & (1u << step)) return (owned_ & (1u << step)) != 0;
        bool own = step == INT      ? lacks(N_CAST_INT, TARVO_STR("cast_int"))
                   : step == DOUBLE ? lacks(N_CAST_DOUBLE, TARVO_STR("cast_double"))
                                    : lacks(N_CAST_BOOLEAN, TARVO_STR("cast_boolean"));
        if (own && step != BOOLEAN) {
            own = step == INT ? lacks(N_GETINT, TARVO_STR("getint")) : lacks(N_GETDOUBLE, TARVO_STR("getdouble"));
        }
        known_ |= 1u << step;
        if (own) owned_ |= 1u << step;
        return own;
    }

    // Whether the module's TclError is still tkinter's, which the general
    // boolean cast matches Tcl's refusal against.
    bool tcl_error_is_tkinters() const { return global_of(module_, st_, G_TCL_ERROR) == st_->tcl_error; }

    // Whether `Interpreter.cast_keyed_list(text)`, as cast_any calls it,
    // is NestMap.from_tcl of the NestMap imported here.
    bool keyed_list_cast_is_own() const {
        PyObject* cls = global_of(module_, st_, G_INTERPRETER);
        if (cls != st_->cls || global_of(module_, st_, G_NESTMAP) != st_->nest_map) return false;
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        if (versioned(type) && type->tp_version_tag == st_->keyed_list_version) return true;
        if (py::class_lookup(type, TARVO_STR("cast_keyed_list")) != PyTuple_GET_ITEM(st_->own, OWN_KEYED_LIST)) {
            return false;
        }
        st_->keyed_list_version = versioned(type) ? type->tp_version_tag : 0;
        return true;
    }

    enum Own { OWN_INT, OWN_DOUBLE, OWN_BOOLEAN, OWN_KEYED_LIST, OWN_COUNT };

private:
    static bool versioned(PyTypeObject* type) {
#ifdef Py_TPFLAGS_VALID_VERSION_TAG
        return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
#else
        return type->tp_version_tag != 0;
#endif
    }

    bool open() {
        PyTypeObject* type = Py_TYPE(self_);
        if (!(type == st_->native_type && versioned(type) && type->tp_version_tag == st_->native_version) &&
            !class_is_plain(type)) {
            return false;
        }
        dict_ = Ref::steal(PyObject_GenericGetDict(self_, nullptr));
        if (!dict_) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::fail();
            PyErr_Clear();
            return false;
        }
        if (!PyDict_CheckExact(dict_.get())) return false;
        const py::KeptNames<8>* kept = own_names(st_, dict_.get());
        PyObject* tk = kept ? kept->value(N_TK) : PyDict_GetItemWithError(dict_.get(), TARVO_STR("tk"));
        if (!tk) {
            if (PyErr_Occurred()) py::fail();
            return false;
        }
        fields_ = tarvo::tcl::app_fields(tk);
        return fields_ != nullptr;
    }

    // Whether the instance has no attribute `name` of its own.
    bool lacks(OwnName n, PyObject* name) const {
        if (const py::KeptNames<8>* kept = own_names(st_, dict_.get())) return !kept->value(n);
        if (PyDict_GetItemWithError(dict_.get(), name)) return false;
        if (PyErr_Occurred()) py::fail();
        return true;
    }

    // The test of the class, remembered for its version.
    bool class_is_plain(PyTypeObject* type) {
        if (!PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(st_->cls))) return false;
        // A class gets its version tag from the interpreter's own attribute
        // lookup: ask for one the public way, so the next call is quick.
        if (!versioned(type)) py::getattr_optional(reinterpret_cast<PyObject*>(type), TARVO_STR("cast_int"));
        const std::pair<PyObject*, PyObject*> expected[] = {
            {TARVO_STR("cast_int"), PyTuple_GET_ITEM(st_->own, OWN_INT)},
            {TARVO_STR("cast_double"), PyTuple_GET_ITEM(st_->own, OWN_DOUBLE)},
            {TARVO_STR("cast_boolean"), PyTuple_GET_ITEM(st_->own, OWN_BOOLEAN)},
            {TARVO_STR("getint"), st_->tk_getint},
            {TARVO_STR("getdouble"), st_->tk_getdouble},
            {TARVO_STR("__getattribute__"), st_->object_getattribute},
        };
        for (const auto& [name, own] : expected) {
            if (py::class_lookup(type, name) != own) return false;
        }
        // `tk` is the instance's own: nothing in the class may come first.
        if (py::class_lookup(type, TARVO_STR("tk"))) return false;
        st_->native_type = versioned(type) ? type : nullptr;
        st_->native_version = versioned(type) ? type->tp_version_tag : 0;
        return true;
    }

    PyObject* module_;
    State* st_;
    PyObject* self_;
    Ref dict_;
    const tarvo::tcl::detail::AppPrefix* fields_ = nullptr;
    bool open_ = false;
    unsigned known_ = 0, owned_ = 0;  // bits by Step
};

// self.cast_int(text) / self.cast_double(text) read natively: the value,
// REFUSED, or UNDECIDED.
tarvo::tcl::Reading read_integer(tarvo::tcl::TclText& text, Ref& out) {
    long long value = 0;
    const auto reading = text.integer(value);
    if (reading == tarvo::tcl::Reading::VALUE) out = py::integer(value);
    return reading;
}

tarvo::tcl::Reading read_real(tarvo::tcl::TclText& text, Ref& out) {
    double value = 0;
    const auto reading = text.real(value);
    if (reading == tarvo::tcl::Reading::VALUE) out = py::own(PyFloat_FromDouble(value));
    return reading;
}

const char* const cast_params[] = {"self", "value"};
const py::Signature cast_int_sig{"cast_int", cast_params, 2, 2};
const py::Signature cast_double_sig{"cast_double", cast_params, 2, 2};
const py::Signature cast_boolean_sig{"cast_boolean", cast_params, 2, 2};
const py::Signature cast_any_sig{"cast_any", cast_params, 2, 2};

// The native road of a cast called on its own: the value where it reads
// one, else nothing (the general road then decides, and raises).
Ref native_number(PyObject* module, PyObject* self, PyObject* value, NativeCasts::Step step) {
    if (!PyUnicode_CheckExact(value)) return {};
    NativeCasts native(module, self);
    if (!native.open_road() || !native.owns(step)) return {};
    native.require_own_thread();
    tarvo::tcl::TclText text(tarvo::tcl::api(), value);
    Ref result;
    if (!text.readable()) return {};
    if (step == NativeCasts::INT) {
        read_integer(text, result);
    } else {
        read_real(text, result);
    }
    return result;
}

Ref cast_int_body(PyObject* module, PyObject** a) {
    if (Ref result = native_number(module, a[0], a[1], NativeCasts::INT)) return result;
    return general_number(module, a[0], a[1], TARVO_STR("getint"));
}

Ref cast_double_body(PyObject* module, PyObject** a) {
    if (Ref result = native_number(module, a[0], a[1], NativeCasts::DOUBLE)) return result;
    return general_number(module, a[0], a[1], TARVO_STR("getdouble"));
}

// Tcl's boolean words; then any integer (non-zero is true), then any
// floating-point number.  The native road reads all three itself where the
// number casts are the class's own too.
Ref native_boolean(PyObject* module, PyObject* self, PyObject* value) {
    if (!PyUnicode_CheckExact(value)) return {};
    NativeCasts native(module, self);
    if (!native.open_road() || !native.owns(NativeCasts::BOOLEAN)) return {};
    native.require_own_thread();
    tarvo::tcl::api().ResetResult(native.interp());
    tarvo::tcl::TclText text(tarvo::tcl::api(), value);
    if (!text.readable()) return {};
    bool flag = false;
    if (text.boolean(flag) == tarvo::tcl::Reading::VALUE) return py::boolean(flag);
    if (!native.tcl_error_is_tkinters() || !native.owns(NativeCasts::INT) || !native.owns(NativeCasts::DOUBLE)) {
        return {};
    }
    long long integer = 0;
    const auto as_integer = text.integer(integer);
    if (as_integer == tarvo::tcl::Reading::VALUE) return py::boolean(integer != 0);
    double real = 0;
    if (as_integer == tarvo::tcl::Reading::REFUSED && text.real(real) == tarvo::tcl::Reading::VALUE) {
        return py::boolean(real != 0.0);
    }
    return {};
}

Ref cast_boolean_body(PyObject* module, PyObject** a) {
    if (Ref result = native_boolean(module, a[0], a[1])) return result;
    return general_boolean(module, a[0], a[1]);
}

const char* const static_cast_params[] = {"value", "item_cast"};
const py::Signature cast_array_sig{"cast_array", static_cast_params, 2, 1};
const py::Signature cast_keyed_list_sig{"cast_keyed_list", static_cast_params, 2, 1};

// result[key] = item_cast(item) for every (key, item) of `pairs`.
void recast(PyObject* result, PyObject* pairs, PyObject* item_cast) {
    Ref iterator = py::own(PyObject_GetIter(pairs));
    while (Ref pair = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref key = py::own(PySequence_GetItem(pair.get(), 0));
        Ref item = py::own(PySequence_GetItem(pair.get(), 1));
        Ref cast = py::call(item_cast, item.get());
        py::check(PyObject_SetItem(result, key.get(), cast.get()));
    }
    if (PyErr_Occurred()) py::fail();
}

Ref cast_array_body(PyObject* module, PyObject** a) {
    Ref from_tcl = py::getattr(py::global(module, TARVO_STR("Array")), TARVO_STR("from_tcl"));
    Ref result = py::call(from_tcl.get(), a[0]);
    if (a[1] && a[1] != Py_None) {
        Ref items = py::call_method(result.get(), TARVO_STR("items"));
        recast(result.get(), items.get(), a[1]);
    }
    return result;
}

Ref cast_keyed_list_body(PyObject* module, PyObject** a) {
    Ref from_tcl = py::getattr(py::global(module, TARVO_STR("NestMap")), TARVO_STR("from_tcl"));
    Ref result = Ref::steal(PyObject_CallOneArg(from_tcl.get(), a[0]));
    if (!result) return {};  // text that is no keyed list: an everyday answer, passed on without unwinding
    if (a[1] && a[1] != Py_None) {
        Ref items = py::call_method(result.get(), TARVO_STR("all_items"));
        recast(result.get(), items.get(), a[1]);
    }
    return result;
}

// The first cast that takes the value decides; TypeError and ValueError
// mean "not this one".
Ref try_cast(PyObject* self, PyObject* cast, PyObject* value) {
    PyObject* result = PyObject_CallMethodOneArg(self, cast, value);
    if (result) return Ref::steal(result);
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) py::fail();
    PyErr_Clear();
    return {};
}

// Interpreter.cast_keyed_list(text), or nothing where it raises TypeError
// or ValueError.
Ref try_keyed_list(PyObject* module, PyObject* text) {
    Ref cast = py::getattr(py::global(module, TARVO_STR("Interpreter")), TARVO_STR("cast_keyed_list"));
    PyObject* result = PyObject_CallOneArg(cast.get(), text);
    if (result) return Ref::steal(result);
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) py::fail();
    PyErr_Clear();
    return {};
}

// cast_any's steps on text, the native way: each step whose cast is the
// class's own reads natively, where that tells; the others, and a reading
// that cannot tell, go the general way for that step.  A refused native
// boolean step needs no second look at numbers where the number casts are
// the class's own: its fallbacks read the same text as integer and
// floating-point number, which the steps before it have just refused.
// Nothing, for text that only the general road may read at all.
Ref native_any(PyObject* module, NativeCasts& native, PyObject* self, PyObject* text) {
    using tarvo::tcl::Reading;
    tarvo::tcl::TclText tcl_text(tarvo::tcl::api(), text);
    if (tcl_text.too_long()) return {};
    // tkinter refuses text with a NUL or a lone surrogate before Tcl sees
    // it, with an exception that each of the class's casts passes on.
    const bool readable = tcl_text.readable();
    // Each of the class's casts checks the thread first; an instance's own
    // cast may not.
    bool thread_checked = false;
    auto owns = [&](NativeCasts::Step step) {
        if (!native.owns(step)) return false;
        if (!thread_checked) native.require_own_thread();
        thread_checked = true;
        return true;
    };
    Ref result;
    if (owns(NativeCasts::INT)) {
        const Reading reading = readable ? read_integer(tcl_text, result) : Reading::REFUSED;
        if (reading == Reading::VALUE) return result;
        if (reading == Reading::UNDECIDED && (result = try_cast(self, TARVO_STR("cast_int"), text))) return result;
    } else if ((result = try_cast(self, TARVO_STR("cast_int"), text))) {
        return result;
    }
    if (owns(NativeCasts::DOUBLE)) {
        if (readable && read_real(tcl_text, result) == Reading::VALUE) return result;
    } else if ((result = try_cast(self, TARVO_STR("cast_double"), text))) {
        return result;
    }
    bool flag = false;
    if (owns(NativeCasts::BOOLEAN) && owns(NativeCasts::INT) && owns(NativeCasts::DOUBLE)) {
        if (readable && tcl_text.boolean(flag) == Reading::VALUE) return py::boolean(flag);
        if (readable && !native.tcl_error_is_tkinters() &&
            (result = try_cast(self, TARVO_STR("cast_boolean"), text))) {
            return result;
        }
    } else if ((result = try_cast(self, TARVO_STR("cast_boolean"), text))) {
        return result;
    }
    if (PyUnicode_GET_LENGTH(text) == 0) return py::newref(text);
    if (native.keyed_list_cast_is_own()) {
        State* st = py::state<State>(module);
        PyObject* nested = nullptr;
        switch (st->nestmap_api->try_from_tcl(st->nestmap, text, &nested)) {
            case 1: return Ref::steal(nested);
            case 0: return py::newref(text);
            case 2: break;
            default: py::fail();
        }
    }
    if ((result = try_keyed_list(module, text))) return result;
    return py::newref(text);
}

Ref cast_any_body(PyObject* module, PyObject** a) {
    PyObject *self = a[0], *value = a[1];
    State* st = py::state<State>(module);
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyTuple_Type) {
        Ref cast_list = py::getattr(self, TARVO_STR("cast_list"));
        return py::call_kw(cast_list.get(), {value}, {{"item_cast", py::global(module, TARVO_STR("quoten"))}});
    }
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type) return py::newref(value);
    if (reinterpret_cast<PyObject*>(type) == global_of(module, st, G_TCL_OBJ)) {
        Ref type_name = py::getattr(value, TARVO_STR("typename"));
        if (PyUnicode_Check(type_name.get()) && PyUnicode_CompareWithASCIIString(type_name.get(), "keyedList") == 0) {
            return class_cast(module, TARVO_STR("cast_keyed_list"), value);
        }
    }
    Ref text = type == &PyUnicode_Type ? py::newref(value) : py::str(value);
    if (PyUnicode_CheckExact(text.get())) {
        NativeCasts native(module, st, self);
        if (native.open_road()) {
            if (Ref result = native_any(module, native, self, text.get())) return result;
        }
    }
    for (PyObject* cast : {TARVO_STR("cast_int"), TARVO_STR("cast_double"), TARVO_STR("cast_boolean")}) {
        if (Ref result = try_cast(self, cast, text.get())) return result;
    }
    if (PyUnicode_GET_LENGTH(text.get()) > 0) {
        if (Ref result = try_keyed_list(module, text.get())) return result;
    }
    return text;
}

// self.cast_any(value).  Where that finds Interpreter's own method (no
// __getattribute__ but object's, the class's cast_any ours, kept for the
// class's version; none on the instance), its body runs straight away.
Ref call_cast_any(PyObject* module, PyObject* self, PyObject* value) {
    State* st = py::state<State>(module);
    PyTypeObject* type = Py_TYPE(self);
    const bool known = st->cast_any_class == type && st->cast_any_version &&
                       type->tp_version_tag == st->cast_any_version && py::has_valid_version(type);
    if (!known) {
        if (py::class_lookup(type, TARVO_STR("cast_any")) != st->own_cast_any ||
            py::class_lookup(type, TARVO_STR("__getattribute__")) != st->object_getattribute) {
            return py::call_method(self, TARVO_STR("cast_any"), value);
        }
        st->cast_any_class = type;
        st->cast_any_version = py::has_valid_version(type) ? type->tp_version_tag : 0;
    }
    Ref dict = py::instance_dict(self);
    if (const py::KeptNames<8>* kept = own_names(st, dict.get())) {
        if (kept->value(N_CAST_ANY)) return py::call_method(self, TARVO_STR("cast_any"), value);
    } else if (dict) {
        if (!PyDict_CheckExact(dict.get()) || PyDict_GetItemWithError(dict.get(), TARVO_STR("cast_any"))) {
            return py::call_method(self, TARVO_STR("cast_any"), value);
        }
        if (PyErr_Occurred()) py::fail();
    }
    // As a call of the method would: its depth counted, its arguments held.
    py::RecursionGuard depth(" while calling a Python object");
    Ref held_self = py::newref(self), held_value = py::newref(value);
    PyObject* a[] = {self, value};
    return cast_any_body(module, a);
}

// -- variable access -------------------------------------------------------------

const char* const get_params[] = {"self", "name"};
const py::Signature get_errorInfo_sig{"get_errorInfo", self_params, 1, 1};
const py::Signature get_array_sig{"get_array", get_params, 2, 2};
const py::Signature get_list_sig{"get_list", get_params, 2, 2};
const py::Signature get_keyed_list_sig{"get_keyed_list", get_params, 2, 2};
const py::Signature get_int_sig{"get_int", get_params, 2, 2};
const py::Signature get_boolean_sig{"get_boolean", get_params, 2, 2};
const py::Signature get_double_sig{"get_double", get_params, 2, 2};
const py::Signature get_var_sig{"get_var", get_params, 2, 2};

Ref get_errorInfo_body(PyObject*, PyObject** a) {
    Ref global_ns = py::getattr(a[0], TARVO_STR("global_ns"));
    Ref vars = py::getattr(global_ns.get(), TARVO_STR("vars"));
    return py::own(PyObject_GetItem(vars.get(), TARVO_STR("errorInfo")));
}

Ref get_array_body(PyObject*, PyObject** a) {
    Ref vars = vars_of(a[0]);
    return py::call_method(vars.get(), TARVO_STR("array_get"), a[1]);
}

Ref get_list_body(PyObject* module, PyObject** a) {
    return class_cast(module, TARVO_STR("cast_list"), read_var(a[0], a[1]).get());
}

Ref get_keyed_list_body(PyObject* module, PyObject** a) {
    return class_cast(module, TARVO_STR("cast_keyed_list"), read_var(a[0], a[1]).get());
}

// self.<cast>(self.vars[name]): through self, so an override takes part.
Ref get_cast(PyObject* self, PyObject* name, PyObject* cast) {
    Ref value = read_var(self, name);
    return py::call_method(self, cast, value.get());
}

Ref get_int_body(PyObject*, PyObject** a) { return get_cast(a[0], a[1], TARVO_STR("cast_int")); }
Ref get_boolean_body(PyObject*, PyObject** a) { return get_cast(a[0], a[1], TARVO_STR("cast_boolean")); }
Ref get_double_body(PyObject*, PyObject** a) { return get_cast(a[0], a[1], TARVO_STR("cast_double")); }
Ref get_var_body(PyObject*, PyObject** a) { return read_var(a[0], a[1]); }

const char* const set_params[] = {"self", "name", "value"};
const char* const set_object_params[] = {"self", "name", "obj"};
const py::Signature set_array_sig{"set_array", set_object_params, 3, 3};
const py::Signature set_keyed_list_sig{"set_keyed_list", set_object_params, 3, 3};
const py::Signature set_var_sig{"set_var", set_params, 3, 3};
const py::Signature set_boolean_sig{"set_boolean", set_params, 3, 3};
const py::Signature set_list_sig{"set_list", set_params, 3, 3};

Ref set_array_body(PyObject*, PyObject** a) {
    Ref vars = vars_of(a[0]);
    py::call_method(vars.get(), TARVO_STR("array_set"), a[1], a[2]);
    return py::none();
}

Ref set_keyed_list_body(PyObject* module, PyObject** a) {
    PyObject* nest_map = py::global(module, TARVO_STR("NestMap"));
    Ref obj = py::newref(a[2]);
    if (!py::check(PyObject_IsInstance(obj.get(), nest_map))) obj = py::call(nest_map, obj.get());
    write_var(a[0], a[1], obj.get());
    return py::none();
}

Ref set_var_body(PyObject*, PyObject** a) {
    write_var(a[0], a[1], a[2]);
    return py::none();
}

Ref set_boolean_body(PyObject*, PyObject** a) {
    Ref flag = py::integer(py::truth(a[2]) ? 1 : 0);
    write_var(a[0], a[1], flag.get());
    return py::none();
}

Ref set_list_body(PyObject* module, PyObject** a) {
    Ref from_sequence = py::getattr(py::global(module, TARVO_STR("tclobj")), TARVO_STR("from_sequence"));
    Ref items = py::call(from_sequence.get(), a[2]);
    write_var(a[0], a[1], items.get());
    return py::none();
}

// -- closing -------------------------------------------------------------------

const py::Signature close_sig{"close", self_params, 1, 1};

Ref close_body(PyObject*, PyObject** a) {
    Ref dict = py::instance_dict(a[0]);
    PyObject* keeper = dict ? PyDict_GetItemWithError(dict.get(), TARVO_STR("__tcl__")) : nullptr;
    if (!keeper) {
        if (PyErr_Occurred()) py::fail();
        return py::none();  // half made: nothing of ours to close
    }
    Ref held = py::newref(keeper);
    py::call_method(held.get(), TARVO_STR("close"));
    // Its callbacks went with it.
    if (PyObject* callbacks = PyDict_GetItemWithError(dict.get(), TARVO_STR("__callbacks__"))) {
        Ref registry = py::newref(callbacks);
        py::call_method(registry.get(), TARVO_STR("clear"));
    } else if (PyErr_Occurred()) {
        py::fail();
    }
    return py::none();
}

const py::Signature enter_sig{"__enter__", self_params, 1, 1};

Ref enter_body(PyObject*, PyObject** a) { return py::newref(a[0]); }

const char* const exit_params[] = {"self", "exc_type", "exc_value", "traceback"};
const py::Signature exit_sig{"__exit__", exit_params, 4, 4};

Ref exit_body(PyObject* module, PyObject** a) {
    close_body(module, a);
    return py::none();
}

// The `timeout` property: the interpreter's default time limit of its calls.
const py::Signature get_timeout_sig{"timeout", self_params, 1, 1};
const char* const set_timeout_params[] = {"self", "value"};
const py::Signature set_timeout_sig{"timeout", set_timeout_params, 2, 2};

tarvo::tcl::Watch* watch_of(PyObject* self) {
    Ref tk = py::instance_attr(self, TARVO_STR("tk"));
    const auto* fields = tarvo::tcl::app_fields(tk.get());
    if (!fields) return nullptr;
    tarvo::tcl::require_owner(fields);
    return tarvo::tcl::find_watch(fields->interp);
}

Ref get_timeout_body(PyObject*, PyObject** a) {
    Ref tk = py::instance_attr(a[0], TARVO_STR("tk"));
    const auto* fields = tarvo::tcl::app_fields(tk.get());
    // Closed, or not ours: no limit.
    tarvo::tcl::Watch* w = fields ? tarvo::tcl::find_watch(fields->interp) : nullptr;
    if (!w || w->timeout <= 0) return py::none();
    return py::own(PyFloat_FromDouble(w->timeout));
}

Ref set_timeout_body(PyObject*, PyObject** a) {
    const double seconds = tarvo::tcl::timeout_seconds(a[1]);
    tarvo::tcl::Watch* w = watch_of(a[0]);
    if (!w) py::raise(PyExc_RuntimeError, "a timeout needs an interpreter made by tarvo.tcl.interpreter.Interpreter");
    w->timeout = seconds;
    return py::none();
}

PyMethodDef timeout_defs[] = {
    TARVO_DEF("timeout", get_timeout_sig, get_timeout_body, nullptr),
    TARVO_DEF("timeout", set_timeout_sig, set_timeout_body, nullptr),
};

PyMethodDef interpreter_methods[] = {
    TARVO_METHOD_NAMED("__init__", init,
                       "__init__($module, self, /, *, timeout=None)\n--\n\n"
                       "Start a Tcl interpreter without Tk, load TclX and run the start-up hooks.\n"
                       "`timeout` is the default time limit, in seconds, of its eval and quick calls."),
    TARVO_METHOD_NAMED("_load_entrypoint", load_entrypoint,
                       "_load_entrypoint($module, self, /)\n--\n\n"
                       "Run every start-up hook of the entry-point group TCL_INIT_ENTRYPOINT."),
    TARVO_METHOD_NAMED("__getattr__", getattr,
                       "__getattr__($module, self, attr, /)\n--\n\nDelegate to the Tcl application object."),
    TARVO_METHOD_NAMED("generate_callback_cmd_name", generate_name,
                       "generate_callback_cmd_name(callback, mangle_cmd_name=False)\n--\n\n"
                       "The default Tcl command name of `callback`: its (function's) __name__; with\n"
                       "`mangle_cmd_name`, or without a name, prefixed by its id and an underscore."),
    TARVO_METHOD(create_callback,
                 "create_callback($module, self, callback, cmd_name=None, force=False)\n--\n\n"
                 "Publish `callback` as a Tcl command and return its TclCommand.  With `force`,\n"
                 "an existing command of that name is kept aside until the callback is removed."),
    TARVO_METHOD(remove_callback,
                 "remove_callback($module, self, callback)\n--\n\n"
                 "Delete a callback command (given as its TclCommand, its callable or its name)\n"
                 "and restore the command it replaced, whose TclCommand is returned."),
    TARVO_METHOD(eval,
                 "eval($module, self, code, typecast=False, record=True, *, timeout=None)\n--\n\n"
                 "Evaluate Tcl code and return its result, cast with cast_any when `typecast`.\n"
                 "A Tcl error raises TclError with Tcl's whole error trace.  An evaluation that\n"
                 "runs longer than `timeout` seconds (else the interpreter's `timeout`) is\n"
                 "cancelled and raises TclTimeoutError."),
    TARVO_METHOD(get_errorInfo,
                 "get_errorInfo($module, self, /)\n--\n\nThe trace of the last Tcl error (::errorInfo)."),
    TARVO_METHOD(get_array, "get_array($module, self, name)\n--\n\nThe Tcl array `name` as an Array."),
    TARVO_METHOD(get_list,
                 "get_list($module, self, name)\n--\n\nThe Tcl list in variable `name` as a tuple of strings."),
    TARVO_METHOD(get_keyed_list,
                 "get_keyed_list($module, self, name)\n--\n\nThe keyed list in variable `name` as a NestMap."),
    TARVO_METHOD(get_int, "get_int($module, self, name)\n--\n\nVariable `name` read as an int."),
    TARVO_METHOD(get_boolean, "get_boolean($module, self, name)\n--\n\nVariable `name` read as a bool."),
    TARVO_METHOD(get_double, "get_double($module, self, name)\n--\n\nVariable `name` read as a float."),
    TARVO_METHOD(get_var, "get_var($module, self, name)\n--\n\nVariable `name` as Tcl's string."),
    TARVO_METHOD(
        set_array,
        "set_array($module, self, name, obj)\n--\n\nWrite every key and value of `obj` into the Tcl array `name`."),
    TARVO_METHOD(set_keyed_list,
                 "set_keyed_list($module, self, name, obj)\n--\n\nStore `obj` (made a NestMap) as a keyed list."),
    TARVO_METHOD(set_var,
                 "set_var($module, self, name, value)\n--\n\nStore the Tcl form of `value` in variable `name`."),
    TARVO_METHOD(set_boolean, "set_boolean($module, self, name, value)\n--\n\nStore 1 or 0, by the truth of `value`."),
    TARVO_METHOD(set_list, "set_list($module, self, name, value)\n--\n\nStore the items of `value` as a Tcl list."),
    TARVO_METHOD(cast_int, "cast_int($module, self, value)\n--\n\n`value` read as a Tcl integer."),
    TARVO_METHOD(cast_double, "cast_double($module, self, value)\n--\n\n`value` read as a Tcl floating-point number."),
    TARVO_METHOD(cast_boolean,
                 "cast_boolean($module, self, value)\n--\n\n`value` read as a Tcl boolean (or a non-zero number)."),
    TARVO_METHOD(
        cast_array,
        "cast_array(value, item_cast=None)\n--\n\nAn Array from `array get` text, values cast by `item_cast`."),
    TARVO_METHOD(
        cast_keyed_list,
        "cast_keyed_list(value, item_cast=None)\n--\n\nA NestMap from keyed-list text, leaves cast by `item_cast`."),
    TARVO_METHOD(
        cast_any,
        "cast_any($module, self, value)\n--\n\n`value` as int, float, bool, tuple, NestMap or the string, whichever "
        "reads it first."),
    TARVO_METHOD(close,
                 "close($module, self, /)\n--\n\n"
                 "Delete the Tcl interpreter now: its channels are flushed and closed, its\n"
                 "callbacks removed, the programs it spawned through Expect closed and reaped.\n"
                 "Any later call raises RuntimeError.  Closing again does nothing."),
    TARVO_METHOD_NAMED("__enter__", enter, "__enter__($module, self, /)\n--\n\nThe interpreter itself."),
    TARVO_METHOD_NAMED("__exit__", exit, "__exit__($module, self, exc_type, exc_value, traceback, /)\n--\n\nClose it."),    TARVO_METHOD_NAMED("_eval_file", eval_file,
                       "_eval_file($module, self, path, /, *, timeout=None)\n--\n\n"
                       "Evaluate the Tcl script file `path` as tclsh evaluates its main script."),
};

enum MethodIndex {
    INIT,
    LOAD_ENTRYPOINT,
    GETATTR,
    GENERATE_NAME,
    CREATE_CALLBACK,
    REMOVE_CALLBACK,
    EVAL,
    GET_ERRORINFO,
    GET_ARRAY,
    GET_LIST,
    GET_KEYED_LIST,
    GET_INT,
    GET_BOOLEAN,
    GET_DOUBLE,
    GET_VAR,
    SET_ARRAY,
    SET_KEYED_LIST,
    SET_VAR,
    SET_BOOLEAN,
    SET_LIST,
    CAST_INT,
    CAST_DOUBLE,
    CAST_BOOLEAN,
    CAST_ARRAY,
    CAST_KEYED_LIST,
    CAST_ANY,
    CLOSE,
    ENTER,
    EXIT,
    EVAL_FILE,
};
static_assert(sizeof(interpreter_methods) / sizeof(interpreter_methods[0]) == EVAL_FILE + 1,
              "one index per method of the table, in its order");

// ---------------------------------------------------------------------------
// Module

Ref make_interpreter_class(PyObject* module) {
    Ref bases = py::own(PyTuple_Pack(1, py::global(module, TARVO_STR("Tk"))));
    py::ClassBuilder cls(module, "Interpreter", bases.get(),
                         "Interpreter(*, timeout=None)\n--\n\n"
                         "A Tcl interpreter without Tk, with TclX loaded, call history, quick calls\n"
                         "(`jot`), typed results and Python callbacks.\n"
                         "\n"
                         "Instance attributes:\n"
                         "\n"
                         "tk\n"
                         "    The Tcl application object (tkinter's); what the interpreter lacks\n"
                         "    (call, createcommand, splitlist, ...) is looked up there.\n"
                         "history\n"
                         "    History of every eval and quick call, timestamped, with markers.\n"
                         "jot, Jot\n"
                         "    One Jot: Tcl commands as attributes, tcl.jot.ns.proc(word, opt=value).\n"
                         "global_ns\n"
                         "    TclNamespace of '::', with vars, cmds (TclCommand objects) and objs.\n"
                         "local_ns\n"
                         "    TclNamespace without a name: names resolve where Tcl currently is.\n"
                         "vars\n"
                         "    local_ns.vars: Tcl variables by name, read as Tcl's strings.\n"
                         "objs\n"
                         "    local_ns.objs: child namespaces by name.\n"
                         "__callbacks__\n"
                         "    Qualified command name to the callable that create_callback published.\n"
                         "timeout\n"
                         "    The default time limit of eval and quick calls, in seconds (None: none).");
    cls.set("__MAX_HISTORY__", py::integer(9999).get());
    cls.method(&interpreter_methods[INIT]);
    cls.method(&interpreter_methods[LOAD_ENTRYPOINT]);
    cls.method(&interpreter_methods[GETATTR]);
    cls.static_method(&interpreter_methods[GENERATE_NAME]);
    cls.method(&interpreter_methods[CREATE_CALLBACK]);
    cls.method(&interpreter_methods[REMOVE_CALLBACK]);
    cls.method(&interpreter_methods[EVAL]);
    for (int m = GET_ERRORINFO; m <= GET_VAR; ++m) cls.method(&interpreter_methods[m]);
    cls.method(&interpreter_methods[SET_ARRAY]);
    cls.method(&interpreter_methods[SET_KEYED_LIST]);
    cls.method(&interpreter_methods[SET_VAR]);
    cls.alias("set_int", "set_var");
    cls.alias("set_double", "set_var");
    cls.method(&interpreter_methods[SET_BOOLEAN]);
    cls.method(&interpreter_methods[SET_LIST]);
    // One list reader for the whole package: the package-level cast_list.
    Ref cast_list = py::import_relative(module, "internal", "_cast_list");
    cls.set("cast_list", py::own(PyStaticMethod_New(cast_list.get())).get());
    cls.method(&interpreter_methods[CAST_INT]);
    cls.method(&interpreter_methods[CAST_DOUBLE]);
    cls.method(&interpreter_methods[CAST_BOOLEAN]);
    cls.static_method(&interpreter_methods[CAST_ARRAY]);
    cls.static_method(&interpreter_methods[CAST_KEYED_LIST]);
    cls.method(&interpreter_methods[CAST_ANY]);
    Ref getter = py::function(&timeout_defs[0], module);
    Ref setter = py::function(&timeout_defs[1], module);
    Ref doc = py::text("The default time limit, in seconds, of eval and quick calls that give none (None: no limit).");
    cls.set("timeout", py::call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get(), setter.get(), Py_None,
                                doc.get()).get());
    cls.method(&interpreter_methods[CLOSE]);
    cls.method(&interpreter_methods[ENTER]);
    cls.method(&interpreter_methods[EXIT]);
    cls.method(&interpreter_methods[EVAL_FILE]);
    return cls.build();
}

// TclTimeoutError: a TclError (as eval raises it) that is also a TimeoutError.
Ref make_timeout_error(PyObject* module) {
    Ref bases = py::own(PyTuple_Pack(2, py::global(module, TARVO_STR("TclError")), PyExc_TimeoutError));
    py::ClassBuilder cls(module, "TclTimeoutError", bases.get(),
                         "TclTimeoutError(*args)\n--\n\n"
                         "A Tcl evaluation that ran longer than its time limit, and was cancelled.\n\n"
                         "Like the TclError of any failed eval or quick call, it carries errorinfo,\n"
                         "message, errorcode and errorline.");
    return cls.build();
}

// What the native casts compare with, as the module starts.
void keep_native_references(PyObject* module, PyObject* cls) {
    State* st = py::state<State>(module);
    Ref dict = py::type_dict(reinterpret_cast<PyTypeObject*>(cls));
    Ref own = py::own(PyTuple_New(NativeCasts::OWN_COUNT));
    const char* names[] = {"cast_int", "cast_double", "cast_boolean", "cast_keyed_list"};
    for (int i = 0; i < NativeCasts::OWN_COUNT; ++i) {
        PyObject* found = py::require(PyDict_GetItemString(dict.get(), names[i]));
        PyTuple_SET_ITEM(own.get(), i, py::newref(found).release());
    }
    py::keep(st->own, std::move(own));
    py::keep(st->cls, py::newref(cls));
    py::keep(st->own_cast_any, py::newref(py::require(PyDict_GetItemString(dict.get(), "cast_any"))));
    Ref misc = py::import_from("tkinter", "Misc");
    py::keep(st->tk_getint, py::newref(py::class_lookup(reinterpret_cast<PyTypeObject*>(misc.get()),
                                                          TARVO_STR("getint"))));
    py::keep(st->tk_getdouble, py::newref(py::class_lookup(reinterpret_cast<PyTypeObject*>(misc.get()),
                                                             TARVO_STR("getdouble"))));
    py::keep(st->object_getattribute, py::newref(py::class_lookup(&PyBaseObject_Type, TARVO_STR("__getattribute__"))));
    py::keep(st->tcl_error, py::newref(py::global(module, TARVO_STR("TclError"))));
    py::keep(st->nest_map, py::newref(py::global(module, TARVO_STR("NestMap"))));
    Ref fromlist = py::own(Py_BuildValue("(s)", "__c_api__"));
    Ref nestmap = py::own(PyImport_ImportModuleLevel("nestmap", PyModule_GetDict(module), nullptr, fromlist.get(), 1));
    Ref capsule = py::getattr(nestmap.get(), "__c_api__");
    void* api = PyCapsule_GetPointer(capsule.get(), tarvo::tcl::NESTMAP_API_NAME);
    if (!api) py::fail();
    st->nestmap_api = static_cast<const tarvo::tcl::NestMapApi*>(api);
    py::keep(st->nestmap, std::move(nestmap));
    Ref history_capsule = py::import_relative(module, "history", "__c_api__");
    api = PyCapsule_GetPointer(history_capsule.get(), tarvo::tcl::HISTORY_API_NAME);
    if (!api) py::fail();
    st->history_api = static_cast<const tarvo::tcl::HistoryApi*>(api);
}

// Attribute lookup of Interpreter instances.  A class with a __getattr__
// gets Python's hook slot, which looks __getattr__ and __getattribute__ up
// on the class at every access.  This one knows them for the class's
// version: while __getattribute__ is object's and __getattr__ our own, an
// attribute is what the generic lookup finds, else what our __getattr__
// gives.  Anything else goes to the hook slot that the class was made
// with; assigning either name on the class puts Python's own slot back,
// and subclasses get Python's own slots.
struct KnownGetattr {
    PyTypeObject* type = nullptr;  // compared only
    unsigned int version = 0;
    PyObject* module = nullptr;  // borrowed: the class holds our __getattr__, which holds its module
};

getattrofunc hook_getattro = nullptr;  // Python's slot, as the class was made
py::Kept<KnownGetattr> known_getattr;

PyObject* interpreter_getattro(PyObject* self, PyObject* name) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    KnownGetattr known = known_getattr.load();
    if (!(known.type == type && known.version && type->tp_version_tag == known.version && py::has_valid_version(type))) {
        PyObject* hook = py::class_lookup_quiet(type, TARVO_STR("__getattr__"));
        PyObject* generic = py::class_lookup_quiet(type, TARVO_STR("__getattribute__"));
        PyObject* function = hook && PyInstanceMethod_Check(hook) ? PyInstanceMethod_GET_FUNCTION(hook) : nullptr;
        const bool ours = function && PyCFunction_Check(function) &&
                          PyCFunction_GET_FUNCTION(function) == TARVO_FASTCALL((py::fastcall<getattr_sig, getattr_body>)) &&
                          generic && Py_IS_TYPE(generic, &PyWrapperDescr_Type) &&
                          reinterpret_cast<PyWrapperDescrObject*>(generic)->d_wrapped ==
                              reinterpret_cast<void*>(PyObject_GenericGetAttr);
        if (!ours || !py::has_valid_version(type)) {
            if (PyErr_Occurred()) return nullptr;
            return hook_getattro(self, name);
        }
        known = {type, type->tp_version_tag, PyCFunction_GET_SELF(function)};
        known_getattr.store(known);
    }
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    PyErr_Clear();
    return py::entry("Interpreter.__getattr__", [&] {
        // As a call of the method would: its depth counted, its arguments held.
        py::RecursionGuard depth(" while calling a Python object");
        Ref held_self = py::newref(self), held_name = py::newref(name);
        PyObject* a[] = {self, name};
        return getattr_body(known.module, a);
    });
}

// cast_any for the C API (interpreter_api.hpp).
PyObject* api_cast_any(PyObject* module, PyObject* self, PyObject* value) noexcept {
    return py::entry("cast_any", [&] {
        // As a call of the function would: its depth counted, its arguments held.
        py::RecursionGuard depth(" while calling a Python object");
        Ref held_self = py::newref(self), held_value = py::newref(value);
        PyObject* a[] = {self, value};
        return cast_any_body(module, a);
    });
}

const tarvo::tcl::InterpreterApi c_api = {
    TARVO_FASTCALL((py::fastcall<cast_any_sig, cast_any_body>)),
    api_cast_any,
};

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
        st->module_dict = py::require(PyModule_GetDict(module));
        py::keep(st->path_finder, py::import_from("importlib.machinery", "PathFinder"));
        py::keep(st->record, py::import_from("types", "SimpleNamespace"));
        py::keep(st->interrupts, py::import_relative(module, "internal", "_interrupts"));
        Ref logging = py::import("logging");
        py::add(module, "logging", logging.get());
        py::add(module, "Tk", py::import_from("tkinter", "Tk").get());
        py::add(module, "TclError", py::import_from("tkinter", "TclError").get());
        py::add(module, "Tcl_Obj", py::import_from("_tkinter", "Tcl_Obj").get());
        py::add(module, "iter_entry_points", py::function(&iter_entry_points_def, module).get());
        py::add(module, "NestMap", py::import_relative(module, "nestmap", "NestMap").get());
        py::add(module, "Array", py::import_relative(module, "array", "Array").get());
        py::add(module, "History", py::import_relative(module, "history", "History").get());
        py::add(module, "tclobj", py::import_relative(module, "quoten", "tclobj").get());
        py::add(module, "GetListFromAny", py::import_relative(module, "internal", "GetListFromAny").get());
        py::add(module, "TclDLL", py::import_relative(module, "internal", "TclDLL").get());
        py::add(module, "TclNamespace", py::import_relative(module, "namespace", "TclNamespace").get());
        py::add(module, "TclCommand", py::import_relative(module, "namespace", "TclCommand").get());
        py::add(module, "quoten", py::import_relative(module, "quoten", "quoten").get());
        py::add(module, "Jot", py::import_relative(module, "jot", "Jot").get());
        py::add(module, "TCL_INIT_ENTRYPOINT", py::text("tarvo.tcl").get());
        Ref allowed = py::own(Py_BuildValue("(s)", "tcl_init"));
        py::add(module, "TCL_ALLOWED_ENTRYPOINT_KEYS", allowed.get());
        Ref name = py::own(PyModule_GetNameObject(module));
        py::add(module, "logger", py::call_method(logging.get(), TARVO_STR("getLogger"), name.get()).get());
        py::keep(st->keeper, py::import_relative(module, "internal", "_Keeper"));
        py::keep(st->timeout_error, make_timeout_error(module));
        py::add(module, "TclTimeoutError", st->timeout_error);

        Ref cls = make_interpreter_class(module);
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        if (!hook_getattro) hook_getattro = type->tp_getattro;
        if (type->tp_getattro == hook_getattro) type->tp_getattro = interpreter_getattro;
        py::add(module, "Interpreter", cls.get());
        keep_native_references(module, cls.get());
        Ref capsule = py::own(PyCapsule_New(const_cast<tarvo::tcl::InterpreterApi*>(&c_api),
                                            tarvo::tcl::INTERPRETER_API_NAME, nullptr));
        py::add(module, "__c_api__", capsule.get());

        Ref shared = py::call(cls.get());
        publish(shared.get(), cls.get());
        py::add(module, "_global_interpreter", shared.get());
        return 0;
    });
}

}  // namespace

TARVO_MODULE(interpreter, "The Interpreter class and the shared interpreter that importing this module starts.", State,
             exec_module)
