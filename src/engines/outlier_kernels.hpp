// Arithmetic kernels of the statistical outlier removal (not installed). No PCL in here: the SIMD variants
// are compiled with extra instruction sets, which must never reach code that shares Eigen objects with the
// prebuilt point-cloud library.
#pragma once

#include <cstddef>

namespace nimbrel_arm_util::detail {

/// Squared distances from (qx, qy, qz) to n points given as three coordinate arrays, in float: the three
/// squared differences are added x, then y, then z, each rounded on its own (no fused multiply-add), as
/// the point-cloud library's kd-tree computes them.
using SquaredDistancesFn = void (*)(float qx, float qy, float qz, const float* x, const float* y,
                                    const float* z, std::size_t n, float* out);

/// The same squared distances, of which only those at most `bound` are written to `out` (in their order);
/// returns how many. `out` must have room for n + 8 values.
using DistancesWithinFn = std::size_t (*)(float qx, float qy, float qz, const float* x, const float* y,
                                          const float* z, std::size_t n, float bound, float* out);

/// Writes the values of v[0..n) that lie in (lo, hi] to `out` (in their order) and returns how many;
/// `out` must have room for n + 8 values.
using ValuesInRangeFn = std::size_t (*)(const float* v, std::size_t n, float lo, float hi, float* out);

/// How many of v[0..n) are at most t.
using CountAtMostFn = std::size_t (*)(const float* v, std::size_t n, float t);

/// counts[j] = how many of v[0..n) are at most t[j], for eight thresholds at once.
using CountAtMostEachFn = void (*)(const float* v, std::size_t n, const float t[8], std::size_t counts[8]);

/// Sum of sqrt(double(v[i])) over the v[i] below t, in double and in no particular order; `below`
/// receives their number.
using SqrtSumBelowFn = double (*)(const float* v, std::size_t n, float t, std::size_t* below);

struct OutlierKernels {
  SquaredDistancesFn squaredDistances;
  DistancesWithinFn distancesWithin;
  CountAtMostFn countAtMost;
  CountAtMostEachFn countAtMostEach;
  ValuesInRangeFn valuesInRange;
  SqrtSumBelowFn sqrtSumBelow;
  const char* name;
};

/// Portable kernels, exact on every target.
OutlierKernels genericOutlierKernels();
/// The fastest kernels this CPU supports (chosen once at run time).
const OutlierKernels& bestOutlierKernels();

}  // namespace nimbrel_arm_util::detail
