// Removing scene points that belong to object meshes.
#include <cstdint>
#include <random>
#include <vector>

#include "engines/mesh_index.hpp"
#include "engines/parallel.hpp"
#include "engines/point_helpers.hpp"
#include "engines/surface_grid.hpp"
#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace {

// Scene points nearer than this to a mesh's surface samples belong to the object.
constexpr double kNearSurface = 0.08;

}  // namespace

int PointCloudsDeal::removePointsFromMeshs(CloudPtr in, std::vector<pcl::PolygonMesh>& meshes, CloudPtr out) {
  if (in->points.empty()) {
    LOG_INFO("removePointsFromMesh in->points.size()<=0 ERROR!");
    return -1;
  }
  // Everything that depends only on the meshes is worked out once here, not once per point.
  std::vector<detail::MeshIndex> indexes;
  indexes.reserve(meshes.size());
  for (const pcl::PolygonMesh& mesh : meshes) {
    indexes.emplace_back(mesh);
    // The inside test would say this once per point; once per call tells the same.
    if (indexes.back().vertexCount() < 3) LOG_INFO("mesh points size <3 ERROR");
  }

  const std::size_t count = in->points.size();
  std::vector<std::uint8_t> keep(count);
  for (std::size_t i = 0; i < count; ++i) {
    bool claimed = false;
    for (const detail::MeshIndex& index : indexes) {
      if (index.claims(in->points[i])) {
        claimed = true;
        break;
      }
    }
    keep[i] = claimed ? 0 : 1;
  }
  // The flags were all decided before, so `out` may be `in`. Header and sensor pose of `out` stay as they
  // were; it becomes one row of the kept points, one row even when none is kept, flagged dense exactly
  // when every kept point is finite.
  detail::keepPoints(*in, *out, [&](std::size_t i) { return keep[i] != 0; });
  out->height = 1;
  return 0;
}

int PointCloudsDeal::fastRemovePointsFromMeshs(CloudPtr in, std::vector<pcl::PolygonMesh>& meshes,
                                               CloudPtr out) {
  std::random_device device;
  return fastRemovePointsFromMeshs(in, meshes, out, device());
}

int PointCloudsDeal::fastRemovePointsFromMeshs(CloudPtr in, std::vector<pcl::PolygonMesh>& meshes,
                                               CloudPtr out, std::uint32_t seed) {
  if (in->points.empty()) {
    LOG_INFO("removePointsFromMesh in->points.size()<=0 ERROR!");
    return -1;
  }
  if (static_cast<int>(meshes.size()) <= 0) {
    LOG_INFO("removePointsFromMeshes size==0 ERROR!");
    return -2;
  }
  // One near-or-not structure per mesh, all built before `out` is touched. The grid answers exactly as a
  // kd-tree nearest-neighbour query compared with the near distance would, for a fraction of the cost.
  std::vector<detail::SurfaceGrid> surfaces;
  surfaces.reserve(meshes.size());
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    CloudPtr samples(new Cloud);
    upSampleMesh(meshes[m], samples, seed + static_cast<std::uint32_t>(m));
    if (samples->points.size() <= 3) {
      LOG_INFO("removePointsFromMesh mesh.cloud.points.size()<=3 ERROR!");
      return -3;
    }
    surfaces.emplace_back(*samples, kNearSurface);
  }

  // Each point is decided on its own against grids that are only read: the points may share threads.
  const std::size_t count = in->points.size();
  std::vector<std::uint8_t> keep(count);
  detail::ThreadBudget budget;
  const int threads = budget.team(count, detail::kMinNearTestPoints);
  detail::forEachStatic(static_cast<long>(count), threads, detail::kNearTestChunk, [&](long i) {
    bool near = false;
    for (const detail::SurfaceGrid& surface : surfaces) {
      if (surface.isNear(in->points[static_cast<std::size_t>(i)])) {
        near = true;
        break;
      }
    }
    keep[static_cast<std::size_t>(i)] = near ? 0 : 1;
  });
  // The flags were all decided before, so `out` may be `in`. Header and sensor pose of `out` stay as they
  // were; it becomes one row of the kept points, one row even when none is kept, flagged dense exactly
  // when every kept point is finite.
  detail::keepPoints(*in, *out, [&](std::size_t i) { return keep[i] != 0; });
  out->height = 1;
  return 0;
}

}  // namespace nimbrel_arm_util
