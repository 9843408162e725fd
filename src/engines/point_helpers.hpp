// Small helpers on points, shared by the engines and the topic files (not installed): which points are
// finite and which a search tree can hold, a point in double, a cell coordinate clamped to a grid, and
// keeping some of a cloud's points. Templates on the point and cloud types, so that the PCL-free outlier
// search can use them too.
#pragma once

#include <Eigen/Core>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace nimbrel_arm_util::detail {

/// True when all three coordinates of `p` (any point with float members x, y and z) are finite.
template <typename Point>
inline bool isFinitePoint(const Point& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

/// Coordinates beyond this magnitude make FLANN's tree build overflow (its split arithmetic leaves the float
/// range) and abort or recurse without end; such points stay out of every neighbour search, as non-finite
/// ones do. With every coordinate within it, no float squared distance between two points can overflow.
constexpr float kSearchLimit = 1e18f;

/// True when x, y and z are finite and each lies within kSearchLimit.
inline bool isSearchable(float x, float y, float z) {
  return std::fabs(x) <= kSearchLimit && std::fabs(y) <= kSearchLimit && std::fabs(z) <= kSearchLimit;
}
template <typename Point>
inline bool isSearchablePoint(const Point& p) {
  return isSearchable(p.x, p.y, p.z);
}

/// The point's coordinates in double (exactly: every float is a double).
template <typename Point>
inline Eigen::Vector3d widen(const Point& p) {
  return Eigen::Vector3d(static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z));
}

/// The box of the eight corners of the box lo..hi placed by `pose`: it holds the whole placed box (an affine
/// map keeps a box's image within the box of its corners' images). Callers grow it by their own slack.
inline void placedBoxBounds(const Eigen::Matrix4d& pose, const Eigen::Vector3d& lo, const Eigen::Vector3d& hi,
                            Eigen::Vector3d& placedLo, Eigen::Vector3d& placedHi) {
  placedLo.setConstant(std::numeric_limits<double>::infinity());
  placedHi = -placedLo;
  for (int corner = 0; corner < 8; ++corner) {
    const Eigen::Vector3d c((corner & 1) ? hi.x() : lo.x(), (corner & 2) ? hi.y() : lo.y(),
                            (corner & 4) ? hi.z() : lo.z());
    const Eigen::Vector3d placed = pose.topLeftCorner<3, 3>() * c + pose.topRightCorner<3, 1>();
    placedLo = placedLo.cwiseMin(placed);
    placedHi = placedHi.cwiseMax(placed);
  }
}

/// A pose whose linear part is a rotation (or a reflection) within this, entry by entry, keeps distances
/// to well within float rounding of the clouds: distances may be measured in the posed object's own frame.
constexpr double kRigidTolerance = 1e-6;

/// True when the linear part of `pose` is orthonormal within kRigidTolerance (finiteness is not checked).
inline bool isRigidPose(const Eigen::Matrix4d& pose) {
  const Eigen::Matrix3d linear = pose.topLeftCorner<3, 3>();
  return ((linear.transpose() * linear - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff() <=
          kRigidTolerance);
}

/// Cell index for a cell coordinate `t` (distance from the grid's origin in cell edges, floored or not)
/// along an axis of `cells` cells: floor(t), clamped to [0, cells - 1]; NaN gives 0. Monotone in t, so a
/// range of coordinates maps onto a range of cells that holds every cell in between.
template <typename Int>
inline Int clampedCell(double t, Int cells) {
  if (!(t > 0.0)) return 0;
  if (t >= static_cast<double>(cells - 1)) return cells - 1;
  return static_cast<Int>(t);
}

/// Keeps the points of `in` whose index i passes keep(i), in their order: compacted in place when `in` and
/// `out` are the same cloud (keep(i) is asked before anything at i is overwritten), else written over
/// `out`'s points. `out` becomes one row of the kept points, height 0 when none is kept, and is_dense
/// tells whether every kept point is finite (filters and searches trust it); its header and sensor pose
/// stay as they were. Returns the kept count.
template <typename Cloud, typename Keep>
std::size_t keepPoints(const Cloud& in, Cloud& out, Keep&& keep) {
  const std::size_t n = in.points.size();
  std::size_t kept = 0;
  bool dense = true;
  if (&in == &out) {
    for (std::size_t i = 0; i < n; ++i) {
      if (keep(i)) {
        dense = dense && isFinitePoint(out.points[i]);
        out.points[kept++] = out.points[i];
      }
    }
    out.points.resize(kept);
  } else {
    out.points.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (keep(i)) {
        dense = dense && isFinitePoint(in.points[i]);
        out.points.push_back(in.points[i]);
      }
    }
    kept = out.points.size();
  }
  out.width = static_cast<std::uint32_t>(kept);
  out.height = kept == 0 ? 0 : 1;
  out.is_dense = dense;
  return kept;
}

}  // namespace nimbrel_arm_util::detail
