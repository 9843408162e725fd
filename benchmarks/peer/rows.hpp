// Naming and registration of side-by-side rows. A row is named "<operation>/<input>/<side>", side being
// "ours" or "peer"; benchmarks/peer_table.py pairs the two sides of a row by the first two parts. Every row
// reports process CPU time, so that work a library hands to its own threads is counted too.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <string>
#include <utility>

namespace nimbrel_bench {

template <class Fn>
benchmark::internal::Benchmark* row(const std::string& operation, const std::string& input, const char* side,
                                    Fn&& fn) {
  const std::string name = operation + "/" + input + "/" + side;
  return benchmark::RegisterBenchmark(name.c_str(), std::forward<Fn>(fn))
      ->Unit(benchmark::kMillisecond)
      ->MeasureProcessCPUTime();
}

// Keeps the result of an operation alive and opaque to the optimiser.
template <class T>
void keep(T&& value) {
  benchmark::DoNotOptimize(value);
  benchmark::ClobberMemory();
}

// CPU time of the whole process in milliseconds, for splitting a row's time by step.
inline double processCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

}  // namespace nimbrel_bench
