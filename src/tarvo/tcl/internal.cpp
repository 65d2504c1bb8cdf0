// tarvo.tcl.internal: the Tcl C library underneath tkinter's interpreter,
// reached directly: Tcl's completion codes and the opened library.
#include "_cxx/py.hpp"
#include "_cxx/tcl.hpp"

namespace py = tarvo::py;
using py::Ref;

namespace {

// Library names tried in order, oldest Tcl first; the loader searches its
// usual places for each.
const char* const library_names[] = {
    "libtcl8.4.so", "libtcl8.4.dylib", "libtcl8.5.so", "libtcl8.5.dylib",
    "libtcl8.6.so.0", "libtcl8.6.so", "libtcl8.6.dylib",
};

Ref make_return_codes(PyObject* module) {
    Ref bases = py::own(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    py::ClassBuilder cls(module, "ReturnCodes", bases.get(), "Tcl's completion codes.");
    const std::pair<const char*, int> codes[] = {
        {"TCL_OK", tarvo::tcl::TCL_OK},           {"TCL_ERROR", tarvo::tcl::TCL_ERROR},
        {"TCL_RETURN", tarvo::tcl::TCL_RETURN},   {"TCL_BREAK", tarvo::tcl::TCL_BREAK},
        {"TCL_CONTINUE", tarvo::tcl::TCL_CONTINUE},
    };
    for (const auto& [name, value] : codes) cls.set(name, py::integer(value).get());
    return cls.build();
}

// The first Tcl library that opens; ImportError when none does.
Ref open_tcl_library(PyObject* cdll) {
    for (const char* name : library_names) {
        PyObject* library = PyObject_CallOneArg(cdll, py::text(name).get());
        if (library) return Ref::steal(library);
        if (!PyErr_ExceptionMatches(PyExc_OSError)) py::fail();
        PyErr_Clear();
    }
    py::raise(PyExc_ImportError, "Cannot load Tcl shared library (.so or .dylib)");
}

int exec_module(PyObject* module) noexcept {
    return py::entry_int("tarvo.tcl.internal", [&] {
        Ref ctypes = py::import("ctypes");
        py::add(module, "ctypes", ctypes.get());
        py::import("ctypes.util");
        py::add(module, "tkinter", py::import("tkinter").get());
        py::add(module, "Sequence", py::import_from("collections.abc", "Sequence").get());
        py::add(module, "Set", py::import_from("collections.abc", "Set").get());

        py::add(module, "ReturnCodes", make_return_codes(module).get());
        Ref library = open_tcl_library(py::getattr(ctypes.get(), "CDLL").get());
        py::add(module, "TclDLL", library.get());
        tarvo::tcl::load(library.get());
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {TARVO_MODULE_SLOTS(exec_module)};

PyModuleDef internal_module = {
    PyModuleDef_HEAD_INIT,
    "tarvo.tcl.internal",
    "The Tcl C library underneath tkinter's interpreter, reached directly.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_internal() { return PyModuleDef_Init(&internal_module); }
