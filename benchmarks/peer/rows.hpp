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

// Splits a frame row's process CPU time over the steps of the road: start() before the first step, lap()
// after each of them; report() gives each step's mean per iteration as the counters "<step>_ms".
class FrameSteps {
 public:
  static constexpr int kSteps = 5;

  void start() {
    last_ = processCpuMs();
    step_ = 0;
  }

  void lap() {
    const double now = processCpuMs();
    spent_[step_++] += now - last_;
    last_ = now;
  }

  void report(benchmark::State& state) const {
    static const char* const names[kSteps] = {"depth_ms", "clean_ms", "transform_ms", "boxes_ms", "mesh_ms"};
    for (int k = 0; k < kSteps; ++k)
      state.counters[names[k]] = spent_[k] / static_cast<double>(state.iterations());
  }

 private:
  double spent_[kSteps] = {0, 0, 0, 0, 0};
  double last_ = 0;
  int step_ = 0;
};

}  // namespace nimbrel_bench
