"""The performance monitor fed by real conversions, and served through a prometheus_client collector.

The monitor's totals must equal the sizes of the files on disk and the
counts of the conversion's result; the collector is scraped through a
real HTTP endpoint.
Deliberately not here: the monitor's rules and texts on their own
(test_monitor.py, tests/cpp/performance_monitor_test.cpp).
"""

import threading
import urllib.request

import pytest

import drux
import drux_fileformat

prometheus_client = pytest.importorskip("prometheus_client")
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

from drux.prometheus import MonitorCollector  # noqa: E402


def table_csv(path, rows, columns=3):
    lines = [",".join(f"c{i}" for i in range(columns))]
    lines += [",".join(f"{r * columns + i}" for i in range(columns)) for r in range(rows)]
    path.write_text("\n".join(lines) + "\n\n")
    return path


def test_a_monitored_conversion_leaves_totals_that_match_the_files(tmp_path):
    csv_path = table_csv(tmp_path / "in.csv", 2 * 65536 + 10, columns=4)
    monitor = drux_fileformat.PyPerformanceMonitor()
    result = drux.convert_csv(csv_path, tmp_path / "out.drux", jobs=2, monitor=monitor)
    m = monitor.get_metrics_dict()
    assert m["total_bytes_read"] == csv_path.stat().st_size == result.csv_size
    assert m["total_bytes_written"] == (tmp_path / "out.drux").stat().st_size == result.drux_size
    # Reads: the header line, then three chunks (the blank last line is read with the third).
    # Writes: everything before the first block, three chunks, the footer and trailer.
    assert m["read_operations"] == 4 and m["write_operations"] == 5
    assert (m["rows_processed"], m["columns_processed"]) == (2 * 65536 + 10, 4)
    assert m["compression_ratio"] == pytest.approx(result.saved_percent)
    assert 0 < m["current_memory_bytes"] <= m["peak_memory_bytes"]
    assert m["avg_read_latency_ms"] > 0 and m["avg_write_latency_ms"] > 0
    assert m["total_errors"] == 0


@pytest.mark.parametrize("make_input", [
    lambda tmp: (tmp / "missing.csv", OSError),
    lambda tmp: ((tmp / "bad.csv").write_bytes(b"a\n1\n\xff\n") and tmp / "bad.csv", OSError),
    lambda tmp: ((tmp / "empty.csv").write_bytes(b"") or tmp / "empty.csv", ValueError),
])
def test_a_failing_conversion_counts_one_error(tmp_path, make_input):
    csv_path, kind = make_input(tmp_path)
    monitor = drux_fileformat.PyPerformanceMonitor()
    with pytest.raises(kind):
        drux.convert_csv(csv_path, tmp_path / "out.drux", monitor=monitor)
    assert monitor.get_metrics_dict()["total_errors"] == 1


def test_eight_threads_converting_into_one_monitor_keep_exact_totals(tmp_path):
    inputs = [table_csv(tmp_path / f"in{i}.csv", 20000 + 997 * i) for i in range(8)]
    monitor = drux_fileformat.PyPerformanceMonitor()
    results = [None] * len(inputs)

    def convert(i):
        results[i] = drux.convert_csv(inputs[i], tmp_path / f"out{i}.drux", jobs=2, monitor=monitor)

    threads = [threading.Thread(target=convert, args=(i,)) for i in range(len(inputs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    m = monitor.get_metrics_dict()
    assert m["total_bytes_read"] == sum(r.csv_size for r in results)
    assert m["total_bytes_written"] == sum(r.drux_size for r in results)
    assert m["rows_processed"] == sum(r.rows for r in results)
    assert m["read_operations"] == sum(r.chunks + 1 for r in results)  # the header line, then each chunk
    assert m["write_operations"] == sum(r.chunks + 2 for r in results)  # the preamble, each chunk, the footer


def fed_monitor():
    monitor = drux_fileformat.PyPerformanceMonitor()
    monitor.record_read(2_000_000, 500.0)
    monitor.record_write(1_000_000, 250.0)
    monitor.record_compression(1000, 300)
    monitor.record_rows_columns(42, 3)
    monitor.update_memory(10_000, 20_000)
    monitor.update_cache_stats(0.1)
    monitor.record_error()
    return monitor


EXPECTED = {
    ("drux_bytes_read", "counter"): 2_000_000,
    ("drux_bytes_written", "counter"): 1_000_000,
    ("drux_read_operations", "counter"): 1,
    ("drux_write_operations", "counter"): 1,
    ("drux_rows_processed", "counter"): 42,
    ("drux_columns_processed", "counter"): 3,
    ("drux_errors", "counter"): 1,
    ("drux_read_latency_average_seconds", "gauge"): 0.5,
    ("drux_write_latency_average_seconds", "gauge"): 0.25,
    ("drux_read_throughput_bytes_per_second", "gauge"): 4_000_000,
    ("drux_compression_saved_ratio", "gauge"): 0.7,
    ("drux_memory_current_bytes", "gauge"): 10_000,
    ("drux_memory_peak_bytes", "gauge"): 20_000,
    ("drux_cache_hit_ratio", "gauge"): 0.1,
}


def parsed(text):
    families = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            families[(sample.name, family.type, tuple(sorted(sample.labels.items())))] = sample.value
    return families


def check_exposition(text):
    samples = parsed(text)
    for (name, kind), value in EXPECTED.items():
        sample_name = name + "_total" if kind == "counter" else name
        assert samples[(sample_name, kind, ())] == pytest.approx(value), name
    assert samples[("drux_alerts", "gauge", (("type", "LowCacheHitRate"),))] == 1
    assert samples[("drux_alerts", "gauge", (("type", "HighLatency"),))] == 0
    assert "# HELP drux_bytes_read_total Bytes read by monitored operations." in text
    assert "# TYPE drux_bytes_read_total counter" in text


def test_the_collector_gives_the_monitor_values_with_their_types():
    registry = prometheus_client.CollectorRegistry()
    registry.register(MonitorCollector(fed_monitor()))
    check_exposition(prometheus_client.generate_latest(registry).decode())


def test_a_real_scrape_of_a_metrics_endpoint_returns_them():
    registry = prometheus_client.CollectorRegistry()
    registry.register(MonitorCollector(fed_monitor()))
    server, thread = prometheus_client.start_http_server(0, addr="127.0.0.1", registry=registry)
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{server.server_port}/metrics", timeout=10) as response:
            check_exposition(response.read().decode())
    finally:
        server.shutdown()
        server.server_close()
        thread.join(timeout=10)


def test_namespace_prefixes_every_name_and_must_be_a_valid_name():
    registry = prometheus_client.CollectorRegistry()
    registry.register(MonitorCollector(fed_monitor(), namespace="etl"))
    names = {name for name, _, _ in parsed(prometheus_client.generate_latest(registry).decode())}
    assert names and all(name.startswith("etl_") for name in names)
    for bad in ("", "9lives", "with-dash"):
        with pytest.raises(ValueError, match="namespace"):
            MonitorCollector(fed_monitor(), namespace=bad)


def test_a_monitored_write_arrow_matches_the_file(tmp_path):
    pa = pytest.importorskip("pyarrow")
    table = pa.table({"n": list(range(10_000)), "s": [f"v{i % 13}" for i in range(10_000)]})
    monitor = drux_fileformat.PyPerformanceMonitor()
    drux.write_arrow(tmp_path / "out.drux", table, chunk_rows=4096, monitor=monitor)
    m = monitor.get_metrics_dict()
    assert m["total_bytes_written"] == (tmp_path / "out.drux").stat().st_size
    assert m["write_operations"] == 5  # before the first block, three chunks, the footer
    assert (m["rows_processed"], m["columns_processed"]) == (10_000, 2)
    reader = drux._native.Reader(str(tmp_path / "out.drux"))
    payloads = sum(reader.payload_size(c, k) for c in range(3) for k in range(2))
    assert m["total_bytes_read"] == 0  # the input was memory, not a read
    assert m["compression_ratio"] == pytest.approx((1 - m["total_bytes_written"] / payloads) * 100)
    with pytest.raises(ValueError):
        drux.write_arrow(tmp_path / "bad.drux", pa.table({"x": [1, None]}), monitor=monitor)
    assert monitor.get_metrics_dict()["total_errors"] == 1


def test_a_monitored_write_table_matches_the_file(tmp_path):
    monitor = drux_fileformat.PyPerformanceMonitor()
    drux.write_table(tmp_path / "out.drux", {"n": list(range(3000)), "s": ["x"] * 3000}, chunk_rows=1000,
                     monitor=monitor)
    m = monitor.get_metrics_dict()
    assert m["total_bytes_written"] == (tmp_path / "out.drux").stat().st_size
    assert (m["write_operations"], m["rows_processed"], m["columns_processed"]) == (5, 3000, 2)
    with pytest.raises(TypeError):
        drux.write_table(tmp_path / "bad.drux", {"n": [1, "two"]}, types={"n": "int"}, monitor=monitor)
    assert monitor.get_metrics_dict()["total_errors"] == 1


def test_a_monitored_scan_records_what_its_helper_read(tmp_path):
    pytest.importorskip("pyarrow")
    csv_path = table_csv(tmp_path / "in.csv", 70_000)
    drux.convert_csv(csv_path, tmp_path / "out.drux", jobs=2)
    monitor = drux_fileformat.PyPerformanceMonitor()
    scan = drux.scan(tmp_path / "out.drux", columns=["c0", "c2"], monitor=monitor)
    table = scan.to_arrow()
    m = monitor.get_metrics_dict()
    assert m["total_bytes_read"] == scan.stats["bytes_read"] > 0
    assert (m["read_operations"], m["rows_processed"], m["columns_processed"]) == (1, table.num_rows, 2)
    broken = tmp_path / "broken.drux"
    data = bytearray((tmp_path / "out.drux").read_bytes())
    data[200:260] = bytes(60)  # inside the first column block: its CRC no longer matches
    broken.write_bytes(bytes(data))
    with pytest.raises((drux.DruxError, OSError)):
        drux.scan(broken, monitor=monitor).to_arrow()
    assert monitor.get_metrics_dict()["total_errors"] == 1
