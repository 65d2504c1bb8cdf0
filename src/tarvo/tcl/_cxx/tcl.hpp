// The Tcl C routines our modules call directly.
//
// They come from the Tcl library that tkinter's interpreters run on: the
// one `_tkinter` was linked against, already loaded in the process.  They
// are looked up in `_tkinter`'s own scope (dlopen of `_tkinter` without
// loading anything, then dlsym), so the C++ never calls one Tcl's routines
// on another Tcl's interpreter, whatever other Tcl libraries the loader
// could find.  (`tarvo.tcl.internal.TclDLL`, the ctypes handle, keeps its
// own search by file name for the callers that use it.)  The table holds
// plain function pointers only, so it may live in static storage; each
// module fills its own copy once.
//
// Tcl 8.6 and Tcl 9 export the same names with different prototypes: Tcl 9
// passes sizes as Tcl_Size (ptrdiff_t) where Tcl 8.6 passes int, and two
// routines are gone.  The table reads the library's version once and binds
// each routine with that version's prototype; the routines whose prototypes
// differ are reached only through the member functions below, which take
// and give Tcl 9's sizes and pass each library what it expects.
#pragma once

#include "ref.hpp"
#include "tclstr.hpp"

#if __has_include(<dlfcn.h>)
#include <dlfcn.h>
#define TARVO_HAVE_DLFCN 1
#else
#define TARVO_HAVE_DLFCN 0
#endif

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace tarvo::tcl {

using py::Ref;

struct Interp;   // Tcl_Interp, opaque
struct Obj;      // Tcl_Obj, opaque but for its head (ObjStorage)
struct ObjType;  // Tcl_ObjType, opaque
using ThreadId = void*;

// Tcl_Size: a count or a size in bytes, as Tcl 9 passes it.  Tcl 8 passes
// int; the table narrows and widens at its edge, and our callers keep what
// they hand Tcl 8 within int (as tkinter does: it refuses larger values).
using Size = std::ptrdiff_t;

enum ReturnCode { TCL_OK = 0, TCL_ERROR = 1, TCL_RETURN = 2, TCL_BREAK = 3, TCL_CONTINUE = 4 };

// Tcl_CancelEval's flag: unwind the whole evaluation; no catch traps it.
constexpr int CANCEL_UNWIND = 0x100000;

// Tcl_ObjCmdProc: its objc is int in Tcl 9 too (Tcl_ObjCmdProc2 is the
// one with Tcl_Size, and neither we nor tkinter make such commands).
using ObjCmdProc = int (*)(void* clientData, Interp* interp, int objc, Obj* const objv[]);
using CmdDeleteProc = void (*)(void* clientData);
using LimitHandlerProc = void (*)(void* clientData, Interp* interp);
using InterpDeleteProc = void (*)(void* clientData, Interp* interp);

// Tcl_Time as Tcl 9 lays it out (its seconds are long long; Tcl 8 has
// long, the same on 64-bit Linux and macOS but not on Windows).
struct Time {
    long long sec;
    long usec;
};

// Tcl_LimitTypeSet's type of a limit on the time an evaluation takes.
constexpr int LIMIT_TIME = 0x02;

// Tcl_CmdInfo: what Tcl_GetCommandInfo reports of a command.  Tcl 9 adds
// the last two fields and writes them; Tcl 8 neither writes nor reads them.
struct CmdInfo {
    int isNativeObjectProc;
    ObjCmdProc objProc;
    void* objClientData;
    void* proc;  // Tcl_CmdProc, the string-based procedure
    void* clientData;
    CmdDeleteProc deleteProc;
    void* deleteData;
    void* namespacePtr;
    void* objProc2;  // Tcl 9: Tcl_ObjCmdProc2
    void* objClientData2;
};

// The Tcl versions whose C interface the table knows.
constexpr const char* SUPPORTED_TCL = "8.6 and 9";

namespace detail {

// The routines whose prototypes take a size: S is int in Tcl 8, Tcl_Size
// in Tcl 9.
template <typename S>
struct Sized {
    Obj* (*NewStringObj)(const char* bytes, S length);
    Obj* (*NewListObj)(S objc, Obj* const objv[]);
    char* (*GetStringFromObj)(Obj* obj, S* lengthPtr);
    int (*ListObjGetElements)(Interp* interp, Obj* listPtr, S* objcPtr, Obj*** objvPtr);
    int (*FindElement)(Interp* interp, const char* list, S listLength, const char** elementPtr, const char** nextPtr,
                       S* sizePtr, int* bracePtr);
    S (*CopyAndCollapse)(S count, const char* src, char* dst);
};

// Tcl 8's Tcl_Time.
struct Time8 {
    long sec;
    long usec;
};

}  // namespace detail

struct Api {
    int major = 0;  // the library's major version, 8 or 9; 0 until loaded
    void (*ResetResult)(Interp* interp);

    // Commands of our own (Python callbacks with readable errors).
    void* (*CreateObjCommand)(Interp* interp, const char* cmdName, ObjCmdProc proc, void* clientData,
                              CmdDeleteProc deleteProc);
    int (*GetCommandInfo)(Interp* interp, const char* cmdName, CmdInfo* infoPtr);
    int (*SetCommandInfo)(Interp* interp, const char* cmdName, const CmdInfo* infoPtr);
    void (*SetObjResult)(Interp* interp, Obj* result);
    // Tcl_AddObjErrorInfo is a macro of this in Tcl 9 (8.6 has both).
    void (*AppendObjToErrorInfo)(Interp* interp, Obj* objPtr);
    void (*SetObjErrorCode)(Interp* interp, Obj* errorObjPtr);
    void (*DbIncrRefCount)(Obj* obj, const char* file, int line);
    void (*DbDecrRefCount)(Obj* obj, const char* file, int line);
    // Tcl 8.6 and later; null where the library has none.
    int (*CancelEval)(Interp* interp, Obj* resultObjPtr, void* clientData, int flags);
    int (*ResetCancellation)(Interp* interp, int force);
    int (*AsyncInvoke)(Interp* interp, int code);

    Obj* (*GetObjResult)(Interp* interp);

    // The return options of a failure: -errorcode, -errorline, ...
    Obj* (*GetReturnOptions)(Interp* interp, int result);
    int (*DictObjGet)(Interp* interp, Obj* dictPtr, Obj* keyPtr, Obj** valuePtrPtr);
    int (*GetIntFromObj)(Interp* interp, Obj* objPtr, int* intPtr);

    // Tcl's readers of numbers and booleans: the parsing behind tkinter's
    // getint (which reads the same integers as bignums), getdouble and
    // getboolean.  With a null interpreter they leave no message anywhere.
    int (*GetWideIntFromObj)(Interp* interp, Obj* objPtr, long long* widePtr);
    int (*GetDoubleFromObj)(Interp* interp, Obj* objPtr, double* doublePtr);
    int (*GetBoolean)(Interp* interp, const char* src, int* boolPtr);
    const ObjType* (*GetObjType)(const char* typeName);

    ThreadId (*GetCurrentThread)();

    // What watches an interpreter while it runs for Python (watch.hpp):
    // a time limit whose handler Tcl calls at the limit, kept per
    // interpreter, and the interpreter's own life.
    void (*LimitAddHandler)(Interp* interp, int type, LimitHandlerProc handler, void* clientData,
                            CmdDeleteProc deleteProc);
    void (*LimitTypeSet)(Interp* interp, int type);
    void* (*GetAssocData)(Interp* interp, const char* name, InterpDeleteProc* procPtr);
    void (*SetAssocData)(Interp* interp, const char* name, InterpDeleteProc proc, void* clientData);
    int (*InterpDeleted)(Interp* interp);
    int (*InterpActive)(Interp* interp);
    Interp* (*CreateInterp)();
    void (*DeleteInterp)(Interp* interp);
    void (*Preserve)(void* data);
    int (*DeleteCommandFromToken)(Interp* interp, void* command);
    Interp* (*GetChild)(Interp* interp, const char* name);  // Tcl_GetSlave before Tcl 8.7
    int (*LimitTypeEnabled)(Interp* interp, int type);
    void (*LimitTypeReset)(Interp* interp, int type);
    void (*LimitRemoveHandler)(Interp* interp, int type, LimitHandlerProc handler, void* clientData);
    Interp* (*GetParent)(Interp* interp);  // Tcl_GetMaster before Tcl 8.7
    void* (*FindCommand)(Interp* interp, const char* name, void* contextNsPtr, int flags);  // a Tcl_Command

    // Through the version's own prototype.

    bool nine() const noexcept { return major >= 9; }

    Obj* NewStringObj(const char* bytes, Size length) const noexcept {
        return nine() ? v9.NewStringObj(bytes, length) : v8.NewStringObj(bytes, static_cast<int>(length));
    }
    Obj* NewListObj(Size objc, Obj* const objv[]) const noexcept {
        return nine() ? v9.NewListObj(objc, objv) : v8.NewListObj(static_cast<int>(objc), objv);
    }
    // An object's string with its length in bytes (`lengthPtr` may be
    // null): unlike the interpreter's string result, it keeps a zero byte
    // that came in through tkinter (which hands NUL over as a raw 0 byte).
    char* GetStringFromObj(Obj* obj, Size* lengthPtr) const noexcept {
        if (nine()) return v9.GetStringFromObj(obj, lengthPtr);
        int length = 0;
        char* bytes = v8.GetStringFromObj(obj, lengthPtr ? &length : nullptr);
        if (lengthPtr) *lengthPtr = length;
        return bytes;
    }
    int ListObjGetElements(Interp* interp, Obj* listPtr, Size* objcPtr, Obj*** objvPtr) const noexcept {
        if (nine()) return v9.ListObjGetElements(interp, listPtr, objcPtr, objvPtr);
        int objc = 0;
        const int code = v8.ListObjGetElements(interp, listPtr, &objc, objvPtr);
        *objcPtr = objc;
        return code;
    }
    // TclFindElement: the next element of `listLength` bytes of list text
    // (`interp` may be null).  Out: the element's first byte, what follows
    // it, its size in bytes and whether it was braced.
    int FindElement(Interp* interp, const char* list, Size listLength, const char** elementPtr, const char** nextPtr,
                    Size* sizePtr, int* bracePtr) const noexcept {
        if (nine()) return v9.FindElement(interp, list, listLength, elementPtr, nextPtr, sizePtr, bracePtr);
        int size = 0;
        const int code =
            v8.FindElement(interp, list, static_cast<int>(listLength), elementPtr, nextPtr, &size, bracePtr);
        *sizePtr = size;
        return code;
    }
    // TclCopyAndCollapse: copies `count` bytes with their backslash
    // sequences replaced; the bytes written.
    Size CopyAndCollapse(Size count, const char* src, char* dst) const noexcept {
        return nine() ? v9.CopyAndCollapse(count, src, dst) : v8.CopyAndCollapse(static_cast<int>(count), src, dst);
    }
    // The interpreter's result as a C string (Tcl_GetStringResult, a macro
    // of this in Tcl 9).
    const char* GetStringResult(Interp* interp) const noexcept {
        return GetStringFromObj(GetObjResult(interp), nullptr);
    }
    void AddObjErrorInfo(Interp* interp, const char* message, Size length) const noexcept {
        AppendObjToErrorInfo(interp, NewStringObj(message, length));
    }
    void GetTime(Time* timeBuf) const noexcept { time_call(raw_GetTime, timeBuf); }
    void LimitGetTime(Interp* interp, Time* timeLimitPtr) const noexcept {
        if (nine()) return raw_LimitGetTime(interp, timeLimitPtr);
        detail::Time8 t{};
        raw_LimitGetTime(interp, &t);
        *timeLimitPtr = Time{t.sec, t.usec};
    }
    void LimitSetTime(Interp* interp, Time* timeLimitPtr) const noexcept {
        if (nine()) return raw_LimitSetTime(interp, timeLimitPtr);
        detail::Time8 t{static_cast<long>(timeLimitPtr->sec), timeLimitPtr->usec};
        raw_LimitSetTime(interp, &t);
    }

    // Filled by api(): one of the two, by the version.
    detail::Sized<int> v8;
    detail::Sized<Size> v9;
    // Their Tcl_Time is the version's.
    void (*raw_GetTime)(void* timeBuf);
    void (*raw_LimitSetTime)(Interp* interp, void* timeLimitPtr);
    void (*raw_LimitGetTime)(Interp* interp, void* timeLimitPtr);

private:
    void time_call(void (*routine)(void*), Time* time) const noexcept {
        if (nine()) return routine(time);
        detail::Time8 t{};
        routine(&t);
        *time = Time{t.sec, t.usec};
    }
};

namespace detail {

inline Api& table() {
    static Api api{};
    return api;
}

// Set once the table is whole: threads that find it set read the table
// without a lock; those that fill it take turns, and the first one's stays.
inline std::atomic<bool>& table_filled() {
    static std::atomic<bool> filled{false};
    return filled;
}

// The library's handle: `_tkinter`'s own scope, where its Tcl is found.
// `_tkinter` built into the executable leaves the executable's scope.
inline void* tkinter_scope(PyObject* tkinter) {
#if TARVO_HAVE_DLFCN
    Ref file = py::getattr_optional(tkinter, TARVO_STR("__file__"));
    if (!file || !PyUnicode_Check(file.get())) return dlopen(nullptr, RTLD_LAZY);
    Ref path = py::own(PyUnicode_EncodeFSDefault(file.get()));
    void* handle = dlopen(PyBytes_AS_STRING(path.get()), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) {
        py::raise_format(PyExc_ImportError, "cannot find the Tcl library that tkinter runs on: %s", dlerror());
    }
    return handle;
#else
    (void)tkinter;
    py::raise(PyExc_ImportError, "cannot find the Tcl library that tkinter runs on: no dynamic loader interface");
#endif
}

inline void* routine(void* scope, const char* name, bool required = true) {
#if TARVO_HAVE_DLFCN
    void* address = dlsym(scope, name);
#else
    (void)scope;
    void* address = nullptr;
#endif
    if (!address && required) {
        py::raise_format(PyExc_ImportError, "the Tcl library that tkinter runs on has no routine %s", name);
    }
    return address;
}

// A version "M.m" as two numbers; false for any other text.
inline bool parse_version(const char* text, int& major, int& minor) {
    char* end = nullptr;
    const long m = std::strtol(text, &end, 10);
    if (end == text || *end != '.' || m < 0 || m > 99) return false;
    const char* rest = end + 1;
    const long n = std::strtol(rest, &end, 10);
    if (end == rest || *end != '\0' || n < 0 || n > 99) return false;
    major = static_cast<int>(m);
    minor = static_cast<int>(n);
    return true;
}

// ImportError unless Tcl `version` (as text) is one whose C interface the
// table knows.
inline void check_known(const char* what, const char* version, int major, int minor, bool parsed) {
    if (parsed && ((major == 8 && minor >= 6) || major == 9)) return;
    if (parsed && (major < 8 || (major == 8 && minor < 6))) {
        py::raise_format(PyExc_ImportError,
                         "%s Tcl %s, but tarvo.tcl supports Tcl %s only: Tcl 8.5 and older are not supported", what,
                         version, SUPPORTED_TCL);
    }
    py::raise_format(PyExc_ImportError,
                     "%s Tcl %s, whose C interface tarvo.tcl does not know: it supports Tcl %s only", what, version,
                     SUPPORTED_TCL);
}

// The Tcl version of the library that tkinter runs on, read from the
// library itself; ImportError for a Tcl whose C interface the table does
// not know, and for a `_tkinter` built for another Tcl than the one it runs
// on (its calls would not match the library's prototypes).
inline int check_version(PyObject* tkinter, void* scope) {
    Ref built = py::str(py::getattr(tkinter, TARVO_STR("TCL_VERSION")).get());
    const char* built_text = PyUnicode_AsUTF8(built.get());
    if (!built_text) py::fail();
    int built_major = 0, built_minor = 0;
    const bool parsed = parse_version(built_text, built_major, built_minor);
    check_known("tkinter runs on", built_text, built_major, built_minor, parsed);
    using GetVersion = void (*)(int* major, int* minor, int* patchLevel, int* type);
    const auto get_version = reinterpret_cast<GetVersion>(routine(scope, "Tcl_GetVersion"));
    int major = 0, minor = 0, patch = 0, type = 0;
    get_version(&major, &minor, &patch, &type);
    char loaded[32];
    std::snprintf(loaded, sizeof loaded, "%d.%d.%d", major, minor, patch);
    check_known("the library that tkinter loaded is", loaded, major, minor, true);
    if (major != built_major || minor != built_minor) {
        py::raise_format(PyExc_ImportError,
                         "tkinter's _tkinter was built for Tcl %s, but the Tcl library it runs on is Tcl %s: the "
                         "two must be the same version",
                         built_text, loaded);
    }
    return major;
}

}  // namespace detail

// Fills the table from the Tcl library that tkinter runs on, once.
inline const Api& api() {
    Api& api = detail::table();
    if (detail::table_filled().load(std::memory_order_acquire)) return api;
    Ref tkinter = py::import("_tkinter");
    void* scope = detail::tkinter_scope(tkinter.get());
    Api loaded{};
    loaded.major = detail::check_version(tkinter.get(), scope);
    auto resolve = [&](auto& field, const char* name, bool required = true) {
        field = reinterpret_cast<std::remove_reference_t<decltype(field)>>(detail::routine(scope, name, required));
    };
    auto resolve_sized = [&](auto& sized) {
        resolve(sized.NewStringObj, "Tcl_NewStringObj");
        resolve(sized.NewListObj, "Tcl_NewListObj");
        resolve(sized.GetStringFromObj, "Tcl_GetStringFromObj");
        resolve(sized.ListObjGetElements, "Tcl_ListObjGetElements");
        resolve(sized.FindElement, "TclFindElement");
        resolve(sized.CopyAndCollapse, "TclCopyAndCollapse");
    };
    if (loaded.nine()) {
        resolve_sized(loaded.v9);
    } else {
        resolve_sized(loaded.v8);
    }
    resolve(loaded.raw_GetTime, "Tcl_GetTime");
    resolve(loaded.raw_LimitSetTime, "Tcl_LimitSetTime");
    resolve(loaded.raw_LimitGetTime, "Tcl_LimitGetTime");
    resolve(loaded.ResetResult, "Tcl_ResetResult");
    resolve(loaded.CreateObjCommand, "Tcl_CreateObjCommand");
    resolve(loaded.GetCommandInfo, "Tcl_GetCommandInfo");
    resolve(loaded.SetCommandInfo, "Tcl_SetCommandInfo");
    resolve(loaded.SetObjResult, "Tcl_SetObjResult");
    resolve(loaded.AppendObjToErrorInfo, "Tcl_AppendObjToErrorInfo");
    resolve(loaded.SetObjErrorCode, "Tcl_SetObjErrorCode");
    resolve(loaded.DbIncrRefCount, "Tcl_DbIncrRefCount");
    resolve(loaded.DbDecrRefCount, "Tcl_DbDecrRefCount");
    resolve(loaded.CancelEval, "Tcl_CancelEval", false);
    resolve(loaded.ResetCancellation, "TclResetCancellation", false);
    resolve(loaded.AsyncInvoke, "Tcl_AsyncInvoke");
    resolve(loaded.GetObjResult, "Tcl_GetObjResult");
    resolve(loaded.GetReturnOptions, "Tcl_GetReturnOptions");
    resolve(loaded.DictObjGet, "Tcl_DictObjGet");
    resolve(loaded.GetIntFromObj, "Tcl_GetIntFromObj");
    resolve(loaded.GetWideIntFromObj, "Tcl_GetWideIntFromObj");
    resolve(loaded.GetDoubleFromObj, "Tcl_GetDoubleFromObj");
    resolve(loaded.GetBoolean, "Tcl_GetBoolean");
    resolve(loaded.GetObjType, "Tcl_GetObjType");
    resolve(loaded.GetCurrentThread, "Tcl_GetCurrentThread");
    resolve(loaded.LimitAddHandler, "Tcl_LimitAddHandler");
    resolve(loaded.LimitTypeSet, "Tcl_LimitTypeSet");
    resolve(loaded.GetAssocData, "Tcl_GetAssocData");
    resolve(loaded.SetAssocData, "Tcl_SetAssocData");
    resolve(loaded.InterpDeleted, "Tcl_InterpDeleted");
    resolve(loaded.InterpActive, "Tcl_InterpActive");
    resolve(loaded.CreateInterp, "Tcl_CreateInterp");
    resolve(loaded.DeleteInterp, "Tcl_DeleteInterp");
    resolve(loaded.Preserve, "Tcl_Preserve");
    resolve(loaded.DeleteCommandFromToken, "Tcl_DeleteCommandFromToken");
    resolve(loaded.GetChild, "Tcl_GetChild", false);
    if (!loaded.GetChild) resolve(loaded.GetChild, "Tcl_GetSlave");
    resolve(loaded.LimitTypeEnabled, "Tcl_LimitTypeEnabled");
    resolve(loaded.LimitTypeReset, "Tcl_LimitTypeReset");
    resolve(loaded.LimitRemoveHandler, "Tcl_LimitRemoveHandler");
    resolve(loaded.GetParent, "Tcl_GetParent", false);
    if (!loaded.GetParent) resolve(loaded.GetParent, "Tcl_GetMaster");
    resolve(loaded.FindCommand, "Tcl_FindCommand");
    static py::CacheLock lock;
    py::Locked hold(lock);
    if (!detail::table_filled().load(std::memory_order_relaxed)) {
        api = loaded;
        detail::table_filled().store(true, std::memory_order_release);
    }
    return api;
}

// The table, once loaded: for code that Tcl calls, which runs only after
// the table was loaded to create it.
inline const Api& api_loaded() noexcept { return detail::table(); }

// Makes the symbols of the Tcl library that tkinter runs on global, so that
// a binary extension built without Tcl's stubs (Debian's Expect) finds them
// when `package require` loads it: tkinter's import loaded them locally.
// The library is reopened only if it is loaded already, so no second copy
// can come in.  Where any step is missing, nothing changes.
inline void make_symbols_global() noexcept {
#if TARVO_HAVE_DLFCN
    const Api& table = detail::table();
    if (!detail::table_filled().load(std::memory_order_acquire)) return;
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(table.ResetResult), &info) || !info.dli_fname) return;
    // Kept open for the life of the process, like the library itself.
    if (!dlopen(info.dli_fname, RTLD_NOW | RTLD_GLOBAL | RTLD_NOLOAD)) dlerror();
#endif
}

// A Tcl_Obj and the head of a Tcl_ObjType, as tcl.h declares them, for an
// object that lives on the C stack as long as Tcl reads it, as Tcl's own
// Tcl_GetDouble and Tcl_GetBoolean make one: its count of one keeps Tcl
// from freeing it, and its internal representation, once Tcl has given it
// one, is freed by its type's own routine.  The head of Tcl_ObjType is the
// same in Tcl 8 and 9 (Tcl 9 adds fields after it); a Tcl_Obj's count and
// length are the version's sizes.
struct ObjTypeHead {
    const char* name;
    void (*freeIntRepProc)(Obj* objPtr);
};

class ObjStorage {
public:
    // An object of `length` bytes at `bytes` (left as they are: Tcl's
    // readers do not write them), in the layout of the Tcl of `api`.
    void init(const Api& api, char* bytes, Size length) noexcept {
        nine_ = api.nine();
        if (nine_) {
            set(as9_, bytes, length);
        } else {
            set(as8_, bytes, static_cast<int>(length));
        }
    }
    const ObjType* type() const noexcept { return nine_ ? as9_.typePtr : as8_.typePtr; }
    Obj* get() noexcept { return nine_ ? reinterpret_cast<Obj*>(&as9_) : reinterpret_cast<Obj*>(&as8_); }

private:
    template <typename S>
    struct Layout {
        S refCount;
        char* bytes;
        S length;
        const ObjType* typePtr;
        union {
            long longValue;
            double doubleValue;
            void* twoPtrValue[2];
        } internalRep;
    };
    template <typename S>
    static void set(Layout<S>& obj, char* bytes, S length) noexcept {
        obj.refCount = 1;
        obj.bytes = bytes;
        obj.length = length;
    }

    bool nine_ = false;
    Layout<int> as8_{};
    Layout<Size> as9_{};
};

// An object of Tcl's own that we hold a reference to.
class ObjRef {
public:
    explicit ObjRef(Obj* obj) noexcept : obj_(obj) {
        if (obj_) api_loaded().DbIncrRefCount(obj_, __FILE__, __LINE__);
    }
    ~ObjRef() {
        if (obj_) api_loaded().DbDecrRefCount(obj_, __FILE__, __LINE__);
    }
    ObjRef(const ObjRef&) = delete;
    ObjRef& operator=(const ObjRef&) = delete;
    Obj* get() const noexcept { return obj_; }

private:
    Obj* obj_;
};

// The text of a Tcl object as a str.
inline Ref text_of(Obj* obj) {
    Size length = 0;
    const char* bytes = api_loaded().GetStringFromObj(obj, &length);
    return py::decode_tcl(bytes, length);
}

// ---------------------------------------------------------------------------
// Whose thread an interpreter is.
//
// A Tcl interpreter may be used only from the thread that created it: Tcl
// keeps per-thread state that its routines reach without a lock.  tkinter
// refuses other threads itself (or hands the work to the interpreter's
// thread), but its numeric and boolean readings, and every routine we call
// directly, would write into the interpreter from the wrong thread.  A
// tkinter application object records the thread that created its
// interpreter right after the interpreter's address, as tkinter's own check
// reads it; we read it the same way, and trust the layout only for an
// object whose interpreter field holds the address that `interpaddr()`
// reports.

namespace detail {
struct AppPrefix {  // the leading fields of tkinter's application object
    PyObject_HEAD Interp* interp;
    int wantobjects;
    int threaded;
    ThreadId thread_id;
};

// The application type whose layout was checked, or null.
inline PyTypeObject*& checked_app_type() {
    static PyTypeObject* type = nullptr;
    return type;
}

inline Interp* address_of(PyObject* app) {
    py::Ref address = py::call_method(app, TARVO_STR("interpaddr"));
    void* p = PyLong_AsVoidPtr(address.get());
    if (!p) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "the Tcl interpreter has no address");
        py::fail();
    }
    return static_cast<Interp*>(p);
}
}  // namespace detail

// Whether app_fields(app) answers without running any code: `app` is of
// the application type whose layout was checked already.
inline bool app_type_checked(PyObject* app) noexcept { return Py_TYPE(app) == detail::checked_app_type(); }

// The interpreter of a tkinter application object, or null when `app` is
// no such object (a stand-in in a user's own tests, say).
inline const detail::AppPrefix* app_fields(PyObject* app) {
    PyTypeObject* type = Py_TYPE(app);
    if (type != detail::checked_app_type()) {
        if (std::strcmp(type->tp_name, "_tkinter.tkapp") != 0 || type->tp_basicsize < Py_ssize_t(sizeof(detail::AppPrefix))) {
            return nullptr;
        }
        if (reinterpret_cast<detail::AppPrefix*>(app)->interp != detail::address_of(app)) return nullptr;
        detail::checked_app_type() = type;
    }
    return reinterpret_cast<const detail::AppPrefix*>(app);
}

constexpr const char* CLOSED_MESSAGE = "this Tcl interpreter is closed";

// Raises RuntimeError unless the current thread is the one that created the
// interpreter of `fields` and the interpreter is not closed.
inline void require_owner(const detail::AppPrefix* fields) {
    const Api& tcl = api();
    if (fields->thread_id != tcl.GetCurrentThread()) {
        py::raise(PyExc_RuntimeError,
                  "Calling Tcl from different apartment: a Tcl interpreter may be used only from the thread that "
                  "created it");
    }
    // A closed interpreter's application object holds a deleted stand-in.
    if (tcl.InterpDeleted(fields->interp)) py::raise(PyExc_RuntimeError, CLOSED_MESSAGE);
}

// The interpreter of the tkinter application object `app`, for our own
// calls into Tcl: RuntimeError from any thread but the interpreter's.  An
// object that is no tkinter application but reports an address through
// `interpaddr()` gives that address (its thread cannot be known).
inline Interp* interp_of(PyObject* app) {
    if (const detail::AppPrefix* fields = app_fields(app)) {
        require_owner(fields);
        return fields->interp;
    }
    return detail::address_of(app);
}

// The interpreter of `app` when it is a tkinter application object and this
// is its thread; null otherwise.
inline Interp* own_interp(PyObject* app) {
    const detail::AppPrefix* fields = app_fields(app);
    if (!fields || fields->thread_id != api().GetCurrentThread()) return nullptr;
    return fields->interp;
}

// ---------------------------------------------------------------------------
// Interrupted evaluations.
//
// An exception that is no Exception (KeyboardInterrupt, SystemExit) raised
// by a Python callback stops the whole Tcl evaluation: the callback's
// command cancels it with Tcl_CancelEval(..., TCL_CANCEL_UNWIND), which no
// `catch` can trap, and the exception waits in a dict, by interpreter
// address, for the eval or quick call that started the evaluation: that
// one raises it unchanged.  The dict is `tarvo.tcl.internal._interrupts`.

inline Ref interrupt_key(Interp* interp) { return py::own(PyLong_FromVoidPtr(interp)); }

// The exception that stopped the last evaluation in `interp`, taken out of
// `interrupts`, or empty.  The evaluation is over then, and so is its
// cancellation: Tcl would otherwise refuse every later evaluation too.
inline Ref take_interrupt(PyObject* interrupts, Interp* interp) {
    if (PyDict_GET_SIZE(interrupts) == 0) return {};
    Ref key = interrupt_key(interp);
    Ref stopped = Ref::borrow(PyDict_GetItemWithError(interrupts, key.get()));
    if (!stopped) {
        if (PyErr_Occurred()) py::fail();
        return {};
    }
    py::check(PyDict_DelItem(interrupts, key.get()));
    if (const auto reset = api().ResetCancellation) reset(interp, 1);
    return stopped;
}

// Raises the exception that stopped an evaluation in the interpreter of
// `app` and restores it as it was raised.
[[noreturn]] inline void raise_interrupt_object(Ref stopped) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(stopped.get()));
    Py_INCREF(type);
    PyObject* tb = PyException_GetTraceback(stopped.get());
    PyErr_Restore(type, stopped.release(), tb);
    throw py::Error{};
}

inline void raise_interrupt(PyObject* interrupts, Interp* interp) {
    Ref stopped = take_interrupt(interrupts, interp);
    if (stopped) raise_interrupt_object(std::move(stopped));
}

// After an evaluation that Tcl reports as done: a `catch` run as a command
// of its own traps even a cancelled evaluation's error, so the interrupt
// may still wait.
inline void check_interrupt(PyObject* interrupts, PyObject* app) {
    if (PyDict_GET_SIZE(interrupts) == 0) return;
    if (Interp* interp = own_interp(app)) raise_interrupt(interrupts, interp);
}

// Drops what an earlier evaluation left for `app` that nobody raised (one
// that did not start from an eval or a quick call): every evaluation
// reports only its own outcome.
inline void forget_interrupt(PyObject* interrupts, PyObject* app) {
    if (PyDict_GET_SIZE(interrupts) == 0) return;
    if (Interp* interp = own_interp(app)) take_interrupt(interrupts, interp);
}

// With the exception of a failed Tcl call set: a TclError (the class
// `module` binds as TclError, read at call time) is raised again as a fresh
// one carrying ::errorInfo, Tcl's whole trace, read from `interp.vars`,
// with no cause and the caught error's context suppressed, as `raise
// TclError(info) from None` in an `except` block does.  It also carries
// Tcl's account of the failure, read right after it from the interpreter
// of `app` (the interpreter's Tcl application object):
//
//   errorinfo  the same text as the message
//   message    Tcl's own result: the short message
//   errorcode  -errorcode as a tuple of str (None where it cannot be read)
//   errorline  -errorline as an int (None where it cannot be read)
//
// When a Python callback interrupted the evaluation, its exception is
// raised instead, unchanged.  Any other exception passes unchanged.
//
// `as`, where given, is the class of the error raised instead of TclError
// (TclTimeoutError), and no interrupt is looked for.
[[noreturn]] inline void raise_with_trace(PyObject* module, PyObject* interp, PyObject* app, PyObject* interrupts,
                                          PyObject* as = nullptr) {
    py::Caught caught;
    PyObject* tcl_error = py::global(module, TARVO_STR("TclError"));
    if (!caught.matches(tcl_error)) caught.reraise();
    Interp* handle = own_interp(app);
    if (handle && !as) raise_interrupt(interrupts, handle);
    Ref errorcode = py::none(), errorline = py::none();
    if (handle) {
        const Api& tcl = api();
        ObjRef options(tcl.GetReturnOptions(handle, TCL_ERROR));
        ObjRef code_key(tcl.NewStringObj("-errorcode", -1));
        ObjRef line_key(tcl.NewStringObj("-errorline", -1));
        Obj* value = nullptr;
        Size count = 0;
        Obj** items = nullptr;
        if (tcl.DictObjGet(nullptr, options.get(), code_key.get(), &value) == TCL_OK && value &&
            tcl.ListObjGetElements(nullptr, value, &count, &items) == TCL_OK) {
            errorcode = py::own(PyTuple_New(count));
            for (Size i = 0; i < count; ++i) PyTuple_SET_ITEM(errorcode.get(), i, text_of(items[i]).release());
        }
        int line = 0;
        value = nullptr;
        if (tcl.DictObjGet(nullptr, options.get(), line_key.get(), &value) == TCL_OK && value &&
            tcl.GetIntFromObj(nullptr, value, &line) == TCL_OK) {
            errorline = py::integer(line);
        }
    }
    Ref message = py::str(caught.value());
    py::Handling handling(caught);
    Ref vars = py::instance_attr(interp, TARVO_STR("vars"));
    Ref info = py::own(PyObject_GetItem(vars.get(), TARVO_STR("::errorInfo")));
    Ref error = py::call(as ? as : tcl_error, info.get());
    py::setattr(error.get(), TARVO_STR("errorinfo"), info.get());
    py::setattr(error.get(), TARVO_STR("message"), message.get());
    py::setattr(error.get(), TARVO_STR("errorcode"), errorcode.get());
    py::setattr(error.get(), TARVO_STR("errorline"), errorline.get());
    py::raise_from_none(std::move(error));
}

}  // namespace tarvo::tcl
