// Voxel-grid down-sampling with the point-cloud library's exact result, in fewer and parallel passes.
// Compiled with -ffp-contract=off.
//
// The library's filter finds the bounding box, gives every point the index of its voxel, sorts the
// (index, point) pairs with a radix sort that is not stable, and averages each run of equal indices in the
// sorted order. Float sums depend on their order, so the same sort has to run here on the same pairs: it
// is the same header-only sort. Its first pass splits the pairs into independent bins, each then sorted on
// its own, which is where threads can share the work without changing a single swap.
#include "pointclouds_deal/voxel_grid.hpp"

#include <algorithm>
#include <boost/sort/spreadsort/integer_sort.hpp>
#include <boost/version.hpp>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#ifdef NIMBREL_WITH_OPENMP
#include <omp.h>
#endif

namespace nimbrel_arm_util::detail {

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// One point's voxel index and position in the input, ordered by the index alone as the library's pairs.
struct VoxelEntry {
  std::uint32_t idx;
  std::uint32_t point;
  bool operator<(const VoxelEntry& other) const { return idx < other.idx; }
};

struct VoxelShift {
  std::uint32_t operator()(const VoxelEntry& e, unsigned offset) const { return e.idx >> offset; }
};

using Iter = std::vector<VoxelEntry>::iterator;

int threadCount() {
#ifdef NIMBREL_WITH_OPENMP
  return omp_get_max_threads();
#else
  return 1;
#endif
}

// Runs fn(begin, end) over `parts` consecutive slices of [0, n), one per thread when there are threads.
template <typename Fn>
void forSlices(std::size_t n, int parts, Fn&& fn) {
  const auto bound = [n, parts](int k) {
    return n * static_cast<std::size_t>(k) / static_cast<std::size_t>(parts);
  };
#ifdef NIMBREL_WITH_OPENMP
#pragma omp parallel for schedule(static, 1) num_threads(parts) if (parts > 1)
  for (int k = 0; k < parts; ++k) fn(k, bound(k), bound(k + 1));
#else
  for (int k = 0; k < parts; ++k) fn(k, bound(k), bound(k + 1));
#endif
}

// The sort the library's filter runs: integer_sort with a right shift on the index. With threads, and for
// the sort version this was written against, its first radix pass is repeated here step for step and the
// bins it leaves are then sorted on the threads, each by the same call the sort itself makes for it: the
// bins share no element, and the scratch space a call is given does not change what it does.
void sortByVoxel(std::vector<VoxelEntry>& entries) {
  const Iter first = entries.begin();
  const Iter last = entries.end();
#if defined(NIMBREL_WITH_OPENMP) && BOOST_VERSION == 107400
  namespace ss = boost::sort::spreadsort::detail;
  if (threadCount() >= 2 && last - first >= ss::min_sort_size) {
    VoxelShift shift;
    Iter max;
    Iter min;
    if (ss::is_sorted_or_find_extremes(first, last, max, min)) return;
    const unsigned logDivisor = ss::get_log_divisor<ss::int_log_mean_bin_size>(
        last - first, ss::rough_log_2_size(std::size_t(shift(*max, 0) - shift(*min, 0))));
    const std::uint32_t divMin = shift(*min, logDivisor);
    const std::uint32_t divMax = shift(*max, logDivisor);
    const unsigned binCount = unsigned(divMax - divMin) + 1;
    std::vector<Iter> binCache;
    std::size_t binSizes[1 << ss::max_finishing_splits];
    unsigned cacheEnd = 0;
    Iter* bins = ss::size_bins(binSizes, binCache, 0, cacheEnd, binCount);
    for (Iter current = first; current != last;)
      binSizes[unsigned(shift(*(current++), logDivisor) - divMin)]++;
    bins[0] = first;
    for (unsigned u = 0; u < binCount - 1; u++) bins[u + 1] = bins[u] + binSizes[u];
    Iter nextBinStart = first;
    for (unsigned u = 0; u < binCount - 1; ++u) {
      ss::swap_loop<Iter, std::uint32_t, VoxelShift>(bins, nextBinStart, u, shift, binSizes, logDivisor,
                                                     divMin);
    }
    bins[binCount - 1] = last;
    if (!logDivisor) return;
    const std::size_t maxCount = ss::get_min_count<ss::int_log_mean_bin_size, ss::int_log_min_split_count,
                                                   ss::int_log_finishing_count>(logDivisor);
    const long binTotal = static_cast<long>(cacheEnd);
#pragma omp parallel
    {
      std::vector<Iter> localCache;
      std::size_t localSizes[1 << ss::max_finishing_splits];
#pragma omp for schedule(dynamic, 4)
      for (long u = 0; u < binTotal; ++u) {
        const Iter begin = u == 0 ? first : binCache[static_cast<std::size_t>(u) - 1];
        const Iter end = binCache[static_cast<std::size_t>(u)];
        const std::size_t count = static_cast<std::size_t>(end - begin);
        if (count < 2) continue;
        if (count < maxCount) {
          boost::sort::pdqsort(begin, end);
        } else {
          ss::spreadsort_rec<Iter, std::uint32_t, VoxelShift, std::size_t, ss::int_log_mean_bin_size,
                             ss::int_log_min_split_count, ss::int_log_finishing_count>(begin, end, localCache,
                                                                                       0, localSizes, shift);
        }
      }
    }
    return;
  }
#endif
  boost::sort::spreadsort::integer_sort(first, last, VoxelShift{});
}

bool isFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

}  // namespace

bool voxelIndicesOverflow(const float lo[3], const float hi[3], float inverseLeaf) {
  const std::int64_t limit = std::numeric_limits<std::int32_t>::max();
  std::int64_t product = 1;
  for (int a = 0; a < 3; ++a) {
    const float span = (hi[a] - lo[a]) * inverseLeaf;
    if (!(span < 2147483648.0f)) return true;
    // Each factor is below 2^31 and the running product at most 2^31 - 1: no 64-bit overflow.
    product *= static_cast<std::int64_t>(span) + 1;
    if (product > limit) return true;
  }
  return false;
}

VoxelGridStatus voxelGridFilter(const Cloud& in, float leaf, Cloud& out) {
  const std::size_t n = in.points.size();
  if (n == 0 || n > std::numeric_limits<std::uint32_t>::max()) return VoxelGridStatus::kDeclined;
  const bool dense = in.is_dense;
  const int parts = n < 20000 ? 1 : threadCount();

  // Bounding box of the finite points (of every point in a cloud flagged dense, which must then hold no
  // other kind).
  struct Box {
    float lo[3];
    float hi[3];
    std::size_t finite;
    bool sound;
  };
  std::vector<Box> boxes(static_cast<std::size_t>(parts));
  forSlices(n, parts, [&](int k, std::size_t begin, std::size_t end) {
    Box b{{std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
           std::numeric_limits<float>::max()},
          {std::numeric_limits<float>::lowest(), std::numeric_limits<float>::lowest(),
           std::numeric_limits<float>::lowest()},
          0,
          true};
    for (std::size_t i = begin; i < end; ++i) {
      const pcl::PointXYZ& p = in.points[i];
      if (!isFinite(p)) {
        b.sound = b.sound && !dense;
        continue;
      }
      ++b.finite;
      b.lo[0] = std::min(b.lo[0], p.x);
      b.lo[1] = std::min(b.lo[1], p.y);
      b.lo[2] = std::min(b.lo[2], p.z);
      b.hi[0] = std::max(b.hi[0], p.x);
      b.hi[1] = std::max(b.hi[1], p.y);
      b.hi[2] = std::max(b.hi[2], p.z);
    }
    boxes[static_cast<std::size_t>(k)] = b;
  });
  Box box = boxes[0];
  std::vector<std::size_t> finiteBefore(static_cast<std::size_t>(parts) + 1, 0);
  for (int k = 0; k < parts; ++k) {
    const Box& b = boxes[static_cast<std::size_t>(k)];
    finiteBefore[static_cast<std::size_t>(k) + 1] = finiteBefore[static_cast<std::size_t>(k)] + b.finite;
    if (k == 0) continue;
    box.sound = box.sound && b.sound;
    for (int a = 0; a < 3; ++a) {
      box.lo[a] = std::min(box.lo[a], b.lo[a]);
      box.hi[a] = std::max(box.hi[a], b.hi[a]);
    }
  }
  const std::size_t finite = finiteBefore.back();
  if (!box.sound || finite == 0) return VoxelGridStatus::kDeclined;

  const float inverse = 1.0f / leaf;
  if (voxelIndicesOverflow(box.lo, box.hi, inverse)) return VoxelGridStatus::kIndicesOverflow;
  // First voxel along each axis, as an int; beyond that range the library's own conversion is undefined.
  float first[3];
  std::uint32_t divisions[3];
  for (int a = 0; a < 3; ++a) {
    const float lo = std::floor(box.lo[a] * inverse);
    const float hi = std::floor(box.hi[a] * inverse);
    if (!(lo >= -2147483648.0f && hi < 2147483648.0f)) return VoxelGridStatus::kDeclined;
    // Voxel coordinates stay exact in float only below 2^24 voxels along an axis.
    if (!(static_cast<double>(hi) - static_cast<double>(lo) < 16777216.0)) return VoxelGridStatus::kDeclined;
    const std::int64_t from = static_cast<std::int64_t>(lo);
    first[a] = static_cast<float>(static_cast<std::int32_t>(from));
    divisions[a] = static_cast<std::uint32_t>(static_cast<std::int64_t>(hi) - from + 1);
  }
  // The library multiplies in int; unsigned arithmetic gives the same bits without its overflow.
  const std::uint32_t strideY = divisions[0];
  const std::uint32_t strideZ = divisions[0] * divisions[1];

  // Voxel index of every finite point, in input order.
  std::vector<VoxelEntry> entries(finite);
  forSlices(n, parts, [&](int k, std::size_t begin, std::size_t end) {
    std::size_t at = finiteBefore[static_cast<std::size_t>(k)];
    for (std::size_t i = begin; i < end; ++i) {
      const pcl::PointXYZ& p = in.points[i];
      if (!dense && !isFinite(p)) continue;
      const auto ix = static_cast<std::uint32_t>(static_cast<int>(std::floor(p.x * inverse) - first[0]));
      const auto iy = static_cast<std::uint32_t>(static_cast<int>(std::floor(p.y * inverse) - first[1]));
      const auto iz = static_cast<std::uint32_t>(static_cast<int>(std::floor(p.z * inverse) - first[2]));
      entries[at++] = VoxelEntry{ix + iy * strideY + iz * strideZ, static_cast<std::uint32_t>(i)};
    }
  });

  sortByVoxel(entries);

  // Where each voxel's run starts, then each voxel's mean summed in the sorted order from zero.
  std::vector<std::uint32_t> starts;
  starts.reserve(finite / 2 + 1);
  for (std::size_t i = 0; i < finite; ++i) {
    if (i == 0 || entries[i].idx != entries[i - 1].idx) starts.push_back(static_cast<std::uint32_t>(i));
  }
  const std::size_t voxels = starts.size();
  starts.push_back(static_cast<std::uint32_t>(finite));
  Cloud result;
  result.points.resize(voxels);
  forSlices(voxels, voxels < 5000 ? 1 : parts, [&](int, std::size_t begin, std::size_t end) {
    for (std::size_t v = begin; v < end; ++v) {
      Eigen::Vector4f centroid(Eigen::Vector4f::Zero());
      for (std::uint32_t i = starts[v]; i < starts[v + 1]; ++i) {
        centroid += in.points[entries[i].point].getVector4fMap();
      }
      centroid /= static_cast<float>(starts[v + 1] - starts[v]);
      result.points[v].getVector4fMap() = centroid;
    }
  });
  result.header = in.header;
  result.sensor_origin_ = in.sensor_origin_;
  result.sensor_orientation_ = in.sensor_orientation_;
  result.width = static_cast<std::uint32_t>(voxels);
  result.height = 1;
  result.is_dense = true;
  out = std::move(result);
  return VoxelGridStatus::kDone;
}

}  // namespace nimbrel_arm_util::detail
