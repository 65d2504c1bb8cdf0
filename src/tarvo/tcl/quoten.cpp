// tarvo.tcl.quoten: Python values as Tcl text and as Tcl objects.
//
// `quoten(obj)` renders any value as the Tcl string that stands for it:
// text unchanged, None as the empty string, booleans as true/false, numbers
// by their Python string, and sequences, sets and mappings as Tcl lists
// quoted element by element the way Tcl's own list writer does it
// (Tcl_ScanElement / Tcl_ConvertElement, whose names the helpers carry).
// `tclobj(obj)` gives instead what tkinter's bridge turns into a native Tcl
// object: text, bytes, booleans, floats, machine-size integers and Tcl_Obj
// unchanged, containers as tuples.  Objects take part through
// `__quoten__()` and `__tclobj__()`.
//
// The list writer walks code points in C++: one pass over an element finds
// its flags (a bitmask here; a set of flag names only where a caller sees
// them) and the size of its quoted form, and the whole list string is
// written once into a string of the right width.  Exact built-in types,
// which cannot carry the protocol methods, skip the attribute lookups.
//
// `Secret(value)` is a value that Tcl must receive but nobody should read in
// the call history or its log: both conversions give its value, except while
// `_quoten_masked` writes the text a quick call is recorded with, when they
// give the mask **** instead.
#include "_cxx/py.hpp"
#include "_cxx/function.hpp"

#include <cstring>
#include <vector>

namespace py = tarvo::py;
using py::Ref;

namespace {

extern PyModuleDef quoten_module;

struct State {
    PyObject* mapping = nullptr;   // collections.abc.Mapping
    PyObject* sequence = nullptr;  // collections.abc.Sequence
    PyObject* set = nullptr;       // collections.abc.Set
    PyObject* tcl_obj = nullptr;   // _tkinter.Tcl_Obj
    PyObject* function_type = nullptr;
    PyObject* secret_type = nullptr;  // Secret
    long long maxsize = 0;            // _sysmaxsize: tclobj passes ints in [-maxsize - 1, maxsize] through
    static constexpr PyObject* State::* fields[] = {&State::mapping, &State::sequence,      &State::set,
                                                    &State::tcl_obj, &State::function_type, &State::secret_type};
};

State* state_of(PyObject* module) { return py::state<State>(module); }

// ---------------------------------------------------------------------------
// Element flags and character classes.

enum Flag : unsigned {
    USE_BRACES = 1,        // may be enclosed in braces, unchanged
    DONT_USE_BRACES = 2,   // braces must not be used: escape instead
    BRACES_UNMATCHED = 4,  // escaped form escapes every brace too
};

PyObject* flag_name(Flag flag) {
    switch (flag) {
        case USE_BRACES: return TARVO_STR("USE_BRACES");
        case DONT_USE_BRACES: return TARVO_STR("TCL_DONT_USE_BRACES");
        case BRACES_UNMATCHED: return TARVO_STR("BRACES_UNMATCHED");
    }
    return nullptr;
}

constexpr Flag all_flags[] = {USE_BRACES, DONT_USE_BRACES, BRACES_UNMATCHED};

enum CharClass : unsigned char {
    OPEN = 1,       // {
    CLOSE = 2,      // }
    FORCING = 4,    // [ $ ; blank and the five white-space controls: braces needed
    BACKSLASH = 8,  // the escape character
    ESCAPED = 16,   // written as a backslash and the character in escaped form
    NAMED = 32,     // written as a backslash and a letter in escaped form
};

struct ClassTable {
    unsigned char of[128] = {};
    char name[128] = {};  // the letter of a NAMED control
    constexpr ClassTable() {
        of[int('{')] = OPEN;
        of[int('}')] = CLOSE;
        for (char c : {'[', '$', ';', ' '}) of[int(c)] = FORCING | ESCAPED;
        of[int(']')] = ESCAPED;
        of[int('"')] = ESCAPED;
        of[int('\\')] = BACKSLASH | ESCAPED;
        const char controls[] = {'\f', '\n', '\r', '\t', '\v'};
        const char letters[] = {'f', 'n', 'r', 't', 'v'};
        for (int i = 0; i < 5; ++i) {
            of[int(controls[i])] = FORCING | NAMED;
            name[int(controls[i])] = letters[i];
        }
    }
};

constexpr ClassTable classes{};

inline unsigned char class_of(Py_UCS4 c) noexcept { return c < 128 ? classes.of[c] : 0; }

// What one pass over an element tells: its flags, and what the escaped form
// adds to its length.
struct Scan {
    unsigned flags = 0;
    Py_ssize_t escaped = 0;  // characters written with a backslash in front
    Py_ssize_t named = 0;    // controls written as a backslash and a letter
    Py_ssize_t braces = 0;   // braces, escaped only when braces are unmatched
};

template <class Ch>
Scan scan_chars(const Ch* s, Py_ssize_t n) noexcept {
    Scan r;
    if (n == 0 || s[0] == '{' || s[0] == '"') r.flags |= USE_BRACES;
    Py_ssize_t level = 0;
    bool skip = false;  // the character after a backslash is not examined
    for (Py_ssize_t p = 0; p < n; ++p) {
        const unsigned char cls = class_of(s[p]);
        if (!cls) {
            skip = false;
            continue;
        }
        // The escaped form writes every character, so every one is counted.
        r.escaped += (cls & ESCAPED) != 0;
        r.named += (cls & NAMED) != 0;
        r.braces += (cls & (OPEN | CLOSE)) != 0;
        if (skip) {
            skip = false;
            continue;
        }
        if (cls & OPEN) {
            ++level;
        } else if (cls & CLOSE) {
            if (--level < 0) r.flags |= DONT_USE_BRACES | BRACES_UNMATCHED;
        } else if (cls & FORCING) {
            r.flags |= USE_BRACES;
        } else if (cls & BACKSLASH) {
            if (p + 1 == n || s[p + 1] == '\n') {
                r.flags = DONT_USE_BRACES | BRACES_UNMATCHED;
            } else {
                r.flags |= USE_BRACES;
                skip = true;
            }
        }
    }
    if (level != 0) r.flags = DONT_USE_BRACES | BRACES_UNMATCHED;
    return r;
}

Scan scan(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return scan_chars(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return scan_chars(static_cast<const Py_UCS2*>(data), n);
        default: return scan_chars(static_cast<const Py_UCS4*>(data), n);
    }
}

// How one element is written.
enum class Form { EMPTY, BRACED, ESCAPED };

struct Plan {
    Form form;
    bool unmatched;  // escaped form: braces are escaped too
    Py_ssize_t length;
};

inline bool leading_brace(PyObject* text) noexcept {
    return PyUnicode_GET_LENGTH(text) > 0 && PyUnicode_READ_CHAR(text, 0) == '{';
}

// The form of an element: braced, or escaped; `unmatched` tells whether
// the escaped form escapes braces.  A leading brace is escaped in any case.
Plan plan(PyObject* text, const Scan& sc, bool braced, bool unmatched) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n == 0) return {Form::EMPTY, false, 2};
    if (braced) return {Form::BRACED, false, n + 2};
    const Py_ssize_t braces = unmatched ? sc.braces : (leading_brace(text) ? 1 : 0);
    return {Form::ESCAPED, unmatched, n + sc.escaped + sc.named + braces};
}

// The plan of an element written with the flags of its own scan.
Plan plan_from_flags(PyObject* text, const Scan& sc) {
    // Escaping a leading brace adds BRACES_UNMATCHED to the flags.
    const bool braced = (sc.flags & USE_BRACES) && !(sc.flags & DONT_USE_BRACES);
    return plan(text, sc, braced, (sc.flags & BRACES_UNMATCHED) || leading_brace(text));
}

template <class In, class Out>
Out* write_element(const In* s, Py_ssize_t n, const Plan& pl, Out* out) noexcept {
    switch (pl.form) {
        case Form::EMPTY:
            *out++ = '{';
            *out++ = '}';
            return out;
        case Form::BRACED: *out++ = '{'; break;
        case Form::ESCAPED:
            if (pl.length == n) break;  // nothing to escape
            Py_ssize_t p = 0;
            if (s[0] == '{') {
                *out++ = '\\';
                *out++ = '{';
                p = 1;
            }
            for (; p < n; ++p) {
                const Py_UCS4 c = s[p];
                const unsigned char cls = class_of(c);
                if ((cls & ESCAPED) || (pl.unmatched && (cls & (OPEN | CLOSE)))) {
                    *out++ = '\\';
                    *out++ = static_cast<Out>(c);
                } else if (cls & NAMED) {
                    *out++ = '\\';
                    *out++ = static_cast<Out>(classes.name[c]);
                } else {
                    *out++ = static_cast<Out>(c);
                }
            }
            return out;
    }
    if constexpr (sizeof(In) == sizeof(Out)) {
        std::memcpy(out, s, static_cast<size_t>(n) * sizeof(Out));
        out += n;
    } else {
        for (Py_ssize_t p = 0; p < n; ++p) *out++ = static_cast<Out>(s[p]);
    }
    if (pl.form == Form::BRACED) *out++ = '}';
    return out;
}

template <class Out>
Out* write_text(PyObject* text, const Plan& pl, Out* out) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return write_element(static_cast<const Py_UCS1*>(data), n, pl, out);
        case PyUnicode_2BYTE_KIND:
            if constexpr (sizeof(Out) >= 2) return write_element(static_cast<const Py_UCS2*>(data), n, pl, out);
            break;
        default:
            if constexpr (sizeof(Out) == 4) return write_element(static_cast<const Py_UCS4*>(data), n, pl, out);
            break;
    }
    return out;  // not reached: the output is at least as wide as every element
}

// One element of a list being written.
struct Element {
    Ref text;  // the element's Tcl string
    Plan plan{};
    bool plain = false;  // a str that conversion gives back as it is
};

template <class Out>
void write_list(const std::vector<Element>& elements, Out* out) noexcept {
    bool first = true;
    for (const Element& e : elements) {
        if (!first) *out++ = ' ';
        first = false;
        out = write_text(e.text.get(), e.plan, out);
    }
}

Ref join_elements(const std::vector<Element>& elements) {
    Py_ssize_t total = elements.empty() ? 0 : static_cast<Py_ssize_t>(elements.size()) - 1;
    Py_UCS4 maxchar = 0;
    for (const Element& e : elements) {
        if (e.plan.length > PY_SSIZE_T_MAX - total) py::raise(PyExc_OverflowError, "Tcl list string too long");
        total += e.plan.length;
        const Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(e.text.get());
        if (widest > maxchar) maxchar = widest;
    }
    Ref out = py::own(PyUnicode_New(total, maxchar));
    void* data = PyUnicode_DATA(out.get());
    switch (PyUnicode_KIND(out.get())) {
        case PyUnicode_1BYTE_KIND: write_list(elements, static_cast<Py_UCS1*>(data)); break;
        case PyUnicode_2BYTE_KIND: write_list(elements, static_cast<Py_UCS2*>(data)); break;
        default: write_list(elements, static_cast<Py_UCS4*>(data)); break;
    }
    return out;
}

// ---------------------------------------------------------------------------
// quoten and tclobj

Ref quoten(State* st, PyObject* obj);
Ref tclobj(State* st, PyObject* obj);
Ref secret_form(State* st, PyObject* secret, bool as_tclobj);

bool is_secret(State* st, PyObject* obj) { return reinterpret_cast<PyObject*>(Py_TYPE(obj)) == st->secret_type; }

// A protocol method: looked up with a default of None, so only a missing
// attribute counts as absent, and then tested for truth.
Ref hook(PyObject* obj, PyObject* name) {
    Ref found = py::getattr_optional(obj, name);
    if (found && !py::truth(found.get())) return {};
    return found;
}

bool is_instance(PyObject* obj, PyObject* cls) { return py::check(PyObject_IsInstance(obj, cls)) != 0; }

bool is_container(State* st, PyObject* obj) { return is_instance(obj, st->sequence) || is_instance(obj, st->set); }

// Calls `each(item)` for the items of `iterable`, in iteration order.  A
// list is read as its iterator reads it: by index against its current
// length, each item held while `each` runs, so a conversion that changes
// the list ends the walk where Python's iteration would end it.
template <class Each>
void for_each_item(PyObject* iterable, Each&& each) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0;; ++i) {
            Ref item = py::list_item(iterable, i);
            if (!item) break;
            each(item.get());
        }
        return;
    }
    if (PyTuple_CheckExact(iterable)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(iterable);
        for (Py_ssize_t i = 0; i < n; ++i) each(PyTuple_GET_ITEM(iterable, i));
        return;
    }
    Ref iterator = py::own(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) each(item.get());
    if (PyErr_Occurred()) py::fail();
}

// The keys and values of a mapping, alternating: each key in iteration
// order, then `mapping[key]` (by subscription, not from an items view).
std::vector<Ref> mapping_items(PyObject* mapping) {
    std::vector<Ref> items;
    if (PyDict_CheckExact(mapping)) items.reserve(2 * static_cast<size_t>(PyDict_GET_SIZE(mapping)));
    Ref iterator = py::own(PyObject_GetIter(mapping));
    while (Ref key = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref value = py::own(PyObject_GetItem(mapping, key.get()));
        items.push_back(std::move(key));
        items.push_back(std::move(value));
    }
    if (PyErr_Occurred()) py::fail();
    return items;
}

// The text that the list writer scans or converts: quoten of the element,
// which must be a str by then.
Ref element_text(State* st, PyObject* element) {
    Ref text = quoten(st, element);
    if (!PyUnicode_Check(text.get())) {
        py::raise_format(PyExc_TypeError, "a Tcl list element must convert to str, not '%.200s'",
                         Py_TYPE(text.get())->tp_name);
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text.get()) < 0) py::fail();
#endif
    return text;
}

// The list writer, over the items that `source` hands out: each converted
// with quoten as it comes, then all scanned, then all converted, and
// joined with single blanks.
template <class Source>
Ref list_string(State* st, Py_ssize_t size_hint, Source&& source) {
    py::RecursionGuard guard(" while writing a Tcl list");
    std::vector<Element> elements;
    elements.reserve(static_cast<size_t>(size_hint));
    bool all_plain = true;
    source([&](PyObject* item) {
        Element& e = elements.emplace_back();
        e.text = quoten(st, item);
        // A plain str converts to itself, so it can be scanned right away.
        e.plain = PyUnicode_CheckExact(e.text.get());
        if (!e.plain) {
            all_plain = false;
            return;
        }
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(e.text.get()) < 0) py::fail();
#endif
        e.plan = plan_from_flags(e.text.get(), scan(e.text.get()));
    });
    if (all_plain) return join_elements(elements);

    // Anything else (what a __quoten__ hook returned, a str subclass) goes
    // through quoten once more, and the one text that gives is both scanned
    // and written: a hook whose answer changes from call to call cannot make
    // the quoting of one text apply to another.
    for (Element& e : elements) {
        if (e.plain) continue;
        e.text = element_text(st, e.text.get());
        e.plan = plan_from_flags(e.text.get(), scan(e.text.get()));
    }
    return join_elements(elements);
}

// How many items a walk of `iterable` will meet, where that is known.
Py_ssize_t size_hint(PyObject* iterable) {
    if (PyList_CheckExact(iterable)) return PyList_GET_SIZE(iterable);
    if (PyTuple_CheckExact(iterable)) return PyTuple_GET_SIZE(iterable);
    return 0;
}

Ref sequence_string(State* st, PyObject* iterable) {
    return list_string(st, size_hint(iterable), [&](auto&& add) { for_each_item(iterable, add); });
}

Ref mapping_string(State* st, PyObject* mapping) {
    std::vector<Ref> items = mapping_items(mapping);
    return list_string(st, static_cast<Py_ssize_t>(items.size()), [&](auto&& add) {
        for (const Ref& item : items) add(item.get());
    });
}

Ref empty_text() { return py::newref(TARVO_STR("")); }

Ref quoten_general(State* st, PyObject* obj) {
    if (Ref method = hook(obj, TARVO_STR("__quoten__"))) return py::call(method.get());
    if (Ref method = hook(obj, TARVO_STR("__tclobj__"))) {
        Ref value = py::call(method.get());
        py::RecursionGuard guard(" while converting a __tclobj__ result");
        return quoten(st, value.get());
    }
    if (obj == Py_None) return empty_text();
    if (is_instance(obj, reinterpret_cast<PyObject*>(&PyUnicode_Type))) return py::str(obj);
    if (is_instance(obj, reinterpret_cast<PyObject*>(&PyBool_Type))) {
        return py::newref(py::truth(obj) ? TARVO_STR("true") : TARVO_STR("false"));
    }
    if (is_container(st, obj)) return sequence_string(st, obj);
    if (is_instance(obj, st->mapping)) return mapping_string(st, obj);
    return py::str(obj);
}

Ref quoten(State* st, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) return py::newref(obj);
    if (obj == Py_None) return empty_text();
    if (type == &PyBool_Type) return py::newref(obj == Py_True ? TARVO_STR("true") : TARVO_STR("false"));
    if (type == &PyLong_Type) return py::int_str(obj);
    if (type == &PyFloat_Type) return py::str(obj);
    if (type == &PyList_Type || type == &PyTuple_Type || type == &PySet_Type || type == &PyFrozenSet_Type) {
        return sequence_string(st, obj);
    }
    if (type == &PyDict_Type) return mapping_string(st, obj);
    if (is_secret(st, obj)) return secret_form(st, obj, false);
    return quoten_general(st, obj);
}

Ref tuple_of(std::vector<Ref>& items) {
    Ref tuple = py::own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i) PyTuple_SET_ITEM(tuple.get(), i, items[i].release());
    return tuple;
}

Ref tclobj_sequence(State* st, PyObject* iterable) {
    py::RecursionGuard guard(" while converting a sequence to Tcl");
    std::vector<Ref> items;
    items.reserve(static_cast<size_t>(size_hint(iterable)));
    for_each_item(iterable, [&](PyObject* item) { items.push_back(tclobj(st, item)); });
    return tuple_of(items);
}

Ref tclobj_mapping(State* st, PyObject* mapping) {
    std::vector<Ref> pairs = mapping_items(mapping);
    py::RecursionGuard guard(" while converting a mapping to Tcl");
    std::vector<Ref> items;
    items.reserve(pairs.size());
    for (const Ref& item : pairs) items.push_back(tclobj(st, item.get()));
    return tuple_of(items);
}

// Whether an exact int lies in the signed machine-word range.
bool machine_size(State* st, PyObject* integer) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) py::fail();
    return !overflow && value >= -st->maxsize - 1 && value <= st->maxsize;
}

Ref tclobj_general(State* st, PyObject* obj) {
    if (Ref method = hook(obj, TARVO_STR("__tclobj__"))) return py::call(method.get());
    if (obj == Py_None) return empty_text();
    for (PyObject* kept :
         {reinterpret_cast<PyObject*>(&PyBytes_Type), reinterpret_cast<PyObject*>(&PyBool_Type),
          reinterpret_cast<PyObject*>(&PyFloat_Type), reinterpret_cast<PyObject*>(&PyUnicode_Type), st->tcl_obj}) {
        if (is_instance(obj, kept)) return py::newref(obj);
    }
    if (is_container(st, obj)) return tclobj_sequence(st, obj);
    if (is_instance(obj, st->mapping)) return tclobj_mapping(st, obj);
    return quoten(st, obj);
}

Ref tclobj(State* st, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type || type == &PyBytes_Type ||
        reinterpret_cast<PyObject*>(type) == st->tcl_obj) {
        return py::newref(obj);
    }
    if (obj == Py_None) return empty_text();
    if (type == &PyLong_Type) return machine_size(st, obj) ? py::newref(obj) : py::int_str(obj);
    if (type == &PyList_Type || type == &PyTuple_Type || type == &PySet_Type || type == &PyFrozenSet_Type) {
        return tclobj_sequence(st, obj);
    }
    if (type == &PyDict_Type) return tclobj_mapping(st, obj);
    if (is_secret(st, obj)) return secret_form(st, obj, true);
    return tclobj_general(st, obj);
}

// ---------------------------------------------------------------------------
// Secret
//
// A Secret converts to its value: that is what Tcl must receive.  Only the
// text that a quick call is recorded with (in the history and its log) shows
// the mask in its place.  That text is written by a second conversion of
// the same argument, made by `_quoten_masked` only when the first one
// revealed a Secret, while this thread's `SecretMode` says "masking".  A
// second walk keeps the common case (no Secret anywhere) exactly as quick
// as before, and reaches the Secrets that conversion hooks reach (a
// __quoten__ that calls quoten, a NestMap's __tclobj__) as the first walk
// did.  The mode is per thread: another thread converting meanwhile must
// still get the values.

struct SecretObject {
    PyObject_HEAD PyObject* value;
};

SecretObject* as_secret(PyObject* self) { return reinterpret_cast<SecretObject*>(self); }

struct SecretMode {
    int masking = 0;                  // > 0: Secrets convert to the mask
    unsigned long long revealed = 0;  // Secrets converted to their values so far
    PyObject* found = nullptr;        // while masking: a list that collects each masked Secret's text
};

// Plain data only (no owned reference): `found` is borrowed from the caller
// that set it, for as long as that caller runs.
thread_local SecretMode secret_mode;

PyObject* mask() { return TARVO_STR("****"); }

// Sets this thread's mode for as long as it lives, then restores the old one.
class ModeScope {
public:
    ModeScope(int masking, PyObject* found) noexcept : saved_(secret_mode) {
        secret_mode.masking = masking;
        secret_mode.found = found;
    }
    ~ModeScope() {
        secret_mode.masking = saved_.masking;
        secret_mode.found = saved_.found;
    }
    ModeScope(const ModeScope&) = delete;
    ModeScope& operator=(const ModeScope&) = delete;

private:
    SecretMode saved_;
};

// What quoten (or, `as_tclobj`, tclobj) gives for a Secret.
Ref secret_form(State* st, PyObject* secret, bool as_tclobj) {
    // Held: a conversion hook could drop the Secret's last other reference.
    Ref value = py::newref(as_secret(secret)->value);
    if (secret_mode.masking) {
        if (PyObject* found = secret_mode.found) {
            Ref text;
            {
                ModeScope revealing(0, nullptr);
                text = quoten(st, value.get());
            }
            if (PyUnicode_Check(text.get()) && PyUnicode_GET_LENGTH(text.get()) > 0) {
                py::check(PyList_Append(found, text.get()));
            }
        }
        return py::newref(mask());
    }
    ++secret_mode.revealed;
    py::RecursionGuard guard(" while converting a Secret");
    return as_tclobj ? tclobj(st, value.get()) : quoten(st, value.get());
}

const char* const secret_new_params[] = {"value"};
const py::Signature secret_new_sig{"Secret", secret_new_params, 1, 1};

PyObject* secret_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::entry("Secret", [&] {
        PyObject* a[1];
        py::parse_tuple(secret_new_sig, args, kwargs, a);
        Ref self = py::own(type->tp_alloc(type, 0));
        Py_INCREF(a[0]);
        as_secret(self.get())->value = a[0];
        return self;
    });
}

State* secret_state(PyObject* self) { return state_of(PyType_GetModule(Py_TYPE(self))); }

using SecretMethod = Ref (*)(PyObject* self);

template <const py::Signature& sig, SecretMethod impl>
PyObject* secret_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry(sig.name, [&] {
        PyObject* a[1];
        py::parse(sig, args, nargs, kwnames, a, nullptr, 1);
        return impl(self);
    });
}

const char* const self_params[] = {"self"};
const py::Signature reveal_sig{"reveal", self_params, 1, 1};
const py::Signature secret_quoten_sig{"__quoten__", self_params, 1, 1};
const py::Signature secret_tclobj_sig{"__tclobj__", self_params, 1, 1};
const py::Signature secret_reduce_sig{"__reduce__", self_params, 1, 1};

Ref reveal_impl(PyObject* self) { return py::newref(as_secret(self)->value); }
Ref secret_quoten_impl(PyObject* self) { return secret_form(secret_state(self), self, false); }
Ref secret_tclobj_impl(PyObject* self) { return secret_form(secret_state(self), self, true); }

// Pickled and copied as Secret(value): the value goes wherever the pickle
// goes, as it would if the value itself were pickled.
Ref secret_reduce_impl(PyObject* self) {
    Ref args = py::own(PyTuple_Pack(1, as_secret(self)->value));
    return py::own(PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get()));
}

PyObject* secret_repr(PyObject*) noexcept {
    return py::entry("Secret.__repr__", [&] { return py::text("Secret(****)"); });
}

PyObject* secret_str(PyObject*) noexcept {
    return py::entry("Secret.__str__", [&] { return py::newref(mask()); });
}

// Secrets are equal when their values are; a Secret is never equal to a
// value that is not a Secret.
PyObject* secret_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return py::entry("Secret.__eq__", [&]() -> Ref {
        if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) return py::newref(Py_NotImplemented);
        Ref mine = py::newref(as_secret(self)->value);
        Ref theirs = py::newref(as_secret(other)->value);
        return py::own(PyObject_RichCompare(mine.get(), theirs.get(), op));
    });
}

// Not the value's own hash, which for a small int is the int itself.
Py_hash_t secret_hash(PyObject* self) noexcept {
    try {
        Ref key = py::own(PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), as_secret(self)->value));
        const Py_hash_t hash = PyObject_Hash(key.get());
        if (hash == -1) py::fail();
        return hash;
    } catch (...) {
        py::detail::translate_current_exception("Secret.__hash__");
        return -1;
    }
}

int secret_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_secret(self)->value);
    return 0;
}

int secret_clear(PyObject* self) noexcept {
    Py_CLEAR(as_secret(self)->value);
    return 0;
}

void secret_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    secret_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

#define SECRET_METHOD(sig, impl, doc) \
    {sig.name, TARVO_FASTCALL((secret_method<sig, impl>)), METH_FASTCALL | METH_KEYWORDS, PyDoc_STR(doc)}

PyMethodDef secret_methods[] = {
    SECRET_METHOD(reveal_sig, reveal_impl, "reveal($self, /)\n--\n\nThe value itself."),
    SECRET_METHOD(secret_quoten_sig, secret_quoten_impl,
                  "__quoten__($self, /)\n--\n\nquoten of the value: what Tcl receives."),
    SECRET_METHOD(secret_tclobj_sig, secret_tclobj_impl,
                  "__tclobj__($self, /)\n--\n\ntclobj of the value: what Tcl receives."),
    SECRET_METHOD(secret_reduce_sig, secret_reduce_impl, "__reduce__($self, /)\n--\n\nPickled as Secret(value)."),
    {nullptr, nullptr, 0, nullptr},
};

#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned long SECRET_IMMUTABLE = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long SECRET_IMMUTABLE = 0;
#endif

PyType_Slot secret_slots[] = {
    {Py_tp_doc, const_cast<char*>("Secret(value)\n--\n\n"
                                  "A value that Tcl receives unchanged, as a quick-call argument, an option\n"
                                  "value or a variable's value, but that the call history and its log show\n"
                                  "as ****.  repr() and str() never show it; reveal() returns it.")},
    {Py_tp_new, reinterpret_cast<void*>(secret_new)},
    {Py_tp_repr, reinterpret_cast<void*>(secret_repr)},
    {Py_tp_str, reinterpret_cast<void*>(secret_str)},
    {Py_tp_richcompare, reinterpret_cast<void*>(secret_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(secret_hash)},
    {Py_tp_traverse, reinterpret_cast<void*>(secret_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(secret_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(secret_dealloc)},
    {Py_tp_methods, secret_methods},
    {0, nullptr},
};

// No subclasses: what quoten and tclobj do with a Secret is decided by its
// exact type, and nothing can add a way to show the value.
PyType_Spec secret_spec = {"tarvo.tcl.quoten.Secret", sizeof(SecretObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | SECRET_IMMUTABLE, secret_slots};

// _quoten_masked(obj): quoten(obj), and the text to record in its place.
// The plain str when no Secret took part; otherwise the tuple (text, the
// same with every Secret as ****, the texts of those Secrets).
Ref quoten_masked(State* st, PyObject** a) {
    PyObject* obj = a[0];
    Ref text;
    bool revealed;
    {
        // Revealing, whatever the caller's mode: this text goes to Tcl.
        ModeScope revealing(0, nullptr);
        const unsigned long long before = secret_mode.revealed;
        text = quoten(st, obj);
        revealed = secret_mode.revealed != before;
    }
    if (!revealed) {
        if (PyUnicode_CheckExact(text.get())) return text;
        Ref none = py::own(PyTuple_New(0));
        return py::own(PyTuple_Pack(3, text.get(), text.get(), none.get()));
    }
    Ref found = py::own(PyList_New(0));
    Ref masked;
    {
        ModeScope masking(1, found.get());
        masked = quoten(st, obj);
    }
    Ref secrets = py::own(PyList_AsTuple(found.get()));
    return py::own(PyTuple_Pack(3, text.get(), masked.get(), secrets.get()));
}

// ---------------------------------------------------------------------------
// The module's functions

template <const py::Signature& sig, Ref (*impl)(State*, PyObject**)>
PyObject* shell(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry(sig.name, [&] {
        PyObject* a[2];
        py::parse(sig, args, nargs, kwnames, a);
        return impl(state_of(module), a);
    });
}

const char* const string_params[] = {"string"};
const py::Signature scan_sig{"_Tcl_ScanElement", string_params, 1, 1};

Ref scan_element(State* st, PyObject** a) {
    Ref text = element_text(st, a[0]);
    const Scan sc = scan(text.get());
    Ref flags = py::own(PySet_New(nullptr));
    for (Flag f : all_flags) {
        if (sc.flags & f) py::check(PySet_Add(flags.get(), flag_name(f)));
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    Ref estimate = py::own(PyLong_FromSsize_t(2 * n + 2));
    return py::own(PyTuple_Pack(2, estimate.get(), flags.get()));
}

const char* const convert_params[] = {"src", "flags"};
const py::Signature convert_sig{"_Tcl_ConvertElement", convert_params, 2, 2};

bool has_flag(PyObject* flags, Flag flag) { return py::check(PySequence_Contains(flags, flag_name(flag))) != 0; }

Ref convert_element(State* st, PyObject** a) {
    Ref text = element_text(st, a[0]);
    PyObject* flags = a[1];
    if (PyUnicode_GET_LENGTH(text.get()) == 0) return py::text("{}");
    const Scan sc = scan(text.get());
    const bool braced = has_flag(flags, USE_BRACES) && !has_flag(flags, DONT_USE_BRACES);
    bool unmatched = false;
    if (!braced) {
        if (leading_brace(text.get())) {
            py::call_method(flags, TARVO_STR("add"), flag_name(BRACES_UNMATCHED));
        }
        // Only braces ask whether braces are unmatched.
        if (sc.braces) unmatched = has_flag(flags, BRACES_UNMATCHED);
    }
    std::vector<Element> one;
    one.push_back({std::move(text)});
    one[0].plan = plan(one[0].text.get(), sc, braced, unmatched);
    return join_elements(one);
}

const char* const list_params[] = {"listObj"};
const py::Signature list_sig{"_tcl_UpdateStringOfList", list_params, 1, 1};

Ref update_string_of_list(State* st, PyObject** a) { return sequence_string(st, a[0]); }

const char* const obj_params[] = {"obj"};
const py::Signature quoten_from_mapping_sig{"_quoten_from_mapping", obj_params, 1, 1};
const py::Signature quoten_sig{"quoten", obj_params, 1, 1};
const py::Signature tclobj_from_sequence_sig{"_tclobj_from_sequence", obj_params, 1, 1};
const py::Signature tclobj_from_mapping_sig{"_tclobj_from_mapping", obj_params, 1, 1};
const py::Signature tclobj_sig{"tclobj", obj_params, 1, 1};
const py::Signature quoten_masked_sig{"_quoten_masked", obj_params, 1, 1};

Ref quoten_from_mapping(State* st, PyObject** a) { return mapping_string(st, a[0]); }
Ref quoten_impl(State* st, PyObject** a) { return quoten(st, a[0]); }
Ref tclobj_from_sequence(State* st, PyObject** a) { return tclobj_sequence(st, a[0]); }
Ref tclobj_from_mapping(State* st, PyObject** a) { return tclobj_mapping(st, a[0]); }
Ref tclobj_impl(State* st, PyObject** a) { return tclobj(st, a[0]); }

#define QUOTEN_FUNCTION(sig, impl, doc) \
    {sig.name, TARVO_FASTCALL((shell<sig, impl>)), METH_FASTCALL | METH_KEYWORDS, PyDoc_STR(doc)}

PyMethodDef functions[] = {
    QUOTEN_FUNCTION(scan_sig, scan_element,
                    "_Tcl_ScanElement(string)\n--\n\n"
                    "How the list element `string` must be quoted: (an upper bound of its quoted\n"
                    "length, the set of its flags among USE_BRACES, TCL_DONT_USE_BRACES and\n"
                    "BRACES_UNMATCHED)."),
    QUOTEN_FUNCTION(convert_sig, convert_element,
                    "_Tcl_ConvertElement(src, flags)\n--\n\n"
                    "The list element `src` written as its scan's `flags` say: braced, or with its\n"
                    "special characters backslash-escaped."),
    QUOTEN_FUNCTION(list_sig, update_string_of_list,
                    "_tcl_UpdateStringOfList(listObj)\n--\n\n"
                    "The Tcl list string of the items of `listObj`, each converted with quoten."),
    QUOTEN_FUNCTION(quoten_from_mapping_sig, quoten_from_mapping,
                    "_quoten_from_mapping(obj)\n--\n\n"
                    "The Tcl list string of the keys and values of the mapping `obj`, alternating."),
    QUOTEN_FUNCTION(quoten_sig, quoten_impl,
                    "quoten(obj)\n--\n\n"
                    "The Tcl string of `obj`: text unchanged, None as the empty string, booleans as\n"
                    "true/false, numbers by their str, sequences, sets and mappings as Tcl lists.\n"
                    "An object's __quoten__() decides first, then its __tclobj__()."),
    QUOTEN_FUNCTION(tclobj_from_sequence_sig, tclobj_from_sequence,
                    "_tclobj_from_sequence(obj)\n--\n\n"
                    "A tuple of tclobj of each item of `obj`."),
    QUOTEN_FUNCTION(tclobj_from_mapping_sig, tclobj_from_mapping,
                    "_tclobj_from_mapping(obj)\n--\n\n"
                    "A flat tuple of tclobj of the keys and values of the mapping `obj`, alternating."),
    QUOTEN_FUNCTION(tclobj_sig, tclobj_impl,
                    "tclobj(obj)\n--\n\n"
                    "What tkinter turns into a native Tcl object for `obj`: text, bytes, booleans,\n"
                    "floats, machine-size integers and Tcl_Obj unchanged, containers as tuples, the\n"
                    "rest through quoten.  An object's __tclobj__() decides first."),
    QUOTEN_FUNCTION(quoten_masked_sig, quoten_masked,
                    "_quoten_masked(obj)\n--\n\n"
                    "quoten(obj), and the text that a quick call records in its place: the str\n"
                    "itself when no Secret took part, else the tuple (text, the same with each\n"
                    "Secret as ****, the texts of those Secrets)."),
};

enum FunctionIndex {
    SCAN_ELEMENT,
    CONVERT_ELEMENT,
    UPDATE_STRING_OF_LIST,
    QUOTEN_FROM_MAPPING,
    QUOTEN,
    TCLOBJ_FROM_SEQUENCE,
    TCLOBJ_FROM_MAPPING,
    TCLOBJ,
    QUOTEN_MASKED,
};

PyType_Spec function_spec = {"tarvo.tcl.quoten.builtin_function", sizeof(py::FunctionObject), 0, py::function_flags,
                             py::function_slots};

// ---------------------------------------------------------------------------
// Module

Ref add_function(PyObject* module, FunctionIndex index) {
    Ref f = py::function(&functions[index], module);
    py::add(module, functions[index].ml_name, f.get());
    return f;
}

Ref add_attributed_function(PyObject* module, FunctionIndex index) {
    Ref f = py::attributed_function(state_of(module)->function_type, &functions[index], module);
    py::add(module, functions[index].ml_name, f.get());
    return f;
}

// sys.maxsize, or sys.maxint where there is no maxsize.
Ref max_size(PyObject* sys) {
    Ref value = py::getattr_optional(sys, TARVO_STR("maxsize"));
    return value ? std::move(value) : py::getattr(sys, "maxint");
}

int exec_module(PyObject* module) noexcept {
    return py::entry_int("tarvo.tcl.quoten", [&] {
        State* st = state_of(module);
        Ref abc = py::import("collections.abc");
        py::keep(st->mapping, py::getattr(abc.get(), "Mapping"));
        py::keep(st->sequence, py::getattr(abc.get(), "Sequence"));
        py::keep(st->set, py::getattr(abc.get(), "Set"));
        py::keep(st->tcl_obj, py::import_from("_tkinter", "Tcl_Obj"));
        py::add(module, "Mapping", st->mapping);
        py::add(module, "Sequence", st->sequence);
        py::add(module, "Set", st->set);
        py::add(module, "_tkTcl_Obj", st->tcl_obj);
        Ref sys = py::import("sys");
        py::add(module, "sys", sys.get());
        py::keep(st->function_type, py::own(PyType_FromModuleAndSpec(module, &function_spec, nullptr)));

        add_function(module, SCAN_ELEMENT);
        add_function(module, CONVERT_ELEMENT);
        Ref from_sequence = add_function(module, UPDATE_STRING_OF_LIST);
        py::add(module, "_quoten_from_sequence", from_sequence.get());
        Ref from_mapping = add_function(module, QUOTEN_FROM_MAPPING);
        Ref quoten_function = add_attributed_function(module, QUOTEN);

        Ref maxsize = max_size(sys.get());
        py::add(module, "_sysmaxsize", maxsize.get());
        Ref one = py::integer(1);
        Ref beyond = py::own(PyNumber_Add(maxsize.get(), one.get()));
        py::add(module, "_long_type", reinterpret_cast<PyObject*>(Py_TYPE(beyond.get())));
        st->maxsize = PyLong_AsLongLong(maxsize.get());
        if (st->maxsize == -1 && PyErr_Occurred()) py::fail();

        Ref tclobj_from_sequence = add_function(module, TCLOBJ_FROM_SEQUENCE);
        Ref tclobj_from_mapping = add_function(module, TCLOBJ_FROM_MAPPING);
        Ref tclobj_function = add_attributed_function(module, TCLOBJ);
        py::setattr(quoten_function.get(), "from_sequence", from_sequence.get());
        py::setattr(quoten_function.get(), "from_mapping", from_mapping.get());
        py::setattr(tclobj_function.get(), "from_sequence", tclobj_from_sequence.get());
        py::setattr(tclobj_function.get(), "from_mapping", tclobj_from_mapping.get());

        Ref secret_type = py::type_from_spec(module, &secret_spec);
        py::add(module, "Secret", secret_type.get());
        py::keep(st->secret_type, std::move(secret_type));
        add_function(module, QUOTEN_MASKED);
        return 0;
    });
}

}  // namespace

TARVO_MODULE(quoten, "Python values as Tcl text (quoten) and as Tcl objects (tclobj).", State, exec_module)
