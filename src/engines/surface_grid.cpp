// Near-or-not queries against surface samples, answering as a kd-tree nearest-neighbour query would.
#include "engines/surface_grid.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "engines/point_helpers.hpp"

namespace nimbrel_arm_util {
namespace detail {
namespace {

// A float squared distance below nearDistance² means a true distance below nearDistance·(1 + 3e-7), and
// the reverse; the margins used to decide whole cells are far wider than that rounding and far narrower
// than the grid, so deciding a cell at once never changes an answer.
constexpr double kMargin = 1e-5;

// Cells are half the near distance, so a query spans at most six cells per axis.
constexpr int kMaxSpan = 8;

// Cells per axis at most: beyond this, far positions share the last cell (2^40 cells of even a millimetre
// reach a billion kilometres, and cell coordinates stay exact in double).
constexpr double kMaxCellsPerAxis = 1099511627776.0;

}  // namespace

std::uint64_t SurfaceGrid::hashOf(std::int64_t x, std::int64_t y, std::int64_t z) {
  std::uint64_t h = static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ull;
  h ^= static_cast<std::uint64_t>(y) * 0xC2B2AE3D27D4EB4Full + (h << 6) + (h >> 2);
  h ^= static_cast<std::uint64_t>(z) * 0x165667B19E3779F9ull + (h << 6) + (h >> 2);
  return h ^ (h >> 29);
}

std::uint32_t SurfaceGrid::find(std::int64_t x, std::int64_t y, std::int64_t z) const {
  const std::size_t mask = hash_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hashOf(x, y, z)) & mask;; i = (i + 1) & mask) {
    const HashEntry& e = hash_[i];
    if (e.slot == kEmpty) return kEmpty;
    if (e.x == x && e.y == y && e.z == z) return e.slot;
  }
}

SurfaceGrid::SurfaceGrid(const pcl::PointCloud<pcl::PointXYZ>& samples, double nearDistance) {
  // Non-finite samples are never nearest to anything in a kd-tree either, so they are left out.
  std::size_t count = 0;
  for (const pcl::PointXYZ& p : samples.points) {
    if (!isFinitePoint(p)) continue;
    const double v[3] = {p.x, p.y, p.z};
    for (int a = 0; a < 3; ++a) {
      lo_[a] = count == 0 ? v[a] : std::min(lo_[a], v[a]);
      hi_[a] = count == 0 ? v[a] : std::max(hi_[a], v[a]);
    }
    ++count;
  }
  if (count == 0 || !(nearDistance > 0.0) || !std::isfinite(nearDistance)) {
    return;  // no cells: nothing is near
  }
  threshold2_ = nearDistance * nearDistance;
  reach_ = nearDistance * (1.0 + kMargin);
  sure_ = nearDistance * (1.0 - kMargin);

  // Half the near distance makes every occupied cell within reach of a query in it decide at once.
  cell_ = nearDistance / 2.0;
  double total = 1.0;
  for (int a = 0; a < 3; ++a) {
    const double cells = std::min(std::floor((hi_[a] - lo_[a]) / cell_) + 1.0, kMaxCellsPerAxis);
    dims_[a] = static_cast<std::int64_t>(cells);
    total *= cells;
  }
  // A dense table costs one entry per grid cell: use it only while that is a few entries per sample.
  dense_ = total <= std::max(4096.0, 8.0 * static_cast<double>(count));
  std::vector<std::uint32_t> perSlot;
  if (dense_) {
    // Every grid cell is a slot (empty ones hold no samples): no lookup between a cell and its samples.
    perSlot.assign(static_cast<std::size_t>(total), 0);
  } else {
    std::size_t size = 16;
    while (size < 2 * count) size *= 2;
    hash_.assign(size, HashEntry{0, 0, 0, kEmpty});
  }

  // Slots: every cell of a dense table, or the occupied cells of the hash in the order their first sample
  // comes. Count the samples of each.
  std::vector<std::uint32_t> slotOfSample;
  slotOfSample.reserve(count);
  for (const pcl::PointXYZ& p : samples.points) {
    if (!isFinitePoint(p)) continue;
    const std::int64_t x = cellOf(p.x, 0), y = cellOf(p.y, 1), z = cellOf(p.z, 2);
    std::uint32_t slot = 0;
    if (dense_) {
      slot = static_cast<std::uint32_t>((z * dims_[1] + y) * dims_[0] + x);
    } else {
      const std::size_t mask = hash_.size() - 1;
      std::size_t i = static_cast<std::size_t>(hashOf(x, y, z)) & mask;
      while (hash_[i].slot != kEmpty && !(hash_[i].x == x && hash_[i].y == y && hash_[i].z == z)) {
        i = (i + 1) & mask;
      }
      if (hash_[i].slot == kEmpty) {
        hash_[i] = HashEntry{x, y, z, static_cast<std::uint32_t>(perSlot.size())};
        perSlot.push_back(0);
      }
      slot = hash_[i].slot;
    }
    ++perSlot[slot];
    slotOfSample.push_back(slot);
  }
  const std::size_t cells = perSlot.size();
  cellStart_.assign(cells + 1, 0);
  for (std::size_t c = 0; c < cells; ++c) cellStart_[c + 1] = cellStart_[c] + perSlot[c];
  std::vector<std::uint32_t> fill(cellStart_.begin(), cellStart_.end() - 1);
  xyz_.resize(3 * count);
  std::size_t s = 0;
  for (const pcl::PointXYZ& p : samples.points) {
    if (!isFinitePoint(p)) continue;
    const std::size_t slot = 3 * static_cast<std::size_t>(fill[slotOfSample[s++]]++);
    xyz_[slot] = p.x;
    xyz_[slot + 1] = p.y;
    xyz_[slot + 2] = p.z;
  }
  // The tight box of each occupied cell's samples: on a surface it is far thinner than the cell, so far
  // fewer cells straddle a query's sphere and need scanning.
  cellBox_.assign(6 * cells, 0.0f);
  for (std::size_t c = 0; c < cells; ++c) {
    if (cellStart_[c] == cellStart_[c + 1]) continue;
    float* box = &cellBox_[6 * c];
    for (int a = 0; a < 3; ++a) {
      box[a] = xyz_[3 * static_cast<std::size_t>(cellStart_[c]) + a];
      box[3 + a] = box[a];
    }
    for (std::uint32_t i = cellStart_[c]; i < cellStart_[c + 1]; ++i) {
      for (int a = 0; a < 3; ++a) {
        const float v = xyz_[3 * static_cast<std::size_t>(i) + a];
        box[a] = std::min(box[a], v);
        box[3 + a] = std::max(box[3 + a], v);
      }
    }
  }
}

bool SurfaceGrid::isNear(const pcl::PointXYZ& point) const {
  if (cellStart_.empty() || !isFinitePoint(point)) return false;
  const double q[3] = {point.x, point.y, point.z};
  for (int a = 0; a < 3; ++a) {
    if (q[a] < lo_[a] - reach_ || q[a] > hi_[a] + reach_) return false;
  }
  // Per axis, the squared distance from the query to each cell slab, to skip whole rows and cells.
  std::int64_t first[3];
  int span[3];
  double nearSq[3][kMaxSpan];
  for (int a = 0; a < 3; ++a) {
    first[a] = cellOf(q[a] - reach_, a);
    span[a] = static_cast<int>(std::min<std::int64_t>(cellOf(q[a] + reach_, a) - first[a] + 1, kMaxSpan));
    for (int i = 0; i < span[a]; ++i) {
      const double c0 = lo_[a] + static_cast<double>(first[a] + i) * cell_;
      const double c1 = c0 + cell_;
      const double gap = q[a] < c0 ? c0 - q[a] : (q[a] > c1 ? q[a] - c1 : 0.0);
      nearSq[a][i] = gap * gap;
    }
  }
  const double reach2 = reach_ * reach_;
  const double sure2 = sure_ * sure_;
  // The cell lookup is chosen once per query, so the dense table's loop carries no hash code.
  const auto scan = [&](auto dense) {
    for (int k = 0; k < span[2]; ++k) {
      for (int j = 0; j < span[1]; ++j) {
        const double rowNear = nearSq[2][k] + nearSq[1][j];
        if (rowNear > reach2) continue;
        // Row offsets exist only in a dense table; a hashed grid's dimensions can be far too large to
        // multiply.
        std::int64_t rowBase = 0;
        if constexpr (decltype(dense)::value) {
          rowBase = ((first[2] + k) * dims_[1] + first[1] + j) * dims_[0] + first[0];
        }
        for (int i = 0; i < span[0]; ++i) {
          if (rowNear + nearSq[0][i] > reach2) continue;
          std::size_t c;
          if constexpr (decltype(dense)::value) {
            c = static_cast<std::size_t>(rowBase + i);
          } else {
            const std::uint32_t slot = find(first[0] + i, first[1] + j, first[2] + k);
            if (slot == kEmpty) continue;
            c = slot;
          }
          const std::uint32_t begin = cellStart_[c];
          const std::uint32_t end = cellStart_[c + 1];
          if (begin == end) continue;
          // Decide on the tight box of the cell's samples: every sample lies in it.
          const float* box = &cellBox_[6 * c];
          double gap2 = 0.0;
          double far2 = 0.0;
          for (int a = 0; a < 3; ++a) {
            const double b0 = box[a];
            const double b1 = box[3 + a];
            const double gap = q[a] < b0 ? b0 - q[a] : (q[a] > b1 ? q[a] - b1 : 0.0);
            const double far = std::max(std::abs(q[a] - b0), std::abs(q[a] - b1));
            gap2 += gap * gap;
            far2 += far * far;
          }
          if (gap2 > reach2) continue;
          if (far2 < sure2) return true;
          for (std::uint32_t s = begin; s < end; ++s) {
            const float* v = &xyz_[3 * static_cast<std::size_t>(s)];
            if (static_cast<double>(kdTreeSquaredDistance(point, v[0], v[1], v[2])) < threshold2_)
              return true;
          }
        }
      }
    }
    return false;
  };
  return dense_ ? scan(std::true_type{}) : scan(std::false_type{});
}

}  // namespace detail
}  // namespace nimbrel_arm_util
