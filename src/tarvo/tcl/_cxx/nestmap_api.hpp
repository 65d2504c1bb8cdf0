// What tarvo.tcl.nestmap offers the other extension modules in C: the
// capsule `__c_api__` of the module holds one `NestMapApi`, static in the
// module's library, which lives as long as the module does.
#pragma once

#include "ref.hpp"

namespace tarvo::tcl {

struct NestMapApi {
    // `NestMap.from_tcl(text)` as `cast_any` tries it, for `module` (the
    // nestmap module): 1 with the new NestMap in *out; 0 where from_tcl
    // raises ValueError or TypeError (no error set, none made where it can
    // be helped); 2 where NestMap.from_tcl is no longer the class's own,
    // so only calling it can tell; -1 with an error set.
    int (*try_from_tcl)(PyObject* module, PyObject* text, PyObject** out);
};

constexpr const char* NESTMAP_API_NAME = "tarvo.tcl.nestmap.__c_api__";

}  // namespace tarvo::tcl
