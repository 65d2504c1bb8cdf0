// tarvo.tcl.jot: Tcl commands called as Python attributes.
//
// `tcl.jot.ns_a.procname('word', opt=value)` runs the Tcl command
// `ns_a::procname word -opt value`: attribute access on a `Jot` starts a
// `Jot_Code`, every further attribute access adds a part to its command
// name, and the call turns its arguments into words with `quoten`, records
// them in the interpreter's history and runs them with the Tcl application
// object's `call`, so Tcl receives the words as they are.  A `Jot` holds
// only a weak proxy to its interpreter: the two form no cycle.
//
// Both classes behave as classes whose `__getattr__` is called when normal
// lookup fails; their own types answer the common case (a name that is no
// attribute at all) without raising and catching an AttributeError first.
// The call path uses the `quoten` and `Jot_Code` bound at import; the
// globals of the rarer paths (`TclError`, `weakref`) are read at call time.
//
// An argument that holds a `Secret` reaches Tcl with its value, while the
// history (and so its log and whatever reports it) gets a copy of the words
// with **** in its place, and a Tcl error of that command is reported with
// the Secrets masked in its message.
#include "_cxx/py.hpp"
#include "_cxx/dictstate.hpp"
#include "_cxx/history_api.hpp"
#include "_cxx/interpreter_api.hpp"
#include "_cxx/tclstr.hpp"
#include "_cxx/tcl.hpp"
#include "_cxx/watch.hpp"

#include <structmember.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace py = tarvo::py;
namespace tcl = tarvo::tcl;
using py::Ref;

namespace {

extern PyModuleDef jot_module;

struct State {
    PyObject* jot_type = nullptr;
    PyObject* code_type = nullptr;
    PyObject* jot_names = nullptr;      // every name that Jot and its bases define
    PyObject* code_names = nullptr;     // the same for Jot_Code
    PyObject* quoten = nullptr;         // the quoten imported at start-up
    PyObject* quoten_masked = nullptr;  // ... and its sibling that also writes the text to record
    PyObject* interrupts = nullptr;     // tarvo.tcl.internal._interrupts
    static constexpr PyObject* State::* fields[] = {&State::jot_type,   &State::code_type,     &State::jot_names,
                                                    &State::code_names, &State::quoten,        &State::quoten_masked,
                                                    &State::interrupts};
    const tcl::HistoryApi* history_api = nullptr;  // tarvo.tcl.history's, once that module is there
    const tcl::InterpreterApi* interpreter_api = nullptr;  // tarvo.tcl.interpreter's, the same way
    // The interpreter class, and its version, at which `cast_any` was last
    // found to be Interpreter's own (see call_cast_any).
    struct KnownCastAny {
        PyTypeObject* type;  // compared only: the version names the class
        unsigned int version;
        PyObject* module;  // borrowed: that class holds the function, which holds it
    };
    py::Kept<KnownCastAny> cast_any_known;  // the class whose cast_any is Interpreter's own
    py::ClassLacks interp_lacks;          // an interpreter class without `tk` and `history` of its own
    py::KeptNames<3> own_names;           // an interpreter's own __dict__, read for `tk`, `history`, `cast_any`
    py::KnownMethod tk_call;              // the `call` of tkinter's application objects
};

enum OwnName { N_TK, N_HISTORY, N_CAST_ANY };

// `dict`, an interpreter's own __dict__, read for those names (kept for as
// long as it stays as it was, dictstate.hpp); null where it cannot be.
const py::KeptNames<3>* own_names(State* st, PyObject* dict) {
    if (!dict) return nullptr;
    if (st->own_names.holds(dict)) return &st->own_names;
    const bool kept = st->own_names.read(dict, {TARVO_STR("tk"), TARVO_STR("history"), TARVO_STR("cast_any")});
    return kept ? &st->own_names : nullptr;
}

// `interp.<name>` where its class has nothing of that name: `dict` is its
// own __dict__ (or empty), read through own_names where that holds.
Ref own_attr(State* st, PyObject* interp, PyObject* dict, OwnName n, PyObject* name) {
    return py::kept_attr(own_names(st, dict), interp, dict, n, name);
}

State* state_of(PyObject* module) { return py::state<State>(module); }

// The C API of a sibling module, once that module has been imported (by
// whoever imports it: none of its objects can be about before); null until
// then.  Importing this module imports neither of them.
const void* sibling_api(PyObject* module_name, const char* api_name) {
    Ref module = Ref::steal(PyImport_GetModule(module_name));
    if (!module) {
        if (PyErr_Occurred()) py::fail();
        return nullptr;
    }
    Ref capsule = py::getattr_optional(module.get(), TARVO_STR("__c_api__"));
    if (!capsule || !PyCapsule_IsValid(capsule.get(), api_name)) return nullptr;
    return PyCapsule_GetPointer(capsule.get(), api_name);
}

const tcl::HistoryApi* history_api(State* st) {
    if (!st->history_api) {
        st->history_api = static_cast<const tcl::HistoryApi*>(
            sibling_api(TARVO_STR("tarvo.tcl.history"), tcl::HISTORY_API_NAME));
    }
    return st->history_api;
}

const tcl::InterpreterApi* interpreter_api(State* st) {
    if (!st->interpreter_api) {
        st->interpreter_api = static_cast<const tcl::InterpreterApi*>(
            sibling_api(TARVO_STR("tarvo.tcl.interpreter"), tcl::INTERPRETER_API_NAME));
    }
    return st->interpreter_api;
}

struct JotObject {
    PyObject_HEAD PyObject* tcl;
    PyObject* dict;
    PyObject* weakrefs;
};

struct CodeObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* tcl;
    PyObject* cmd;
    PyObject* dict;
    PyObject* weakrefs;
};

JotObject* as_jot(PyObject* self) { return reinterpret_cast<JotObject*>(self); }
CodeObject* as_code(PyObject* self) { return reinterpret_cast<CodeObject*>(self); }

PyObject* module_of(PyObject* self) {
    // Our own classes name their module; a subclass's is found along its MRO.
    PyObject* module = reinterpret_cast<PyHeapTypeObject*>(Py_TYPE(self))->ht_module;
    if (module && PyModule_Check(module) && PyModule_GetDef(module) == &jot_module) return module;
    return py::module_of(Py_TYPE(self), &jot_module);
}

// Both classes are immutable, as builtin types are: nothing can replace
// what they define, so an instance of the class itself (not of a subclass)
// may have its slots read in place and the names its class defines looked
// up once.  Where the interpreter cannot make a type immutable, normal
// lookup does it all.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned long IMMUTABLE = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long IMMUTABLE = 0;
#endif

PyObject* jot_getattro(PyObject* self, PyObject* name) noexcept;
PyObject* code_getattro(PyObject* self, PyObject* name) noexcept;

// Whether `self` is an instance of the class itself, with its own lookup:
// Python subclasses always get the __getattr__ hook of their own.
bool plain(PyObject* self, getattrofunc own) { return IMMUTABLE && Py_TYPE(self)->tp_getattro == own; }

// Whether normal lookup could find `name` on `self`, an instance of the
// class itself: in the names its class defines, or in its own __dict__.
// When it cannot, __getattr__ is all that is left.
bool has_attribute(PyObject* self, PyObject* names, PyObject* dict, PyObject* name) {
    if (IMMUTABLE) {
        if (py::check(PySet_Contains(names, name))) return true;
    } else {
        PyObject* mro = Py_TYPE(self)->tp_mro;
        const Py_ssize_t n = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref type_dict = py::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
            if (PyDict_GetItemWithError(type_dict.get(), name)) return true;
            if (PyErr_Occurred()) py::fail();
        }
    }
    if (dict && PyDict_Check(dict)) {
        if (PyDict_GetItemWithError(dict, name)) return true;
        if (PyErr_Occurred()) py::fail();
    }
    return false;
}

// Attribute lookup of a class with a __getattr__ hook: the generic lookup,
// then `fallback` when it raised AttributeError.  A name that the lookup
// cannot find goes to `fallback` at once, without an AttributeError raised
// and caught on the way.
template <Ref (*fallback)(PyObject* self, PyObject* name, State* st), PyObject* State::* names>
PyObject* getattro(PyObject* self, PyObject* name, PyObject* dict) noexcept {
    return py::entry("__getattr__", [&] {
        // (Only the classes themselves have this lookup: their module is their own.)
        State* st = state_of(PyType_GetModule(Py_TYPE(self)));
        if (PyUnicode_CheckExact(name) && !has_attribute(self, st->*names, dict, name)) {
            return fallback(self, name, st);
        }
        PyObject* found = PyObject_GenericGetAttr(self, name);
        if (found) return Ref::steal(found);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::fail();
        PyErr_Clear();
        return fallback(self, name, st);
    });
}

// A slot as normal lookup reads it, but without a detour through
// __getattr__ when it is missing.
Ref slot(PyObject* self, PyObject* value, getattrofunc own, PyObject* name) {
    if (value && plain(self, own)) return py::newref(value);
    return py::own(PyObject_GenericGetAttr(self, name));
}

Ref jot_tcl(PyObject* self) { return slot(self, as_jot(self)->tcl, jot_getattro, TARVO_STR("tcl")); }
Ref code_tcl(PyObject* self) { return slot(self, as_code(self)->tcl, code_getattro, TARVO_STR("tcl")); }
Ref code_cmd(PyObject* self) { return slot(self, as_code(self)->cmd, code_getattro, TARVO_STR("cmd")); }

// The object behind `tcl`: the referent of a weak proxy (which is what the
// proxy forwards every use to), or `tcl` itself.
Ref target_of(PyObject* tcl) {
    if (!PyWeakref_CheckProxy(tcl)) return py::newref(tcl);
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target;
    if (PyWeakref_GetRef(tcl, &target) < 0) py::fail();
    if (target) return Ref::steal(target);
#else
    PyObject* target = PyWeakref_GET_OBJECT(tcl);  // `tcl` is a proxy: no check needed
    if (target != Py_None) return py::newref(target);
#endif
    py::raise(PyExc_ReferenceError, "weakly-referenced object no longer exists");
}

// ---------------------------------------------------------------------------
// Jot_Code

void set_vectorcall(PyObject* self);

PyObject* code_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) set_vectorcall(self);
    return self;
}

const char* const code_init_params[] = {"self", "tcl"};
const py::Signature code_init_sig{"__init__", code_init_params, 1, 1, 1, 1, true};

int code_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return py::entry_int("Jot_Code.__init__", [&] {
        PyObject* a[2];
        py::Extra extra;
        py::parse_tuple(code_init_sig, args, kwargs, a, &extra, 1);
        Ref cmd = py::own(PyList_New(extra.nrest));
        for (Py_ssize_t i = 0; i < extra.nrest; ++i) {
            Py_INCREF(extra.rest[i]);
            PyList_SET_ITEM(cmd.get(), i, extra.rest[i]);
        }
        py::setattr(self, TARVO_STR("tcl"), a[1]);
        py::setattr(self, TARVO_STR("cmd"), cmd.get());
        return 0;
    });
}

// Jot_Code(name, tcl=tcl), filled in place.
Ref new_code(State* st, PyObject* name, PyObject* tcl) {
    auto* type = reinterpret_cast<PyTypeObject*>(st->code_type);
    Ref code = py::own(code_new(type, nullptr, nullptr));
    CodeObject* c = as_code(code.get());
    c->cmd = py::own(PyList_New(1)).release();
    Py_INCREF(name);
    PyList_SET_ITEM(c->cmd, 0, name);
    Py_INCREF(tcl);
    c->tcl = tcl;
    return code;
}

// Every attribute that normal lookup does not find is one more part of the
// command name.
Ref code_getattr(PyObject* self, PyObject* name, State*) {
    Ref cmd = code_cmd(self);
    if (PyList_CheckExact(cmd.get())) {
        py::check(PyList_Append(cmd.get(), name));
    } else {
        py::call_method(cmd.get(), TARVO_STR("append"), name);
    }
    return py::newref(self);
}

PyObject* code_getattro(PyObject* self, PyObject* name) noexcept {
    return getattro<code_getattr, &State::code_names>(self, name, as_code(self)->dict);
}

const char* const getattr_params[] = {"self", "name"};
const py::Signature code_getattr_sig{"__getattr__", getattr_params, 2, 2};
const py::Signature jot_getattr_sig{"__getattr__", getattr_params, 2, 2};

PyObject* code_getattr_method(PyObject* self, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return py::entry("Jot_Code.__getattr__", [&] {
        PyObject* a[2];
        py::parse(code_getattr_sig, args, nargs, kwnames, a, nullptr, 1);
        return code_getattr(self, a[1], nullptr);
    });
}

PyObject* code_str(PyObject* self) noexcept {
    return py::entry("Jot_Code.__str__", [&] {
        Ref cmd = code_cmd(self);
        Ref name = py::own(PyUnicode_Join(TARVO_STR("::"), cmd.get()));
        return py::own(PyUnicode_FromFormat("<tcl.Jot magic, referring Tcl code ::%U>", name.get()));
    });
}

PyObject* code_repr(PyObject* self) noexcept {
    return py::entry("Jot_Code.__repr__", [&] { return py::call_method(self, TARVO_STR("__str__")); });
}

// Whether the keyword `kw` is cast_ (or timeout_).
bool is_cast_flag(PyObject* kw) {
    if (kw == TARVO_STR("cast_")) return true;
    return PyUnicode_Check(kw) && PyUnicode_CompareWithASCIIString(kw, "cast_") == 0;
}

bool is_timeout_flag(PyObject* kw) {
    if (kw == TARVO_STR("timeout_")) return true;
    return PyUnicode_Check(kw) && PyUnicode_CompareWithASCIIString(kw, "timeout_") == 0;
}

// Tcl's own string of the command's result: what `eval` of the same command
// returns, read from the interpreter right after the call.  tkinter hands a
// result that has no other type than string over as exactly that string
// (decoded from Tcl's bytes as we would decode them), so a str result is
// it already; a number, list, boolean and the like are read back from Tcl.
// Where Tcl's string cannot be read (a stand-in for tkinter's application
// object, say), it is the str() of the result.
Ref string_result(PyObject* tk, Ref result) {
    if (PyUnicode_CheckExact(result.get())) return result;
    tcl::Interp* interp = tcl::own_interp(tk);
    if (!interp) return py::str(result.get());
    const tcl::Api& api = tcl::api();
    return tcl::text_of(api.GetObjResult(interp));
}

// The words of a command, each held, behind a free first place for a
// vectorcall's self (`argv()[0]`, left to the caller).
class Words {
public:
    explicit Words(Py_ssize_t capacity) {
        if (capacity + 1 > static_cast<Py_ssize_t>(SMALL)) {
            big_.resize(static_cast<size_t>(capacity) + 1);
            argv_ = big_.data();
        }
        argv_[0] = nullptr;
    }
    // The items of a list as they are now: whoever else holds the list may
    // change it meanwhile.
    explicit Words(PyObject* list) : Words(PyList_GET_SIZE(list)) {
        const Py_ssize_t n = PyList_GET_SIZE(list);
        for (Py_ssize_t i = 0; i < n; ++i) push(py::newref(PyList_GET_ITEM(list, i)));
    }
    ~Words() {
        for (Py_ssize_t i = 1; i <= n_; ++i) Py_DECREF(argv_[i]);
    }
    Words(const Words&) = delete;
    Words& operator=(const Words&) = delete;

    void push(Ref word) noexcept { argv_[++n_] = word.release(); }
    PyObject* operator[](Py_ssize_t i) const noexcept { return argv_[i + 1]; }
    PyObject* const* items() const noexcept { return argv_ + 1; }
    PyObject** argv() noexcept { return argv_; }
    Py_ssize_t size() const noexcept { return n_; }

    // A new list of the words.
    Ref list() const {
        Ref list = py::own(PyList_New(n_));
        for (Py_ssize_t i = 0; i < n_; ++i) PyList_SET_ITEM(list.get(), i, py::newref(argv_[i + 1]).release());
        return list;
    }

private:
    static constexpr size_t SMALL = 16;
    Py_ssize_t n_ = 0;
    PyObject* small_[SMALL];
    std::vector<PyObject*> big_;
    PyObject** argv_ = small_;
};

// -- masking ------------------------------------------------------------------
//
// Tcl's messages quote a value whole, or only its start: expr's bare words
// are cut after 20 characters and "...", Tcl_AppendLimitedToObj after 50
// bytes (with or without "..."), expr's quote of the expression shows
// pieces of about 20 characters on either side of the error, "..." before
// and after.  A cut may also fall inside a character, which then comes back
// as a few characters of no meaning (see is_debris).  So besides each
// Secret whole, every piece of a Secret of at least MIN_PIECE characters is
// masked that begins or ends at such a place: after or before a quote or
// "...", at the start or the end of the text.  A piece shorter than
// LOOSE_PIECE must also start the Secret, or be a word with such a place at
// both ends (a bare word of expr's): ordinary words of a message, such as
// " be ", are found in many a Secret.  Each piece found is masked wherever
// else it stands too (expr repeats the bare word it refuses: "$word" or
// "{word}" or "word(...)").  Ordinary text that a Secret happens to contain
// may be masked as well: better too much than too little.

constexpr size_t MIN_PIECE = 4;  // shorter pieces give nothing away
constexpr size_t LOOSE_PIECE = 8;
constexpr size_t MAX_DEBRIS = 8;

// What a character cut in two comes back as: its bytes escaped as lone
// surrogates (tkinter's surrogateescape), a surrogate of Tcl's CESU-8 pair,
// a C1 control (a continuation byte read as Latin-1), or U+FFFD.
bool is_debris(char32_t c) noexcept {
    return (c >= 0x80 && c <= 0x9F) || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFD;
}

std::u32string code_points(PyObject* text) {
    if (PyUnicode_READY(text) < 0) py::fail();
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    std::u32string out(static_cast<size_t>(n), U'\0');
    for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<size_t>(i)] = PyUnicode_READ(kind, data, i);
    return out;
}

class Masking {
public:
    Masking(std::u32string text, std::vector<std::u32string> forms)
        : text_(std::move(text)), forms_(std::move(forms)) {
        for (const auto& form : forms_) longest_ = std::max(longest_, form.size());
    }

    // Marks everything to mask; whether there is any.
    bool find() {
        std::vector<std::u32string> pieces;
        for (const auto& form : forms_) mark_all(form);
        const size_t n = text_.size();
        for (size_t at = 0; at <= n; ++at) {
            const bool quote = at < n && text_[at] == U'"';
            const bool dots = text_.compare(at, 3, U"...") == 0;
            // A piece that ends here: before a quote, "..." or the end.
            if (quote || dots || at == n) {
                size_t end = at;
                while (end > 0 && at - end < MAX_DEBRIS && is_debris(text_[end - 1])) --end;
                const size_t k = longest(end, false);
                if (telling(end - k, end)) {
                    spans_.push_back({end - k, at});
                    pieces.push_back(text_.substr(end - k, k));
                }
            }
            // A piece that starts here: after a quote, "..." or at the start.
            if (quote || dots || at == 0) {
                const size_t from = at == 0 && !quote && !dots ? 0 : at + (dots ? 3 : 1);
                size_t start = from;
                while (start < n && start - from < MAX_DEBRIS && is_debris(text_[start])) ++start;
                const size_t k = longest(start, true);
                if (telling(start, start + k)) {
                    spans_.push_back({from, start + k});
                    pieces.push_back(text_.substr(start, k));
                }
            }
        }
        for (const auto& piece : pieces) mark_all(piece);
        return !spans_.empty();
    }

    // The text with every marked span as ****.
    std::u32string masked() {
        std::sort(spans_.begin(), spans_.end());
        std::u32string out;
        size_t done = 0;
        for (const auto& [from, to] : spans_) {
            if (to <= done) continue;
            if (from >= done) {
                out.append(text_, done, from - done);
                out += U"****";
            }
            done = to;
        }
        out.append(text_, done, std::u32string::npos);
        return out;
    }

private:
    void mark_all(const std::u32string& what) {
        if (what.empty()) return;
        for (size_t at = text_.find(what); at != std::u32string::npos; at = text_.find(what, at + 1)) {
            spans_.push_back({at, at + what.size()});
        }
    }

    bool cut_before(size_t at) const {
        return at == 0 || text_[at - 1] == U'"' || (at >= 3 && text_.compare(at - 3, 3, U"...") == 0);
    }
    bool cut_after(size_t at) const {
        return at == text_.size() || text_[at] == U'"' || text_.compare(at, 3, U"...") == 0;
    }

    // Whether the piece from `from` to `to`, which stands in a form and has
    // a cut at one end, is to be masked.
    bool telling(size_t from, size_t to) const {
        const size_t k = to - from;
        if (k >= LOOSE_PIECE) return true;
        if (k < MIN_PIECE) return false;
        // (A word between two quoted values, such as " or ", is no piece.)
        const bool word = !Py_UNICODE_ISSPACE(text_[from]) && !Py_UNICODE_ISSPACE(text_[to - 1]);
        if (word && cut_before(from) && cut_after(to)) return true;
        for (const auto& form : forms_) {
            if (form.compare(0, k, text_, from, k) == 0) return true;
        }
        return false;
    }

    bool in_a_form(size_t at, size_t k) const {
        for (const auto& form : forms_) {
            if (form.find(text_.data() + at, 0, k) != std::u32string::npos) return true;
        }
        return false;
    }

    // The most characters that end at `at` (or, `forward`, start there) and
    // stand together in one of the forms.  Every part of such a piece stands
    // there too, so the answer is found by halving.
    size_t longest(size_t at, bool forward) const {
        size_t low = 0, high = std::min(longest_, forward ? text_.size() - at : at);
        while (low < high) {
            const size_t k = (low + high + 1) / 2;
            if (in_a_form(forward ? at : at - k, k)) {
                low = k;
            } else {
                high = k - 1;
            }
        }
        return low;
    }

    std::u32string text_;
    std::vector<std::u32string> forms_;
    size_t longest_ = 0;
    std::vector<std::pair<size_t, size_t>> spans_;
};

// The message of a Tcl error of a command that carried Secrets, with each
// of them masked.  Tcl's trace ends with the command itself, written as a
// Tcl list of its words and cut after 150 characters or so, where a cut
// may leave the start of a Secret: that part is written anew from the words
// as recorded.  Everywhere else (Tcl's message, the trace of the procedures
// it ran) each Secret's text, and its form as a list element, is masked,
// whole or in the pieces that Tcl's messages cut from them (see Masking).
Ref masked_message(State* st, PyObject* message, PyObject* shown, PyObject* secrets) {
    Ref text = py::newref(message);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    Py_ssize_t head_end = -1;
    for (const char* head : {"\n    while executing\n\"", "\n    invoked from within\n\""}) {
        Ref marker = py::text(head);
        const Py_ssize_t at = PyUnicode_Find(text.get(), marker.get(), 0, length, -1);
        if (at == -2) py::fail();
        if (at >= 0 && at + PyUnicode_GET_LENGTH(marker.get()) > head_end) {
            head_end = at + PyUnicode_GET_LENGTH(marker.get());
        }
    }
    if (head_end >= 0 && length > head_end && PyUnicode_READ_CHAR(text.get(), length - 1) == '"') {
        constexpr Py_ssize_t LIMIT = 153;  // Tcl's, in bytes; here in characters
        Ref command = py::call(st->quoten, shown);
        if (PyUnicode_Check(command.get()) && PyUnicode_GET_LENGTH(command.get()) > LIMIT) {
            Ref start = py::own(PyUnicode_Substring(command.get(), 0, LIMIT - 3));
            command = py::own(PyUnicode_FromFormat("%U...", start.get()));
        }
        Ref head = py::own(PyUnicode_Substring(text.get(), 0, head_end));
        text = py::own(PyUnicode_FromFormat("%U%S\"", head.get(), command.get()));
    }

    std::vector<std::u32string> forms;
    const Py_ssize_t n = PyList_GET_SIZE(secrets);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* secret = PyList_GET_ITEM(secrets, i);
        if (!PyUnicode_Check(secret)) continue;
        forms.push_back(code_points(secret));
        Ref one = py::own(PyTuple_Pack(1, secret));
        Ref element = py::call(st->quoten, one.get());
        if (PyUnicode_Check(element.get())) forms.push_back(code_points(element.get()));
    }
    Masking masking(code_points(text.get()), std::move(forms));
    if (!masking.find()) return text;
    const std::u32string masked = masking.masked();
    const auto size = static_cast<Py_ssize_t>(masked.size());
    return py::own(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, masked.data(), size));
}

// What a command with Secrets keeps beside its words: the words as recorded
// and the texts of the Secrets.
struct Masks {
    Ref shown;    // list of str, the words with each Secret as ****
    Ref secrets;  // list of the Secrets' texts
};

// With the TclError of a command that carried Secrets set (as
// tcl::raise_with_trace raises it): its text, its message and its errorcode
// are masked, and the caught error, whose short message may hold a Secret,
// is not kept as its context.  Any other exception passes unchanged.
[[noreturn]] void raise_masked(PyObject* module, const Masks& masks) {
    py::Caught caught;
    PyObject* error = caught.value();
    if (!error || !caught.matches(py::global(module, TARVO_STR("TclError")))) caught.reraise();
    State* st = state_of(module);
    auto mask = [&](PyObject* text) {
        return masked_message(st, text, masks.shown.get(), masks.secrets.get());
    };
    Ref text = py::str(error);
    Ref info = mask(text.get());
    Ref args = py::own(PyTuple_Pack(1, info.get()));
    py::setattr(error, TARVO_STR("args"), args.get());
    if (Ref attribute = py::getattr_optional(error, TARVO_STR("errorinfo"))) {
        py::setattr(error, TARVO_STR("errorinfo"), info.get());
    }
    if (Ref message = py::getattr_optional(error, TARVO_STR("message")); message && PyUnicode_Check(message.get())) {
        py::setattr(error, TARVO_STR("message"), mask(message.get()).get());
    }
    if (Ref code = py::getattr_optional(error, TARVO_STR("errorcode")); code && PyTuple_Check(code.get())) {
        const Py_ssize_t n = PyTuple_GET_SIZE(code.get());
        Ref masked = py::own(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref word = py::str(PyTuple_GET_ITEM(code.get(), i));
            PyTuple_SET_ITEM(masked.get(), i, mask(word.get()).release());
        }
        py::setattr(error, TARVO_STR("errorcode"), masked.get());
    }
    PyException_SetContext(error, nullptr);
    caught.reraise();
}

// Runs one command: `tcl.tk.call(*words)`, a Tcl error reported with Tcl's
// whole trace from ::errorInfo (with the Secrets masked, when `masks`).
Ref run(PyObject* module, State* st, PyObject* interp, PyObject* tk, Words& held, const Masks* masks,
        double seconds) {
    held.argv()[0] = tk;
    // Imported on first use: importing this module opens no Tcl library.
    PyObject* interrupts = py::load_field(st->interrupts);
    if (!interrupts) interrupts = py::fill_once(st->interrupts, py::import_relative(module, "internal", "_interrupts").release());
    tcl::forget_interrupt(interrupts, tk);
    tcl::Call call = tcl::start_call(tk, seconds);
    // tk.call(*words), through the method its class has where that is known.
    PyObject* method = st->tk_call.find(tk, TARVO_STR("call"));
    PyObject* result =
        method ? PyObject_Vectorcall(method, held.argv(), static_cast<size_t>(held.size() + 1), nullptr)
               : PyObject_VectorcallMethod(TARVO_STR("call"), held.argv(),
                                           static_cast<size_t>(held.size() + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!result) {
        if (!masks) tcl::raise_failure(module, interp, tk, interrupts, call);
        try {
            tcl::raise_failure(module, interp, tk, interrupts, call);
        } catch (const py::Error&) {
            raise_masked(module, *masks);
        }
    }
    Ref owned = Ref::steal(result);
    tcl::finish(call, tk, interrupts);
    return owned;
}

// The command name: the parts joined with "::".  A single part is the
// name itself.
Ref command_name(PyObject* cmd) {
    if (PyList_CheckExact(cmd) && PyList_GET_SIZE(cmd) == 1 && PyUnicode_CheckExact(PyList_GET_ITEM(cmd, 0))) {
        return py::newref(PyList_GET_ITEM(cmd, 0));
    }
    return py::own(PyUnicode_Join(TARVO_STR("::"), cmd));
}

// str() of an exact int; those from 0 to 255, which scripts pass all the
// time, are made once (kept for the life of the process, as interned names
// are).
Ref small_int_str(PyObject* value) {
    int overflow = 0;
    const long n = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow || n < 0 || n > 255) {
        if (n == -1 && PyErr_Occurred()) py::fail();
        return py::int_str(value);
    }
    static PyObject* made[256] = {};
    PyObject*& text = made[n];
    if (PyObject* kept = py::load_field(text)) return py::newref(kept);
    return py::newref(py::fill_once(text, py::int_str(value).release()));
}

// quoten of the exact built-in scalars, which carry no conversion hooks:
// a str unchanged, None as the empty word, booleans as true/false, numbers
// by their str.  Empty for anything else.
Ref quoten_scalar(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return py::newref(value);
    if (type == &PyLong_Type) return small_int_str(value);
    if (type == &PyFloat_Type) return py::str(value);
    if (value == Py_None) return py::newref(TARVO_STR(""));
    if (value == Py_True) return py::newref(TARVO_STR("true"));
    if (value == Py_False) return py::newref(TARVO_STR("false"));
    return {};
}

// interp.cast_any(result), its attribute found as instance_attr finds it.
// Where that is a function of the class placed there as an instance method
// (as the interpreter's own methods are) and the instance has no attribute
// of that name, the bound method it would make is the function with the
// instance in front: the function is called so, without making one.
Ref call_cast_any(State* st, PyObject* interp, PyObject* result) {
    // Interpreter's own cast_any, known for this class at this version:
    // its C++ runs straight away, where the instance has no cast_any.
    PyTypeObject* type = Py_TYPE(interp);
    if (!py::standard_getattribute(type)) {
        Ref cast_any = py::getattr(interp, TARVO_STR("cast_any"));
        return py::call(cast_any.get(), result);
    }
    const State::KnownCastAny known = st->cast_any_known.load();
    if (known.type == type && known.version && type->tp_version_tag == known.version && py::has_valid_version(type)) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(interp, nullptr));
        if (const py::KeptNames<3>* kept = own_names(st, dict.get())) {
            if (!kept->value(N_CAST_ANY)) {
                return py::own(st->interpreter_api->cast_any(known.module, interp, result));
            }
        } else if (dict && PyDict_CheckExact(dict.get())) {
            if (!PyDict_GetItemWithError(dict.get(), TARVO_STR("cast_any"))) {
                if (PyErr_Occurred()) py::fail();
                return py::own(st->interpreter_api->cast_any(known.module, interp, result));
            }
        } else if (!dict) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::fail();
            PyErr_Clear();
        }
    }
    PyObject* found = py::class_lookup(type, TARVO_STR("cast_any"));
    if (found && PyInstanceMethod_Check(found)) {
        const tcl::InterpreterApi* api = interpreter_api(st);
        PyObject* builtin = PyInstanceMethod_GET_FUNCTION(found);
        if (api && PyCFunction_Check(builtin) && PyCFunction_GET_FUNCTION(builtin) == api->cast_any_function &&
            py::has_valid_version(type)) {
            st->cast_any_known.store({type, type->tp_version_tag, PyCFunction_GET_SELF(builtin)});
        }
        // Held: the instance's dict may be asked for first, or the class change meanwhile.
        Ref function = py::newref(PyInstanceMethod_GET_FUNCTION(found));
        Ref dict = Ref::steal(PyObject_GenericGetDict(interp, nullptr));
        if (!dict && !PyErr_ExceptionMatches(PyExc_AttributeError)) py::fail();
        PyErr_Clear();
        if (!dict || (PyDict_CheckExact(dict.get()) && !PyDict_GetItemWithError(dict.get(), TARVO_STR("cast_any")))) {
            if (PyErr_Occurred()) py::fail();
            PyObject* argv[] = {interp, result};
            return py::own(PyObject_Vectorcall(function.get(), argv, 2, nullptr));
        }
        if (PyErr_Occurred()) py::fail();
    }
    Ref cast_any = py::instance_attr(interp, TARVO_STR("cast_any"));
    return py::call(cast_any.get(), result);
}

Ref code_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* module = module_of(self);
    State* st = state_of(module);

    // 1. cast_ and timeout_ belong to the call itself.
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* cast = Py_True;
    PyObject* timeout = nullptr;
    Py_ssize_t cast_at = -1, timeout_at = -1;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
        if (is_cast_flag(kw)) {
            cast = args[nargs + k];
            cast_at = k;
        } else if (is_timeout_flag(kw)) {
            timeout = args[nargs + k];
            timeout_at = k;
        }
    }
    const double seconds = tcl::timeout_seconds(timeout, -1, "timeout_");

    // 2. to 4. The words: the command name, the positional arguments, then
    // the options in the order the caller wrote them.  From the first
    // argument that holds a Secret on, the words to record are kept apart.
    Ref cmd = code_cmd(self);
    Ref name = command_name(cmd.get());
    const Py_ssize_t noptions = nkw - (cast_at >= 0 ? 1 : 0) - (timeout_at >= 0 ? 1 : 0);
    const Py_ssize_t nwords = 1 + nargs + 2 * noptions;
    Words words(nwords);
    Masks masks;
    // Puts the next word, and its masked form when it differs.
    auto put = [&](Ref word, PyObject* masked) {
        const Py_ssize_t at = words.size();
        if (masked && !masks.shown) {
            masks.shown = py::own(PyList_New(nwords));
            masks.secrets = py::own(PyList_New(0));
            for (Py_ssize_t i = 0; i < at; ++i) PyList_SET_ITEM(masks.shown.get(), i, py::newref(words[i]).release());
        }
        if (masks.shown) {
            PyObject* recorded = masked ? masked : word.get();
            PyList_SET_ITEM(masks.shown.get(), at, py::newref(recorded).release());
        }
        words.push(std::move(word));
    };
    auto put_argument = [&](PyObject* value) {
        if (Ref known = quoten_scalar(value)) return put(std::move(known), nullptr);
        Ref converted = py::call(st->quoten_masked, value);
        if (PyUnicode_CheckExact(converted.get())) return put(std::move(converted), nullptr);
        // (text, text to record, the Secrets' texts)
        if (!PyTuple_CheckExact(converted.get()) || PyTuple_GET_SIZE(converted.get()) != 3) {
            py::raise(PyExc_SystemError, "_quoten_masked gave neither a str nor three items");
        }
        PyObject* text = PyTuple_GET_ITEM(converted.get(), 0);
        PyObject* masked = PyTuple_GET_ITEM(converted.get(), 1);
        if (masked == text) return put(py::newref(text), nullptr);
        put(py::newref(text), masked);
        Ref secrets = py::own(PySequence_List(PyTuple_GET_ITEM(converted.get(), 2)));
        py::check(PyList_SetSlice(masks.secrets.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, secrets.get()));
    };
    put(std::move(name), nullptr);
    for (Py_ssize_t i = 0; i < nargs; ++i) put_argument(args[i]);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (k == cast_at || k == timeout_at) continue;
        put(py::own(PyUnicode_Concat(TARVO_STR("-"), PyTuple_GET_ITEM(kwnames, k))), nullptr);
        put_argument(args[nargs + k]);
    }

    // 5. Recorded before it runs, so failing commands are recorded too;
    // but not on a thread that may not run it.
    Ref tcl = code_tcl(self);
    Ref interp = target_of(tcl.get());
    // An interpreter keeps both in its own __dict__: read from there where
    // its class has neither.
    Ref dict;
    if (py::standard_getattribute(Py_TYPE(interp.get())) &&
        py::lacks_all(st->interp_lacks, Py_TYPE(interp.get()), {TARVO_STR("tk"), TARVO_STR("history")})) {
        dict = py::instance_dict(interp.get());
    }
    Ref tk = own_attr(st, interp.get(), dict.get(), N_TK, TARVO_STR("tk"));
    // (Checking an application type the first time asks it for its address.)
    if (!tcl::app_type_checked(tk.get())) dict = {};
    if (const auto* fields = tcl::app_fields(tk.get())) tcl::require_owner(fields);
    Ref history = own_attr(st, interp.get(), dict.get(), N_HISTORY, TARVO_STR("history"));
    const tcl::HistoryApi* own_history = history_api(st);
    // A history of another kind gets the list of words, and the command
    // runs as that list stands afterwards.
    Ref given;
    if (masks.shown) {
        if (!own_history || !py::check(own_history->append(history.get(), masks.shown.get()))) {
            py::call_method(history.get(), TARVO_STR("append"), masks.shown.get());
        }
    } else if (!own_history || !py::check(own_history->append_words(history.get(), words.items(), words.size()))) {
        given = words.list();
        py::call_method(history.get(), TARVO_STR("append"), given.get());
    }

    // 6. and 7.
    Ref result;
    if (given) {
        Words as_given(given.get());
        result = run(module, st, interp.get(), tk.get(), as_given, masks.shown ? &masks : nullptr, seconds);
    } else {
        result = run(module, st, interp.get(), tk.get(), words, masks.shown ? &masks : nullptr, seconds);
    }

    // 8.
    if (py::truth(cast)) return call_cast_any(st, interp.get(), result.get());
    return string_result(tk.get(), std::move(result));
}

PyObject* code_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return py::entry("Jot_Code.__call__", [&] { return code_call(self, args, PyVectorcall_NARGS(nargsf), kwnames); });
}

void set_vectorcall(PyObject* self) { as_code(self)->vectorcall = code_vectorcall; }

int code_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    CodeObject* c = as_code(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->tcl);
    Py_VISIT(c->cmd);
    Py_VISIT(c->dict);
    return 0;
}

int code_clear(PyObject* self) noexcept {
    CodeObject* c = as_code(self);
    Py_CLEAR(c->tcl);
    Py_CLEAR(c->cmd);
    Py_CLEAR(c->dict);
    return 0;
}

void code_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_code(self)->weakrefs) PyObject_ClearWeakRefs(self);
    code_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

#define TARVO_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

PyMethodDef code_methods[] = {
    {"__getattr__", TARVO_METHOD(code_getattr_method), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__getattr__($self, name, /)\n--\n\nAdd `name` to the command name; return self.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef code_members[] = {
    {"tcl", T_OBJECT_EX, offsetof(CodeObject, tcl), 0, "the interpreter the command runs in"},
    {"cmd", T_OBJECT_EX, offsetof(CodeObject, cmd), 0, "the parts of the command name, outermost first"},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(CodeObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(CodeObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CodeObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef instance_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot code_slots[] = {
    {Py_tp_doc, const_cast<char*>("Jot_Code(*cmd, tcl)\n--\n\n"
                                  "One Tcl command named by its parts `cmd`: every attribute access adds a\n"
                                  "part, and a call runs the command with the arguments as words, keyword\n"
                                  "arguments as -name value options after them.  `cast_=False` returns Tcl's\n"
                                  "string of the result instead of the interpreter's cast_any of it;\n"
                                  "`timeout_=seconds` limits the call's time as eval's `timeout` does.")},
    {Py_tp_new, reinterpret_cast<void*>(code_new)},
    {Py_tp_init, reinterpret_cast<void*>(code_init)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getattro, reinterpret_cast<void*>(code_getattro)},
    {Py_tp_str, reinterpret_cast<void*>(code_str)},
    {Py_tp_repr, reinterpret_cast<void*>(code_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(code_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(code_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(code_dealloc)},
    {Py_tp_methods, code_methods},
    {Py_tp_members, code_members},
    {Py_tp_getset, instance_getset},
    {0, nullptr},
};

PyType_Spec code_spec = {
    "tarvo.tcl.jot.Jot_Code", sizeof(CodeObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | IMMUTABLE, code_slots};

// ---------------------------------------------------------------------------
// Jot

const char* const jot_init_params[] = {"self", "tcl"};
const py::Signature jot_init_sig{"__init__", jot_init_params, 2, 2};

int jot_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return py::entry_int("Jot.__init__", [&] {
        PyObject* a[2];
        py::parse_tuple(jot_init_sig, args, kwargs, a, nullptr, 1);
        PyObject* weakref = py::global(module_of(self), TARVO_STR("weakref"));
        Ref proxy = py::call_method(weakref, TARVO_STR("proxy"), a[1]);
        py::setattr(self, TARVO_STR("tcl"), proxy.get());
        return 0;
    });
}

// Every attribute that normal lookup does not find starts a command.
Ref jot_getattr(PyObject* self, PyObject* name, State* st) {
    Ref tcl = jot_tcl(self);
    return new_code(st ? st : state_of(module_of(self)), name, tcl.get());
}

PyObject* jot_getattro(PyObject* self, PyObject* name) noexcept {
    return getattro<jot_getattr, &State::jot_names>(self, name, as_jot(self)->dict);
}

PyObject* jot_getattr_method(PyObject* self, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return py::entry("Jot.__getattr__", [&] {
        PyObject* a[2];
        py::parse(jot_getattr_sig, args, nargs, kwnames, a, nullptr, 1);
        return jot_getattr(self, a[1], nullptr);
    });
}

// A command with no name at all: Tcl's own message for it, nothing run.
PyObject* jot_call(PyObject* self, PyObject*, PyObject*) noexcept {
    return py::entry("Jot.__call__", [&]() -> Ref {
        PyObject* tcl_error = py::global(module_of(self), TARVO_STR("TclError"));
        Ref message = py::text("invalid command name \"\"");
        py::raise_object(py::call(tcl_error, message.get()).get());
    });
}

int jot_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    JotObject* j = as_jot(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(j->tcl);
    Py_VISIT(j->dict);
    return 0;
}

int jot_clear(PyObject* self) noexcept {
    JotObject* j = as_jot(self);
    Py_CLEAR(j->tcl);
    Py_CLEAR(j->dict);
    return 0;
}

void jot_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_jot(self)->weakrefs) PyObject_ClearWeakRefs(self);
    jot_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef jot_methods[] = {
    {"__getattr__", TARVO_METHOD(jot_getattr_method), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__getattr__($self, name, /)\n--\n\nA new Jot_Code for the command `name`.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef jot_members[] = {
    {"tcl", T_OBJECT_EX, offsetof(JotObject, tcl), 0, "a weak proxy to the interpreter"},
    {"__dictoffset__", T_PYSSIZET, offsetof(JotObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(JotObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot jot_slots[] = {
    {Py_tp_doc, const_cast<char*>("Jot(tcl)\n--\n\n"
                                  "Tcl commands as attributes: tcl.jot.ns.proc('a b', opt=1) runs the\n"
                                  "command ns::proc {a b} -opt 1 in the interpreter `tcl`.")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(jot_init)},
    {Py_tp_call, reinterpret_cast<void*>(jot_call)},
    {Py_tp_getattro, reinterpret_cast<void*>(jot_getattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(jot_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(jot_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(jot_dealloc)},
    {Py_tp_methods, jot_methods},
    {Py_tp_members, jot_members},
    {Py_tp_getset, instance_getset},
    {0, nullptr},
};

PyType_Spec jot_spec = {"tarvo.tcl.jot.Jot", sizeof(JotObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | IMMUTABLE, jot_slots};

// ---------------------------------------------------------------------------
// Module

// Makes the class namespace read like the class statement's: the methods
// in their definition order, after everything else, and no
// __getattribute__ of its own, so that a Python subclass sees generic
// lookup plus a __getattr__ hook (its own, or ours) as for any class.
void settle_namespace(PyObject* type, std::initializer_list<const char*> methods) {
    Ref dict = py::type_dict(reinterpret_cast<PyTypeObject*>(type));
    if (py::check(PyDict_Contains(dict.get(), TARVO_STR("__getattribute__")))) {
        py::check(PyDict_DelItem(dict.get(), TARVO_STR("__getattribute__")));
    }
    for (const char* name : methods) {
        Ref key = py::text(name);
        Ref method = py::newref(py::require(PyDict_GetItemWithError(dict.get(), key.get())));
        py::check(PyDict_DelItem(dict.get(), key.get()));
        py::check(PyDict_SetItem(dict.get(), key.get(), method.get()));
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
}

// The names that `type` and its bases define, as a set.
Ref class_names(PyObject* type) {
    Ref names = py::own(PySet_New(nullptr));
    PyObject* mro = reinterpret_cast<PyTypeObject*>(type)->tp_mro;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = py::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict.get(), &pos, &key, &value)) py::check(PySet_Add(names.get(), key));
    }
    return py::own(PyFrozenSet_New(names.get()));
}

int exec_module(PyObject* module) noexcept {
    return py::entry_int("tarvo.tcl.jot", [&] {
        State* st = state_of(module);
        py::add(module, "weakref", py::import("weakref").get());
        py::add(module, "TclError", py::import_from("tkinter", "TclError").get());
        py::keep(st->quoten, py::import_relative(module, "quoten", "quoten"));
        py::add(module, "quoten", st->quoten);
        py::keep(st->quoten_masked, py::import_relative(module, "quoten", "_quoten_masked"));

        Ref jot_type = py::type_from_spec(module, &jot_spec);
        settle_namespace(jot_type.get(), {"__init__", "__getattr__", "__call__"});
        py::keep(st->jot_names, class_names(jot_type.get()));
        py::add(module, "Jot", jot_type.get());
        py::keep(st->jot_type, std::move(jot_type));

        Ref code_type = py::type_from_spec(module, &code_spec);
        settle_namespace(code_type.get(), {"__init__", "__call__", "__getattr__", "__repr__", "__str__"});
        py::keep(st->code_names, class_names(code_type.get()));
        py::add(module, "Jot_Code", code_type.get());
        py::keep(st->code_type, std::move(code_type));
        return 0;
    });
}

}  // namespace

TARVO_MODULE(jot, "Tcl commands called as Python attributes: tcl.jot.ns.proc(word, opt=value).", State, exec_module)
