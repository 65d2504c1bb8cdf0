// Answers read from dicts, kept for as long as those dicts stay as they were.
//
// CPython numbers the states of dicts (PEP 509's version tag): every change
// to a dict gives it a number that no dict had before.  So whatever was read
// from a dict (a module global, an instance attribute, a logger's settings)
// still holds while the dict shows the number it showed then, and a call
// made over and over (a quick call, an eval) reads one number per dict
// instead of looking every name up again.  Up to Python 3.12 every change
// goes through the dict (3.12 keeps the number but deprecates it in favour
// of dict watchers); from 3.13 on an instance's attributes may change in
// place without it (its __dict__ is then a view of them), and 3.14 drops
// it: there nothing is kept, and every answer is read afresh.
//
// A kept value is borrowed from its dict: it lives as long as the dict
// holds it, that is while the dict is in the state it was read in.
#pragma once

#include "module.hpp"
#include "ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace tarvo::py {

// The number of the present state of `dict` (an exact dict); 0 where the
// interpreter keeps none, which no kept answer ever matches.
inline uint64_t dict_state(PyObject* dict) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#elif PY_VERSION_HEX < 0x030D0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    (void)dict;
    return 0;
#endif
}

// Whether looking any name up in `dict` runs no code: an exact dict whose
// keys are all exact strs (no __eq__ or __hash__ of anybody's is asked).
inline bool plain_str_keys(PyObject* dict) noexcept {
    if (!PyDict_CheckExact(dict)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

// The values of up to `N` names in one dict, kept for the state they were
// read in.  Reading them all at once runs no code (plain_str_keys), so it
// answers each lookup exactly as looking that name up alone would, at any
// moment the dict is still in that state.
template <size_t N>
class KeptNames {
public:
    // Whether the values kept are those of `dict` as it is now.
    bool holds(PyObject* dict) const noexcept {
        return state_ != 0 && PyDict_CheckExact(dict) && dict_state(dict) == state_;
    }

    // Reads `names` (interned strs, at most N) from `dict`, unless the values
    // kept hold already.  False where `dict` cannot be read that way (nothing
    // kept then).
    bool read(PyObject* dict, std::initializer_list<PyObject*> names) {
        if (holds(dict)) return true;
        // Where dicts keep no number (3.13 on) nothing is kept, nor written.
        if (!PyDict_CheckExact(dict) || dict_state(dict) == 0) return false;
        state_ = 0;
        if (names.size() > N || !plain_str_keys(dict)) return false;
        size_t i = 0;
        for (PyObject* name : names) {
            values_[i] = PyDict_GetItemWithError(dict, name);
            if (!values_[i] && PyErr_Occurred()) fail();
            ++i;
        }
        state_ = dict_state(dict);
        return state_ != 0;
    }

    // The value of the `i`th name (borrowed), null where the dict has none.
    PyObject* value(size_t i) const noexcept { return values_[i]; }

private:
    uint64_t state_ = 0;  // 0: nothing kept
    PyObject* values_[N] = {};
};

// `obj.<name>` where its class defines nothing of that name: the value that
// `kept` keeps as its number `n` (when it holds for `dict`, the own
// __dict__ of `obj`), else looked up in `dict` (null: none) or normally.
template <size_t N>
Ref kept_attr(const KeptNames<N>* kept, PyObject* obj, PyObject* dict, size_t n, PyObject* name) {
    if (kept) {
        if (PyObject* value = kept->value(n)) return newref(value);
        return instance_attr(obj, name);
    }
    return dict ? own_attr(obj, dict, name) : instance_attr(obj, name);
}

}  // namespace tarvo::py
