// The monitor's three texts: the metrics JSON document, the Prometheus text
// and the compact alert array, byte for byte, from monitors fed known
// values; non-finite and largest values are spelled out literally.
// Deliberately not here: the counters and alert rules behind the values
// (performance_monitor_test), the number forms in detail
// (number_format_test), and parsing by a real Prometheus client
// (tests/python/test_monitor.py).
#include "monitoring/metrics_export.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "monitoring/performance_monitor.h"

namespace drux {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

std::string json_of(const PerformanceMonitor& monitor) {
  auto text = monitor.export_json();
  EXPECT_TRUE(text.ok()) << text.error();
  return text.ok() ? text.value() : std::string();
}

std::string prometheus_of(const PerformanceMonitor& monitor) {
  auto text = monitor.export_prometheus();
  EXPECT_TRUE(text.ok()) << text.error();
  return text.ok() ? text.value() : std::string();
}

std::string timestamp_of(const PerformanceMonitor& monitor) {
  auto metrics = monitor.get_metrics();
  EXPECT_TRUE(metrics.ok());
  return metrics.ok() ? metrics->timestamp : std::string();
}

// The value text of one entry of the JSON document, without its comma.
std::string json_value(const std::string& document, const std::string& key) {
  const std::string start = "\n  \"" + key + "\": ";
  const auto at = document.find(start);
  if (at == std::string::npos) return "<missing>";
  const auto from = at + start.size();
  std::string value = document.substr(from, document.find('\n', from) - from);
  if (!value.empty() && value.back() == ',') value.pop_back();
  return value;
}

// The value text of one Prometheus sample.
std::string prometheus_value(const std::string& text, const std::string& name) {
  const std::string start = name + " {} ";
  const auto at = text.find(start);
  if (at == std::string::npos || (at != 0 && text[at - 1] != '\n')) return "<missing>";
  const auto from = at + start.size();
  return text.substr(from, text.find('\n', from) - from);
}

TEST(MetricsExport, FreshMonitorDocumentIsZerosAndItsCreationTime) {
  const PerformanceMonitor monitor;
  const std::string expected =
      "{\n"
      "  \"total_bytes_read\": 0,\n"
      "  \"total_bytes_written\": 0,\n"
      "  \"read_operations\": 0,\n"
      "  \"write_operations\": 0,\n"
      "  \"avg_read_latency_ms\": 0.00,\n"
      "  \"avg_write_latency_ms\": 0.00,\n"
      "  \"read_throughput_mbps\": 0.00,\n"
      "  \"write_throughput_mbps\": 0.00,\n"
      "  \"compression_ratio\": 0.00,\n"
      "  \"peak_memory_bytes\": 0,\n"
      "  \"current_memory_bytes\": 0,\n"
      "  \"rows_processed\": 0,\n"
      "  \"columns_processed\": 0,\n"
      "  \"cache_hit_rate\": 0.00,\n"
      "  \"active_operations\": 0,\n"
      "  \"total_errors\": 0,\n"
      "  \"timestamp\": \"" +
      timestamp_of(monitor) +
      "\"\n"
      "}";
  EXPECT_EQ(json_of(monitor), expected);
}

TEST(MetricsExport, FreshMonitorPrometheusTextIsTenZeroSamples) {
  const PerformanceMonitor monitor;
  EXPECT_EQ(prometheus_of(monitor),
            "drux_total_bytes_read_total {} 0\n"
            "drux_total_bytes_written_total {} 0\n"
            "drux_read_operations_total {} 0\n"
            "drux_write_operations_total {} 0\n"
            "drux_avg_read_latency_ms {} 0.00\n"
            "drux_avg_write_latency_ms {} 0.00\n"
            "drux_compression_ratio_percent {} 0.00\n"
            "drux_current_memory_bytes {} 0\n"
            "drux_cache_hit_rate {} 0.00\n"
            "drux_total_errors {} 0\n");
}

// Every field distinct, so a swapped line or field shows.
PerformanceMonitor busy_monitor() {
  PerformanceMonitor monitor;
  EXPECT_TRUE(monitor.record_read(3000000, 250.0).ok());
  EXPECT_TRUE(monitor.record_read(1000000, 750.0).ok());
  EXPECT_TRUE(monitor.record_write(500000, 125.0).ok());
  EXPECT_TRUE(monitor.record_compression(1000, 333).ok());
  EXPECT_TRUE(monitor.update_memory(7000, 9000).ok());
  EXPECT_TRUE(monitor.record_rows_columns(11, 13).ok());
  EXPECT_TRUE(monitor.update_cache_stats(0.875).ok());
  EXPECT_TRUE(monitor.record_error().ok());
  return monitor;
}

TEST(MetricsExport, DocumentPutsEachFieldOnItsOwnLineInOrder) {
  const PerformanceMonitor monitor = busy_monitor();
  // Reads: 4e6 bytes over a mean of 500 ms -> 4 / 0.5 = 8 MB/s.
  // Writes: 0.5e6 bytes over 125 ms -> 0.5 / 0.125 = 4 MB/s.
  const std::string expected =
      "{\n"
      "  \"total_bytes_read\": 4000000,\n"
      "  \"total_bytes_written\": 500000,\n"
      "  \"read_operations\": 2,\n"
      "  \"write_operations\": 1,\n"
      "  \"avg_read_latency_ms\": 500.00,\n"
      "  \"avg_write_latency_ms\": 125.00,\n"
      "  \"read_throughput_mbps\": 8.00,\n"
      "  \"write_throughput_mbps\": 4.00,\n"
      "  \"compression_ratio\": 66.70,\n"
      "  \"peak_memory_bytes\": 9000,\n"
      "  \"current_memory_bytes\": 7000,\n"
      "  \"rows_processed\": 11,\n"
      "  \"columns_processed\": 13,\n"
      "  \"cache_hit_rate\": 0.88,\n"
      "  \"active_operations\": 0,\n"
      "  \"total_errors\": 1,\n"
      "  \"timestamp\": \"" +
      timestamp_of(monitor) +
      "\"\n"
      "}";
  EXPECT_EQ(json_of(monitor), expected);
}

TEST(MetricsExport, PrometheusTextOmitsPeakCountsThroughputsAndTimestamp) {
  const PerformanceMonitor monitor = busy_monitor();
  EXPECT_EQ(prometheus_of(monitor),
            "drux_total_bytes_read_total {} 4000000\n"
            "drux_total_bytes_written_total {} 500000\n"
            "drux_read_operations_total {} 2\n"
            "drux_write_operations_total {} 1\n"
            "drux_avg_read_latency_ms {} 500.00\n"
            "drux_avg_write_latency_ms {} 125.00\n"
            "drux_compression_ratio_percent {} 66.70\n"
            "drux_current_memory_bytes {} 7000\n"
            "drux_cache_hit_rate {} 0.88\n"
            "drux_total_errors {} 1\n");
}

TEST(MetricsExport, ReadThroughputIsTotalMegabytesOverTheMeanReadTime) {
  PerformanceMonitor monitor;
  ASSERT_TRUE(monitor.record_read(2000000, 500.0).ok());
  std::string document = json_of(monitor);
  EXPECT_EQ(json_value(document, "read_throughput_mbps"), "4.00");
  EXPECT_EQ(json_value(document, "avg_read_latency_ms"), "500.00");

  ASSERT_TRUE(monitor.record_read(2000000, 500.0).ok());
  document = json_of(monitor);
  EXPECT_EQ(json_value(document, "read_throughput_mbps"), "8.00");
}

TEST(MetricsExport, ThroughputOfZeroTimeIsInfiniteOrNaNAndUnquoted) {
  struct Case {
    std::uint64_t bytes;
    const char* text;
  };
  const Case cases[] = {{1000, "inf"}, {0, "NaN"}};
  for (const auto& c : cases) {
    PerformanceMonitor monitor;
    ASSERT_TRUE(monitor.record_read(c.bytes, 0.0).ok());
    ASSERT_TRUE(monitor.record_write(c.bytes, 0.0).ok());
    const std::string document = json_of(monitor);
    EXPECT_EQ(json_value(document, "read_throughput_mbps"), c.text) << c.bytes;
    EXPECT_EQ(json_value(document, "write_throughput_mbps"), c.text) << c.bytes;
  }
}

TEST(MetricsExport, ThroughputIsZeroBeforeTheFirstOperation) {
  struct Case {
    DruxMetrics metrics;
    double read, write;
  };
  DruxMetrics reads_only;
  reads_only.total_bytes_read = 3000000;
  reads_only.read_operations = 3;
  reads_only.avg_read_latency_ms = 1500.0;
  DruxMetrics writes_only;
  writes_only.total_bytes_written = 1048576;
  writes_only.write_operations = 1;
  writes_only.avg_write_latency_ms = 1000.0;
  DruxMetrics counted_but_zero_time;
  counted_but_zero_time.write_operations = 1;
  counted_but_zero_time.total_bytes_written = 1;
  const Case cases[] = {
      {DruxMetrics{}, 0.0, 0.0},
      {reads_only, 2.0, 0.0},
      {writes_only, 0.0, 1.048576},
      {counted_but_zero_time, 0.0, kInf},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(read_throughput_mbps(c.metrics), c.read);
    EXPECT_DOUBLE_EQ(write_throughput_mbps(c.metrics), c.write);
  }
}

TEST(MetricsExport, NonFiniteValuesAreWordsInBothTexts) {
  PerformanceMonitor monitor;
  ASSERT_TRUE(monitor.record_compression(0, 10).ok());
  ASSERT_TRUE(monitor.update_cache_stats(kNaN).ok());
  const std::string document = json_of(monitor);
  const std::string prometheus = prometheus_of(monitor);
  EXPECT_EQ(json_value(document, "compression_ratio"), "-inf");
  EXPECT_EQ(prometheus_value(prometheus, "drux_compression_ratio_percent"), "-inf");
  EXPECT_EQ(json_value(document, "cache_hit_rate"), "NaN");
  EXPECT_EQ(prometheus_value(prometheus, "drux_cache_hit_rate"), "NaN");
}

TEST(MetricsExport, LargestCountersPrintInFull) {
  PerformanceMonitor monitor;
  ASSERT_TRUE(monitor.record_read(kMaxU64, 1.0).ok());
  ASSERT_TRUE(monitor.update_memory(kMaxU64, 0).ok());
  const std::string document = json_of(monitor);
  const std::string prometheus = prometheus_of(monitor);
  EXPECT_EQ(json_value(document, "total_bytes_read"), "18446744073709551615");
  EXPECT_EQ(json_value(document, "current_memory_bytes"), "18446744073709551615");
  EXPECT_EQ(prometheus_value(prometheus, "drux_total_bytes_read_total"), "18446744073709551615");
  EXPECT_EQ(prometheus_value(prometheus, "drux_current_memory_bytes"), "18446744073709551615");
}

TEST(MetricsExport, EmptyAlertListIsAnEmptyArray) {
  PerformanceMonitor monitor;
  EXPECT_EQ(alerts_to_json(monitor.get_alerts().value()), "[]");
  ASSERT_TRUE(monitor.update_cache_stats(0.0).ok());
  ASSERT_TRUE(monitor.clear_alerts().ok());
  EXPECT_EQ(alerts_to_json(monitor.get_alerts().value()), "[]");
}

TEST(MetricsExport, AlertArrayIsCompactWithMembersInOrder) {
  const std::vector<AlertEvent> alerts = {
      {AlertType::HighLatency, "Read operation took 1500.00ms", "2026-01-02T03:04:05.678+00:00", 1500.0, 1000.0},
      {AlertType::LowThroughput, "slow", "t", 2.5e-7, 1e16},
      {AlertType::HighErrorRate, "Error rate: inf%", "t", kInf, 0.05},
  };
  EXPECT_EQ(alerts_to_json(alerts),
            "[{\"alert_type\":\"HighLatency\",\"message\":\"Read operation took 1500.00ms\","
            "\"timestamp\":\"2026-01-02T03:04:05.678+00:00\",\"metric_value\":1500.0,\"threshold\":1000.0},"
            "{\"alert_type\":\"LowThroughput\",\"message\":\"slow\",\"timestamp\":\"t\","
            "\"metric_value\":2.5e-7,\"threshold\":1e+16},"
            "{\"alert_type\":\"HighErrorRate\",\"message\":\"Error rate: inf%\",\"timestamp\":\"t\","
            "\"metric_value\":null,\"threshold\":0.05}]");
}

TEST(MetricsExport, AlertStringsEscapeQuotesBackslashesAndControlCharacters) {
  struct Case {
    std::string message;
    const char* escaped;
  };
  const Case cases[] = {
      {"say \"hi\"", R"("say \"hi\"")"},
      {"C:\\temp\\", R"("C:\\temp\\")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("a\0b", 3), R"("a\u0000b")"},
      {"\x01\x1f\x0b", R"("\u0001\u001f\u000b")"},
      {"/ and \x7f stay", "\"/ and \x7f stay\""},
      {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
  };
  for (const auto& c : cases) {
    const AlertEvent alert{AlertType::HighMemoryUsage, c.message, "t", 1.0, 2.0};
    const std::string expected = std::string("[{\"alert_type\":\"HighMemoryUsage\",\"message\":") + c.escaped +
                                 ",\"timestamp\":\"t\",\"metric_value\":1.0,\"threshold\":2.0}]";
    EXPECT_EQ(alerts_to_json(std::vector<AlertEvent>{alert}), expected);
  }
}

TEST(MetricsExport, MonitorAlertsSerialiseTheirValuesAsJsonNumbers) {
  struct Case {
    const char* name;
    Status (*act)(PerformanceMonitor&);
    const char* type;
    const char* message;
    const char* values;
  };
  const Case cases[] = {
      {"cache", [](PerformanceMonitor& m) { return m.update_cache_stats(0.0); }, "LowCacheHitRate",
       "Cache hit rate: 0.00%", "\"metric_value\":0.0,\"threshold\":0.3"},
      {"memory", [](PerformanceMonitor& m) { return m.update_memory(1500000000, 0); }, "HighMemoryUsage",
       "Memory usage: 1500.00MB", "\"metric_value\":1500000000.0,\"threshold\":1000000000.0"},
      {"error", [](PerformanceMonitor& m) { return m.record_error(); }, "HighErrorRate", "Error rate: inf%",
       "\"metric_value\":null,\"threshold\":0.05"},
      {"slow read", [](PerformanceMonitor& m) { return m.record_read(1, 1500.0); }, "HighLatency",
       "Read operation took 1500.00ms", "\"metric_value\":1500.0,\"threshold\":1000.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PerformanceMonitor monitor;
    ASSERT_TRUE(c.act(monitor).ok());
    const auto alerts = monitor.get_alerts();
    ASSERT_TRUE(alerts.ok());
    ASSERT_EQ(alerts->size(), 1u);
    const std::string expected = std::string("[{\"alert_type\":\"") + c.type + "\",\"message\":\"" + c.message +
                                 "\",\"timestamp\":\"" + alerts->front().timestamp + "\"," + c.values + "}]";
    EXPECT_EQ(alerts_to_json(alerts.value()), expected);
  }
}

}  // namespace
}  // namespace drux
