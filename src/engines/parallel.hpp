// Every OpenMP use of the library, in one place (not installed): how many threads a call may take, the
// sizes below which a pass stays on one thread, and the loops that share their work. Without OpenMP every
// loop runs in order on the calling thread. Results never depend on the thread count: each loop writes
// only its own items, and the passes that keep the items' order count per slice first, then write each
// slice at its running offset.
//
// Threads per call: a library call that runs a parallel pass holds a ThreadBudget for its duration. The
// process counts the calls holding one; a call asking for threads gets max(1, omp_get_max_threads() /
// calls holding a budget, itself included), fixed from then on, so that several callers at once (executor
// callbacks, say) share the machine instead of each starting a full team. A call made from inside an
// OpenMP parallel region runs on one thread, and a budget made while the same thread already holds one
// (a step calling another) takes the outer one's threads without being counted again.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

#ifdef NIMBREL_WITH_OPENMP
#include <omp.h>
#endif

namespace nimbrel_arm_util::detail {

// Below these sizes starting threads costs more than they save.
constexpr std::size_t kMinPointsPerSlice = 16384;   // voxel grid: bounds, indices, sort bins
constexpr std::size_t kMinVoxelsPerSlice = 4096;    // voxel grid: the voxels' means
constexpr std::size_t kMinCroppedPerSlice = 65536;  // the frame's crop pass
constexpr std::size_t kMinGridPoints = 32768;       // outlier search: the cells of the grid's points
constexpr std::size_t kMinNearTestPoints = 16384;   // near-surface removal
constexpr long kNearTestChunk = 4096;               // near-surface removal: points per chunk
constexpr std::size_t kMinDepthPixels = 64 * 1024;  // depth image conversion

/// Threads for the parallel passes of one library call (see the top of this file).
class ThreadBudget {
 public:
  ThreadBudget() : outer_(held()) {
    if (outer_ == nullptr) held() = this;
  }
  ~ThreadBudget() {
    if (counted_) running().fetch_sub(1, std::memory_order_relaxed);
    if (outer_ == nullptr) held() = nullptr;
  }
  ThreadBudget(const ThreadBudget&) = delete;
  ThreadBudget& operator=(const ThreadBudget&) = delete;

  /// The threads granted to this call: 1 without OpenMP or inside a parallel region.
  int threads() {
    if (outer_ != nullptr) return outer_->threads();
    if (granted_ == 0) {
#ifdef NIMBREL_WITH_OPENMP
      if (omp_in_parallel()) {
        granted_ = 1;
      } else {
        const int calls = running().fetch_add(1, std::memory_order_relaxed) + 1;
        counted_ = true;
        granted_ = std::max(1, omp_get_max_threads() / calls);
      }
#else
      granted_ = 1;
#endif
    }
    return granted_;
  }
  /// Threads for a loop over n items: all granted ones from `minItems` items on, else 1.
  int team(std::size_t n, std::size_t minItems) { return n >= minItems ? threads() : 1; }
  /// Slices for a pass over n items: one per granted thread, but none shorter than `minPerSlice`, and at
  /// least one. Asks for threads only when there are items for two slices.
  int slices(std::size_t n, std::size_t minPerSlice) {
    const std::size_t fit = n / std::max<std::size_t>(minPerSlice, 1);
    if (fit < 2) return 1;
    return static_cast<int>(std::min(fit, static_cast<std::size_t>(threads())));
  }

  /// Calls of this process holding threads now.
  static int callsRunning() { return running().load(std::memory_order_relaxed); }

 private:
  static std::atomic<int>& running() {
    static std::atomic<int> calls{0};
    return calls;
  }
  static ThreadBudget*& held() {
    thread_local ThreadBudget* budget = nullptr;
    return budget;
  }

  ThreadBudget* outer_;
  int granted_ = 0;
  bool counted_ = false;
};

/// Start of the k-th of `parts` consecutive slices of [0, n) (k == parts gives n).
inline std::size_t sliceStart(std::size_t n, int parts, int k) {
  return n * static_cast<std::size_t>(k) / static_cast<std::size_t>(parts);
}

/// Runs fn(k, begin, end) for each of the `parts` slices of [0, n), one slice per thread.
template <typename Fn>
void forSlices(std::size_t n, int parts, Fn&& fn) {
#ifdef NIMBREL_WITH_OPENMP
#pragma omp parallel for schedule(static, 1) num_threads(parts) if (parts > 1)
#endif
  for (int k = 0; k < parts; ++k) fn(k, sliceStart(n, parts, k), sliceStart(n, parts, k + 1));
}

/// Runs fn(i) for every i in [0, count) on `threads` threads, each taking an even block of the items (or,
/// with a positive `chunk`, chunks of that many in turn).
template <typename Fn>
void forEachStatic(long count, int threads, long chunk, Fn&& fn) {
#ifdef NIMBREL_WITH_OPENMP
  if (threads > 1 && chunk > 0) {
#pragma omp parallel for schedule(static, chunk) num_threads(threads)
    for (long i = 0; i < count; ++i) fn(i);
    return;
  }
  if (threads > 1) {
#pragma omp parallel for schedule(static) num_threads(threads)
    for (long i = 0; i < count; ++i) fn(i);
    return;
  }
#else
  (void)threads;
  (void)chunk;
#endif
  for (long i = 0; i < count; ++i) fn(i);
}

/// Runs fn(state, i) for every i in [0, count) on states.size() threads, thread t working with states[t]
/// only (scratch space, results to merge afterwards); items are handed out in chunks of `chunk` as threads
/// come free. One thread takes the items in order with states[0].
template <typename State, typename Fn>
void forEachDynamic(long count, std::vector<State>& states, int chunk, Fn&& fn) {
#ifdef NIMBREL_WITH_OPENMP
  const int threads = static_cast<int>(states.size());
  if (threads > 1) {
#pragma omp parallel num_threads(threads)
    {
      State& state = states[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for schedule(dynamic, chunk)
      for (long i = 0; i < count; ++i) fn(state, i);
    }
    return;
  }
#else
  (void)chunk;
#endif
  for (long i = 0; i < count; ++i) fn(states[0], i);
}

}  // namespace nimbrel_arm_util::detail
