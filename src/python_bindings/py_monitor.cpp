// PyPerformanceMonitor: the Python face of one PerformanceMonitor.
//
// Each method matches and converts its arguments, forwards to the monitor
// operation of the same name and converts the result. The monitor guards
// itself with its own mutexes, so the receiver is only ever read here. A
// monitor operation that reports an error (a part poisoned by an interrupted
// update) surfaces as the panic exception, never as an ordinary Exception.
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <tuple>
#include <utility>

#include "monitoring/performance_monitor.h"
#include "python_bindings/native_guard.h"
#include "python_bindings/py_args.h"
#include "python_bindings/py_errors.h"
#include "python_bindings/py_module.h"

namespace drux::py {
namespace {

constexpr const char* CLASS_NAME = "PyPerformanceMonitor";

struct MonitorObject {
  PyObject_HEAD
  PerformanceMonitor monitor;
};

PyTypeObject* monitor_type_object = nullptr;

PerformanceMonitor& monitor_of(PyObject* self) { return reinterpret_cast<MonitorObject*>(self)->monitor; }

PyObject* none_or_panic(const Status& status) {
  if (!status) return raise_panic(status.error());
  Py_RETURN_NONE;
}

PyObject* text_or_panic(const Result<std::string>& text) {
  if (!text) return raise_panic(text.error());
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

// Argument matching, then the receiver check; conversion is left to the caller.
bool bind(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, BoundArgs& bound) {
  return match_fastcall(sig, args, nargs, kwnames, bound) &&
         check_receiver(self, monitor_type_object, CLASS_NAME);
}

bool is_monitor(PyObject* self) { return check_receiver(self, monitor_type_object, CLASS_NAME); }

// --- construction and destruction ---------------------------------------------

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"PyPerformanceMonitor.__new__()", {}, 0};
  BoundArgs bound;
  if (!match_tuple_dict(sig, args, kwargs, bound)) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&monitor_of(self)) PerformanceMonitor();
  return self;
}

void monitor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  monitor_of(self).~PerformanceMonitor();
  type->tp_free(self);
  Py_DECREF(type);
}

// --- recording ------------------------------------------------------------------

bool convert(PyObject* obj, const char* param, std::uint64_t& out) { return to_u64(obj, param, out); }
bool convert(PyObject* obj, const char* param, double& out) { return to_f64(obj, param, out); }

// A recording method: match the arguments, check the receiver, convert each
// parameter in signature order (stopping at the first failure, so nothing
// is recorded), then forward to the monitor operation.
template <class... Params>
PyObject* forward(const Signature& sig, Status (PerformanceMonitor::*operation)(Params...), PyObject* self,
                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BoundArgs bound;
  if (!bind(self, sig, args, nargs, kwnames, bound)) return nullptr;
  std::tuple<Params...> values{};
  const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
    return (convert(bound.values[I], sig.params[I], std::get<I>(values)) && ...);
  }(std::index_sequence_for<Params...>{});
  if (!converted) return nullptr;
  return none_or_panic(std::apply([&](auto... v) { return (monitor_of(self).*operation)(v...); }, values));
}

PyObject* record_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"PyPerformanceMonitor.record_read()", {"bytes", "duration_ms"}, 2};
  return forward(sig, &PerformanceMonitor::record_read, self, args, nargs, kwnames);
}

PyObject* record_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"PyPerformanceMonitor.record_write()", {"bytes", "duration_ms"}, 2};
  return forward(sig, &PerformanceMonitor::record_write, self, args, nargs, kwnames);
}

PyObject* record_compression(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"PyPerformanceMonitor.record_compression()", {"original_bytes", "compressed_bytes"}, 2};
  return forward(sig, &PerformanceMonitor::record_compression, self, args, nargs, kwnames);
}

PyObject* record_rows_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"PyPerformanceMonitor.record_rows_columns()", {"rows", "columns"}, 2};
  return forward(sig, &PerformanceMonitor::record_rows_columns, self, args, nargs, kwnames);
}

PyObject* update_memory(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"PyPerformanceMonitor.update_memory()", {"current", "peak"}, 2};
  return forward(sig, &PerformanceMonitor::update_memory, self, args, nargs, kwnames);
}

PyObject* update_cache_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"PyPerformanceMonitor.update_cache_stats()", {"hit_rate"}, 1};
  return forward(sig, &PerformanceMonitor::update_cache_stats, self, args, nargs, kwnames);
}

PyObject* record_error(PyObject* self, PyObject*) {
  if (!is_monitor(self)) return nullptr;
  return none_or_panic(monitor_of(self).record_error());
}

// --- reading ----------------------------------------------------------------------

PyObject* get_metrics(PyObject* self, PyObject*) {
  if (!is_monitor(self)) return nullptr;
  return text_or_panic(monitor_of(self).export_json());
}

// Inserts `value` (stolen) under `key`; false with the exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

PyObject* u64(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

bool fill_metrics_dict(PyObject* dict, const DruxMetrics& m) {
  return put(dict, "total_bytes_read", u64(m.total_bytes_read)) &&
         put(dict, "total_bytes_written", u64(m.total_bytes_written)) &&
         put(dict, "read_operations", u64(m.read_operations)) &&
         put(dict, "write_operations", u64(m.write_operations)) &&
         put(dict, "avg_read_latency_ms", PyFloat_FromDouble(m.avg_read_latency_ms)) &&
         put(dict, "avg_write_latency_ms", PyFloat_FromDouble(m.avg_write_latency_ms)) &&
         put(dict, "read_throughput_mbps", PyFloat_FromDouble(read_throughput_mbps(m))) &&
         put(dict, "write_throughput_mbps", PyFloat_FromDouble(write_throughput_mbps(m))) &&
         put(dict, "compression_ratio", PyFloat_FromDouble(m.compression_ratio)) &&
         put(dict, "current_memory_bytes", u64(m.current_memory_bytes)) &&
         put(dict, "peak_memory_bytes", u64(m.peak_memory_bytes)) &&
         put(dict, "rows_processed", u64(m.rows_processed)) &&
         put(dict, "columns_processed", u64(m.columns_processed)) &&
         put(dict, "cache_hit_rate", PyFloat_FromDouble(m.cache_hit_rate)) &&
         put(dict, "active_operations", PyLong_FromUnsignedLong(m.active_operations)) &&
         put(dict, "total_errors", PyLong_FromUnsignedLong(m.total_errors)) &&
         put(dict, "timestamp",
             PyUnicode_FromStringAndSize(m.timestamp.data(),
                                         static_cast<Py_ssize_t>(m.timestamp.size())));
}

PyObject* get_metrics_dict(PyObject* self, PyObject*) {
  if (!is_monitor(self)) return nullptr;
  const Result<DruxMetrics> metrics = monitor_of(self).get_metrics();  // one consistent copy
  if (!metrics) return raise_panic(metrics.error());
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  if (!fill_metrics_dict(dict, metrics.value())) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* get_alerts(PyObject* self, PyObject*) {
  if (!is_monitor(self)) return nullptr;
  const Result<std::vector<AlertEvent>> alerts = monitor_of(self).get_alerts();
  if (!alerts) return raise_panic(alerts.error());
  const std::string json = alerts_to_json(std::span<const AlertEvent>(alerts.value()));
  return PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()));
}

PyObject* clear_alerts(PyObject* self, PyObject*) {
  if (!is_monitor(self)) return nullptr;
  return none_or_panic(monitor_of(self).clear_alerts());
}

PyObject* export_prometheus(PyObject* self, PyObject*) {
  if (!is_monitor(self)) return nullptr;
  return text_or_panic(monitor_of(self).export_prometheus());
}

// --- the class ------------------------------------------------------------------------

constexpr int WITH_ARGS = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef monitor_methods[] = {
    {"record_read", as_cfunction(guarded<record_read>), WITH_ARGS,
     "record_read($self, bytes, duration_ms)\n--\n\n"},
    {"record_write", as_cfunction(guarded<record_write>), WITH_ARGS,
     "record_write($self, bytes, duration_ms)\n--\n\n"},
    {"record_compression", as_cfunction(guarded<record_compression>), WITH_ARGS,
     "record_compression($self, original_bytes, compressed_bytes)\n--\n\n"},
    {"record_rows_columns", as_cfunction(guarded<record_rows_columns>), WITH_ARGS,
     "record_rows_columns($self, rows, columns)\n--\n\n"},
    {"update_memory", as_cfunction(guarded<update_memory>), WITH_ARGS,
     "update_memory($self, current, peak)\n--\n\n"},
    {"update_cache_stats", as_cfunction(guarded<update_cache_stats>), WITH_ARGS,
     "update_cache_stats($self, hit_rate)\n--\n\n"},
    {"record_error", guarded<record_error>, METH_NOARGS, "record_error($self)\n--\n\n"},
    {"get_metrics", guarded<get_metrics>, METH_NOARGS, "get_metrics($self)\n--\n\n"},
    {"get_metrics_dict", guarded<get_metrics_dict>, METH_NOARGS, "get_metrics_dict($self)\n--\n\n"},
    {"get_alerts", guarded<get_alerts>, METH_NOARGS, "get_alerts($self)\n--\n\n"},
    {"clear_alerts", guarded<clear_alerts>, METH_NOARGS, "clear_alerts($self)\n--\n\n"},
    {"export_prometheus", guarded<export_prometheus>, METH_NOARGS, "export_prometheus($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot monitor_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("PyPerformanceMonitor()\n--\n\nPerformance Monitor Python wrapper")},
    {Py_tp_new, reinterpret_cast<void*>(guarded<monitor_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(monitor_dealloc)},
    {Py_tp_methods, monitor_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed.
PyType_Spec monitor_spec = {"drux_fileformat.PyPerformanceMonitor", sizeof(MonitorObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, monitor_slots};

}  // namespace

PyObject* monitor_type(PyObject* module) {
  if (monitor_type_object == nullptr) {
    PyObject* type = PyType_FromModuleAndSpec(module, &monitor_spec, nullptr);
    if (type == nullptr) return nullptr;
    monitor_type_object = reinterpret_cast<PyTypeObject*>(type);  // kept for the process
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(monitor_type_object));
}

}  // namespace drux::py
