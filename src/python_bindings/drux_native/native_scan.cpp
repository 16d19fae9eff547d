// drux._native.Scan: opens a file for an Arrow-native scan, turns column
// names and filter values into the library's request, and hands out Arrow
// schema and stream capsules, the scan's counters, and the filtered cells as
// Python lists for read_table.
//
// A capsule owns a heap struct; its destructor releases the struct when no
// consumer took it (a consumer that takes it marks it released), then frees
// it. The streams never call back into Python, so consumers may drive them
// from any thread. Deliberately not here: the pyarrow filter convention and
// the to_arrow/to_pandas/to_polars helpers (python/drux/_scan.py).
#include "python_bindings/drux_native/native_scan.h"

#include "python_bindings/native_guard.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drux_v2/arrow_scan.h"
#include "python_bindings/drux_native/native_values.h"

namespace drux::native {
namespace {

PyObject* g_scan_drux_error = nullptr;

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kStreamCapsule = "arrow_array_stream";

std::nullptr_t raise_error(const Error& error) {
  PyErr_SetString(error.kind == ErrorKind::Io ? PyExc_OSError : g_scan_drux_error, error.message.c_str());
  return nullptr;
}

struct ScanObject {
  PyObject_HEAD
  std::shared_ptr<ScanSource>* source;  // owned; null until initialised
};

const std::shared_ptr<ScanSource>* source_of(PyObject* self) {
  auto* source = reinterpret_cast<ScanObject*>(self)->source;
  if (!source) PyErr_SetString(PyExc_ValueError, "Scan was not opened");
  return source;
}

// ---- Turning the Python request into the library's ------------------------------

std::string column_list(const DruxMetadata& meta) {
  std::string names;
  for (const KColumn& column : meta.columns) names += (names.empty() ? "" : ", ") + column.name;
  return names;
}

bool utf8_of(PyObject* obj, std::string& out) {
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!text) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool column_index(const DruxReader& reader, PyObject* name_obj, std::size_t& index) {
  std::string name;
  if (!PyUnicode_Check(name_obj)) {
    PyErr_Format(PyExc_TypeError, "column names must be str, not %s", Py_TYPE(name_obj)->tp_name);
    return false;
  }
  if (!utf8_of(name_obj, name)) return false;
  auto found = reader.find_column(name);
  if (!found) {
    const std::string message = "no column '" + name + "'; the file has: " + column_list(reader.metadata());
    PyErr_SetString(PyExc_KeyError, message.c_str());
    return false;
  }
  index = *found;
  return true;
}

bool filter_value(const KColumn& column, PyObject* obj, FilterValue& out) {
  auto wrong = [&](const char* expected) {
    PyErr_Format(PyExc_TypeError, "filter on column '%s' (%s) needs %s, not %s", column.name.c_str(),
                 col_type_name(column.col_type), expected, Py_TYPE(obj)->tp_name);
    return false;
  };
  switch (column.col_type) {
    case ColType::Int:
    case ColType::Float:
    case ColType::Bool:
      if (PyFloat_Check(obj) && column.col_type != ColType::Bool) {
        out.kind = FilterValue::Kind::Float;
        out.f = PyFloat_AS_DOUBLE(obj);
        return true;
      }
      if (PyLong_Check(obj)) {
        int overflow = 0;
        out.kind = FilterValue::Kind::Int;
        out.i = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) return !(out.i == -1 && PyErr_Occurred());
        // Beyond int64: compared as a float, which orders it past every cell.
        out.kind = FilterValue::Kind::Float;
        out.f = PyLong_AsDouble(obj);
        if (out.f == -1.0 && PyErr_Occurred()) return false;
        return true;
      }
      return wrong(column.col_type == ColType::Bool ? "a bool" : "a number");
    case ColType::Str:
      if (!PyUnicode_Check(obj)) return wrong("a str");
      out.kind = FilterValue::Kind::Text;
      return utf8_of(obj, out.text);
    case ColType::Bytes: {
      if (!PyBytes_Check(obj) && !PyByteArray_Check(obj) && !PyMemoryView_Check(obj)) return wrong("bytes");
      Py_buffer view;
      if (PyObject_GetBuffer(obj, &view, PyBUF_CONTIG_RO) < 0) return false;
      out.kind = FilterValue::Kind::Text;
      out.text.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
      PyBuffer_Release(&view);
      return true;
    }
    default:
      PyErr_Format(PyExc_TypeError, "column '%s' is %s: nested columns cannot be filtered", column.name.c_str(),
                   col_type_name(column.col_type));
      return false;
  }
}

// One term: (name, op code, [values]).
bool parse_term(const DruxReader& reader, PyObject* item, FilterTerm& term) {
  PyObject* name;
  int op;
  PyObject* values;
  if (!PyArg_ParseTuple(item, "OiO!", &name, &op, &PyList_Type, &values)) return false;
  if (op < 0 || op > static_cast<int>(FilterOp::NotIn)) {
    PyErr_Format(PyExc_ValueError, "unknown filter operator code %d", op);
    return false;
  }
  if (!column_index(reader, name, term.column)) return false;
  term.op = static_cast<FilterOp>(op);
  const KColumn& column = reader.metadata().columns[term.column];
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
    FilterValue value;
    if (!filter_value(column, PyList_GET_ITEM(values, i), value)) return false;
    term.values.push_back(std::move(value));
  }
  return true;
}

bool parse_filters(const DruxReader& reader, PyObject* filters, std::vector<FilterConjunction>& out) {
  if (filters == Py_None) return true;
  if (!PyList_Check(filters)) {
    PyErr_SetString(PyExc_TypeError, "filters must be a list of lists of terms");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filters); ++i) {
    PyObject* conjunction = PyList_GET_ITEM(filters, i);
    if (!PyList_Check(conjunction)) {
      PyErr_SetString(PyExc_TypeError, "filters must be a list of lists of terms");
      return false;
    }
    FilterConjunction terms;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(conjunction); ++j) {
      FilterTerm term;
      if (!parse_term(reader, PyList_GET_ITEM(conjunction, j), term)) return false;
      terms.push_back(std::move(term));
    }
    out.push_back(std::move(terms));
  }
  return true;
}

bool parse_keys(const DruxReader& reader, PyObject* keys, ScanRequest& request) {
  if (keys == Py_None) return true;
  PyObject* name;
  PyObject* key_obj;
  Py_ssize_t pos = 0;
  if (!PyDict_Check(keys)) {
    PyErr_SetString(PyExc_TypeError, "keys must be a dict of column name to 32 bytes");
    return false;
  }
  const DruxMetadata& meta = reader.metadata();
  while (PyDict_Next(keys, &pos, &name, &key_obj)) {
    std::string column_name;
    if (!PyUnicode_Check(name) || !utf8_of(name, column_name)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "key names must be str");
      return false;
    }
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(key_obj, &data, &size) < 0) return false;
    AesKey key{};
    if (size != static_cast<Py_ssize_t>(key.size())) {
      PyErr_Format(PyExc_ValueError, "a key must be %d bytes, not %zd", static_cast<int>(key.size()), size);
      return false;
    }
    std::memcpy(key.data(), data, key.size());
    // A key applies to every column of its name, as the reader's does.
    bool found = false;
    for (std::size_t c = 0; c < meta.columns.size(); ++c) {
      if (meta.columns[c].name != column_name) continue;
      request.keys.emplace_back(c, key);
      found = true;
    }
    if (!found) {
      raise_error(data_error("a key was given for column '" + column_name + "', which the file does not have"));
      return false;
    }
  }
  return true;
}

int scan_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "columns", "filters", "keys", "jobs", nullptr};
  const char* path;
  PyObject* columns = Py_None;
  PyObject* filters = Py_None;
  PyObject* keys = Py_None;
  unsigned jobs = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|OOOI:Scan", const_cast<char**>(keywords), &path, &columns,
                                   &filters, &keys, &jobs))
    return -1;
  if (jobs < 1) {
    PyErr_SetString(PyExc_ValueError, "jobs must be at least 1");
    return -1;
  }
  // Opening reads and decompresses the footer: other threads may run.
  PyThreadState* released = PyEval_SaveThread();
  Result<DruxReader> opened = DruxReader::open(path);
  PyEval_RestoreThread(released);
  if (!opened) {
    raise_error(opened.error_value());
    return -1;
  }
  const DruxReader& reader = opened.value();
  ScanRequest request;
  request.jobs = jobs;
  if (columns == Py_None) {
    for (std::size_t c = 0; c < reader.metadata().columns.size(); ++c) request.columns.push_back(c);
  } else {
    PyObject* fast = PySequence_Fast(columns, "columns must be a list of names");
    if (!fast) return -1;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(fast); ++i) {
      std::size_t index;
      ok = column_index(reader, PySequence_Fast_GET_ITEM(fast, i), index);
      if (ok) request.columns.push_back(index);
    }
    Py_DECREF(fast);
    if (!ok) return -1;
  }
  if (!parse_filters(reader, filters, request.filters) || !parse_keys(reader, keys, request)) return -1;
  auto source = make_scan_source(std::move(opened).value(), std::move(request));
  if (!source) {
    raise_error(source.error_value());
    return -1;
  }
  auto* object = reinterpret_cast<ScanObject*>(self);
  delete object->source;
  object->source = new std::shared_ptr<ScanSource>(std::move(source).value());
  return 0;
}

void scan_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ScanObject*>(self)->source;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- Capsules ------------------------------------------------------------------------

void schema_capsule_free(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
  if (!schema) {
    PyErr_Clear();
    return;
  }
  if (schema->release) schema->release(schema);
  delete schema;
}

void stream_capsule_free(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (!stream) {
    PyErr_Clear();
    return;
  }
  if (stream->release) stream->release(stream);
  delete stream;
}

PyObject* scan_schema_capsule(PyObject* self, PyObject*) {
  const auto* source = source_of(self);
  if (!source) return nullptr;
  auto schema = std::make_unique<ArrowSchema>();
  export_scan_schema(**source, schema.get());
  PyObject* capsule = PyCapsule_New(schema.get(), kSchemaCapsule, schema_capsule_free);
  if (!capsule) {
    schema->release(schema.get());
    return nullptr;
  }
  schema.release();
  return capsule;
}

PyObject* scan_stream_capsule(PyObject* self, PyObject*) {
  const auto* source = source_of(self);
  if (!source) return nullptr;
  auto stream = std::make_unique<ArrowArrayStream>();
  export_scan_stream(*source, stream.get());
  PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, stream_capsule_free);
  if (!capsule) {
    stream->release(stream.get());
    return nullptr;
  }
  stream.release();
  return capsule;
}

// ---- Counters, names, failures ---------------------------------------------------------

PyObject* scan_stats(PyObject* self, PyObject*) {
  const auto* source = source_of(self);
  if (!source) return nullptr;
  const ScanCounters& n = (*source)->counters;
  return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K}", "chunks_read", n.chunks_read.load(), "chunks_skipped",
                       n.chunks_skipped.load(), "blocks_read", n.blocks_read.load(), "blocks_skipped",
                       n.blocks_skipped.load(), "bytes_read", n.bytes_read.load(), "bytes_skipped",
                       n.bytes_skipped.load());
}

PyObject* scan_names(PyObject* self, PyObject*) {
  const auto* source = source_of(self);
  if (!source) return nullptr;
  const DruxMetadata& meta = (*source)->reader.metadata();
  PyObject* names = PyList_New(0);
  if (!names) return nullptr;
  for (std::size_t c : (*source)->request.columns) {
    const std::string& name = meta.columns[c].name;
    PyObject* item = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
    if (!item || PyList_Append(names, item) < 0) {
      Py_XDECREF(item);
      Py_DECREF(names);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return names;
}

// Raises the first error a stream of this scan met, if any; else None.
PyObject* scan_raise_failure(PyObject* self, PyObject*) {
  const auto* source = source_of(self);
  if (!source) return nullptr;
  if (auto failure = (*source)->failure()) return raise_error(*failure);
  Py_RETURN_NONE;
}

// ---- Cells for read_table --------------------------------------------------------------

bool append_cells(std::vector<PyObject*>& lists, std::size_t out_index, const std::vector<KVal>& cells,
                  const std::vector<std::uint32_t>* rows) {
  const std::size_t n = rows ? rows->size() : cells.size();
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = to_python(cells[rows ? (*rows)[i] : i]);
    if (!item || PyList_Append(lists[out_index], item) < 0) {
      Py_XDECREF(item);
      return false;
    }
    Py_DECREF(item);
  }
  return true;
}

// The selected columns of the matching rows, one list of Python values per
// column, through the same pruning and row filter as the streams.
PyObject* scan_read_lists(PyObject* self, PyObject*) {
  const auto* source_ptr = source_of(self);
  if (!source_ptr) return nullptr;
  const ScanSource& source = **source_ptr;
  const DruxMetadata& meta = source.reader.metadata();
  std::vector<PyObject*> lists;
  auto fail = [&lists]() -> PyObject* {
    for (PyObject* list : lists) Py_DECREF(list);
    return nullptr;
  };
  for (std::size_t i = 0; i < source.request.columns.size(); ++i) {
    PyObject* list = PyList_New(0);
    if (!list) return fail();
    lists.push_back(list);
  }
  std::vector<bool> filtered(meta.columns.size(), false);
  for (const FilterConjunction& conjunction : source.request.filters) {
    for (const FilterTerm& term : conjunction) filtered[term.column] = true;
  }
  for (std::uint32_t chunk = 0; chunk < meta.chunk_count(); ++chunk) {
    const bool may_match = chunk_may_match(meta, chunk, source.request.filters);
    count_chunk(source, chunk, may_match);
    if (!may_match) continue;
    std::vector<ArrowColumn> decoded(source.decoded.size());
    for (std::size_t i = 0; i < source.decoded.size(); ++i) {
      if (!filtered[source.decoded[i]]) continue;
      auto column = decode_arrow_column(source, chunk, source.decoded[i]);
      if (!column) {
        raise_error(column.error_value());
        return fail();
      }
      decoded[i] = std::move(column).value();
    }
    const auto rows = matching_rows(source, chunk, decoded);
    if (rows && rows->empty()) continue;
    for (std::size_t i = 0; i < source.request.columns.size(); ++i) {
      const std::size_t c = source.request.columns[i];
      const auto& key = source.key_of[c];
      auto cells = source.reader.read_column_chunk(chunk, c, key ? &*key : nullptr);
      if (!cells) {
        raise_error(cells.error_value());
        return fail();
      }
      if (!append_cells(lists, i, cells.value(), rows ? &*rows : nullptr)) return fail();
    }
  }
  PyObject* result = PyList_New(static_cast<Py_ssize_t>(lists.size()));
  if (!result) return fail();
  for (std::size_t i = 0; i < lists.size(); ++i) PyList_SET_ITEM(result, static_cast<Py_ssize_t>(i), lists[i]);
  return result;
}

PyMethodDef scan_methods[] = {
    {"schema_capsule", guarded<scan_schema_capsule>, METH_NOARGS,
     "schema_capsule()\n--\n\nA PyCapsule 'arrow_schema' of the output schema."},
    {"stream_capsule", guarded<scan_stream_capsule>, METH_NOARGS,
     "stream_capsule()\n--\n\nA fresh PyCapsule 'arrow_array_stream', one record batch per matching chunk."},
    {"stats", guarded<scan_stats>, METH_NOARGS, "stats()\n--\n\nChunks, blocks and bytes read and skipped so far."},
    {"names", guarded<scan_names>, METH_NOARGS, "names()\n--\n\nThe output column names, in order."},
    {"raise_failure", guarded<scan_raise_failure>, METH_NOARGS,
     "raise_failure()\n--\n\nRaise the first error a stream met (DruxError or OSError); else return None."},
    {"read_lists", guarded<scan_read_lists>, METH_NOARGS,
     "read_lists()\n--\n\nThe matching rows of the selected columns as one list of Python values per column."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scan_slots[] = {
    {Py_tp_doc, const_cast<char*>("Scan(path, columns=None, filters=None, keys=None, jobs=1)\n--\n\n"
                                  "An open DRUX file and a checked scan request.")},
    {Py_tp_init, reinterpret_cast<void*>(guarded<scan_init>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scan_dealloc)},
    {Py_tp_methods, scan_methods},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec scan_spec = {"drux._native.Scan", sizeof(ScanObject), 0, Py_TPFLAGS_DEFAULT, scan_slots};

}  // namespace

int add_scan_surface(PyObject* module, PyObject* drux_error) {
  g_scan_drux_error = drux_error;
  PyObject* type = PyType_FromModuleAndSpec(module, &scan_spec, nullptr);
  if (!type) return -1;
  const int added = PyModule_AddObjectRef(module, "Scan", type);
  Py_DECREF(type);
  return added;
}

}  // namespace drux::native
