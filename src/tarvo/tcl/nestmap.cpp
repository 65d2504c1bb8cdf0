// tarvo.tcl.nestmap: NestMap, the Python mirror of a TclX keyed list.
//
// A NestMap is a dict (through AttrDict) whose values may be NestMaps again;
// every item operation takes a path, keys joined with ".", and walks the
// levels.  The class derives from two Python classes, AttrDict and
// MutableMapping, so it is made the way a class statement makes it: its
// metaclass (ABCMeta) is called with a namespace of C++ functions, each of
// which receives the instance as args[0].
//
// Every operation behaves as if written in Python on top of the inherited
// dict operations: a level of a tree dispatches through its own class, so
// a subclass that overrides an item operation is honoured at every level.
// Where a level's class still routes the operation to our own function, we
// walk on in C++ instead of going through the method lookup and call; the
// path operations walk level by level in a loop, and the recursive ones
// (listing, construction, reading Tcl text) count their depth with
// Py_EnterRecursiveCall, so a deep tree raises RecursionError instead of
// overflowing the C stack.  Module globals (NestMap, Tcl_Obj, tclobj) and
// the package-level cast_list are read at call time, as Python code reads
// them.
#include "_cxx/py.hpp"
#include "_cxx/nestmap_api.hpp"
#include "_cxx/tclstr.hpp"
#include "_cxx/keyed_list_text.hpp"

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

namespace py = tarvo::py;
namespace tcl = tarvo::tcl;
using py::Ref;

namespace {

extern PyModuleDef nestmap_module;

// The functions of the class namespace that other levels of a tree may
// route back to us.
enum Fn { INIT, FROM_TCL, GETITEM, SETITEM, CONTAINS, DELITEM, UPDATE, ALL_KEYS, ALL_ITEMS, TCLOBJ, FN_COUNT };

PyObject* name_of(Fn fn) {
    switch (fn) {
        case INIT: return TARVO_STR("__init__");
        case FROM_TCL: return TARVO_STR("from_tcl");
        case GETITEM: return TARVO_STR("__getitem__");
        case SETITEM: return TARVO_STR("__setitem__");
        case CONTAINS: return TARVO_STR("__contains__");
        case DELITEM: return TARVO_STR("__delitem__");
        case UPDATE: return TARVO_STR("update");
        case ALL_KEYS: return TARVO_STR("all_keys");
        case ALL_ITEMS: return TARVO_STR("all_items");
        case TCLOBJ: return TARVO_STR("__tclobj__");
        case FN_COUNT: break;
    }
    return nullptr;
}

struct State {
    PyObject* cls = nullptr;              // NestMap as built here (what `__class__` would be)
    PyObject* methods = nullptr;          // tuple: the class namespace objects, indexed by Fn
    PyObject* base = nullptr;             // AttrDict, the first base: the plain item operations
    PyObject* dict_ops = nullptr;         // tuple: dict's own methods, indexed by Plain
    PyObject* mapping = nullptr;          // collections.abc.Mapping
    PyObject* mutable_update = nullptr;   // MutableMapping.update
    PyObject* package = nullptr;          // tarvo.tcl, whose cast_list from_tcl reads at call time
    PyObject* parser = nullptr;           // the cast_list of tarvo.tcl.internal, once seen
    PyObject* abc_token = nullptr;        // abc.get_cache_token
    PyObject* tcl_obj = nullptr;          // _tkinter.Tcl_Obj, as the module global was bound
    PyObject* tcl_error = nullptr;        // tkinter.TclError
    PyObject* invalid_element = nullptr;  // "invalid list element"
    PyObject* object_class = nullptr;     // object.__dict__['__class__']
    static constexpr PyObject* State::* fields[] = {
        &State::cls,       &State::methods, &State::base,      &State::dict_ops,        &State::mapping,
        &State::mutable_update, &State::package, &State::parser, &State::abc_token, &State::tcl_obj,
        &State::tcl_error, &State::invalid_element, &State::object_class};

    // abc.get_cache_token as its C function, where it is one (it takes no
    // arguments); its `self` is held by the function in `abc_token`.
    PyCFunction token_function = nullptr;
    PyObject* token_self = nullptr;

    // NestMap's type version when it was last found as built here (0: not yet).
    unsigned int pristine_version = 0;
    // Built-in types known not to be NestMaps, while the ABC cache token is `leaf_token`.
    unsigned long long leaf_token = 0;
    PyTypeObject* leaf_types[8] = {};
    int leaf_count = 0;
    // The ABC cache token when str and dict were last found to be no NestMaps (0: not yet).
    unsigned long long plain_token = 0;
};

State* state_of(PyObject* module) { return py::state<State>(module); }

[[noreturn]] void raise_leaf_conflict(PyObject* key) {
    Ref message = py::own(
        PyUnicode_FromFormat("target key \"%S\" is a value, cannot update value against another keyed list", key));
    PyErr_SetObject(PyExc_KeyError, message.get());
    py::fail();
}

// Python's message for a pair unpacked from more than two values: since
// 3.14 it counts them where the container knows its size (n >= 0 here).
[[noreturn]] void raise_too_many(Py_ssize_t n) {
#if PY_VERSION_HEX >= 0x030E0000
    if (n >= 0) py::raise_format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
#else
    (void)n;
#endif
    py::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
}

// `first, second = obj`, with Python's messages.
void unpack2(PyObject* obj, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        if (n < 2) py::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        if (n > 2) raise_too_many(n);
        first = py::newref(PySequence_Fast_GET_ITEM(obj, 0));
        second = py::newref(PySequence_Fast_GET_ITEM(obj, 1));
        return;
    }
    if (!Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
        py::raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
    }
    Ref iterator = py::own(PyObject_GetIter(obj));
    Ref* targets[] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *targets[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!*targets[i]) {
            if (PyErr_Occurred()) py::fail();
            py::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
        }
    }
    if (Ref extra = Ref::steal(PyIter_Next(iterator.get()))) {
        raise_too_many(PyDict_CheckExact(obj) ? PyDict_GET_SIZE(obj) : -1);
    }
    if (PyErr_Occurred()) py::fail();
}

// ---------------------------------------------------------------------------
// Classes and routing

// The ABCs' cache token: it changes whenever any class is registered with
// any ABC.  Asked for on every test of a leaf, so its C function is called
// directly where it is one.
unsigned long long abc_token(State* st) {
    Ref token = st->token_function ? py::own(st->token_function(st->token_self, nullptr)) : py::call(st->abc_token);
    const unsigned long long value = PyLong_AsUnsignedLongLong(token.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) py::fail();
    return value;
}

// Whether isinstance() of an instance of `type` is decided by `type` alone:
// a built-in type (its namespace cannot change) whose instances answer
// `__class__` with their type, through object's own descriptor.  A weak
// proxy, for one, answers with its referent's class.
bool class_is_type(State* st, PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || type->tp_getattro != PyObject_GenericGetAttr) return false;
    return py::class_lookup(type, TARVO_STR("__class__")) == st->object_class;
}

// Whether `obj` is a NestMap: isinstance() against the module's NestMap.
// NestMap is an ABC, so the test of a leaf goes through ABCMeta, which
// costs more than the rest of storing it.  A built-in type is a NestMap
// only by registration, so, as ABCMeta's own negative cache does, we keep
// the built-in types found not to be NestMaps until the cache token changes.
// `known_leaf`, when given, is set where the answer came from that store:
// then no code ran, and any other instance of the same type, tested right
// away, is no NestMap either.
bool is_nestmap(PyObject* module, State* st, PyObject* obj, bool* known_leaf = nullptr) {
    PyObject* cls = py::global(module, TARVO_STR("NestMap"));
    PyTypeObject* type = Py_TYPE(obj);
    if (PyType_Check(cls) && PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) return true;
    if (cls != st->cls || PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        return py::check(PyObject_IsInstance(obj, cls)) != 0;
    }
    const unsigned long long token = abc_token(st);
    if (token == st->leaf_token) {
        for (int i = 0; i < st->leaf_count; ++i) {
            if (st->leaf_types[i] != type) continue;
            if (known_leaf) *known_leaf = true;
            return false;
        }
    } else {
        st->leaf_token = token;
        st->leaf_count = 0;
    }
    const bool result = py::check(PyObject_IsInstance(obj, cls)) != 0;
    constexpr int room = sizeof st->leaf_types / sizeof st->leaf_types[0];
    if (!result && st->leaf_count < room && class_is_type(st, type) && abc_token(st) == token) {
        st->leaf_types[st->leaf_count++] = type;
    }
    return result;
}

PyObject* method_of(State* st, Fn fn) { return PyTuple_GET_ITEM(st->methods, fn); }

bool plain_is_dict_lookup(State* st, int op);

// Whether `type` carries a version tag that names its present state.
bool has_valid_version(PyTypeObject* type) {
#ifdef Py_TPFLAGS_VALID_VERSION_TAG
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
#else
    return type->tp_version_tag != 0;
#endif
}

// Whether NestMap is still as built here: every function of the class its
// own, AttrDict's item operations dict's, no __missing__.  Checked once per
// version of the class: any change to it or to a base gives it a new one.
bool pristine(State* st) {
    auto* type = reinterpret_cast<PyTypeObject*>(st->cls);
    const bool versioned = has_valid_version(type);
    if (versioned && type->tp_version_tag == st->pristine_version) return true;
    if (!versioned) {
        // A class gets its version tag from the interpreter's own attribute
        // lookup: ask for one the public way, so the next call is quick.
        py::getattr_optional(reinterpret_cast<PyObject*>(type), TARVO_STR("__getitem__"));
    }
    for (int fn = 0; fn < FN_COUNT; ++fn) {
        if (py::class_lookup(type, name_of(static_cast<Fn>(fn))) != method_of(st, static_cast<Fn>(fn))) return false;
    }
    for (int op = 0; op < PyTuple_GET_SIZE(st->dict_ops); ++op) {
        if (!plain_is_dict_lookup(st, op)) return false;
    }
    if (py::class_lookup(type, TARVO_STR("__missing__"))) return false;
    st->pristine_version = type->tp_version_tag;
    return true;
}

// Whether the class of `obj` is ours and still resolves `fn` to our own
// function: then we may run that function's C++ directly on `obj`.
bool routes(State* st, PyObject* obj, Fn fn) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == reinterpret_cast<PyTypeObject*>(st->cls) && pristine(st)) return true;
    if (!PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(st->cls))) return false;
    return py::class_lookup(type, name_of(fn)) == method_of(st, fn);
}

// The same for an attribute looked up on a class object: NestMap.from_tcl.
bool class_routes(State* st, PyObject* cls, Fn fn) {
    if (cls == st->cls && pristine(st)) return true;
    if (!PyType_Check(cls) || Py_TYPE(cls) != Py_TYPE(st->cls)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(st->cls))) return false;
    return py::class_lookup(type, name_of(fn)) == method_of(st, fn);
}

void require_self(State* st, PyObject* self, const char* method) {
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(st->cls))) {
        py::raise_format(PyExc_TypeError, "descriptor '%s' for 'NestMap' objects doesn't apply to a '%.100s' object",
                         method, Py_TYPE(self)->tp_name);
    }
}

// ---------------------------------------------------------------------------
// The plain item operations: AttrDict's own (which do not look at dots).
// While AttrDict leaves them to dict, we call dict's C functions; should it
// override one, its method is called.  (Its slots are no way in: a class
// statement gives a dict subclass slots that dispatch on the instance's
// class by name, which would lead straight back to us.)

enum Plain { P_INIT, P_GET, P_SET, P_DEL, P_CONTAINS, P_COUNT };

PyObject* plain_name(Plain op) {
    switch (op) {
        case P_INIT: return TARVO_STR("__init__");
        case P_GET: return TARVO_STR("__getitem__");
        case P_SET: return TARVO_STR("__setitem__");
        case P_DEL: return TARVO_STR("__delitem__");
        case P_CONTAINS: return TARVO_STR("__contains__");
        case P_COUNT: break;
    }
    return nullptr;
}

bool plain_is_dict_lookup(State* st, int op) {
    return py::class_lookup(reinterpret_cast<PyTypeObject*>(st->base), plain_name(static_cast<Plain>(op))) ==
           PyTuple_GET_ITEM(st->dict_ops, op);
}

// Whether AttrDict still takes `op` from dict.
bool plain_is_dict(State* st, Plain op) { return pristine(st) || plain_is_dict_lookup(st, op); }

// AttrDict.<op>(level, args...), through the method AttrDict has.
template <class... A>
Ref call_plain(State* st, Plain op, PyObject* level, A... args) {
    PyObject* found = py::class_lookup(reinterpret_cast<PyTypeObject*>(st->base), plain_name(op));
    if (!found) {
        py::raise_format(PyExc_AttributeError, "type object 'AttrDict' has no attribute '%U'", plain_name(op));
    }
    Ref method = py::newref(found);
    if (descrgetfunc get = Py_TYPE(found)->tp_descr_get) {
        method = py::own(get(found, level, reinterpret_cast<PyObject*>(Py_TYPE(level))));
    }
    return py::call(method.get(), args...);
}

void plain_init(State* st, PyObject* level) {
    if (!plain_is_dict(st, P_INIT)) {
        call_plain(st, P_INIT, level);
        return;
    }
    Ref no_args = py::own(PyTuple_New(0));
    py::check(PyDict_Type.tp_init(level, no_args.get(), nullptr));
}

Ref plain_get(State* st, PyObject* level, PyObject* key) {
    if (!plain_is_dict(st, P_GET)) return call_plain(st, P_GET, level, key);
    if (Py_TYPE(level) == reinterpret_cast<PyTypeObject*>(st->cls) && PyUnicode_CheckExact(key) && pristine(st)) {
        // dict's lookup without its hunt for __missing__, which NestMap as
        // built has none of.
        if (Ref value = py::dict_find(level, key)) return value;
        PyErr_SetObject(PyExc_KeyError, key);
        py::fail();
    }
    return py::own(PyDict_Type.tp_as_mapping->mp_subscript(level, key));
}

void plain_set(State* st, PyObject* level, PyObject* key, PyObject* value) {
    if (!plain_is_dict(st, P_SET)) {
        call_plain(st, P_SET, level, key, value);
        return;
    }
    py::check(PyDict_Type.tp_as_mapping->mp_ass_subscript(level, key, value));
}

void plain_del(State* st, PyObject* level, PyObject* key) {
    if (!plain_is_dict(st, P_DEL)) {
        call_plain(st, P_DEL, level, key);
        return;
    }
    py::check(PyDict_Type.tp_as_mapping->mp_ass_subscript(level, key, nullptr));
}

bool plain_contains(State* st, PyObject* level, PyObject* key) {
    if (!plain_is_dict(st, P_CONTAINS)) return py::truth(call_plain(st, P_CONTAINS, level, key).get());
    return py::check(PyDict_Contains(level, key)) != 0;
}

// The value stored under `key` at this level, or nothing when the plain
// membership test says it is not there.
Ref plain_find(State* st, PyObject* level, PyObject* key) {
    if (plain_is_dict(st, P_CONTAINS) && plain_is_dict(st, P_GET)) {
        return py::dict_find(level, key);
    }
    if (!plain_contains(st, level, key)) return {};
    return plain_get(st, level, key);
}

// ---------------------------------------------------------------------------
// Paths

// The heads of paths as strs, kept by their bytes: a test script spells the
// same few keys over and over, and a kept str brings its hash along, so a
// path level costs one dict lookup instead of a new string, its hash and
// its release.  Only short ASCII keys are kept, one per slot; the strs are
// never handed out as anything but keys, so keeping them changes no result.
// They are interned, so a key the dict holds as the interned str is found
// by identity.
// (Process-wide and never released as a whole, like the interned names.)
class HeadStrs {
public:
    static Ref get(PyObject* key, Py_ssize_t start, Py_ssize_t end) {
        const Py_ssize_t n = end - start;
        if (!PyUnicode_IS_ASCII(key) || n < 1 || n > longest) return py::own(PyUnicode_Substring(key, start, end));
        const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key)) + start;
        PyObject*& kept = slots()[hash(s, n) % size];
        {
            py::Locked hold(lock());
            if (kept && PyUnicode_GET_LENGTH(kept) == n &&
                std::memcmp(PyUnicode_1BYTE_DATA(kept), s, static_cast<size_t>(n)) == 0) {
                return py::newref(kept);
            }
        }
        // Interned, as the keyed-list reader's keys are: a dict finds an
        // interned key that it holds by identity, without comparing text.
        PyObject* head = PyUnicode_FromStringAndSize(s, n);
        if (!head) py::fail();
        PyUnicode_InternInPlace(&head);
        Ref owned = Ref::steal(head);
        py::Locked hold(lock());
        Py_XSETREF(kept, py::newref(head).release());
        return owned;
    }

private:
    // A slot for `n` (1 to 32) bytes: their first and last eight, mixed.
    static uint64_t hash(const char* s, Py_ssize_t n) noexcept {
        uint64_t first = 0, last = 0;
        if (n >= 8) {
            std::memcpy(&first, s, 8);
            std::memcpy(&last, s + n - 8, 8);
        } else {
            for (Py_ssize_t i = 0; i < n; ++i) first = (first << 8) | static_cast<unsigned char>(s[i]);
        }
        const uint64_t mixed = first * 0x9E3779B97F4A7C15ull ^ (last + static_cast<uint64_t>(n)) * 0xC2B2AE3D27D4EB4Full;
        return mixed ^ (mixed >> 29);
    }

    static constexpr Py_ssize_t longest = 32;
    static constexpr size_t size = 512;
    static PyObject** slots() {
        static PyObject* kept[size] = {};
        return kept;
    }
    static py::CacheLock& lock() {
        static py::CacheLock kept_lock;
        return kept_lock;
    }
};

// The first "." of key[start:end], or -1.
Py_ssize_t find_dot(PyObject* key, Py_ssize_t start, Py_ssize_t end) {
    if (PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND) {
        const auto* data = static_cast<const char*>(PyUnicode_DATA(key));
        const void* dot = std::memchr(data + start, '.', static_cast<size_t>(end - start));
        return dot ? static_cast<const char*>(dot) - data : -1;
    }
    const Py_ssize_t dot = PyUnicode_FindChar(key, '.', start, end, 1);
    if (dot == -2) py::fail();
    return dot;
}

// Walks a key one level at a time.  At each level the key is split at its
// first "." (tested with the `in` operator, split with `key.split('.', 1)`);
// a str key is walked in place, so only the heads are made as new objects.
class Path {
public:
    explicit Path(PyObject* key) : key_(py::newref(key)) { reset(); }

    // Splits off the head of this level; false when the key left has no dot.
    bool next(Ref& head) {
        if (text_) {
            const Py_ssize_t dot = find_dot(key_.get(), start_, length_);
            if (dot < 0) return false;
            head = HeadStrs::get(key_.get(), start_, dot);
            start_ = dot + 1;
            plain_head_ = true;
            return true;
        }
        if (!py::check(PySequence_Contains(key_.get(), TARVO_STR(".")))) return false;
        Ref one = py::integer(1);
        Ref parts = py::call_method(key_.get(), TARVO_STR("split"), TARVO_STR("."), one.get());
        Ref rest;
        unpack2(parts.get(), head, rest);
        plain_head_ = false;
        key_ = std::move(rest);
        reset();
        return true;
    }

    // Whether the last head was cut from a str here (so it holds no dot).
    bool plain_head() const { return plain_head_; }

    // The key left for the next level (the whole key before any split).
    Ref rest() const {
        if (!text_ || start_ == 0) return key_.copy();
        return HeadStrs::get(key_.get(), start_, length_);
    }

private:
    void reset() {
        text_ = PyUnicode_CheckExact(key_.get());
        start_ = 0;
        length_ = text_ ? PyUnicode_GET_LENGTH(key_.get()) : 0;
    }

    Ref key_;
    bool text_ = false;
    bool plain_head_ = false;
    Py_ssize_t start_ = 0, length_ = 0;
};

// A new empty level: NestMap(), the class looked up by its module-level name.
Ref new_level(PyObject* module, State* st) {
    PyObject* cls = py::global(module, TARVO_STR("NestMap"));
    if (cls == st->cls && class_routes(st, cls, INIT) && class_routes(st, cls, UPDATE) && plain_is_dict(st, P_INIT)) {
        // Our constructor without arguments only merges an empty dict.
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        Ref no_args = py::own(PyTuple_New(0));
        return py::own(type->tp_new(type, no_args.get(), nullptr));
    }
    return py::call(cls);
}

Ref get_path(PyObject* module, State* st, PyObject* self, PyObject* key);
void set_path(PyObject* module, State* st, PyObject* self, PyObject* key, PyObject* value);
void update_with(PyObject* module, State* st, PyObject* self, PyObject* other, PyObject* kwargs, bool private_dict);
Ref listing(PyObject* module, State* st, PyObject* level, bool items);
Ref read_keyed_list(PyObject* module, State* st, PyObject* string, bool quiet);

// `obj[key]`, or nothing where that raises KeyError.  `head` tells that
// `key` is a str cut off at a dot, so it has none.
Ref find_item(PyObject* module, State* st, PyObject* obj, PyObject* key, bool head = false) {
    if (routes(st, obj, GETITEM)) {
        // Our lookup of a key without a dot is dict's own, KeyError and all.
        const bool dict_lookup =
            (Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(st->cls) && pristine(st)) ||
            (plain_is_dict(st, P_GET) && !py::class_lookup(Py_TYPE(obj), TARVO_STR("__missing__")));
        if (dict_lookup && PyUnicode_CheckExact(key)) {
            const Py_ssize_t dot = head ? -1 : PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1);
            if (dot == -2) py::fail();
            if (dot < 0) {
                return py::dict_find(obj, key);
            }
        }
        try {
            return get_path(module, st, obj, key);
        } catch (const py::Error&) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw;
            PyErr_Clear();
            return {};
        }
    }
    PyObject* value = PyObject_GetItem(obj, key);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) py::fail();
    PyErr_Clear();
    return {};
}

// `obj[key] = value`
void set_item(PyObject* module, State* st, PyObject* obj, PyObject* key, PyObject* value) {
    if (routes(st, obj, SETITEM)) return set_path(module, st, obj, key, value);
    py::check(PyObject_SetItem(obj, key, value));
}

// `obj.update(other)`
void update_item(PyObject* module, State* st, PyObject* obj, PyObject* other, bool private_dict = false) {
    if (routes(st, obj, UPDATE)) return update_with(module, st, obj, other, nullptr, private_dict);
    py::call_method(obj, TARVO_STR("update"), other);
}

// The parts of dotted paths, kept per str: a test script walks the same
// paths over and over, mostly through the very str of a literal in its
// code, and a path kept is walked without reading its text again.  A str
// cannot change, so the parts kept for one are its parts for as long as it
// lives; keeping it alive here keeps its address from naming another.
// One path per slot, by address; ASCII paths of a few parts only.  (Kept
// for the life of the process, like HeadStrs.)
class SplitPaths {
public:
    // The parts of `path` (an exact str) as a tuple of strs, made by
    // HeadStrs; empty where it has no dot or is not kept.
    static Ref get(PyObject* path) {
        Slot& slot = slots()[(reinterpret_cast<uintptr_t>(path) >> 4) % size];
        {
            py::Locked hold(lock());
            if (slot.path == path) return py::newref(slot.parts);
        }
        if (!PyUnicode_IS_ASCII(path)) return {};
        const Py_ssize_t length = PyUnicode_GET_LENGTH(path);
        if (length > longest) return {};
        const auto* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(path));
        Py_ssize_t count = 1;
        for (const char* p = text; (p = static_cast<const char*>(std::memchr(p, '.', text + length - p))); ++p) {
            ++count;
        }
        if (count < 2 || count > most) return {};
        Ref parts = py::own(PyTuple_New(count));
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < count; ++i) {
            const void* dot = std::memchr(text + start, '.', static_cast<size_t>(length - start));
            const Py_ssize_t end = dot ? static_cast<const char*>(dot) - text : length;
            PyTuple_SET_ITEM(parts.get(), i, HeadStrs::get(path, start, end).release());
            start = end + 1;
        }
        PyObject* old_path;
        PyObject* old_parts;
        {
            py::Locked hold(lock());
            old_path = slot.path;
            old_parts = slot.parts;
            slot.path = py::newref(path).release();
            slot.parts = py::newref(parts.get()).release();
        }
        Py_XDECREF(old_path);
        Py_XDECREF(old_parts);
        return parts;
    }

private:
    struct Slot {
        PyObject* path = nullptr;
        PyObject* parts = nullptr;
    };

    static constexpr Py_ssize_t longest = 256, most = 16;
    static constexpr size_t size = 64;
    static Slot* slots() {
        static Slot kept[size];
        return kept;
    }
    static py::CacheLock& lock() {
        static py::CacheLock kept_lock;
        return kept_lock;
    }
};

// Whether `level` is a NestMap as built here, whose plain item operations
// are dict's own.
inline bool plain_level(State* st, PyObject* level) {
    auto* type = reinterpret_cast<PyTypeObject*>(st->cls);
    if (Py_TYPE(level) != type) return false;
    return (st->pristine_version && type->tp_version_tag == st->pristine_version && has_valid_version(type)) ||
           pristine(st);
}

// A str path walked through levels that are all NestMaps as built here:
// each head is looked up in the level's dict directly, without a Path or
// the routing questions of the general walk.  Where the walk reaches
// anything else, the general walk goes on from there.
class PlainWalk {
public:
    PlainWalk(State* st, PyObject* key)
        : st_(st), key_(key), length_(PyUnicode_GET_LENGTH(key)), parts_(SplitPaths::get(key)) {}

    bool plain(PyObject* level) const { return plain_level(st_, level); }

    // The next part of the key: a head (true) or the last key (false).
    // `part` is borrowed from the walk, and lasts until the next step.
    bool next(PyObject*& part) {
        if (parts_) {
            const Py_ssize_t count = PyTuple_GET_SIZE(parts_.get());
            part = PyTuple_GET_ITEM(parts_.get(), taken_);
            start_ += PyUnicode_GET_LENGTH(part) + 1;
            return ++taken_ < count;
        }
        const Py_ssize_t dot = find_dot(key_, start_, length_);
        if (dot < 0) {
            part_ = start_ == 0 ? py::newref(key_) : HeadStrs::get(key_, start_, length_);
            part = part_.get();
            return false;
        }
        part_ = HeadStrs::get(key_, start_, dot);
        part = part_.get();
        start_ = dot + 1;
        return true;
    }

    // The key left after the heads taken so far.
    Ref rest() const {
        if (parts_ && taken_ == PyTuple_GET_SIZE(parts_.get()) - 1) {
            return py::newref(PyTuple_GET_ITEM(parts_.get(), taken_));
        }
        return start_ == 0 ? py::newref(key_) : HeadStrs::get(key_, start_, length_);
    }

    // dict's own lookup in a plain level, or nothing.
    static Ref find(PyObject* level, PyObject* part) {
        return py::dict_find(level, part);
    }

private:
    State* st_;
    PyObject* key_;
    Py_ssize_t length_, start_ = 0;
    Ref parts_;  // the parts kept for the key, held for the walk
    Py_ssize_t taken_ = 0;
    Ref part_;   // the last part, where the parts are not kept
};

// G: `self[key]`.
Ref get_path(PyObject* module, State* st, PyObject* self, PyObject* key) {
    if (PyUnicode_CheckExact(key)) {
        PlainWalk walk(st, key);
        Ref level = py::newref(self);
        PyObject* part = nullptr;
        while (walk.plain(level.get())) {
            const bool head = walk.next(part);
            Ref value = PlainWalk::find(level.get(), part);
            if (!value) {
                PyErr_SetObject(PyExc_KeyError, part);
                py::fail();
            }
            if (!head) return value;
            level = std::move(value);
        }
        if (level.get() != self) {
            if (routes(st, level.get(), GETITEM)) return get_path(module, st, level.get(), walk.rest().get());
            return py::own(PyObject_GetItem(level.get(), walk.rest().get()));
        }
    }
    Path path(key);
    Ref level = py::newref(self);
    Ref head;
    while (path.next(head)) {
        Ref value = plain_get(st, level.get(), head.get());
        if (!routes(st, value.get(), GETITEM)) return py::own(PyObject_GetItem(value.get(), path.rest().get()));
        level = std::move(value);
    }
    return plain_get(st, level.get(), path.rest().get());
}

// Whether `value` is of a built-in type that answers isinstance() by its
// type alone and holds nothing of Tcl's: the everyday leaves.
bool common_leaf(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           value == Py_None || type == &PyTuple_Type || type == &PyList_Type || type == &PyDict_Type;
}

// Whether `value` is a Tcl_Obj of TclX's keyed-list type.
bool is_keyed_list_obj(PyObject* module, PyObject* value) {
    PyObject* tcl_obj = py::global(module, TARVO_STR("Tcl_Obj"));
    // isinstance() against a class whose metaclass is `type` itself is the
    // subclass test of the instance's class, which a common leaf's type is.
    if (common_leaf(value) && PyType_CheckExact(tcl_obj) &&
        !PyType_IsSubtype(Py_TYPE(value), reinterpret_cast<PyTypeObject*>(tcl_obj))) {
        return false;
    }
    if (!py::check(PyObject_IsInstance(value, tcl_obj))) return false;
    Ref type_name = py::getattr(value, TARVO_STR("typename"));
    return py::check(PyObject_RichCompareBool(type_name.get(), TARVO_STR("keyedList"), Py_EQ)) != 0;
}

// NestMap.from_tcl(value), the class looked up by its module-level name.
Ref from_tcl_of_class(PyObject* module, State* st, PyObject* value) {
    PyObject* cls = py::global(module, TARVO_STR("NestMap"));
    if (class_routes(st, cls, FROM_TCL)) return read_keyed_list(module, st, value, false);
    Ref from_tcl = py::getattr(cls, TARVO_STR("from_tcl"));
    return py::call(from_tcl.get(), value);
}

// S.3 at a level that is a NestMap as built here: `level[last] = value`.
void set_last_plain(PyObject* module, State* st, PyObject* level, PyObject* last, PyObject* value) {
    Ref present = PlainWalk::find(level, last);
    bool known_leaf = false;
    if (present && !is_nestmap(module, st, present.get(), &known_leaf)) {
        // A new value of the type of the leaf it replaces, which is known
        // as no NestMap, is none either.
        const bool same_leaf = known_leaf && Py_TYPE(value) == Py_TYPE(present.get());
        if (!same_leaf && is_nestmap(module, st, value)) raise_leaf_conflict(last);
    }
    py::check(PyDict_Type.tp_as_mapping->mp_ass_subscript(level, last, value));
}

// S: `self[key] = value`.  A refused assignment changes nothing: it can only
// fail where an existing head holds a leaf, before any level is made.
void set_path(PyObject* module, State* st, PyObject* self, PyObject* key, PyObject* value_in) {
    Ref value = py::newref(value_in);
    if (is_keyed_list_obj(module, value.get())) {
        value = from_tcl_of_class(module, st, value.get());
        if (!value) py::fail();
    }
    if (PyUnicode_CheckExact(key)) {
        // The walk below, where every level is a NestMap as built here.
        PlainWalk walk(st, key);
        Ref level = py::newref(self);
        PyObject* part = nullptr;
        while (walk.plain(level.get())) {
            if (!walk.next(part)) return set_last_plain(module, st, level.get(), part, value.get());
            Ref sub = PlainWalk::find(level.get(), part);
            if (!sub) {
                sub = new_level(module, st);
                py::check(PyDict_Type.tp_as_mapping->mp_ass_subscript(level.get(), part, sub.get()));
            } else if (!is_nestmap(module, st, sub.get())) {
                raise_leaf_conflict(part);
            }
            level = std::move(sub);
        }
        if (level.get() != self) {
            Ref rest = walk.rest();
            if (routes(st, level.get(), SETITEM)) return set_path(module, st, level.get(), rest.get(), value.get());
            py::check(PyObject_SetItem(level.get(), rest.get(), value.get()));
            return;
        }
    }
    Path path(key);
    Ref level = py::newref(self);
    Ref head;
    while (path.next(head)) {
        Ref sub = find_item(module, st, level.get(), head.get(), path.plain_head());
        if (!sub) {
            sub = new_level(module, st);
            plain_set(st, level.get(), head.get(), sub.get());
        } else if (!is_nestmap(module, st, sub.get())) {
            raise_leaf_conflict(head.get());
        }
        if (!routes(st, sub.get(), SETITEM)) {
            py::check(PyObject_SetItem(sub.get(), path.rest().get(), value.get()));
            return;
        }
        level = std::move(sub);
    }
    Ref last = path.rest();
    if (plain_is_dict(st, P_CONTAINS) && plain_is_dict(st, P_GET)) {
        // Looking in the dict has no effects, so the cheaper test goes first.
        Ref present = plain_find(st, level.get(), last.get());
        if (present && !is_nestmap(module, st, present.get()) && is_nestmap(module, st, value.get())) {
            raise_leaf_conflict(last.get());
        }
    } else if (is_nestmap(module, st, value.get())) {
        Ref present = plain_find(st, level.get(), last.get());
        if (present && !is_nestmap(module, st, present.get())) raise_leaf_conflict(last.get());
    }
    plain_set(st, level.get(), last.get(), value.get());
}

// T: `key in self`, or what a leaf's own __contains__ says.
Ref contains_path(State* st, PyObject* self, PyObject* key) {
    if (PyUnicode_CheckExact(key)) {
        PlainWalk walk(st, key);
        Ref level = py::newref(self);
        PyObject* part = nullptr;
        while (walk.plain(level.get())) {
            const bool head = walk.next(part);
            if (!head) return py::boolean(py::check(PyDict_Contains(level.get(), part)) != 0);
            Ref value = PlainWalk::find(level.get(), part);
            if (!value) return py::boolean(false);
            level = std::move(value);
        }
        if (level.get() != self) {
            if (routes(st, level.get(), CONTAINS)) return contains_path(st, level.get(), walk.rest().get());
            return py::call_method(level.get(), TARVO_STR("__contains__"), walk.rest().get());
        }
    }
    Path path(key);
    Ref level = py::newref(self);
    Ref head;
    while (path.next(head)) {
        Ref value = plain_find(st, level.get(), head.get());
        if (!value) return py::boolean(false);
        if (!routes(st, value.get(), CONTAINS)) {
            return py::call_method(value.get(), TARVO_STR("__contains__"), path.rest().get());
        }
        level = std::move(value);
    }
    return py::boolean(plain_contains(st, level.get(), path.rest().get()));
}

// D: `del self[key]`, then every level on the way that this emptied.
void del_path(State* st, PyObject* self, PyObject* key) {
    struct Step {
        Ref level, head, value;
    };
    std::vector<Step> steps;
    Path path(key);
    Ref level = py::newref(self);
    Ref head;
    bool handed_over = false;
    while (path.next(head)) {
        Ref value = plain_get(st, level.get(), head.get());
        steps.push_back({std::move(level), std::move(head), value.copy()});
        if (!routes(st, value.get(), DELITEM)) {
            py::check(PyObject_DelItem(value.get(), path.rest().get()));
            handed_over = true;
            break;
        }
        level = std::move(value);
    }
    if (!handed_over) plain_del(st, level.get(), path.rest().get());
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        if (!py::truth(step->value.get())) plain_del(st, step->level.get(), step->head.get());
    }
}

// ---------------------------------------------------------------------------
// K: listings

class Lister {
public:
    Lister(PyObject* module, State* st, bool items) : module_(module), st_(st), items_(items) {
        out_ = py::own(PyList_New(0));
    }

    // Lists every leaf of `level` into the result.
    void walk(PyObject* level) {
        py::RecursionGuard depth(" while listing a keyed list");
        const Fn own_listing = items_ ? ALL_ITEMS : ALL_KEYS;
        const Py_ssize_t size = PyDict_GET_SIZE(level);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(level, &pos, &k, &v)) {
            Ref key = py::newref(k), value = py::newref(v);
            if (!is_nestmap(module_, st_, value.get())) {
                add(full_path(key.get()).get(), value.get());
            } else if (PyUnicode_CheckExact(key.get()) && routes(st_, value.get(), own_listing)) {
                Ref head = py::own(PyUnicode_Concat(key.get(), TARVO_STR(".")));
                Ref prefix =
                    prefixes_.empty() ? head.copy() : py::own(PyUnicode_Concat(prefixes_.back().get(), head.get()));
                heads_.push_back(std::move(head));
                prefixes_.push_back(std::move(prefix));
                walk(value.get());
                heads_.pop_back();
                prefixes_.pop_back();
            } else {
                add_sublisting(key.get(), value.get(), own_listing);
            }
            if (PyDict_GET_SIZE(level) != size)
                py::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
    }

    Ref result() { return std::move(out_); }

private:
    // A level listed by its own class (or under a key that is no plain
    // str): each of its entries becomes `key + "." + entry`.
    void add_sublisting(PyObject* key, PyObject* value, Fn own_listing) {
        Ref sub = routes(st_, value, own_listing) ? listing(module_, st_, value, items_)
                                                  : py::call_method(value, name_of(own_listing));
        Ref iterator = py::own(PyObject_GetIter(sub.get()));
        while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
            Ref sub_path, leaf;
            if (items_) {
                unpack2(entry.get(), sub_path, leaf);
            } else {
                sub_path = std::move(entry);
            }
            Ref head = py::own(PyNumber_Add(key, TARVO_STR(".")));
            Ref path = py::own(PyNumber_Add(head.get(), sub_path.get()));
            add(full_path(path.get()).get(), leaf.get());
        }
        if (PyErr_Occurred()) py::fail();
    }

    // `path` under the levels we are in: each level's `key + "."` in front,
    // innermost first; in one go when all of it is plain text.
    Ref full_path(PyObject* path) {
        if (heads_.empty()) return py::newref(path);
        if (PyUnicode_CheckExact(path)) return py::own(PyUnicode_Concat(prefixes_.back().get(), path));
        Ref result = py::newref(path);
        for (auto head = heads_.rbegin(); head != heads_.rend(); ++head) {
            result = py::own(PyNumber_Add(head->get(), result.get()));
        }
        return result;
    }

    void add(PyObject* path, PyObject* leaf) {
        if (!items_) {
            py::check(PyList_Append(out_.get(), path));
            return;
        }
        Ref pair = py::own(PyTuple_Pack(2, path, leaf));
        py::check(PyList_Append(out_.get(), pair.get()));
    }

    PyObject* module_;
    State* st_;
    bool items_;
    Ref out_;
    std::vector<Ref> heads_;     // "key." of each level we are in
    std::vector<Ref> prefixes_;  // the heads so far, joined
};

Ref listing(PyObject* module, State* st, PyObject* level, bool items) {
    Lister lister(module, st, items);
    lister.walk(level);
    return lister.result();
}

// ---------------------------------------------------------------------------
// U: merging, and C: construction

// `self[key] = other[key]` for every key of the mapping `other`.  A dict
// that nobody else can see is walked in place.
void merge_mapping(PyObject* module, State* st, PyObject* self, PyObject* other, bool private_dict) {
    if (private_dict) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(other, &pos, &k, &v)) {
            Ref key = py::newref(k), value = py::newref(v);
            set_item(module, st, self, key.get(), value.get());
        }
        return;
    }
    Ref iterator = py::own(PyObject_GetIter(other));
    while (Ref key = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref value = py::own(PyObject_GetItem(other, key.get()));
        set_item(module, st, self, key.get(), value.get());
    }
    if (PyErr_Occurred()) py::fail();
}

void update_with(PyObject* module, State* st, PyObject* self, PyObject* other, PyObject* kwargs, bool private_dict) {
    if (other) {
        if (is_nestmap(module, st, other)) {
            // A deep merge: every leaf of `other` by its path.
            Ref items = routes(st, other, ALL_ITEMS) ? listing(module, st, other, true)
                                                     : py::call_method(other, TARVO_STR("all_items"));
            Ref iterator = py::own(PyObject_GetIter(items.get()));
            while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
                Ref path, leaf;
                unpack2(entry.get(), path, leaf);
                set_item(module, st, self, path.get(), leaf.get());
            }
            if (PyErr_Occurred()) py::fail();
        } else if (PyDict_CheckExact(other) || py::check(PyObject_IsInstance(other, st->mapping))) {
            merge_mapping(module, st, self, other, private_dict && PyDict_CheckExact(other));
        } else {
            // Objects with keys(), and iterables of pairs: MutableMapping's own rules.
            py::call(st->mutable_update, self, other);
        }
    }
    if (!kwargs) return;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        Ref key = py::newref(k), value = py::newref(v);
        if (!is_nestmap(module, st, value.get())) {
            set_item(module, st, self, key.get(), value.get());
            continue;
        }
        Ref sub = find_item(module, st, self, key.get());
        if (!sub) {
            sub = new_level(module, st);
            set_item(module, st, self, key.get(), sub.get());
        } else if (!is_nestmap(module, st, sub.get())) {
            raise_leaf_conflict(key.get());
        }
        update_item(module, st, sub.get(), value.get());
    }
}

Ref construct_or_keep(PyObject* module, State* st, PyObject* value);

// C.3: every value of the private dict `items` that is not a NestMap is
// replaced by NestMap(value) where that works.
void convert_values(PyObject* module, State* st, PyObject* items) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(items, &pos, &k, &v)) {
        Ref key = py::newref(k), value = py::newref(v);
        if (is_nestmap(module, st, value.get())) continue;
        Ref nested = construct_or_keep(module, st, value.get());
        // Replacing the value of a present key never resizes the dict.
        if (nested) py::check(PyDict_SetItem(items, key.get(), nested.get()));
    }
}

// C.2 to C.4 on a new instance: dict(*args, **kwargs) is `items`.
void fill(PyObject* module, State* st, PyObject* self, PyObject* items) {
    py::RecursionGuard depth(" while building a keyed list");
    convert_values(module, st, items);
    update_item(module, st, self, items, true);
}

// NestMap(value), or nothing where that raises ValueError or TypeError.
Ref construct_or_keep(PyObject* module, State* st, PyObject* value) {
    PyObject* cls = py::global(module, TARVO_STR("NestMap"));
    try {
        if (cls == st->cls && class_routes(st, cls, INIT) && plain_is_dict(st, P_INIT)) {
            // What dict() refuses for certain: no keys() and nothing to
            // iterate, or text whose first item is one character, no pair.
            if (value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
                (PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) > 0)) {
                return {};
            }
            // dict(value) first: making the instance has no effect of its own.
            Ref items = py::own(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value));
            auto* type = reinterpret_cast<PyTypeObject*>(cls);
            Ref no_args = py::own(PyTuple_New(0));
            Ref result = py::own(type->tp_new(type, no_args.get(), nullptr));
            if (PyObject_TypeCheck(result.get(), type)) fill(module, st, result.get(), items.get());
            return result;
        }
        return py::call(cls, value);
    } catch (const py::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) throw;
        PyErr_Clear();
        return {};
    }
}

// ---------------------------------------------------------------------------
// R: reading Tcl text

// `dict(pairs)` for the list `pairs`, with dict's own messages; quietly
// nothing where dict() would raise ValueError and `quiet` asks for that.
Ref dict_of_pairs(PyObject* pairs, bool quiet) {
    Ref result = py::own(PyDict_New());
    const Py_ssize_t n = PyList_GET_SIZE(pairs);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref pair = Ref::steal(PySequence_Fast(PyList_GET_ITEM(pairs, i), ""));
        if (!pair) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) py::fail();
            PyErr_Clear();
            py::raise_format(PyExc_TypeError, "cannot convert dictionary update sequence element #%zd to a sequence",
                             i);
        }
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(pair.get());
        if (size != 2) {
            if (quiet) return {};
            py::raise_format(PyExc_ValueError, "dictionary update sequence element #%zd has length %zd; 2 is required",
                             i, size);
        }
        py::check(PyDict_SetItem(result.get(), PySequence_Fast_GET_ITEM(pair.get(), 0),
                                 PySequence_Fast_GET_ITEM(pair.get(), 1)));
    }
    return result;
}

// Whether `cast_list` is the list cast of tarvo.tcl.internal, which reads
// text with Tcl's own list parser.  What that parser makes of a bare word
// is known without asking it, which saves most of its calls on the leaves
// of a keyed list.
bool is_tcl_parser(State* st, PyObject* cast_list) {
    if (cast_list == st->parser) return true;
    if (!PyCFunction_Check(cast_list)) return false;
    PyObject* owner = PyCFunction_GET_SELF(cast_list);
    if (!owner || !PyModule_Check(owner)) return false;
    const char* name = PyModule_GetName(owner);
    if (!name) {
        PyErr_Clear();
        return false;
    }
    const char* function = reinterpret_cast<PyCFunctionObject*>(cast_list)->m_ml->ml_name;
    if (std::strcmp(name, "tarvo.tcl.internal") != 0 || std::strcmp(function, "cast_list") != 0) return false;
    py::keep(st->parser, py::newref(cast_list));
    return true;
}

// The characters that separate list elements in Tcl's list parser.
bool tcl_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Whether Tcl's list parser reads `text` (a str) as a list whose first
// element is a bare word: not braced or quoted, nothing to substitute.
// Such an element splits into itself alone, which is no key/value pair.
// With `whole`, the bare word must also be all of `text`.
bool starts_with_bare_word(PyObject* text, bool whole) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t i = 0;
    while (i < n && tcl_space(PyUnicode_READ(kind, data, i))) ++i;
    if (i == n || (whole && i > 0)) return false;
    const Py_UCS4 first = PyUnicode_READ(kind, data, i);
    if (first == '{' || first == '"') return false;
    for (; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\\') return false;
        if (tcl_space(c)) return !whole;
    }
    return true;
}

// ---------------------------------------------------------------------------
// R read straight from the text's bytes, by KeyedListText
// (_cxx/keyed_list_text.hpp), where cast_list is Tcl's own parser and
// nothing it skips could be seen: the NestMap class as built here (its own
// functions, dict's item operations and constructor), the module's Tcl_Obj
// as imported, and str and dict not registered as NestMaps.

// Whether from_tcl(string) may be read by KeyedListText.
bool reads_text_itself(PyObject* module, State* st, PyObject* string) {
    if (!PyUnicode_CheckExact(string)) return false;
    if (py::global(module, TARVO_STR("NestMap")) != st->cls || !pristine(st)) return false;
    if (reinterpret_cast<PyTypeObject*>(st->cls)->tp_new != PyDict_Type.tp_new) return false;
    if (py::global(module, TARVO_STR("Tcl_Obj")) != st->tcl_obj) return false;
    const unsigned long long token = abc_token(st);
    if (token == st->plain_token) return true;
    Ref empty = py::own(PyDict_New());
    if (py::check(PyObject_IsInstance(TARVO_STR(""), st->cls)) ||
        py::check(PyObject_IsInstance(empty.get(), st->cls))) {
        return false;
    }
    st->plain_token = token;
    return true;
}

// cast_list's error for text that is no list: ValueError from the TclError
// that Tcl's parser raises without an interpreter.
[[noreturn]] void raise_not_a_list(State* st) {
    try {
        Ref error = py::call(st->tcl_error, st->invalid_element);
        py::raise_object(error.get());
    } catch (const py::Error&) {
        py::Caught caught;
        if (!caught.matches(st->tcl_error)) caught.reraise();
        py::Handling handling(caught);
        py::raise_from(py::call(PyExc_ValueError, caught.value()), caught.value());
    }
}

// What KeyedListText makes its levels of: NestMaps of this module.
class NestMapLevels {
public:
    NestMapLevels(PyObject* module, State* st) noexcept : module_(module), st_(st) {}
    Ref make() const { return new_level(module_, st_); }
    Ref merged(PyObject* items) const {
        Ref tree = new_level(module_, st_);
        update_item(module_, st_, tree.get(), items, true);
        return tree;
    }
    [[noreturn]] void not_a_list() const { raise_not_a_list(st_); }

private:
    PyObject* module_;
    State* st_;
};

// from_tcl(string); with `quiet`, nothing where it would raise ValueError.
Ref read_keyed_list(PyObject* module, State* st, PyObject* string, bool quiet) {
    py::RecursionGuard depth(" while reading a keyed list");
    try {
        Ref cast_list = py::getattr(st->package, TARVO_STR("cast_list"));
        const bool tcl_parser = is_tcl_parser(st, cast_list.get());
        // Text whose first element is a bare word is no keyed list: the
        // answer where a ValueError would only be absorbed.
        if (quiet && tcl_parser && PyUnicode_CheckExact(string) && starts_with_bare_word(string, false)) return {};
        if (tcl_parser && reads_text_itself(module, st, string)) {
            bool taken = false;
            Ref result = tcl::KeyedListText<NestMapLevels>(NestMapLevels(module, st)).read(string, quiet, taken);
            if (taken) return result;
        }
        Ref elements = py::call(cast_list.get(), string);
        if (!PyTuple_CheckExact(elements.get()) && !PyList_CheckExact(elements.get())) {
            elements = py::own(PySequence_List(elements.get()));
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(elements.get());
        // A one-word entry is no pair.  When all entries are text, Tcl's
        // parser can refuse the others only with ValueError, so the answer
        // is ValueError without splitting any of them.
        bool all_text = quiet && tcl_parser;
        for (Py_ssize_t i = 0; all_text && i < n; ++i) {
            all_text = PyUnicode_CheckExact(PySequence_Fast_GET_ITEM(elements.get(), i));
        }
        for (Py_ssize_t i = 0; all_text && i < n; ++i) {
            if (starts_with_bare_word(PySequence_Fast_GET_ITEM(elements.get(), i), true)) return {};
        }
        Ref pairs = py::own(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            // The element is held: a replaced cast_list might change a list under us.
            Ref element = py::newref(PySequence_Fast_GET_ITEM(elements.get(), i));
            PyList_SET_ITEM(pairs.get(), i, py::call(cast_list.get(), element.get()).release());
            if (PySequence_Fast_GET_SIZE(elements.get()) != n) {
                py::raise(PyExc_RuntimeError, "list changed size during iteration");
            }
        }
        Ref items = dict_of_pairs(pairs.get(), quiet);
        if (!items) return {};

        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(items.get(), &pos, &k, &v)) {
            Ref key = py::newref(k), value = py::newref(v);
            if (is_nestmap(module, st, value.get())) continue;
            PyObject* cls = py::global(module, TARVO_STR("NestMap"));
            Ref nested;
            if (class_routes(st, cls, FROM_TCL)) {
                // A value whose first element is a bare word is no keyed list.
                if (tcl_parser && PyUnicode_CheckExact(value.get()) && starts_with_bare_word(value.get(), false)) {
                    continue;
                }
                nested = read_keyed_list(module, st, value.get(), true);
            } else {
                Ref from_tcl = py::getattr(cls, TARVO_STR("from_tcl"));
                nested = Ref::steal(PyObject_CallOneArg(from_tcl.get(), value.get()));
                if (!nested) {
                    if (!PyErr_ExceptionMatches(PyExc_ValueError)) py::fail();
                    PyErr_Clear();
                }
            }
            if (nested) py::check(PyDict_SetItem(items.get(), key.get(), nested.get()));
        }

        Ref result = new_level(module, st);
        update_item(module, st, result.get(), items.get(), true);
        return result;
    } catch (const py::Error&) {
        if (!quiet || !PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        PyErr_Clear();
        return {};
    }
}

// NestMap.from_tcl(text) as cast_any tries it, for the C API (nestmap_api.hpp).
int try_from_tcl(PyObject* module, PyObject* text, PyObject** out) noexcept {
    *out = nullptr;
    return py::entry_int("NestMap.from_tcl", [&] {
        State* st = state_of(module);
        if (!class_routes(st, st->cls, FROM_TCL)) return 2;
        Ref result;
        try {
            result = read_keyed_list(module, st, text, true);
        } catch (const py::Error&) {
        }
        if (result) {
            *out = result.release();
            return 1;
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) py::fail();
            PyErr_Clear();
        }
        return 0;
    });
}

const tcl::NestMapApi c_api = {try_from_tcl};

// ---------------------------------------------------------------------------
// The class namespace.  Each function is a function of the module placed in
// the class; the instance arrives as args[0].

const char* const self_params[] = {"self"};
const char* const key_params[] = {"self", "key"};
const char* const set_params[] = {"self", "key", "value"};
const char* const string_params[] = {"string"};

// __init__(self, /, *args, **kwargs) and update(self, /, *args, **kwargs)
const py::Signature init_sig{"__init__", self_params, 1, 1, 0, 0, true, true, 1};
const py::Signature update_sig{"update", self_params, 1, 1, 0, 0, true, true, 1};
const py::Signature from_tcl_sig{"from_tcl", string_params, 1, 1};
const py::Signature getitem_sig{"__getitem__", key_params, 2, 2};
const py::Signature setitem_sig{"__setitem__", set_params, 3, 3};
const py::Signature contains_sig{"__contains__", key_params, 2, 2};
const py::Signature delitem_sig{"__delitem__", key_params, 2, 2};
const py::Signature all_keys_sig{"all_keys", self_params, 1, 1};
const py::Signature all_items_sig{"all_items", self_params, 1, 1};
const py::Signature tclobj_sig{"__tclobj__", self_params, 1, 1};

PyObject* nestmap_init(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("NestMap.__init__", [&] {
        PyObject* a[1];
        py::Extra extra;
        py::parse(init_sig, args, nargs, kwnames, a, &extra);
        State* st = state_of(module);
        PyObject* self = a[0];
        require_self(st, self, "__init__");
        plain_init(st, self);
        Ref items;
        auto* dict_type = reinterpret_cast<PyObject*>(&PyDict_Type);
        if (extra.kwargs) {
            Ref positional = py::own(PyTuple_New(extra.nrest));
            for (Py_ssize_t i = 0; i < extra.nrest; ++i) {
                PyTuple_SET_ITEM(positional.get(), i, py::newref(extra.rest[i]).release());
            }
            items = py::own(PyObject_Call(dict_type, positional.get(), extra.kwargs.get()));
        } else {
            items = py::own(PyObject_Vectorcall(dict_type, extra.rest, static_cast<size_t>(extra.nrest), nullptr));
        }
        fill(module, st, self, items.get());
        return py::none();
    });
}

PyObject* nestmap_from_tcl(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("NestMap.from_tcl", [&] {
        PyObject* a[1];
        py::parse(from_tcl_sig, args, nargs, kwnames, a);
        return read_keyed_list(module, state_of(module), a[0], false);
    });
}

PyObject* nestmap_getitem(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("NestMap.__getitem__", [&] {
        PyObject* a[2];
        py::parse(getitem_sig, args, nargs, kwnames, a);
        State* st = state_of(module);
        require_self(st, a[0], "__getitem__");
        return get_path(module, st, a[0], a[1]);
    });
}

PyObject* nestmap_setitem(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("NestMap.__setitem__", [&] {
        PyObject* a[3];
        py::parse(setitem_sig, args, nargs, kwnames, a);
        State* st = state_of(module);
        require_self(st, a[0], "__setitem__");
        set_path(module, st, a[0], a[1], a[2]);
        return py::none();
    });
}

PyObject* nestmap_contains(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("NestMap.__contains__", [&] {
        PyObject* a[2];
        py::parse(contains_sig, args, nargs, kwnames, a);
        State* st = state_of(module);
        require_self(st, a[0], "__contains__");
        return contains_path(st, a[0], a[1]);
    });
}

PyObject* nestmap_delitem(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("NestMap.__delitem__", [&] {
        PyObject* a[2];
        py::parse(delitem_sig, args, nargs, kwnames, a);
        State* st = state_of(module);
        require_self(st, a[0], "__delitem__");
        del_path(st, a[0], a[1]);
        return py::none();
    });
}

PyObject* nestmap_update(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("NestMap.update", [&] {
        PyObject* a[1];
        py::Extra extra;
        py::parse(update_sig, args, nargs, kwnames, a, &extra);
        State* st = state_of(module);
        require_self(st, a[0], "update");
        if (extra.nrest > 1) {
            py::raise_format(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)", extra.nrest);
        }
        update_with(module, st, a[0], extra.nrest ? extra.rest[0] : nullptr, extra.kwargs.get(), false);
        return py::none();
    });
}

template <bool items>
PyObject* nestmap_listing(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry(items ? "NestMap.all_items" : "NestMap.all_keys", [&] {
        PyObject* a[1];
        py::parse(items ? all_items_sig : all_keys_sig, args, nargs, kwnames, a);
        State* st = state_of(module);
        require_self(st, a[0], items ? "all_items" : "all_keys");
        return listing(module, st, a[0], items);
    });
}

PyObject* nestmap_tclobj(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::entry("NestMap.__tclobj__", [&] {
        PyObject* a[1];
        py::parse(tclobj_sig, args, nargs, kwnames, a);
        State* st = state_of(module);
        PyObject* self = a[0];
        require_self(st, self, "__tclobj__");
        Ref pairs = py::own(PyList_New(PyDict_GET_SIZE(self)));
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        while (PyDict_Next(self, &pos, &key, &value)) {
            PyList_SET_ITEM(pairs.get(), i++, py::own(PyTuple_Pack(2, key, value)).release());
        }
        return py::call(py::global(module, TARVO_STR("tclobj")), pairs.get());
    });
}

PyMethodDef nestmap_methods[] = {
    {"__init__", TARVO_FASTCALL(nestmap_init), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__init__($module, self, iterable=(), /, **kwargs)\n--\n\n"
               "Take what dict() takes; path keys build their levels, and values that\n"
               "make a NestMap (mappings, iterables of pairs) become nested levels.")},
    {"from_tcl", TARVO_FASTCALL(nestmap_from_tcl), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("from_tcl(string)\n--\n\n"
               "Read a TclX keyed list (Tcl text, a Tcl_Obj, or a sequence of pairs) into a\n"
               "new NestMap.  Raises ValueError for what is not a keyed list.")},
    {"__getitem__", TARVO_FASTCALL(nestmap_getitem), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__getitem__($module, self, key, /)\n--\n\nThe value at the path `key`.")},
    {"__setitem__", TARVO_FASTCALL(nestmap_setitem), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__setitem__($module, self, key, value, /)\n--\n\n"
               "Store `value` at the path `key`, making the levels that are missing.")},
    {"__contains__", TARVO_FASTCALL(nestmap_contains), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__contains__($module, self, key, /)\n--\n\nWhether the path `key` is there.")},
    {"__delitem__", TARVO_FASTCALL(nestmap_delitem), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__delitem__($module, self, key, /)\n--\n\n"
               "Remove the value at the path `key`, and the levels that this empties.")},
    {"update", TARVO_FASTCALL(nestmap_update), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("update($module, self, /, *args, **kwargs)\n--\n\n"
               "Merge into this tree: a NestMap leaf by leaf, anything else key by key;\n"
               "a NestMap keyword value merges into the level of that name.")},
    {"all_keys", TARVO_FASTCALL(nestmap_listing<false>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("all_keys($module, self, /)\n--\n\nThe full paths of all leaves, depth first.")},
    {"all_items", TARVO_FASTCALL(nestmap_listing<true>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("all_items($module, self, /)\n--\n\nThe (full path, leaf) pairs, in the order of all_keys().")},
    {"__tclobj__", TARVO_FASTCALL(nestmap_tclobj), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__tclobj__($module, self, /)\n--\n\n"
               "tclobj() of the (key, value) pairs of this level: the keyed list for Tcl.")},
};

// ---------------------------------------------------------------------------
// NestMap's own item slots.  The class statement leaves NestMap with slots
// that look `__getitem__` (and friends) up by name and call what they find
// through a bound method.  We point NestMap's slots at C++ that runs our
// functions directly, as a C class's slots would.  Each still looks the
// name up and calls whatever else it finds there; assigning a new
// `NestMap.__getitem__` resets the slot anyway, and a subclass gets
// Python's own slots.

// The module of `found` when it is our function `body` as placed in a class.
PyObject* module_if_ours(PyObject* found, PyCFunction body) {
    if (!found || !PyInstanceMethod_Check(found)) return nullptr;
    PyObject* function = PyInstanceMethod_GET_FUNCTION(found);
    if (!PyCFunction_Check(function) || PyCFunction_GET_FUNCTION(function) != body) return nullptr;
    return PyCFunction_GET_SELF(function);
}

// `found`, looked up on the class of `self`, called as its method.
template <class... A>
Ref call_found(PyObject* found, PyObject* self, const char* name, A... args) {
    if (!found)
        py::raise_format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name, name);
    Ref method = py::newref(found);
    if (descrgetfunc get = Py_TYPE(found)->tp_descr_get) {
        method = py::own(get(found, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    }
    return py::call(method.get(), args...);
}

// The class version at which `__getitem__` was last found to be our own,
// and the module of that function.  A version tag names one state of one
// class for the life of the process, and that class holds the function,
// which holds its module.
struct KnownGetItem {
    unsigned int version = 0;
    PyObject* module = nullptr;  // borrowed
};

PyObject* slot_subscript(PyObject* self, PyObject* key) noexcept {
    static py::Kept<KnownGetItem> kept;
    return py::entry("NestMap.__getitem__", [&] {
        PyTypeObject* type = Py_TYPE(self);
        const KnownGetItem known = kept.load();
        if (known.version && type->tp_version_tag == known.version && has_valid_version(type)) {
            return get_path(known.module, state_of(known.module), self, key);
        }
        PyObject* found = py::class_lookup(type, TARVO_STR("__getitem__"));
        if (PyObject* module = module_if_ours(found, TARVO_FASTCALL(nestmap_getitem))) {
            if (has_valid_version(type)) kept.store({type->tp_version_tag, module});
            return get_path(module, state_of(module), self, key);
        }
        return call_found(found, self, "__getitem__", key);
    });
}

int slot_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return py::entry_int("NestMap.__setitem__", [&] {
        if (!value) {
            PyObject* found = py::class_lookup(Py_TYPE(self), TARVO_STR("__delitem__"));
            if (PyObject* module = module_if_ours(found, TARVO_FASTCALL(nestmap_delitem))) {
                del_path(state_of(module), self, key);
            } else {
                call_found(found, self, "__delitem__", key);
            }
            return 0;
        }
        PyObject* found = py::class_lookup(Py_TYPE(self), TARVO_STR("__setitem__"));
        if (PyObject* module = module_if_ours(found, TARVO_FASTCALL(nestmap_setitem))) {
            set_path(module, state_of(module), self, key, value);
        } else {
            call_found(found, self, "__setitem__", key, value);
        }
        return 0;
    });
}

int slot_contains(PyObject* self, PyObject* key) noexcept {
    return py::entry_int("NestMap.__contains__", [&] {
        PyObject* found = py::class_lookup(Py_TYPE(self), TARVO_STR("__contains__"));
        Ref result = nullptr;
        if (PyObject* module = module_if_ours(found, TARVO_FASTCALL(nestmap_contains))) {
            result = contains_path(state_of(module), self, key);
        } else {
            result = call_found(found, self, "__contains__", key);
        }
        return py::truth(result.get()) ? 1 : 0;
    });
}

// ---------------------------------------------------------------------------
// Module

Ref make_nestmap_class(PyObject* module) {
    PyObject* mutable_mapping = py::global(module, TARVO_STR("MutableMapping"));
    Ref bases = py::own(PyTuple_Pack(2, py::global(module, TARVO_STR("AttrDict")), mutable_mapping));
    py::ClassBuilder cls(module, "NestMap", bases.get(),
                         "NestMap(iterable=(), /, **kwargs)\n--\n\n"
                         "A TclX keyed list: a dict whose values may be NestMaps again, with\n"
                         "every item operation taking a path of keys joined by \".\"\n"
                         "(klist['name.first']).");
    cls.method(&nestmap_methods[INIT]);
    cls.static_method(&nestmap_methods[FROM_TCL]);
    cls.method(&nestmap_methods[GETITEM]);
    cls.method(&nestmap_methods[SETITEM]);
    cls.method(&nestmap_methods[CONTAINS]);
    cls.method(&nestmap_methods[DELITEM]);
    for (const char* name : {"get", "pop", "setdefault"}) cls.set(name, py::getattr(mutable_mapping, name).get());
    cls.method(&nestmap_methods[UPDATE]);
    cls.method(&nestmap_methods[ALL_KEYS]);
    cls.method(&nestmap_methods[ALL_ITEMS]);
    cls.alias("has_key", "__contains__");
    cls.method(&nestmap_methods[TCLOBJ]);
    return cls.build();
}

int exec_module(PyObject* module) noexcept {
    return py::entry_int("tarvo.tcl.nestmap", [&] {
        State* st = state_of(module);
        Ref attr_dict = py::import_from("tarvo.datastructures", "AttrDict");
        if (!PyType_Check(attr_dict.get()) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(attr_dict.get()), &PyDict_Type)) {
            py::raise(PyExc_ImportError, "tarvo.datastructures.AttrDict must be a dict subclass");
        }
        py::add(module, "AttrDict", attr_dict.get());
        Ref mutable_mapping = py::import_from("collections.abc", "MutableMapping");
        py::add(module, "MutableMapping", mutable_mapping.get());
        Ref tcl_obj = py::import_from("_tkinter", "Tcl_Obj");
        py::add(module, "Tcl_Obj", tcl_obj.get());
        py::keep(st->tcl_obj, std::move(tcl_obj));
        py::keep(st->tcl_error, py::import_from("tkinter", "TclError"));
        py::keep(st->invalid_element, py::text("invalid list element"));
        py::add(module, "tclobj", py::import_relative(module, "quoten", "tclobj").get());

        Ref cls = make_nestmap_class(module);
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        type->tp_as_mapping->mp_subscript = slot_subscript;
        type->tp_as_mapping->mp_ass_subscript = slot_ass_subscript;
        type->tp_as_sequence->sq_contains = slot_contains;
        py::add(module, "NestMap", cls.get());

        Ref methods = py::own(PyTuple_New(FN_COUNT));
        Ref cls_dict = py::type_dict(reinterpret_cast<PyTypeObject*>(cls.get()));
        for (int fn = 0; fn < FN_COUNT; ++fn) {
            PyObject* method = py::require(PyDict_GetItemWithError(cls_dict.get(), name_of(static_cast<Fn>(fn))));
            PyTuple_SET_ITEM(methods.get(), fn, py::newref(method).release());
        }
        py::keep(st->methods, std::move(methods));
        Ref dict_ops = py::own(PyTuple_New(P_COUNT));
        for (int op = 0; op < P_COUNT; ++op) {
            PyObject* method = py::require(py::class_lookup(&PyDict_Type, plain_name(static_cast<Plain>(op))));
            PyTuple_SET_ITEM(dict_ops.get(), op, py::newref(method).release());
        }
        py::keep(st->dict_ops, std::move(dict_ops));
        py::keep(st->base, std::move(attr_dict));
        py::keep(st->cls, std::move(cls));
        py::keep(st->mapping, py::import_from("collections.abc", "Mapping"));
        py::keep(st->mutable_update, py::getattr(mutable_mapping.get(), "update"));
        py::keep(st->package, py::import("tarvo.tcl"));
        py::keep(st->abc_token, py::import_from("abc", "get_cache_token"));
        if (PyCFunction_Check(st->abc_token) && PyCFunction_GET_FLAGS(st->abc_token) == METH_NOARGS) {
            st->token_function = PyCFunction_GET_FUNCTION(st->abc_token);
            st->token_self = PyCFunction_GET_SELF(st->abc_token);
        }
        py::keep(st->object_class,
                 py::newref(py::require(py::class_lookup(&PyBaseObject_Type, TARVO_STR("__class__")))));
        Ref capsule = py::own(PyCapsule_New(const_cast<tcl::NestMapApi*>(&c_api), tcl::NESTMAP_API_NAME, nullptr));
        py::add(module, "__c_api__", capsule.get());
        return 0;
    });
}

}  // namespace

TARVO_MODULE(nestmap, "NestMap, the Python mirror of a TclX keyed list, with dotted paths into nested levels.", State,
             exec_module)
