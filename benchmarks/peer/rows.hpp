// Naming and registration of side-by-side rows. A row is named "<operation>/<input>/<side>", side being
// "ours" or "peer"; benchmarks/peer_table.py pairs the two sides of a row by the first two parts. Every row
// reports process CPU time, so that work a library hands to its own threads is counted too.
#pragma once

#include <benchmark/benchmark.h>

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

}  // namespace nimbrel_bench
