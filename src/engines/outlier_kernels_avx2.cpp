// AVX2 arithmetic kernels, compiled with -mavx2 and -ffp-contract=off (and without -mfma): the products
// and sums round one by one, exactly like the portable kernels. Only called after a CPU check.
#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "engines/outlier_kernels.hpp"

namespace nimbrel_arm_util::detail {

namespace {

void squaredDistancesAvx2(float qx, float qy, float qz, const float* x, const float* y, const float* z,
                          std::size_t n, float* out) {
  const __m256 vx = _mm256_set1_ps(qx);
  const __m256 vy = _mm256_set1_ps(qy);
  const __m256 vz = _mm256_set1_ps(qz);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 dx = _mm256_sub_ps(vx, _mm256_loadu_ps(x + i));
    const __m256 dy = _mm256_sub_ps(vy, _mm256_loadu_ps(y + i));
    const __m256 dz = _mm256_sub_ps(vz, _mm256_loadu_ps(z + i));
    const __m256 xy = _mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy));
    _mm256_storeu_ps(out + i, _mm256_add_ps(xy, _mm256_mul_ps(dz, dz)));
  }
  for (; i < n; ++i) {
    const float dx = qx - x[i];
    const float dy = qy - y[i];
    const float dz = qz - z[i];
    out[i] = dx * dx + dy * dy + dz * dz;
  }
}

// Lane permutations that move the lanes selected by an 8-bit mask to the front, for every mask.
struct CompressTable {
  alignas(32) std::int32_t lanes[256][8];
  CompressTable() {
    for (int mask = 0; mask < 256; ++mask) {
      int k = 0;
      for (int lane = 0; lane < 8; ++lane) {
        if (mask & (1 << lane)) lanes[mask][k++] = lane;
      }
      while (k < 8) lanes[mask][k++] = 0;
    }
  }
};
const CompressTable kCompress;

std::size_t distancesWithinAvx2(float qx, float qy, float qz, const float* x, const float* y, const float* z,
                                std::size_t n, float bound, float* out) {
  const __m256 vx = _mm256_set1_ps(qx);
  const __m256 vy = _mm256_set1_ps(qy);
  const __m256 vz = _mm256_set1_ps(qz);
  const __m256 vb = _mm256_set1_ps(bound);
  std::size_t kept = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 dx = _mm256_sub_ps(vx, _mm256_loadu_ps(x + i));
    const __m256 dy = _mm256_sub_ps(vy, _mm256_loadu_ps(y + i));
    const __m256 dz = _mm256_sub_ps(vz, _mm256_loadu_ps(z + i));
    const __m256 xy = _mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy));
    const __m256 d = _mm256_add_ps(xy, _mm256_mul_ps(dz, dz));
    const int mask = _mm256_movemask_ps(_mm256_cmp_ps(d, vb, _CMP_LE_OQ));
    const __m256i perm = _mm256_load_si256(reinterpret_cast<const __m256i*>(kCompress.lanes[mask]));
    // All eight lanes are stored; only the selected ones, now at the front, are counted.
    _mm256_storeu_ps(out + kept, _mm256_permutevar8x32_ps(d, perm));
    kept += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
  }
  for (; i < n; ++i) {
    const float dx = qx - x[i];
    const float dy = qy - y[i];
    const float dz = qz - z[i];
    const float d = dx * dx + dy * dy + dz * dz;
    out[kept] = d;
    kept += d <= bound;
  }
  return kept;
}

std::size_t valuesInRangeAvx2(const float* v, std::size_t n, float lo, float hi, float* out) {
  const __m256 vlo = _mm256_set1_ps(lo);
  const __m256 vhi = _mm256_set1_ps(hi);
  std::size_t kept = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(v + i);
    const __m256 in = _mm256_and_ps(_mm256_cmp_ps(x, vlo, _CMP_GT_OQ), _mm256_cmp_ps(x, vhi, _CMP_LE_OQ));
    const int mask = _mm256_movemask_ps(in);
    const __m256i perm = _mm256_load_si256(reinterpret_cast<const __m256i*>(kCompress.lanes[mask]));
    _mm256_storeu_ps(out + kept, _mm256_permutevar8x32_ps(x, perm));
    kept += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
  }
  for (; i < n; ++i) {
    out[kept] = v[i];
    kept += static_cast<std::size_t>((v[i] > lo) & (v[i] <= hi));
  }
  return kept;
}

std::size_t countAtMostAvx2(const float* v, std::size_t n, float t) {
  const __m256 vt = _mm256_set1_ps(t);
  __m256i acc = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    // A true comparison is all ones, that is -1: subtracting it counts.
    acc = _mm256_sub_epi32(acc, _mm256_castps_si256(_mm256_cmp_ps(_mm256_loadu_ps(v + i), vt, _CMP_LE_OQ)));
  }
  alignas(32) std::int32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
  std::size_t count = 0;
  for (const std::int32_t c : lanes) count += static_cast<std::size_t>(c);
  for (; i < n; ++i) count += v[i] <= t;
  return count;
}

void countAtMostEachAvx2(const float* v, std::size_t n, const float t[8], std::size_t counts[8]) {
  const __m256 vt = _mm256_loadu_ps(t);
  __m256i a0 = _mm256_setzero_si256();
  __m256i a1 = _mm256_setzero_si256();
  std::size_t i = 0;
  // Each value against all eight thresholds; two accumulators keep the additions independent.
  for (; i + 2 <= n; i += 2) {
    a0 = _mm256_sub_epi32(a0, _mm256_castps_si256(_mm256_cmp_ps(_mm256_broadcast_ss(v + i), vt, _CMP_LE_OQ)));
    a1 = _mm256_sub_epi32(a1,
                          _mm256_castps_si256(_mm256_cmp_ps(_mm256_broadcast_ss(v + i + 1), vt, _CMP_LE_OQ)));
  }
  if (i < n) {
    a0 = _mm256_sub_epi32(a0, _mm256_castps_si256(_mm256_cmp_ps(_mm256_broadcast_ss(v + i), vt, _CMP_LE_OQ)));
  }
  alignas(32) std::int32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi32(a0, a1));
  for (int j = 0; j < 8; ++j) counts[j] = static_cast<std::size_t>(lanes[j]);
}

double sqrtSumBelowAvx2(const float* v, std::size_t n, float t, std::size_t* below) {
  const __m128 vt = _mm_set1_ps(t);
  __m256d a0 = _mm256_setzero_pd();
  __m256d a1 = _mm256_setzero_pd();
  std::size_t count = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128 lo = _mm_loadu_ps(v + i);
    const __m128 hi = _mm_loadu_ps(v + i + 4);
    const __m128 mlo = _mm_cmplt_ps(lo, vt);
    const __m128 mhi = _mm_cmplt_ps(hi, vt);
    // Values not below t become 0, whose root adds nothing.
    a0 = _mm256_add_pd(a0, _mm256_sqrt_pd(_mm256_cvtps_pd(_mm_and_ps(lo, mlo))));
    a1 = _mm256_add_pd(a1, _mm256_sqrt_pd(_mm256_cvtps_pd(_mm_and_ps(hi, mhi))));
    count += static_cast<std::size_t>(
        __builtin_popcount(static_cast<unsigned>(_mm_movemask_ps(mlo) | (_mm_movemask_ps(mhi) << 4))));
  }
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, _mm256_add_pd(a0, a1));
  double s = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
  for (; i < n; ++i) {
    if (v[i] < t) {
      s += std::sqrt(static_cast<double>(v[i]));
      ++count;
    }
  }
  *below = count;
  return s;
}

}  // namespace

OutlierKernels avx2OutlierKernels() {
  return {squaredDistancesAvx2, distancesWithinAvx2, countAtMostAvx2, countAtMostEachAvx2,
          valuesInRangeAvx2,    sqrtSumBelowAvx2,    "avx2"};
}

}  // namespace nimbrel_arm_util::detail
