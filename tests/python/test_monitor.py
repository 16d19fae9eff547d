"""PyPerformanceMonitor from Python: the metrics dictionary, the alert array,
the JSON and Prometheus texts, and use from several threads.

Tables of recordings give the expected dictionary and alerts, and the
Prometheus text must parse with prometheus_client's own parser.
Deliberately not here: the texts byte for byte
(tests/cpp/metrics_export_test.cpp) and a monitor fed by conversions
(test_monitor_bridge.py).
"""

import json
import math
import threading
from datetime import datetime

import pytest
from prometheus_client.parser import text_string_to_metric_families

import drux_fileformat as d

DICT_KEYS = [
    "total_bytes_read",
    "total_bytes_written",
    "read_operations",
    "write_operations",
    "avg_read_latency_ms",
    "avg_write_latency_ms",
    "read_throughput_mbps",
    "write_throughput_mbps",
    "compression_ratio",
    "current_memory_bytes",
    "peak_memory_bytes",
    "rows_processed",
    "columns_processed",
    "cache_hit_rate",
    "active_operations",
    "total_errors",
    "timestamp",
]

FLOAT_KEYS = {
    "avg_read_latency_ms",
    "avg_write_latency_ms",
    "read_throughput_mbps",
    "write_throughput_mbps",
    "compression_ratio",
    "cache_hit_rate",
}

PROMETHEUS_NAMES = [
    "drux_total_bytes_read_total",
    "drux_total_bytes_written_total",
    "drux_read_operations_total",
    "drux_write_operations_total",
    "drux_avg_read_latency_ms",
    "drux_avg_write_latency_ms",
    "drux_compression_ratio_percent",
    "drux_current_memory_bytes",
    "drux_cache_hit_rate",
    "drux_total_errors",
]


def parse_time(text):
    parsed = datetime.fromisoformat(text)
    assert parsed.tzinfo is not None, text
    return parsed


def prometheus_samples(text):
    return {
        sample.name: sample.value
        for family in text_string_to_metric_families(text)
        for sample in family.samples
    }


def test_fresh_metrics_dict_is_zero_and_stamped_now():
    before = datetime.now().astimezone()
    metrics = d.PyPerformanceMonitor().get_metrics_dict()
    after = datetime.now().astimezone()
    assert list(metrics) == DICT_KEYS
    for key in DICT_KEYS[:-1]:
        expected_type = float if key in FLOAT_KEYS else int
        assert type(metrics[key]) is expected_type, key
        assert metrics[key] == 0, key
    stamp = parse_time(metrics["timestamp"])
    assert before.replace(microsecond=0) <= stamp <= after


def test_timestamp_is_the_creation_time_and_never_changes():
    monitor = d.PyPerformanceMonitor()
    stamp = monitor.get_metrics_dict()["timestamp"]
    monitor.record_read(1, 1.0)
    monitor.record_error()
    assert monitor.get_metrics_dict()["timestamp"] == stamp
    assert f'  "timestamp": "{stamp}"' in monitor.get_metrics().split("\n")


# (calls, expected dict entries afterwards)
RECORDINGS = [
    ([("record_read", (4096, 12.5))],
     {"total_bytes_read": 4096, "read_operations": 1, "avg_read_latency_ms": 12.5}),
    ([("record_read", (1, 10.0)), ("record_read", (1, 20.0))],
     {"read_operations": 2, "avg_read_latency_ms": 15.0, "write_operations": 0}),
    ([("record_write", (100, 4.0)), ("record_write", (300, 8.0))],
     {"total_bytes_written": 400, "write_operations": 2, "avg_write_latency_ms": 6.0,
      "read_operations": 0}),
    ([("record_read", (2_000_000, 500.0))], {"read_throughput_mbps": 4.0}),
    ([("record_read", (2_000_000, 500.0)), ("record_read", (2_000_000, 500.0))],
     {"read_throughput_mbps": 8.0}),
    ([("record_write", (3_000_000, 1500.0))], {"write_throughput_mbps": 2.0}),
    ([("record_compression", (1000, 250))], {"compression_ratio": 75.0}),
    ([("record_compression", (1000, 250)), ("record_compression", (100, 150))],
     {"compression_ratio": -50.0}),
    ([("record_compression", (0, 10))], {"compression_ratio": -math.inf}),
    ([("record_rows_columns", (10, 3)), ("record_rows_columns", (5, 3))],
     {"rows_processed": 15, "columns_processed": 6}),
    ([("update_memory", (100, 50)), ("update_memory", (10, 20))],
     {"current_memory_bytes": 10, "peak_memory_bytes": 20}),
    ([("update_cache_stats", (0.9,))], {"cache_hit_rate": 0.9}),
    ([("record_error", ()), ("record_error", ())], {"total_errors": 2, "active_operations": 0}),
    ([("record_read", (2**64 - 1, 1.0))], {"total_bytes_read": 2**64 - 1}),
]


@pytest.mark.parametrize("calls, expected", RECORDINGS,
                         ids=["+".join(name for name, _ in c) + f"-{i}"
                              for i, (c, _) in enumerate(RECORDINGS)])
def test_recordings_update_the_metrics_dict(calls, expected):
    monitor = d.PyPerformanceMonitor()
    for name, args in calls:
        assert getattr(monitor, name)(*args) is None
    metrics = monitor.get_metrics_dict()
    for key, value in expected.items():
        assert metrics[key] == value, key


def test_keyword_and_positional_recording_agree():
    by_position = d.PyPerformanceMonitor()
    by_keyword = d.PyPerformanceMonitor()
    by_position.record_read(4096, 12.5)
    by_keyword.record_read(bytes=4096, duration_ms=12.5)
    by_position.update_memory(7, 9)
    by_keyword.update_memory(peak=9, current=7)
    by_position.record_compression(10, 4)
    by_keyword.record_compression(compressed_bytes=4, original_bytes=10)
    first = by_position.get_metrics_dict()
    second = by_keyword.get_metrics_dict()
    del first["timestamp"], second["timestamp"]
    assert first == second
    assert first["current_memory_bytes"] == 7 and first["peak_memory_bytes"] == 9


def alerts(monitor):
    return json.loads(monitor.get_alerts())


# (call, alert type, message, metric value, threshold)
ALERTS = [
    (("update_cache_stats", (0.1,)), "LowCacheHitRate", "Cache hit rate: 10.00%", 0.1, 0.3),
    (("record_read", (1, 1000.5)), "HighLatency", "Read operation took 1000.50ms", 1000.5, 1000.0),
    (("update_memory", (1_500_000_000, 0)), "HighMemoryUsage", "Memory usage: 1500.00MB",
     1.5e9, 1e9),
    (("record_error", ()), "HighErrorRate", "Error rate: inf%", None, 0.05),
]


@pytest.mark.parametrize("call, kind, message, value, threshold", ALERTS,
                         ids=[a[1] for a in ALERTS])
def test_rule_breaking_call_appends_one_alert(call, kind, message, value, threshold):
    monitor = d.PyPerformanceMonitor()
    assert monitor.get_alerts() == "[]"
    before = datetime.now().astimezone().replace(microsecond=0)
    name, args = call
    getattr(monitor, name)(*args)
    (alert,) = alerts(monitor)
    assert list(alert) == ["alert_type", "message", "timestamp", "metric_value", "threshold"]
    assert alert["alert_type"] == kind
    assert alert["message"] == message
    assert alert["metric_value"] == value
    assert alert["threshold"] == threshold
    assert before <= parse_time(alert["timestamp"]) <= datetime.now().astimezone()


@pytest.mark.parametrize("name, args", [
    ("update_cache_stats", (0.3,)),
    ("update_cache_stats", (math.nan,)),
    ("record_read", (1, 1000.0)),
    ("record_write", (1, 1e9)),
    ("update_memory", (1_000_000_000, 0)),
], ids=["cache-at-threshold", "cache-nan", "read-at-threshold", "slow-write", "memory-at-limit"])
def test_values_within_the_rules_raise_no_alert(name, args):
    monitor = d.PyPerformanceMonitor()
    getattr(monitor, name)(*args)
    assert monitor.get_alerts() == "[]"


def test_clear_alerts_empties_the_list_and_keeps_metrics():
    monitor = d.PyPerformanceMonitor()
    for _ in range(3):
        monitor.update_cache_stats(0.25)
    assert [a["alert_type"] for a in alerts(monitor)] == ["LowCacheHitRate"] * 3
    metrics = monitor.get_metrics_dict()
    assert monitor.clear_alerts() is None
    assert monitor.get_alerts() == "[]"
    assert monitor.get_metrics_dict() == metrics


def test_get_metrics_is_the_nineteen_line_json_document():
    monitor = d.PyPerformanceMonitor()
    monitor.record_read(2_000_000, 500.0)
    monitor.update_memory(5, 6)
    text = monitor.get_metrics()
    assert type(text) is str
    lines = text.split("\n")
    assert len(lines) == 19 and lines[0] == "{" and lines[-1] == "}"
    assert lines[5] == '  "avg_read_latency_ms": 500.00,'
    assert lines[7] == '  "read_throughput_mbps": 4.00,'
    assert lines[15] == '  "active_operations": 0,'
    document = json.loads(text)
    assert list(document) == [
        key for key in DICT_KEYS[:9] + ["peak_memory_bytes", "current_memory_bytes"]
        + DICT_KEYS[11:]
    ]
    metrics = monitor.get_metrics_dict()
    assert {key: metrics[key] for key in document} == document


def test_non_finite_values_reach_python_and_the_texts():
    monitor = d.PyPerformanceMonitor()
    monitor.record_compression(0, 10)
    monitor.record_read(0, 0.0)
    metrics = monitor.get_metrics_dict()
    assert metrics["compression_ratio"] == -math.inf
    assert math.isnan(metrics["read_throughput_mbps"])
    lines = monitor.get_metrics().split("\n")
    assert lines[7] == '  "read_throughput_mbps": NaN,'
    assert lines[9] == '  "compression_ratio": -inf,'
    assert "drux_compression_ratio_percent {} -inf\n" in monitor.export_prometheus()


def test_export_prometheus_parses_as_exposition_text():
    monitor = d.PyPerformanceMonitor()
    monitor.record_read(2**64 - 1, 3.0)
    monitor.record_write(10, 2.0)
    monitor.update_memory(1234, 5678)
    monitor.update_cache_stats(0.5)
    monitor.record_error()
    text = monitor.export_prometheus()
    assert text.endswith("\n") and text.count("\n") == 10
    assert text.split("\n")[0] == "drux_total_bytes_read_total {} 18446744073709551615"
    samples = prometheus_samples(text)
    assert list(samples) == PROMETHEUS_NAMES
    assert samples == {
        "drux_total_bytes_read_total": 2**64 - 1,
        "drux_total_bytes_written_total": 10.0,
        "drux_read_operations_total": 1.0,
        "drux_write_operations_total": 1.0,
        "drux_avg_read_latency_ms": 3.0,
        "drux_avg_write_latency_ms": 2.0,
        "drux_compression_ratio_percent": 0.0,
        "drux_current_memory_bytes": 1234.0,
        "drux_cache_hit_rate": 0.5,
        "drux_total_errors": 1.0,
    }


def test_fresh_prometheus_text_is_all_zero():
    samples = prometheus_samples(d.PyPerformanceMonitor().export_prometheus())
    assert list(samples) == PROMETHEUS_NAMES
    assert set(samples.values()) == {0.0}


def test_monitors_are_independent():
    first = d.PyPerformanceMonitor()
    second = d.PyPerformanceMonitor()
    first.record_read(5, 1.0)
    first.update_cache_stats(0.0)
    assert second.get_metrics_dict()["read_operations"] == 0
    assert second.get_alerts() == "[]"


def test_concurrent_recording_and_export_keep_exact_counts():
    monitor = d.PyPerformanceMonitor()
    writers, rounds = 6, 2000
    stop = threading.Event()
    failures = []

    def record():
        for _ in range(rounds):
            monitor.record_read(3, 2.0)
            monitor.record_write(5, 4.0)
            monitor.record_rows_columns(1, 2)
            monitor.update_cache_stats(0.1)

    def export():
        while not stop.is_set():
            try:
                document = json.loads(monitor.get_metrics())
                samples = prometheus_samples(monitor.export_prometheus())
                json.loads(monitor.get_alerts())
                # Each text is one snapshot: totals agree with their counts.
                if document["total_bytes_read"] != 3 * document["read_operations"]:
                    failures.append(document)
                if samples["drux_total_bytes_written_total"] != 5 * samples[
                        "drux_write_operations_total"]:
                    failures.append(samples)
            except Exception as exc:  # reported below, not swallowed
                failures.append(exc)

    readers = [threading.Thread(target=export) for _ in range(2)]
    recorders = [threading.Thread(target=record) for _ in range(writers)]
    for thread in readers + recorders:
        thread.start()
    for thread in recorders:
        thread.join()
    stop.set()
    for thread in readers:
        thread.join()

    assert failures == []
    total = writers * rounds
    metrics = monitor.get_metrics_dict()
    assert metrics["read_operations"] == metrics["write_operations"] == total
    assert metrics["total_bytes_read"] == 3 * total
    assert metrics["total_bytes_written"] == 5 * total
    assert metrics["rows_processed"] == total and metrics["columns_processed"] == 2 * total
    assert metrics["avg_read_latency_ms"] == 2.0 and metrics["avg_write_latency_ms"] == 4.0
    assert len(alerts(monitor)) == total
