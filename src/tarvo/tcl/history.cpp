// tarvo.tcl.history: a bounded, timestamped record of the Tcl commands an
// interpreter runs, with named markers that collect sub-histories.
//
// One `Entry` is made per recorded command and shared by the general store
// and every active marker's store; the stores are fixed-capacity deques, so
// the oldest entry drops out in constant time.  Module globals (`get_time`,
// `logger`, `deque`, `re`) are read at call time, as Python code reads them,
// so a test can replace `get_time` to freeze the clock.
#include "_cxx/py.hpp"
#include "_cxx/dictstate.hpp"
#include "_cxx/history_api.hpp"

#include <structmember.h>

#include <cstring>
#include <ctime>
#include <vector>

namespace py = tarvo::py;
using py::Ref;

namespace {

extern PyModuleDef history_module;

constexpr long DEBUG = 10;  // logging.DEBUG
constexpr long MAX_HISTORY = 9999;

struct State {
    PyObject* entry_type = nullptr;
    PyObject* debug_level = nullptr;
    PyObject* record_format = nullptr;   // "%% %s": a percent sign, a blank, the item
    PyObject* datetime = nullptr;        // datetime.datetime
    PyObject* get_time = nullptr;        // the get_time imported at start-up
    bool get_time_is_now = false;        // ... and it is datetime.datetime.now
    PyObject* logger_class = nullptr;    // logging.Logger
    PyObject* is_enabled_for = nullptr;  // logging.Logger.isEnabledFor, as imported
    PyObject* deque_type = nullptr;      // collections.deque
    PyObject* deque_append = nullptr;    // collections.deque.append
    PyObject* history_type = nullptr;    // History
    PyObject* append_method = nullptr;   // History.__dict__['append']
    static constexpr PyObject* State::* fields[] = {
        &State::entry_type,   &State::debug_level,    &State::record_format, &State::datetime,
        &State::get_time,     &State::logger_class,   &State::is_enabled_for, &State::deque_type,
        &State::deque_append, &State::history_type,   &State::append_method};

    // Class versions at which a lookup was last found to be the one we
    // know (0: not yet): History's `append`, Logger's `isEnabledFor`.
    unsigned int append_version = 0;
    unsigned int logger_version = 0;
    PyCFunction deque_append_function = nullptr;  // deque.append's C function (METH_O), where it is one
    PyObject* module_dict = nullptr;  // the module's own __dict__ (borrowed: the module keeps it for life)

    // Read from dicts, for as long as they stay as they were (dictstate.hpp):
    py::KeptNames<2> globals;  // the module globals `logger` and `get_time`
    // Whether `logger` logs DEBUG, as debug_enabled read it from the
    // logger's own __dict__ (and its level cache, unless it is disabled).
    struct {
        PyObject* logger = nullptr;      // compared only
        uint64_t attributes = 0;         // the state of its __dict__ (0: nothing kept)
        PyObject* cache = nullptr;       // its _cache, borrowed from that __dict__; null: disabled
        uint64_t cache_state = 0;
        bool enabled = false;
    } kept_logger;
};

enum Global { LOGGER, GET_TIME };

State* state_of(PyObject* module) { return py::state<State>(module); }

// The module global `logger` or `get_time`, read at call time.
PyObject* global_of(PyObject* module, State* st, Global which) {
    PyObject* globals = st->module_dict;
    if (st->globals.holds(globals) || st->globals.read(globals, {TARVO_STR("logger"), TARVO_STR("get_time")})) {
        if (PyObject* value = st->globals.value(which)) return value;
    }
    return py::global(module, which == LOGGER ? TARVO_STR("logger") : TARVO_STR("get_time"));
}

// Whether Logger's own dict still holds the isEnabledFor imported (Logger
// defines it itself, so its own dict tells whether somebody replaced it);
// the answer is kept for the class's version.
bool own_is_enabled_for(State* st, PyTypeObject* type) {
    if (st->logger_version && type->tp_version_tag == st->logger_version && py::has_valid_version(type)) return true;
    Ref logger_dict = py::type_dict(type);
    PyObject* method = PyDict_GetItemWithError(logger_dict.get(), TARVO_STR("isEnabledFor"));
    if (!method && PyErr_Occurred()) py::fail();
    if (method != st->is_enabled_for) return false;
    st->logger_version = py::has_valid_version(type) ? type->tp_version_tag : 0;
    return true;
}

// Whether looking a level up in `cache` runs no code: an exact dict whose
// keys are all exact ints.
bool int_keys(PyObject* cache) {
    if (!PyDict_CheckExact(cache)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(cache, &pos, &key, &value)) {
        if (!PyLong_CheckExact(key)) return false;
    }
    return true;
}

// Whether the module logger logs DEBUG: logger.isEnabledFor(DEBUG).  A
// plain Logger answers that from its per-level cache, which we read directly
// when we can: the Python call would cost more than the rest of recording a
// command.  The answer is kept (dictstate.hpp) while the logger's own
// __dict__ and that cache stay as they were.  Anything unusual (a Logger
// subclass, a patched isEnabledFor, a logger without that cache yet) takes
// the method call.
bool debug_enabled(State* st, PyObject* logger) {
    auto& kept = st->kept_logger;
    if (Py_TYPE(logger) == reinterpret_cast<PyTypeObject*>(st->logger_class)) {
        const bool own_method = own_is_enabled_for(st, Py_TYPE(logger));
        Ref attributes = py::own(PyObject_GenericGetDict(logger, nullptr));
        if (own_method && PyDict_CheckExact(attributes.get())) {
            // The answer read before, while the logger's settings stay as they were.
            if (kept.attributes && kept.logger == logger && py::dict_state(attributes.get()) == kept.attributes &&
                (!kept.cache || py::dict_state(kept.cache) == kept.cache_state)) {
                return kept.enabled;
            }
            kept.attributes = 0;
            // An isEnabledFor of the instance's own would be the one asked.
            const bool plain = py::plain_str_keys(attributes.get());
            PyObject* shadow = PyDict_GetItemWithError(attributes.get(), TARVO_STR("isEnabledFor"));
            // Owned: the truth of `disabled` may run code that replaces them.
            Ref disabled = shadow ? Ref() : py::newref(PyDict_GetItemWithError(attributes.get(), TARVO_STR("disabled")));
            Ref cache = disabled ? py::newref(PyDict_GetItemWithError(attributes.get(), TARVO_STR("_cache"))) : Ref();
            const bool plain_cache = cache && int_keys(cache.get());
            Ref known = cache && PyDict_CheckExact(cache.get())
                            ? py::newref(PyDict_GetItemWithError(cache.get(), st->debug_level))
                            : Ref();
            if (PyErr_Occurred()) py::fail();
            // Kept where the reading ran no code and its answer cannot change
            // unless those dicts do: the flags are bools, the keys plain.
            const uint64_t state = py::dict_state(attributes.get());
            if (disabled && PyBool_Check(disabled.get())) {
                if (disabled.get() == Py_True) {
                    if (plain) kept = {logger, state, nullptr, 0, false};
                    return false;
                }
                if (known && PyBool_Check(known.get())) {
                    if (plain && plain_cache) {
                        kept = {logger, state, cache.get(), py::dict_state(cache.get()), known.get() == Py_True};
                    }
                    return known.get() == Py_True;
                }
            }
            if (disabled && py::truth(disabled.get())) return false;
            if (known) return py::truth(known.get());
        }
    }
    Ref enabled = py::call_method(logger, TARVO_STR("isEnabledFor"), st->debug_level);
    return py::truth(enabled.get());
}

// logger.debug(message[, arg]) on the module logger, when it logs DEBUG at all.
void debug(PyObject* module, PyObject* message, PyObject* arg = nullptr) {
    // Owned: asking for the level may run code that rebinds the global.
    State* st = state_of(module);
    Ref logger = py::newref(global_of(module, st, LOGGER));
    if (!debug_enabled(st, logger.get())) return;
    if (arg) {
        py::call_method(logger.get(), TARVO_STR("debug"), message, arg);
    } else {
        py::call_method(logger.get(), TARVO_STR("debug"), message);
    }
}

[[noreturn]] void raise_missing(PyObject* self, const char* attribute) {
    py::raise_format(PyExc_AttributeError, "'%.50s' object has no attribute '%s'", Py_TYPE(self)->tp_name, attribute);
}

template <class Object>
int traverse_fields(Object* self, visitproc visit, void* arg, std::initializer_list<PyObject*> fields) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* field : fields) Py_VISIT(field);
    return 0;
}

// ---------------------------------------------------------------------------
// Entry

// One entry is made per recorded command, so it is kept lean.  While the
// clock is `datetime.now`, it keeps only the clock reading itself: the
// datetime value is built from it when somebody first looks (building it
// means two or three local-time conversions, the dearest part of recording
// a command).  Its attributes are plain ones, so a user may put anything
// there, a cycle through the entry included: the collector knows the type,
// but an entry that holds only a str and a clock reading (or a naive
// datetime made from it), which can be part of no cycle, is not tracked.
struct EntryObject {
    PyObject_HEAD PyObject* timestamp;  // NULL while `pending` (or after `del entry.timestamp`)
    PyObject* api;
    PyObject* words;    // the words it was made from, a tuple; NULL for a text
    long long seconds;  // the clock reading, when `pending`
    int microseconds;
    bool pending;
};

// A command given as words becomes one text: words holding a blank are
// braced, and the words are joined with single blanks.  Built in one
// allocation: this runs for every quick call.
// Whether a word holds a blank (tabs and newlines do not count).
bool has_blank(PyObject* word) {
    const Py_ssize_t size = PyUnicode_GET_LENGTH(word);
    if (PyUnicode_KIND(word) == PyUnicode_1BYTE_KIND) {
        return std::memchr(PyUnicode_DATA(word), ' ', static_cast<size_t>(size)) != nullptr;
    }
    const Py_ssize_t at = PyUnicode_FindChar(word, ' ', 0, size, 1);
    if (at == -2) py::fail();
    return at >= 0;
}

// Most words of a command are a few bytes: those are scanned and copied
// in place, without a call to the C library.
constexpr Py_ssize_t SHORT = 16;

bool has_blank_byte(const char* bytes, Py_ssize_t size) {
    if (size > SHORT) return std::memchr(bytes, ' ', static_cast<size_t>(size)) != nullptr;
    for (Py_ssize_t k = 0; k < size; ++k) {
        if (bytes[k] == ' ') return true;
    }
    return false;
}

// The text of the words `items[0]` to `items[n - 1]`.
Ref join_items(PyObject* const* items, Py_ssize_t n) {
    // Which words get braces: in place for a usual command.
    bool few[32];
    std::vector<char> many;
    bool* braced = few;
    if (n > 32) {
        many.resize(static_cast<size_t>(n));
        braced = reinterpret_cast<bool*>(many.data());
    }
    Py_ssize_t length = n > 0 ? n - 1 : 0;
    Py_UCS4 maxchar = 0x7F;
    bool ascii = true;  // every word compact ASCII: bytes copied as they are
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* word = items[i];
        if (!PyUnicode_Check(word)) {
            py::raise_format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i,
                             Py_TYPE(word)->tp_name);
        }
        const Py_ssize_t size = PyUnicode_GET_LENGTH(word);
        if (PyUnicode_IS_COMPACT_ASCII(word)) {
            braced[i] = has_blank_byte(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(word)), size);
        } else {
            ascii = false;
            braced[i] = has_blank(word);
            if (PyUnicode_MAX_CHAR_VALUE(word) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(word);
        }
        length += size + (braced[i] ? 2 : 0);
    }
    Ref text = py::own(PyUnicode_New(length, maxchar));
    if (ascii) {
        auto* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_ssize_t size = PyUnicode_GET_LENGTH(items[i]);
            const auto* word = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(items[i]));
            if (i > 0) *out++ = ' ';
            if (braced[i]) *out++ = '{';
            if (size <= SHORT) {
                for (Py_ssize_t k = 0; k < size; ++k) out[k] = word[k];
            } else {
                std::memcpy(out, word, static_cast<size_t>(size));
            }
            out += size;
            if (braced[i]) *out++ = '}';
        }
        return text;
    }
    const int kind = PyUnicode_KIND(text.get());
    void* data = PyUnicode_DATA(text.get());
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* word = items[i];
        const Py_ssize_t size = PyUnicode_GET_LENGTH(word);
        if (i > 0) PyUnicode_WRITE(kind, data, at++, ' ');
        if (braced[i]) PyUnicode_WRITE(kind, data, at++, '{');
        if (PyUnicode_KIND(word) == kind) {
            std::memcpy(static_cast<char*>(data) + at * kind, PyUnicode_DATA(word), static_cast<size_t>(size * kind));
        } else if (PyUnicode_CopyCharacters(text.get(), at, word, 0, size) < 0) {
            py::fail();
        }
        at += size;
        if (braced[i]) PyUnicode_WRITE(kind, data, at++, '}');
    }
    return text;
}

// The words of a command as a tuple of its own (a list could change later).
Ref words_tuple(PyObject* const* words, Py_ssize_t n) {
    Ref tuple = py::own(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, py::newref(words[i]).release());
    return tuple;
}

// Whether every word is an exact str: then the words can refer to nothing.
bool plain_words(PyObject* words) {
    const Py_ssize_t n = PyTuple_GET_SIZE(words);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(words, i))) return false;
    }
    return true;
}

// An entry that now holds something that may refer back to it is tracked
// by the collector.
void track(PyObject* self) {
    if (!PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
}

// Fills an entry with the command text `text` (made from `words`, a tuple,
// or null for a text given as it is), then the timestamp.
void fill_entry_text(PyObject* module, State* st, EntryObject* entry, Ref text, Ref words) {
    Ref get_time = py::newref(global_of(module, st, GET_TIME));
    if (get_time.get() == st->get_time && st->get_time_is_now) {
        // What datetime.now() reads: the system clock, floored to microseconds.
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        Py_CLEAR(entry->timestamp);
        entry->seconds = now.tv_sec;
        entry->microseconds = static_cast<int>(now.tv_nsec / 1000);
        entry->pending = true;
    } else {
        Ref timestamp = py::call(get_time.get());
        Py_XSETREF(entry->timestamp, timestamp.release());
        entry->pending = false;
    }
    Py_XSETREF(entry->api, text.release());
    Py_XSETREF(entry->words, words.release());
    // A Python subclass may add a __dict__: its instances stay tracked.
    auto* self = reinterpret_cast<PyObject*>(entry);
    const bool atomic = entry->pending && PyUnicode_CheckExact(entry->api) &&
                        (!entry->words || plain_words(entry->words)) &&
                        Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(st->entry_type);
    if (!atomic) {
        track(self);
    } else if (PyObject_GC_IsTracked(self)) {
        PyObject_GC_UnTrack(self);
    }
}

// Fills an entry: the command text first (so bad words fail before the
// clock is read), then the timestamp.
void fill_entry(PyObject* module, EntryObject* entry, PyObject* api) {
    if (PyUnicode_Check(api)) return fill_entry_text(module, state_of(module), entry, py::newref(api), Ref());
    Ref words = py::own(PySequence_Tuple(api));
    Ref text = join_items(PySequence_Fast_ITEMS(words.get()), PyTuple_GET_SIZE(words.get()));
    fill_entry_text(module, state_of(module), entry, std::move(text), std::move(words));
}

// The entry's timestamp, built from its clock reading on first use exactly
// as datetime.now() builds it: local time of the whole seconds (with its
// fold), then the microseconds.
PyObject* timestamp_of(PyObject* self) {
    auto* e = reinterpret_cast<EntryObject*>(self);
    if (e->pending) {
        State* st = state_of(py::module_of(Py_TYPE(self), &history_module));
        Ref seconds = py::integer(e->seconds);
        Ref whole = py::call_method(st->datetime, TARVO_STR("fromtimestamp"), seconds.get());
        Ref replace = py::getattr(whole.get(), TARVO_STR("replace"));
        Ref microseconds = py::integer(e->microseconds);
        Ref stamp = py::call_kw(replace.get(), {}, {{"microsecond", microseconds.get()}});
        Py_XSETREF(e->timestamp, stamp.release());
        e->pending = false;
    }
    if (!e->timestamp) raise_missing(self, "timestamp");
    return e->timestamp;
}

PyObject* entry_get_timestamp(PyObject* self, void*) noexcept {
    return py::entry("Entry.timestamp", [&] { return py::newref(timestamp_of(self)); });
}

int entry_set_timestamp(PyObject* self, PyObject* value, void*) noexcept {
    return py::entry_int("Entry.timestamp", [&] {
        auto* e = reinterpret_cast<EntryObject*>(self);
        if (!value && !e->timestamp && !e->pending) raise_missing(self, "timestamp");
        Py_XINCREF(value);
        Py_XSETREF(e->timestamp, value);
        e->pending = false;
        if (value) track(self);
        return 0;
    });
}

// A new Entry, made untracked: most entries stay so (see fill_entry_text).
Ref alloc_entry(State* st) {
    auto* type = reinterpret_cast<PyTypeObject*>(st->entry_type);
    EntryObject* entry = PyObject_GC_New(EntryObject, type);
    if (!entry) py::fail();
    entry->timestamp = nullptr;
    entry->api = nullptr;
    entry->words = nullptr;
    entry->seconds = 0;
    entry->microseconds = 0;
    entry->pending = false;
    return Ref::steal(reinterpret_cast<PyObject*>(entry));
}

Ref new_entry(PyObject* module, State* st, PyObject* api) {
    Ref entry = alloc_entry(st);
    fill_entry(module, reinterpret_cast<EntryObject*>(entry.get()), api);
    return entry;
}

Ref new_entry_of_words(PyObject* module, State* st, PyObject* const* words, Py_ssize_t n) {
    Ref text = join_items(words, n);
    Ref entry = alloc_entry(st);
    fill_entry_text(module, st, reinterpret_cast<EntryObject*>(entry.get()), std::move(text), words_tuple(words, n));
    return entry;
}

const char* const entry_init_params[] = {"self", "api"};
const py::Signature entry_init_sig{"__init__", entry_init_params, 2, 2};

int entry_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return py::entry_int("Entry.__init__", [&] {
        PyObject* a[2];
        py::parse_tuple(entry_init_sig, args, kwargs, a, nullptr, 1);
        fill_entry(py::module_of(Py_TYPE(self), &history_module), reinterpret_cast<EntryObject*>(self), a[1]);
        return 0;
    });
}

PyObject* entry_str(PyObject* self) noexcept {
    return py::entry("Entry.__str__", [&] {
        auto* e = reinterpret_cast<EntryObject*>(self);
        PyObject* timestamp = timestamp_of(self);
        if (!e->api) raise_missing(self, "api");
        Ref format = py::text("%Y-%m-%dT%H:%M:%S.%f");
        Ref when = py::call_method(timestamp, TARVO_STR("strftime"), format.get());
        return py::own(PyUnicode_FromFormat("%S: %S", when.get(), e->api));
    });
}

PyObject* entry_repr(PyObject* self) noexcept {
    return py::entry("Entry.__repr__", [&] {
        Ref text = py::str(self);
        Ref id = py::own(PyLong_FromVoidPtr(self));
        Ref hex = py::own(PyNumber_ToBase(id.get(), 16));
        return py::own(PyUnicode_FromFormat("<Entry '%U' at %U>", text.get(), hex.get()));
    });
}

PyObject* entry_get_api(PyObject* self, void*) noexcept {
    return py::entry("Entry.api", [&] {
        auto* e = reinterpret_cast<EntryObject*>(self);
        if (!e->api) raise_missing(self, "api");
        return py::newref(e->api);
    });
}

int entry_set_api(PyObject* self, PyObject* value, void*) noexcept {
    return py::entry_int("Entry.api", [&] {
        auto* e = reinterpret_cast<EntryObject*>(self);
        if (!value && !e->api) raise_missing(self, "api");
        Py_XINCREF(value);
        Py_XSETREF(e->api, value);
        // A command text of somebody's own: the words no longer make it.
        Py_CLEAR(e->words);
        if (value && !PyUnicode_CheckExact(value)) track(self);
        return 0;
    });
}

int entry_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* e = reinterpret_cast<EntryObject*>(self);
    return traverse_fields(e, visit, arg, {e->timestamp, e->api, e->words});
}

int entry_clear(PyObject* self) noexcept {
    auto* e = reinterpret_cast<EntryObject*>(self);
    Py_CLEAR(e->timestamp);
    Py_CLEAR(e->api);
    Py_CLEAR(e->words);
    e->pending = false;
    return 0;  // (which the collector does not look at)
}

void entry_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    entry_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* entry_get_words(PyObject* self, void*) noexcept {
    auto* e = reinterpret_cast<EntryObject*>(self);
    return py::newref(e->words ? e->words : Py_None).release();
}

// The command as Tcl's list quoting writes its words (as quoten writes a
// list): pasted into tclsh, it runs the very same words.  A command given
// as text is that text.
PyObject* entry_get_script(PyObject* self, void*) noexcept {
    return py::entry("Entry.script", [&] {
        auto* e = reinterpret_cast<EntryObject*>(self);
        if (!e->words) {
            if (!e->api) raise_missing(self, "api");
            return py::newref(e->api);
        }
        Ref quoten = py::import_from("tarvo.tcl.quoten", "quoten");
        Ref words = py::own(PySequence_List(e->words));
        return py::call(quoten.get(), words.get());
    });
}

PyGetSetDef entry_getset[] = {
    {"timestamp", entry_get_timestamp, entry_set_timestamp, PyDoc_STR("when the command was recorded"), nullptr},
    {"api", entry_get_api, entry_set_api, PyDoc_STR("the command text"), nullptr},
    {"words", entry_get_words, nullptr,
     PyDoc_STR("the words the command was given as (a tuple), or None for a command given as text"), nullptr},
    {"script", entry_get_script, nullptr,
     PyDoc_STR("the command as Tcl's list quoting writes its words, which tclsh runs as the same words; "
               "a command given as text is that text"),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_doc, const_cast<char*>("Entry(api)\n--\n\nOne recorded Tcl command and the moment it was recorded.\n\n"
                                  "`api` is the command text, or its words (joined, words with a blank braced).")},
    {Py_tp_init, reinterpret_cast<void*>(entry_init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_str, reinterpret_cast<void*>(entry_str)},
    {Py_tp_repr, reinterpret_cast<void*>(entry_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(entry_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(entry_clear)},
    {Py_tp_getset, entry_getset},
    {0, nullptr},
};

PyType_Spec entry_spec = {"tarvo.tcl.history.Entry", sizeof(EntryObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, entry_slots};

// ---------------------------------------------------------------------------
// History

struct HistoryObject {
    PyObject_HEAD PyObject* history;  // __history__: deque of Entry, oldest first
    PyObject* markers;                // __markers__: marker name -> deque of Entry
    PyObject* active;                 // __activeMarkers__: names receiving entries, in start order
    PyObject* enabled;
    PyObject* dict;
    PyObject* weakrefs;
};

HistoryObject* as_history(PyObject* self) { return reinterpret_cast<HistoryObject*>(self); }

// The stores, owned by the caller for as long as it works on them: the code
// that a store, a marker or a key runs may rebind the attribute meanwhile.
Ref field(PyObject* self, PyObject* HistoryObject::* member, const char* name) {
    PyObject* value = as_history(self)->*member;
    if (!value) raise_missing(self, name);
    return py::newref(value);
}

Ref history_of(PyObject* self) { return field(self, &HistoryObject::history, "__history__"); }
Ref markers_of(PyObject* self) { return field(self, &HistoryObject::markers, "__markers__"); }
Ref active_of(PyObject* self) { return field(self, &HistoryObject::active, "__activeMarkers__"); }

Ref new_store(PyObject* module, PyObject* maxlen) {
    Ref deque = py::newref(py::global(module, TARVO_STR("deque")));
    return py::call_kw(deque.get(), {}, {{"maxlen", maxlen}});
}

const char* const history_init_params[] = {"self", "max_history"};
const py::Signature history_init_sig{"__init__", history_init_params, 2, 1};

int history_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return py::entry_int("History.__init__", [&] {
        PyObject* a[2];
        py::parse_tuple(history_init_sig, args, kwargs, a, nullptr, 1);
        PyObject* module = py::module_of(Py_TYPE(self), &history_module);
        Ref default_max = py::integer(MAX_HISTORY);
        Ref store = new_store(module, py::arg_or(a[1], default_max.get()));
        Ref markers = py::own(PyDict_New());
        Ref active = py::own(PyList_New(0));
        HistoryObject* h = as_history(self);
        Py_XSETREF(h->history, store.release());
        Py_XSETREF(h->markers, markers.release());
        Py_XSETREF(h->active, active.release());
        py::call_method(self, TARVO_STR("enable"));
        return 0;
    });
}

// The C signature of methods that learn their defining class (METH_METHOD).
using MethodImpl = Ref (*)(PyObject* self, PyObject* module, PyObject** a);

template <const py::Signature& sig, MethodImpl impl>
PyObject* method_shell(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return py::entry(sig.name, [&] {
        PyObject* a[4];
        py::parse(sig, args, nargs, kwnames, a, nullptr, 1);
        return impl(self, PyType_GetModule(cls), a);
    });
}

Ref set_enabled(PyObject* self, PyObject* module, bool enabled) {
    py::setattr(self, TARVO_STR("enabled"), enabled ? Py_True : Py_False);
    Ref message = py::text(enabled ? "TclHistory is enabled." : "TclHistory is disabled.");
    debug(module, message.get());
    return py::none();
}

const char* const self_params[] = {"self"};
const py::Signature enable_sig{"enable", self_params, 1, 1};
const py::Signature disable_sig{"disable", self_params, 1, 1};

Ref enable_impl(PyObject* self, PyObject* module, PyObject**) { return set_enabled(self, module, true); }
Ref disable_impl(PyObject* self, PyObject* module, PyObject**) { return set_enabled(self, module, false); }

const char* const append_params[] = {"self", "item"};
const py::Signature append_sig{"append", append_params, 2, 2};

// store.append(entry); for a deque (the usual store) straight through
// deque.append, without looking the method up.
void store_entry(State* st, PyObject* store, PyObject* entry) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(store)) == st->deque_type) {
        // deque is a built-in type: nothing can replace its append.
        if (st->deque_append_function) {
            py::own(st->deque_append_function(store, entry));
            return;
        }
        PyObject* args[] = {store, entry};
        py::own(PyObject_Vectorcall(st->deque_append, args, 2, nullptr));
    } else {
        py::call_method(store, TARVO_STR("append"), entry);
    }
}

// Records one command: `item`, or, where that is null, the words
// `words[0]` to `words[n - 1]` that stand for the list of them.
void record(PyObject* self, PyObject* module, State* st, PyObject* item, PyObject* const* words, Py_ssize_t n) {
    {
        // Owned: asking for the level may run code that rebinds the global.
        Ref logger = py::newref(global_of(module, st, LOGGER));
        if (debug_enabled(st, logger.get())) {
            Ref shown = item ? py::newref(item) : py::own(PyList_New(n));
            for (Py_ssize_t i = 0; !item && i < n; ++i) PyList_SET_ITEM(shown.get(), i, py::newref(words[i]).release());
            py::call_method(logger.get(), TARVO_STR("debug"), st->record_format, shown.get());
        }
    }
    HistoryObject* h = as_history(self);
    if (!h->enabled) raise_missing(self, "enabled");
    if (!py::truth(h->enabled)) return;
    Ref entry = item ? new_entry(module, st, item) : new_entry_of_words(module, st, words, n);
    store_entry(st, history_of(self).get(), entry.get());
    Ref active = active_of(self);
    if (PyList_CheckExact(active.get()) && PyList_GET_SIZE(active.get()) == 0) return;
    Ref markers = markers_of(self);
    Ref names = py::own(PyObject_GetIter(active.get()));
    while (Ref name = Ref::steal(PyIter_Next(names.get()))) {
        Ref store = py::own(PyObject_GetItem(markers.get(), name.get()));
        store_entry(st, store.get(), entry.get());
    }
    if (PyErr_Occurred()) py::fail();
}

Ref append_impl(PyObject* self, PyObject* module, PyObject** a) {
    record(self, module, state_of(module), a[1], nullptr, 0);
    return py::none();
}

// -- the C API (history_api.hpp) ---------------------------------------------

// The module of `history` where `history.append` would be our own append
// of a History itself; null where only calling it can tell.  That takes a
// History (not a subclass) with generic attribute lookup, whose class
// still finds our `append` (kept for the class's version), and whose own
// __dict__ has no `append`.
PyObject* own_append(PyObject* history, State*& st) {
    PyTypeObject* type = Py_TYPE(history);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* module = reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
    if (!module || !PyModule_Check(module) || PyModule_GetDef(module) != &history_module) return nullptr;
    st = state_of(module);
    if (type != reinterpret_cast<PyTypeObject*>(st->history_type)) return nullptr;
    if (!(st->append_version && type->tp_version_tag == st->append_version && py::has_valid_version(type))) {
        if (py::class_lookup(type, TARVO_STR("append")) != st->append_method) return nullptr;
        st->append_version = py::has_valid_version(type) ? type->tp_version_tag : 0;
    }
    if (PyObject* dict = as_history(history)->dict) {
        if (!PyDict_CheckExact(dict)) return nullptr;
        if (PyDict_GetItemWithError(dict, TARVO_STR("append"))) return nullptr;
        if (PyErr_Occurred()) py::fail();
    }
    return module;
}

int api_append(PyObject* history, PyObject* item) noexcept {
    return py::entry_int("History.append", [&] {
        State* st = nullptr;
        PyObject* module = own_append(history, st);
        if (!module) return 0;
        // As a call of the method would: its depth counted, its arguments held.
        py::RecursionGuard depth(" while calling a Python object");
        Ref held = py::newref(history), held_item = py::newref(item);
        record(history, module, st, item, nullptr, 0);
        return 1;
    });
}

int api_append_words(PyObject* history, PyObject* const* words, Py_ssize_t n) noexcept {
    return py::entry_int("History.append", [&] {
        State* st = nullptr;
        PyObject* module = own_append(history, st);
        if (!module) return 0;
        py::RecursionGuard depth(" while calling a Python object");
        Ref held = py::newref(history);
        record(history, module, st, nullptr, words, n);
        return 1;
    });
}

const tarvo::tcl::HistoryApi c_api = {api_append, api_append_words};

const char* const clear_params[] = {"self", "marker", "clear_all"};
const py::Signature clear_sig{"clear", clear_params, 3, 1};

Ref clear_impl(PyObject* self, PyObject*, PyObject** a) {
    PyObject* marker = py::arg_or(a[1], Py_None);
    if (a[2] && py::truth(a[2])) {
        Ref stores = py::own(PyMapping_Values(markers_of(self).get()));
        const Py_ssize_t n = PyList_GET_SIZE(stores.get());
        for (Py_ssize_t i = 0; i < n; ++i) py::call_method(PyList_GET_ITEM(stores.get(), i), TARVO_STR("clear"));
        py::call_method(history_of(self).get(), TARVO_STR("clear"));
    } else if (marker != Py_None) {
        Ref store = py::own(PyObject_GetItem(markers_of(self).get(), marker));
        py::call_method(store.get(), TARVO_STR("clear"));
    } else {
        py::call_method(history_of(self).get(), TARVO_STR("clear"));
    }
    return py::none();
}

const char* const marker_params[] = {"self", "marker"};
const py::Signature start_marker_sig{"start_marker", marker_params, 2, 2};
const py::Signature end_marker_sig{"end_marker", marker_params, 2, 2};

Ref start_marker_impl(PyObject* self, PyObject* module, PyObject** a) {
    PyObject* marker = a[1];
    Ref markers = markers_of(self);
    if (!py::check(PySequence_Contains(markers.get(), marker))) {
        Ref maxlen = py::getattr(history_of(self).get(), TARVO_STR("maxlen"));
        Ref store = new_store(module, maxlen.get());
        py::check(PyObject_SetItem(markers.get(), marker, store.get()));
    }
    py::call_method(active_of(self).get(), TARVO_STR("append"), marker);
    return py::none();
}

Ref end_marker_impl(PyObject* self, PyObject*, PyObject** a) {
    py::call_method(active_of(self).get(), TARVO_STR("remove"), a[1]);
    return py::none();
}

const char* const filter_params[] = {"self", "marker", "count", "regex"};
const py::Signature filter_sig{"filter", filter_params, 4, 1};

Ref filter_impl(PyObject* self, PyObject* module, PyObject** a) {
    PyObject* marker = py::arg_or(a[1], Py_None);
    PyObject* regex = py::arg_or(a[3], Py_None);
    Ref source;
    if (marker == Py_None) {
        source = history_of(self);
    } else {
        source = Ref::steal(PyObject_GetItem(markers_of(self).get(), marker));
        if (!source) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) py::fail();
            py::Caught missing;
            py::Handling handling(missing);
            py::raise_format(PyExc_Exception, "No such marker: %S", marker);
        }
    }
    Ref entries = py::own(PySequence_List(source.get()));
    Ref count = a[2] ? py::newref(a[2]) : py::integer(20);
    Ref start = py::own(PyNumber_Negative(count.get()));
    Ref window = py::own(PySlice_New(start.get(), nullptr, nullptr));
    Ref selected = py::own(PyObject_GetItem(entries.get(), window.get()));
    if (!py::truth(regex)) return selected;

    Ref compile = py::getattr(py::global(module, TARVO_STR("re")), TARVO_STR("compile"));
    Ref pattern = py::call(compile.get(), regex);
    Ref matching = py::own(PyList_New(0));
    const Py_ssize_t n = PyList_GET_SIZE(selected.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PyList_GET_ITEM(selected.get(), i);
        Ref api = py::getattr(entry, TARVO_STR("api"));
        Ref found = py::call_method(pattern.get(), TARVO_STR("search"), api.get());
        if (found.get() != Py_None) py::check(PyList_Append(matching.get(), entry));
    }
    return matching;
}

PyObject* history_str(PyObject* self) noexcept {
    return py::entry("History.__str__", [&] { return py::str(history_of(self).get()); });
}

PyObject* history_repr(PyObject* self) noexcept {
    return py::entry("History.__repr__", [&] { return py::own(PyObject_Repr(history_of(self).get())); });
}

int history_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    HistoryObject* h = as_history(self);
    return traverse_fields(h, visit, arg, {h->history, h->markers, h->active, h->enabled, h->dict});
}

int history_clear(PyObject* self) noexcept {
    HistoryObject* h = as_history(self);
    Py_CLEAR(h->history);
    Py_CLEAR(h->markers);
    Py_CLEAR(h->active);
    Py_CLEAR(h->enabled);
    Py_CLEAR(h->dict);
    return 0;
}

void history_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_history(self)->weakrefs) PyObject_ClearWeakRefs(self);
    history_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

#define HISTORY_METHOD(name, sig, impl, doc)                                                         \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(method_shell<sig, impl>)), \
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS, PyDoc_STR(doc)}

PyMethodDef history_methods[] = {
    HISTORY_METHOD("enable", enable_sig, enable_impl, "enable($self, /)\n--\n\nRecord commands again."),
    HISTORY_METHOD("disable", disable_sig, disable_impl,
                   "disable($self, /)\n--\n\nStop recording; what is stored stays."),
    HISTORY_METHOD("append", append_sig, append_impl,
                   "append($self, item)\n--\n\nRecord one command: its text or its list of words."),
    HISTORY_METHOD("clear", clear_sig, clear_impl,
                   "clear($self, marker=None, clear_all=False)\n--\n\n"
                   "Empty the general history, one marker's store, or (clear_all) every store."),
    HISTORY_METHOD("start_marker", start_marker_sig, start_marker_impl,
                   "start_marker($self, marker)\n--\n\nLet `marker` receive every entry from now on."),
    HISTORY_METHOD("end_marker", end_marker_sig, end_marker_impl,
                   "end_marker($self, marker)\n--\n\nUndo one start_marker of `marker`."),
    HISTORY_METHOD("filter", filter_sig, filter_impl,
                   "filter($self, marker=None, count=20, regex=None)\n--\n\n"
                   "The last `count` entries (of a marker's store), oldest first, that match `regex`."),
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef history_members[] = {
    {"__history__", T_OBJECT_EX, offsetof(HistoryObject, history), 0, "the general history"},
    {"__markers__", T_OBJECT_EX, offsetof(HistoryObject, markers), 0, "marker name to its store"},
    {"__activeMarkers__", T_OBJECT_EX, offsetof(HistoryObject, active), 0, "markers receiving entries"},
    {"enabled", T_OBJECT_EX, offsetof(HistoryObject, enabled), 0, "whether append records anything"},
    {"__dictoffset__", T_PYSSIZET, offsetof(HistoryObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(HistoryObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef history_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot history_slots[] = {
    {Py_tp_doc, const_cast<char*>("History(max_history=9999)\n--\n\n"
                                  "A bounded record of Tcl commands, with markers for sub-histories.")},
    {Py_tp_init, reinterpret_cast<void*>(history_init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_str, reinterpret_cast<void*>(history_str)},
    {Py_tp_repr, reinterpret_cast<void*>(history_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(history_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(history_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(history_dealloc)},
    {Py_tp_methods, history_methods},
    {Py_tp_members, history_members},
    {Py_tp_getset, history_getset},
    {0, nullptr},
};

PyType_Spec history_spec = {"tarvo.tcl.history.History", sizeof(HistoryObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, history_slots};

// ---------------------------------------------------------------------------
// Module

int exec_module(PyObject* module) noexcept {
    return py::entry_int("tarvo.tcl.history", [&] {
        State* st = state_of(module);
        st->module_dict = py::require(PyModule_GetDict(module));
        py::add(module, "re", py::import("re").get());
        Ref logging = py::import("logging");
        py::add(module, "logging", logging.get());
        Ref deque = py::import_from("collections", "deque");
        py::add(module, "deque", deque.get());
        py::keep(st->deque_append, py::getattr(deque.get(), "append"));
        if (Py_IS_TYPE(st->deque_append, &PyMethodDescr_Type)) {
            PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(st->deque_append)->d_method;
            if (def->ml_flags == METH_O) st->deque_append_function = def->ml_meth;
        }
        py::keep(st->deque_type, std::move(deque));
        Ref get_time = py::import_from("tarvo.utils.utils", "get_time");
        py::add(module, "get_time", get_time.get());
        Ref datetime = py::import_from("datetime", "datetime");
        Ref now = py::getattr(datetime.get(), TARVO_STR("now"));
        st->get_time_is_now = py::check(PyObject_RichCompareBool(get_time.get(), now.get(), Py_EQ));
        py::keep(st->get_time, std::move(get_time));
        py::keep(st->datetime, std::move(datetime));
        Ref logger = py::call_method(logging.get(), TARVO_STR("getLogger"), py::text("tarvo.tcl").get());
        py::add(module, "logger", logger.get());
        py::keep(st->debug_level, py::integer(DEBUG));
        Ref logger_class = py::getattr(logging.get(), "Logger");
        py::keep(st->is_enabled_for, py::getattr(logger_class.get(), "isEnabledFor"));
        py::keep(st->logger_class, std::move(logger_class));
        py::keep(st->record_format, py::text("%% %s"));

        Ref entry_type = py::type_from_spec(module, &entry_spec);
        py::add(module, "Entry", entry_type.get());
        py::keep(st->entry_type, std::move(entry_type));

        Ref history_type = py::type_from_spec(module, &history_spec);
        py::setattr(history_type.get(), "__MAX_HISTORY__", py::integer(MAX_HISTORY).get());
        py::add(module, "History", history_type.get());
        Ref type_dict = py::type_dict(reinterpret_cast<PyTypeObject*>(history_type.get()));
        py::keep(st->append_method, py::newref(py::require(PyDict_GetItemWithError(type_dict.get(), TARVO_STR("append")))));
        py::keep(st->history_type, std::move(history_type));
        Ref capsule = py::own(PyCapsule_New(const_cast<tarvo::tcl::HistoryApi*>(&c_api), tarvo::tcl::HISTORY_API_NAME,
                                            nullptr));
        py::add(module, "__c_api__", capsule.get());
        return 0;
    });
}

}  // namespace

TARVO_MODULE(history, "A bounded, timestamped record of the Tcl commands an interpreter runs.", State, exec_module)
