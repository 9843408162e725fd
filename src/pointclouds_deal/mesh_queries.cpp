// Point queries against triangle meshes: ray test, inside test, face distances and proximity.
#include <pcl/common/point_tests.h>
#include <pcl/conversions.h>

#include <algorithm>
#include <limits>
#include <memory>

#include "engines/mesh_geometry.hpp"
#include "engines/point_helpers.hpp"
#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace {

Eigen::Vector3f toVector(const pcl::PointXYZ& p) { return Eigen::Vector3f(p.x, p.y, p.z); }

}  // namespace

bool PointCloudsDeal::isPointNearObj(pcl::PointXYZ& point, pcl::search::KdTree<pcl::PointXYZ>::Ptr tree,
                                     double threshold) {
  // The search asserts on a non-finite query and ends the process; such a point has no nearest neighbour.
  if (!detail::isFinitePoint(point)) {
    return false;
  }
  pcl::Indices indices(1);
  std::vector<float> squaredDistances(1);
  if (tree->nearestKSearch(point, 1, indices, squaredDistances) < 1) {
    return false;
  }
  return static_cast<double>(squaredDistances[0]) < threshold * threshold;
}

bool PointCloudsDeal::rayIntersectsTriangle(CloudPtr meshCloud, const pcl::PointXYZ& origin,
                                            const pcl::PointXYZ& direction, const pcl::Vertices& triangle,
                                            pcl::PointXYZ& hit) {
  const detail::RayTriangleHit result = detail::intersectRay(
      *meshCloud, triangle, toVector(origin), toVector(direction), detail::ParallelBound::kAbsolute);
  if (!result.hit) {
    return false;
  }
  hit.x = static_cast<float>(static_cast<double>(origin.x) + static_cast<double>(direction.x) * result.t);
  hit.y = static_cast<float>(static_cast<double>(origin.y) + static_cast<double>(direction.y) * result.t);
  hit.z = static_cast<float>(static_cast<double>(origin.z) + static_cast<double>(direction.z) * result.t);
  return true;
}

bool PointCloudsDeal::isPointInsideMesh(const pcl::PointXYZ& point, CloudPtr meshCloud,
                                        const std::vector<pcl::Vertices>& polygons) {
  return detail::isInsideMesh(*meshCloud, polygons, point);
}

int PointCloudsDeal::calMinDistToTriangle(CloudPtr meshCloud, const pcl::PointXYZ& point,
                                          const pcl::Vertices& triangle, double& dist) {
  if (!detail::isValidFace(triangle, meshCloud->points.size())) {
    return -1;
  }
  dist = detail::faceDistance(*meshCloud, triangle, point);
  return 0;
}

int PointCloudsDeal::findNearestTriangles(const pcl::PointXYZ& point, pcl::PolygonMesh& mesh, double& dist) {
  auto vertices = std::make_shared<Cloud>();
  detail::readVertices(mesh, *vertices);
  if (vertices->points.size() < 3) {
    LOG_INFO("mesh points size <3 ERROR");
    return -1;
  }
  dist = std::numeric_limits<double>::max();
  // A nearest vertex exists when the point is finite and some vertex can be searched for (finite, within
  // the range a search tree holds).
  const bool searchable =
      std::any_of(vertices->points.begin(), vertices->points.end(), detail::isSearchablePoint<pcl::PointXYZ>);
  if (!detail::isFinitePoint(point) || !searchable) {
    LOG_INFO("can not find nearest point");
    return -2;
  }
  // The nearest face of the whole mesh: the faces around the nearest vertex miss it on meshes whose faces
  // do not share vertices and on coarse meshes whose vertices lie far from the nearest face.
  dist = detail::nearestFaceDistance(*vertices, mesh.polygons, point);
  return 0;
}

bool PointCloudsDeal::isPointInsideMeshs(const pcl::PointXYZ& point, std::vector<pcl::PolygonMesh>& meshes) {
  for (pcl::PolygonMesh& mesh : meshes) {
    auto vertices = std::make_shared<Cloud>();
    detail::readVertices(mesh, *vertices);
    if (isPointInsideMesh(point, vertices, mesh.polygons)) {
      return true;
    }
    double dist = std::numeric_limits<double>::max();
    // A mesh without a usable nearest vertex says nothing about this point; the others still may.
    if (findNearestTriangles(point, mesh, dist) != 0) {
      continue;
    }
    if (dist < detail::kNearMeshDistance) {
      return true;
    }
  }
  return false;
}

}  // namespace nimbrel_arm_util
