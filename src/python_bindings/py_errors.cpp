// Library error values to Python exceptions; see py_errors.h. Deliberately
// not here: any error of its own making.
#include "python_bindings/py_errors.h"

namespace drux::py {

PyObject* raise_error(const Error& error) {
  PyObject* type = error.kind == ErrorKind::Data ? PyExc_ValueError : PyExc_OSError;
  PyObject* message = PyUnicode_DecodeUTF8(error.message.data(),
                                           static_cast<Py_ssize_t>(error.message.size()), "replace");
  if (message == nullptr) return nullptr;
  // One argument only, so errno and strerror stay unset and str() is the message.
  PyObject* exc = PyObject_CallOneArg(type, message);
  Py_DECREF(message);
  if (exc == nullptr) return nullptr;
  PyErr_SetObject(type, exc);
  Py_DECREF(exc);
  return nullptr;
}

PyObject* panic_exception_type() {
  // Lives for the rest of the process, like the module's type objects.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "drux_fileformat.PanicException",
        "An internal failure of the performance monitor; not a subclass of Exception.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace drux::py
