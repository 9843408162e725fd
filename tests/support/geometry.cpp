#include "support/geometry.hpp"

#include <pcl/conversions.h>

#include <Eigen/Geometry>
#include <cmath>
#include <map>
#include <random>
#include <utility>

namespace nimbrel_test {

pcl::PolygonMesh makeMesh(const std::vector<Eigen::Vector3f>& vertices,
                          const std::vector<std::vector<std::uint32_t>>& faces) {
  Cloud cloud;
  for (const Eigen::Vector3f& v : vertices) cloud.push_back(pcl::PointXYZ(v.x(), v.y(), v.z()));
  pcl::PolygonMesh mesh;
  pcl::toPCLPointCloud2(cloud, mesh.cloud);
  for (const std::vector<std::uint32_t>& face : faces) {
    pcl::Vertices polygon;
    polygon.vertices.assign(face.begin(), face.end());
    mesh.polygons.push_back(polygon);
  }
  return mesh;
}

pcl::PolygonMesh makeCube(Diagonal diagonal, float edge, Eigen::Vector3f lo) {
  // Vertex i has x = bit 0, y = bit 1, z = bit 2 of i.
  std::vector<Eigen::Vector3f> v;
  for (int i = 0; i < 8; ++i) {
    v.push_back(lo + edge * Eigen::Vector3f(float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1)));
  }
  // Each face as a quad a, b, c, d in counter-clockwise order seen from outside.
  const std::uint32_t quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                                     {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  std::vector<std::vector<std::uint32_t>> faces;
  for (const auto& q : quads) {
    if (diagonal == Diagonal::kMain) {
      faces.push_back({q[0], q[1], q[2]});
      faces.push_back({q[0], q[2], q[3]});
    } else {
      faces.push_back({q[0], q[1], q[3]});
      faces.push_back({q[1], q[2], q[3]});
    }
  }
  return makeMesh(v, faces);
}

pcl::PolygonMesh makeBox(Eigen::Vector3f centre, Eigen::Vector3f size) {
  pcl::PolygonMesh mesh = makeCube(Diagonal::kMain, 1.0f, Eigen::Vector3f::Zero());
  Cloud cloud;
  pcl::fromPCLPointCloud2(mesh.cloud, cloud);
  for (pcl::PointXYZ& p : cloud.points) {
    p.x = centre.x() + (p.x - 0.5f) * size.x();
    p.y = centre.y() + (p.y - 0.5f) * size.y();
    p.z = centre.z() + (p.z - 0.5f) * size.z();
  }
  pcl::toPCLPointCloud2(cloud, mesh.cloud);
  return mesh;
}

pcl::PolygonMesh makeTetrahedron() {
  return makeMesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}});
}

pcl::PolygonMesh makeIcosphere(int subdivisions, float radius, Eigen::Vector3f centre) {
  const double t = (1.0 + std::sqrt(5.0)) / 2.0;
  std::vector<Eigen::Vector3d> v = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0},
                                    {0, -1, t}, {0, 1, t}, {0, -1, -t}, {0, 1, -t},
                                    {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
  for (Eigen::Vector3d& p : v) p.normalize();
  std::vector<std::vector<std::uint32_t>> f = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                                               {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                                               {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                                               {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
  for (int s = 0; s < subdivisions; ++s) {
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> midpoints;
    auto midpoint = [&](std::uint32_t a, std::uint32_t b) {
      const auto key = std::make_pair(std::min(a, b), std::max(a, b));
      auto it = midpoints.find(key);
      if (it != midpoints.end()) return it->second;
      v.push_back((v[a] + v[b]).normalized());
      const auto index = static_cast<std::uint32_t>(v.size() - 1);
      midpoints.emplace(key, index);
      return index;
    };
    std::vector<std::vector<std::uint32_t>> next;
    for (const auto& tri : f) {
      const std::uint32_t ab = midpoint(tri[0], tri[1]);
      const std::uint32_t bc = midpoint(tri[1], tri[2]);
      const std::uint32_t ca = midpoint(tri[2], tri[0]);
      next.push_back({tri[0], ab, ca});
      next.push_back({tri[1], bc, ab});
      next.push_back({tri[2], ca, bc});
      next.push_back({ab, bc, ca});
    }
    f.swap(next);
  }
  std::vector<Eigen::Vector3f> vf;
  for (const Eigen::Vector3d& p : v) vf.push_back(centre + radius * p.cast<float>());
  return makeMesh(vf, f);
}

pcl::PolygonMesh makeTriangle(Eigen::Vector3f a, Eigen::Vector3f b, Eigen::Vector3f c) {
  return makeMesh({a, b, c}, {{0, 1, 2}});
}

CloudPtr makeCloud(const std::vector<Eigen::Vector3f>& points) {
  CloudPtr cloud(new Cloud);
  for (const Eigen::Vector3f& p : points) cloud->push_back(pcl::PointXYZ(p.x(), p.y(), p.z()));
  return cloud;
}

CloudPtr makeOrganizedCloud(std::uint32_t width, std::uint32_t height, float step, float z,
                            const std::vector<std::size_t>& nanPixels) {
  CloudPtr cloud(new Cloud(width, height));
  for (std::uint32_t r = 0; r < height; ++r) {
    for (std::uint32_t c = 0; c < width; ++c) {
      cloud->at(c, r) = pcl::PointXYZ(c * step, r * step, z);
    }
  }
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t i : nanPixels) cloud->points[i] = pcl::PointXYZ(nan, nan, nan);
  cloud->is_dense = nanPixels.empty();
  return cloud;
}

CloudPtr makeRandomCloud(std::size_t count, Eigen::Vector3f lo, Eigen::Vector3f hi, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> ux(lo.x(), hi.x()), uy(lo.y(), hi.y()), uz(lo.z(), hi.z());
  CloudPtr cloud(new Cloud);
  cloud->reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const float x = ux(rng), y = uy(rng), z = uz(rng);
    cloud->push_back(pcl::PointXYZ(x, y, z));
  }
  return cloud;
}

cv::Mat makeDepthImage(int width, int height, std::uint16_t millimetres,
                       const std::vector<cv::Point>& holes) {
  cv::Mat depth(height, width, CV_16UC1, cv::Scalar(millimetres));
  for (const cv::Point& p : holes) depth.at<std::uint16_t>(p.y, p.x) = 0;
  return depth;
}

cv::Mat makeFloorDepthImage(int width, int height, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::normal_distribution<double> noise(0.0, 2.0);
  std::uniform_real_distribution<double> dropout(0.0, 1.0);
  cv::Mat depth(height, width, CV_16UC1, cv::Scalar(0));
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      const double du = u - 0.3 * width, dv = v - 0.6 * height;
      const double bump = 60.0 * std::exp(-(du * du + dv * dv) / (0.01 * width * width));
      const double mm = 950.0 + 0.5 * v - bump + noise(engine);
      if (dropout(engine) < 0.03) continue;
      depth.at<std::uint16_t>(v, u) = static_cast<std::uint16_t>(std::lround(mm));
    }
  }
  return depth;
}

CloudPtr meshVertices(const pcl::PolygonMesh& mesh) {
  CloudPtr cloud(new Cloud);
  pcl::fromPCLPointCloud2(mesh.cloud, *cloud);
  return cloud;
}

CloudPtr makeSceneAround(const pcl::PolygonMesh& mesh, std::size_t count, float margin, float shell,
                         std::uint32_t seed) {
  const CloudPtr vertices = meshVertices(mesh);
  Eigen::Vector3f lo = Eigen::Vector3f::Constant(std::numeric_limits<float>::max());
  Eigen::Vector3f hi = -lo;
  for (const pcl::PointXYZ& p : vertices->points) {
    lo = lo.cwiseMin(p.getVector3fMap());
    hi = hi.cwiseMax(p.getVector3fMap());
  }
  lo.array() -= margin;
  hi.array() += margin;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_int_distribution<std::size_t> anyFace(0, mesh.polygons.empty() ? 0 : mesh.polygons.size() - 1);
  CloudPtr cloud(new Cloud);
  cloud->reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    Eigen::Vector3f p;
    if (i % 2 == 0 || mesh.polygons.empty()) {
      p = lo + (hi - lo).cwiseProduct(Eigen::Vector3f(unit(rng), unit(rng), unit(rng)));
    } else {
      const auto& face = mesh.polygons[anyFace(rng)].vertices;
      const Eigen::Vector3f a = vertices->points[face[0]].getVector3fMap();
      const Eigen::Vector3f b = vertices->points[face[1]].getVector3fMap();
      const Eigen::Vector3f c = vertices->points[face[2]].getVector3fMap();
      float r1 = unit(rng), r2 = unit(rng);
      if (r1 + r2 > 1.0f) {
        r1 = 1.0f - r1;
        r2 = 1.0f - r2;
      }
      const Eigen::Vector3f normal = (b - a).cross(c - a).normalized();
      p = a + r1 * (b - a) + r2 * (c - a) + (2.0f * unit(rng) - 1.0f) * shell * normal;
    }
    cloud->push_back(pcl::PointXYZ(p.x(), p.y(), p.z()));
  }
  return cloud;
}

CloudPtr meshFeaturePoints(const pcl::PolygonMesh& mesh) {
  const CloudPtr vertices = meshVertices(mesh);
  CloudPtr cloud(new Cloud(*vertices));
  for (const pcl::Vertices& polygon : mesh.polygons) {
    if (polygon.vertices.size() < 3) continue;
    Eigen::Vector3f corner[3];
    for (int k = 0; k < 3; ++k) corner[k] = vertices->points[polygon.vertices[k]].getVector3fMap();
    for (int k = 0; k < 3; ++k) {
      const Eigen::Vector3f& a = corner[k];
      const Eigen::Vector3f& b = corner[(k + 1) % 3];
      for (const float f : {0.25f, 0.5f, 0.75f}) {
        const Eigen::Vector3f p = a + f * (b - a);
        cloud->push_back(pcl::PointXYZ(p.x(), p.y(), p.z()));
      }
    }
    const Eigen::Vector3f centroid = (corner[0] + corner[1] + corner[2]) / 3.0f;
    cloud->push_back(pcl::PointXYZ(centroid.x(), centroid.y(), centroid.z()));
  }
  return cloud;
}

// ---- Object meshes as CAD exports and scans give them ----------------------------------------------------

pcl::PolygonMesh unweld(const pcl::PolygonMesh& mesh) {
  const CloudPtr vertices = meshVertices(mesh);
  std::vector<Eigen::Vector3f> corners;
  std::vector<std::vector<std::uint32_t>> faces;
  for (const pcl::Vertices& polygon : mesh.polygons) {
    std::vector<std::uint32_t> face;
    for (std::size_t k = 0; k < 3 && k < polygon.vertices.size(); ++k) {
      face.push_back(static_cast<std::uint32_t>(corners.size()));
      corners.push_back(vertices->points[polygon.vertices[k]].getVector3fMap());
    }
    faces.push_back(face);
  }
  return makeMesh(corners, faces);
}

pcl::PolygonMesh flipFaces(const pcl::PolygonMesh& mesh) {
  pcl::PolygonMesh flipped = mesh;
  for (pcl::Vertices& face : flipped.polygons) {
    if (face.vertices.size() >= 3) std::swap(face.vertices[1], face.vertices[2]);
  }
  return flipped;
}

pcl::PolygonMesh joinMeshes(const std::vector<pcl::PolygonMesh>& parts) {
  std::vector<Eigen::Vector3f> corners;
  std::vector<std::vector<std::uint32_t>> faces;
  for (const pcl::PolygonMesh& part : parts) {
    const auto offset = static_cast<std::uint32_t>(corners.size());
    const CloudPtr vertices = meshVertices(part);
    for (const pcl::PointXYZ& p : vertices->points) corners.push_back(p.getVector3fMap());
    for (const pcl::Vertices& polygon : part.polygons) {
      std::vector<std::uint32_t> face;
      for (const auto index : polygon.vertices) face.push_back(offset + static_cast<std::uint32_t>(index));
      faces.push_back(face);
    }
  }
  return makeMesh(corners, faces);
}

pcl::PolygonMesh makeLathe(const std::vector<Eigen::Vector2f>& profile, int segments, int axis,
                           Eigen::Vector3f centre, bool capped) {
  // Local frame: height along `axis`, the ring in the other two axes, in cyclic order so that the faces
  // built below face outward for a profile that runs up the outside.
  const int u = (axis + 1) % 3;
  const int v = (axis + 2) % 3;
  const auto at = [&](float radius, float height, double angle) {
    Eigen::Vector3f p = centre;
    p[axis] += height;
    p[u] += radius * static_cast<float>(std::cos(angle));
    p[v] += radius * static_cast<float>(std::sin(angle));
    return p;
  };
  const auto n = static_cast<std::uint32_t>(segments);
  const auto rings = static_cast<std::uint32_t>(profile.size());
  std::vector<Eigen::Vector3f> corners;
  for (const Eigen::Vector2f& rh : profile) {
    for (std::uint32_t s = 0; s < n; ++s) corners.push_back(at(rh.x(), rh.y(), 2.0 * M_PI * s / n));
  }
  std::vector<std::vector<std::uint32_t>> faces;
  const std::uint32_t bands = capped ? rings - 1 : rings;
  for (std::uint32_t r = 0; r < bands; ++r) {
    const std::uint32_t r1 = (r + 1) % rings;
    for (std::uint32_t s = 0; s < n; ++s) {
      const std::uint32_t s1 = (s + 1) % n;
      faces.push_back({r * n + s, r * n + s1, r1 * n + s1});
      faces.push_back({r * n + s, r1 * n + s1, r1 * n + s});
    }
  }
  if (capped) {
    const auto bottom = static_cast<std::uint32_t>(corners.size());
    corners.push_back(at(0.0f, profile.front().y(), 0.0));
    corners.push_back(at(0.0f, profile.back().y(), 0.0));
    const std::uint32_t top = (rings - 1) * n;
    for (std::uint32_t s = 0; s < n; ++s) {
      const std::uint32_t s1 = (s + 1) % n;
      faces.push_back({bottom, s1, s});
      faces.push_back({bottom + 1, top + s, top + s1});
    }
  }
  return makeMesh(corners, faces);
}

pcl::PolygonMesh makeFanCappedCylinder(int segments, float radius, float length, Eigen::Vector3f centre) {
  return makeLathe({{radius, -0.5f * length}, {radius, 0.5f * length}}, segments, 0, centre, true);
}

pcl::PolygonMesh makePipe(int segments, float outer, float inner, float length, Eigen::Vector3f centre) {
  const float h = 0.5f * length;
  return makeLathe({{outer, -h}, {outer, h}, {inner, h}, {inner, -h}}, segments, 1, centre, false);
}

pcl::PolygonMesh makeBottle(int segments, int rings, float height, Eigen::Vector3f base, int axis) {
  // Body up to 60 % of the height, a shoulder narrowing to the neck by 75 %, then the neck.
  std::vector<Eigen::Vector2f> profile;
  const float body = 0.3f * height;
  const float neck = 0.1f * height;
  for (int i = 0; i < rings; ++i) {
    const float t = static_cast<float>(i) / static_cast<float>(rings - 1);
    float radius = body;
    if (t > 0.75f) {
      radius = neck;
    } else if (t > 0.6f) {
      const float s = (t - 0.6f) / 0.15f;
      radius = body + (neck - body) * s * s * (3.0f - 2.0f * s);
    }
    profile.emplace_back(radius, t * height);
  }
  return makeLathe(profile, segments, axis, base, true);
}

pcl::PolygonMesh removeFacesBelow(const pcl::PolygonMesh& mesh, int axis, float level) {
  const CloudPtr vertices = meshVertices(mesh);
  pcl::PolygonMesh out;
  out.cloud = mesh.cloud;
  for (const pcl::Vertices& face : mesh.polygons) {
    float centroid = 0.0f;
    for (std::size_t k = 0; k < 3; ++k) centroid += vertices->points[face.vertices[k]].data[axis] / 3.0f;
    if (!(centroid < level)) out.polygons.push_back(face);
  }
  return out;
}

namespace {

// Coordinate of grid line i of n along axis a, exactly lo and hi at the ends.
float gridCoordinate(int i, int n, int a, const Eigen::Vector3f& lo, const Eigen::Vector3f& hi) {
  if (i == n) return hi[a];
  return lo[a] + (hi[a] - lo[a]) * (static_cast<float>(i) / static_cast<float>(n));
}

}  // namespace

pcl::PolygonMesh makeGridBox(int n, Eigen::Vector3f lo, Eigen::Vector3f hi) {
  std::vector<Eigen::Vector3f> corners;
  std::vector<std::vector<std::uint32_t>> faces;
  const auto m = static_cast<std::uint32_t>(n + 1);
  for (int a = 0; a < 3; ++a) {
    const int u = (a + 1) % 3;
    const int v = (a + 2) % 3;
    for (const bool high : {false, true}) {
      // Each side has its own vertices, equal in value to its neighbours' along the box's edges.
      const auto first = static_cast<std::uint32_t>(corners.size());
      for (int j = 0; j <= n; ++j) {
        for (int i = 0; i <= n; ++i) {
          Eigen::Vector3f p;
          p[a] = high ? hi[a] : lo[a];
          p[u] = gridCoordinate(i, n, u, lo, hi);
          p[v] = gridCoordinate(j, n, v, lo, hi);
          corners.push_back(p);
        }
      }
      for (std::uint32_t j = 0; j + 1 < m; ++j) {
        for (std::uint32_t i = 0; i + 1 < m; ++i) {
          const std::uint32_t q0 = first + j * m + i, q1 = q0 + 1, q2 = q0 + m + 1, q3 = q0 + m;
          // (u, v, a) is right-handed: counter-clockwise in (u, v) faces +a.
          if (high) {
            faces.push_back({q0, q1, q2});
            faces.push_back({q0, q2, q3});
          } else {
            faces.push_back({q0, q2, q1});
            faces.push_back({q0, q3, q2});
          }
        }
      }
    }
  }
  return makeMesh(corners, faces);
}

CloudPtr gridBoxSurfacePoints(int n, Eigen::Vector3f lo, Eigen::Vector3f hi, SurfaceSpot spot,
                              std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_int_distribution<int> line(0, n);
  CloudPtr cloud(new Cloud);
  cloud->reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    // The four sides along x in turn: y low, y high, z low, z high.
    const int a = k % 4 < 2 ? 1 : 2;
    const int u = (a + 1) % 3;
    const int v = (a + 2) % 3;
    Eigen::Vector3f p;
    p[a] = k % 2 == 0 ? lo[a] : hi[a];
    p[u] = lo[u] + (hi[u] - lo[u]) * unit(rng);
    p[v] = lo[v] + (hi[v] - lo[v]) * unit(rng);
    if (spot == SurfaceSpot::kVertex || (spot == SurfaceSpot::kEdge && k % 8 < 4)) {
      p[u] = gridCoordinate(line(rng), n, u, lo, hi);
    }
    if (spot == SurfaceSpot::kVertex || (spot == SurfaceSpot::kEdge && k % 8 >= 4)) {
      p[v] = gridCoordinate(line(rng), n, v, lo, hi);
    }
    cloud->push_back(pcl::PointXYZ(p.x(), p.y(), p.z()));
  }
  return cloud;
}

pcl::PolygonMesh makeCapsule(int segments, int rings, float radius, float length) {
  // The profile runs up the outside from the bottom cap's tip ring to the top cap's; the lathe's fans close
  // both tips.
  std::vector<Eigen::Vector2f> profile;
  for (int i = 1; i <= rings; ++i) {
    const double a = -0.5 * M_PI + 0.5 * M_PI * i / rings;
    profile.emplace_back(radius * static_cast<float>(std::cos(a)),
                         -0.5f * length + radius * static_cast<float>(std::sin(a)));
  }
  for (int i = 0; i < rings; ++i) {
    const double a = 0.5 * M_PI * i / rings;
    profile.emplace_back(radius * static_cast<float>(std::cos(a)),
                         0.5f * length + radius * static_cast<float>(std::sin(a)));
  }
  return makeLathe(profile, segments, 2, Eigen::Vector3f::Zero(), true);
}

namespace {

// The arm's links: each a capsule of `radius` from `a` to `b` in the base frame.
struct ArmLink {
  const char* name;
  Eigen::Vector3d a, b;
  float radius;
};
const std::vector<ArmLink>& armLinks() {
  static const std::vector<ArmLink> links{
      {"base_link", {0.0, 0.0, 0.0}, {0.0, 0.0, 0.1}, 0.075f},
      {"shoulder_link", {0.0, 0.0, 0.1}, {0.0, 0.0, 0.22}, 0.06f},
      {"upper_arm_link", {0.0, 0.13, 0.2}, {0.3, 0.13, 0.5}, 0.055f},
      {"forearm_link", {0.3, 0.03, 0.5}, {0.6, 0.03, 0.3}, 0.045f},
      {"wrist_1_link", {0.6, 0.03, 0.3}, {0.6, 0.13, 0.3}, 0.04f},
      {"wrist_2_link", {0.6, 0.13, 0.3}, {0.6, 0.13, 0.2}, 0.04f},
      {"wrist_3_link", {0.6, 0.13, 0.2}, {0.6, 0.2, 0.2}, 0.035f},
  };
  return links;
}

}  // namespace

nimbrel_arm_util::RobotDescription makeArm() {
  nimbrel_arm_util::RobotDescription arm;
  arm.name = "arm";
  arm.root = "world";
  arm.links.push_back({"world", {}});
  std::string parent = "world";
  for (const ArmLink& l : armLinks()) {
    nimbrel_arm_util::RobotShape shape;
    shape.kind = nimbrel_arm_util::RobotShape::Kind::kMesh;
    shape.mesh = makeCapsule(32, 12, l.radius, static_cast<float>((l.b - l.a).norm()));
    arm.links.push_back({l.name, {shape}});
    nimbrel_arm_util::RobotJoint joint;
    joint.name = std::string(l.name) + "_joint";
    joint.parent = parent;
    joint.child = l.name;
    arm.joints.push_back(joint);
    parent = l.name;
  }
  return arm;
}

std::map<std::string, Eigen::Matrix4d> armPoses() {
  std::map<std::string, Eigen::Matrix4d> poses;
  for (const ArmLink& l : armLinks()) {
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.topLeftCorner<3, 3>() =
        Eigen::Quaterniond::FromTwoVectors(Eigen::Vector3d::UnitZ(), l.b - l.a).toRotationMatrix();
    pose.topRightCorner<3, 1>() = 0.5 * (l.a + l.b);
    poses[l.name] = pose;
  }
  return poses;
}

}  // namespace nimbrel_test
