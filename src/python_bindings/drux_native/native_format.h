// The format's codes and the conversion's CSV rules, as drux._native offers
// them to the drux package: ENCODINGS and COLUMN_TYPES, tuples of (name, code)
// pairs taken from format.h; read_csv_text(path), the names and rows the CSV
// conversion takes from a file; and split_csv_line(line), one line's fields.
//
// The package builds its IntEnums and its CSV comparison from these, so no
// code, name or rule is copied into Python. Deliberately not here: the
// reader and writer objects (native_module.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace drux::native {

// Adds the two tables and read_csv_text to `module`; -1 with an exception
// set on failure.
int add_format_surface(PyObject* module);

}  // namespace drux::native
