#include "peer/scene.hpp"

#include <pcl/conversions.h>
#include <pcl/filters/voxel_grid.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <opencv2/calib3d.hpp>
#include <random>
#include <utility>

#include "support/geometry.hpp"

namespace nimbrel_bench {
namespace {

constexpr double kTilt = 20.0 * M_PI / 180.0;
const Eigen::Vector3d kCameraPosition(0.55, 0.0, 1.1);

const Eigen::Vector3d kBoxCentre(0.85, 0.2, 0.1);
const Eigen::Vector3d kBoxSize(0.4, 0.3, 0.2);
const Eigen::Vector3d kBallCentre(1.0, -0.2, 0.15);
constexpr double kBallRadius = 0.15;
const Eigen::Vector3d kToolCentre(0.75, -0.3, 0.45);
const Eigen::Vector3d kToolSize(0.1, 0.1, 0.2);

constexpr double kNoiseMetres = 0.0015;
constexpr double kFlyingShare = 0.003;
constexpr double kHoleShare = 0.02;

// Columns: the camera's x (image right), y (image down) and z (optical axis) in the robot frame.
Eigen::Matrix3d cameraRotation() {
  const Eigen::Vector3d z(std::sin(kTilt), 0.0, -std::cos(kTilt));
  const Eigen::Vector3d x(0.0, -1.0, 0.0);
  Eigen::Matrix3d r;
  r.col(0) = x;
  r.col(1) = z.cross(x);
  r.col(2) = z;
  return r;
}

// Distance along `d` from `o` to an axis-aligned box, or infinity.
double hitBox(const Eigen::Vector3d& o, const Eigen::Vector3d& d, const Eigen::Vector3d& centre,
              const Eigen::Vector3d& size) {
  double near = 0.0;
  double far = std::numeric_limits<double>::infinity();
  for (int k = 0; k < 3; ++k) {
    const double lo = centre[k] - size[k] / 2;
    const double hi = centre[k] + size[k] / 2;
    if (d[k] == 0.0) {
      if (o[k] < lo || o[k] > hi) return std::numeric_limits<double>::infinity();
      continue;
    }
    double t0 = (lo - o[k]) / d[k];
    double t1 = (hi - o[k]) / d[k];
    if (t0 > t1) std::swap(t0, t1);
    near = std::max(near, t0);
    far = std::min(far, t1);
  }
  return near <= far && near > 0.0 ? near : std::numeric_limits<double>::infinity();
}

double hitBall(const Eigen::Vector3d& o, const Eigen::Vector3d& d) {
  const Eigen::Vector3d oc = o - kBallCentre;
  const double a = d.squaredNorm();
  const double b = oc.dot(d);
  const double c = oc.squaredNorm() - kBallRadius * kBallRadius;
  const double disc = b * b - a * c;
  if (disc < 0.0) return std::numeric_limits<double>::infinity();
  const double t = (-b - std::sqrt(disc)) / a;
  return t > 0.0 ? t : std::numeric_limits<double>::infinity();
}

// Depth along the optical axis of the first surface seen through the camera-frame direction (x, y, 1).
double depthAlong(double x, double y) {
  static const Eigen::Matrix3d rotation = cameraRotation();
  const Eigen::Vector3d d = rotation * Eigen::Vector3d(x, y, 1.0);
  const Eigen::Vector3d& o = kCameraPosition;
  double t = d.z() < 0.0 ? -o.z() / d.z() : std::numeric_limits<double>::infinity();
  t = std::min(t, hitBox(o, d, kBoxCentre, kBoxSize));
  t = std::min(t, hitBox(o, d, kToolCentre, kToolSize));
  t = std::min(t, hitBall(o, d));
  return t;
}

// Sensor effects of one reading: noise, flying pixels, holes. Returns 0 for a hole.
double sense(double depth, std::mt19937& rng) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, kNoiseMetres);
  const double roll = unit(rng);
  const double n = noise(rng);
  const double fly = 0.8 + 0.4 * unit(rng);
  if (!std::isfinite(depth) || roll < kHoleShare) return 0.0;
  if (roll < kHoleShare + kFlyingShare) return depth * fly;
  return depth + n;
}

cv::Mat render(int width, int height) {
  const nimbrel_arm_util::CameraIntrinsic c = intrinsics(width);
  const cv::Matx33d k(c.fx, 0.0, c.cx, 0.0, c.fy, c.cy, 0.0, 0.0, 1.0);
  const cv::Vec<double, 5> distortion(c.k1, c.k2, c.p1, c.p2, c.k3);
  // Each raw pixel sees along the ray that the lens bends onto it.
  std::vector<cv::Point2d> pixels;
  pixels.reserve(static_cast<std::size_t>(width) * height);
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) pixels.emplace_back(u, v);
  }
  std::vector<cv::Point2d> rays;
  cv::undistortPoints(pixels, rays, k, distortion);
  cv::Mat depth(height, width, CV_16UC1);
  std::mt19937 rng(static_cast<std::uint32_t>(width));
  for (int v = 0; v < height; ++v) {
    auto* row = depth.ptr<std::uint16_t>(v);
    for (int u = 0; u < width; ++u) {
      const cv::Point2d& ray = rays[static_cast<std::size_t>(v) * width + u];
      const double metres = sense(depthAlong(ray.x, ray.y), rng);
      row[u] = static_cast<std::uint16_t>(std::clamp(std::lround(metres * 1000.0), 0L, 65535L));
    }
  }
  return depth;
}

CloudPtr renderCloud() {
  const nimbrel_arm_util::CameraIntrinsic c = intrinsics(640);
  CloudPtr cloud(new Cloud(640, 480));
  std::mt19937 rng(5);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int v = 0; v < 480; ++v) {
    for (int u = 0; u < 640; ++u) {
      const double x = (u - c.cx) / c.fx;
      const double y = (v - c.cy) / c.fy;
      const double z = sense(depthAlong(x, y), rng);
      pcl::PointXYZ& p = cloud->at(u, v);
      if (z == 0.0) {
        p = pcl::PointXYZ(nan, nan, nan);
      } else {
        p = pcl::PointXYZ(static_cast<float>(x * z), static_cast<float>(y * z), static_cast<float>(z));
      }
    }
  }
  cloud->is_dense = false;
  return cloud;
}

Eigen::Matrix4d poseAt(const Eigen::Vector3d& centre) {
  Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
  pose.block<3, 1>(0, 3) = centre;
  return pose;
}

}  // namespace

nimbrel_arm_util::CameraIntrinsic intrinsics(int width) {
  const bool wide = width != 640;
  const float f = wide ? 910.0f : 605.0f;
  nimbrel_arm_util::CameraIntrinsic c{};
  c.fx = f;
  c.cx = wide ? 639.5f : 319.5f;
  c.fy = f;
  c.cy = wide ? 359.5f : 239.5f;
  c.k1 = 0.08f;
  c.k2 = -0.15f;
  c.p1 = 0.001f;
  c.p2 = -0.0005f;
  c.k3 = 0.05f;
  return c;
}

const cv::Mat& depthImage(int width, int height) {
  static std::map<std::pair<int, int>, cv::Mat> images;
  cv::Mat& image = images[{width, height}];
  if (image.empty()) image = render(width, height);
  return image;
}

const CloudPtr& organizedCloud() {
  static const CloudPtr cloud = renderCloud();
  return cloud;
}

const CloudPtr& finiteCloud() {
  static const CloudPtr cloud = [] {
    CloudPtr finite(new Cloud);
    for (const pcl::PointXYZ& p : organizedCloud()->points) {
      if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) finite->push_back(p);
    }
    return finite;
  }();
  return cloud;
}

const CloudPtr& robotCloud() {
  static const CloudPtr cloud = [] {
    const Eigen::Matrix4f t = cameraToRobot();
    CloudPtr moved(new Cloud);
    moved->reserve(finiteCloud()->size());
    for (const pcl::PointXYZ& p : finiteCloud()->points) {
      const Eigen::Vector3f q = t.block<3, 3>(0, 0) * p.getVector3fMap() + t.block<3, 1>(0, 3);
      moved->push_back(pcl::PointXYZ(q.x(), q.y(), q.z()));
    }
    return moved;
  }();
  return cloud;
}

const CloudPtr& voxelizedCloud(double leaf) {
  static std::map<double, CloudPtr> clouds;
  CloudPtr& cloud = clouds[leaf];
  if (!cloud) {
    cloud.reset(new Cloud);
    pcl::VoxelGrid<pcl::PointXYZ> grid;
    grid.setInputCloud(finiteCloud());
    const float edge = static_cast<float>(leaf);
    grid.setLeafSize(edge, edge, edge);
    grid.filter(*cloud);
  }
  return cloud;
}

Eigen::Matrix4f cameraToRobot() {
  Eigen::Matrix4d t = Eigen::Matrix4d::Identity();
  t.block<3, 3>(0, 0) = cameraRotation();
  t.block<3, 1>(0, 3) = kCameraPosition;
  return t.cast<float>();
}

Eigen::Matrix4d objectBoxPose() { return poseAt(kBoxCentre); }

const double* objectBoxSize() {
  static const double size[3] = {kBoxSize.x(), kBoxSize.y(), kBoxSize.z()};
  return size;
}

Eigen::Matrix4d toolPose() { return poseAt(kToolCentre); }

const double* toolSize() {
  static const double size[3] = {kToolSize.x(), kToolSize.y(), kToolSize.z()};
  return size;
}

const pcl::PolygonMesh& boxMesh() {
  static const pcl::PolygonMesh mesh =
      nimbrel_test::makeBox(kBoxCentre.cast<float>(), kBoxSize.cast<float>());
  return mesh;
}

const pcl::PolygonMesh& ballMesh() {
  static const pcl::PolygonMesh mesh =
      nimbrel_test::makeIcosphere(4, static_cast<float>(kBallRadius), kBallCentre.cast<float>());
  return mesh;
}

PlainMesh plainMesh(const pcl::PolygonMesh& mesh) {
  Cloud vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  PlainMesh plain;
  for (const pcl::PointXYZ& p : vertices.points) plain.vertices.insert(plain.vertices.end(), {p.x, p.y, p.z});
  for (const pcl::Vertices& face : mesh.polygons) {
    for (int k = 0; k < 3; ++k) plain.triangles.push_back(static_cast<std::uint32_t>(face.vertices[k]));
  }
  return plain;
}

std::size_t samplesAtLibraryDensity(const pcl::PolygonMesh& mesh) {
  Cloud vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  std::size_t total = 0;
  for (const pcl::Vertices& face : mesh.polygons) {
    const Eigen::Vector3d a = vertices.points[face.vertices[0]].getVector3fMap().cast<double>();
    const Eigen::Vector3d b = vertices.points[face.vertices[1]].getVector3fMap().cast<double>();
    const Eigen::Vector3d c = vertices.points[face.vertices[2]].getVector3fMap().cast<double>();
    const double area = 0.5 * (b - a).cross(c - a).norm();
    if (area >= 2.5e-5) total += static_cast<std::size_t>(std::lround(area / 2.5e-5));
  }
  return total;
}

}  // namespace nimbrel_bench
