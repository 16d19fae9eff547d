// Argument matching and conversion for the module's functions, methods and
// constructors.
//
// Every entry point names its parameters in a Signature; match_fastcall and
// match_tuple_dict bind positional and keyword arguments to those names and
// raise the module's own TypeError messages on a mismatch. The converters
// then turn each bound object into a library value, in parameter order,
// stopping at the first failure so that no library call happens.
//
// Deliberately not here: the library calls themselves.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

namespace drux::py {

// The most parameters any entry point takes.
inline constexpr Py_ssize_t MAX_PARAMS = 2;

// How an entry point is called and what it expects: `call_name` is the text
// used in messages ("compress_csv()", "PyDruxReader.__new__()").
struct Signature {
  const char* call_name;
  const char* params[MAX_PARAMS];
  Py_ssize_t param_count;
};

// The bound arguments, borrowed references, one per parameter.
struct BoundArgs {
  PyObject* values[MAX_PARAMS] = {};
};

// Binds a METH_FASTCALL | METH_KEYWORDS call. Returns false with TypeError set
// on a mismatch.
bool match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out);

// Binds a tp_new call (positional tuple, keyword dict or null).
bool match_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

// str (or a subclass) to owned UTF-8 text; encoding errors propagate as they
// are. Every text parameter is a file path, so an embedded NUL, which the
// operating system would silently cut the path at, raises ValueError.
bool to_utf8(PyObject* obj, const char* param, std::string& out);

// Index protocol to unsigned 64-bit; OverflowError propagates as it is.
bool to_u64(PyObject* obj, const char* param, std::uint64_t& out);

// Float protocol to a double.
bool to_f64(PyObject* obj, const char* param, double& out);

// Checks that a method's receiver is an instance of `type`; raises TypeError
// "'X' object cannot be converted to 'Y'" otherwise.
bool check_receiver(PyObject* self, PyTypeObject* type, const char* class_name);

// A fastcall or noargs implementation in the PyMethodDef slot type.
template <class F>
PyCFunction as_cfunction(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace drux::py
