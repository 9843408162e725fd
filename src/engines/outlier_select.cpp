// Selection and summation shared by the grid and the tree search: the take-th smallest squared distance
// among a query's candidates, and the mean of the take smallest square roots, rounded as the ascending
// sum rounds. Compiled with -ffp-contract=off.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "engines/outlier_search.hpp"

namespace nimbrel_arm_util::detail::outlier {

namespace {

// The selection below counts until at most this many values remain to be ordered.
constexpr std::size_t kFewValues = 8;

}  // namespace

// Finds the take-th smallest squared distance from q to the candidates of s (the multiset of the `take`
// smallest is then everything below it plus enough copies of it). Comparison-based selection mispredicts
// a branch at nearly every step; this one only counts. The distances within `bound` (widened until it
// holds `take`) are kept, and the interval holding the answer is narrowed by counting until only a few
// values in it are left to order.
float kthSmallest(const Context& ctx, const float q[3], Scratch& s, float bound, std::size_t& kept) {
  const std::size_t m = s.size;
  const std::size_t take = ctx.take;
  float* d = s.kept.data();
  if (!(bound > 0.0f)) bound = std::numeric_limits<float>::infinity();
  // A guess that falls short is widened a little first and then ever faster.
  for (float widen = 1.6f;; widen *= widen) {
    kept = ctx.kernels.distancesWithin(q[0], q[1], q[2], s.x.data(), s.y.data(), s.z.data(), m, bound, d);
    if (kept >= take) break;
    bound = bound < std::numeric_limits<float>::max() / widen ? bound * widen
                                                              : std::numeric_limits<float>::infinity();
  }
  // Invariant: count(<= lo) < take <= count(<= hi). Probes interpolate between the counts (distances
  // on a surface spread about evenly in their squares); every third probe halves the bit pattern range,
  // so the search ends even on skewed data. It stops once few values lie in (lo, hi].
  std::size_t countLo = ctx.kernels.countAtMost(d, kept, 0.0f);
  if (countLo >= take) return 0.0f;
  float lo = 0.0f;
  float hi = bound;
  std::size_t countHi = kept;
  // One pass first with eight thresholds close around the interpolated estimate: neighbouring order
  // statistics lie a few percent apart, so the answer is usually bracketed between two of them.
  if (countHi - countLo > kFewValues && hi < std::numeric_limits<float>::max()) {
    static constexpr double kSpread[8] = {-0.12, -0.06, -0.03, -0.01, 0.01, 0.03, 0.06, 0.12};
    const double share = (static_cast<double>(take - countLo) - 0.5) / static_cast<double>(countHi - countLo);
    const double estimate = lo + (static_cast<double>(hi) - lo) * share;
    float t[8];
    for (int j = 0; j < 8; ++j) {
      t[j] = std::clamp(static_cast<float>(estimate * (1.0 + kSpread[j])), lo, hi);
    }
    std::size_t counts[8];
    ctx.kernels.countAtMostEach(d, kept, t, counts);
    for (int j = 0; j < 8; ++j) {
      if (counts[j] >= take) {
        if (t[j] < hi) {
          hi = t[j];
          countHi = counts[j];
        }
        break;
      }
      if (t[j] > lo) {
        lo = t[j];
        countLo = counts[j];
      }
    }
  }
  for (int probe = 0; countHi - countLo > kFewValues; ++probe) {
    std::uint32_t loBits, hiBits;
    std::memcpy(&loBits, &lo, sizeof lo);
    std::memcpy(&hiBits, &hi, sizeof hi);
    if (hiBits - loBits <= 1) break;  // (lo, hi] holds one value only
    float t;
    if (probe % 3 != 2 && hi < std::numeric_limits<float>::max()) {
      const double share =
          (static_cast<double>(take - countLo) - 0.5) / static_cast<double>(countHi - countLo);
      t = static_cast<float>(lo + (static_cast<double>(hi) - lo) * share);
    } else {
      const std::uint32_t mid = loBits + (hiBits - loBits) / 2;
      std::memcpy(&t, &mid, sizeof t);
    }
    if (!(t > lo && t < hi)) {
      const std::uint32_t mid = loBits + (hiBits - loBits) / 2;
      std::memcpy(&t, &mid, sizeof t);
    }
    const std::size_t count = ctx.kernels.countAtMost(d, kept, t);
    if (count >= take) {
      hi = t;
      countHi = count;
    } else {
      lo = t;
      countLo = count;
    }
  }
  // The answer is the (take - countLo)-th smallest of the few values in (lo, hi].
  float* few = s.few.data();
  const std::size_t n = ctx.kernels.valuesInRange(d, kept, lo, hi, few);
  const std::size_t rank = take - countLo - 1;
  std::nth_element(few, few + rank, few + n);
  return few[rank];
}

// Mean of the square roots of the `take` smallest distances: those below kth, then kth as often as it
// takes. The float result must equal the library's ascending-order double sum divided by meanK; any two
// summation orders of n non-negative terms differ by at most 2(n-1)u of the sum, so when the float
// rounding cannot tell them apart the fast sum stands, and otherwise the sum is redone in ascending order.
float meanOfRoots(const Context& ctx, Scratch& s, std::size_t kept, float kth) {
  const std::size_t take = ctx.take;
  const float* d = s.kept.data();
  std::size_t below = 0;
  double sum;
  if (kept > take + take / 4 && kth > 0.0f) {
    // Roots only of the values below kth: gather them first.
    const std::size_t n = ctx.kernels.valuesInRange(d, kept, -1.0f, std::nextafter(kth, 0.0f), s.few.data());
    sum = ctx.kernels.sqrtSumBelow(s.few.data(), n, std::numeric_limits<float>::infinity(), &below);
  } else {
    sum = ctx.kernels.sqrtSumBelow(d, kept, kth, &below);
  }
  const double root = std::sqrt(static_cast<double>(kth));
  for (std::size_t i = below; i < take; ++i) sum += root;
  const double meanK = ctx.meanK;
  const float mean = static_cast<float>(sum / meanK);
  const double slack = 4.0 * static_cast<double>(take + 1) * std::numeric_limits<double>::epsilon();
  if (static_cast<float>(sum * (1.0 - slack) / meanK) == mean &&
      static_cast<float>(sum * (1.0 + slack) / meanK) == mean) {
    return mean;
  }
  std::vector<float> smallest;
  smallest.reserve(take);
  for (std::size_t i = 0; i < kept; ++i) {
    if (d[i] < kth) smallest.push_back(d[i]);
  }
  smallest.resize(take, kth);
  std::sort(smallest.begin(), smallest.end());
  double ordered = 0.0;
  for (const float v : smallest) ordered += std::sqrt(static_cast<double>(v));
  return static_cast<float>(ordered / meanK);
}

}  // namespace nimbrel_arm_util::detail::outlier
