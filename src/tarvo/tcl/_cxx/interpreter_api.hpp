// What tarvo.tcl.interpreter offers the other extension modules in C: the
// capsule `__c_api__` of the module holds one `InterpreterApi`, static in
// the module's library, which lives as long as the module does.
#pragma once

#include "ref.hpp"

namespace tarvo::tcl {

struct InterpreterApi {
    // The C function behind Interpreter.cast_any (a builtin function of the
    // interpreter module, placed in the class as an instance method): what
    // identifies it where it is found.
    PyCFunction cast_any_function;
    // `self.cast_any(value)` through that function, given its module, with
    // no arguments to parse: a new reference, or null with an error set.
    PyObject* (*cast_any)(PyObject* module, PyObject* self, PyObject* value);
};

constexpr const char* INTERPRETER_API_NAME = "tarvo.tcl.interpreter.__c_api__";

}  // namespace tarvo::tcl
