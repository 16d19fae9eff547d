"""The performance monitor on a Prometheus ``/metrics`` endpoint.

``MonitorCollector`` is a ``prometheus_client`` custom collector: registered
with a registry, it reads one consistent snapshot of a
``drux_fileformat.PyPerformanceMonitor`` at each scrape and yields metric
families with HELP and TYPE, following Prometheus naming (base units:
bytes and seconds; counters end in ``_total``). prometheus_client is an
optional dependency, imported when a collector is made.

    from prometheus_client import REGISTRY, start_http_server
    REGISTRY.register(MonitorCollector(monitor))
    start_http_server(8000, addr="127.0.0.1")

The monitor's own ``export_prometheus`` text stays as it is; this is the
form a client library serves. Deliberately not here: an HTTP server of our
own or push gateways; prometheus_client serves and pushes.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from typing import Any

# (metric name, kind, help, value from the metrics dict)
_METRICS: tuple[tuple[str, str, str, Any], ...] = (
    ("bytes_read", "counter", "Bytes read by monitored operations.", lambda m: m["total_bytes_read"]),
    ("bytes_written", "counter", "Bytes written by monitored operations.", lambda m: m["total_bytes_written"]),
    ("read_operations", "counter", "Read operations recorded.", lambda m: m["read_operations"]),
    ("write_operations", "counter", "Write operations recorded.", lambda m: m["write_operations"]),
    ("rows_processed", "counter", "Rows processed.", lambda m: m["rows_processed"]),
    ("columns_processed", "counter", "Columns processed.", lambda m: m["columns_processed"]),
    ("errors", "counter", "Operations that failed.", lambda m: m["total_errors"]),
    ("read_latency_average_seconds", "gauge", "Mean duration of one read.",
     lambda m: m["avg_read_latency_ms"] / 1000.0),
    ("write_latency_average_seconds", "gauge", "Mean duration of one write.",
     lambda m: m["avg_write_latency_ms"] / 1000.0),
    ("read_throughput_bytes_per_second", "gauge", "Bytes read over the mean duration of one read.",
     lambda m: m["read_throughput_mbps"] * 1e6),
    ("write_throughput_bytes_per_second", "gauge", "Bytes written over the mean duration of one write.",
     lambda m: m["write_throughput_mbps"] * 1e6),
    ("compression_saved_ratio", "gauge", "Share of the input saved by the last compression recorded (0 to 1).",
     lambda m: m["compression_ratio"] / 100.0),
    ("memory_current_bytes", "gauge", "Resident memory last reported.", lambda m: m["current_memory_bytes"]),
    ("memory_peak_bytes", "gauge", "Peak resident memory reported.", lambda m: m["peak_memory_bytes"]),
    ("cache_hit_ratio", "gauge", "Cache hit rate last reported (0 to 1).", lambda m: m["cache_hit_rate"]),
    ("active_operations", "gauge", "Operations in progress.", lambda m: m["active_operations"]),
)


class MonitorCollector:
    """A prometheus_client collector of one monitor's figures, under ``namespace``."""

    def __init__(self, monitor: Any, namespace: str = "drux") -> None:
        from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

        if not namespace or not (namespace[0].isalpha() or namespace[0] == "_") or not all(
                ch.isalnum() or ch == "_" for ch in namespace):
            raise ValueError(f"namespace must match [a-zA-Z_][a-zA-Z0-9_]*, not {namespace!r}")
        self._monitor = monitor
        self._namespace = namespace
        self._families = {"counter": CounterMetricFamily, "gauge": GaugeMetricFamily}

    def collect(self) -> Iterator[Any]:
        metrics = self._monitor.get_metrics_dict()  # one consistent snapshot
        for name, kind, help_text, value in _METRICS:
            family = self._families[kind](f"{self._namespace}_{name}", help_text)
            family.add_metric([], float(value(metrics)))
            yield family
        alerts = self._families["gauge"](f"{self._namespace}_alerts", "Alerts raised and not cleared, by type.",
                                         labels=["type"])
        counts: dict[str, int] = {}
        for alert in json.loads(self._monitor.get_alerts() or "[]"):
            counts[alert["alert_type"]] = counts.get(alert["alert_type"], 0) + 1
        for alert_type in ("HighLatency", "LowThroughput", "HighMemoryUsage", "HighErrorRate", "LowCacheHitRate"):
            alerts.add_metric([alert_type], float(counts.get(alert_type, 0)))
        yield alerts

    def describe(self) -> Iterator[Any]:
        """The families without values, so registering does not take a snapshot."""
        for name, kind, help_text, _ in _METRICS:
            yield self._families[kind](f"{self._namespace}_{name}", help_text)
        yield self._families["gauge"](f"{self._namespace}_alerts", "Alerts raised and not cleared, by type.",
                                      labels=["type"])
