// The library's main job on one realistic camera frame.
//
// A tilted depth camera looks down at a table about 1 m below it. On the table stand a box and a ball; the
// gripper hangs in view above them. The program renders that scene into a 640x480 16-bit depth image
// (millimetres) with sensor noise, about 5% missing pixels and mild lens distortion, then runs the library
// as a grasping application would, through FramePipeline, which makes these calls in this order:
//
//   depth image -> cloud -> processPointClouds (workspace box) -> TransformToRobot
//   -> removeObbAndToolPointClouds (box object + gripper) -> removePointsFromMeshs /
//   fastRemovePointsFromMeshs (the frame runs once with each mesh method)
//
// It prints one line per step (points in, points out, milliseconds), writes each stage as a PCD file, the
// inputs (depth PNG, a few noisy frames of the same view in frames/, camera_info YAML, poses, meshes) for the
// command-line tool, and one picture with a top and a side view in which every point is coloured by the step
// that removed it. The frame, the scene and every stage's cloud are also written as NumPy arrays in arrays/
// (float32 (N, 3) clouds exactly as the library left them), with the road's parameters in arrays/road.json,
// so that Python can replay the road and compare.
//
// Usage: pipeline_demo [output-folder]   (default: demo-output)
#include <fmt/format.h>
#include <pcl/conversions.h>

#include <Eigen/Geometry>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <opencv2/core.hpp>
#include <random>
#include <rclcpp/rclcpp.hpp>
#include <string>
#include <vector>

#include "nimbrel_arm_util/frame_pipeline.hpp"
#include "nimbrel_arm_util/nimbrel_node_thread.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/files.hpp"
#include "support/render.hpp"

namespace {

namespace fs = std::filesystem;
using nimbrel_arm_util::CameraIntrinsic;
using nimbrel_arm_util::FramePipeline;
using nimbrel_arm_util::FramePipelineConfig;
using nimbrel_arm_util::FrameReport;
using nimbrel_arm_util::MeshMethod;
using nimbrel_arm_util::PointCloudsDeal;
using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = Cloud::Ptr;
using Eigen::Vector3d;

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr std::uint32_t kFirstSeed = 20261207u;  // sensor noise of the processed frame
constexpr std::uint32_t kSequenceFrames = 3;     // frames written to frames/ (the first is depth.png)

// ---- Scene (robot frame: z up, table top at z = 0)
// ---------------------------------------------------------

struct Box {
  Eigen::Matrix4d pose;  // columns: the box's axes, last column its centre
  Vector3d size;         // full edge lengths
};

Box makeBox(Vector3d centre, double yawDegrees, Vector3d size) {
  Box b;
  b.pose = Eigen::Matrix4d::Identity();
  b.pose.topLeftCorner<3, 3>() =
      Eigen::AngleAxisd(yawDegrees * M_PI / 180.0, Vector3d::UnitZ()).toRotationMatrix();
  b.pose.topRightCorner<3, 1>() = centre;
  b.size = size;
  return b;
}

struct Scene {
  Eigen::Matrix4d cameraToRobot;
  CameraIntrinsic intrinsic;
  double tableXMin = -0.30, tableXMax = 0.95, tableYMin = -0.55, tableYMax = 0.55;
  double floorZ = -0.72;
  Box object = makeBox({0.30, -0.17, 0.05}, 25.0, {0.20, 0.12, 0.10});
  Vector3d ballCentre{0.36, 0.17, 0.07};
  double ballRadius = 0.07;
  // The gripper: a body and two fingers, all inside the tool box given to the library.
  std::vector<Box> gripper = {makeBox({0.02, -0.02, 0.43}, -10.0, {0.08, 0.12, 0.12}),
                              makeBox({0.02 - 0.045 * std::sin(-10.0 * M_PI / 180.0),
                                       -0.02 + 0.045 * std::cos(-10.0 * M_PI / 180.0), 0.32},
                                      -10.0, {0.02, 0.02, 0.10}),
                              makeBox({0.02 + 0.045 * std::sin(-10.0 * M_PI / 180.0),
                                       -0.02 - 0.045 * std::cos(-10.0 * M_PI / 180.0), 0.32},
                                      -10.0, {0.02, 0.02, 0.10})};
  Box toolBox = makeBox({0.02, -0.02, 0.38}, -10.0, {0.045, 0.065, 0.11});  // size holds half extents
};

Scene makeScene() {
  Scene s;
  // The camera sits 1 m above the table top, behind the robot's workspace, pitched 30 degrees from
  // looking straight down and turned 4 degrees about the vertical.
  const double pitch = 30.0 * M_PI / 180.0;
  Eigen::Matrix3d r;
  r.col(0) = Vector3d(0, -1, 0);                               // image right
  r.col(1) = Vector3d(-std::cos(pitch), 0, -std::sin(pitch));  // image down
  r.col(2) = Vector3d(std::sin(pitch), 0, -std::cos(pitch));   // optical axis
  r = Eigen::AngleAxisd(4.0 * M_PI / 180.0, Vector3d::UnitZ()).toRotationMatrix() * r;
  s.cameraToRobot = Eigen::Matrix4d::Identity();
  s.cameraToRobot.topLeftCorner<3, 3>() = r;
  s.cameraToRobot.topRightCorner<3, 1>() = Vector3d(-0.35, 0.0, 1.0);
  s.intrinsic = CameraIntrinsic{525.0f, 319.5f, 525.0f, 239.5f, -0.04f, 0.012f, 0.0006f, -0.0004f, 0.0f};
  return s;
}

// Ray against an oriented box (slab test); returns the entry distance or +inf.
double hitBox(const Box& box, const Vector3d& o, const Vector3d& d, bool halfExtents = false) {
  const Eigen::Matrix3d r = box.pose.topLeftCorner<3, 3>();
  const Vector3d lo = r.transpose() * (o - box.pose.topRightCorner<3, 1>());
  const Vector3d ld = r.transpose() * d;
  const Vector3d half = halfExtents ? box.size : Vector3d(box.size * 0.5);
  double t0 = 0.0, t1 = std::numeric_limits<double>::infinity();
  for (int i = 0; i < 3; ++i) {
    if (std::abs(ld[i]) < 1e-12) {
      if (std::abs(lo[i]) > half[i]) return std::numeric_limits<double>::infinity();
      continue;
    }
    double a = (-half[i] - lo[i]) / ld[i], b = (half[i] - lo[i]) / ld[i];
    if (a > b) std::swap(a, b);
    t0 = std::max(t0, a);
    t1 = std::min(t1, b);
    if (t0 > t1) return std::numeric_limits<double>::infinity();
  }
  return t0 > 0.0 ? t0 : std::numeric_limits<double>::infinity();
}

double hitSphere(const Vector3d& c, double radius, const Vector3d& o, const Vector3d& d) {
  const Vector3d oc = o - c;
  const double a = d.dot(d), b = oc.dot(d), cc = oc.dot(oc) - radius * radius;
  const double disc = b * b - a * cc;
  if (disc < 0.0) return std::numeric_limits<double>::infinity();
  const double t = (-b - std::sqrt(disc)) / a;
  return t > 0.0 ? t : std::numeric_limits<double>::infinity();
}

double hitPlaneZ(double z, const Vector3d& o, const Vector3d& d) {
  if (std::abs(d.z()) < 1e-12) return std::numeric_limits<double>::infinity();
  const double t = (z - o.z()) / d.z();
  return t > 0.0 ? t : std::numeric_limits<double>::infinity();
}

// Depth along the optical axis of the first surface on the ray; the ray's camera-frame direction has z = 1,
// so its parameter is that depth.
double traceDepth(const Scene& s, const Vector3d& dirCamera) {
  const Vector3d o = s.cameraToRobot.topRightCorner<3, 1>();
  const Vector3d d = s.cameraToRobot.topLeftCorner<3, 3>() * dirCamera;
  double best = hitPlaneZ(s.floorZ, o, d);
  const double tTable = hitPlaneZ(0.0, o, d);
  if (std::isfinite(tTable)) {
    const Vector3d p = o + tTable * d;
    if (p.x() >= s.tableXMin && p.x() <= s.tableXMax && p.y() >= s.tableYMin && p.y() <= s.tableYMax)
      best = std::min(best, tTable);
  }
  best = std::min(best, hitBox(s.object, o, d));
  best = std::min(best, hitSphere(s.ballCentre, s.ballRadius, o, d));
  for (const auto& part : s.gripper) best = std::min(best, hitBox(part, o, d));
  return best;
}

// Deterministic noise from a fixed seed; numbers come straight from the engine's bits so that every
// standard library gives the same frame.
class Noise {
 public:
  explicit Noise(std::uint32_t seed) : engine_(seed) {}
  double uniform() { return static_cast<double>(engine_() >> 8) * (1.0 / 16777216.0); }
  double gaussian() {
    const double u1 = std::max(uniform(), 1e-12), u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
  }

 private:
  std::mt19937 engine_;
};

// Pixel of the distorting lens -> undistorted normalised image coordinates (fixed-point iteration).
Eigen::Vector2d undistortPixel(const CameraIntrinsic& c, double u, double v) {
  const double xd = (u - c.cx) / c.fx, yd = (v - c.cy) / c.fy;
  double x = xd, y = yd;
  for (int i = 0; i < 20; ++i) {
    const double r2 = x * x + y * y;
    const double radial = 1.0 + c.k1 * r2 + c.k2 * r2 * r2 + c.k3 * r2 * r2 * r2;
    const double dx = 2.0 * c.p1 * x * y + c.p2 * (r2 + 2.0 * x * x);
    const double dy = c.p1 * (r2 + 2.0 * y * y) + 2.0 * c.p2 * x * y;
    x = (xd - dx) / radial;
    y = (yd - dy) / radial;
  }
  return {x, y};
}

struct Frame {
  cv::Mat depth;  // CV_16UC1, millimetres, 0 = no reading
  double missingFraction = 0.0;
};

// True distance along the optical axis seen by every pixel of the distorting lens (metres; infinite where
// the ray meets nothing).
cv::Mat traceScene(const Scene& s) {
  cv::Mat metres(kHeight, kWidth, CV_64F);
  for (int v = 0; v < kHeight; ++v) {
    for (int u = 0; u < kWidth; ++u) {
      const Eigen::Vector2d n = undistortPixel(s.intrinsic, u, v);
      metres.at<double>(v, u) = traceDepth(s, Vector3d(n.x(), n.y(), 1.0));
    }
  }
  return metres;
}

// One sensor frame of the traced scene: noise and missing pixels drawn from `seed`.
Frame renderDepth(const cv::Mat& metres, std::uint32_t seed) {
  Noise noise(seed);
  Frame f;
  f.depth = cv::Mat::zeros(kHeight, kWidth, CV_16UC1);
  std::size_t missing = 0;
  for (int v = 0; v < kHeight; ++v) {
    for (int u = 0; u < kWidth; ++u) {
      const double z = metres.at<double>(v, u);
      // Structured-light sensors lose pixels along depth edges (the projector's shadow) and at random.
      bool edge = false;
      for (const auto& [du, dv] : {std::pair{1, 0}, std::pair{-1, 0}, std::pair{0, 1}, std::pair{0, -1}}) {
        const int uu = u + du, vv = v + dv;
        if (uu >= 0 && uu < kWidth && vv >= 0 && vv < kHeight &&
            std::abs(metres.at<double>(vv, uu) - z) > 0.03)
          edge = true;
      }
      const double dropout = noise.uniform();
      const double sigma = 0.0012 + 0.0019 * (z - 0.4) * (z - 0.4);  // axial noise grows with distance
      const double measured = z + sigma * noise.gaussian();
      if (!std::isfinite(z) || z > 4.0 || (edge && dropout < 0.7) || dropout < 0.035) {
        ++missing;
        continue;
      }
      f.depth.at<std::uint16_t>(v, u) = static_cast<std::uint16_t>(std::lround(measured * 1000.0));
    }
  }
  f.missingFraction = static_cast<double>(missing) / (kWidth * kHeight);
  return f;
}

// ---- Meshes of the objects (robot frame) -----------------------------------------------------------------

pcl::PolygonMesh meshFrom(const std::vector<Vector3d>& vertices,
                          const std::vector<std::array<int, 3>>& faces) {
  Cloud cloud;
  for (const auto& v : vertices)
    cloud.push_back(
        pcl::PointXYZ(static_cast<float>(v.x()), static_cast<float>(v.y()), static_cast<float>(v.z())));
  pcl::PolygonMesh mesh;
  pcl::toPCLPointCloud2(cloud, mesh.cloud);
  for (const auto& f : faces) {
    pcl::Vertices tri;
    tri.vertices = {f[0], f[1], f[2]};
    mesh.polygons.push_back(tri);
  }
  return mesh;
}

pcl::PolygonMesh boxMesh(const Box& box) {
  std::vector<Vector3d> v;
  for (int i = 0; i < 8; ++i) {
    const Vector3d local((i & 1 ? 0.5 : -0.5) * box.size.x(), (i & 2 ? 0.5 : -0.5) * box.size.y(),
                         (i & 4 ? 0.5 : -0.5) * box.size.z());
    v.push_back(box.pose.topLeftCorner<3, 3>() * local + box.pose.topRightCorner<3, 1>());
  }
  // Outward-facing triangles of the six faces.
  return meshFrom(v, {{0, 2, 1},
                      {1, 2, 3},
                      {4, 5, 6},
                      {5, 7, 6},
                      {0, 1, 4},
                      {1, 5, 4},
                      {2, 6, 3},
                      {3, 6, 7},
                      {0, 4, 2},
                      {2, 4, 6},
                      {1, 3, 5},
                      {3, 7, 5}});
}

pcl::PolygonMesh icosphere(const Vector3d& centre, double radius, int subdivisions) {
  const double t = (1.0 + std::sqrt(5.0)) / 2.0;
  std::vector<Vector3d> v = {{-1, t, 0},  {1, t, 0},  {-1, -t, 0}, {1, -t, 0}, {0, -1, t},  {0, 1, t},
                             {0, -1, -t}, {0, 1, -t}, {t, 0, -1},  {t, 0, 1},  {-t, 0, -1}, {-t, 0, 1}};
  for (auto& p : v) p.normalize();
  std::vector<std::array<int, 3>> f = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                                       {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                                       {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                                       {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
  for (int s = 0; s < subdivisions; ++s) {
    std::map<std::pair<int, int>, int> middle;
    const auto mid = [&](int a, int b) {
      const auto key = std::minmax(a, b);
      auto it = middle.find(key);
      if (it != middle.end()) return it->second;
      v.push_back((v[static_cast<std::size_t>(a)] + v[static_cast<std::size_t>(b)]).normalized());
      const int index = static_cast<int>(v.size()) - 1;
      middle.emplace(key, index);
      return index;
    };
    std::vector<std::array<int, 3>> next;
    for (const auto& tri : f) {
      const int a = mid(tri[0], tri[1]), b = mid(tri[1], tri[2]), c = mid(tri[2], tri[0]);
      next.push_back({tri[0], a, c});
      next.push_back({tri[1], b, a});
      next.push_back({tri[2], c, b});
      next.push_back({a, b, c});
    }
    f.swap(next);
  }
  for (auto& p : v) p = centre + radius * p;
  return meshFrom(v, f);
}

// ---- Reporting -----------------------------------------------------------------------------------------

// Box removals append to the point sequence without updating width and height; the PCD writer needs them
// to describe the points.
void describeAsList(Cloud& cloud) {
  cloud.width = static_cast<std::uint32_t>(cloud.size());
  cloud.height = 1;
}

void writeText(const std::string& path, const std::string& text) {
  nimbrel_tools::writeAtomically(path, [&](const std::string& tmp) {
    std::ofstream out(tmp);
    out << text;
  });
}

// One NumPy .npy file (format 1.0, little-endian): `descr` is the element type ("<f4", "<f8", "<u2",
// "<i4"), `data` the elements in C order.
void writeNpy(const std::string& path, const char* descr, const std::vector<std::size_t>& shape,
              const void* data, std::size_t bytes) {
  std::string dims;
  for (const std::size_t d : shape) dims += fmt::format("{}, ", d);
  if (shape.size() > 1) dims.resize(dims.size() - 2);
  std::string header = fmt::format("{{'descr': '{}', 'fortran_order': False, 'shape': ({}), }}", descr,
                                   shape.size() == 1 ? dims.substr(0, dims.size() - 1) : dims);
  // The magic, version and length take 10 bytes; the header ends in a newline at a multiple of 64.
  header.append(63 - (10 + header.size()) % 64, ' ');
  header += '\n';
  nimbrel_tools::writeAtomically(path, [&](const std::string& tmp) {
    std::ofstream out(tmp, std::ios::binary);
    const std::uint16_t length = static_cast<std::uint16_t>(header.size());
    out.write("\x93NUMPY\x01\x00", 8);
    out.put(static_cast<char>(length & 0xff)).put(static_cast<char>(length >> 8));
    out << header;
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
  });
}

// x, y, z of every point, without the padding of pcl::PointXYZ.
void writeCloudNpy(const std::string& path, const Cloud& cloud) {
  std::vector<float> xyz;
  xyz.reserve(cloud.size() * 3);
  for (const auto& p : cloud.points) xyz.insert(xyz.end(), {p.x, p.y, p.z});
  writeNpy(path, "<f4", {cloud.size(), 3}, xyz.data(), xyz.size() * sizeof(float));
}

void writeMeshNpy(const std::string& prefix, const pcl::PolygonMesh& mesh) {
  Cloud vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  writeCloudNpy(prefix + "_vertices.npy", vertices);
  std::vector<std::int32_t> faces;
  for (const auto& f : mesh.polygons)
    for (const auto i : f.vertices) faces.push_back(static_cast<std::int32_t>(i));
  writeNpy(prefix + "_faces.npy", "<i4", {mesh.polygons.size(), 3}, faces.data(),
           faces.size() * sizeof(std::int32_t));
}

void writeMatrixNpy(const std::string& path, const Eigen::Matrix4d& m) {
  const Eigen::Matrix<double, 4, 4, Eigen::RowMajor> rows = m;
  writeNpy(path, "<f8", {4, 4}, rows.data(), sizeof(double) * 16);
}

std::string matrixText(const Eigen::Matrix4d& m) {
  std::string s;
  for (int r = 0; r < 4; ++r)
    s += fmt::format("{:.9g} {:.9g} {:.9g} {:.9g}\n", m(r, 0), m(r, 1), m(r, 2), m(r, 3));
  return s;
}

// The scene file of this frame for `nimbrel_arm_util scene` and the ROS 2 scene node: every pose fixed in
// the robot frame, written with all the digits a double needs to read back the same.
std::string sceneText(const Scene& s) {
  const auto pose = [](const Eigen::Matrix4d& m) {
    std::vector<double> v;
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) v.push_back(m(r, c));
    return fmt::format("[{:.17g}]", fmt::join(v, ", "));
  };
  const auto vec = [](const Vector3d& v) {
    return fmt::format("[{:.17g}, {:.17g}, {:.17g}]", v.x(), v.y(), v.z());
  };
  return fmt::format(
      "# The demo's scene, poses in the robot frame (row by row)\n"
      "tool:\n  pose: {}\n  half_size: {}\n  margin: 0.02\n"
      "boxes:\n  - name: box\n    pose: {}\n    size: {}\n    margin: 0.015\n"
      "meshes:\n  - {{name: box, file: box.ply}}\n  - {{name: ball, file: ball.ply}}\n",
      pose(s.toolBox.pose), vec(s.toolBox.size), pose(s.object.pose), vec(s.object.size));
}

std::size_t countAbove(const Cloud& c, double z) {
  std::size_t n = 0;
  for (const auto& p : c.points) n += p.z > z ? 1 : 0;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  // Library messages are kept for real failures; the demo's own output is the table below.
  ::setenv("SPDLOG_STDOUT", "true", 0);
  ::setenv("SPDLOG_SYSTEMD", "false", 0);
  ::setenv("SPDLOG_LEVEL", "error", 0);

  const fs::path outDir = argc > 1 ? fs::path(argv[1]) : fs::path("demo-output");
  std::error_code ec;
  fs::create_directories(outDir, ec);
  if (!fs::is_directory(outDir)) {
    std::fprintf(stderr, "pipeline_demo: error: cannot create %s\n", outDir.c_str());
    return 1;
  }
  const auto out = [&](const std::string& name) { return (outDir / name).string(); };

  const Scene scene = makeScene();
  const cv::Mat trueDepth = traceScene(scene);
  Frame frame = renderDepth(trueDepth, kFirstSeed);
  std::vector<pcl::PolygonMesh> meshes = {boxMesh(scene.object),
                                          icosphere(scene.ballCentre, scene.ballRadius, 3)};
  std::printf(
      "scene: %dx%d depth frame, %.1f%% pixels missing, box %.2fx%.2fx%.2f m, ball r=%.2f m, gripper in "
      "view\n",
      kWidth, kHeight, 100.0 * frame.missingFraction, scene.object.size.x(), scene.object.size.y(),
      scene.object.size.z(), scene.ballRadius);

  // Inputs, so that the command-line tool can replay every step on them.
  nimbrel_tools::saveImage(frame.depth, out("depth.png"));
  // A short sequence of the same view, each frame with its own sensor noise, for depth-batch.
  fs::create_directories(outDir / "frames");
  for (std::uint32_t i = 0; i < kSequenceFrames; ++i) {
    const Frame next = i == 0 ? frame : renderDepth(trueDepth, kFirstSeed + i);
    nimbrel_tools::saveImage(next.depth, out(fmt::format("frames/frame_{:03d}.png", i)));
  }
  nimbrel_tools::saveCameraInfo({scene.intrinsic, kWidth, kHeight, {}, {}}, out("camera_info.yaml"));
  writeText(out("camera_to_robot.txt"), matrixText(scene.cameraToRobot));
  writeText(out("box_pose.txt"), matrixText(scene.object.pose));
  writeText(out("tool_pose.txt"), matrixText(scene.toolBox.pose));
  writeText(out("scene.yaml"), sceneText(scene));
  nimbrel_tools::saveMesh(meshes[0], out("box.ply"));
  nimbrel_tools::saveMesh(meshes[1], out("ball.ply"));

  // As in the arm's perception node: the node's executor spins in the background (here a heartbeat timer)
  // while the caller's thread processes the frame.
  rclcpp::init(argc, argv);
  auto node = std::make_shared<rclcpp::Node>("pipeline_demo");
  std::atomic<int> heartbeats{0};
  auto timer = node->create_wall_timer(std::chrono::milliseconds(5), [&heartbeats] { ++heartbeats; });
  auto spinner = std::make_unique<nimbrel_arm_util::NimbrelNodeThread>(node->get_node_base_interface());

  // The road's parameters: workspace box in the camera frame (metres), cleaning, box and tool margins.
  const double range[6] = {-0.9, 0.9, -0.7, 0.7, 0.3, 1.6};
  const double leafSize = 0.01, stddevMul = 2.0, boxScale = 1.0, boxMargin = 0.015, toolMargin = 0.02;
  const int meanK = 30;
  const Eigen::Matrix4d boxPose = scene.object.pose, toolPose = scene.toolBox.pose;
  const Vector3d boxSize = scene.object.size, toolHalf = scene.toolBox.size;

  // The road of one frame, once with each mesh method: the steps before the mesh cut are the same calls on
  // the same frame, so both runs agree on them bit for bit.
  FramePipelineConfig config;
  config.cropBox = {range[0], range[1], range[2], range[3], range[4], range[5]};
  config.leafSize = leafSize;
  config.meanK = meanK;
  config.stddevMulThresh = stddevMul;
  config.scene.tool = nimbrel_arm_util::SceneTool{"", toolPose, toolHalf, toolMargin};
  config.scene.boxes.push_back({"box", "", boxPose, boxSize, boxMargin});
  for (const auto& [name, mesh] : {std::pair{"box", meshes[0]}, std::pair{"ball", meshes[1]}}) {
    nimbrel_arm_util::SceneMesh m;
    m.name = name;
    m.mesh = mesh;  // already in the robot frame
    config.scene.meshes.push_back(m);
  }
  config.meshMethod = MeshMethod::kPlain;
  const FramePipeline plainPipeline(config);
  config.meshMethod = MeshMethod::kFast;
  const FramePipeline fastPipeline(config);

  CloudPtr noMeshes(new Cloud), noMeshesFast(new Cloud);
  FrameReport plain, fast;
  const int plainResult = plainPipeline.process(frame.depth, scene.intrinsic, 1000.0, scene.cameraToRobot,
                                                plainPipeline.configuredPoses(), noMeshes, &plain, true);
  const int fastResult = fastPipeline.process(frame.depth, scene.intrinsic, 1000.0, scene.cameraToRobot,
                                              fastPipeline.configuredPoses(), noMeshesFast, &fast, true);
  spinner.reset();  // cancels the executor and joins its thread
  rclcpp::shutdown();
  if (plainResult != 0 || fastResult != 0) {
    std::fprintf(stderr, "pipeline_demo: error: %s\n", (plainResult != 0 ? plain : fast).error.c_str());
    return 1;
  }
  const CloudPtr camera = plain.stages[0], cleaned = plain.stages[1], robot = plain.stages[2],
                 noBoxes = plain.stages[3];
  std::vector<nimbrel_arm_util::FrameStep> rows = plain.steps;
  rows.push_back(fast.steps.back());
  const Eigen::Matrix4f toRobot = scene.cameraToRobot.cast<float>();
  PointCloudsDeal deal;

  std::printf("\n%-30s %10s %10s %10s\n", "step", "points in", "points out", "ms");
  for (const auto& r : rows)
    std::printf("%-30s %10zu %10zu %10.1f\n", r.name.c_str(), r.pointsIn, r.pointsOut, r.milliseconds);

  // Stage clouds.
  describeAsList(*noBoxes);
  const std::vector<std::pair<std::string, CloudPtr>> stages = {
      {"1_depth_cloud.pcd", camera},      {"2_processed.pcd", cleaned},
      {"3_robot_frame.pcd", robot},       {"4_without_boxes.pcd", noBoxes},
      {"5_without_meshes.pcd", noMeshes}, {"6_without_meshes_fast.pcd", noMeshesFast}};
  for (const auto& [name, cloud] : stages) {
    if (!deal.savePcdFile(cloud, out(name))) {
      std::fprintf(stderr, "pipeline_demo: error: cannot write %s\n", out(name).c_str());
      return 1;
    }
  }

  // The same frame, scene and stages as arrays, for Python.
  fs::create_directories(outDir / "arrays");
  const auto array = [&](const std::string& name) { return out("arrays/" + name); };
  writeNpy(array("depth.npy"), "<u2", {kHeight, kWidth}, frame.depth.data,
           frame.depth.total() * frame.depth.elemSize());
  writeMatrixNpy(array("camera_to_robot.npy"), scene.cameraToRobot);
  writeMatrixNpy(array("box_pose.npy"), boxPose);
  writeMatrixNpy(array("tool_pose.npy"), toolPose);
  writeNpy(array("box_size.npy"), "<f8", {3}, boxSize.data(), sizeof(double) * 3);
  writeNpy(array("tool_half_size.npy"), "<f8", {3}, toolHalf.data(), sizeof(double) * 3);
  writeMeshNpy(array("box"), meshes[0]);
  writeMeshNpy(array("ball"), meshes[1]);
  for (const auto& [name, cloud] : stages)
    writeCloudNpy(array(fs::path(name).replace_extension(".npy").string()), *cloud);
  // The camera by field name (every float's digits): no order for a reader to get wrong.
  const CameraIntrinsic& c = scene.intrinsic;
  const std::string cameraJson = fmt::format(
      "{{\"fx\": {:.9g}, \"fy\": {:.9g}, \"cx\": {:.9g}, \"cy\": {:.9g}, \"k1\": {:.9g}, \"k2\": {:.9g}, "
      "\"p1\": {:.9g}, \"p2\": {:.9g}, \"k3\": {:.9g}}}",
      c.fx, c.fy, c.cx, c.cy, c.k1, c.k2, c.p1, c.p2, c.k3);
  writeText(
      array("road.json"),
      fmt::format("{{\n  \"camera\": {},\n"
                  "  \"filter_range\": [{:.17g}, {:.17g}, {:.17g}, {:.17g}, {:.17g}, {:.17g}],\n"
                  "  \"leaf_size\": {:.17g},\n  \"mean_k\": {},\n  \"stddev_mul\": {:.17g},\n"
                  "  \"box_scale\": {:.17g},\n  \"box_margin\": {:.17g},\n  \"tool_margin\": {:.17g}\n}}\n",
                  cameraJson, range[0], range[1], range[2], range[3], range[4], range[5], leafSize, meanK,
                  stddevMul, boxScale, boxMargin, toolMargin));

  // Picture: every depth point in the robot frame, coloured by the step that removed it.
  CloudPtr rawRobot(new Cloud);
  deal.TransformToRobot(*camera, rawRobot, toRobot);
  Cloud byBoxes, byBoth, fastOnly, plainOnly, kept;
  const std::vector<bool> boxKept = FramePipeline::keptMask(*robot, *noBoxes);
  for (std::size_t i = 0; i < robot->size(); ++i) {
    if (!boxKept[i]) byBoxes.push_back((*robot)[i]);
  }
  const std::vector<bool> plainKept = FramePipeline::keptMask(*noBoxes, *noMeshes),
                          fastKept = FramePipeline::keptMask(*noBoxes, *noMeshesFast);
  for (std::size_t i = 0; i < noBoxes->size(); ++i) {
    Cloud& target = plainKept[i] ? (fastKept[i] ? kept : fastOnly) : (fastKept[i] ? plainOnly : byBoth);
    target.push_back((*noBoxes)[i]);
  }
  std::vector<nimbrel_tools::RenderLayer> layers = {
      {rawRobot.get(),
       {200, 200, 200},
       "raw depth points: cropped, merged or dropped by processPointClouds",
       0,
       false},
      {&kept, {60, 160, 60}, "kept: the table", 2},
      {&byBoxes, {0, 120, 255}, "cut by removeObbAndToolPointClouds (box object and gripper)", 2},
      {&byBoth, {200, 60, 30}, "cut by both mesh removals (ball, table touching the box)", 2},
      {&fastOnly, {230, 170, 90}, "cut by fastRemovePointsFromMeshs only (within 0.08 of a surface)", 2},
      {&plainOnly, {160, 40, 160}, "cut by removePointsFromMeshs only", 2}};
  nimbrel_tools::RenderOptions options;
  options.title = "nimbrel_arm_util demo: robot frame, points coloured by the step that removed them";
  options.width = 1100;
  options.notes = {
      "white inside the table: surfaces hidden from the camera by the gripper, the box and the ball"};
  const std::string picture = out("pipeline.png");
  nimbrel_tools::saveImage(nimbrel_tools::renderViews(layers, options), picture);

  const std::size_t aboveBefore = countAbove(*robot, 0.02), aboveAfter = countAbove(*noMeshesFast, 0.02);
  std::printf(
      "\npoints above the table (z > 2 cm): %zu after processing, %zu after both cuts; table points kept: "
      "%zu\n",
      aboveBefore, aboveAfter, noMeshesFast->size() - aboveAfter);
  std::printf("node 'pipeline_demo' spun by NimbrelNodeThread meanwhile: %d heartbeats\n", heartbeats.load());
  std::printf("PCD files, inputs and picture written to %s\n", fs::absolute(outDir).c_str());
  std::printf("picture: %s\n", fs::absolute(picture).c_str());
  return 0;
}
