// Text between Python and Tcl's own C routines, in the form Tcl holds it.
//
// Tcl's internal strings are not plain UTF-8: NUL is written as the two bytes
// C0 80 (so C strings can carry it), and Tcl 8.6 writes a character outside
// the BMP as a CESU-8 surrogate pair (two three-byte sequences).  A strict
// UTF-8 decoder refuses both, a lenient one invents wrong characters.  Bytes
// that are no UTF-8 at all stand for themselves (their Latin-1 character),
// which is what Tcl's own Tcl_UtfToUniChar makes of them.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace tarvo::py {

namespace detail {

inline bool is_trail(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// Decodes one character at s[i] (i < n) and returns the bytes it takes.
inline Py_ssize_t tcl_char(const unsigned char* s, Py_ssize_t i, Py_ssize_t n, Py_UCS4& cp) noexcept {
    const unsigned char b = s[i];
    cp = b;
    if (b < 0x80) return 1;
    const Py_ssize_t left = n - i;
    if ((b & 0xE0) == 0xC0 && left >= 2 && is_trail(s[i + 1])) {
        const Py_UCS4 c = (Py_UCS4(b & 0x1F) << 6) | (s[i + 1] & 0x3F);
        if (c == 0 || c >= 0x80) {  // C0 80 is NUL; other overlong forms are no characters
            cp = c;
            return 2;
        }
        return 1;
    }
    if ((b & 0xF0) == 0xE0 && left >= 3 && is_trail(s[i + 1]) && is_trail(s[i + 2])) {
        const Py_UCS4 c = (Py_UCS4(b & 0x0F) << 12) | (Py_UCS4(s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
        if (c >= 0x800) {
            cp = c;
            return 3;
        }
        return 1;
    }
    if ((b & 0xF8) == 0xF0 && left >= 4 && is_trail(s[i + 1]) && is_trail(s[i + 2]) && is_trail(s[i + 3])) {
        const Py_UCS4 c = (Py_UCS4(b & 0x07) << 18) | (Py_UCS4(s[i + 1] & 0x3F) << 12) |
                          (Py_UCS4(s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            cp = c;
            return 4;
        }
    }
    return 1;
}

inline Ref decode_tcl_slow(const unsigned char* s, Py_ssize_t n) {
    std::vector<Py_UCS4> out;
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n;) {
        Py_UCS4 cp;
        i += tcl_char(s, i, n, cp);
        // A high surrogate directly followed by a low one is one character.
        if (!out.empty() && cp >= 0xDC00 && cp <= 0xDFFF && out.back() >= 0xD800 && out.back() <= 0xDBFF) {
            out.back() = 0x10000 + ((out.back() - 0xD800) << 10) + (cp - 0xDC00);
            continue;
        }
        out.push_back(cp);
    }
    return own(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

}  // namespace detail

namespace detail {

// Whether the `n` bytes at `s` are all ASCII, eight at a time.
inline bool all_ascii(const char* s, Py_ssize_t n) noexcept {
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        if (word & 0x8080808080808080ULL) return false;
    }
    for (; i < n; ++i) {
        if (static_cast<unsigned char>(s[i]) & 0x80) return false;
    }
    return true;
}

}  // namespace detail

// Decodes `n` bytes of Tcl text.  Never raises UnicodeDecodeError.
inline Ref decode_tcl(const char* s, Py_ssize_t n) {
    if (n > 1 && detail::all_ascii(s, n)) {
        Ref text = own(PyUnicode_New(n, 127));
        std::memcpy(PyUnicode_1BYTE_DATA(text.get()), s, static_cast<size_t>(n));
        return text;
    }
    if (!std::memchr(s, 0xC0, static_cast<size_t>(n)) && !std::memchr(s, 0xED, static_cast<size_t>(n))) {
        PyObject* r = PyUnicode_DecodeUTF8(s, n, nullptr);
        if (r) return Ref::steal(r);
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) fail();
        PyErr_Clear();
    }
    return detail::decode_tcl_slow(reinterpret_cast<const unsigned char*>(s), n);
}

namespace detail {

// Bytes that code point `c` takes in Tcl's form.
inline size_t tcl_width(Py_UCS4 c) noexcept {
    if (c < 0x80) return c == 0 ? 2 : 1;
    if (c < 0x800) return 2;
    return c < 0x10000 ? 3 : 4;
}

// Sizes are counted unsigned: at most 4 bytes for each character of a str
// that takes at least as many bytes itself, so the count cannot wrap, and a
// count is never negative, which the allocation of the bytes relies on.
template <class Char>
size_t tcl_size(const Char* s, Py_ssize_t n) noexcept {
    size_t size = 0;
    for (Py_ssize_t i = 0; i < n; ++i) size += tcl_width(s[i]);
    return size;
}

// One byte each, two for NUL and for the characters from U+0080 on.
inline size_t tcl_size(const Py_UCS1* s, Py_ssize_t n) noexcept {
    size_t size = static_cast<size_t>(n);
    for (Py_ssize_t i = 0; i < n; ++i) size += (s[i] >= 0x80) + (s[i] == 0);
    return size;
}

// Writes `c` in Tcl's form; returns the byte after it.
inline unsigned char* tcl_put(Py_UCS4 c, unsigned char* out) noexcept {
    if (c < 0x80 && c != 0) {
        *out++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<unsigned char>(0xC0 | (c >> 6));
        *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<unsigned char>(0xE0 | (c >> 12));
        *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<unsigned char>(0xF0 | (c >> 18));
        *out++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
    return out;
}

template <class Char>
void tcl_encode(const Char* s, Py_ssize_t n, unsigned char* out) noexcept {
    for (Py_ssize_t i = 0; i < n; ++i) out = tcl_put(s[i], out);
}

// Latin-1 text is mostly ASCII: runs of eight ASCII characters without NUL
// are copied as they are.
inline void tcl_encode(const Py_UCS1* s, Py_ssize_t n, unsigned char* out) noexcept {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    Py_ssize_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, s + i, 8);
            if (!(word & highs) && !((word - ones) & ~word & highs)) {  // no high bit, no zero byte
                std::memcpy(out, &word, 8);
                out += 8;
                i += 8;
                continue;
            }
        }
        out = tcl_put(s[i++], out);
    }
}

}  // namespace detail

// A str as Tcl holds it, for Tcl's own C routines: UTF-8, except that NUL
// is the two bytes C0 80 (so no character ends the text early) and a
// surrogate code point, which strict UTF-8 refuses, is its own three-byte
// form.  decode_tcl reads these bytes back unchanged, save that a high
// surrogate directly followed by a low one comes back as the one character
// the pair stands for, as Tcl reads it.
//
// The size is known as soon as the object is made; the bytes are written on
// the first call of `bytes()` (so a caller can refuse a size first).  ASCII
// text without NUL is used in place.  `text` must outlive this object.
class TclBytes {
public:
    explicit TclBytes(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(text) < 0) fail();
#endif
        kind_ = PyUnicode_KIND(text);
        data_ = PyUnicode_DATA(text);
        length_ = PyUnicode_GET_LENGTH(text);
        if (PyUnicode_IS_ASCII(text) && !std::memchr(data_, 0, static_cast<size_t>(length_))) {
            size_ = static_cast<size_t>(length_);
            direct_ = static_cast<const char*>(data_);
        } else if (kind_ == PyUnicode_1BYTE_KIND) {
            size_ = detail::tcl_size(static_cast<const Py_UCS1*>(data_), length_);
        } else if (kind_ == PyUnicode_2BYTE_KIND) {
            size_ = detail::tcl_size(static_cast<const Py_UCS2*>(data_), length_);
        } else {
            size_ = detail::tcl_size(static_cast<const Py_UCS4*>(data_), length_);
        }
    }
    TclBytes(const TclBytes&) = delete;
    TclBytes& operator=(const TclBytes&) = delete;

    size_t size() const noexcept { return size_; }

    // The bytes, followed by a NUL byte.
    const char* bytes() {
        if (direct_) return direct_;
        buffer_.reset(new char[size_ + 1]);
        auto* out = reinterpret_cast<unsigned char*>(buffer_.get());
        if (kind_ == PyUnicode_1BYTE_KIND) {
            detail::tcl_encode(static_cast<const Py_UCS1*>(data_), length_, out);
        } else if (kind_ == PyUnicode_2BYTE_KIND) {
            detail::tcl_encode(static_cast<const Py_UCS2*>(data_), length_, out);
        } else {
            detail::tcl_encode(static_cast<const Py_UCS4*>(data_), length_, out);
        }
        buffer_[size_] = '\0';
        direct_ = buffer_.get();
        return direct_;
    }

private:
    int kind_ = PyUnicode_1BYTE_KIND;
    const void* data_ = nullptr;
    Py_ssize_t length_ = 0;
    size_t size_ = 0;
    const char* direct_ = nullptr;
    std::unique_ptr<char[]> buffer_;
};

}  // namespace tarvo::py
