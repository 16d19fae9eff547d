// Performance monitor: counters, averages and threshold alerts shared by
// every reader and writer of a process.
//
// State lives in two separately owned parts, each a mutex with the data it
// guards: the metrics and the alert list. An operation that needs both takes
// them in that order (metrics, then alerts) so two threads never deadlock.
// A part whose update is interrupted half-way (an exception escaping while
// the lock is held) is marked poisoned; every later use of it reports an
// error value instead of handing out half-updated numbers.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "drux_v2/result.h"

namespace drux {

enum class AlertType : std::uint8_t {
  HighLatency = 0,
  LowThroughput = 1,
  HighMemoryUsage = 2,
  HighErrorRate = 3,
  LowCacheHitRate = 4,
};

// The variant's own name, e.g. "HighLatency".
std::string_view alert_type_name(AlertType type);

struct AlertEvent {
  AlertType alert_type = AlertType::HighLatency;
  std::string message;
  std::string timestamp;
  double metric_value = 0.0;
  double threshold = 0.0;
};

struct DruxMetrics {
  std::uint64_t total_bytes_read = 0;
  std::uint64_t total_bytes_written = 0;
  std::uint64_t read_operations = 0;
  std::uint64_t write_operations = 0;
  double avg_read_latency_ms = 0.0;
  double avg_write_latency_ms = 0.0;
  double compression_ratio = 0.0;
  std::uint64_t peak_memory_bytes = 0;
  std::uint64_t current_memory_bytes = 0;
  std::uint64_t rows_processed = 0;
  std::uint64_t columns_processed = 0;
  double cache_hit_rate = 0.0;
  std::uint32_t active_operations = 0;
  std::uint32_t total_errors = 0;
  std::string timestamp;
};

// Total bytes read (written) in units of 10^6 bytes over the mean duration of
// one read (write) in seconds; 0.0 before the first operation, +inf when the
// mean duration is 0.0 (NaN when the byte total is 0 too).
double read_throughput_mbps(const DruxMetrics& metrics);
double write_throughput_mbps(const DruxMetrics& metrics);

// Copies of a monitor share its two parts, like further references to it.
class PerformanceMonitor {
 public:
  PerformanceMonitor();

  // Each operation fails only when an earlier holder of a part's lock failed
  // part-way through its update (the part is then "poisoned").
  Status record_read(std::uint64_t bytes, double duration_ms);
  Status record_write(std::uint64_t bytes, double duration_ms);
  Status record_error();
  Status record_compression(std::uint64_t original_bytes, std::uint64_t compressed_bytes);
  Status record_rows_columns(std::uint64_t rows, std::uint64_t columns);
  Status update_memory(std::uint64_t current, std::uint64_t peak);
  Status update_cache_stats(double hit_rate);

  Result<DruxMetrics> get_metrics() const;
  Result<std::vector<AlertEvent>> get_alerts() const;
  Status clear_alerts();

  Result<std::string> export_json() const;
  Result<std::string> export_prometheus() const;

  // Test-only: run an update of the part that throws half-way, as an
  // allocation failure would, and return the error it reported. The part is
  // poisoned afterwards.
  Status poison_metrics_for_testing();
  Status poison_alerts_for_testing();

 private:
  struct MetricsPart;
  struct AlertsPart;

  Status create_alert(AlertType alert_type, std::string message, double metric_value, double threshold);

  std::shared_ptr<MetricsPart> metrics_;
  std::shared_ptr<AlertsPart> alerts_;
};

// The compact JSON array of alerts: no white space, fields in the order
// alert_type, message, timestamp, metric_value, threshold.
std::string alerts_to_json(std::span<const AlertEvent> alerts);

}  // namespace drux
