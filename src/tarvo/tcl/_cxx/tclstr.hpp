// Text that comes back from Tcl's own routines, decoded the way Tcl wrote it.
//
// Tcl's internal strings are not plain UTF-8: NUL is written as the two bytes
// C0 80 (so C strings can carry it), and Tcl 8.6 writes a character outside
// the BMP as a CESU-8 surrogate pair (two three-byte sequences).  A strict
// UTF-8 decoder refuses both, a lenient one invents wrong characters.  Bytes
// that are no UTF-8 at all stand for themselves (their Latin-1 character),
// which is what Tcl's own Tcl_UtfToUniChar makes of them.
#pragma once

#include "ref.hpp"

#include <cstring>
#include <string>
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

// Decodes `n` bytes of Tcl text.  Never raises UnicodeDecodeError.
inline Ref decode_tcl(const char* s, Py_ssize_t n) {
    if (!std::memchr(s, 0xC0, static_cast<size_t>(n)) && !std::memchr(s, 0xED, static_cast<size_t>(n))) {
        PyObject* r = PyUnicode_DecodeUTF8(s, n, nullptr);
        if (r) return Ref::steal(r);
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) fail();
        PyErr_Clear();
    }
    return detail::decode_tcl_slow(reinterpret_cast<const unsigned char*>(s), n);
}

// The bytes Tcl keeps for a str: UTF-8, but NUL as C0 80 and a character
// beyond the BMP as a surrogate pair of three-byte sequences (CESU-8), the
// form Tcl 8.6 writes; a lone surrogate is written like any other BMP
// character.  Never fails for a str.
inline std::string encode_tcl(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    std::string out;
    if (PyUnicode_IS_ASCII(text) && !std::memchr(data, 0, static_cast<size_t>(n))) {
        out.assign(static_cast<const char*>(data), static_cast<size_t>(n));
        return out;
    }
    out.reserve(static_cast<size_t>(n) * 2);
    auto put3 = [&out](Py_UCS4 c) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    };
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == 0) {
            out += '\xC0';
            out += '\x80';
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            put3(c);
        } else {
            put3(0xD800 + ((c - 0x10000) >> 10));
            put3(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}

}  // namespace tarvo::py
