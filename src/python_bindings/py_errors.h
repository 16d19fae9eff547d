// The one place where library error values become Python exceptions.
//
// An error's kind picks the exception type and its message is raised
// unchanged. Deliberately not here: exception types of its own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "drux_v2/result.h"

namespace drux::py {

// Raises OSError (ErrorKind::Io) or ValueError (ErrorKind::Data) with the
// message as the single argument; returns null for the caller to return.
PyObject* raise_error(const Error& error);

// Raises the panic exception, a BaseException subclass that ordinary
// `except Exception` handlers do not swallow, used when a monitor part was
// poisoned by a failure part-way through an update. Returns null.
PyObject* raise_panic(const std::string& message);

// The panic exception type, created on first use and kept for the process.
PyObject* panic_exception_type();

}  // namespace drux::py
