// Watching an interpreter while it runs for Python: time limits on calls,
// and Python's signal handlers while Tcl is busy.
//
// While Tcl evaluates, Python's own signal handlers cannot run: tkinter has
// let the GIL go, and Python runs a handler only at its next bytecode.  So
// every interpreter we start carries a Tcl time limit that never stops it:
// its handler, which Tcl calls when the limit passes, moves the limit on by
// a tick (TICK) and, while a call from Python runs, takes the GIL to run
// Python's pending signal handlers and to see whether a call's own time is
// up.  Tcl checks the limit wherever it may stop: between bytecodes, between
// commands, in its event loop (`vwait`, `update`, through a timer of the
// limit's own) and in `after N`, which sleeps no longer than up to the limit.
// No thread watches: nothing runs while Tcl does not.
//
// A call stops the way a callback's KeyboardInterrupt stops it: its
// evaluation is cancelled with Tcl_CancelEval(..., TCL_CANCEL_UNWIND), which
// no `catch` traps, and the exception that a signal handler raised waits in
// `tarvo.tcl.internal._interrupts` for the eval or quick call that started
// the evaluation.  A call whose time is up raises TclTimeoutError instead.
//
// The state of one interpreter (`Watch`) is kept by Tcl with the
// interpreter (Tcl_SetAssocData) and freed with it, so every module finds
// the same one.
#pragma once

#include "tcl.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace tarvo::tcl {

constexpr const char* WATCH_KEY = "tarvo.tcl.watch";
constexpr long TICK_USEC = 50000;  // how often a busy interpreter looks up from its work

struct Watch {
    // The time limit of one call, outermost call first.
    struct Limit {
        double deadline;      // on the steady clock, in seconds
        std::string message;  // "Tcl evaluation timed out after 2 s"
        bool expired = false;
    };

    Interp* interp = nullptr;
    PyObject* interrupts = nullptr;     // borrowed: tarvo.tcl.internal._interrupts, alive with its module
    PyObject* timeout_error = nullptr;  // borrowed: TclTimeoutError, alive with its module
    int depth = 0;                      // calls from Python running now
    std::vector<Limit> limits;
    double timeout = 0;      // the interpreter's default, in seconds; 0 for none
    bool unwinding = false;  // a stopped evaluation is unwinding through Python callbacks
    // A call reads Tcl's account of its failure: a tick that Tcl runs late,
    // in that reading, must not cancel it.
    bool settling = false;
    void* keeper = nullptr;  // tarvo.tcl.internal's keeper of the interpreter, borrowed
    Watch* root = nullptr;   // for a child interpreter: the watch of the one Python calls
    std::vector<Watch*> cancelled;  // children cancelled with this one: reset with it
    // A child whose time limit the script keeps itself (`interp limit $child
    // time -seconds ...`): no ticks of ours, see limit_time.
    bool stepped_aside = false;
    bool script_command = false;  // the script gave the child's time limit a -command

    bool any_expired() const {
        for (const Limit& limit : limits) {
            if (limit.expired) return true;
        }
        return false;
    }
};

inline double steady_now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

inline bool python_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// The Watch of `interp`, or null where none was started.
inline Watch* find_watch(Interp* interp) {
    return static_cast<Watch*>(api_loaded().GetAssocData(interp, WATCH_KEY, nullptr));
}

namespace detail {

inline Watch* root_of(Watch* w) { return w->root ? w->root : w; }

// Moves Tcl's limit to the next tick, or to the nearest deadline before it.
inline void schedule(Watch* w) {
    const Api& tcl = api_loaded();
    const Watch* r = root_of(w);
    Time at{};
    tcl.GetTime(&at);
    long usec = TICK_USEC;
    if (!r->limits.empty()) {
        const double now = steady_now();
        for (const Watch::Limit& limit : r->limits) {
            if (limit.expired) continue;
            const double left = (limit.deadline - now) * 1e6;
            if (left < usec) usec = left > 0 ? static_cast<long>(left) : 0;
        }
    }
    at.usec += usec;
    at.sec += at.usec / 1000000;
    at.usec %= 1000000;
    tcl.LimitSetTime(w->interp, &at);
}

// Cancels the evaluation running in the interpreter: it unwinds, and no
// `catch` traps it.  Tcl sets the cancellation through an asynchronous
// handler; running it now makes it hold from here on.
inline void cancel(Watch* w, const std::string& message) {
    const Api& tcl = api_loaded();
    if (!tcl.CancelEval) return;
    tcl.CancelEval(w->interp, tcl.NewStringObj(message.data(), static_cast<Size>(message.size())), nullptr,
                   CANCEL_UNWIND);
    tcl.AsyncInvoke(w->interp, TCL_OK);
}

// Cancels the evaluation in the interpreter of `w` and, for a child
// interpreter, in the one Python called, whose evaluation runs it.
inline void cancel_all(Watch* w, const std::string& message) {
    cancel(w, message);
    if (!w->root) return;
    cancel(w->root, message);
    auto& children = w->root->cancelled;
    if (std::find(children.begin(), children.end(), w) != children.end()) return;
    try {
        children.push_back(w);
    } catch (const std::bad_alloc&) {
        // (Out of memory in a handler of Tcl's: the child stays cancelled
        // after the call, which is better than ending the process.)
    }
}

// The exception in flight, kept for the call that started the evaluation,
// which raises it; the evaluation is cancelled.  With the GIL.
inline void stop_for(Watch* w) {
    py::Caught caught;
    PyObject* exc = caught.value();
    if (!exc) return;
    std::string message = Py_TYPE(exc)->tp_name;
    if (const char* dot = std::strrchr(message.c_str(), '.')) message = dot + 1;
    Watch* r = root_of(w);
    PyObject* key = PyLong_FromVoidPtr(r->interp);
    if (!key || PyDict_SetItem(r->interrupts, key, exc) < 0) PyErr_Clear();
    Py_XDECREF(key);
    cancel_all(w, message);
}

// Tcl's call at the limit.
inline void tick(void* data, Interp*) noexcept {
    auto* w = static_cast<Watch*>(data);
    Watch* r = root_of(w);
    // First the next tick: a Python signal handler may call Tcl again.
    schedule(w);
    if (r->depth == 0 || r->settling || python_finalizing()) return;
    PyGILState_STATE gil = PyGILState_Ensure();
    // Whatever this thread had raised, if it holds the GIL already, waits.
    PyObject *held_type, *held_value, *held_tb;
    PyErr_Fetch(&held_type, &held_value, &held_tb);
    if (PyErr_CheckSignals() < 0) {
        stop_for(w);
    } else {
        const double now = steady_now();
        for (Watch::Limit& limit : r->limits) {
            if (limit.deadline > now && !limit.expired) continue;
            // The outermost call whose time is up; again at every tick
            // while it unwinds, for what would not stop the first time.
            limit.expired = true;
            cancel_all(w, limit.message);
            break;
        }
    }
    PyErr_Clear();
    PyErr_Restore(held_type, held_value, held_tb);
    PyGILState_Release(gil);
    // A deadline just missed leaves the next tick as it is.
    if (!r->limits.empty()) schedule(w);
}

// (Tcl deletes a child before its parent: the root is there still.)
inline void watch_deleted(void* data, Interp*) noexcept {
    auto* w = static_cast<Watch*>(data);
    if (w->root) {
        auto& children = w->root->cancelled;
        children.erase(std::remove(children.begin(), children.end(), w), children.end());
    }
    delete w;
}

Watch* start_child_watch(Interp* child, Watch* parent);

// `interp create` gives the new child interpreter its parent's time limit,
// but not the handler that moves it on: the child would stop with "time
// limit exceeded" a tick later.  So the `interp` command of a watched
// interpreter gives each child it creates a watch of its own, on behalf of
// the interpreter that Python calls: signals and time limits stop what the
// child runs too.
struct InterpCommand {
    ObjCmdProc proc;
    void* data;
    CmdDeleteProc release;
    void* release_data;
    Interp* child = nullptr;   // for a child's own command (`$child limit ...`)
    ObjCmdProc nre = nullptr;  // the command's NR-enabled procedure, where it has one
};

// The head of Tcl's record of a command (struct Command), up to the
// NR-enabled procedure that Tcl_CmdInfo does not show: Tcl calls it in
// place of objProc, so that `yield` and deep recursion pass through
// `interp eval` and `$child eval` without using the C stack.  S is the
// size type of the Tcl in use.  Read only where its objProc and
// objClientData are the ones Tcl_GetCommandInfo gave.
template <typename S>
struct CommandHead {
    void* hPtr;
    void* nsPtr;
    S refCount;
    S cmdEpoch;
    void* compileProc;
    ObjCmdProc objProc;
    void* objClientData;
    void* proc;
    void* clientData;
    CmdDeleteProc deleteProc;
    void* deleteData;
    int flags;
    void* importRefPtr;
    void* tracePtr;
    ObjCmdProc nreProc;
};

// The slot of the NR-enabled procedure of the command `token`, whose
// Tcl_CmdInfo is `info`; null where the record is not as expected.
inline ObjCmdProc* nre_slot(void* token, const CmdInfo& info) {
    auto check = [&](auto* head) -> ObjCmdProc* {
        if (head->objProc != info.objProc || head->objClientData != info.objClientData) return nullptr;
        return &head->nreProc;
    };
    if (!token) return nullptr;
    if (api_loaded().nine()) return check(static_cast<CommandHead<Size>*>(token));
    return check(static_cast<CommandHead<int>*>(token));
}

inline void watch_child_command(Interp* child, Obj* path);

// Whether `word` names `name` as Tcl's tables of subcommands and options
// take it: whole, or a prefix of at least `least` characters.
inline bool names(Obj* word, const char* name, Size least = 1) {
    Size length = 0;
    const char* text = api_loaded().GetStringFromObj(word, &length);
    return length >= least && static_cast<size_t>(length) <= std::strlen(name) &&
           std::strncmp(text, name, static_cast<size_t>(length)) == 0;
}

inline int call(const InterpCommand* original, Interp* interp, int objc, Obj* const objv[]) {
    return original->proc(original->data, interp, objc, objv);
}

inline void step_aside(Watch* w) {
    const Api& tcl = api_loaded();
    tcl.LimitRemoveHandler(w->interp, LIMIT_TIME, tick, w);
    tcl.LimitTypeReset(w->interp, LIMIT_TIME);
    w->stepped_aside = true;
}

inline void tick_again(Watch* w) {
    const Api& tcl = api_loaded();
    tcl.LimitAddHandler(w->interp, LIMIT_TIME, tick, w, nullptr);
    schedule(w);
    tcl.LimitTypeSet(w->interp, LIMIT_TIME);
    w->stepped_aside = false;
}

// `interp limit $child time ?option value ...?` and `$child limit time ...`
// (the options from `first` on), for a child that we watch.  The time limit
// that Tcl keeps for the child is the one our ticks move on; the script must
// see the one tclsh would give it.  So a query of a child that we tick finds
// no limit.  A script that sets one (or a -command) takes the child's limit
// over: our ticks step aside, since they would move its limit on for ever
// and run its -command at each, and the limit starts from none, as in
// tclsh (`-seconds` alone keeps the milliseconds that were).  The child then
// sees Python's signals and time limits at the script's limit only.  When
// the script has taken the limit and its -command off again, our ticks come
// back.
inline int limit_time(const InterpCommand* original, Interp* interp, Interp* child, int first, int objc,
                      Obj* const objv[]) {
    Watch* w = child && child != interp ? find_watch(child) : nullptr;
    if (!w) return call(original, interp, objc, objv);
    const Api& tcl = api_loaded();
    if (objc - first <= 1) {
        if (w->stepped_aside) return call(original, interp, objc, objv);
        tcl.LimitTypeReset(child, LIMIT_TIME);
        const int code = call(original, interp, objc, objv);
        tcl.LimitTypeSet(child, LIMIT_TIME);
        return code;
    }
    bool moment = false;
    int command = -1;  // what this call makes of the script's -command: -1 for nothing
    for (int i = first; i < objc; i += 2) {
        if (names(objv[i], "-granularity", 2)) continue;
        if (i + 1 < objc && names(objv[i], "-command", 2)) {
            Size length = 0;
            tcl.GetStringFromObj(objv[i + 1], &length);
            command = length > 0;
        } else {
            moment = true;  // -seconds, -milliseconds, or a word that Tcl refuses
        }
    }
    if (!moment && command < 0) return call(original, interp, objc, objv);
    const bool was_aside = w->stepped_aside;
    if (!was_aside) {
        step_aside(w);
        if (moment) {
            Time none{};
            tcl.LimitSetTime(child, &none);
        }
    }
    const int code = call(original, interp, objc, objv);
    if (code != TCL_OK) {
        if (!was_aside) tick_again(w);  // Tcl refuses before it changes anything
        return code;
    }
    if (command >= 0) w->script_command = command;
    if (!w->script_command && !tcl.LimitTypeEnabled(child, LIMIT_TIME)) tick_again(w);
    return code;
}

inline int interp_command(void* data, Interp* interp, int objc, Obj* const objv[]) noexcept {
    const auto* original = static_cast<InterpCommand*>(data);
    // interp limit path time ...
    if (objc >= 4 && names(objv[1], "limit") && names(objv[3], "time")) {
        const Api& tcl = api_loaded();
        return limit_time(original, interp, tcl.GetChild(interp, tcl.GetStringFromObj(objv[2], nullptr)), 4, objc,
                          objv);
    }
    const int code = call(original, interp, objc, objv);
    // Tcl takes any unique prefix of a subcommand: "cr" and on for create.
    if (code != TCL_OK || objc < 2 || !names(objv[1], "create", 2)) return code;
    const Api& tcl = api_loaded();
    Time own{}, inherited{};
    tcl.LimitGetTime(interp, &own);
    Obj* path = tcl.GetObjResult(interp);
    Interp* child = tcl.GetChild(interp, tcl.GetStringFromObj(path, nullptr));
    if (!child || !tcl.LimitTypeEnabled(child, LIMIT_TIME)) return code;
    tcl.LimitGetTime(child, &inherited);
    Watch* parent = find_watch(interp);
    if (inherited.sec == own.sec && inherited.usec == own.usec && parent && !find_watch(child)) {
        start_child_watch(child, parent);
        watch_child_command(child, path);
    }
    return code;
}

// `$child limit time ...`
inline int child_command(void* data, Interp* interp, int objc, Obj* const objv[]) noexcept {
    const auto* original = static_cast<InterpCommand*>(data);
    if (objc >= 3 && names(objv[1], "limit") && names(objv[2], "time")) {
        return limit_time(original, interp, original->child, 3, objc, objv);
    }
    return call(original, interp, objc, objv);
}

// The NR-enabled procedures: the subcommands that we look at as above,
// every other one by the command's own NR-enabled procedure.
inline int interp_command_nre(void* data, Interp* interp, int objc, Obj* const objv[]) noexcept {
    const auto* original = static_cast<InterpCommand*>(data);
    if (objc >= 2 && (names(objv[1], "limit") || names(objv[1], "create", 2))) {
        return interp_command(data, interp, objc, objv);
    }
    return original->nre(original->data, interp, objc, objv);
}

inline int child_command_nre(void* data, Interp* interp, int objc, Obj* const objv[]) noexcept {
    const auto* original = static_cast<InterpCommand*>(data);
    if (objc >= 2 && names(objv[1], "limit")) return child_command(data, interp, objc, objv);
    return original->nre(original->data, interp, objc, objv);
}

inline void interp_command_deleted(void* data) noexcept {
    auto* original = static_cast<InterpCommand*>(data);
    if (original->release) original->release(original->release_data);
    delete original;
}

// Puts `proc` in front of the command `name` of `interp`, and `nre` in
// front of its NR-enabled procedure, where it has one (Tcl_SetCommandInfo
// drops that procedure).
inline void wrap_command(Interp* interp, const char* name, ObjCmdProc proc, ObjCmdProc nre, Interp* child = nullptr) {
    const Api& tcl = api_loaded();
    CmdInfo info{};
    if (!tcl.GetCommandInfo(interp, name, &info) || !info.isNativeObjectProc || !info.objProc) return;
    ObjCmdProc* slot = nre_slot(tcl.FindCommand(interp, name, nullptr, 0), info);
    auto* original = new InterpCommand{info.objProc, info.objClientData, info.deleteProc, info.deleteData, child,
                                       slot ? *slot : nullptr};
    info.objProc = proc;
    info.objClientData = original;
    info.deleteProc = interp_command_deleted;
    info.deleteData = original;
    if (!tcl.SetCommandInfo(interp, name, &info)) {
        delete original;
        return;
    }
    if (slot && original->nre) *slot = nre;
}

inline void watch_children(Interp* interp) {
    wrap_command(interp, "::interp", interp_command, interp_command_nre);
}

// The command of a new child, `path` (a list), in the child's parent: the
// path's last element.
inline void watch_child_command(Interp* child, Obj* path) {
    const Api& tcl = api_loaded();
    Size count = 0;
    Obj** items = nullptr;
    Interp* parent = tcl.GetParent(child);
    if (!parent || tcl.ListObjGetElements(nullptr, path, &count, &items) != TCL_OK || count == 0) return;
    wrap_command(parent, tcl.GetStringFromObj(items[count - 1], nullptr), child_command, child_command_nre, child);
}

}  // namespace detail

// The Watch of `interp`, started (its limit set) where there was none.
inline Watch* start_watch(Interp* interp, PyObject* interrupts, PyObject* timeout_error, Watch* root = nullptr) {
    if (Watch* found = find_watch(interp)) return found;
    const Api& tcl = api_loaded();
    auto* w = new Watch();
    w->interp = interp;
    w->interrupts = interrupts;
    w->timeout_error = timeout_error;
    w->root = root;
    tcl.SetAssocData(interp, WATCH_KEY, detail::watch_deleted, w);
    tcl.LimitAddHandler(interp, LIMIT_TIME, detail::tick, w, nullptr);
    detail::schedule(w);
    tcl.LimitTypeSet(interp, LIMIT_TIME);
    detail::watch_children(interp);
    return w;
}

namespace detail {
// A child's watch lives no longer than its parent's: Tcl deletes children first.
inline Watch* start_child_watch(Interp* child, Watch* parent) {
    Watch* r = root_of(parent);
    return start_watch(child, r->interrupts, r->timeout_error, r);
}
}  // namespace detail

// A time limit in seconds from a Python value, a positive int or float:
// 0 for inf (no limit), and `none` for None.
inline double timeout_seconds(PyObject* value, double none = 0, const char* what = "timeout") {
    if (!value || value == Py_None) return none;
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
        py::raise_format(PyExc_TypeError, "%s must be a number of seconds (int or float) or None, not %.200s", what,
                         Py_TYPE(value)->tp_name);
    }
    const double seconds = PyFloat_Check(value) ? PyFloat_AS_DOUBLE(value) : PyLong_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) py::fail();
        PyErr_Clear();
        return 0;  // an int beyond any float: no limit either
    }
    if (std::isnan(seconds) || seconds <= 0) {
        Ref shown = py::own(PyObject_Repr(value));
        py::raise_format(PyExc_ValueError, "%s must be a positive number of seconds, not %U", what, shown.get());
    }
    return std::isinf(seconds) ? 0 : seconds;
}

class Call;
Call start_call(PyObject* app, double seconds);

// One call from Python into an interpreter, for as long as it runs: counted
// while it runs, and timed when it has a limit (`seconds`, 0 for none).
class Call {
public:
    Call(Watch* w, double seconds) : w_(w) {
        if (!w_) return;
        ++w_->depth;
        if (seconds <= 0) return;
        w_->limits.push_back({steady_now() + seconds, message(seconds)});
        limited_ = true;
        detail::schedule(w_);
    }
    ~Call() {
        if (!w_) return;
        if (limited_) w_->limits.pop_back();
        if (--w_->depth == 0) w_->unwinding = false;
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    Watch* watch() const noexcept { return w_; }
    bool expired() const noexcept { return limited_ && w_->limits.back().expired; }
    // Whether a call further out ran out of time: this one unwinds with it.
    bool outer_expired() const noexcept {
        if (!w_) return false;
        const size_t n = w_->limits.size() - (limited_ ? 1 : 0);
        for (size_t i = 0; i < n; ++i) {
            if (w_->limits[i].expired) return true;
        }
        return false;
    }

private:
    static std::string message(double seconds) {
        char* text = PyOS_double_to_string(seconds, 'r', 0, 0, nullptr);
        if (!text) py::fail();
        std::string shown(text);
        PyMem_Free(text);
        if (shown.size() > 2 && shown.compare(shown.size() - 2, 2, ".0") == 0) shown.resize(shown.size() - 2);
        return "Tcl evaluation timed out after " + shown + " s";
    }

    Watch* w_;
    bool limited_ = false;
};

// The Call of the tkinter application object `app` (already checked to be
// used from its own thread), with a limit of `seconds` (from
// timeout_seconds, where -1 stands for None: the interpreter's default).
inline Call start_call(PyObject* app, double seconds) {
    const detail::AppPrefix* fields = app_fields(app);
    Watch* w = fields ? find_watch(fields->interp) : nullptr;
    if (!w && seconds > 0) {
        py::raise(PyExc_RuntimeError, "a timeout needs an interpreter made by tarvo.tcl.interpreter.Interpreter");
    }
    return Call(w, seconds < 0 && w ? w->timeout : seconds);
}

// Ends the cancellation of the interpreter and of the children cancelled
// with it: a child keeps its own, which would stop its next evaluation.
inline void reset_cancellation(Interp* interp) {
    const auto reset = api_loaded().ResetCancellation;
    if (!reset) return;
    reset(interp, 1);
    if (Watch* w = find_watch(interp)) {
        for (Watch* child : w->cancelled) reset(child->interp, 1);
        w->cancelled.clear();
    }
}

// With the exception of a failed call set: raises it as raise_with_trace
// does, except that a call whose time ran out, or that unwinds with a call
// further out whose time did, raises TclTimeoutError with Tcl's trace
// (where a signal handler's or a callback's exception stopped it too, that
// one wins).  A call inside a Python callback that raises what stops the
// evaluation further out marks the interpreter as unwinding: the callback's
// command passes whatever the callback raises on the same way.
[[noreturn]] inline void raise_failure(PyObject* module, PyObject* interp, PyObject* app, PyObject* interrupts,
                                       const Call& call) {
    Watch* w = call.watch();
    if (!w) raise_with_trace(module, interp, app, interrupts);
    struct Settling {
        Watch* w;
        bool was = w->settling;
        ~Settling() { w->settling = was; }
    } settling{w};
    w->settling = true;
    const bool nested = w->depth > 1;
    Interp* handle = own_interp(app);
    if (!(call.expired() || call.outer_expired()) || !handle) {
        // What stopped the evaluation, raised from here, stops it further out too.
        if (nested && handle && PyDict_GET_SIZE(interrupts) > 0) {
            Ref key = interrupt_key(handle);
            if (py::check(PyDict_Contains(interrupts, key.get()))) w->unwinding = true;
        }
        raise_with_trace(module, interp, app, interrupts);
    }
    {
        py::Caught caught;
        Ref stopped = take_interrupt(interrupts, handle);
        if (stopped && !py::check(PyObject_IsInstance(stopped.get(), w->timeout_error))) {
            if (nested) w->unwinding = true;
            raise_interrupt_object(std::move(stopped));
        }
        caught.restore();
    }
    reset_cancellation(handle);
    if (call.outer_expired()) w->unwinding = true;
    raise_with_trace(module, interp, app, interrupts, w->timeout_error);
}

// After a call that Tcl reports as done: a cancellation that came too late
// to stop it is over, and an interrupt that a `catch` of its own trapped is
// raised (see check_interrupt).
inline void finish(const Call& call, PyObject* app, PyObject* interrupts) {
    if (call.expired()) reset_cancellation(call.watch()->interp);
    check_interrupt(interrupts, app);
}

}  // namespace tarvo::tcl
