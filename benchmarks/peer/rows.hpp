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

// Wall-clock time in milliseconds.
inline double wallMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

// Splits a frame row's time over the steps of the road: start() before the first step, lap() after each of
// them; report() gives each step's mean per iteration as the counters "<step>_ms" (process CPU, which
// counts every thread's work, and their waiting) and "<step>_wall_ms" (what the frame waits for).
class FrameSteps {
 public:
  static constexpr int kSteps = 5;

  void start() {
    lastCpu_ = processCpuMs();
    lastWall_ = wallMs();
    step_ = 0;
  }

  void lap() {
    const double cpu = processCpuMs();
    const double wall = wallMs();
    cpu_[step_] += cpu - lastCpu_;
    wall_[step_++] += wall - lastWall_;
    lastCpu_ = cpu;
    lastWall_ = wall;
  }

  void report(benchmark::State& state) const {
    static const char* const names[kSteps] = {"depth", "clean", "transform", "boxes", "mesh"};
    const double n = static_cast<double>(state.iterations());
    for (int k = 0; k < kSteps; ++k) {
      state.counters[std::string(names[k]) + "_ms"] = cpu_[k] / n;
      state.counters[std::string(names[k]) + "_wall_ms"] = wall_[k] / n;
    }
  }

 private:
  double cpu_[kSteps] = {0, 0, 0, 0, 0};
  double wall_[kSteps] = {0, 0, 0, 0, 0};
  double lastCpu_ = 0;
  double lastWall_ = 0;
  int step_ = 0;
};

}  // namespace nimbrel_bench
