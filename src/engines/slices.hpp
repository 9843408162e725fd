// A pass over n items cut into consecutive slices, run one slice per OpenMP thread when the library is built
// with them (not installed). Passes that must keep the items' order count per slice first, then write each
// slice at its running offset.
#pragma once

#include <algorithm>
#include <cstddef>

#ifdef NIMBREL_WITH_OPENMP
#include <omp.h>
#endif

namespace nimbrel_arm_util::detail {

/// Threads a parallel region may use: 1 without OpenMP.
inline int sliceThreads() {
#ifdef NIMBREL_WITH_OPENMP
  return std::max(1, omp_get_max_threads());
#else
  return 1;
#endif
}

/// Slices for a pass over n items: one per thread, but none shorter than `minPerSlice` (starting threads
/// costs more than a short slice saves), and at least one.
inline int sliceCount(std::size_t n, std::size_t minPerSlice) {
  const std::size_t fit = n / std::max<std::size_t>(minPerSlice, 1);
  return static_cast<int>(std::clamp<std::size_t>(fit, 1, static_cast<std::size_t>(sliceThreads())));
}

/// Start of the k-th of `parts` consecutive slices of [0, n) (k == parts gives n).
inline std::size_t sliceStart(std::size_t n, int parts, int k) {
  return n * static_cast<std::size_t>(k) / static_cast<std::size_t>(parts);
}

/// Runs fn(k, begin, end) for each of the `parts` slices of [0, n), on threads when there are several.
template <typename Fn>
void forSlices(std::size_t n, int parts, Fn&& fn) {
#ifdef NIMBREL_WITH_OPENMP
#pragma omp parallel for schedule(static, 1) num_threads(parts) if (parts > 1)
#endif
  for (int k = 0; k < parts; ++k) fn(k, sliceStart(n, parts, k), sliceStart(n, parts, k + 1));
}

}  // namespace nimbrel_arm_util::detail
