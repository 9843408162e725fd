// Convex hulls and surface sampling of meshes.
#include <pcl/conversions.h>
#include <pcl/surface/convex_hull.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "engines/mesh_geometry.hpp"
#include "engines/point_helpers.hpp"
#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace {

// One random point per this much triangle area (40,000 per square unit).
constexpr double kAreaPerSample = 2.5e-5;

// Most samples one call may draw: 50 million points, 1,250 square units of surface, take 800 MB as the
// temporary cloud and as much again in `out` (a kd-tree over them in the fast mesh removal needs more).
// An object mesh of a robot cell has a few square metres of surface; a mesh that needs more than this was
// built in the wrong unit or is broken, and is refused before anything is drawn rather than letting the
// process run out of memory.
constexpr double kMaxSamplesPerCall = 5e7;

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

// Turns every face of a convex hull counter-clockwise seen from outside (its normal by the right-hand rule
// pointing away from the hull), as planners and physics engines read a mesh. The hull's vertex centroid lies
// inside it, so a face whose normal points towards the centroid is reversed, keeping its first corner.
void orientOutward(const PointCloudsDeal::Cloud& points, std::vector<pcl::Vertices>& faces) {
  if (points.points.empty()) return;
  Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
  for (const pcl::PointXYZ& p : points.points) centroid += detail::widen(p);
  centroid /= static_cast<double>(points.points.size());
  for (pcl::Vertices& face : faces) {
    if (!detail::isValidFace(face, points.points.size())) continue;
    const Eigen::Vector3d a = detail::widen(points.points[static_cast<std::size_t>(face.vertices[0])]);
    const Eigen::Vector3d b = detail::widen(points.points[static_cast<std::size_t>(face.vertices[1])]);
    const Eigen::Vector3d c = detail::widen(points.points[static_cast<std::size_t>(face.vertices[2])]);
    if ((b - a).cross(c - a).dot(a - centroid) < 0.0) {
      std::reverse(face.vertices.begin() + 1, face.vertices.end());
    }
  }
}

// Points closer than this fraction of the cloud's size (its extent or its distance from the origin,
// whichever is larger) to a plane or a line through the others lie on it: far above float rounding, far
// below any real object's thickness.
constexpr double kFlatRatio = 1e-6;

// True when the points span a volume, not only a plane, a line or a single point. A hull of such points
// has no faces, and qhull says so on the standard error stream; deciding first keeps that text away.
bool spansVolume(const PointCloudsDeal::Cloud& cloud) {
  const auto& points = cloud.points;
  if (points.empty()) return false;
  const Eigen::Vector3d a = detail::widen(points[0]);
  // The point farthest from a, then the one farthest from the line through both, then the one farthest
  // from the plane through all three.
  const auto farthest = [&](const auto& distance) {
    double best = -1.0;
    Eigen::Vector3d at = a;
    for (const pcl::PointXYZ& p : points) {
      const Eigen::Vector3d q = detail::widen(p);
      const double d = distance(q);
      if (d > best) {
        best = d;
        at = q;
      }
    }
    return std::make_pair(best, at);
  };
  double magnitude = 0.0;
  for (const pcl::PointXYZ& p : points)
    magnitude = std::max(magnitude, detail::widen(p).cwiseAbs().maxCoeff());
  const auto [extent, b] = farthest([&](const Eigen::Vector3d& q) { return (q - a).norm(); });
  const double tolerance = kFlatRatio * std::max(extent, magnitude);
  if (!(extent > tolerance)) return false;
  const Eigen::Vector3d along = (b - a) / extent;
  const auto [offLine, c] = farthest([&](const Eigen::Vector3d& q) { return along.cross(q - a).norm(); });
  if (!(offLine > tolerance)) return false;
  const Eigen::Vector3d normal = along.cross(c - a).normalized();
  const auto [offPlane, d] = farthest([&](const Eigen::Vector3d& q) { return std::abs(normal.dot(q - a)); });
  (void)d;
  return offPlane > tolerance;
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
    detail::readVertices(mesh, *cloud);
    // qhull dereferences a null facet when handed an infinite or NaN coordinate and kills the process:
    // only the finite vertices take part in the hull, and too few of them is too few vertices.
    detail::keepPoints(*cloud, *cloud,
                       [&](std::size_t i) { return detail::isFinitePoint(cloud->points[i]); });
    if (cloud->points.size() <= 3) {
      LOG_INFO("convertToConvexHull mesh.cloud.points.size()<=3 ERROR!\n");
      return -2;
    }
    if (!spansVolume(*cloud)) {
      LOG_INFO(
          "convertToConvexHull mesh is flat or degenerate (coplanar, collinear or repeated vertices) "
          "ERROR!\n");
      return -3;
    }
    pcl::ConvexHull<pcl::PointXYZ> hull;
    hull.setInputCloud(cloud);
    hull.setDimension(3);
    Cloud hullPoints;
    std::vector<pcl::Vertices> faces;
    hull.reconstruct(hullPoints, faces);
    // Nearly flat points that qhull still finds too thin for a hull: the same answer.
    if (faces.empty()) {
      LOG_INFO(
          "convertToConvexHull mesh is flat or degenerate (coplanar, collinear or repeated vertices) "
          "ERROR!\n");
      return -3;
    }
    orientOutward(hullPoints, faces);
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
  std::random_device device;
  return upSampleMesh(mesh, out, device());
}

int PointCloudsDeal::upSampleMesh(pcl::PolygonMesh& mesh, CloudPtr out, std::uint32_t seed) {
  Cloud vertices;
  detail::readVertices(mesh, vertices);
  // Size every triangle before drawing any sample, so that a refused mesh allocates nothing and leaves
  // `out` as it was.
  std::vector<int> counts(mesh.polygons.size(), 0);
  double total = 0.0;
  for (std::size_t f = 0; f < mesh.polygons.size(); ++f) {
    const pcl::Vertices& face = mesh.polygons[f];
    if (!detail::isValidFace(face, vertices.points.size())) {
      continue;
    }
    const double area =
        calTriangleArea(detail::widen(vertices.points[static_cast<std::size_t>(face.vertices[0])]),
                        detail::widen(vertices.points[static_cast<std::size_t>(face.vertices[1])]),
                        detail::widen(vertices.points[static_cast<std::size_t>(face.vertices[2])]));
    // A NaN area (a corner that is not a number) cannot be sized: such a triangle gets no samples.
    if (std::isnan(area) || area < kAreaPerSample) {
      continue;
    }
    const double q = area / kAreaPerSample;
    if (q < -2147483648.0 || q > 2147483647.0) {
      throw std::overflow_error("double value is out of int range");
    }
    counts[f] = static_cast<int>(std::round(q));
    total += counts[f];
  }
  if (total > kMaxSamplesPerCall) {
    throw std::overflow_error("mesh needs more than 50000000 surface samples");
  }
  Cloud samples;
  samples.points.reserve(static_cast<std::size_t>(total));
  // One engine per call: seeding costs thousands of draws, so reseeding for every sample would dominate.
  std::mt19937 engine(seed);
  for (std::size_t f = 0; f < mesh.polygons.size(); ++f) {
    if (counts[f] == 0) {
      continue;
    }
    const pcl::Vertices& face = mesh.polygons[f];
    const Eigen::Vector3d a = detail::widen(vertices.points[static_cast<std::size_t>(face.vertices[0])]);
    const Eigen::Vector3d b = detail::widen(vertices.points[static_cast<std::size_t>(face.vertices[1])]);
    const Eigen::Vector3d c = detail::widen(vertices.points[static_cast<std::size_t>(face.vertices[2])]);
    for (int i = 0; i < counts[f]; ++i) {
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
