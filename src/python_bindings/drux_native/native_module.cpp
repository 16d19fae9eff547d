// drux._native: the library's reader, typed writer and CSV conversion (with
// a progress hook) for the drux package. The drux_fileformat module keeps its
// own fixed surface; this one is ours to shape.
//
// Each entry converts its arguments, makes one library call and converts the
// result; library errors become OSError or DruxError only here. Deliberately
// not here: the format's tables and the CSV texts (native_format.cpp).
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <cerrno>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "drux_v2/drux_reader.h"
#include "drux_v2/replacing_file.h"
#include "drux_v2/streaming_writer.h"
#include "python_bindings/csv_converter.h"
#include "python_bindings/drux_native/native_format.h"
#include "python_bindings/drux_native/native_scan.h"
#include "python_bindings/drux_native/native_values.h"
#include "python_bindings/arrow_import.h"
#include "python_bindings/native_guard.h"
#include "python_bindings/parallel_convert.h"

namespace drux::native {
namespace {

PyObject* g_drux_error = nullptr;  // drux.DruxError, a ValueError

// Raises the Python form of a library error: I/O failures are OSError,
// malformed files DruxError.
template <class R>
std::nullptr_t raise(const R& result, PyObject* data_type) {
  PyErr_SetString(result.error_kind() == ErrorKind::Io ? PyExc_OSError : data_type, result.error().c_str());
  return nullptr;
}

// The level of a name, or none with ValueError set.
std::optional<CompressionLevel> level_named(const char* name) {
  std::optional<CompressionLevel> level = compression_level_named(name);
  if (!level) PyErr_Format(PyExc_ValueError, "unknown compression level '%s'; expected exact, fast or max", name);
  return level;
}

bool key_from(PyObject* obj, AesKey& key) {
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
  if (size != static_cast<Py_ssize_t>(key.size())) {
    PyErr_Format(PyExc_ValueError, "a key must be %d bytes, not %zd", static_cast<int>(key.size()), size);
    return false;
  }
  std::memcpy(key.data(), data, key.size());
  return true;
}

// ---- Reader ----------------------------------------------------------------------

struct ReaderObject {
  PyObject_HEAD
  DruxReader* reader;  // owned; null only when construction failed
};

// One field of a limits object (drux.ReaderLimits or anything with its
// attributes): a non-negative int no larger than `most`.
template <class T>
bool limit_field(PyObject* limits, const char* name, T& out) {
  PyObject* value = PyObject_GetAttrString(limits, name);
  if (!value) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  Py_DECREF(value);
  if (PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "ReaderLimits.%s must be an int from 0 to %llu", name,
                   static_cast<unsigned long long>(std::numeric_limits<T>::max()));
    }
    return false;
  }
  if (v > std::numeric_limits<T>::max()) {
    PyErr_Format(PyExc_ValueError, "ReaderLimits.%s must be an int from 0 to %llu", name,
                 static_cast<unsigned long long>(std::numeric_limits<T>::max()));
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

bool limits_from(PyObject* obj, ReaderLimits& limits) {
  if (obj == Py_None) return true;
  return limit_field(obj, "max_block_bytes", limits.max_block_bytes) &&
         limit_field(obj, "max_metadata_bytes", limits.max_metadata_bytes) &&
         limit_field(obj, "max_name_bytes", limits.max_name_bytes) &&
         limit_field(obj, "max_chunk_rows", limits.max_chunk_rows) &&
         limit_field(obj, "max_chunks", limits.max_chunks) && limit_field(obj, "max_cells", limits.max_cells);
}

int reader_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "limits", nullptr};
  const char* path;
  PyObject* limits_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|O:Reader", const_cast<char**>(keywords), &path, &limits_obj))
    return -1;
  ReaderLimits limits;
  if (!limits_from(limits_obj, limits)) return -1;
  auto opened = DruxReader::open(path, limits);
  if (!opened.ok()) {
    raise(opened, g_drux_error);
    return -1;
  }
  auto* object = reinterpret_cast<ReaderObject*>(self);
  delete object->reader;
  object->reader = new DruxReader(std::move(opened).value());
  return 0;
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ReaderObject*>(self)->reader;
  type->tp_free(self);
  Py_DECREF(type);
}

const DruxReader* reader_of(PyObject* self) {
  const DruxReader* reader = reinterpret_cast<ReaderObject*>(self)->reader;
  if (!reader) PyErr_SetString(PyExc_ValueError, "Reader was not opened");
  return reader;
}

PyObject* bytes_of(const std::string& s) { return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

PyObject* chunk_info_dict(const ColumnChunkInfo& info) {
  return Py_BuildValue("{s:K,s:K,s:i,s:I,s:L,s:L,s:N,s:N}", "offset", info.offset, "length", info.length,
                       "encoding", static_cast<int>(info.encoding), "null_count", info.stats.null_count, "min_int",
                       static_cast<long long>(info.stats.min_int), "max_int",
                       static_cast<long long>(info.stats.max_int), "min_str", bytes_of(info.stats.min_str),
                       "max_str", bytes_of(info.stats.max_str));
}

PyObject* reader_metadata(PyObject* self, PyObject*) {
  const DruxReader* reader = reader_of(self);
  if (!reader) return nullptr;
  const DruxMetadata& meta = reader->metadata();
  const DruxFileInfo& f = meta.file;
  PyObject* header = Py_BuildValue(
      "{s:I,s:I,s:K,s:I,s:I,s:K,s:K,s:K,s:K}", "version", static_cast<unsigned>(f.version), "column_count",
      static_cast<unsigned>(f.column_count), "total_rows", f.total_rows, "chunk_count", f.chunk_count,
      "rows_per_chunk", f.rows_per_chunk, "created", f.created_unix, "file_size", f.file_size, "footer_offset",
      f.footer_offset, "footer_length", f.footer_length);
  PyObject* columns = PyList_New(0);
  PyObject* chunks = PyList_New(0);
  PyObject* result = nullptr;
  if (!header || !columns || !chunks) goto done;
  for (const KColumn& column : meta.columns) {
    PyObject* entry = Py_BuildValue("{s:s#,s:i,s:O}", "name", column.name.data(),
                                    static_cast<Py_ssize_t>(column.name.size()), "type",
                                    static_cast<int>(column.col_type), "encrypted",
                                    column.encrypted ? Py_True : Py_False);
    if (!entry || PyList_Append(columns, entry) < 0) {
      Py_XDECREF(entry);
      goto done;
    }
    Py_DECREF(entry);
  }
  for (std::size_t c = 0; c < meta.chunks.size(); ++c) {
    PyObject* blocks = PyList_New(0);
    if (!blocks) goto done;
    for (const ColumnChunkInfo& info : meta.chunks[c]) {
      PyObject* entry = chunk_info_dict(info);
      if (!entry || PyList_Append(blocks, entry) < 0) {
        Py_XDECREF(entry);
        Py_DECREF(blocks);
        goto done;
      }
      Py_DECREF(entry);
    }
    PyObject* chunk = Py_BuildValue("{s:I,s:N}", "rows", meta.chunk_rows[c], "columns", blocks);
    if (!chunk || PyList_Append(chunks, chunk) < 0) {
      Py_XDECREF(chunk);
      goto done;
    }
    Py_DECREF(chunk);
  }
  result = Py_BuildValue("{s:O,s:O,s:O}", "header", header, "columns", columns, "chunks", chunks);
done:
  Py_XDECREF(header);
  Py_XDECREF(columns);
  Py_XDECREF(chunks);
  return result;
}

bool block_position(PyObject* self, PyObject* args, const char* format, unsigned& chunk, Py_ssize_t& column,
                    PyObject** key, const DruxReader*& reader) {
  if (!PyArg_ParseTuple(args, format, &chunk, &column, key)) return false;
  reader = reader_of(self);
  if (!reader) return false;
  const DruxMetadata& meta = reader->metadata();
  if (chunk >= meta.chunks.size() || column < 0 || static_cast<std::size_t>(column) >= meta.columns.size()) {
    PyErr_Format(PyExc_IndexError, "no block at chunk %u, column %zd", chunk, column);
    return false;
  }
  return true;
}

// One column block of an open reader, with the key the caller gave for it.
struct BlockRequest {
  const DruxReader* reader = nullptr;
  unsigned chunk = 0;
  std::size_t column = 0;
  bool has_key = false;
  AesKey key{};
  const AesKey* key_or_null() const { return has_key ? &key : nullptr; }
};

bool block_request(PyObject* self, PyObject* args, const char* format, BlockRequest& request) {
  Py_ssize_t column;
  PyObject* key_obj = Py_None;
  if (!block_position(self, args, format, request.chunk, column, &key_obj, request.reader)) return false;
  request.column = static_cast<std::size_t>(column);
  request.has_key = key_obj != Py_None;
  return !request.has_key || key_from(key_obj, request.key);
}

PyObject* reader_read_column_chunk(PyObject* self, PyObject* args) {
  BlockRequest request;
  if (!block_request(self, args, "In|O:read_column_chunk", request)) return nullptr;
  auto cells = request.reader->read_column_chunk(request.chunk, request.column, request.key_or_null());
  if (!cells.ok()) return raise(cells, g_drux_error);
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(cells.value().size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < cells.value().size(); ++i) {
    PyObject* item = to_python(cells.value()[i]);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* reader_verify_chunk(PyObject* self, PyObject* args) {
  BlockRequest request;
  if (!block_request(self, args, "In|O:verify_chunk", request)) return nullptr;
  auto checked = request.reader->verify_chunk(request.chunk, request.column, request.key_or_null());
  if (!checked.ok()) return raise(checked, g_drux_error);
  Py_RETURN_NONE;
}

PyObject* reader_check_table_cells(PyObject* self, PyObject*) {
  const DruxReader* reader = reader_of(self);
  if (!reader) return nullptr;
  auto checked = check_table_cells(reader->metadata(), reader->limits());
  if (!checked.ok()) return raise(checked, g_drux_error);
  Py_RETURN_NONE;
}

PyObject* reader_payload_size(PyObject* self, PyObject* args) {
  unsigned chunk;
  Py_ssize_t column;
  const DruxReader* reader;
  if (!block_position(self, args, "In:payload_size", chunk, column, nullptr, reader)) return nullptr;
  auto payload = reader->read_block(chunk, static_cast<std::size_t>(column));
  if (!payload.ok()) return raise(payload, g_drux_error);
  return PyLong_FromSize_t(payload.value().size());
}

PyMethodDef reader_methods[] = {
    {"metadata", guarded<reader_metadata>, METH_NOARGS,
     "metadata()\n--\n\nHeader, schema and footer entries as a dict."},
    {"read_column_chunk", guarded<reader_read_column_chunk>, METH_VARARGS,
     "read_column_chunk(chunk, column, key=None)\n--\n\nThe cells of one column of one chunk."},
    {"verify_chunk", guarded<reader_verify_chunk>, METH_VARARGS,
     "verify_chunk(chunk, column, key=None)\n--\n\nDecode one block and check its footer statistics, null count "
     "and filter against its cells; raises DruxError on a mismatch."},
    {"check_table_cells", guarded<reader_check_table_cells>, METH_NOARGS,
     "check_table_cells()\n--\n\nRaise DruxError when reading the whole table passes the limits' max_cells."},
    {"payload_size", guarded<reader_payload_size>, METH_VARARGS,
     "payload_size(chunk, column)\n--\n\nThe decompressed size of one column block."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("Reader(path, limits=None)\n--\n\nAn open DRUX v2 file, checked on opening "
                                  "within the limits (a drux.ReaderLimits).")},
    {Py_tp_init, reinterpret_cast<void*>(guarded<reader_init>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec reader_spec = {"drux._native.Reader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT, reader_slots};

// ---- write_table -------------------------------------------------------------------

struct ColumnSpec {
  KColumn column;
  PyObject* values;  // borrowed from the caller's list
};

bool parse_specs(PyObject* specs, std::vector<ColumnSpec>& out, Py_ssize_t& rows) {
  PyObject* fast = PySequence_Fast(specs, "columns must be a list");
  if (!fast) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  rows = 0;
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < n; ++i) {
    const char* name;
    Py_ssize_t name_size;
    int type;
    PyObject* key_obj;
    PyObject* values;
    ok = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(fast, i), "s#iOO!", &name, &name_size, &type, &key_obj,
                          &PyList_Type, &values);
    if (!ok) break;
    if (type < 1 || type > 8) {
      PyErr_Format(PyExc_ValueError, "unknown column type code %d", type);
      ok = false;
      break;
    }
    KColumn column = make_column(std::string(name, static_cast<std::size_t>(name_size)), static_cast<ColType>(type));
    if (key_obj != Py_None) {
      column.encrypted = true;
      ok = key_from(key_obj, column.key);
    }
    if (i > 0 && PyList_GET_SIZE(values) != rows) {
      PyErr_SetString(PyExc_ValueError, "all columns must have the same length");
      ok = false;
    }
    rows = PyList_GET_SIZE(values);
    out.push_back({std::move(column), values});
  }
  Py_DECREF(fast);
  return ok;
}

PyObject* write_table(PyObject*, PyObject* args) {
  const char* path;
  PyObject* specs_obj;
  unsigned long long chunk_rows;
  const char* level_name = "exact";
  PyObject* on_chunk = Py_None;
  if (!PyArg_ParseTuple(args, "sOK|sO:write_table", &path, &specs_obj, &chunk_rows, &level_name, &on_chunk)) {
    return nullptr;
  }
  const std::optional<CompressionLevel> level = level_named(level_name);
  if (!level) return nullptr;
  std::vector<ColumnSpec> specs;
  Py_ssize_t rows;
  if (!parse_specs(specs_obj, specs, rows)) return nullptr;
  if (chunk_rows == 0) {
    PyErr_SetString(PyExc_ValueError, "chunk_rows must be at least 1");
    return nullptr;
  }
  std::vector<KColumn> columns;
  for (const ColumnSpec& spec : specs) columns.push_back(spec.column);
  // Convert the whole table before creating the file, so that a value that
  // does not fit its column leaves no half-written file behind.
  std::vector<Row> table(static_cast<std::size_t>(rows), Row(specs.size()));
  for (std::size_t c = 0; c < specs.size(); ++c) {
    for (Py_ssize_t r = 0; r < rows; ++r) {
      PyObject* value = PyList_GET_ITEM(specs[c].values, r);
      if (!from_python(value, specs[c].column.col_type, specs[c].column.name, static_cast<std::uint64_t>(r),
                       table[static_cast<std::size_t>(r)][c]))
        return nullptr;
    }
  }
  // The file takes the place of `path` only once finished and synced.
  auto output = ReplacingFile::create(path);
  if (!output.ok()) return raise(output, PyExc_ValueError);
  auto writer = StreamingDruxWriter::begin(std::move(columns), chunk_rows, output.value().temp_path(), *level);
  if (!writer.ok()) return raise(writer, PyExc_ValueError);
  // on_chunk(payload_bytes, 0.0, file_bytes, write_ms, rows) after the
  // preamble, each chunk and the footer; the values are in memory, not read.
  using Clock = std::chrono::steady_clock;
  auto report = [on_chunk](std::uint64_t payload, std::uint64_t file_bytes, Clock::time_point since,
                           std::uint64_t rows) {
    if (on_chunk == Py_None) return true;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - since).count();
    PyObject* result = PyObject_CallFunction(on_chunk, "KdKdK", static_cast<unsigned long long>(payload), 0.0,
                                             static_cast<unsigned long long>(file_bytes), ms,
                                             static_cast<unsigned long long>(rows));
    Py_XDECREF(result);
    return result != nullptr;
  };
  StreamingDruxWriter& w = writer.value();
  if (!report(0, w.bytes_written(), Clock::now(), 0)) return nullptr;
  const std::span<const Row> all(table);
  for (std::size_t start = 0; start < all.size(); start += chunk_rows) {
    const std::size_t count = std::min<std::size_t>(chunk_rows, all.size() - start);
    const std::uint64_t bytes_before = w.bytes_written();
    const std::uint64_t payload_before = w.payload_bytes();
    const Clock::time_point chunk_start = Clock::now();
    auto written = w.write_chunk(all.subspan(start, count));
    if (!written.ok()) return raise(written, PyExc_ValueError);
    if (!report(w.payload_bytes() - payload_before, w.bytes_written() - bytes_before, chunk_start, count)) {
      return nullptr;
    }
  }
  const std::uint64_t before_footer = w.bytes_written();
  const Clock::time_point finish_start = Clock::now();
  auto summary = w.finish();
  if (!summary.ok()) return raise(summary, PyExc_ValueError);
  struct stat finished;
  const std::uint64_t size = ::stat(output.value().temp_path().c_str(), &finished) == 0
                                 ? static_cast<std::uint64_t>(finished.st_size)
                                 : before_footer;
  if (!report(0, size - before_footer, finish_start, 0)) return nullptr;
  if (Status s = output.value().commit(); !s) return raise(s, PyExc_ValueError);
  return PyUnicode_FromStringAndSize(summary.value().data(), static_cast<Py_ssize_t>(summary.value().size()));
}

// The Python callbacks of one write, called on the converting thread
// with the interpreter lock taken back for the call alone. The first
// exception stops the write and is raised once it has ended.
struct Callbacks {
  PyObject* progress = Py_None;
  PyObject* on_chunk = Py_None;
  PyThreadState* released = nullptr;

  bool call(PyObject* callable, const char* format, auto... args) {
    PyEval_RestoreThread(released);
    PyObject* result = PyObject_CallFunction(callable, format, args...);
    Py_XDECREF(result);
    released = PyEval_SaveThread();
    return result != nullptr;
  }

  // on_chunk(csv_bytes, read_ms, file_bytes, write_ms, rows) for each report.
  std::function<bool(const ChunkReport&)> chunk_reporter() {
    return [this](const ChunkReport& r) {
      return call(on_chunk, "KdKdK", static_cast<unsigned long long>(r.csv_bytes), r.read_ms,
                  static_cast<unsigned long long>(r.file_bytes), r.write_ms, static_cast<unsigned long long>(r.rows));
    };
  }
};

// ---- write_arrow ---------------------------------------------------------------------------

// A one-batch Arrow stream over an (array, schema) pair moved out of the
// __arrow_c_array__ capsules, so one importer serves both protocols.
struct OneBatch {
  ArrowSchema schema{};
  ArrowArray array{};

  static int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* self = static_cast<OneBatch*>(stream->private_data);
    if (self->schema.release == nullptr) return EINVAL;  // given once; the importer asks once
    *out = self->schema;
    self->schema.release = nullptr;
    return 0;
  }
  static int get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* self = static_cast<OneBatch*>(stream->private_data);
    *out = self->array;  // after the first call: released, the end of the stream
    self->array.release = nullptr;
    return 0;
  }
  static const char* get_last_error(ArrowArrayStream*) { return nullptr; }
  static void release(ArrowArrayStream* stream) {
    auto* self = static_cast<OneBatch*>(stream->private_data);
    if (self->schema.release) self->schema.release(&self->schema);
    if (self->array.release) self->array.release(&self->array);
    delete self;
    stream->release = nullptr;
  }
};

// Moves the struct out of a capsule of the PyCapsule protocol, marking the
// capsule's copy released so its destructor leaves it alone.
template <class T>
bool take_from_capsule(PyObject* capsule, const char* name, T& out) {
  auto* source = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (!source) return false;
  if (source->release == nullptr) {
    PyErr_Format(PyExc_ValueError, "the %s capsule was already consumed", name);
    return false;
  }
  out = *source;
  source->release = nullptr;
  return true;
}

bool keys_from(PyObject* pairs, std::map<std::string, AesKey>& keys) {
  PyObject* fast = PySequence_Fast(pairs, "keys must be a list of (name, key) pairs");
  if (!fast) return false;
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(fast); ++i) {
    const char* name;
    Py_ssize_t size;
    PyObject* key;
    ok = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(fast, i), "s#O", &name, &size, &key) &&
         key_from(key, keys[std::string(name, static_cast<std::size_t>(size))]);
  }
  Py_DECREF(fast);
  return ok;
}

// write_arrow(path, stream_capsule | (schema_capsule, array_capsule), chunk_rows, keys, lossy, jobs)
PyObject* write_arrow(PyObject*, PyObject* args) {
  const char* path;
  PyObject* source;
  unsigned long long chunk_rows;
  PyObject* key_pairs;
  int lossy;
  unsigned int jobs;
  const char* level_name;
  Callbacks callbacks;
  if (!PyArg_ParseTuple(args, "sOKOpIs|O:write_arrow", &path, &source, &chunk_rows, &key_pairs, &lossy, &jobs,
                        &level_name, &callbacks.on_chunk)) {
    return nullptr;
  }
  const std::optional<CompressionLevel> level = level_named(level_name);
  if (!level) return nullptr;
  ArrowImportOptions options;
  options.chunk_rows = chunk_rows;
  options.lossy = lossy != 0;
  options.jobs = jobs;
  options.level = *level;
  if (!keys_from(key_pairs, options.keys)) return nullptr;
  ArrowArrayStream stream{};
  if (PyTuple_Check(source)) {
    PyObject* schema_capsule;
    PyObject* array_capsule;
    if (!PyArg_ParseTuple(source, "OO", &schema_capsule, &array_capsule)) return nullptr;
    auto batch = std::make_unique<OneBatch>();
    if (!take_from_capsule(schema_capsule, "arrow_schema", batch->schema)) return nullptr;
    if (!take_from_capsule(array_capsule, "arrow_array", batch->array)) {
      batch->schema.release(&batch->schema);
      return nullptr;
    }
    stream = {OneBatch::get_schema, OneBatch::get_next, OneBatch::get_last_error, OneBatch::release,
              batch.release()};
  } else if (!take_from_capsule(source, "arrow_array_stream", stream)) {
    return nullptr;
  }
  if (callbacks.on_chunk != Py_None) options.on_chunk = callbacks.chunk_reporter();
  callbacks.released = PyEval_SaveThread();
  Result<std::string> summary = write_arrow_stream(stream, path, options);
  PyEval_RestoreThread(callbacks.released);
  if (PyErr_Occurred()) return nullptr;  // the callback's exception
  if (!summary.ok()) return raise(summary, PyExc_ValueError);
  return PyUnicode_FromStringAndSize(summary.value().data(), static_cast<Py_ssize_t>(summary.value().size()));
}

// ---- compress_csv with a progress hook -----------------------------------------------

PyObject* compress_csv(PyObject*, PyObject* args) {
  const char* csv_path;
  const char* drux_path;
  PyObject* progress = Py_None;
  if (!PyArg_ParseTuple(args, "ss|O:compress_csv", &csv_path, &drux_path, &progress)) return nullptr;
  ConvertHooks hooks;
  bool callback_failed = false;
  if (progress != Py_None) {
    // The first exception from the callback stops further calls and is
    // raised once the conversion has ended.
    hooks.progress = [progress, &callback_failed](std::uint64_t done, std::uint64_t total) {
      if (callback_failed) return;
      PyObject* result = PyObject_CallFunction(progress, "KK", static_cast<unsigned long long>(done),
                                               static_cast<unsigned long long>(total));
      if (!result) {
        callback_failed = true;
        return;
      }
      Py_DECREF(result);
    };
  }
  auto converted = drux::compress_csv(csv_path, drux_path, hooks);
  if (callback_failed) return nullptr;  // the callback's exception is still set
  if (!converted.ok()) return raise(converted, PyExc_ValueError);
  const ConvertResult& r = converted.value();
  return Py_BuildValue("(KKd)", static_cast<unsigned long long>(r.csv_size),
                       static_cast<unsigned long long>(r.drux_size), r.compression_ratio);
}

// ---- convert_csv: the threaded conversion ------------------------------------------------

PyObject* convert_csv(PyObject*, PyObject* args) {
  const char* csv_path;
  const char* drux_path;
  unsigned int jobs;
  int infer_types;
  const char* level_name;
  Callbacks callbacks;
  if (!PyArg_ParseTuple(args, "ssIps|OO:convert_csv", &csv_path, &drux_path, &jobs, &infer_types, &level_name,
                        &callbacks.progress, &callbacks.on_chunk))
    return nullptr;
  const std::optional<CompressionLevel> level = level_named(level_name);
  if (!level) return nullptr;
  if (jobs < 1) {
    PyErr_SetString(PyExc_ValueError, "jobs must be at least 1");
    return nullptr;
  }
  ParallelConvertOptions options;
  options.jobs = jobs;
  options.types = infer_types ? CsvTypes::Infer : CsvTypes::Text;
  options.level = *level;
  if (callbacks.progress != Py_None) {
    options.progress = [&callbacks](std::uint64_t done, std::uint64_t total) {
      return callbacks.call(callbacks.progress, "KK", static_cast<unsigned long long>(done),
                            static_cast<unsigned long long>(total));
    };
  }
  if (callbacks.on_chunk != Py_None) options.on_chunk = callbacks.chunk_reporter();
  callbacks.released = PyEval_SaveThread();
  std::optional<Result<ParallelConvertResult>> outcome;
  try {
    outcome.emplace(drux::convert_csv(csv_path, drux_path, options));
  } catch (...) {
    // The guard raises it, but only with the interpreter lock back.
    PyEval_RestoreThread(callbacks.released);
    throw;
  }
  PyEval_RestoreThread(callbacks.released);
  Result<ParallelConvertResult>& converted = *outcome;
  if (PyErr_Occurred()) return nullptr;  // a callback's exception
  if (!converted.ok()) return raise(converted, PyExc_ValueError);
  const ParallelConvertResult& r = converted.value();
  return Py_BuildValue("(KKdKIdK)", static_cast<unsigned long long>(r.csv_size),
                       static_cast<unsigned long long>(r.drux_size), r.saved_percent,
                       static_cast<unsigned long long>(r.rows), static_cast<unsigned>(r.chunks), r.seconds,
                       static_cast<unsigned long long>(r.columns));
}

PyMethodDef module_methods[] = {
    {"write_table", guarded<write_table>, METH_VARARGS,
     "write_table(path, columns, chunk_rows, level='exact', on_chunk=None)\n--\n\nWrite (name, type code, key or None, values) "
     "columns, compressing at level exact, fast or max; returns the summary line."},
    {"compress_csv", guarded<compress_csv>, METH_VARARGS,
     "compress_csv(csv_path, drux_path, progress=None)\n--\n\nConvert CSV to DRUX; progress(done, total) "
     "is called as the CSV is read."},
    {"write_arrow", guarded<write_arrow>, METH_VARARGS,
     "write_arrow(path, source, chunk_rows, keys, lossy, jobs, level, on_chunk=None)\n--\n\nWrite Arrow data (a stream capsule, or a "
     "(schema, array) capsule pair) as a DRUX file; returns the summary line."},
    {"convert_csv", guarded<convert_csv>, METH_VARARGS,
     "convert_csv(csv_path, drux_path, jobs, infer_types, level, progress=None, on_chunk=None)\n--\n\nConvert CSV to DRUX "
     "on `jobs` threads without the interpreter lock; on_chunk(csv_bytes, read_ms, file_bytes, write_ms, rows) follows each "
     "chunk written. Returns (csv_size, drux_size, saved_percent, rows, chunks, seconds, columns)."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
  g_drux_error = PyErr_NewExceptionWithDoc("drux.DruxError", "A DRUX file is malformed, truncated or unfinished.",
                                           PyExc_ValueError, nullptr);
  if (!g_drux_error || PyModule_AddObjectRef(module, "DruxError", g_drux_error) < 0) return -1;
  PyObject* reader_type = PyType_FromModuleAndSpec(module, &reader_spec, nullptr);
  if (!reader_type) return -1;
  const int added = PyModule_AddObjectRef(module, "Reader", reader_type);
  Py_DECREF(reader_type);
  if (added < 0) return -1;
  if (add_scan_surface(module, g_drux_error) < 0) return -1;
  return add_format_surface(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "drux._native", "Native core of the drux package.", 0,
                          module_methods, module_slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace drux::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&drux::native::module_def); }
