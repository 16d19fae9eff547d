// Each text is laid out as a sequence of append calls in line order, so a
// reader can hold it beside the format's table line by line.
//
// Deliberately not here: any parsing of these texts back.
#include "monitoring/metrics_export.h"

#include <charconv>
#include <cstdint>

#include "monitoring/number_format.h"

namespace drux {
namespace {

constexpr double kBytesPerMegabyte = 1'000'000.0;
constexpr double kMillisPerSecond = 1000.0;

// Room for the fixed text of each export, so appends rarely reallocate.
constexpr std::size_t kJsonCapacity = 640;
constexpr std::size_t kPrometheusCapacity = 400;
constexpr std::size_t kAlertCapacity = 192;

void append_unsigned(std::string& out, std::uint64_t value) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

double throughput_mbps(std::uint64_t bytes, std::uint64_t operations, double avg_latency_ms) {
  if (operations == 0) return 0.0;
  return (static_cast<double>(bytes) / kBytesPerMegabyte) / (avg_latency_ms / kMillisPerSecond);
}

// One JSON document entry: two spaces, key, colon and space, then the value.
void json_key(std::string& out, std::string_view key) {
  out += "  \"";
  out += key;
  out += "\": ";
}

void json_unsigned(std::string& out, std::string_view key, std::uint64_t value) {
  json_key(out, key);
  append_unsigned(out, value);
  out += ",\n";
}

void json_f2(std::string& out, std::string_view key, double value) {
  json_key(out, key);
  append_f2(out, value);
  out += ",\n";
}

// One Prometheus sample: name, an empty label set, the value.
void prom_name(std::string& out, std::string_view name) {
  out += name;
  out += " {} ";
}

void prom_unsigned(std::string& out, std::string_view name, std::uint64_t value) {
  prom_name(out, name);
  append_unsigned(out, value);
  out += '\n';
}

void prom_f2(std::string& out, std::string_view name, double value) {
  prom_name(out, name);
  append_f2(out, value);
  out += '\n';
}

void append_alert(std::string& out, const AlertEvent& alert) {
  out += "{\"alert_type\":";
  append_json_string(out, alert_type_name(alert.alert_type));
  out += ",\"message\":";
  append_json_string(out, alert.message);
  out += ",\"timestamp\":";
  append_json_string(out, alert.timestamp);
  out += ",\"metric_value\":";
  append_json_number(out, alert.metric_value);
  out += ",\"threshold\":";
  append_json_number(out, alert.threshold);
  out += '}';
}

}  // namespace

double read_throughput_mbps(const DruxMetrics& metrics) {
  return throughput_mbps(metrics.total_bytes_read, metrics.read_operations, metrics.avg_read_latency_ms);
}

double write_throughput_mbps(const DruxMetrics& metrics) {
  return throughput_mbps(metrics.total_bytes_written, metrics.write_operations, metrics.avg_write_latency_ms);
}

std::string metrics_to_json(const DruxMetrics& m) {
  std::string out;
  out.reserve(kJsonCapacity + m.timestamp.size());
  out += "{\n";
  json_unsigned(out, "total_bytes_read", m.total_bytes_read);
  json_unsigned(out, "total_bytes_written", m.total_bytes_written);
  json_unsigned(out, "read_operations", m.read_operations);
  json_unsigned(out, "write_operations", m.write_operations);
  json_f2(out, "avg_read_latency_ms", m.avg_read_latency_ms);
  json_f2(out, "avg_write_latency_ms", m.avg_write_latency_ms);
  json_f2(out, "read_throughput_mbps", read_throughput_mbps(m));
  json_f2(out, "write_throughput_mbps", write_throughput_mbps(m));
  json_f2(out, "compression_ratio", m.compression_ratio);
  json_unsigned(out, "peak_memory_bytes", m.peak_memory_bytes);
  json_unsigned(out, "current_memory_bytes", m.current_memory_bytes);
  json_unsigned(out, "rows_processed", m.rows_processed);
  json_unsigned(out, "columns_processed", m.columns_processed);
  json_f2(out, "cache_hit_rate", m.cache_hit_rate);
  json_unsigned(out, "active_operations", m.active_operations);
  json_unsigned(out, "total_errors", m.total_errors);
  // The timestamp is our own RFC 3339 text, which needs no escaping.
  json_key(out, "timestamp");
  out += '"';
  out += m.timestamp;
  out += "\"\n}";
  return out;
}

std::string metrics_to_prometheus(const DruxMetrics& m) {
  std::string out;
  out.reserve(kPrometheusCapacity);
  prom_unsigned(out, "drux_total_bytes_read_total", m.total_bytes_read);
  prom_unsigned(out, "drux_total_bytes_written_total", m.total_bytes_written);
  prom_unsigned(out, "drux_read_operations_total", m.read_operations);
  prom_unsigned(out, "drux_write_operations_total", m.write_operations);
  prom_f2(out, "drux_avg_read_latency_ms", m.avg_read_latency_ms);
  prom_f2(out, "drux_avg_write_latency_ms", m.avg_write_latency_ms);
  prom_f2(out, "drux_compression_ratio_percent", m.compression_ratio);
  prom_unsigned(out, "drux_current_memory_bytes", m.current_memory_bytes);
  prom_f2(out, "drux_cache_hit_rate", m.cache_hit_rate);
  prom_unsigned(out, "drux_total_errors", m.total_errors);
  return out;
}

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHexDigits[byte >> 4];
          out += kHexDigits[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string alerts_to_json(std::span<const AlertEvent> alerts) {
  std::string out;
  out.reserve(2 + alerts.size() * kAlertCapacity);
  out += '[';
  for (std::size_t i = 0; i < alerts.size(); ++i) {
    if (i != 0) out += ',';
    append_alert(out, alerts[i]);
  }
  out += ']';
  return out;
}

}  // namespace drux
