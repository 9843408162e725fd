// Portable arithmetic kernels and run-time choice of the SIMD ones. Compiled with -ffp-contract=off so
// that no multiply-add is fused: the distances must round exactly like the kd-tree's.
#include "engines/outlier_kernels.hpp"

#include <cmath>

namespace nimbrel_arm_util::detail {

#if defined(__x86_64__) && defined(NIMBREL_HAVE_AVX2_KERNELS)
OutlierKernels avx2OutlierKernels();
#endif

namespace {

void squaredDistancesGeneric(float qx, float qy, float qz, const float* x, const float* y, const float* z,
                             std::size_t n, float* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const float dx = qx - x[i];
    const float dy = qy - y[i];
    const float dz = qz - z[i];
    out[i] = dx * dx + dy * dy + dz * dz;
  }
}

std::size_t distancesWithinGeneric(float qx, float qy, float qz, const float* x, const float* y,
                                   const float* z, std::size_t n, float bound, float* out) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const float dx = qx - x[i];
    const float dy = qy - y[i];
    const float dz = qz - z[i];
    const float d = dx * dx + dy * dy + dz * dz;
    // Written unconditionally and kept by advancing the count: no branch to mispredict.
    out[kept] = d;
    kept += d <= bound;
  }
  return kept;
}

std::size_t valuesInRangeGeneric(const float* v, std::size_t n, float lo, float hi, float* out) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    out[kept] = v[i];
    kept += static_cast<std::size_t>((v[i] > lo) & (v[i] <= hi));
  }
  return kept;
}

std::size_t countAtMostGeneric(const float* v, std::size_t n, float t) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += v[i] <= t;
  return count;
}

void countAtMostEachGeneric(const float* v, std::size_t n, const float t[8], std::size_t counts[8]) {
  for (int j = 0; j < 8; ++j) counts[j] = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (int j = 0; j < 8; ++j) counts[j] += v[i] <= t[j];
  }
}

double sqrtSumBelowGeneric(const float* v, std::size_t n, float t, std::size_t* below) {
  // Four running sums let the square roots overlap; the caller checks that the order cannot matter.
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool in = v[i] < t;
    s[i & 3] += in ? std::sqrt(static_cast<double>(v[i])) : 0.0;
    count += in;
  }
  *below = count;
  return (s[0] + s[1]) + (s[2] + s[3]);
}

OutlierKernels chooseKernels() {
#if defined(__x86_64__) && defined(NIMBREL_HAVE_AVX2_KERNELS)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return avx2OutlierKernels();
#endif
  return genericOutlierKernels();
}

}  // namespace

OutlierKernels genericOutlierKernels() {
  return {squaredDistancesGeneric, distancesWithinGeneric, countAtMostGeneric, countAtMostEachGeneric,
          valuesInRangeGeneric,    sqrtSumBelowGeneric,    "generic"};
}

const OutlierKernels& bestOutlierKernels() {
  static const OutlierKernels kernels = chooseKernels();
  return kernels;
}

}  // namespace nimbrel_arm_util::detail
