// Convex hulls and surface sampling of meshes.
#include <pcl/conversions.h>
#include <pcl/surface/convex_hull.h>

#include <cmath>
#include <memory>
#include <random>
#include <stdexcept>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "pointclouds_deal/mesh_geometry.hpp"

namespace nimbrel_arm_util {
namespace {

// One random point per this much triangle area (40,000 per square unit).
constexpr double kAreaPerSample = 2.5e-5;

// The corner-favouring construction: a point on edge ab, a point on edge ac, then a point between them.
// Shared by the freshly seeded single draw and the one-generator loop of upSampleMesh, so both give the
// same distribution.
Eigen::Vector3d drawPointInTriangle(std::mt19937& engine, const Eigen::Vector3d& a, const Eigen::Vector3d& b,
                                    const Eigen::Vector3d& c) {
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const double r1 = uniform(engine);
  const double r2 = uniform(engine);
  const double r3 = uniform(engine);
  const Eigen::Vector3d p1 = a + r1 * (b - a);
  const Eigen::Vector3d p2 = a + r2 * (c - a);
  return p1 + r3 * (p2 - p1);
}

Eigen::Vector3d widen(const pcl::PointXYZ& p) {
  return Eigen::Vector3d(static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z));
}

}  // namespace

int PointCloudsDeal::convertToConvexHull(std::vector<pcl::PolygonMesh>& meshes,
                                         std::vector<pcl::PolygonMesh>& hulls) {
  const int count = static_cast<int>(meshes.size());
  if (count <= 0) {
    LOG_INFO("convertToConvexHull mesh size==0 ERROR!\n");
    return -1;
  }
  for (const pcl::PolygonMesh& mesh : meshes) {
    auto cloud = std::make_shared<Cloud>();
    pcl::fromPCLPointCloud2(mesh.cloud, *cloud);
    if (cloud->points.size() <= 3) {
      LOG_INFO("convertToConvexHull mesh.cloud.points.size()<=3 ERROR!\n");
      return -2;
    }
    pcl::ConvexHull<pcl::PointXYZ> hull;
    hull.setInputCloud(cloud);
    hull.setDimension(3);
    Cloud hullPoints;
    std::vector<pcl::Vertices> faces;
    hull.reconstruct(hullPoints, faces);
    pcl::PolygonMesh hullMesh;
    pcl::toPCLPointCloud2(hullPoints, hullMesh.cloud);
    hullMesh.polygons = std::move(faces);
    hulls.push_back(std::move(hullMesh));
  }
  return 0;
}

double PointCloudsDeal::calTriangleArea(const Eigen::Vector3d& a, const Eigen::Vector3d& b,
                                        const Eigen::Vector3d& c) {
  return 0.5 * (b - a).cross(c - a).norm();
}

Eigen::Vector3d PointCloudsDeal::randomPointInTriangle(const Eigen::Vector3d& a, const Eigen::Vector3d& b,
                                                       const Eigen::Vector3d& c) {
  std::random_device device;
  std::mt19937 engine(device());
  return drawPointInTriangle(engine, a, b, c);
}

int PointCloudsDeal::upSampleMesh(pcl::PolygonMesh& mesh, CloudPtr out) {
  Cloud vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  Cloud samples;
  // One engine per call: seeding costs thousands of draws, so reseeding for every sample would dominate.
  std::random_device device;
  std::mt19937 engine(device());
  for (const pcl::Vertices& face : mesh.polygons) {
    if (!detail::isValidFace(face, vertices.points.size())) {
      continue;
    }
    const Eigen::Vector3d a = widen(vertices.points[static_cast<std::size_t>(face.vertices[0])]);
    const Eigen::Vector3d b = widen(vertices.points[static_cast<std::size_t>(face.vertices[1])]);
    const Eigen::Vector3d c = widen(vertices.points[static_cast<std::size_t>(face.vertices[2])]);
    const double area = calTriangleArea(a, b, c);
    // A NaN area (a corner that is not a number) cannot be sized: such a triangle gets no samples.
    if (std::isnan(area) || area < kAreaPerSample) {
      continue;
    }
    const double q = area / kAreaPerSample;
    if (q < -2147483648.0 || q > 2147483647.0) {
      throw std::overflow_error("double value is out of int range");
    }
    const int n = static_cast<int>(std::round(q));
    for (int i = 0; i < n; ++i) {
      const Eigen::Vector3d p = drawPointInTriangle(engine, a, b, c);
      samples.points.emplace_back(static_cast<float>(p.x()), static_cast<float>(p.y()),
                                  static_cast<float>(p.z()));
    }
  }
  out->points.reserve(out->points.size() + vertices.points.size() + samples.points.size());
  for (const pcl::PointXYZ& p : vertices.points) {
    out->push_back(p);
  }
  for (const pcl::PointXYZ& p : samples.points) {
    out->push_back(p);
  }
  return 0;
}

}  // namespace nimbrel_arm_util
