// What each source of the module contributes to initialisation.
//
// Each source adds its own functions or types, so the module definition names
// none of them. Deliberately not here: any state shared between the sources.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace drux::py {

// The module version text, also reported by the info functions.
inline constexpr const char* MODULE_VERSION = "1.1.2";

// Method definitions of the two module functions.
extern PyMethodDef compress_csv_def;
extern PyMethodDef get_drux_info_def;

// The class objects, built on first call and kept for the process; new
// references, or null with an exception set.
PyObject* writer_type(PyObject* module);
PyObject* reader_type(PyObject* module);
PyObject* monitor_type(PyObject* module);

}  // namespace drux::py
