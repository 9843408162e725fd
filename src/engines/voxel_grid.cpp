// Voxel-grid down-sampling with the point-cloud library's exact result, in fewer and parallel passes.
// Compiled with -ffp-contract=off.
//
// The library's filter finds the bounding box, gives every point the index of its voxel, sorts the
// (index, point) pairs with a radix sort that is not stable, and averages each run of equal indices in the
// sorted order. Float sums depend on their order, so the same sort has to run here on the same pairs: it
// is the same header-only sort. Its first pass splits the pairs into independent bins, each then sorted on
// its own, which is where threads can share the work without changing a single swap.
#include "engines/voxel_grid.hpp"

#include <algorithm>
#include <boost/sort/spreadsort/integer_sort.hpp>
#include <boost/version.hpp>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

#include "engines/parallel.hpp"
#include "engines/point_helpers.hpp"

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

using Iter = VoxelEntry*;

// Smallest and largest index among the entries, and whether they are already in order.
struct IndexSpread {
  std::uint32_t min = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t max = 0;
  bool sorted = true;
};

// The sort the library's filter runs: integer_sort with a right shift on the index. With threads, and for
// the sort version this was written against (the build says at configure time which path it takes), its
// first radix pass is repeated here step for step and the bins it leaves are then sorted on the threads,
// each by the same call the sort itself makes for it: the bins share no element, and the scratch space a
// call is given does not change what it does. That pass starts from the entries' spread and their bin
// sizes, which depend on no order and are found in slices.
void sortByVoxel(VoxelEntry* entries, std::size_t count, const IndexSpread& spread, int parts) {
  const Iter first = entries;
  const Iter last = entries + count;
#if defined(NIMBREL_THREADED_VOXEL_SORT)
  static_assert(BOOST_VERSION / 100 == 1074, "the threaded sort repeats Boost 1.74's integer_sort internals");
  namespace ss = boost::sort::spreadsort::detail;
  if (parts >= 2 && last - first >= ss::min_sort_size) {
    if (spread.sorted) return;
    VoxelShift shift;
    const unsigned logDivisor = ss::get_log_divisor<ss::int_log_mean_bin_size>(
        last - first, ss::rough_log_2_size(std::size_t(spread.max - spread.min)));
    const std::uint32_t divMin = spread.min >> logDivisor;
    const std::uint32_t divMax = spread.max >> logDivisor;
    const unsigned binCount = unsigned(divMax - divMin) + 1;
    std::vector<Iter> binCache;
    std::size_t binSizes[1 << ss::max_finishing_splits];
    unsigned cacheEnd = 0;
    Iter* bins = ss::size_bins(binSizes, binCache, 0, cacheEnd, binCount);
    std::vector<std::size_t> sliceSizes(static_cast<std::size_t>(parts) * binCount, 0);
    forSlices(count, parts, [&](int k, std::size_t begin, std::size_t end) {
      std::size_t* sizes = sliceSizes.data() + static_cast<std::size_t>(k) * binCount;
      for (std::size_t i = begin; i < end; ++i) ++sizes[(entries[i].idx >> logDivisor) - divMin];
    });
    for (int k = 0; k < parts; ++k) {
      for (unsigned u = 0; u < binCount; ++u)
        binSizes[u] += sliceSizes[static_cast<std::size_t>(k) * binCount + u];
    }
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
    // Each thread keeps its own bin cache and bin sizes, as each call of the sort would.
    struct BinSorter {
      std::vector<Iter> cache;
      std::size_t sizes[1 << ss::max_finishing_splits];
    };
    std::vector<BinSorter> sorters(static_cast<std::size_t>(parts));
    forEachDynamic(static_cast<long>(cacheEnd), sorters, 4, [&](BinSorter& sorter, long u) {
      const Iter begin = u == 0 ? first : binCache[static_cast<std::size_t>(u) - 1];
      const Iter end = binCache[static_cast<std::size_t>(u)];
      const std::size_t size = static_cast<std::size_t>(end - begin);
      if (size < 2) return;
      if (size < maxCount) {
        boost::sort::pdqsort(begin, end);
      } else {
        ss::spreadsort_rec<Iter, std::uint32_t, VoxelShift, std::size_t, ss::int_log_mean_bin_size,
                           ss::int_log_min_split_count, ss::int_log_finishing_count>(begin, end, sorter.cache,
                                                                                     0, sorter.sizes, shift);
      }
    });
    return;
  }
#else
  (void)spread;
  (void)parts;
#endif
  boost::sort::spreadsort::integer_sort(first, last, VoxelShift{});
}

}  // namespace

PointBounds emptyBounds() {
  const float most = std::numeric_limits<float>::max();
  return PointBounds{{most, most, most}, {-most, -most, -most}};
}

void growBounds(PointBounds& bounds, const PointBounds& other) {
  for (int a = 0; a < 3; ++a) {
    bounds.lo[a] = std::min(bounds.lo[a], other.lo[a]);
    bounds.hi[a] = std::max(bounds.hi[a], other.hi[a]);
  }
}

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

VoxelGridStatus voxelGridFilter(const Cloud& in, float leaf, Cloud& out, const PointBounds* bounds) {
  const std::size_t n = in.points.size();
  if (n == 0 || n > std::numeric_limits<std::uint32_t>::max()) return VoxelGridStatus::kDeclined;
  const bool dense = in.is_dense || bounds != nullptr;
  ThreadBudget budget;
  const int parts = budget.slices(n, kMinPointsPerSlice);

  // Bounding box of the finite points (of every point in a cloud flagged dense, which must then hold no
  // other kind), unless the caller knows it.
  PointBounds box = bounds != nullptr ? *bounds : PointBounds{};
  std::vector<std::size_t> finiteBefore(static_cast<std::size_t>(parts) + 1, 0);
  if (bounds != nullptr) {
    for (int k = 0; k <= parts; ++k) finiteBefore[static_cast<std::size_t>(k)] = sliceStart(n, parts, k);
  } else {
    struct SliceBox {
      PointBounds box;
      std::size_t finite;
      bool sound;
    };
    std::vector<SliceBox> boxes(static_cast<std::size_t>(parts));
    forSlices(n, parts, [&](int k, std::size_t begin, std::size_t end) {
      SliceBox b{emptyBounds(), 0, true};
      if (dense) {
        // Four lanes at a time, as the library bounds a dense cloud; a non-finite coordinate anywhere
        // turns the running sum of v - v into NaN.
        Eigen::Array4f lo = Eigen::Array4f::Constant(std::numeric_limits<float>::max());
        Eigen::Array4f hi = Eigen::Array4f::Constant(std::numeric_limits<float>::lowest());
        Eigen::Array4f probe = Eigen::Array4f::Zero();
        for (std::size_t i = begin; i < end; ++i) {
          const Eigen::Array4f v = in.points[i].getArray4fMap();
          lo = lo.min(v);
          hi = hi.max(v);
          probe += v - v;
        }
        b.sound = probe.head<3>().isZero(0.0f);
        b.finite = end - begin;
        for (int a = 0; a < 3; ++a) {
          b.box.lo[a] = lo[a];
          b.box.hi[a] = hi[a];
        }
      } else {
        for (std::size_t i = begin; i < end; ++i) {
          const pcl::PointXYZ& p = in.points[i];
          if (!isFinitePoint(p)) continue;
          ++b.finite;
          includePoint(b.box, p);
        }
      }
      boxes[static_cast<std::size_t>(k)] = b;
    });
    box = emptyBounds();
    bool sound = true;
    for (int k = 0; k < parts; ++k) {
      const SliceBox& b = boxes[static_cast<std::size_t>(k)];
      finiteBefore[static_cast<std::size_t>(k) + 1] = finiteBefore[static_cast<std::size_t>(k)] + b.finite;
      sound = sound && b.sound;
      growBounds(box, b.box);
    }
    if (!sound || finiteBefore.back() == 0) return VoxelGridStatus::kDeclined;
  }
  const std::size_t finite = finiteBefore.back();

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

  // Voxel index of every finite point, in input order (written once, so not zeroed first), and with
  // threads their spread.
  const std::unique_ptr<VoxelEntry[]> entries(new VoxelEntry[finite]);
  std::vector<IndexSpread> spreads(static_cast<std::size_t>(parts));
  const auto indexPass = [&](auto withSpread) {
    forSlices(n, parts, [&](int k, std::size_t begin, std::size_t end) {
      std::size_t at = finiteBefore[static_cast<std::size_t>(k)];
      IndexSpread local;
      std::uint32_t previous = 0;
      for (std::size_t i = begin; i < end; ++i) {
        const pcl::PointXYZ& p = in.points[i];
        if (!dense && !isFinitePoint(p)) continue;
        const auto ix = static_cast<std::uint32_t>(static_cast<int>(std::floor(p.x * inverse) - first[0]));
        const auto iy = static_cast<std::uint32_t>(static_cast<int>(std::floor(p.y * inverse) - first[1]));
        const auto iz = static_cast<std::uint32_t>(static_cast<int>(std::floor(p.z * inverse) - first[2]));
        const std::uint32_t idx = ix + iy * strideY + iz * strideZ;
        if constexpr (decltype(withSpread)::value) {
          local.min = std::min(local.min, idx);
          local.max = std::max(local.max, idx);
          local.sorted = local.sorted && idx >= previous;
          previous = idx;
        }
        entries[at++] = VoxelEntry{idx, static_cast<std::uint32_t>(i)};
      }
      spreads[static_cast<std::size_t>(k)] = local;
    });
  };
  if (parts > 1) {
    indexPass(std::true_type{});
  } else {
    indexPass(std::false_type{});
  }
  IndexSpread spread;
  for (const IndexSpread& local : spreads) {
    // An empty slice has min above max and no order to break; otherwise the slice's first entry must not
    // come before the previous slice's last one.
    if (local.min > local.max) continue;
    spread.sorted = spread.sorted && local.sorted && (spread.min > spread.max || local.min >= spread.max);
    spread.min = std::min(spread.min, local.min);
    spread.max = std::max(spread.max, local.max);
  }

  sortByVoxel(entries.get(), finite, spread, parts);

  // Where each voxel's run starts (with threads counted and then written in slices), and each voxel's
  // mean summed in the sorted order from zero.
  std::vector<std::uint32_t> starts;
  if (parts == 1) {
    starts.reserve(finite / 2 + 2);
    for (std::size_t i = 0; i < finite; ++i) {
      if (i == 0 || entries[i].idx != entries[i - 1].idx) starts.push_back(static_cast<std::uint32_t>(i));
    }
    starts.push_back(0);
  } else {
    std::vector<std::size_t> runsBefore(static_cast<std::size_t>(parts) + 1, 0);
    forSlices(finite, parts, [&](int k, std::size_t begin, std::size_t end) {
      std::size_t runs = 0;
      for (std::size_t i = begin; i < end; ++i) runs += i == 0 || entries[i].idx != entries[i - 1].idx;
      runsBefore[static_cast<std::size_t>(k) + 1] = runs;
    });
    for (int k = 0; k < parts; ++k)
      runsBefore[static_cast<std::size_t>(k) + 1] += runsBefore[static_cast<std::size_t>(k)];
    starts.resize(runsBefore.back() + 1);
    forSlices(finite, parts, [&](int k, std::size_t begin, std::size_t end) {
      std::size_t at = runsBefore[static_cast<std::size_t>(k)];
      for (std::size_t i = begin; i < end; ++i) {
        if (i == 0 || entries[i].idx != entries[i - 1].idx) starts[at++] = static_cast<std::uint32_t>(i);
      }
    });
  }
  const std::size_t voxels = starts.size() - 1;
  starts.back() = static_cast<std::uint32_t>(finite);
  // The library's filter averages x, y and z only and resizes its output: the padding float after them
  // is what `out` already held at that position, or a new point's 1 (written into a fresh cloud, and so
  // always 1, when `in` is `out`).
  Cloud result;
  result.points.resize(voxels);
  const std::size_t reused = &in == &out ? 0 : std::min(voxels, out.points.size());
  for (std::size_t v = 0; v < reused; ++v) result.points[v].data[3] = out.points[v].data[3];
  forSlices(voxels, budget.slices(voxels, kMinVoxelsPerSlice), [&](int, std::size_t begin, std::size_t end) {
    for (std::size_t v = begin; v < end; ++v) {
      Eigen::Vector4f centroid(Eigen::Vector4f::Zero());
      for (std::uint32_t i = starts[v]; i < starts[v + 1]; ++i) {
        centroid += in.points[entries[i].point].getVector4fMap();
      }
      centroid /= static_cast<float>(starts[v + 1] - starts[v]);
      result.points[v].getVector3fMap() = centroid.head<3>();
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
