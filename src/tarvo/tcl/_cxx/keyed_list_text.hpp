// TclX keyed-list text read straight from its bytes.
//
// NestMap.from_tcl reads a keyed list through the package's cast_list: a
// tuple of strs per level and per entry, only to take each key and value
// apart again.  Where cast_list is Tcl's own parser and the text is a str,
// KeyedListText walks the bytes instead, with
// a quick ListCursor (tcllist.hpp): the entries of a level, the key and value
// of each entry, and then each value, tried as a keyed list on its own bytes.
// Braced elements end where one pass over the text pairs their braces, plain
// words at white space, and Tcl's own routines read the rest, so that text
// nested n levels deep is not scanned 2n times over.  Strs are made for the
// keys and for the leaves only.
//
// What comes out is what the reading through cast_list gives, error for error:
//   - a level is read in full first: text that is no list fails before any
//     entry is looked at, an entry that is no list before any entry of the
//     wrong length, and both before any value is tried as a keyed list;
//   - values are tried in the order of the dict that the entries make (a
//     repeated key keeps its first place and its last value; the values it
//     drops are never tried);
//   - a level whose keys have no "." goes into a new NestMap as that dict
//     would (a fresh level takes every key as it comes), the others through
//     the path-aware merge;
//   - that reading hands each element on as a str, whose bytes it makes
//     anew for the next split.  The bytes differ from those read only where
//     Tcl wrote a character that our strs spell otherwise (NUL, a surrogate
//     pair), which matters to Tcl's parser only behind a backslash: such
//     bytes are made anew here too.
//
// The reader builds its levels through `Levels`, the mapping's side:
//
//     Ref make();                    a new, empty level
//     Ref merged(PyObject* items);   a new level with the dict `items`, whose
//                                    keys may hold ".", merged in as paths
//     [[noreturn]] void not_a_list();  raises cast_list's error for text
//                                    that is no list
#pragma once

#include "tcllist.hpp"
#include "tclstr.hpp"

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

namespace tarvo::tcl {

using py::Ref;

// Whether the bytes read as a list whose first element is a bare word (not
// braced or quoted, nothing to substitute): such an element splits into
// itself alone, which is no key/value pair, so the text is no keyed list.
inline bool starts_with_bare_word(const char* s, int n) {
    int i = 0;
    while (i < n && is_list_space(static_cast<unsigned char>(s[i]))) ++i;
    if (i == n || s[i] == '{' || s[i] == '"') return false;
    for (; i < n; ++i) {
        if (s[i] == '\\') return false;
        if (is_list_space(static_cast<unsigned char>(s[i]))) return true;
    }
    return true;
}

// Keys as strs, kept from one text to the next: keyed lists spell the same
// few keys over and over, in every level alike and in every text that a
// script reads.  Short ASCII keys are kept, the last one of each hash; a key
// found again is the same str, whose hash Python has already worked out.
// (Kept for the life of the process, like the interned strs they are.)
class KeyStrs {
public:
    static Ref get(const char* s, int n) {
        if (n < 2 || n > longest) return py::decode_tcl(s, n);
        uint32_t hash = 2166136261u;  // FNV-1a
        for (int i = 0; i < n; ++i) hash = (hash ^ static_cast<unsigned char>(s[i])) * 16777619u;
        PyObject*& kept = keys()[hash % slots];
        {
            py::Locked hold(lock());
            if (kept && PyUnicode_GET_LENGTH(kept) == n &&
                std::memcmp(PyUnicode_1BYTE_DATA(kept), s, static_cast<size_t>(n)) == 0) {
                return py::newref(kept);
            }
        }
        Ref key = py::decode_tcl(s, n);
        if (!PyUnicode_IS_ASCII(key.get())) return key;
        // Interned, as the heads of paths are: looking a path up in the
        // tree then finds each key by identity.
        PyObject* interned = key.release();
        PyUnicode_InternInPlace(&interned);
        key = Ref::steal(interned);
        py::Locked hold(lock());
        Py_XSETREF(kept, py::newref(key.get()).release());
        return key;
    }

private:
    static constexpr int longest = 40, slots = 256;
    static PyObject** keys() {
        static PyObject* kept[slots] = {};
        return kept;
    }
    static py::CacheLock& lock() {
        static py::CacheLock keys_lock;
        return keys_lock;
    }
};

// A sequence that keeps its first `N` items in place and only then turns
// to the heap: most levels of a keyed list hold a few entries.
template <class T, size_t N>
class SmallVector {
public:
    SmallVector() = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;

    void push_back(T&& item) {
        if (heap_.empty()) {
            if (size_ < N) {
                local_[size_++] = std::move(item);
                return;
            }
            heap_.reserve(2 * N);
            for (size_t i = 0; i < size_; ++i) heap_.push_back(std::move(local_[i]));
        }
        heap_.push_back(std::move(item));
        ++size_;
    }
    size_t size() const noexcept { return size_; }
    T* begin() noexcept { return heap_.empty() ? local_ : heap_.data(); }
    T* end() noexcept { return begin() + size_; }
    const T* begin() const noexcept { return heap_.empty() ? local_ : heap_.data(); }
    const T* end() const noexcept { return begin() + size_; }
    const T& operator[](size_t i) const noexcept { return begin()[i]; }

private:
    T local_[N];
    size_t size_ = 0;
    std::vector<T> heap_;
};

template <class Levels>
class KeyedListText {
public:
    explicit KeyedListText(Levels levels) : levels_(levels), api_(api()), key_text_(api_) {}

    // from_tcl(string) for a str; with `quiet`, nothing where that raises
    // ValueError.  Empty for text too long for Tcl (the caller reads it the
    // other way, which says so).
    Ref read(PyObject* string, bool quiet, bool& taken) {
        py::TclBytes text(string);
        taken = text.size() <= static_cast<size_t>(INT_MAX);
        if (!taken) return {};
        const int size = static_cast<int>(text.size());
        const bool ascii =
            PyUnicode_IS_ASCII(string) && text.size() == static_cast<size_t>(PyUnicode_GET_LENGTH(string));
        const bool indexed = text.size() <= BraceIndex::most;
        top_ = text.bytes();
        BraceIndex braces(top_, indexed ? static_cast<size_t>(size) : 0);
        braces_ = indexed ? &braces : nullptr;
        return level({top_, size, ascii, false, indexed}, quiet);
    }

private:
    // Bytes of list text.  `ascii`: all of them are; `remade`: they are the
    // bytes of the str they spell (see remake); `indexed`: they are part of
    // the text read, whose braces `braces_` pairs.
    struct Text {
        const char* data;
        int size;
        bool ascii;
        bool remade;
        bool indexed;
    };

    ListCursor cursor(const Text& text) const noexcept {
        return ListCursor(api_, text.data, text.size, true, text.indexed ? braces_ : nullptr,
                               text.indexed ? static_cast<size_t>(text.data - top_) : 0);
    }

    // A level's own copies of bytes (collapsed or remade), which live as
    // long as the level is read.
    class Copies {
    public:
        char* room(size_t size) {
            blocks_.emplace_back(new char[size]);
            return blocks_.back().get();
        }

    private:
        std::vector<std::unique_ptr<char[]>> blocks_;
    };

    struct Entry {
        Ref key;
        Text value;
    };
    using Entries = SmallVector<Entry, 8>;

    // The value of `element` of `text`, in place or collapsed into a copy.
    Text value_of(const Element& element, const Text& text, Copies& copies) {
        if (element.verbatim) return {element.start, element.size, text.ascii, text.remade, text.indexed};
        char* room = copies.room(static_cast<size_t>(element.size) + 1);
        const int size = static_cast<int>(api_.CopyAndCollapse(element.size, element.start, room));
        return {room, size, py::detail::all_ascii(room, size), false, false};
    }

    // The bytes that the reading through cast_list would split for `text`:
    // those of the str they decode to.  Made anew only where it matters:
    // non-ASCII bytes with a backslash.  `decoded` receives the str when one
    // was made.
    Text remake(const Text& text, Copies& copies, Ref& decoded) {
        if (text.ascii || text.remade || !std::memchr(text.data, '\\', static_cast<size_t>(text.size))) return text;
        decoded = py::decode_tcl(text.data, text.size);
        py::TclBytes bytes(decoded.get());
        if (bytes.size() > static_cast<size_t>(INT_MAX)) {
            py::raise_format(PyExc_OverflowError, "list text too long for Tcl: %zu bytes (at most %d)", bytes.size(),
                             INT_MAX);
        }
        char* room = copies.room(bytes.size());
        std::memcpy(room, bytes.bytes(), bytes.size());
        return {room, static_cast<int>(bytes.size()), false, true, false};
    }

    // Splits one entry: its key and value (into `out`, when given), or its
    // number of elements when that is not two, -1 when it is no list.  With
    // `whole`, an entry of more elements is walked to its end, where it may
    // still turn out to be no list.
    int split_entry(const Text& entry, Copies& copies, Entry* out, bool whole, bool& dotted) {
        ListCursor cursor = this->cursor(entry);
        Element key, value, extra;
        auto step = cursor.next(key);
        if (step != ListCursor::ELEMENT) return step == ListCursor::END ? 0 : -1;
        step = cursor.next(value);
        if (step != ListCursor::ELEMENT) return step == ListCursor::END ? 1 : -1;
        step = cursor.next(extra);
        if (step == ListCursor::MALFORMED) return -1;
        if (step == ListCursor::ELEMENT) {
            int n = 3;
            while (whole && (step = cursor.next(extra)) == ListCursor::ELEMENT) ++n;
            return step == ListCursor::MALFORMED ? -1 : n;
        }
        if (!out) return 2;
        key_text_.collapse(key);
        dotted = dotted || std::memchr(key_text_.data(), '.', static_cast<size_t>(key_text_.size()));
        out->key = KeyStrs::get(key_text_.data(), key_text_.size());
        out->value = value_of(value, entry, copies);
        return 2;
    }

    // One level; with `quiet`, nothing where the reading through cast_list
    // raises ValueError.
    Ref level(const Text& text, bool quiet) {
        Copies copies;
        Entries entries;
        ListCursor cursor = this->cursor(text);
        Element element;
        bool dotted = false, not_a_list = false;
        Py_ssize_t wrong = -1, wrong_length = 0;
        for (Py_ssize_t index = 0;; ++index) {
            const auto step = cursor.next(element);
            if (step == ListCursor::END) break;
            if (step == ListCursor::MALFORMED) {
                if (quiet) return {};
                levels_.not_a_list();
            }
            if (not_a_list) continue;  // only text that is no list may still come before that
            Ref unused;
            const Text entry = remake(value_of(element, text, copies), copies, unused);
            Entry out;
            // Once an error is due, the entries left are only checked for one that is no list.
            const int n = split_entry(entry, copies, wrong < 0 ? &out : nullptr, !quiet, dotted);
            if (n == 2) {
                if (wrong < 0) entries.push_back(std::move(out));
                continue;
            }
            if (quiet) return {};
            if (n < 0) {
                not_a_list = true;
            } else if (wrong < 0) {
                wrong = index;
                wrong_length = n;
            }
        }
        if (not_a_list) levels_.not_a_list();
        if (wrong >= 0) {
            // Text that is no keyed list is an everyday answer (cast_any
            // tries every string): the error is set and returned, no unwinding.
            PyErr_Format(PyExc_ValueError, "dictionary update sequence element #%zd has length %zd; 2 is required",
                         wrong, wrong_length);
            return {};
        }

        // The dict of the entries; a level without dotted keys is built in place.
        Ref result = dotted ? py::own(PyDict_New()) : levels_.make();
        try {
            // The values in the order of the entries.  Where keys repeat, a
            // value is made that the dict then drops, and the values come in
            // another order than the dict's; neither shows unless making one
            // fails, and then they are made again the dict's way.
            for (const Entry& entry : entries) {
                Ref value = value_for(entry.value, copies);
                py::check(PyDict_SetItem(result.get(), entry.key.get(), value.get()));
            }
        } catch (const py::Error&) {
            py::Caught caught;
            if (!repeats(entries)) caught.reraise();
            PyDict_Clear(result.get());
            fill_in_dict_order(result.get(), entries, copies);
        }
        if (!dotted) return result;
        return levels_.merged(result.get());
    }

    // Whether a key occurs twice.
    static bool repeats(const Entries& entries) {
        Ref keys = py::own(PyDict_New());
        for (const Entry& entry : entries) py::check(PyDict_SetItem(keys.get(), entry.key.get(), Py_None));
        return static_cast<size_t>(PyDict_GET_SIZE(keys.get())) != entries.size();
    }

    // The values into `dict` as dict() takes the entries: each key's last
    // value, in the order of the keys' first entries.
    void fill_in_dict_order(PyObject* dict, const Entries& entries, Copies& copies) {
        Ref last = py::own(PyDict_New());
        for (size_t i = 0; i < entries.size(); ++i) {
            Ref index = py::integer(static_cast<long long>(i));
            py::check(PyDict_SetItem(last.get(), entries[i].key.get(), index.get()));
        }
        Py_ssize_t pos = 0;
        PyObject *k, *i;
        while (PyDict_Next(last.get(), &pos, &k, &i)) {
            const Entry& entry = entries[static_cast<size_t>(PyLong_AsSsize_t(i))];
            Ref value = value_for(entry.value, copies);
            py::check(PyDict_SetItem(dict, entry.key.get(), value.get()));
        }
    }

    // A value: the level it reads as, or else its str.
    Ref value_for(const Text& value, Copies& copies) {
        if (starts_with_bare_word(value.data, value.size)) return py::decode_tcl(value.data, value.size);
        Ref decoded;
        const Text text = remake(value, copies, decoded);
        Ref nested;
        {
            py::RecursionGuard depth(" while reading a keyed list");
            nested = level(text, true);
        }
        if (nested) return nested;
        return decoded ? std::move(decoded) : py::decode_tcl(value.data, value.size);
    }

    Levels levels_;
    const Api& api_;
    ElementText key_text_;
    const char* top_ = nullptr;          // the bytes of the text read
    BraceIndex* braces_ = nullptr;  // their braces, paired (unless too long)
};

}  // namespace tarvo::tcl
