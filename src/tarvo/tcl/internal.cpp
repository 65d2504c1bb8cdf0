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

#include <structmember.h>

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
    unsigned long long callbacks = 0;     // hidden callback commands made so far
    static constexpr PyObject* State::* fields[] = {
        &State::cast,     &State::void_p,          &State::char_p,   &State::argument_error,
        &State::tk,       &State::tcl_error,       &State::sequence, &State::set,
        &State::interp_p, &State::invalid_element, &State::empty,    &State::trampoline_type,
    };
};

State* state_of(PyObject* module) { return py::state<State>(module); }

// ---------------------------------------------------------------------------
// ReturnCodes and the library

// Library names tried in order, oldest Tcl first; the loader searches its
// usual places for each.
const char* const library_names[] = {
    "libtcl8.4.so",   "libtcl8.4.dylib", "libtcl8.5.so",    "libtcl8.5.dylib",
    "libtcl8.6.so.0", "libtcl8.6.so",    "libtcl8.6.dylib",
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
    try {
        return pointer_of(interp_param(st, interp).get());
    } catch (const py::Error&) {
        py::Caught caught;
        if (!caught.matches(PyExc_Exception)) caught.reraise();
        const char* type_name = Py_TYPE(caught.value())->tp_name;
        if (const char* dot = std::strrchr(type_name, '.')) type_name = dot + 1;
        Ref text = Ref::steal(PyObject_Str(caught.value()));
        if (!text) {
            PyErr_Clear();
            text = py::text("???");
        }
        py::raise_format(st->argument_error, "argument 1: %s: %U", type_name, text.get());
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

void define_layouts(PyObject* module, PyObject* ctypes) {
    auto type = [&](const char* name) { return py::getattr(ctypes, name); };
    Ref structure = type("Structure"), union_ = type("Union");
    Ref c_char_p = type("c_char_p"), c_void_p = type("c_void_p"), c_int = type("c_int");
    Ref c_long = type("c_long"), c_double = type("c_double"), wide_int = type("c_longlong");
    py::add(module, "Tcl_WideInt", wide_int.get());

    Ref obj_type_fields = fields({{"name", c_char_p.get()},
                                  {"freeIntRepProc", c_void_p.get()},
                                  {"dupIntRepProc", c_void_p.get()},
                                  {"updateStringProc", c_void_p.get()},
                                  {"setFromAnyProc", c_void_p.get()}});
    Ref obj_type = make_class(module, structure.get(), "Tcl_ObjType", "Tcl_ObjType",
                              "Tcl's C `Tcl_ObjType`: a type name and four routine addresses.",
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
                fields({{"refCount", c_int.get()},
                        {"bytes", c_char_p.get()},
                        {"length", c_int.get()},
                        {"typePtr", type_pointer.get()},
                        {"internalRep", internal_rep.get()}})
                    .get());
    py::add(module, "Tcl_Obj", obj.get());
}

// The prototypes of the four routines, declared on the library.
void declare_routines(PyObject* module, PyObject* library, PyObject* ctypes, PyObject* interp_p) {
    Ref c_int = py::getattr(ctypes, "c_int"), c_char_p = py::getattr(ctypes, "c_char_p");
    Ref char_pp = pointer_type(module, ctypes, c_char_p.get());
    Ref int_p = pointer_type(module, ctypes, c_int.get());
    auto declare = [&](const char* name, Ref argtypes, PyObject* restype) {
        Ref routine = py::getattr(library, name);
        py::setattr(routine.get(), "argtypes", argtypes.get());
        py::setattr(routine.get(), "restype", restype);
    };
    declare("TclFindElement",
            py::own(Py_BuildValue("[OOOOOOO]", interp_p, c_char_p.get(), c_int.get(), char_pp.get(), char_pp.get(),
                                  int_p.get(), int_p.get())),
            c_int.get());
    declare("TclCopyAndCollapse", py::own(Py_BuildValue("[OOO]", c_int.get(), c_char_p.get(), c_char_p.get())),
            c_int.get());
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
    const Py_ssize_t length = text.size();
    if (length == 0) return py::newref(st->empty);
    tcl::Interp* handle = interp_argument(st, interp);
    if (length > INT_MAX) {
        py::raise_format(PyExc_OverflowError, "list text too long for Tcl: %zd bytes (at most %d)", length, INT_MAX);
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

// What the callback's last failure left for its command to report; shared
// by the trampoline (a Python object) and the command (owned by Tcl).
struct Outcome {
    bool failed = false;
    std::string message;  // Tcl's own encoding
    std::string trace;
};

struct TrampolineObject {
    PyObject_HEAD PyObject* callback;
    std::shared_ptr<Outcome>* outcome;
    vectorcallfunc vectorcall;
};

// A str as Tcl's own bytes.
std::string tcl_text(PyObject* text) {
    py::TclBytes bytes(text);
    return std::string(bytes.bytes(), static_cast<size_t>(bytes.size()));
}

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
        outcome.message = tcl_text(message.get());
        Ref frames =
            tb ? py::call_method(traceback.get(), TARVO_STR("format_exception"), type.get(), caught.value(), tb.get())
               : py::own(PyList_New(0));
        Ref trace = py::own(PyUnicode_Join(empty.get(), frames.get()));
        Ref stripped = py::call_method(trace.get(), TARVO_STR("rstrip"));
        outcome.trace = tcl_text(stripped.get());
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
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL, trampoline_slots};

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
        State* st = state_of(module);
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
        const std::string tcl_name = tcl_text(name);
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
        Ref library = open_tcl_library(py::getattr(ctypes.get(), "CDLL").get());
        py::add(module, "TclDLL", library.get());

        add_function(module, "_ptr_add", PTR_ADD);
        add_function(module, "_ptr_sub", PTR_SUB);
        add_function(module, "_ptr_diff", PTR_DIFF);
        add_function(module, "TclError_from_interp", FROM_INTERP);
        Ref interp_p = make_interp_p(module, st->void_p);
        py::add(module, "Tcl_Interp_p", interp_p.get());
        define_layouts(module, ctypes.get());

        declare_routines(module, library.get(), ctypes.get(), interp_p.get());
        py::keep(st->interp_p, std::move(interp_p));
        tcl::load(library.get());

        add_function(module, "_c_char_p_from_obj", C_CHAR_P);
        add_function(module, "GetListFromAny", GET_LIST);
        add_function(module, "DictionaryCompare", COMPARE);
        add_function(module, "_cast_list", CAST_LIST);

        py::keep(st->trampoline_type, py::own(PyType_FromModuleAndSpec(module, &trampoline_spec, nullptr)));
        py::add(module, "_createcommand", py::function(&createcommand_def, module).get());
        return 0;
    });
}

}  // namespace

TARVO_MODULE(internal, "The Tcl C library underneath tkinter's interpreter, reached directly.", State, exec_module)
