// ENCODINGS, COLUMN_TYPES and read_csv_text for drux._native; see
// native_format.h. The tables are built once, when the module is executed,
// from the constexpr tables of format.h.
#include "python_bindings/drux_native/native_format.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "drux_v2/format.h"
#include "python_bindings/csv_rows.h"
#include "python_bindings/csv_text.h"
#include "python_bindings/native_guard.h"

namespace drux::native {
namespace {

PyObject* text(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// A tuple of (name, code) pairs, one per element of `table`.
template <class Table, class Entry>
PyObject* code_table(const Table& table, Entry entry) {
  PyObject* pairs = PyTuple_New(static_cast<Py_ssize_t>(table.size()));
  if (!pairs) return nullptr;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const auto [name, code] = entry(table[i]);
    PyObject* pair = Py_BuildValue("(Ni)", text(name), code);
    if (!pair) {
      Py_DECREF(pairs);
      return nullptr;
    }
    PyTuple_SET_ITEM(pairs, static_cast<Py_ssize_t>(i), pair);
  }
  return pairs;
}

PyObject* list_of_texts(const std::vector<std::string>& texts) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(texts.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = text(texts[i]);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* read_csv_text_py(PyObject*, PyObject* args) {
  const char* path;
  if (!PyArg_ParseTuple(args, "s:read_csv_text", &path)) return nullptr;
  auto table = read_csv_text(path);
  if (!table.ok()) {
    PyErr_SetString(table.error_kind() == ErrorKind::Io ? PyExc_OSError : PyExc_ValueError, table.error().c_str());
    return nullptr;
  }
  PyObject* names = list_of_texts(table->names);
  PyObject* rows = names ? PyList_New(static_cast<Py_ssize_t>(table->rows.size())) : nullptr;
  if (!rows) {
    Py_XDECREF(names);
    return nullptr;
  }
  for (std::size_t r = 0; r < table->rows.size(); ++r) {
    PyObject* row = list_of_texts(table->rows[r]);
    if (!row) {
      Py_DECREF(names);
      Py_DECREF(rows);
      return nullptr;
    }
    PyList_SET_ITEM(rows, static_cast<Py_ssize_t>(r), row);
  }
  return Py_BuildValue("(NN)", names, rows);
}

PyObject* split_csv_line_py(PyObject*, PyObject* args) {
  const char* line;
  Py_ssize_t size;
  if (!PyArg_ParseTuple(args, "s#:split_csv_line", &line, &size)) return nullptr;
  return list_of_texts(split_column_names(std::string_view(line, static_cast<std::size_t>(size))));
}

PyMethodDef format_methods[] = {
    {"split_csv_line", guarded<split_csv_line_py>, METH_VARARGS,
     "split_csv_line(line)\n--\n\nThe trimmed fields of one line, split as the CSV conversion splits its header."},
    {"read_csv_text", guarded<read_csv_text_py>, METH_VARARGS,
     "read_csv_text(path)\n--\n\nThe trimmed column names and the rows of texts that the CSV conversion takes "
     "from a CSV file."},
    {nullptr, nullptr, 0, nullptr},
};

int add_object(PyObject* module, const char* name, PyObject* value) {
  if (!value) return -1;
  const int added = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return added;
}

}  // namespace

int add_format_surface(PyObject* module) {
  PyObject* encodings = code_table(kEncodingNames, [](const EncodingName& e) {
    return std::pair{e.name, static_cast<int>(e.tag)};
  });
  if (add_object(module, "ENCODINGS", encodings) < 0) return -1;
  PyObject* types = code_table(kColTypeNames, [](const ColTypeName& t) {
    return std::pair{t.name, static_cast<int>(t.type)};
  });
  if (add_object(module, "COLUMN_TYPES", types) < 0) return -1;
  return PyModule_AddFunctions(module, format_methods);
}

}  // namespace drux::native
