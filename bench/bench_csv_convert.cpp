// Times one whole CSV conversion through drux::compress_csv and prints the
// figures: CSV throughput, output size and the process's peak resident set.
// bench/bench_compress_csv.py runs it as a child process (--driver) when the
// Python module is not built.
//
//     bench_csv_convert IN.csv OUT.drux
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "python_bindings/csv_converter.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s IN.csv OUT.drux\n", argv[0]);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const auto result = drux::compress_csv(argv[1], argv[2]);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!result) {
    std::fprintf(stderr, "conversion failed: %s\n", result.error().c_str());
    return 1;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double mb = static_cast<double>(result->csv_size) / 1e6;
  std::printf("csv_bytes=%llu drux_bytes=%llu saved=%.1f%% seconds=%.3f csv_MB_per_s=%.1f peak_rss_MiB=%.1f\n",
              static_cast<unsigned long long>(result->csv_size), static_cast<unsigned long long>(result->drux_size),
              result->compression_ratio, seconds, mb / seconds, static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
