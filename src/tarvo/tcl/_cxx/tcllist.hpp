// Tcl list text, element by element, as Tcl's own list parser reads it.
//
// A `ListCursor` walks the bytes of a list with TclFindElement, one element
// per step; `ElementText` then gives an element's value: its bytes as they
// stand when they are braced or hold no backslash, else the copy that
// TclCopyAndCollapse makes of them.  The bytes are Tcl's (see tclstr.hpp);
// nothing here makes Python objects, so readers of lists decide themselves
// what to build from each element.
#pragma once

#include "tcl.hpp"

#include <cstring>
#include <memory>

namespace tarvo::tcl {

// The bytes that separate list elements: space, tab, newline, carriage
// return, vertical tab and form feed.
inline bool is_list_space(unsigned char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One element as it stands in the text.
struct Element {
    const char* start = nullptr;  // its first byte (after an opening brace or quote)
    int size = 0;                 // its bytes before backslash substitution
    bool verbatim = true;         // its bytes are its value: braced, or no backslash in them
};

// The elements of `length` bytes of list text (at most INT_MAX), found by
// TclFindElement.  Errors go to `interp` (may be null), as Tcl leaves them.
class ListCursor {
public:
    enum Step { ELEMENT, END, MALFORMED };

    ListCursor(const Api& api, const char* text, int length, Interp* interp = nullptr) noexcept
        : api_(api), interp_(interp), p_(text), limit_(text + length) {}

    // The next element, or the end (only white space was left), or
    // MALFORMED where Tcl refuses the text.
    Step next(Element& element) noexcept {
        if (p_ >= limit_) return END;
        const char* start = nullptr;
        const char* next = nullptr;
        int size = 0, brace = 0;
        if (api_.FindElement(interp_, p_, static_cast<int>(limit_ - p_), &start, &next, &size, &brace) != TCL_OK) {
            return MALFORMED;
        }
        if (start >= limit_) {
            p_ = limit_;
            return END;
        }
        element.start = start;
        element.size = size;
        element.verbatim = brace || !std::memchr(start, '\\', static_cast<size_t>(size));
        p_ = next;
        return ELEMENT;
    }

    // Where the next element is looked for.
    const char* position() const noexcept { return p_; }

private:
    const Api& api_;
    Interp* interp_;
    const char* p_;
    const char* limit_;
};

// An element's value: its own bytes, or their collapsed copy.  The copy of a
// short element stays on the stack; longer ones share one heap block, grown
// as needed, so the bytes last until the next `collapse`.
class ElementText {
public:
    explicit ElementText(const Api& api) noexcept : api_(api) {}
    ElementText(const ElementText&) = delete;
    ElementText& operator=(const ElementText&) = delete;

    // Sets data()/size() to the value of `element`.
    void collapse(const Element& element) {
        if (element.verbatim) {
            data_ = element.start;
            size_ = element.size;
            return;
        }
        char* room = this->room(static_cast<size_t>(element.size) + 1);
        size_ = api_.CopyAndCollapse(element.size, element.start, room);
        data_ = room;
    }

    const char* data() const noexcept { return data_; }
    int size() const noexcept { return size_; }

private:
    char* room(size_t size) {
        if (size <= sizeof small_) return small_;
        if (size > capacity_) {
            heap_.reset(new char[size]);
            capacity_ = size;
        }
        return heap_.get();
    }

    const Api& api_;
    const char* data_ = nullptr;
    int size_ = 0;
    char small_[512];
    std::unique_ptr<char[]> heap_;
    size_t capacity_ = 0;
};

}  // namespace tarvo::tcl
