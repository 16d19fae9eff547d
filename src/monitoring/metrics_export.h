// The monitor's text exports: the 19-line metrics JSON document, the
// 10-line Prometheus text and (declared beside the monitor) the compact
// alert array. All are pure functions of a copy of the records.
//
// Deliberately not here: locking; the caller hands a copy taken under the
// monitor's mutexes.
#pragma once

#include <string>
#include <string_view>

#include "monitoring/performance_monitor.h"

namespace drux {

std::string metrics_to_json(const DruxMetrics& metrics);
std::string metrics_to_prometheus(const DruxMetrics& metrics);

// A JSON string literal: quotation mark, reverse solidus and the control
// characters escaped, every other byte (UTF-8 included) as it is.
void append_json_string(std::string& out, std::string_view text);

}  // namespace drux
