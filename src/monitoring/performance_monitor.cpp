// The monitor's two parts and its alert rules.
//
// Every update runs under its part's lock inside a guard that poisons the
// part unless the update reaches its end, so an exception thrown half-way
// (an allocation failure) can never leave half-updated figures in use.
// Exceptions stop at the public operations and come back as error values.
#include "monitoring/performance_monitor.h"

#include <exception>
#include <new>
#include <string>
#include <vector>
#include <mutex>
#include <utility>

#include "monitoring/metrics_export.h"
#include "monitoring/number_format.h"
#include "monitoring/timestamp.h"

namespace drux {

struct PerformanceMonitor::MetricsPart {
  static constexpr std::string_view kName = "metrics";
  std::mutex mutex;
  bool poisoned = false;
  DruxMetrics data;
};

struct PerformanceMonitor::AlertsPart {
  static constexpr std::string_view kName = "alerts";
  std::mutex mutex;
  bool poisoned = false;
  std::vector<AlertEvent> data;
};

namespace {

// Alert rule thresholds; every comparison against them is strict.
constexpr double kSlowReadThresholdMs = 1000.0;
constexpr double kErrorRateThreshold = 0.05;
constexpr std::uint64_t kMemoryThresholdBytes = 1'000'000'000;
constexpr double kCacheHitRateThreshold = 0.3;

constexpr double kPercent = 100.0;
// The megabyte of the memory message is 10^6 bytes.
constexpr double kBytesPerMegabyte = 1'000'000.0;

constexpr std::string_view kInternalErrorPrefix = "internal error: ";

Error internal_error(std::string_view detail) {
  std::string message(kInternalErrorPrefix);
  message += detail;
  return Error{std::move(message)};
}

Error poisoned_error(std::string_view part_name) {
  std::string detail(part_name);
  detail += " lock poisoned by an earlier interrupted update";
  return internal_error(detail);
}

// Sets a part's poisoned flag unless the update it watches completed.
class PoisonUnlessCompleted {
 public:
  explicit PoisonUnlessCompleted(bool& poisoned) : poisoned_(poisoned) {}
  PoisonUnlessCompleted(const PoisonUnlessCompleted&) = delete;
  PoisonUnlessCompleted& operator=(const PoisonUnlessCompleted&) = delete;
  ~PoisonUnlessCompleted() {
    if (!completed_) poisoned_ = true;
  }
  void completed() { completed_ = true; }

 private:
  bool& poisoned_;
  bool completed_ = false;
};

// Runs `update(part.data)` (which returns a Status) under the part's lock.
template <class Part, class Update>
Status update_part(Part& part, Update&& update) {
  std::lock_guard lock(part.mutex);
  if (part.poisoned) return poisoned_error(Part::kName);
  PoisonUnlessCompleted guard(part.poisoned);
  Status status = update(part.data);
  guard.completed();
  return status;
}

// Runs `read(part.data)` under the part's lock; reading cannot half-update.
template <class Part, class Read>
auto read_part(Part& part, Read&& read) -> Result<decltype(read(part.data))> {
  std::lock_guard lock(part.mutex);
  if (part.poisoned) return poisoned_error(Part::kName);
  return read(std::as_const(part.data));
}

// Keeps exceptions from crossing the library boundary.
template <class Operation>
auto contain_failure(Operation&& operation) -> decltype(operation()) {
  try {
    return operation();
  } catch (const std::exception& e) {
    return internal_error(e.what());
  } catch (...) {
    return internal_error("unknown failure");
  }
}

// The incremental mean after one more sample: (n * mean + sample) / (n + 1).
void add_sample(std::uint64_t& count, double& mean, double sample) {
  const std::uint64_t n = count;
  count = n + 1;
  mean = (static_cast<double>(n) * mean + sample) / static_cast<double>(count);
}

std::string rule_message(std::string_view prefix, double value, std::string_view unit) {
  std::string message(prefix);
  append_f2(message, value);
  message += unit;
  return message;
}

}  // namespace

std::string_view alert_type_name(AlertType type) {
  switch (type) {
    case AlertType::HighLatency: return "HighLatency";
    case AlertType::LowThroughput: return "LowThroughput";
    case AlertType::HighMemoryUsage: return "HighMemoryUsage";
    case AlertType::HighErrorRate: return "HighErrorRate";
    case AlertType::LowCacheHitRate: return "LowCacheHitRate";
  }
  return "Unknown";
}

PerformanceMonitor::PerformanceMonitor()
    : metrics_(std::make_shared<MetricsPart>()), alerts_(std::make_shared<AlertsPart>()) {
  metrics_->data.timestamp = current_local_timestamp();
}

Status PerformanceMonitor::create_alert(AlertType alert_type, std::string message, double metric_value,
                                        double threshold) {
  // Read the clock and format before locking, to keep the alerts lock short.
  std::string timestamp = current_local_timestamp();
  return update_part(*alerts_, [&](std::vector<AlertEvent>& alerts) {
    alerts.push_back(AlertEvent{alert_type, std::move(message), std::move(timestamp), metric_value, threshold});
    return Status{};
  });
}

Status PerformanceMonitor::record_read(std::uint64_t bytes, double duration_ms) {
  return contain_failure([&] {
    return update_part(*metrics_, [&](DruxMetrics& m) {
      m.total_bytes_read += bytes;
      add_sample(m.read_operations, m.avg_read_latency_ms, duration_ms);
      if (!(duration_ms > kSlowReadThresholdMs)) return Status{};
      return create_alert(AlertType::HighLatency, rule_message("Read operation took ", duration_ms, "ms"),
                          duration_ms, kSlowReadThresholdMs);
    });
  });
}

Status PerformanceMonitor::record_write(std::uint64_t bytes, double duration_ms) {
  return contain_failure([&] {
    return update_part(*metrics_, [&](DruxMetrics& m) {
      m.total_bytes_written += bytes;
      add_sample(m.write_operations, m.avg_write_latency_ms, duration_ms);
      return Status{};
    });
  });
}

Status PerformanceMonitor::record_error() {
  return contain_failure([&] {
    return update_part(*metrics_, [&](DruxMetrics& m) {
      m.total_errors += 1;
      const std::uint64_t operations = m.read_operations + m.write_operations;
      const double rate = static_cast<double>(m.total_errors) / static_cast<double>(operations);
      if (!(rate > kErrorRateThreshold)) return Status{};
      return create_alert(AlertType::HighErrorRate, rule_message("Error rate: ", kPercent * rate, "%"), rate,
                          kErrorRateThreshold);
    });
  });
}

Status PerformanceMonitor::record_compression(std::uint64_t original_bytes, std::uint64_t compressed_bytes) {
  return contain_failure([&] {
    return update_part(*metrics_, [&](DruxMetrics& m) {
      m.compression_ratio =
          (1.0 - static_cast<double>(compressed_bytes) / static_cast<double>(original_bytes)) * kPercent;
      return Status{};
    });
  });
}

Status PerformanceMonitor::record_rows_columns(std::uint64_t rows, std::uint64_t columns) {
  return contain_failure([&] {
    return update_part(*metrics_, [&](DruxMetrics& m) {
      m.rows_processed += rows;
      m.columns_processed += columns;
      return Status{};
    });
  });
}

Status PerformanceMonitor::update_memory(std::uint64_t current, std::uint64_t peak) {
  return contain_failure([&] {
    return update_part(*metrics_, [&](DruxMetrics& m) {
      m.current_memory_bytes = current;
      // The caller's peak is authoritative; the stored one takes no part.
      m.peak_memory_bytes = current > peak ? current : peak;
      if (!(current > kMemoryThresholdBytes)) return Status{};
      const auto current_value = static_cast<double>(current);
      return create_alert(AlertType::HighMemoryUsage,
                          rule_message("Memory usage: ", current_value / kBytesPerMegabyte, "MB"), current_value,
                          static_cast<double>(kMemoryThresholdBytes));
    });
  });
}

Status PerformanceMonitor::update_cache_stats(double hit_rate) {
  return contain_failure([&] {
    return update_part(*metrics_, [&](DruxMetrics& m) {
      m.cache_hit_rate = hit_rate;
      if (!(hit_rate < kCacheHitRateThreshold)) return Status{};
      return create_alert(AlertType::LowCacheHitRate, rule_message("Cache hit rate: ", kPercent * hit_rate, "%"),
                          hit_rate, kCacheHitRateThreshold);
    });
  });
}

Result<DruxMetrics> PerformanceMonitor::get_metrics() const {
  return contain_failure([&] { return read_part(*metrics_, [](const DruxMetrics& m) { return m; }); });
}

Result<std::vector<AlertEvent>> PerformanceMonitor::get_alerts() const {
  return contain_failure([&] { return read_part(*alerts_, [](const std::vector<AlertEvent>& a) { return a; }); });
}

Status PerformanceMonitor::clear_alerts() {
  return contain_failure([&] {
    return update_part(*alerts_, [](std::vector<AlertEvent>& alerts) {
      alerts.clear();  // keeps the reserved storage
      return Status{};
    });
  });
}

// Both exports format under the metrics lock, so each is one snapshot.
Result<std::string> PerformanceMonitor::export_json() const {
  return contain_failure([&] { return read_part(*metrics_, metrics_to_json); });
}

Result<std::string> PerformanceMonitor::export_prometheus() const {
  return contain_failure([&] { return read_part(*metrics_, metrics_to_prometheus); });
}

Status PerformanceMonitor::poison_metrics_for_testing() {
  return contain_failure([&] {
    return update_part(*metrics_, [](DruxMetrics& m) -> Status {
      m.total_bytes_read += 1;
      throw std::bad_alloc();
    });
  });
}

Status PerformanceMonitor::poison_alerts_for_testing() {
  return contain_failure([&] {
    return update_part(*alerts_, [](std::vector<AlertEvent>& alerts) -> Status {
      alerts.emplace_back();
      throw std::bad_alloc();
    });
  });
}

}  // namespace drux
