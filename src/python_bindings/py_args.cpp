// Argument binding and conversion for the drux_fileformat entry points; see
// py_args.h. Deliberately not here: building a library call.
#include "python_bindings/py_args.h"

#include <cstring>

namespace drux::py {
namespace {

Py_ssize_t find_param(const Signature& sig, PyObject* name) {
  if (!PyUnicode_Check(name)) return -1;
  for (Py_ssize_t i = 0; i < sig.param_count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.params[i]) == 0) return i;
  }
  return -1;
}

// Places one keyword argument; false with TypeError set when the name is
// unknown or its parameter is already bound.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, BoundArgs& out) {
  const Py_ssize_t index = find_param(sig, name);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.call_name, name);
    return false;
  }
  if (out.values[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.call_name,
                 sig.params[index]);
    return false;
  }
  out.values[index] = value;
  return true;
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     BoundArgs& out) {
  if (nargs > sig.param_count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 sig.call_name, sig.param_count, nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = args[i];
  return true;
}

// Names joined as 'a', 'a' and 'b', or 'a', 'b', and 'c'.
std::string join_names(const char* const* names, Py_ssize_t count) {
  std::string text;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (i > 0) text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool check_missing(const Signature& sig, const BoundArgs& out) {
  const char* missing[MAX_PARAMS];
  Py_ssize_t count = 0;
  for (Py_ssize_t i = 0; i < sig.param_count; ++i) {
    if (out.values[i] == nullptr) missing[count++] = sig.params[i];
  }
  if (count == 0) return true;
  const std::string names = join_names(missing, count);
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.call_name, count,
               count == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

// Replaces a pending TypeError by a new one whose message names the
// parameter and which keeps the original's cause; any other pending error is
// left as it is.
void prefix_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* original = PyErr_GetRaisedException();
  PyObject* prefixed = PyUnicode_FromFormat("argument '%s': %S", param, original);
  PyObject* replacement = prefixed ? PyObject_CallOneArg(PyExc_TypeError, prefixed) : nullptr;
  Py_XDECREF(prefixed);
  if (replacement == nullptr) {
    Py_DECREF(original);
    return;
  }
  PyException_SetCause(replacement, PyException_GetCause(original));
  Py_DECREF(original);
  PyErr_SetRaisedException(replacement);
}

}  // namespace

bool match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!bind_positional(sig, args, nargs, out)) return false;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
  }
  return check_missing(sig, out);
}

bool match_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
  if (!bind_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!bind_keyword(sig, name, value, out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool to_utf8(PyObject* obj, const char* param, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyObject* type_name = PyType_GetName(Py_TYPE(obj));
    if (type_name == nullptr) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'",
                 param, type_name);
    Py_DECREF(type_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return false;
  if (std::memchr(text, '\0', static_cast<std::size_t>(size)) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool to_u64(PyObject* obj, const char* param, std::uint64_t& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) {
    prefix_type_error(param);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_f64(PyObject* obj, const char* param, double& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_type_error(param);
    return false;
  }
  out = value;
  return true;
}

bool check_receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (PyObject_TypeCheck(self, type)) return true;
  PyObject* type_name = PyType_GetName(Py_TYPE(self));
  if (type_name == nullptr) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name, class_name);
  Py_DECREF(type_name);
  return false;
}

}  // namespace drux::py
