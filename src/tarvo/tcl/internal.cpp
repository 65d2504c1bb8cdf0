// tarvo.tcl.internal: the Tcl C library underneath tkinter's interpreter,
// reached directly: Tcl's completion codes, the opened library with the
// prototypes of the four routines we call, Tcl's object layouts as ctypes
// structures, Tcl's own list parser, Tcl's dictionary order, and Tcl
// commands that call Python with errors a user can read.
//
// The ctypes objects (`TclDLL`, `Tcl_Interp_p`, `Tcl_Obj`, ...) are public
// and stay ctypes objects.  The list parser calls TclFindElement and
// TclCopyAndCollapse through the routine table that tcl::load() resolved
// once from `TclDLL`, not through ctypes per element; it reads the whole
// text, NUL characters included, and decodes what Tcl wrote the way Tcl
// writes it.
#include "_cxx/py.hpp"
#include "_cxx/tcl.hpp"
#include "_cxx/tcllist.hpp"
#include "_cxx/tclstr.hpp"
#include "_cxx/watch.hpp"

#include <structmember.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <csignal>
#include <thread>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace py = tarvo::py;
namespace tcl = tarvo::tcl;
using py::Ref;

namespace {

struct State {
    PyObject* cast = nullptr;             // ctypes.cast
    PyObject* void_p = nullptr;           // ctypes.c_void_p
    PyObject* char_p = nullptr;           // ctypes.c_char_p
    PyObject* argument_error = nullptr;   // ctypes.ArgumentError
    PyObject* tk = nullptr;               // tkinter.Tk
    PyObject* tcl_error = nullptr;        // tkinter.TclError
    PyObject* sequence = nullptr;         // collections.abc.Sequence
    PyObject* set = nullptr;              // collections.abc.Set
    PyObject* interp_p = nullptr;         // Tcl_Interp_p
    PyObject* invalid_element = nullptr;  // "invalid list element"
    PyObject* empty = nullptr;            // ()
    PyObject* trampoline_type = nullptr;  // calls a Python callback for a Tcl command
    PyObject* tcl_obj = nullptr;          // _tkinter.Tcl_Obj
    PyObject* interrupts = nullptr;       // _interrupts: interpreter address -> exception that stopped it
    PyObject* traceback = nullptr;        // the traceback module, once a callback failed
    PyObject* keeper_type = nullptr;      // _Keeper
    unsigned long long callbacks = 0;     // callback commands made so far
    static constexpr PyObject* State::* fields[] = {
        &State::cast,     &State::void_p,          &State::char_p,   &State::argument_error,
        &State::tk,       &State::tcl_error,       &State::sequence, &State::set,
        &State::interp_p, &State::invalid_element, &State::empty,    &State::trampoline_type,
        &State::tcl_obj,  &State::interrupts,      &State::traceback, &State::keeper_type,
    };
};

State* state_of(PyObject* module) { return py::state<State>(module); }

// ---------------------------------------------------------------------------
// ReturnCodes and the library

// Library names tried in order, oldest Tcl first; the loader searches its
// usual places for each.  Tcl 9's come last, but first where tkinter runs on
// Tcl 9: a machine with Tcl 9 often keeps an older Tcl beside it, whose
// routines would be no use on tkinter's interpreters.
struct LibraryName {
    const char* name;
    int major;  // the Tcl version whose prototypes TclDLL declares for it
};

const LibraryName library_names[] = {
    {"libtcl8.4.so", 8},   {"libtcl8.4.dylib", 8}, {"libtcl8.5.so", 8},    {"libtcl8.5.dylib", 8},
    {"libtcl8.6.so.0", 8}, {"libtcl8.6.so", 8},    {"libtcl8.6.dylib", 8}, {"libtcl9.0.so", 9},
    {"libtcl9.0.dylib", 9},
};

Ref make_return_codes(PyObject* module) {
    Ref bases = py::own(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    py::ClassBuilder cls(module, "ReturnCodes", bases.get(), "Tcl's completion codes.");
    const std::pair<const char*, int> codes[] = {
        {"TCL_OK", tcl::TCL_OK},       {"TCL_ERROR", tcl::TCL_ERROR},       {"TCL_RETURN", tcl::TCL_RETURN},
        {"TCL_BREAK", tcl::TCL_BREAK}, {"TCL_CONTINUE", tcl::TCL_CONTINUE},
    };
    for (const auto& [name, value] : codes) cls.set(name, py::integer(value).get());
    return cls.build();
}

// The first Tcl library that opens, trying the names of Tcl `first` (the
// major version tkinter runs on) before the others when that is Tcl 9;
// ImportError when none opens.  `major` receives the version of the name
// that opened.
Ref open_tcl_library(PyObject* cdll, int first, int& major) {
    for (const int pass : {0, 1}) {
        for (const LibraryName& name : library_names) {
            // Tcl 9 first: its names in the first pass, the others in the
            // second; otherwise all of them in the order they are listed.
            if (first >= 9 ? (name.major >= 9) == (pass == 1) : pass == 1) continue;
            PyObject* library = PyObject_CallOneArg(cdll, py::text(name.name).get());
            if (library) {
                major = name.major;
                return Ref::steal(library);
            }
            if (!PyErr_ExceptionMatches(PyExc_OSError)) py::fail();
            PyErr_Clear();
        }
    }
    py::raise(PyExc_ImportError, "Cannot load Tcl shared library (.so or .dylib)");
}

// ---------------------------------------------------------------------------
// Pointer arithmetic on ctypes pointers

const char* const ptr_move_params[] = {"ptr", "count"};
const py::Signature ptr_add_sig{"_ptr_add", ptr_move_params, 2, 2};
const py::Signature ptr_sub_sig{"_ptr_sub", ptr_move_params, 2, 2};

// ctypes.cast(ptr, ctypes.c_void_p)
Ref as_void_p(State* st, PyObject* ptr) { return py::call(st->cast, ptr, st->void_p); }

// p = cast(ptr, c_void_p); p.value op= count; return cast(p, type(ptr))
Ref moved(PyObject* module, PyObject* ptr, PyObject* count, binaryfunc op) {
    State* st = state_of(module);
    Ref p = as_void_p(st, ptr);
    Ref value = py::getattr(p.get(), TARVO_STR("value"));
    Ref next = py::own(op(value.get(), count));
    py::setattr(p.get(), TARVO_STR("value"), next.get());
    return py::call(st->cast, p.get(), reinterpret_cast<PyObject*>(Py_TYPE(ptr)));
}

Ref ptr_add(PyObject* module, PyObject** a) { return moved(module, a[0], a[1], PyNumber_InPlaceAdd); }
Ref ptr_sub(PyObject* module, PyObject** a) { return moved(module, a[0], a[1], PyNumber_InPlaceSubtract); }

const char* const ptr_diff_params[] = {"ptr1", "ptr2"};
const py::Signature ptr_diff_sig{"_ptr_diff", ptr_diff_params, 2, 2};

Ref ptr_diff(PyObject* module, PyObject** a) {
    State* st = state_of(module);
    Ref first = py::getattr(as_void_p(st, a[0]).get(), TARVO_STR("value"));
    Ref second = py::getattr(as_void_p(st, a[1]).get(), TARVO_STR("value"));
    return py::own(PyNumber_Subtract(first.get(), second.get()));
}

// ---------------------------------------------------------------------------
// Interpreter handles

// Tcl_Interp_p.from_param: the handle object that stands for `interp`.
Ref interp_param(State* st, PyObject* interp) {
    if (py::check(PyObject_IsInstance(interp, st->interp_p))) return py::newref(interp);
    if (interp == Py_None) return py::call(st->interp_p);
    if (py::check(PyObject_IsInstance(interp, st->tk))) {
        Ref address = py::call_method(interp, TARVO_STR("interpaddr"));
        return py::call(st->interp_p, address.get());
    }
    py::raise_format(PyExc_ValueError, "Unrecognized Tcl interpreter object: %R", interp);
}

// The C pointer a ctypes pointer object holds, read from its memory as
// ctypes passes it to a routine.
tcl::Interp* pointer_of(PyObject* handle) {
    Py_buffer view;
    py::check(PyObject_GetBuffer(handle, &view, PyBUF_SIMPLE));
    void* pointer = nullptr;
    const bool fits = view.len == static_cast<Py_ssize_t>(sizeof pointer);
    if (fits) std::memcpy(&pointer, view.buf, sizeof pointer);
    PyBuffer_Release(&view);
    if (!fits) py::raise(PyExc_TypeError, "a Tcl interpreter handle must hold one pointer");
    return static_cast<tcl::Interp*>(pointer);
}

// The pointer `interp` stands for as the first argument of a Tcl routine
// (NULL for None).  A refusal is reported as ctypes reports a failed
// argument conversion: ArgumentError("argument 1: <type name>: <message>").
// Only exceptions are wrapped; KeyboardInterrupt and its kind pass as they are.
tcl::Interp* interp_argument(State* st, PyObject* interp) {
    if (!interp || interp == Py_None) return nullptr;
    // The interpreter of a tkinter.Tk is used from its own thread only.
    if (PyObject_TypeCheck(interp, reinterpret_cast<PyTypeObject*>(st->tk))) {
        // Its own attribute only: tkinter's __getattr__ would look for a
        // missing `tk` in `tk`, without end.
        Ref app = Ref::steal(PyObject_GenericGetAttr(interp, TARVO_STR("tk")));
        if (app) {
            if (const auto* fields = tcl::app_fields(app.get())) tcl::require_owner(fields);
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            py::fail();
        }
    }
    try {
        return pointer_of(interp_param(st, interp).get());
    } catch (const py::Error&) {
        py::Caught caught;
        if (!caught.matches(PyExc_Exception)) caught.reraise();
        Ref text = Ref::steal(PyObject_Str(caught.value()));
        if (!text) {
            PyErr_Clear();
            text = py::text("???");
        }
#if PY_VERSION_HEX >= 0x030A0000
        const char* type_name = Py_TYPE(caught.value())->tp_name;
        if (const char* dot = std::strrchr(type_name, '.')) type_name = dot + 1;
        py::raise_format(st->argument_error, "argument 1: %s: %U", type_name, text.get());
#else
        // Python 3.9's ctypes names the class by its repr.
        py::raise_format(st->argument_error, "argument 1: %R: %U", reinterpret_cast<PyObject*>(Py_TYPE(caught.value())),
                         text.get());
#endif
    }
}

const char* const from_param_params[] = {"cls", "interp"};
const py::Signature from_param_sig{"from_param", from_param_params, 2, 2};

Ref from_param(PyObject* module, PyObject** a) { return interp_param(state_of(module), a[1]); }

PyMethodDef from_param_def = TARVO_DEF("from_param", from_param_sig, from_param,
                                       "from_param($cls, interp)\n--\n\n"
                                       "The handle for `interp`: a Tcl_Interp_p as it is, None as the null handle,\n"
                                       "a tkinter.Tk (such as an Interpreter) as the address of its Tcl interpreter.");

Ref make_interp_p(PyObject* module, PyObject* void_p) {
    Ref bases = py::own(PyTuple_Pack(1, void_p));
    py::ClassBuilder cls(module, "Tcl_Interp_p", bases.get(),
                         "A C `Tcl_Interp *`; from_param turns a tkinter.Tk into one.");
    cls.set("from_param", py::class_method(&from_param_def, module).get());
    return cls.build();
}

// ---------------------------------------------------------------------------
// Errors from an interpreter's result

// Raises TclError with the result of the interpreter `source` or, when
// there is none (NULL) or its result is empty, `default_msg`; with neither, a
// bare TclError.  Tcl may cut its message in the middle of a character, so
// the result is decoded leniently.
[[noreturn]] void raise_from_interp(State* st, tcl::Interp* source, PyObject* default_msg) {
    Ref msg;
    if (source) {
        const char* result = tcl::api().GetStringResult(source);
        if (result) msg = py::decode_tcl(result, static_cast<Py_ssize_t>(std::strlen(result)));
    }
    if (!msg || PyUnicode_GET_LENGTH(msg.get()) == 0) msg = py::newref(py::arg_or(default_msg, Py_None));
    // TclError(msg) is made here: raising the class with `msg` would spread a
    // tuple over the arguments.
    Ref error = py::truth(msg.get()) ? py::call(st->tcl_error, msg.get()) : py::call(st->tcl_error);
    py::raise_object(error.get());
}

const char* const from_interp_params[] = {"interp", "default_msg"};
const py::Signature from_interp_sig{"TclError_from_interp", from_interp_params, 2, 1};

Ref tcl_error_from_interp(PyObject* module, PyObject** a) {
    State* st = state_of(module);
    // A false interpreter (None, a null handle) is never asked: its result
    // could not be read.  Neither is a true one whose handle is null.
    tcl::Interp* source = py::truth(a[0]) ? interp_argument(st, a[0]) : nullptr;
    raise_from_interp(st, source, a[1]);
}

// ---------------------------------------------------------------------------
// Tcl's object layouts

// ctypes.POINTER(target).  ctypes names a pointer type it makes after the
// module of the calling Python frame, which during our import is the import
// machinery's: a type made here, by this import, is labelled ours.
Ref pointer_type(PyObject* module, PyObject* ctypes, PyObject* target) {
    Ref made = py::call(py::getattr(ctypes, "POINTER").get(), target);
    PyObject* frame_globals = PyEval_GetGlobals();
    PyObject* frame_module = frame_globals ? PyDict_GetItemWithError(frame_globals, TARVO_STR("__name__")) : nullptr;
    if (PyErr_Occurred()) py::fail();
    if (frame_module) {
        Ref labelled = py::getattr(made.get(), TARVO_STR("__module__"));
        if (py::check(PyObject_RichCompareBool(labelled.get(), frame_module, Py_EQ))) {
            Ref ours = py::own(PyModule_GetNameObject(module));
            py::setattr(made.get(), TARVO_STR("__module__"), ours.get());
        }
    }
    return made;
}

Ref fields(std::initializer_list<std::pair<const char*, PyObject*>> list) {
    Ref result = py::own(PyList_New(0));
    for (const auto& [name, type] : list) {
        Ref field = py::own(Py_BuildValue("(sO)", name, type));
        py::check(PyList_Append(result.get(), field.get()));
    }
    return result;
}

Ref make_class(PyObject* module, PyObject* base, const char* name, const char* qualname, const char* doc,
               std::initializer_list<std::pair<const char*, PyObject*>> members = {}) {
    Ref bases = py::own(PyTuple_Pack(1, base));
    py::ClassBuilder cls(module, name, bases.get(), doc);
    cls.set("__qualname__", py::text(qualname).get());
    for (const auto& [member, value] : members) cls.set(member, value);
    return cls.build();
}

// ctypes' type for Tcl_Size in Tcl `major`: int in Tcl 8, ptrdiff_t in Tcl 9.
Ref size_type(PyObject* ctypes, int major) { return py::getattr(ctypes, major >= 9 ? "c_ssize_t" : "c_int"); }

// The layouts of Tcl `major`, the version of TclDLL's library.
void define_layouts(PyObject* module, PyObject* ctypes, int major) {
    auto type = [&](const char* name) { return py::getattr(ctypes, name); };
    Ref structure = type("Structure"), union_ = type("Union");
    Ref c_char_p = type("c_char_p"), c_void_p = type("c_void_p"), size = size_type(ctypes, major);
    Ref c_long = type("c_long"), c_double = type("c_double"), wide_int = type("c_longlong");
    py::add(module, "Tcl_WideInt", wide_int.get());

    Ref obj_type_fields = fields({{"name", c_char_p.get()},
                                  {"freeIntRepProc", c_void_p.get()},
                                  {"dupIntRepProc", c_void_p.get()},
                                  {"updateStringProc", c_void_p.get()},
                                  {"setFromAnyProc", c_void_p.get()}});
    if (major >= 9) {
        // Tcl 9's version of the type and its routines for values that
        // stand for lists without being stored as one.
        Ref c_size_t = type("c_size_t");
        Ref tail = fields({{"version", c_size_t.get()},
                           {"lengthProc", c_void_p.get()},
                           {"indexProc", c_void_p.get()},
                           {"sliceProc", c_void_p.get()},
                           {"reverseProc", c_void_p.get()},
                           {"getElementsProc", c_void_p.get()},
                           {"setElementProc", c_void_p.get()},
                           {"replaceProc", c_void_p.get()},
                           {"inOperProc", c_void_p.get()}});
        obj_type_fields = py::own(PySequence_Concat(obj_type_fields.get(), tail.get()));
    }
    Ref obj_type = make_class(module, structure.get(), "Tcl_ObjType", "Tcl_ObjType",
                              major >= 9 ? "Tcl 9's C `Tcl_ObjType`: a type name, four routine addresses, a version "
                                           "and the addresses of eight list routines."
                                         : "Tcl's C `Tcl_ObjType`: a type name and four routine addresses.",
                              {{"_fields_", obj_type_fields.get()}});
    py::add(module, "Tcl_ObjType", obj_type.get());

    // The nested classes first, as a class statement makes them; their
    // fields follow once all three exist, innermost first.
    Ref two_ptr = make_class(module, structure.get(), "s_twoPtrValue", "Tcl_Obj.u_internalRep.s_twoPtrValue",
                             "Two pointers of an internal representation.");
    Ref internal_rep = make_class(module, union_.get(), "u_internalRep", "Tcl_Obj.u_internalRep",
                                  "The internal representation of a Tcl value.", {{"s_twoPtrValue", two_ptr.get()}});
    Ref obj = make_class(module, structure.get(), "Tcl_Obj", "Tcl_Obj", "Tcl's C `Tcl_Obj`: one Tcl value.",
                         {{"u_internalRep", internal_rep.get()}});
    py::setattr(two_ptr.get(), "_fields_", fields({{"ptr1", c_void_p.get()}, {"ptr2", c_void_p.get()}}).get());
    py::setattr(internal_rep.get(), "_fields_",
                fields({{"longValue", c_long.get()},
                        {"doubleValue", c_double.get()},
                        {"otherValuePtr", c_void_p.get()},
                        {"wideValue", wide_int.get()},
                        {"twoPtrValue", two_ptr.get()}})
                    .get());
    Ref type_pointer = pointer_type(module, ctypes, obj_type.get());
    py::setattr(obj.get(), "_fields_",
                fields({{"refCount", size.get()},
                        {"bytes", c_char_p.get()},
                        {"length", size.get()},
                        {"typePtr", type_pointer.get()},
                        {"internalRep", internal_rep.get()}})
                    .get());
    py::add(module, "Tcl_Obj", obj.get());
}

// Tcl_GetStringResult for a Tcl 9 TclDLL, which has none: what Tcl 9's
// tcl.h makes of the name, Tcl_GetString(Tcl_GetObjResult(interp)), through
// that library's own routines.  Plain addresses, set once at import.
using DllObjResult = tcl::Obj* (*)(tcl::Interp* interp);
using DllString = char* (*)(tcl::Obj* obj);
DllObjResult dll_obj_result = nullptr;
DllString dll_string = nullptr;

// A null interpreter has no result to read: the empty string.
extern "C" const char* dll_string_result(tcl::Interp* interp) {
    return interp ? dll_string(dll_obj_result(interp)) : "";
}

// The address of `name` in `library` (a ctypes.CDLL), or the AttributeError
// ctypes gives for a name the library lacks.
void* dll_routine(State* st, PyObject* library, const char* name) {
    Ref routine = py::getattr(library, name);
    Ref value = py::getattr(as_void_p(st, routine.get()).get(), TARVO_STR("value"));
    void* p = PyLong_AsVoidPtr(value.get());
    if (!p && PyErr_Occurred()) py::fail();
    return p;
}

// A routine of ours on `library`, under `name`, as ctypes makes its own.
void add_routine(PyObject* library, const char* name, void* address) {
    Ref function_type = py::getattr(library, "_FuncPtr");
    Ref routine = py::call(function_type.get(), py::own(PyLong_FromVoidPtr(address)).get());
    py::setattr(routine.get(), "__name__", py::text(name).get());
    py::setattr(library, name, routine.get());
}

// The prototypes of the four routines, declared on the library, with the
// sizes of Tcl `major`.  Tcl 9 has no Tcl_GetStringResult: the library gets
// ours in its place (dll_string_result), with the same prototype.
void declare_routines(PyObject* module, PyObject* library, PyObject* ctypes, PyObject* interp_p, int major) {
    Ref c_int = py::getattr(ctypes, "c_int"), c_char_p = py::getattr(ctypes, "c_char_p");
    Ref size = size_type(ctypes, major);
    Ref char_pp = pointer_type(module, ctypes, c_char_p.get());
    Ref int_p = pointer_type(module, ctypes, c_int.get());
    Ref size_p = pointer_type(module, ctypes, size.get());
    auto declare = [&](const char* name, Ref argtypes, PyObject* restype) {
        Ref routine = py::getattr(library, name);
        py::setattr(routine.get(), "argtypes", argtypes.get());
        py::setattr(routine.get(), "restype", restype);
    };
    declare("TclFindElement",
            py::own(Py_BuildValue("[OOOOOOO]", interp_p, c_char_p.get(), size.get(), char_pp.get(), char_pp.get(),
                                  size_p.get(), int_p.get())),
            c_int.get());
    declare("TclCopyAndCollapse", py::own(Py_BuildValue("[OOO]", size.get(), c_char_p.get(), c_char_p.get())),
            size.get());
    if (major >= 9) {
        dll_obj_result = reinterpret_cast<DllObjResult>(dll_routine(state_of(module), library, "Tcl_GetObjResult"));
        dll_string = reinterpret_cast<DllString>(dll_routine(state_of(module), library, "Tcl_GetString"));
        add_routine(library, "Tcl_GetStringResult", reinterpret_cast<void*>(dll_string_result));
    }
    declare("Tcl_GetStringResult", py::own(Py_BuildValue("[O]", interp_p)), c_char_p.get());
    declare("Tcl_ResetResult", py::own(Py_BuildValue("[O]", interp_p)), Py_None);
}

// ---------------------------------------------------------------------------
// C strings

const char* const obj_params[] = {"obj"};
const py::Signature c_char_p_sig{"_c_char_p_from_obj", obj_params, 1, 1};

Ref c_char_p_from_obj(PyObject* module, PyObject** a) {
    Ref string = a[0] == Py_None ? py::text("") : py::str(a[0]);
    Ref bytes = py::own(PyUnicode_AsUTF8String(string.get()));
    return py::call(state_of(module)->char_p, bytes.get());
}

// ---------------------------------------------------------------------------
// List parsing

// The elements read so far: the first few in place, the rest in one
// growing block; handed over as a tuple of exactly their number.
class Elements {
public:
    Elements() = default;
    Elements(const Elements&) = delete;
    Elements& operator=(const Elements&) = delete;
    ~Elements() {
        for (Py_ssize_t i = 0; i < count_; ++i) Py_DECREF(items_[i]);
    }

    void add(Ref element) {
        if (count_ == capacity_) grow();
        items_[count_++] = element.release();
    }

    Ref tuple() {
        Ref result = py::own(PyTuple_New(count_));
        for (Py_ssize_t i = 0; i < count_; ++i) PyTuple_SET_ITEM(result.get(), i, items_[i]);
        count_ = 0;
        return result;
    }

private:
    void grow() {
        const Py_ssize_t capacity = capacity_ * 2;
        std::unique_ptr<PyObject*[]> items(new PyObject*[static_cast<size_t>(capacity)]);
        std::copy(items_, items_ + count_, items.get());
        heap_ = std::move(items);
        items_ = heap_.get();
        capacity_ = capacity;
    }

    PyObject* small_[32];
    PyObject** items_ = small_;
    Py_ssize_t count_ = 0;
    Py_ssize_t capacity_ = 32;
    std::unique_ptr<PyObject*[]> heap_;
};

// The elements of `obj`'s text as Tcl's list parser reads them.
Ref read_list_text(State* st, PyObject* obj, PyObject* interp) {
    Ref string = py::str(obj);
    py::TclBytes text(string.get());
    const size_t length = text.size();
    if (length == 0) return py::newref(st->empty);
    tcl::Interp* handle = interp_argument(st, interp);
    if (length > static_cast<size_t>(INT_MAX)) {
        py::raise_format(PyExc_OverflowError, "list text too long for Tcl: %zu bytes (at most %d)", length, INT_MAX);
    }
    const tcl::Api& api = tcl::api();
    tcl::ListCursor cursor(api, text.bytes(), static_cast<int>(length), handle);
    tcl::ElementText value(api);
    tcl::Element element;
    Elements elements;
    for (;;) {
        const auto step = cursor.next(element);
        if (step == tcl::ListCursor::END) break;
        if (step == tcl::ListCursor::MALFORMED) {
            raise_from_interp(st, handle && py::truth(interp) ? handle : nullptr, st->invalid_element);
        }
        value.collapse(element);
        elements.add(py::decode_tcl(value.data(), value.size()));
    }
    return elements.tuple();
}

// GetListFromAny: the first reading that matches wins.
Ref get_list_from_any(State* st, PyObject* obj, PyObject* interp) {
    if (PyUnicode_Check(obj)) return read_list_text(st, obj, interp);
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyTuple_Type) return py::newref(obj);
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type) {
        return py::own(PyTuple_Pack(1, obj));
    }
    // Built-in containers that are always Sequences or Sets, and None, which
    // is neither, need no abstract-class test.
    if (type == &PyList_Type || type == &PySet_Type || type == &PyFrozenSet_Type) {
        return py::own(PySequence_Tuple(obj));
    }
    if (obj == Py_None) return py::newref(st->empty);
    if (py::check(PyObject_IsInstance(obj, st->sequence)) || py::check(PyObject_IsInstance(obj, st->set))) {
        // A size that cannot be told is an error on every version: tuple()
        // stopped asking for it in 3.14, so ask here first.
        if (PyObject_Size(obj) < 0) py::fail();
        return py::own(PySequence_Tuple(obj));
    }
    return read_list_text(st, obj, interp);
}

const char* const get_list_params[] = {"obj", "interp"};
const py::Signature get_list_sig{"GetListFromAny", get_list_params, 2, 1};

Ref get_list(PyObject* module, PyObject** a) { return get_list_from_any(state_of(module), a[0], a[1]); }

// ---------------------------------------------------------------------------
// Dictionary order

// One side of a comparison: its code points, NUL past the end.
class CodePoints {
public:
    explicit CodePoints(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(text) < 0) py::fail();
#endif
        kind_ = PyUnicode_KIND(text);
        data_ = PyUnicode_DATA(text);
        length_ = PyUnicode_GET_LENGTH(text);
    }
    Py_ssize_t length() const noexcept { return length_; }
    Py_UCS4 operator[](Py_ssize_t i) const noexcept { return i < length_ ? PyUnicode_READ(kind_, data_, i) : 0; }

private:
    int kind_ = PyUnicode_1BYTE_KIND;
    const void* data_ = nullptr;
    Py_ssize_t length_ = 0;
};

bool is_digit(Py_UCS4 c) noexcept {
    if (c < 0x80) return c >= '0' && c <= '9';
    return Py_UNICODE_ISDIGIT(c);
}

// The first code point of the character's lower-case form: CPython's
// one-to-one mapping, which is exactly that (U+0130 lower-cases to "i").
Py_UCS4 lower(Py_UCS4 c) noexcept {
    if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
    return Py_UNICODE_TOLOWER(c);
}

long long dictionary_compare(const CodePoints& left, const CodePoints& right) noexcept {
    Py_ssize_t l = 0, r = 0;
    long long diff = 0, secondary = 0;
    for (;;) {
        if (is_digit(right[r]) && is_digit(left[l])) {
            // Two runs of digits compare by value; leading zeros only break ties.
            long long zeros = 0;
            while (right[r] == '0' && is_digit(right[r + 1])) {
                ++r;
                --zeros;
            }
            while (left[l] == '0' && is_digit(left[l + 1])) {
                ++l;
                ++zeros;
            }
            if (secondary == 0) secondary = zeros;
            diff = 0;
            for (;;) {
                if (diff == 0) diff = static_cast<long long>(left[l]) - right[r];
                ++r;
                ++l;
                if (!is_digit(right[r])) {
                    if (is_digit(left[l])) return 1;
                    if (diff != 0) return diff;
                    break;
                }
                if (!is_digit(left[l])) return -1;
            }
            continue;
        }
        if (l < left.length() && r < right.length()) {
            const Py_UCS4 a = left[l++], b = right[r++];
            diff = static_cast<long long>(lower(a)) - lower(b);
            if (diff != 0) return diff;
            if (secondary == 0) secondary = static_cast<long long>(a) - b;
            continue;
        }
        diff = static_cast<long long>(left[l]) - right[r];
        break;
    }
    return diff != 0 ? diff : secondary;
}

const char* const compare_params[] = {"left", "right"};
const py::Signature compare_sig{"DictionaryCompare", compare_params, 2, 2};

Ref dictionary_compare_function(PyObject*, PyObject** a) {
    Ref left = py::str(a[0]);
    Ref right = py::str(a[1]);
    return py::integer(dictionary_compare(CodePoints(left.get()), CodePoints(right.get())));
}

// ---------------------------------------------------------------------------
// The package-level list cast

const char* const cast_list_params[] = {"value", "item_cast"};
const py::Signature cast_list_sig{"cast_list", cast_list_params, 2, 1};

Ref cast_list(PyObject* module, PyObject** a) {
    State* st = state_of(module);
    Ref result;
    try {
        result = get_list_from_any(st, a[0], nullptr);
    } catch (const py::Error&) {
        py::Caught caught;
        if (!caught.matches(st->tcl_error)) caught.reraise();
        py::Handling handling(caught);
        py::raise_from(py::call(PyExc_ValueError, caught.value()), caught.value());
    }
    PyObject* item_cast = a[1];
    if (!item_cast || item_cast == Py_None) return result;
    const Py_ssize_t n = PyTuple_GET_SIZE(result.get());
    Ref cast = py::own(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(cast.get(), i, py::call(item_cast, PyTuple_GET_ITEM(result.get(), i)).release());
    }
    return cast;
}

// ---------------------------------------------------------------------------
// Module

PyMethodDef functions[] = {
    TARVO_DEF("_ptr_add", ptr_add_sig, ptr_add,
              "_ptr_add(ptr, count)\n--\n\nA pointer `count` bytes further on, of the type of `ptr`."),
    TARVO_DEF("_ptr_sub", ptr_sub_sig, ptr_sub,
              "_ptr_sub(ptr, count)\n--\n\nA pointer `count` bytes back, of the type of `ptr`."),
    TARVO_DEF("_ptr_diff", ptr_diff_sig, ptr_diff,
              "_ptr_diff(ptr1, ptr2)\n--\n\nThe signed distance in bytes from `ptr2` to `ptr1`."),
    TARVO_DEF("TclError_from_interp", from_interp_sig, tcl_error_from_interp,
              "TclError_from_interp(interp, default_msg=None)\n--\n\n"
              "Raise TclError with the interpreter's result, or `default_msg` when there is\n"
              "no interpreter or its result is empty."),
    TARVO_DEF("_c_char_p_from_obj", c_char_p_sig, c_char_p_from_obj,
              "_c_char_p_from_obj(obj)\n--\n\nThe UTF-8 of str(obj) (of '' for None) as a ctypes.c_char_p."),
    TARVO_DEF("GetListFromAny", get_list_sig, get_list,
              "GetListFromAny(obj, interp=None)\n--\n\n"
              "The elements of a Tcl list as a tuple: a tuple as it is, a number as a one-element\n"
              "tuple, a sequence or set as the tuple of its items, None as (), and anything else\n"
              "by its text, read with Tcl's own list parser.  Malformed text raises TclError\n"
              "with the message that Tcl leaves in `interp`, or \"invalid list element\"."),
    TARVO_DEF("DictionaryCompare", compare_sig, dictionary_compare_function,
              "DictionaryCompare(left, right)\n--\n\n"
              "Compare str(left) and str(right) in Tcl's dictionary order: negative, 0 or\n"
              "positive.  Case counts only to break ties, and digit runs compare by value."),
    TARVO_DEF("cast_list", cast_list_sig, cast_list,
              "cast_list(value, item_cast=None)\n--\n\n"
              "The elements of a Tcl list as a tuple (see GetListFromAny), each passed\n"
              "through `item_cast` when it is given.  Malformed text raises ValueError."),
};

enum FunctionIndex { PTR_ADD, PTR_SUB, PTR_DIFF, FROM_INTERP, C_CHAR_P, GET_LIST, COMPARE, CAST_LIST };

void add_function(PyObject* module, const char* name, FunctionIndex index) {
    py::add(module, name, py::function(&functions[index], module).get());
}

// ---------------------------------------------------------------------------
// Values made ready for tkinter.
//
// tkinter hands str, bytes, bool, int, float and Tcl_Obj values to Tcl as
// they are, tuples and lists of them as Tcl lists, and anything else as its
// str().  Inside a tuple or a list, a str() that raises, or a str that
// tkinter cannot encode (a lone surrogate other than the U+DC80-U+DCFF that
// stand for undecodable bytes), becomes a null Tcl object, and the process
// dies; in a callback's result, either one becomes a Tcl error with an
// empty message while the exception waits for some later mainloop.  So what
// we hand over is made ready first: every str() taken, and every str
// checked, here, where a failure raises cleanly.

// tkinter's own error for a str it cannot hand to Tcl: UnicodeEncodeError
// for a surrogate (from the encoding tkinter uses), OverflowError for a
// size Tcl cannot hold.
void check_for_tcl(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n > INT_MAX / 4) py::raise(PyExc_OverflowError, "string is too long");
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND) return;  // no surrogates below U+0100
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF && !(c >= 0xDC80 && c <= 0xDCFF)) {
            py::own(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"));
            py::raise(PyExc_UnicodeEncodeError, "surrogates not allowed");  // not reached: the encoding refuses
        }
    }
}

Ref tk_ready(State* st, PyObject* value) {
    if (PyUnicode_Check(value)) {
        check_for_tcl(value);
        return py::newref(value);
    }
    if (PyBytes_Check(value)) {
        if (PyBytes_GET_SIZE(value) > INT_MAX) py::raise(PyExc_OverflowError, "bytes object is too long");
        return py::newref(value);
    }
    if (PyLong_Check(value) || PyFloat_Check(value) || PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(st->tcl_obj))) {
        return py::newref(value);
    }
    if (PyTuple_Check(value) || PyList_Check(value)) {
        py::RecursionGuard guard(" while handing a value to Tcl");
        // The items as they are now: converting one may run code that
        // changes a list.
        Ref items = PyTuple_Check(value) ? py::newref(value) : py::own(PyList_AsTuple(value));
        const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
        Ref ready = py::own(PyTuple_New(n));
        bool same = PyTuple_CheckExact(value);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(items.get(), i);
            Ref converted = tk_ready(st, item);
            same = same && converted.get() == item;
            PyTuple_SET_ITEM(ready.get(), i, converted.release());
        }
        return same ? py::newref(value) : std::move(ready);
    }
    Ref text = py::str(value);
    check_for_tcl(text.get());
    return text;
}

const py::Signature tk_ready_sig{"_tk_ready", obj_params, 1, 1};

Ref tk_ready_function(PyObject* module, PyObject** a) { return tk_ready(state_of(module), a[0]); }

// ---------------------------------------------------------------------------
// Python callbacks as Tcl commands, with errors a user can read.
//
// tkinter calls Python from Tcl through a command procedure of its own,
// which keeps tkinter's bookkeeping of the GIL and of its thread state
// right; a command of ours that called into Python would upset it for the
// tkinter calls that run inside and after it.  But when that procedure's
// Python call raises, Tcl sees an error with an empty message while the
// exception waits for some later mainloop.  So each callback runs through
// tkinter's procedure, which our own command calls:
//
//   - tkinter makes a command for a small trampoline.  We take that
//     command's procedure and client data (Tcl_GetCommandInfo) and remove
//     the command from Tcl without letting tkinter release the data: from
//     then on both are ours, and no script can reach the trampoline.
//   - The command under the user's name calls tkinter's procedure with its
//     words.  The trampoline calls the callback and hands tkinter its
//     result made ready; when the callback raises, it writes the failure
//     down for this very call and returns normally, and our command fails
//     with a message naming the exception, the Python traceback in
//     errorInfo and the errorcode {PYTHON <type>}.
//   - An exception that is no Exception (KeyboardInterrupt, SystemExit)
//     cancels the whole evaluation instead (see tcl::raise_with_trace).
//   - The command's record counts its holders: Tcl's command, until it is
//     deleted, and every call that runs.  Deleting the command while its
//     callback runs (the callback removes itself, Tcl renames or redefines
//     it) takes full effect when the last call returns.

// What one call of a callback leaves for its command to report.
struct Outcome {
    enum Kind { OK, FAILED, INTERRUPTED } kind = OK;
    std::string message;                 // the Tcl result
    std::string trace;                   // added to errorInfo
    std::vector<std::string> errorcode;  // the words of -errorcode
};

struct TrampolineObject {
    PyObject_HEAD PyObject* callback;
    PyObject* module;      // tarvo.tcl.internal
    tcl::Interp* interp;   // the interpreter of the command
    Outcome* outcome;      // the running call's, set by the command; null outside it
    vectorcallfunc vectorcall;
};

// A str as Tcl's own bytes.
std::string tcl_text(PyObject* text) {
    py::TclBytes bytes(text);
    return std::string(bytes.bytes(), bytes.size());
}

Ref join_lines(PyObject* lines) {
    Ref empty = py::text("");
    return py::own(PyUnicode_Join(empty.get(), lines));
}

// The short name of an exception's type, as Tcl's errorcode shows it.
std::string type_name(PyObject* exc) {
    const char* name = Py_TYPE(exc)->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    return name;
}

// A str attribute of `obj`, or empty.
Ref text_attr(PyObject* obj, PyObject* name) {
    Ref value = py::getattr_optional(obj, name);
    return value && PyUnicode_Check(value.get()) ? std::move(value) : Ref();
}

// "Type: message" of an exception, as the traceback module writes its last
// line; where that fails (at the recursion limit, say), its type and str().
Ref exception_line(State* st, PyObject* exc) {
    try {
        Ref type = py::newref(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
        Ref lines = py::call_method(st->traceback, TARVO_STR("format_exception_only"), type.get(), exc);
        return py::call_method(join_lines(lines.get()).get(), TARVO_STR("rstrip"));
    } catch (const py::Error&) {
        PyErr_Clear();
    }
    const std::string name = type_name(exc);
    Ref text = Ref::steal(PyObject_Str(exc));
    if (!text) PyErr_Clear();
    if (!text || PyUnicode_GET_LENGTH(text.get()) == 0) return py::text(name.c_str());
    return py::own(PyUnicode_FromFormat("%s: %U", name.c_str(), text.get()));
}

// The Python frames of a failure: its traceback without the closing
// exception line, which the message shows; empty where it cannot be made.
Ref python_frames(State* st, PyObject* exc, PyObject* last_line) {
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    if (!tb) return {};
    try {
        Ref type = py::newref(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
        Ref full = join_lines(
            py::call_method(st->traceback, TARVO_STR("format_exception"), type.get(), exc, tb.get()).get());
        full = py::call_method(full.get(), TARVO_STR("rstrip"));
        const Py_ssize_t cut = PyUnicode_GET_LENGTH(full.get()) - PyUnicode_GET_LENGTH(last_line);
        if (cut >= 0 && py::check(PyUnicode_Tailmatch(full.get(), last_line, cut, PY_SSIZE_T_MAX, 1))) {
            full = py::call_method(py::own(PyUnicode_Substring(full.get(), 0, cut)).get(), TARVO_STR("rstrip"));
        }
        return full;
    } catch (const py::Error&) {
        PyErr_Clear();
        return {};
    }
}

// The failure of one call, written down for its command.  A TclError that
// carries Tcl's own account of a failure (an eval or a quick call inside
// the callback failed) passes on as that Tcl error: its message, its
// errorcode and its errorInfo, continued by the Python frames in between;
// so nesting adds each level's own frames and nothing more.  Any other
// exception fails with "Type: message", errorcode {PYTHON Type}, and its
// traceback in errorInfo.
void record_failure(State* st, Outcome& outcome, PyObject* exc) {
    if (!py::load_field(st->traceback)) py::fill_once(st->traceback, py::import("traceback").release());
    Ref message, info, code;
    if (py::check(PyObject_IsInstance(exc, st->tcl_error))) {
        message = text_attr(exc, TARVO_STR("message"));
        info = text_attr(exc, TARVO_STR("errorinfo"));
        code = py::getattr_optional(exc, TARVO_STR("errorcode"));
        if (code && !PyTuple_Check(code.get())) code = Ref();
    }
    const Ref last_line = exception_line(st, exc);
    if (message && info) {
        outcome.message = tcl_text(message.get());
        // errorInfo begins with the message, which Tcl writes itself.
        const Py_ssize_t skip = PyUnicode_GET_LENGTH(message.get());
        const bool starts = py::check(PyUnicode_Tailmatch(info.get(), message.get(), 0, skip, -1)) != 0;
        Ref rest = starts ? py::own(PyUnicode_Substring(info.get(), skip, PY_SSIZE_T_MAX))
                          : py::own(PyUnicode_FromFormat("\n%U", info.get()));
        outcome.trace = tcl_text(rest.get());
        outcome.errorcode.clear();
        const Py_ssize_t n = code ? PyTuple_GET_SIZE(code.get()) : 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            outcome.errorcode.push_back(tcl_text(py::str(PyTuple_GET_ITEM(code.get(), i)).get()));
        }
    } else {
        outcome.message = tcl_text(last_line.get());
        outcome.trace.clear();
        outcome.errorcode = {"PYTHON", type_name(exc)};
    }
    const Ref frames = python_frames(st, exc, last_line.get());
    if (frames && PyUnicode_GET_LENGTH(frames.get()) > 0) outcome.trace += "\n" + tcl_text(frames.get());
    outcome.kind = Outcome::FAILED;
}

// The exception in flight, taken over by the running call's outcome.
void take_failure(State* st, TrampolineObject* t, Outcome& outcome) noexcept {
    py::Caught caught;
    PyObject* exc = caught.value();
    try {
        if (!exc) py::raise(PyExc_SystemError, "a callback failed without an exception");
        tcl::Watch* w = tcl::find_watch(t->interp);
        const bool unwinding = w && (w->unwinding || w->any_expired());
        if (!caught.matches(PyExc_Exception) || unwinding) {
            // Stops the whole evaluation; the eval or quick call that
            // started it raises the exception.  So does what a call inside
            // the callback raised while the evaluation unwinds from further
            // out (a signal handler's exception, a timeout further out).
            if (w) w->unwinding = false;
            Ref key = tcl::interrupt_key(t->interp);
            py::check(PyDict_SetItem(st->interrupts, key.get(), exc));
            outcome.kind = Outcome::INTERRUPTED;
            outcome.message = type_name(exc);
            Ref text = py::str(exc);
            if (PyUnicode_GET_LENGTH(text.get()) > 0) outcome.message += ": " + tcl_text(text.get());
            // As Tcl marks an evaluation cancelled to the end (which the
            // interpreter's background-error handler then leaves alone:
            // the call that started it reports it).
            outcome.errorcode = {"TCL", "CANCEL", "IUNWIND", outcome.message};
            return;
        }
        record_failure(st, outcome, exc);
    } catch (...) {
        // Writing the failure down failed too (no memory, say): the type
        // stands for it.
        PyErr_Clear();
        outcome.kind = outcome.kind == Outcome::INTERRUPTED ? Outcome::INTERRUPTED : Outcome::FAILED;
        try {
            outcome.message = "Python callback failed: " + (exc ? type_name(exc) : std::string("?"));
            outcome.trace.clear();
            outcome.errorcode = {"PYTHON", exc ? type_name(exc) : std::string("?")};
        } catch (...) {
            outcome.message.clear();
        }
    }
}

PyObject* trampoline_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* t = reinterpret_cast<TrampolineObject*>(self);
    if (!t->callback) {
        PyErr_SetString(PyExc_RuntimeError, "the callback of this Tcl command is gone");
        return nullptr;
    }
    Ref keep = py::newref(self);
    Ref callback = py::newref(t->callback);
    Outcome* outcome = t->outcome;
    // Outside a call of its command (somebody found it and called it), it
    // is a plain call of the callback.
    if (!outcome) return PyObject_Vectorcall(callback.get(), args, nargsf, kwnames);
    State* st = state_of(t->module);
    PyObject* result = PyObject_Vectorcall(callback.get(), args, nargsf, kwnames);
    if (result) {
        Ref owned = Ref::steal(result);
        PyObject* ready = py::entry("Tcl callback", [&] { return tk_ready(st, owned.get()); });
        if (ready) return ready;
    }
    take_failure(st, t, *outcome);
    return py::newref(TARVO_STR("")).release();
}

int trampoline_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<TrampolineObject*>(self)->callback);
    Py_VISIT(reinterpret_cast<TrampolineObject*>(self)->module);
    return 0;
}

int trampoline_clear(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<TrampolineObject*>(self)->callback);
    Py_CLEAR(reinterpret_cast<TrampolineObject*>(self)->module);
    return 0;
}

void trampoline_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    trampoline_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef trampoline_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(TrampolineObject, vectorcall), READONLY, nullptr},
    {"callback", T_OBJECT, offsetof(TrampolineObject, callback), READONLY, "the Python callable"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot trampoline_slots[] = {
    {Py_tp_doc, const_cast<char*>("Calls a Python callback for its Tcl command and writes its failures down.")},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(trampoline_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(trampoline_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(trampoline_dealloc)},
    {Py_tp_members, trampoline_members},
    {0, nullptr},
};

PyType_Spec trampoline_spec = {"tarvo.tcl.internal._Trampoline", sizeof(TrampolineObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL, trampoline_slots};

struct KeeperObject;

// The command under the user's name; Tcl holds it through its client data.
struct Command {
    int holds = 1;                // Tcl's command, until it is deleted, and every running call
    tcl::ObjCmdProc proc;         // tkinter's command procedure,
    void* data;                   // its client data (which holds the trampoline),
    tcl::CmdDeleteProc release;   // and what releases that data
    void* release_data;
    TrampolineObject* trampoline;
    void* token = nullptr;           // Tcl's command
    KeeperObject* keeper = nullptr;  // the interpreter's keeper, which lists the command
    Command* prev = nullptr;
    Command* next = nullptr;
};

// ---------------------------------------------------------------------------
// What an interpreter holds, and closing it.
//
// tkinter's data of a command holds its application object and the Python
// callable; the interpreter holds the command.  Tcl is not Python: the
// garbage collector sees neither hold, so an application object with a
// callback command would keep itself alive, and a callback that refers to
// its interpreter would keep both alive, for ever.  Each interpreter that
// Interpreter() starts has a keeper, in its instance dict: it lists the
// callback commands that tkinter's data still holds, and stands for that
// data's hold on their trampolines when the collector counts references.
// So the collector finds an unreachable interpreter with its callbacks;
// clearing or freeing the keeper deletes the commands, which lets go of
// everything they held, and closes what Expect spawned.  The Tcl
// interpreter itself then goes as it always did, with the last holder of
// its application object.
//
// Closing deletes the Tcl interpreter at once.  tkinter deletes it only when
// its application object is freed, and calls it on every use until then:
// so the application object gets a stand-in, an interpreter of its thread
// that is deleted but kept (Tcl_Preserve), where any use fails cleanly.
//
// Deleting commands and interpreters must run where tkinter runs Tcl (the
// GIL let go, its own thread state kept for the delete procedures of its
// commands): it is done by the delete procedure of a command of ours,
// deleted through tkinter.

struct KeeperObject {
    PyObject_HEAD PyObject* app;  // tkinter's application object
    tcl::Interp* interp;          // its interpreter; null once closed
    Command* commands;            // the callback commands whose data tkinter still holds
};

KeeperObject* as_keeper(PyObject* self) { return reinterpret_cast<KeeperObject*>(self); }

void unlink(Command* command) noexcept {
    KeeperObject* keeper = command->keeper;
    if (!keeper) return;
    if (command->prev) command->prev->next = command->next;
    else keeper->commands = command->next;
    if (command->next) command->next->prev = command->prev;
    command->keeper = nullptr;
    command->prev = command->next = nullptr;
}

// Drops one hold; the last one releases tkinter's data (tkinter takes the
// GIL for that itself) and the record.  Runs inside Tcl only, where tkinter
// has let the GIL go; the keeper's list changes under the GIL, which the
// collector holds while it reads it.
void drop(Command* command) noexcept {
    if (--command->holds > 0) return;
    if (command->keeper) {
        PyGILState_STATE gil = PyGILState_Ensure();
        unlink(command);
        PyGILState_Release(gil);
    }
    if (command->release) command->release(command->release_data);
    delete command;
}

// The deleted stand-in interpreter of this thread.
tcl::Interp* stand_in() {
    thread_local tcl::Interp* closed = nullptr;
    if (!closed) {
        const tcl::Api& api = tcl::api();
        tcl::Interp* made = api.CreateInterp();
        if (!made) py::raise(PyExc_MemoryError, "cannot make a Tcl interpreter");
        api.Preserve(made);  // for the life of the thread: tkinter calls it until its object goes
        api.DeleteInterp(made);
        closed = made;
    }
    return closed;
}

// What the delete procedure of our closing command does (see above):
// delete the keeper's commands, or give the application object the
// stand-in and delete the interpreter.
struct Closing {
    KeeperObject* keeper;
    tcl::Interp* stand_in;  // null: the commands only
};

int closing_proc(void*, tcl::Interp*, int, tcl::Obj* const*) noexcept { return tcl::TCL_OK; }

void closing_delete(void* data) noexcept {
    auto* closing = static_cast<Closing*>(data);
    KeeperObject* keeper = closing->keeper;
    const tcl::Api& api = tcl::api_loaded();
    // Each deletion drops its command from the list.  (Deleting the
    // interpreter would delete them, but for one that is never quite
    // deleted: see CLOSE_SPAWNED.)
    while (Command* command = keeper->commands) {
        void* token = command->token;
        unlink(command);
        api.DeleteCommandFromToken(keeper->interp, token);
    }
    if (closing->stand_in) {
        reinterpret_cast<tcl::detail::AppPrefix*>(keeper->app)->interp = closing->stand_in;
        api.DeleteInterp(keeper->interp);
    }
}

// The programs that Expect spawned in the interpreter: their spawn ids are
// closed and let go (`exp_wait -nowait`, else Expect keeps a descriptor of
// each for ever), and their process ids returned, to be reaped once the
// interpreter is gone.  Closing the interpreter also closes (so flushes)
// every other channel it has but the standard ones: deleting an
// interpreter would, but one that has loaded Expect is never quite deleted
// (Expect holds on to it), and its channels would stay open.
constexpr const char* CLOSE_SPAWNED = R"tcl(
namespace eval ::tcl::_tarvo {
    variable pids {}
    if {[llength [info commands ::exp_pid]]} {
        foreach id [file channels exp*] {
            if {$id in {exp0 exp1 exp2}} continue
            if {![catch {::exp_pid -i $id} pid] && $pid > 0} {
                lappend pids $pid
                catch {::exp_close -i $id}
                catch {::exp_wait -nowait -i $id}
            }
        }
    }
    if {$closing} {
        foreach id [file channels] {
            if {$id ni {stdin stdout stderr exp0 exp1 exp2}} {catch {::close $id}}
        }
    }
    set pids
}
)tcl";

std::vector<long> close_spawned(PyObject* app, bool closing) {
    std::vector<long> pids;
    Ref script = py::own(PyUnicode_FromFormat("namespace eval ::tcl::_tarvo {variable closing %d}\n%s", closing ? 1 : 0,
                                              CLOSE_SPAWNED));
    Ref found = Ref::steal(PyObject_CallMethodOneArg(app, TARVO_STR("eval"), script.get()));
    if (!found) {
        py::Caught caught;
        if (!caught.matches(PyExc_Exception)) caught.reraise();
        return pids;
    }
    Ref words = py::call_method(app, TARVO_STR("splitlist"), found.get());
    const Py_ssize_t n = PySequence_Size(words.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref word = py::own(PySequence_GetItem(words.get(), i));
        Ref number = Ref::steal(PyNumber_Long(word.get()));
        if (!number) {
            PyErr_Clear();
            continue;
        }
        const long pid = PyLong_AsLong(number.get());
        if (pid > 0) pids.push_back(pid);
        PyErr_Clear();
    }
    return pids;
}

// Waits for the children a little while, then kills those still there.
// Only our own children are waited for, or killed.
void reap(const std::vector<long>& pids) {
    if (pids.empty()) return;
    std::vector<pid_t> left;
    for (long pid : pids) left.push_back(static_cast<pid_t>(pid));
    Py_BEGIN_ALLOW_THREADS
    for (int round = 0; round < 50 && !left.empty(); ++round) {  // about half a second
        std::vector<pid_t> still;
        for (pid_t pid : left) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == 0) still.push_back(pid);
        }
        left.swap(still);
        if (!left.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (pid_t pid : left) {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    Py_END_ALLOW_THREADS
}

// Closes the interpreter of `keeper`, or with `whole` false deletes its
// callback commands only (see above); either way, what Expect spawned is
// closed and reaped.  Nothing where it is closed already.  `st` is null
// where the module is gone before the keeper.
void close_keeper(State* st, KeeperObject* keeper, bool whole) {
    if (!keeper->interp) return;
    const auto* fields = tcl::app_fields(keeper->app);
    if (!fields || fields->interp != keeper->interp) {
        keeper->interp = nullptr;  // not the interpreter it kept: nothing left to close
        return;
    }
    tcl::require_owner(fields);
    const tcl::Api& api = tcl::api();
    if (api.InterpActive(keeper->interp)) {
        py::raise(PyExc_RuntimeError,
                  "a Tcl interpreter cannot be closed while it evaluates (from a callback, say): close it after "
                  "the call that runs returns");
    }
    const std::vector<long> pids = close_spawned(keeper->app, whole);
    if (!keeper->interp) return;  // closed meanwhile, by what that ran
    Closing closing{keeper, whole ? stand_in() : nullptr};
    static const char name[] = "::tarvo::_close";
    Ref name_text = py::text(name);
    if (!api.CreateObjCommand(keeper->interp, name, closing_proc, &closing, closing_delete)) {
        py::raise(PyExc_RuntimeError, "cannot close the Tcl interpreter");
    }
    Ref deleted = Ref::steal(PyObject_CallMethodOneArg(keeper->app, TARVO_STR("deletecommand"), name_text.get()));
    if (!whole) {
        if (!deleted) py::fail();
        reap(pids);
        return;
    }
    if (fields->interp != closing.stand_in) {
        // tkinter did not get to the command: take the procedure back.
        tcl::CmdInfo info{};
        if (api.GetCommandInfo(keeper->interp, name, &info)) {
            info.deleteProc = nullptr;
            api.SetCommandInfo(keeper->interp, name, &info);
        }
        if (!deleted) py::fail();
        py::raise(PyExc_RuntimeError, "cannot close the Tcl interpreter");
    }
    if (!deleted) PyErr_Clear();  // the stand-in's answer
    if (st && st->interrupts) {
        Ref key = tcl::interrupt_key(keeper->interp);
        if (PyDict_DelItem(st->interrupts, key.get()) < 0) PyErr_Clear();
    }
    keeper->interp = nullptr;
    reap(pids);
}

PyObject* keeper_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::entry("_Keeper", [&]() -> Ref {
        if (PyTuple_GET_SIZE(args) != 1 || (kwargs && PyDict_GET_SIZE(kwargs))) {
            py::raise(PyExc_TypeError, "_Keeper() takes one argument: a tkinter application object");
        }
        PyObject* app = PyTuple_GET_ITEM(args, 0);
        const auto* fields = tcl::app_fields(app);
        if (!fields) py::raise(PyExc_TypeError, "_Keeper() needs a tkinter application object");
        tcl::require_owner(fields);
        tcl::Watch* w = tcl::find_watch(fields->interp);
        if (!w) py::raise(PyExc_RuntimeError, "_Keeper() needs an interpreter that is watched");
        if (w->keeper) py::raise(PyExc_RuntimeError, "this interpreter has a keeper already");
        Ref self = py::own(type->tp_alloc(type, 0));
        KeeperObject* keeper = as_keeper(self.get());
        keeper->app = py::newref(app).release();
        keeper->interp = fields->interp;
        keeper->commands = nullptr;
        w->keeper = keeper;
        return self;
    });
}

// Lets go of the commands (and of the watch's note of the keeper) where the
// interpreter could not be closed.
void detach(KeeperObject* keeper) noexcept {
    while (keeper->commands) unlink(keeper->commands);
    if (keeper->interp) {
        if (tcl::Watch* w = tcl::find_watch(keeper->interp); w && w->keeper == keeper) w->keeper = nullptr;
    }
}

// Lets go of the callback commands and the spawned programs where that can
// be done here (its own thread, not while it evaluates, not while Python
// shuts down); never raises.
// The state of the keeper's module; null where the collector has already
// taken the module apart, in a cycle that the keeper is part of (as when
// every one of our modules is dropped from sys.modules and collected).
State* keeper_state(PyObject* self) noexcept {
    PyObject* module = PyType_GetModule(Py_TYPE(self));
    if (!module) {
        PyErr_Clear();
        return nullptr;
    }
    return state_of(module);
}

void release_quietly(PyObject* self) noexcept {
    KeeperObject* keeper = as_keeper(self);
    if (!keeper->interp || !keeper->app || tcl::python_finalizing()) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
        close_keeper(keeper_state(self), keeper, false);
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

int keeper_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    // tkinter's hold on each trampoline, which the collector cannot see.
    for (Command* command = as_keeper(self)->commands; command; command = command->next) {
        Py_VISIT(reinterpret_cast<PyObject*>(command->trampoline));
    }
    return 0;
}

int keeper_clear(PyObject* self) noexcept {
    release_quietly(self);
    return 0;
}

void keeper_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    release_quietly(self);
    KeeperObject* keeper = as_keeper(self);
    detach(keeper);
    Py_CLEAR(keeper->app);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* keeper_close(PyObject* self, PyObject*) noexcept {
    return py::entry("_Keeper.close", [&] {
        KeeperObject* keeper = as_keeper(self);
        close_keeper(keeper_state(self), keeper, true);
        if (!keeper->interp) detach(keeper);
        return py::none();
    });
}

PyObject* keeper_closed(PyObject* self, void*) noexcept {
    return py::newref(as_keeper(self)->interp ? Py_False : Py_True).release();
}

PyMethodDef keeper_methods[] = {
    {"close", keeper_close, METH_NOARGS, PyDoc_STR("close()\n--\n\nDelete the Tcl interpreter now.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef keeper_getset[] = {
    {"closed", keeper_closed, nullptr, PyDoc_STR("Whether the interpreter was closed."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot keeper_slots[] = {
    {Py_tp_doc, const_cast<char*>("_Keeper(app)\n--\n\n"
                                  "What closes a Tcl interpreter, and lets the garbage collector see what its\n"
                                  "callback commands hold.")},
    {Py_tp_new, reinterpret_cast<void*>(keeper_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(keeper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(keeper_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(keeper_dealloc)},
    {Py_tp_methods, keeper_methods},
    {Py_tp_getset, keeper_getset},
    {0, nullptr},
};

PyType_Spec keeper_spec = {"tarvo.tcl.internal._Keeper", sizeof(KeeperObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, keeper_slots};

// Fails the running Tcl command as the outcome says.
int report(tcl::Interp* interp, const Outcome& outcome) {
    const tcl::Api& api = tcl::api_loaded();
    auto text = [&](const std::string& s) { return api.NewStringObj(s.data(), static_cast<tcl::Size>(s.size())); };
    if (outcome.kind == Outcome::INTERRUPTED && api.CancelEval) {
        // Tcl sets the cancellation through an asynchronous handler; run it
        // now, so that it holds for this evaluation from this command on.
        api.CancelEval(interp, text(outcome.message), nullptr, tcl::CANCEL_UNWIND);
        api.AsyncInvoke(interp, tcl::TCL_ERROR);
    }
    api.SetObjResult(interp, text(outcome.message));
    if (!outcome.trace.empty()) {
        api.AddObjErrorInfo(interp, outcome.trace.data(), static_cast<tcl::Size>(outcome.trace.size()));
    }
    std::vector<tcl::Obj*> words;
    for (const std::string& word : outcome.errorcode) words.push_back(text(word));
    api.SetObjErrorCode(interp, api.NewListObj(static_cast<tcl::Size>(words.size()), words.data()));
    return tcl::TCL_ERROR;
}

int command_proc(void* data, tcl::Interp* interp, int objc, tcl::Obj* const objv[]) noexcept {
    auto* command = static_cast<Command*>(data);
    ++command->holds;
    Outcome outcome;
    TrampolineObject* t = command->trampoline;
    Outcome* outer = t->outcome;  // a call of the same command further out
    t->outcome = &outcome;
    int code = command->proc(command->data, interp, objc, objv);
    t->outcome = outer;
    if (code == tcl::TCL_OK && outcome.kind != Outcome::OK) {
        try {
            code = report(interp, outcome);
        } catch (...) {  // std::bad_alloc
            static const char message[] = "out of memory in a Python callback";
            const tcl::Api& api = tcl::api_loaded();
            api.SetObjResult(interp, api.NewStringObj(message, static_cast<tcl::Size>(sizeof message - 1)));
            code = tcl::TCL_ERROR;
        }
    }
    drop(command);
    return code;
}

void command_delete(void* data) noexcept { drop(static_cast<Command*>(data)); }

const char* const createcommand_params[] = {"app", "name", "callback"};
const py::Signature createcommand_sig{"_createcommand", createcommand_params, 3, 3};

// _createcommand(app, name, callback): creates the Tcl command `name` in the
// Tcl application object `app`, calling `callback` with the command's words
// as strings; Tcl gets its result as tkinter hands it over, and an
// exception it raises becomes a Tcl error naming it, with the Python
// traceback in errorInfo.  A command of that name is replaced.  Only the
// interpreter's own thread may call it.
Ref createcommand(PyObject* module, PyObject** a) {
    PyObject *app = a[0], *name = a[1], *callback = a[2];
    if (!PyUnicode_Check(name)) py::raise(PyExc_TypeError, "a Tcl command name must be a str");
    if (!PyCallable_Check(callback)) py::raise(PyExc_TypeError, "the callback must be callable");
    State* st = state_of(module);
    const tcl::Api& api = tcl::api();
    tcl::Interp* interp = tcl::interp_of(app);
    const std::string tcl_name = tcl_text(name);

    // A command of that name goes first, through tkinter: deleting it may
    // run its delete procedure, which for tkinter's commands (and ours)
    // needs tkinter's bookkeeping around it.
    Ref rename = py::own(Py_BuildValue("(sOs)", "rename", name, ""));
    py::call_method(app, TARVO_STR("call"), TARVO_STR("catch"), rename.get());

    auto command = std::make_unique<Command>();
    auto* type = reinterpret_cast<PyTypeObject*>(st->trampoline_type);
    Ref trampoline = py::own(type->tp_alloc(type, 0));
    auto* t = reinterpret_cast<TrampolineObject*>(trampoline.get());
    t->vectorcall = trampoline_call;
    t->callback = py::newref(callback).release();
    t->module = py::newref(module).release();
    t->interp = interp;
    t->outcome = nullptr;
    command->trampoline = t;

    const std::string hidden = "::tarvo::_callbacks::" + std::to_string(++st->callbacks);
    Ref hidden_name = py::text(hidden.c_str());
    py::call_method(app, TARVO_STR("createcommand"), hidden_name.get(), trampoline.get());
    Ref remove_hidden = py::own(Py_BuildValue("(sOs)", "rename", hidden_name.get(), ""));
    tcl::CmdInfo info{};
    if (!api.GetCommandInfo(interp, hidden.c_str(), &info) || !info.isNativeObjectProc) {
        py::call_method(app, TARVO_STR("call"), TARVO_STR("catch"), remove_hidden.get());
        py::raise(PyExc_RuntimeError, "tkinter made no Tcl object command for the callback");
    }
    command->proc = info.objProc;
    command->data = info.objClientData;
    command->release = info.deleteProc;
    command->release_data = info.deleteData;

    // The hidden command goes, its data stays: ours from now on.
    tcl::CmdInfo kept = info;
    kept.deleteProc = nullptr;
    kept.deleteData = nullptr;
    api.SetCommandInfo(interp, hidden.c_str(), &kept);
    PyObject* removed = PyObject_CallMethodObjArgs(app, TARVO_STR("call"), TARVO_STR("catch"), remove_hidden.get(),
                                                   nullptr);
    if (!removed) {
        api.SetCommandInfo(interp, hidden.c_str(), &info);  // tkinter's again
        py::fail();
    }
    Py_DECREF(removed);
    // Listed by the interpreter's keeper, which stands for tkinter's hold on
    // the trampoline (see KeeperObject).
    if (tcl::Watch* w = tcl::find_watch(interp); w && w->keeper) {
        auto* keeper = static_cast<KeeperObject*>(w->keeper);
        command->keeper = keeper;
        command->next = keeper->commands;
        if (keeper->commands) keeper->commands->prev = command.get();
        keeper->commands = command.get();
    }
    Command* made = command.release();
    made->token = api.CreateObjCommand(interp, tcl_name.c_str(), command_proc, made, command_delete);
    return py::none();
}

PyMethodDef createcommand_def = TARVO_DEF("_createcommand", createcommand_sig, createcommand,
                                          "_createcommand(app, name, callback)\n--\n\n"
                                          "Create the Tcl command `name` calling `callback`; its exceptions become "
                                          "readable Tcl errors.");

PyMethodDef tk_ready_def = TARVO_DEF("_tk_ready", tk_ready_sig, tk_ready_function,
                                     "_tk_ready(obj)\n--\n\n"
                                     "`obj` as tkinter can hand it to Tcl: str, bytes, numbers and Tcl_Obj as they\n"
                                     "are, tuples and lists as tuples of such values, anything else as its str().\n"
                                     "A str that Tcl cannot take raises here.");

int exec_module(PyObject* module) noexcept {
    return py::entry_int("tarvo.tcl.internal", [&] {
        State* st = state_of(module);
        Ref ctypes = py::import("ctypes");
        py::add(module, "ctypes", ctypes.get());
        py::import("ctypes.util");
        Ref tkinter = py::import("tkinter");
        py::add(module, "tkinter", tkinter.get());
        Ref sequence = py::import_from("collections.abc", "Sequence");
        Ref set = py::import_from("collections.abc", "Set");
        py::add(module, "Sequence", sequence.get());
        py::add(module, "Set", set.get());
        py::keep(st->sequence, std::move(sequence));
        py::keep(st->set, std::move(set));
        py::keep(st->cast, py::getattr(ctypes.get(), "cast"));
        py::keep(st->void_p, py::getattr(ctypes.get(), "c_void_p"));
        py::keep(st->char_p, py::getattr(ctypes.get(), "c_char_p"));
        py::keep(st->argument_error, py::getattr(ctypes.get(), "ArgumentError"));
        py::keep(st->tk, py::getattr(tkinter.get(), "Tk"));
        py::keep(st->tcl_error, py::getattr(tkinter.get(), "TclError"));
        py::keep(st->invalid_element, py::text("invalid list element"));
        py::keep(st->empty, py::own(PyTuple_New(0)));

        py::add(module, "ReturnCodes", make_return_codes(module).get());
        int major = 0;  // of TclDLL's library
        Ref library = open_tcl_library(py::getattr(ctypes.get(), "CDLL").get(), tcl::api().major, major);
        py::add(module, "TclDLL", library.get());

        add_function(module, "_ptr_add", PTR_ADD);
        add_function(module, "_ptr_sub", PTR_SUB);
        add_function(module, "_ptr_diff", PTR_DIFF);
        add_function(module, "TclError_from_interp", FROM_INTERP);
        Ref interp_p = make_interp_p(module, st->void_p);
        py::add(module, "Tcl_Interp_p", interp_p.get());
        define_layouts(module, ctypes.get(), major);

        declare_routines(module, library.get(), ctypes.get(), interp_p.get(), major);
        py::keep(st->interp_p, std::move(interp_p));

        add_function(module, "_c_char_p_from_obj", C_CHAR_P);
        add_function(module, "GetListFromAny", GET_LIST);
        add_function(module, "DictionaryCompare", COMPARE);
        add_function(module, "_cast_list", CAST_LIST);

        py::keep(st->trampoline_type, py::own(PyType_FromModuleAndSpec(module, &trampoline_spec, nullptr)));
        py::add(module, "_createcommand", py::function(&createcommand_def, module).get());
        py::keep(st->tcl_obj, py::import_from("_tkinter", "Tcl_Obj"));
        py::add(module, "_tk_ready", py::function(&tk_ready_def, module).get());
        py::keep(st->interrupts, py::own(PyDict_New()));
        py::add(module, "_interrupts", st->interrupts);
        py::keep(st->keeper_type, py::own(PyType_FromModuleAndSpec(module, &keeper_spec, nullptr)));
        py::add(module, "_Keeper", st->keeper_type);
        return 0;
    });
}

}  // namespace

TARVO_MODULE(internal, "The Tcl C library underneath tkinter's interpreter, reached directly.", State, exec_module)
