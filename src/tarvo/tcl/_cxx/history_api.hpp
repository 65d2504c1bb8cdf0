// What tarvo.tcl.history offers the other extension modules in C: the
// capsule `__c_api__` of the module holds one `HistoryApi`, static in the
// module's library, which lives as long as the module does.
#pragma once

#include "ref.hpp"

namespace tarvo::tcl {

struct HistoryApi {
    // `history.append(item)`, where that is History's own append of a
    // History itself (neither replaced on the class nor shadowed on the
    // instance): 1 when done, 0 where `history` is anything else, so only
    // calling its append can tell (nothing done then), -1 with an error set.
    int (*append)(PyObject* history, PyObject* item);
    // The same for a command given as its words, `words[0]` to
    // `words[n - 1]`, as `append` takes the list of them; the list itself
    // is made only where the log shows it.
    int (*append_words)(PyObject* history, PyObject* const* words, Py_ssize_t n);
};

constexpr const char* HISTORY_API_NAME = "tarvo.tcl.history.__c_api__";

}  // namespace tarvo::tcl
