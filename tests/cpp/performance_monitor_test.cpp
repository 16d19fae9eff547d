// The monitor's counters, averages and alert rules, its poisoning of parts
// whose update was interrupted, and its use from several threads at once.
// Rules are probed just inside and just past each threshold; interruption
// is simulated through the monitor's testing hooks, and the threaded case
// checks exact totals and consistent snapshots.
// Deliberately not here: the exported texts (metrics_export_test) and the
// timestamp's form (timestamp_test).
#include "monitoring/performance_monitor.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <latch>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"

namespace drux {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

DruxMetrics metrics_of(const PerformanceMonitor& monitor) {
  auto metrics = monitor.get_metrics();
  EXPECT_TRUE(metrics.ok()) << metrics.error();
  return metrics.ok() ? metrics.value() : DruxMetrics{};
}

std::vector<AlertEvent> alerts_of(const PerformanceMonitor& monitor) {
  auto alerts = monitor.get_alerts();
  EXPECT_TRUE(alerts.ok()) << alerts.error();
  return alerts.ok() ? alerts.value() : std::vector<AlertEvent>{};
}

// Seconds since the epoch of a timestamp's date and time (its zone is UTC in
// these tests), or nullopt when the text does not start with one.
std::optional<std::time_t> utc_seconds(const std::string& timestamp) {
  std::tm parsed{};
  if (::strptime(timestamp.c_str(), "%Y-%m-%dT%H:%M:%S", &parsed) == nullptr) return std::nullopt;
  return ::timegm(&parsed);
}

TEST(PerformanceMonitor, FreshMonitorIsZeroedWithItsCreationTime) {
  test::ScopedTimeZone utc("UTC");
  const std::time_t before = test::realtime_seconds();
  const PerformanceMonitor monitor;
  const std::time_t after = test::realtime_seconds();

  const DruxMetrics m = metrics_of(monitor);
  EXPECT_EQ(m.total_bytes_read, 0u);
  EXPECT_EQ(m.total_bytes_written, 0u);
  EXPECT_EQ(m.read_operations, 0u);
  EXPECT_EQ(m.write_operations, 0u);
  EXPECT_EQ(m.avg_read_latency_ms, 0.0);
  EXPECT_EQ(m.avg_write_latency_ms, 0.0);
  EXPECT_EQ(m.compression_ratio, 0.0);
  EXPECT_EQ(m.peak_memory_bytes, 0u);
  EXPECT_EQ(m.current_memory_bytes, 0u);
  EXPECT_EQ(m.rows_processed, 0u);
  EXPECT_EQ(m.columns_processed, 0u);
  EXPECT_EQ(m.cache_hit_rate, 0.0);
  EXPECT_EQ(m.active_operations, 0u);
  EXPECT_EQ(m.total_errors, 0u);
  EXPECT_TRUE(alerts_of(monitor).empty());

  const auto created = utc_seconds(m.timestamp);
  ASSERT_TRUE(created.has_value()) << m.timestamp;
  EXPECT_LE(before, *created);
  EXPECT_LE(*created, after);
  EXPECT_EQ(m.timestamp.substr(m.timestamp.size() - 6), "+00:00");
}

TEST(PerformanceMonitor, TimestampNeverChangesAfterCreation) {
  PerformanceMonitor monitor;
  const std::string created = metrics_of(monitor).timestamp;
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(monitor.record_read(1, 1.0).ok());
  ASSERT_TRUE(monitor.update_memory(1, 1).ok());
  EXPECT_EQ(metrics_of(monitor).timestamp, created);
}

struct Operation {
  bool is_read;
  std::uint64_t bytes;
  double duration_ms;
};

TEST(PerformanceMonitor, ReadsAndWritesKeepSeparateTotalsAndRunningMeans) {
  struct Case {
    const char* name;
    std::vector<Operation> operations;
    std::uint64_t bytes_read, bytes_written, reads, writes;
    double avg_read, avg_write;
  };
  const Case cases[] = {
      {"two reads", {{true, 100, 10.0}, {true, 50, 20.0}}, 150, 0, 2, 0, 15.0, 0.0},
      {"two writes", {{false, 7, 4.0}, {false, 9, 8.0}}, 0, 16, 0, 2, 0.0, 6.0},
      {"interleaved", {{true, 1, 3.0}, {false, 2, 30.0}, {true, 4, 6.0}, {true, 8, 9.0}}, 13, 2, 3, 1, 6.0, 30.0},
      {"first read sets the mean", {{true, 0, 12.5}}, 0, 0, 1, 0, 12.5, 0.0},
      {"negative and zero durations", {{true, 0, -4.0}, {true, 0, 0.0}}, 0, 0, 2, 0, -2.0, 0.0},
      {"byte totals wrap", {{true, kMaxU64, 1.0}, {true, 2, 1.0}}, 1, 0, 2, 0, 1.0, 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PerformanceMonitor monitor;
    for (const auto& op : c.operations) {
      ASSERT_TRUE((op.is_read ? monitor.record_read(op.bytes, op.duration_ms)
                              : monitor.record_write(op.bytes, op.duration_ms))
                      .ok());
    }
    const DruxMetrics m = metrics_of(monitor);
    EXPECT_EQ(m.total_bytes_read, c.bytes_read);
    EXPECT_EQ(m.total_bytes_written, c.bytes_written);
    EXPECT_EQ(m.read_operations, c.reads);
    EXPECT_EQ(m.write_operations, c.writes);
    EXPECT_DOUBLE_EQ(m.avg_read_latency_ms, c.avg_read);
    EXPECT_DOUBLE_EQ(m.avg_write_latency_ms, c.avg_write);
  }
}

TEST(PerformanceMonitor, NaNDurationMakesTheMeanNaNWithoutAlert) {
  PerformanceMonitor monitor;
  ASSERT_TRUE(monitor.record_read(1, kNaN).ok());
  EXPECT_TRUE(std::isnan(metrics_of(monitor).avg_read_latency_ms));
  EXPECT_TRUE(alerts_of(monitor).empty());
}

// One rule check: after `act` on a fresh monitor, either no alert or one
// alert with these fields.
struct RuleCase {
  const char* name;
  std::function<Status(PerformanceMonitor&)> act;
  bool fires;
  AlertType type;
  const char* message;
  double metric_value;
  double threshold;
};

void expect_rule(const RuleCase& c) {
  SCOPED_TRACE(c.name);
  PerformanceMonitor monitor;
  ASSERT_TRUE(c.act(monitor).ok());
  const auto alerts = alerts_of(monitor);
  if (!c.fires) {
    EXPECT_TRUE(alerts.empty());
    return;
  }
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].alert_type, c.type);
  EXPECT_EQ(alerts[0].message, c.message);
  EXPECT_EQ(alerts[0].metric_value, c.metric_value);
  EXPECT_EQ(alerts[0].threshold, c.threshold);
  EXPECT_FALSE(alerts[0].timestamp.empty());
}

TEST(PerformanceMonitor, SlowReadRuleIsStrictAndIgnoresWrites) {
  const RuleCase cases[] = {
      {"exactly 1000 ms", [](auto& m) { return m.record_read(1, 1000.0); }, false, {}, "", 0, 0},
      {"1000.5 ms", [](auto& m) { return m.record_read(1, 1000.5); }, true, AlertType::HighLatency,
       "Read operation took 1000.50ms", 1000.5, 1000.0},
      {"infinite read", [](auto& m) { return m.record_read(1, kInf); }, true, AlertType::HighLatency,
       "Read operation took infms", kInf, 1000.0},
      {"NaN read", [](auto& m) { return m.record_read(1, kNaN); }, false, {}, "", 0, 0},
      {"slow write", [](auto& m) { return m.record_write(1, 99999.0); }, false, {}, "", 0, 0},
  };
  for (const auto& c : cases) expect_rule(c);
}

TEST(PerformanceMonitor, MemoryRuleComparesCurrentUsageAgainstOneBillionBytes) {
  const RuleCase cases[] = {
      {"exactly 10^9", [](auto& m) { return m.update_memory(1000000000, 0); }, false, {}, "", 0, 0},
      {"1.5 * 10^9", [](auto& m) { return m.update_memory(1500000000, 0); }, true, AlertType::HighMemoryUsage,
       "Memory usage: 1500.00MB", 1.5e9, 1e9},
      {"one byte over", [](auto& m) { return m.update_memory(1000000001, 0); }, true,
       AlertType::HighMemoryUsage, "Memory usage: 1000.00MB", 1000000001.0, 1e9},
      {"only the peak is high", [](auto& m) { return m.update_memory(0, 5000000000); }, false, {}, "", 0, 0},
  };
  for (const auto& c : cases) expect_rule(c);
}

TEST(PerformanceMonitor, CacheRuleFiresBelowThirtyPercentAndNeverOnNaN) {
  const RuleCase cases[] = {
      {"exactly 0.3", [](auto& m) { return m.update_cache_stats(0.3); }, false, {}, "", 0, 0},
      {"0.25", [](auto& m) { return m.update_cache_stats(0.25); }, true, AlertType::LowCacheHitRate,
       "Cache hit rate: 25.00%", 0.25, 0.3},
      {"zero", [](auto& m) { return m.update_cache_stats(0.0); }, true, AlertType::LowCacheHitRate,
       "Cache hit rate: 0.00%", 0.0, 0.3},
      {"minus infinity", [](auto& m) { return m.update_cache_stats(-kInf); }, true, AlertType::LowCacheHitRate,
       "Cache hit rate: -inf%", -kInf, 0.3},
      {"NaN", [](auto& m) { return m.update_cache_stats(kNaN); }, false, {}, "", 0, 0},
      {"above one is not clamped", [](auto& m) { return m.update_cache_stats(1.5); }, false, {}, "", 0, 0},
  };
  for (const auto& c : cases) expect_rule(c);
}

TEST(PerformanceMonitor, ErrorOnFreshMonitorIsAnInfiniteRate) {
  const RuleCase c{"first error", [](auto& m) { return m.record_error(); }, true, AlertType::HighErrorRate,
                   "Error rate: inf%", kInf, 0.05};
  expect_rule(c);
}

TEST(PerformanceMonitor, ErrorRateRuleFiresOnlyAboveFivePercentOfOperations) {
  PerformanceMonitor monitor;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(monitor.record_read(1, 1.0).ok());
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(monitor.record_write(1, 1.0).ok());

  ASSERT_TRUE(monitor.record_error().ok());  // 1 / 20 = 0.05
  EXPECT_TRUE(alerts_of(monitor).empty());

  ASSERT_TRUE(monitor.record_error().ok());  // 2 / 20 = 0.1
  const auto alerts = alerts_of(monitor);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].alert_type, AlertType::HighErrorRate);
  EXPECT_EQ(alerts[0].message, "Error rate: 10.00%");
  EXPECT_EQ(alerts[0].metric_value, 0.1);
  EXPECT_EQ(alerts[0].threshold, 0.05);
  EXPECT_EQ(metrics_of(monitor).total_errors, 2u);
}

TEST(PerformanceMonitor, PeakIsTheLargerOfTheReportedPairOnly) {
  struct Case {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    std::uint64_t current, peak;
  };
  const Case cases[] = {
      {{{1000000000, 0}}, 1000000000, 1000000000},
      {{{100, 50}, {10, 20}}, 10, 20},  // the earlier peak of 100 is forgotten
      {{{5, 500}}, 5, 500},
      {{{kMaxU64, 0}}, kMaxU64, kMaxU64},
  };
  for (const auto& c : cases) {
    PerformanceMonitor monitor;
    for (const auto& [current, peak] : c.reports) ASSERT_TRUE(monitor.update_memory(current, peak).ok());
    const DruxMetrics m = metrics_of(monitor);
    EXPECT_EQ(m.current_memory_bytes, c.current);
    EXPECT_EQ(m.peak_memory_bytes, c.peak);
  }
}

TEST(PerformanceMonitor, CompressionRatioIsTheLatestPercentageSaved) {
  struct Step {
    std::uint64_t original, compressed;
    double ratio;
  };
  const Step steps[] = {{1000, 250, 75.0}, {100, 150, -50.0}, {0, 10, -kInf}, {400, 400, 0.0}};
  PerformanceMonitor monitor;
  for (const auto& s : steps) {
    ASSERT_TRUE(monitor.record_compression(s.original, s.compressed).ok());
    EXPECT_EQ(metrics_of(monitor).compression_ratio, s.ratio) << s.original << " -> " << s.compressed;
  }
  ASSERT_TRUE(monitor.record_compression(0, 0).ok());
  EXPECT_TRUE(std::isnan(metrics_of(monitor).compression_ratio));
}

TEST(PerformanceMonitor, RowAndColumnCountsAccumulateAndCacheRateIsStoredAsGiven) {
  PerformanceMonitor monitor;
  ASSERT_TRUE(monitor.record_rows_columns(65536, 3).ok());
  ASSERT_TRUE(monitor.record_rows_columns(10, 3).ok());
  ASSERT_TRUE(monitor.update_cache_stats(kNaN).ok());
  const DruxMetrics m = metrics_of(monitor);
  EXPECT_EQ(m.rows_processed, 65546u);
  EXPECT_EQ(m.columns_processed, 6u);
  EXPECT_TRUE(std::isnan(m.cache_hit_rate));
}

TEST(PerformanceMonitor, PersistingConditionAlertsEveryTimeAndClearingLeavesMetrics) {
  PerformanceMonitor monitor;
  ASSERT_TRUE(monitor.record_read(1, 2000.0).ok());
  ASSERT_TRUE(monitor.update_cache_stats(0.1).ok());
  ASSERT_TRUE(monitor.record_read(1, 3000.0).ok());
  const auto alerts = alerts_of(monitor);
  ASSERT_EQ(alerts.size(), 3u);
  // Oldest first, in the order the triggering updates were applied.
  EXPECT_EQ(alerts[0].message, "Read operation took 2000.00ms");
  EXPECT_EQ(alerts[1].alert_type, AlertType::LowCacheHitRate);
  EXPECT_EQ(alerts[2].message, "Read operation took 3000.00ms");

  const DruxMetrics before = metrics_of(monitor);
  ASSERT_TRUE(monitor.clear_alerts().ok());
  EXPECT_TRUE(alerts_of(monitor).empty());
  const DruxMetrics after = metrics_of(monitor);
  EXPECT_EQ(after.read_operations, before.read_operations);
  EXPECT_EQ(after.avg_read_latency_ms, before.avg_read_latency_ms);
  EXPECT_EQ(after.cache_hit_rate, before.cache_hit_rate);

  ASSERT_TRUE(monitor.update_cache_stats(0.1).ok());
  EXPECT_EQ(alerts_of(monitor).size(), 1u);
}

TEST(PerformanceMonitor, AlertTypeNamesAreTheVariantNames) {
  const std::pair<AlertType, const char*> cases[] = {
      {AlertType::HighLatency, "HighLatency"},         {AlertType::LowThroughput, "LowThroughput"},
      {AlertType::HighMemoryUsage, "HighMemoryUsage"}, {AlertType::HighErrorRate, "HighErrorRate"},
      {AlertType::LowCacheHitRate, "LowCacheHitRate"},
  };
  for (const auto& [type, name] : cases) EXPECT_EQ(alert_type_name(type), name);
}

bool is_internal_error(const Status& status) {
  return !status.ok() && status.error().rfind("internal error: ", 0) == 0;
}

TEST(PerformanceMonitor, InterruptedMetricsUpdatePoisonsEveryLaterMetricsOperation) {
  PerformanceMonitor monitor;
  ASSERT_TRUE(monitor.update_cache_stats(0.1).ok());  // one alert
  EXPECT_TRUE(is_internal_error(monitor.poison_metrics_for_testing()));

  const std::pair<const char*, std::function<Status(PerformanceMonitor&)>> operations[] = {
      {"record_read", [](auto& m) { return m.record_read(1, 1.0); }},
      {"record_write", [](auto& m) { return m.record_write(1, 1.0); }},
      {"record_error", [](auto& m) { return m.record_error(); }},
      {"record_compression", [](auto& m) { return m.record_compression(2, 1); }},
      {"record_rows_columns", [](auto& m) { return m.record_rows_columns(1, 1); }},
      {"update_memory", [](auto& m) { return m.update_memory(1, 1); }},
      {"update_cache_stats", [](auto& m) { return m.update_cache_stats(0.1); }},
  };
  for (const auto& [name, operation] : operations) {
    EXPECT_TRUE(is_internal_error(operation(monitor))) << name;
  }
  const auto metrics = monitor.get_metrics();
  ASSERT_FALSE(metrics.ok());
  EXPECT_EQ(metrics.error().rfind("internal error: ", 0), 0u);
  EXPECT_FALSE(monitor.export_json().ok());
  EXPECT_FALSE(monitor.export_prometheus().ok());

  // The alert list is a separate part and stays usable.
  EXPECT_EQ(alerts_of(monitor).size(), 1u);
  EXPECT_TRUE(monitor.clear_alerts().ok());
}

TEST(PerformanceMonitor, InterruptedAlertsUpdatePoisonsTheAlertListOnly) {
  PerformanceMonitor monitor;
  EXPECT_TRUE(is_internal_error(monitor.poison_alerts_for_testing()));

  EXPECT_FALSE(monitor.get_alerts().ok());
  EXPECT_TRUE(is_internal_error(monitor.clear_alerts()));
  // A rule that fires needs the alert list; one that does not, does not.
  EXPECT_TRUE(is_internal_error(monitor.record_read(1, 5000.0)));
  EXPECT_TRUE(monitor.record_read(1, 5.0).ok());
  const DruxMetrics m = metrics_of(monitor);
  EXPECT_EQ(m.read_operations, 2u);
  EXPECT_TRUE(monitor.export_json().ok());
}

TEST(PerformanceMonitor, ConcurrentRecordingLosesNoUpdateAndSnapshotsAreConsistent) {
  constexpr int kWriters = 4;
  constexpr int kReaders = 2;
  constexpr std::uint64_t kRounds = 20000;
  // Alerts read the clock and zone under the C library's own lock, which
  // would serialise the writers; fire them only now and then.
  constexpr std::uint64_t kAlertEvery = 100;
  PerformanceMonitor monitor;
  std::atomic<bool> done{false};
  std::atomic<int> inconsistent{0};
  std::atomic<int> failures{0};
  std::latch start(kWriters + kReaders);

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (std::uint64_t i = 0; i < kRounds; ++i) {
        const bool alert = i % kAlertEvery == 0;
        const bool ok = monitor.record_read(3, 1.0).ok() && monitor.record_write(5, 2.0).ok() &&
                        monitor.record_rows_columns(1, 2).ok() && monitor.update_cache_stats(alert ? 0.1 : 0.5).ok() &&
                        (!alert || monitor.record_error().ok());
        if (!ok) failures.fetch_add(1);
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      while (!done.load()) {
        const auto m = monitor.get_metrics();
        if (!m.ok() || !monitor.export_json().ok() || !monitor.export_prometheus().ok() ||
            !monitor.get_alerts().ok()) {
          failures.fetch_add(1);
          continue;
        }
        // Each field pair is updated under one lock, so a snapshot never
        // sees one half of an update.
        if (m->total_bytes_read != 3 * m->read_operations || m->columns_processed != 2 * m->rows_processed) {
          inconsistent.fetch_add(1);
        }
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[static_cast<std::size_t>(w)].join();
  done.store(true);
  for (std::size_t t = kWriters; t < threads.size(); ++t) threads[t].join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(inconsistent.load(), 0);
  const std::uint64_t total = kWriters * kRounds;
  const DruxMetrics m = metrics_of(monitor);
  EXPECT_EQ(m.read_operations, total);
  EXPECT_EQ(m.write_operations, total);
  EXPECT_EQ(m.total_bytes_read, 3 * total);
  EXPECT_EQ(m.total_bytes_written, 5 * total);
  EXPECT_EQ(m.total_errors, total / kAlertEvery);
  EXPECT_EQ(m.rows_processed, total);
  EXPECT_EQ(m.columns_processed, 2 * total);
  EXPECT_EQ(m.avg_read_latency_ms, 1.0);
  EXPECT_EQ(m.avg_write_latency_ms, 2.0);

  std::uint64_t cache_alerts = 0;
  for (const auto& alert : alerts_of(monitor)) {
    if (alert.alert_type == AlertType::LowCacheHitRate) ++cache_alerts;
  }
  EXPECT_EQ(cache_alerts, total / kAlertEvery);
}

}  // namespace
}  // namespace drux
