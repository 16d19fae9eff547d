// Conversions between Python objects and KVal cells for the drux package.
//
// Each direction is one switch on the column type, recursing into nested
// values. Deliberately not here: the reader and writer objects
// (native_module.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

#include "drux_v2/kval.h"

namespace drux::native {

// A new reference to the Python value of a cell: int, float, bool, str,
// bytes, None; Object -> dict (a list of (name, value) tuples when names
// repeat, so nothing is lost), List -> list, Map -> list of (key, value)
// tuples. Null on failure with an exception set.
PyObject* to_python(const KVal& value);

// Converts `obj` for a column of type `type`. On failure sets TypeError or
// ValueError naming the column and the (0-based) row, and returns false.
bool from_python(PyObject* obj, ColType type, const std::string& column, std::uint64_t row, KVal& out);

}  // namespace drux::native
