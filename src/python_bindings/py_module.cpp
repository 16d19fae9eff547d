// Initialisation of the drux_fileformat extension module.
//
// Single-phase initialisation: the module object is created once per process
// and cached, so a repeated import gets the very same object back. Imports in
// subinterpreters are refused, because the cached module and the type objects
// belong to the interpreter that created them.
//
// Deliberately not here: multi-phase initialisation, which the fixed surface
// does not need.
#include "python_bindings/py_module.h"

namespace drux::py {
namespace {

constexpr const char* MODULE_DOC =
    "DRUX: a columnar binary file format for efficient data storage and querying\n"
    "\n"
    "Version 1.1.2: Full Python bindings with compression and reading support";
constexpr const char* MODULE_AUTHOR = "The Drux developers";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "drux_fileformat",
    "Drux Python module",
    0,  // no per-module state; also makes a re-import call the init function again
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;

// Appends `name` to __all__ (creating the list when missing), then sets the
// attribute. Steals `value`.
bool add_member(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      Py_DECREF(value);
      return false;
    }
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return false;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  const bool appended = text != nullptr && PyList_Append(all, text) == 0;
  Py_XDECREF(text);
  Py_DECREF(all);
  const bool added = appended && PyModule_AddObjectRef(module, name, value) == 0;
  Py_DECREF(value);
  return added;
}

PyObject* new_function(PyObject* module, PyMethodDef* def) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return nullptr;
  PyObject* function = PyCFunction_NewEx(def, module, module_name);
  Py_DECREF(module_name);
  return function;
}

bool add_members(PyObject* module) {
  return add_member(module, "__version__", PyUnicode_FromString(MODULE_VERSION)) &&
         add_member(module, "__doc__", PyUnicode_FromString(MODULE_DOC)) &&
         add_member(module, "__author__", PyUnicode_FromString(MODULE_AUTHOR)) &&
         add_member(module, "compress_csv", new_function(module, &compress_csv_def)) &&
         add_member(module, "get_drux_info", new_function(module, &get_drux_info_def)) &&
         add_member(module, "PyDruxWriter", writer_type(module)) &&
         add_member(module, "PyDruxReader", reader_type(module)) &&
         add_member(module, "PyPerformanceMonitor", monitor_type(module));
}

PyObject* init_module() {
  // Only the main interpreter may own the module: one created in a
  // subinterpreter would outlive that interpreter's objects and leave the
  // main interpreter unable to import it at all.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "drux_fileformat does not support subinterpreters");
    return nullptr;
  }
  if (cached_module != nullptr) return Py_NewRef(cached_module);
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  if (!add_members(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  cached_module = Py_NewRef(module);  // the cache keeps its own reference for the process
  return module;
}

}  // namespace
}  // namespace drux::py

PyMODINIT_FUNC PyInit_drux_fileformat(void) { return drux::py::init_module(); }
