// Oriented bounding boxes: membership, box and tool removal, vertical extent.
#include <cstdint>

#include "engines/point_helpers.hpp"
#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace {

// A box grown by scale and margin, with everything a membership test needs taken out of the pose once,
// so that a filter does not rebuild it for every point.
struct GrownBox {
  double r[3][3];  // r[axis][row]: the box's own axes, the pose's rotation columns
  double t[3];     // centre
  double h[3];     // half extents after growth

  GrownBox(const Eigen::Matrix4d& pose, const double* size, double scale, double margin) {
    for (int axis = 0; axis < 3; ++axis) {
      for (int row = 0; row < 3; ++row) r[axis][row] = pose(row, axis);
      t[axis] = pose(axis, 3);
      h[axis] = size[axis] * (scale * 0.5) + margin;
    }
    // Floor on z only: a flat or shrunk box still catches the points within 0.1 of its plane.
    if (h[2] < 0.1) h[2] = 0.1;
  }

  // Faces are inclusive. Only "beyond a face" rejects, so a point with a NaN coordinate counts as inside.
  bool contains(const pcl::PointXYZ& p) const {
    const double d0 = static_cast<double>(p.x) - t[0];
    const double d1 = static_cast<double>(p.y) - t[1];
    const double d2 = static_cast<double>(p.z) - t[2];
    for (int axis = 0; axis < 3; ++axis) {
      const double l = d0 * r[axis][0] + d1 * r[axis][1] + d2 * r[axis][2];
      if (l > h[axis] || l < -h[axis]) return false;
    }
    return true;
  }
};

// Keeps the points of `in` for which `inside` is false, in their order. `in` and `out` may be one cloud:
// the kept points are then compacted towards the front of its storage. The result is an unorganized cloud
// (width = point count, height 1), since dropping points destroys any row structure, flagged dense exactly
// when every kept point is finite (a point with a NaN coordinate is inside, but an infinite one may be
// outside); header and sensor pose stay as they were.
template <typename Inside>
void keepOutside(const PointCloudsDeal::CloudPtr& in, const PointCloudsDeal::CloudPtr& out, Inside inside) {
  auto& dst = out->points;
  std::size_t kept = 0;
  bool dense = true;
  if (in.get() == out.get()) {
    const std::size_t count = dst.size();
    for (std::size_t i = 0; i < count; ++i) {
      if (!inside(dst[i])) {
        dense = dense && detail::isFinitePoint(dst[i]);
        dst[kept++] = dst[i];
      }
    }
    dst.resize(kept);
  } else {
    const auto& src = in->points;
    dst.clear();
    dst.reserve(src.size());
    for (const pcl::PointXYZ& p : src) {
      if (!inside(p)) {
        dense = dense && detail::isFinitePoint(p);
        dst.push_back(p);
      }
    }
    kept = dst.size();
  }
  out->width = static_cast<std::uint32_t>(kept);
  out->height = 1;
  out->is_dense = dense;
}

// Corner offset along one of the box's own axes, for sign -1 or +1.
double halfOffset(int sign, double edge) { return sign * edge / 2; }

}  // namespace

bool PointCloudsDeal::isInObbRange(Eigen::Matrix4d& pose, double* size, pcl::PointXYZ point, double scale,
                                   double margin) {
  return GrownBox(pose, size, scale, margin).contains(point);
}

void PointCloudsDeal::removeObbPointClouds(CloudPtr in, CloudPtr out, Eigen::Matrix4d& pose, double* size,
                                           double scale, double margin) {
  const GrownBox box(pose, size, scale, margin);
  keepOutside(in, out, [&box](const pcl::PointXYZ& p) { return box.contains(p); });
}

void PointCloudsDeal::removeObbAndToolPointClouds(CloudPtr in, CloudPtr out, Eigen::Matrix4d& pose,
                                                  double* size, double scale, double margin,
                                                  Eigen::Matrix4d& toolPose, double* toolSize,
                                                  double toolMargin) {
  const GrownBox box(pose, size, scale, margin);
  // The tool's sizes are half lengths: scale 2.0 turns them into full edge lengths.
  const GrownBox tool(toolPose, toolSize, 2.0, toolMargin);
  keepOutside(in, out, [&box, &tool](const pcl::PointXYZ& p) { return box.contains(p) || tool.contains(p); });
}

double PointCloudsDeal::getMaxMinZofOBB(Eigen::Matrix4d& pose, double* size, double& maxZ, double& minZ) {
  const Eigen::Matrix3d rotation = pose.topLeftCorner<3, 3>();
  const Eigen::Vector3d centre = pose.topRightCorner<3, 1>();
  bool first = true;
  for (int sx = -1; sx <= 1; sx += 2) {
    for (int sy = -1; sy <= 1; sy += 2) {
      for (int sz = -1; sz <= 1; sz += 2) {
        const Eigen::Vector3d local(halfOffset(sx, size[0]), halfOffset(sy, size[1]),
                                    halfOffset(sz, size[2]));
        const double z = (centre + rotation * local).z();
        if (first) {
          maxZ = z;
          minZ = z;
          first = false;
        } else {
          if (z > maxZ) maxZ = z;
          if (z < minZ) minZ = z;
        }
      }
    }
  }
  LOG_INFO("getMaxMinZofOBB: {}, {}", maxZ, minZ);
  return maxZ;
}

double PointCloudsDeal::getObbBottom(Eigen::Matrix4d& pose, double* size) {
  // Callers use the bottom as a height to cut below; it is capped at 1.0, so a box lying wholly above
  // that height reports 1.0 rather than its own bottom.
  double bottom = 1.0;
  for (int sx = -1; sx <= 1; sx += 2) {
    for (int sy = -1; sy <= 1; sy += 2) {
      for (int sz = -1; sz <= 1; sz += 2) {
        Eigen::Matrix4d corner = Eigen::Matrix4d::Identity();
        corner(0, 3) = halfOffset(sx, size[0]);
        corner(1, 3) = halfOffset(sy, size[1]);
        corner(2, 3) = halfOffset(sz, size[2]);
        const double z = (pose * corner)(2, 3);
        if (z < bottom) bottom = z;
      }
    }
  }
  return bottom;
}

}  // namespace nimbrel_arm_util
