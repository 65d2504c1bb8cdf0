// What threads share: the module states, the process-wide caches of kept
// strings and paths, and the readings of classes kept for their versions.
// Where the interpreter has a GIL it guards them all, and everything here
// compiles to plain loads and stores.  On a free-threaded build (the GIL
// off, Py_GIL_DISABLED) a kept record is read and written whole under a
// small lock, and a field filled on first use is filled once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarvo::py {

#ifdef Py_GIL_DISABLED
constexpr bool free_threaded = true;
#else
constexpr bool free_threaded = false;
#endif

// A lock for a cache: held over a few loads, stores and releases of strs
// and tuples, never over a call into Python or Tcl (it is not reentrant;
// PyMutex lets the thread take part in a stop-the-world pause while it
// waits).  Zero bytes are an unlocked lock, so it may live in module state.
class CacheLock {
public:
#ifdef Py_GIL_DISABLED
    void lock() noexcept { PyMutex_Lock(&mutex_); }
    void unlock() noexcept { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

class Locked {
public:
    explicit Locked(CacheLock& lock) noexcept : lock_(lock) { lock_.lock(); }
    ~Locked() { lock_.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CacheLock& lock_;
};

// A small record (a class, its version and what was found in it) that one
// thread may write while another reads it: each reads a whole copy, never
// the fields of two different writes.
template <class T>
class Kept {
public:
    T load() noexcept {
        Locked hold(lock_);
        return value_;
    }
    void store(const T& value) noexcept {
        Locked hold(lock_);
        value_ = value;
    }

private:
    CacheLock lock_;
    T value_{};
};

// A field of module state filled on first use, from several threads at
// once where the GIL is off: the first value stored stays, later ones are
// released, and the one that stays is returned (borrowed from the field).
inline PyObject* fill_once(PyObject*& field, PyObject* made) noexcept {
    PyObject* expected = nullptr;
    if (__atomic_compare_exchange_n(&field, &expected, made, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) return made;
    Py_DECREF(made);
    return expected;
}

inline PyObject* load_field(PyObject* const& field) noexcept { return __atomic_load_n(&field, __ATOMIC_ACQUIRE); }

}  // namespace tarvo::py
