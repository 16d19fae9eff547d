// drux._native.Scan: the Python face of an Arrow-native scan (arrow_scan.h).
//
// Deliberately not here: parsing pyarrow-style filters (python/drux/_scan.py
// hands over a plain list of conjunctions) and the optional libraries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace drux::native {

// Adds the Scan type to `module`; `drux_error` is the module's DruxError.
// Returns 0, or -1 with an exception set.
int add_scan_surface(PyObject* module, PyObject* drux_error);

}  // namespace drux::native
