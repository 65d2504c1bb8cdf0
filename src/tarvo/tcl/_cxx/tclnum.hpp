// A str read as Tcl reads numbers and booleans, without an interpreter.
//
// tkinter's getint, getdouble and getboolean hand a str to Tcl as its UTF-8
// bytes (refusing a str with a NUL or a lone surrogate before Tcl sees it)
// and let Tcl's own routines read them, with the interpreter there only to
// receive the message of a refusal.  `TclText` hands Tcl the same bytes and
// asks the same routines with no interpreter, so a refusal is only an
// answer: no message, no Python exception.  Where the answer cannot be told
// that way (an integer beyond 64 bits) it says so, and the caller asks
// tkinter itself.
#pragma once

#include "tcl.hpp"

#include <climits>
#include <cstring>

namespace tarvo::tcl {

// What a reading found: the value, no value of that kind, or that only the
// general reading can tell.
enum class Reading { VALUE, REFUSED, UNDECIDED };

class TclText {
public:
    // `text` is an exact str that outlives this object.
    TclText(const Api& api, PyObject* text) noexcept : api_(api) {
        Py_ssize_t size = 0;
        const char* bytes = nullptr;
        if (PyUnicode_IS_COMPACT_ASCII(text)) {  // its own UTF-8, ending in a zero byte
            size = PyUnicode_GET_LENGTH(text);
            bytes = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
        } else {
            bytes = PyUnicode_AsUTF8AndSize(text, &size);
        }
        if (!bytes) {  // a lone surrogate: tkinter refuses the str itself
            PyErr_Clear();
            return;
        }
        // tkinter refuses a str that holds a NUL, and one of INT_MAX bytes
        // or more with OverflowError, which no cast takes for a refusal.
        if (size >= INT_MAX) {
            too_long_ = true;
            return;
        }
        if (holds(bytes, size, '\0')) return;
        bytes_ = bytes;
        size_ = size;
        obj_.init(api, const_cast<char*>(bytes), size);  // Tcl's readers leave the bytes as they are
    }
    ~TclText() {
        if (const ObjType* type = obj_.type()) {
            if (const auto free = reinterpret_cast<const ObjTypeHead*>(type)->freeIntRepProc) free(obj());
        }
    }
    TclText(const TclText&) = delete;
    TclText& operator=(const TclText&) = delete;

    // Whether Tcl would see the text at all: false where tkinter refuses
    // the str before any reading (those refusals are its own exceptions).
    bool readable() const noexcept { return bytes_ != nullptr; }

    // Whether tkinter refuses it as too long for Tcl.
    bool too_long() const noexcept { return too_long_; }

    // The text as getint reads it.  Tcl parses an integer into a machine
    // word when it fits one (Tcl's "int" type) and into a bignum when not,
    // and Tcl_GetWideIntFromObj wraps a bignum of up to 64 bits around, so
    // only a value that Tcl holds as an "int" is taken; any other integer
    // is UNDECIDED.  Text that is no integer leaves the object as it was,
    // a string without a type.
    Reading integer(long long& value) {
        if (!obj_.type()) {
            if (plain_decimal(value)) return Reading::VALUE;
            // No integer of Tcl's has a point: the text of a real is
            // refused without asking.
            if (bytes_ && holds(bytes_, size_, '.')) return Reading::REFUSED;
        }
        const int code = api_.GetWideIntFromObj(nullptr, obj(), &value);
        if (code == TCL_OK) return obj_.type() == int_type() ? Reading::VALUE : Reading::UNDECIDED;
        return obj_.type() ? Reading::UNDECIDED : Reading::REFUSED;
    }

    // The text as getdouble reads it (Tcl_GetDouble does this on an object
    // of the text); NaN is refused, as Tcl refuses it.
    Reading real(double& value) {
        if (!obj_.type() && plain_fraction(value)) return Reading::VALUE;
        return api_.GetDoubleFromObj(nullptr, obj(), &value) == TCL_OK ? Reading::VALUE : Reading::REFUSED;
    }

    // The text as getboolean reads it: Tcl's boolean words only (no numbers
    // but 0 and 1; Tcl_GetBoolean, unlike Tcl_GetBooleanFromObj, reads no
    // others).
    Reading boolean(bool& value) {
        int flag = 0;
        if (api_.GetBoolean(nullptr, bytes_, &flag) != TCL_OK) return Reading::REFUSED;
        value = flag != 0;
        return Reading::VALUE;
    }

private:
    // Whether `size` bytes hold `c`: short texts (most that are cast) are
    // scanned in place, without a call to the C library.
    static bool holds(const char* bytes, Py_ssize_t size, char c) noexcept {
        if (size > 16) return std::memchr(bytes, c, static_cast<size_t>(size)) != nullptr;
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (bytes[i] == c) return true;
        }
        return false;
    }

    // The plainest numbers, read here as Tcl reads them: an optional minus
    // and decimal digits, with no leading zero (Tcl 8 reads 010 as octal,
    // Tcl 9 as decimal), and for a real a point with digits on both sides.
    // Anything else (a sign of plus, white space, a prefix, an exponent, an
    // underscore, more digits) is left to Tcl.

    // An integer of up to 18 digits: a machine word, Tcl's "int".
    bool plain_decimal(long long& value) const noexcept {
        if (!bytes_) return false;
        const char* p = bytes_;
        const char* const end = bytes_ + size_;
        const bool negative = p < end && *p == '-';
        p += negative;
        const Py_ssize_t digits = end - p;
        if (digits < 1 || digits > 18 || (*p == '0' && digits > 1)) return false;
        long long magnitude = 0;
        for (; p < end; ++p) {
            if (*p < '0' || *p > '9') return false;
            magnitude = magnitude * 10 + (*p - '0');
        }
        value = negative ? -magnitude : magnitude;
        return true;
    }

    // A real of up to 15 significant digits in all: its digits as an
    // integer and the power of ten to divide by are both exact doubles, so
    // the one rounded division gives the double nearest the text, which is
    // what Tcl's reading (correctly rounded) gives.
    bool plain_fraction(double& value) const noexcept {
        static constexpr double powers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        if (!bytes_) return false;
        const char* p = bytes_;
        const char* const end = bytes_ + size_;
        const bool negative = p < end && *p == '-';
        p += negative;
        if (end - p < 3 || end - p > 16 || (*p == '0' && p[1] != '.')) return false;
        long long digits = 0;
        int fraction = -1;  // digits after the point, once it is passed
        for (; p < end; ++p) {
            if (*p == '.') {
                if (fraction >= 0) return false;
                fraction = 0;
                continue;
            }
            if (*p < '0' || *p > '9') return false;
            digits = digits * 10 + (*p - '0');
            if (fraction >= 0) ++fraction;
        }
        if (fraction < 1 || end[-1 - fraction] != '.' || bytes_[negative] == '.') return false;
        const double magnitude = static_cast<double>(digits) / powers[fraction];
        value = negative ? -magnitude : magnitude;
        return true;
    }

    // One object of the text, shared by the readings: a failed reading
    // leaves it as it was, and a reading of a number that another one then
    // reads again gives what a fresh object would.
    Obj* obj() noexcept { return obj_.get(); }

    // Tcl's "int" object type, looked up once.
    const ObjType* int_type() const noexcept {
        static const ObjType* const type = api_.GetObjType("int");
        return type;
    }

    const Api& api_;
    const char* bytes_ = nullptr;
    Py_ssize_t size_ = 0;
    ObjStorage obj_{};
    bool too_long_ = false;
};

}  // namespace tarvo::tcl
