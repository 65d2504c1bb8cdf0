// Tcl list text, element by element, as Tcl's own list parser reads it.
//
// A `ListCursor` walks the bytes of a list with TclFindElement, one element
// per step; `ElementText` then gives an element's value: its bytes as they
// stand when they are braced or hold no backslash, else the copy that
// TclCopyAndCollapse makes of them.  The bytes are Tcl's (see tclstr.hpp);
// nothing here makes Python objects, so readers of lists decide themselves
// what to build from each element.
//
// A reader that walks the same text level by level (a nested list) makes its
// cursors quick: they take the end of a braced element from a `BraceIndex`
// of the whole text and the end of a plain word from its first white space,
// which is where Tcl's parser finds them, and leave everything else to it.
#pragma once

#include "tcl.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__SSE2__) && defined(__GNUC__)
#include <emmintrin.h>
#endif

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

// Where the braced elements of a text end, known after one pass over it.
//
// Inside braces, Tcl's list parser counts braces and skips what follows a
// backslash: a backslash sequence may run on past its next byte (digits, the
// white space after a backslash-newline, the rest of a UTF-8 character), but
// never over a brace or another backslash.  So whether a brace counts is
// settled by the backslashes right before it, wherever a scan starts, and
// the brace that ends a braced element is the one that an opening brace is
// paired with when all braces of the text that count are paired like
// parentheses.  The pass pairs them from the front, as far as it is asked.
class BraceIndex {
public:
    static constexpr size_t most = size_t{1} << 24;  // bytes of text indexed at most

    // `text` outlives the index; up to `most` bytes.
    BraceIndex(const char* text, size_t length) noexcept : text_(text), length_(length) {}
    BraceIndex(const BraceIndex&) = delete;  // it may point into itself
    BraceIndex& operator=(const BraceIndex&) = delete;

    // The position of the brace that ends the braced element opened by the
    // brace at `open`, when that lies before `limit`; `none` when it does
    // not, `unknown` when `open` holds no brace that counts.
    static constexpr size_t none = ~size_t{0}, unknown = ~size_t{0} - 1;
    size_t close(size_t open, size_t limit) {
        if (!close_) {
            if (length_ <= LOCAL) {
                close_ = local_close_;
            } else {
                heap_close_.reset(new uint32_t[length_]);
                close_ = heap_close_.get();
            }
        }
        if (open >= done_) pass(open + 1, open);
        if (text_[open] != '{' || close_[open] == escaped) return unknown;
        if (close_[open] == open_brace) pass(limit, open);
        const uint32_t close = close_[open];
        return close == open_brace || close >= limit ? none : close;
    }

private:
    static constexpr uint32_t open_brace = ~uint32_t{0}, escaped = ~uint32_t{0} - 1;

    // Pairs the braces before `to`, or until `watch` is paired.
    void pass(size_t to, size_t watch) {
        to = to < length_ ? to : length_;
        size_t i = done_;
        while (i < to) {
            const size_t at = find(i, to);
            if (at >= to) {
                i = to;
                break;
            }
            i = at + 1;
            if (text_[at] == '{') {
                close_[at] = open_brace;
                open_.push(static_cast<uint32_t>(at));
            } else if (text_[at] == '}') {
                if (open_.empty()) continue;
                const uint32_t open = open_.pop();
                close_[open] = static_cast<uint32_t>(at);
                if (open == watch) break;
            } else {  // a backslash: the byte after it does not count
                if (i < length_ && text_[i] == '{') close_[i] = escaped;
                ++i;
            }
        }
        if (i > done_) done_ = i;
    }

    // The first brace or backslash from `i` on, or `to`.
    size_t find(size_t i, size_t to) const noexcept {
#if defined(__SSE2__) && defined(__GNUC__)
        const __m128i open = _mm_set1_epi8('{'), close = _mm_set1_epi8('}'), backslash = _mm_set1_epi8('\\');
        for (; i + 16 <= to; i += 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text_ + i));
            const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, open), _mm_cmpeq_epi8(block, close)),
                                              _mm_cmpeq_epi8(block, backslash));
            const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
            if (mask) return i + static_cast<size_t>(__builtin_ctz(mask));
        }
#endif
        for (; i < to; ++i) {
            const char c = text_[i];
            if (c == '{' || c == '}' || c == '\\') return i;
        }
        return to;
    }

    // The braces passed and not yet paired: a stack, in place while short.
    class OpenBraces {
    public:
        bool empty() const noexcept { return size_ == 0; }
        void push(uint32_t at) {
            if (size_ < LOCAL_OPEN) {
                local_[size_++] = at;
                return;
            }
            if (heap_.size() < size_ - LOCAL_OPEN + 1) heap_.resize(size_ - LOCAL_OPEN + 1);
            heap_[size_++ - LOCAL_OPEN] = at;
        }
        uint32_t pop() noexcept {
            --size_;
            return size_ < LOCAL_OPEN ? local_[size_] : heap_[size_ - LOCAL_OPEN];
        }

    private:
        static constexpr size_t LOCAL_OPEN = 32;
        uint32_t local_[LOCAL_OPEN];
        size_t size_ = 0;
        std::vector<uint32_t> heap_;
    };

    // Short texts keep their pairs in place (no reading of a place before
    // `pass` has written it).
    static constexpr size_t LOCAL = 256;

    const char* text_;
    size_t length_;
    size_t done_ = 0;                         // bytes paired so far
    uint32_t* close_ = nullptr;               // for each '{' passed: its pair, open_brace or escaped
    uint32_t local_close_[LOCAL];             // close_ of a short text
    std::unique_ptr<uint32_t[]> heap_close_;  // close_ of a longer one
    OpenBraces open_;
};

// The elements of `length` bytes of list text (at most INT_MAX), found by
// TclFindElement.  Errors go to `interp` (may be null), as Tcl leaves them.
//
// A cursor made `quick` finds two kinds of element itself, those whose end
// Tcl's parser finds without substituting anything: a braced element, when
// `braces` indexes the text (`text` being `offset` bytes into the indexed
// one), and a bare word with no backslash, which ends at the first white
// space.  Everything else, and every error, it leaves to Tcl.
class ListCursor {
public:
    enum Step { ELEMENT, END, MALFORMED };

    ListCursor(const Api& api, const char* text, int length, Interp* interp = nullptr) noexcept
        : api_(api), interp_(interp), p_(text), limit_(text + length) {}

    ListCursor(const Api& api, const char* text, int length, bool quick, BraceIndex* braces, size_t offset) noexcept
        : api_(api),
          interp_(nullptr),
          p_(text),
          limit_(text + length),
          quick_(quick),
          braces_(braces),
          base_(text - offset) {}

    // The next element, or the end (only white space was left), or
    // MALFORMED where Tcl refuses the text.
    Step next(Element& element) {
        if (p_ >= limit_) return END;
        if (quick_ && found(element)) return ELEMENT;
        if (p_ >= limit_) return END;
        const char* start = nullptr;
        const char* next = nullptr;
        Size size = 0;
        int brace = 0;
        if (api_.FindElement(interp_, p_, limit_ - p_, &start, &next, &size, &brace) != TCL_OK) {
            return MALFORMED;
        }
        if (start >= limit_) {
            p_ = limit_;
            return END;
        }
        element.start = start;
        element.size = static_cast<int>(size);  // the text is no longer than INT_MAX
        element.verbatim = brace || !std::memchr(start, '\\', static_cast<size_t>(size));
        p_ = next;
        return ELEMENT;
    }

private:
    static bool is_space(char c) noexcept {
        return static_cast<unsigned char>(c) <= ' ' && is_list_space(static_cast<unsigned char>(c));
    }

    // Whether a bare word ends before `c` (white space) or needs Tcl (a backslash).
    static bool ends_word(char c) noexcept { return c == '\\' || is_space(c); }

    void skip_space() noexcept {
        while (p_ < limit_ && is_space(*p_)) ++p_;
    }

    // Finds the next element where that needs no Tcl; false where it does
    // (past the white space, which Tcl would skip the same).
    bool found(Element& element) {
        skip_space();
        if (p_ >= limit_) return false;
        if (*p_ == '{') {
            if (!braces_) return false;
            const size_t close = braces_->close(static_cast<size_t>(p_ - base_), static_cast<size_t>(limit_ - base_));
            if (close == BraceIndex::none || close == BraceIndex::unknown) return false;
            const char* end = base_ + close;
            if (end + 1 < limit_ && !is_space(end[1])) return false;
            element.start = p_ + 1;
            element.size = static_cast<int>(end - element.start);
            element.verbatim = true;
            p_ = end + 1;
            skip_space();
            return true;
        }
        if (*p_ == '"') return false;
        const char* end = p_;
        while (end < limit_ && !ends_word(*end)) ++end;
        if (end < limit_ && *end == '\\') return false;
        element.start = p_;
        element.size = static_cast<int>(end - p_);
        element.verbatim = true;
        p_ = end;
        skip_space();
        return true;
    }

    const Api& api_;
    Interp* interp_;
    const char* p_;
    const char* limit_;
    bool quick_ = false;
    BraceIndex* braces_ = nullptr;
    const char* base_ = nullptr;
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
        size_ = static_cast<int>(api_.CopyAndCollapse(element.size, element.start, room));
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
