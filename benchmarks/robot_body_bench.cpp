// Cutting a robot arm's own body out of depth-camera-sized clouds.
//
// The arm: seven links with every link in view, by default the capsule arm of the shared test geometry
// (1,536 faces per link). With NIMBREL_UR5E_MESHES naming a folder of the UR5e's collision STL files
// (base.stl, shoulder.stl, upperarm.stl, forearm.stl, wrist1.stl, wrist2.stl, wrist3.stl), those meshes are
// cut instead, each placed at the capsule arm's link of the same rank (their own frames, not the real
// arm's kinematics: the work per point is what is measured).
//
// Clouds in the base frame, as a camera 1.3 m in front of the arm sees them: 60 % on a table around the
// arm (z within 2 mm of 0), 15 % on a wall behind it, 25 % within 5 mm of the links' surfaces (either
// side). "cleaned" has 60,000 points (a 640 x 480 frame after a 5 mm voxel grid), "raw" 300,000.
//
// Rows, each with and without the shadow test (camera at (1.3, 0.1, 0.9)):
// - mesh: the exact cut on the real meshes;
// - hull: the same engine on each mesh's convex hull (PCL's, through convertToConvexHull);
// - point_by_point: isPointInsideMeshs on every point and mesh placed in the base frame, padding 0.05, on
//   2,000 points of the cleaned cloud (one iteration; it rebuilds a search tree per point and mesh).
// - prepare: building the body (every link's index and grid), once per robot.
// Worst cases (cleaned cloud, no shadow): 10 % of the points stray 1e6 m away; every point exactly on a
// vertex, edge or face centre of a link (moved there in double); the arm at 1e-3 and at 100 times its
// size (at 100 every point lies in every link's box); a wrist link replaced by a 24,000-face pipe of long
// thin faces. Run on one core: OMP_NUM_THREADS=1 taskset -c 0 robot_body_bench.
#include <benchmark/benchmark.h>
#include <pcl/conversions.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "nimbrel_arm_util/robot_body.hpp"
#include "support/geometry.hpp"

namespace {

using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_arm_util::RobotBody;
using nimbrel_arm_util::RobotBodyConfig;
using nimbrel_arm_util::RobotDescription;
using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using Poses = std::map<std::string, Eigen::Matrix4d>;

const Eigen::Vector3d kCamera(1.3, 0.1, 0.9);

// A binary STL file's triangles, every face with its own three vertices; empty when it cannot be read.
pcl::PolygonMesh readStl(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  char header[80];
  std::uint32_t count = 0;
  if (!file.read(header, 80) || !file.read(reinterpret_cast<char*>(&count), 4)) return {};
  std::vector<Eigen::Vector3f> vertices;
  std::vector<std::vector<std::uint32_t>> faces;
  for (std::uint32_t f = 0; f < count; ++f) {
    float data[12];
    std::uint16_t attributes = 0;
    if (!file.read(reinterpret_cast<char*>(data), 48) ||
        !file.read(reinterpret_cast<char*>(&attributes), 2)) {
      return {};
    }
    const auto first = static_cast<std::uint32_t>(vertices.size());
    for (int k = 1; k <= 3; ++k) vertices.emplace_back(data[3 * k], data[3 * k + 1], data[3 * k + 2]);
    faces.push_back({first, first + 1, first + 2});
  }
  return nimbrel_test::makeMesh(vertices, faces);
}

// The arm: the capsule arm, or the UR5e's collision meshes at its links' poses.
RobotDescription arm() {
  RobotDescription robot = nimbrel_test::makeArm();
  const char* folder = std::getenv("NIMBREL_UR5E_MESHES");
  if (folder == nullptr) return robot;
  const char* const files[] = {"base", "shoulder", "upperarm", "forearm", "wrist1", "wrist2", "wrist3"};
  for (std::size_t i = 0; i < 7; ++i) {
    pcl::PolygonMesh mesh = readStl(std::string(folder) + "/" + files[i] + ".stl");
    if (mesh.polygons.empty()) continue;
    robot.links[i + 1].collisions[0].mesh = mesh;
  }
  return robot;
}

// Every link's mesh placed in the base frame.
std::vector<pcl::PolygonMesh> placedMeshes(const RobotDescription& robot, const Poses& poses, double scale) {
  std::vector<pcl::PolygonMesh> meshes;
  for (const auto& link : robot.links) {
    if (link.collisions.empty()) continue;
    const pcl::PolygonMesh& mesh = link.collisions[0].mesh;
    auto vertices = nimbrel_test::meshVertices(mesh);
    const Eigen::Matrix4d& pose = poses.at(link.name);
    for (auto& v : *vertices) {
      const Eigen::Vector4d q = pose * Eigen::Vector4d(scale * v.x, scale * v.y, scale * v.z, 1.0);
      v = pcl::PointXYZ(static_cast<float>(q.x()), static_cast<float>(q.y()), static_cast<float>(q.z()));
    }
    pcl::PolygonMesh placed;
    placed.polygons = mesh.polygons;
    pcl::toPCLPointCloud2(*vertices, placed.cloud);
    meshes.push_back(std::move(placed));
  }
  return meshes;
}

// The camera's view of the arm (see the top of this file), `scale` times the arm's size.
Cloud scene(const std::vector<pcl::PolygonMesh>& links, std::size_t count, double scale, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto between = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };
  std::vector<Cloud::Ptr> vertexClouds;
  for (const auto& mesh : links) vertexClouds.push_back(nimbrel_test::meshVertices(mesh));
  Cloud cloud;
  for (std::size_t i = 0; i < count; ++i) {
    const double pick = unit(rng);
    Eigen::Vector3d p;
    if (pick < 0.6) {
      p = Eigen::Vector3d(between(-0.3, 1.0), between(-0.5, 0.7), between(-0.002, 0.002)) * scale;
    } else if (pick < 0.75) {
      p = Eigen::Vector3d(between(-0.5, -0.49), between(-0.5, 0.7), between(0.0, 0.8)) * scale;
    } else {
      const std::size_t link = static_cast<std::size_t>(unit(rng) * links.size()) % links.size();
      const pcl::PolygonMesh& mesh = links[link];
      const auto& vertices = vertexClouds[link];
      const auto& face =
          mesh.polygons[static_cast<std::size_t>(unit(rng) * mesh.polygons.size()) % mesh.polygons.size()];
      const Eigen::Vector3d a = vertices->points[face.vertices[0]].getVector3fMap().cast<double>();
      const Eigen::Vector3d b = vertices->points[face.vertices[1]].getVector3fMap().cast<double>();
      const Eigen::Vector3d c = vertices->points[face.vertices[2]].getVector3fMap().cast<double>();
      double u = unit(rng), v = unit(rng);
      if (u + v > 1.0) u = 1.0 - u, v = 1.0 - v;
      const Eigen::Vector3d n = (b - a).cross(c - a).normalized();
      p = a + u * (b - a) + v * (c - a) + between(-0.005, 0.005) * scale * n;
    }
    cloud.push_back(
        pcl::PointXYZ(static_cast<float>(p.x()), static_cast<float>(p.y()), static_cast<float>(p.z())));
  }
  return cloud;
}

enum Body { kMesh, kHull };
enum Case { kCleaned, kRaw, kStray, kOnFeatures, kTiny, kHuge, kThinFaces };
const char* const kCaseNames[] = {
    "cleaned_60k", "raw_300k",  "stray_far_points_60k", "on_vertices_edges_faces",
    "scale_1e-3",  "scale_100", "pipe_24000_thin_faces"};

struct Input {
  RobotDescription robot;
  Poses poses;
  Cloud cloud;
  double scale = 1.0;
};

Input input(int which, Body body) {
  Input in;
  in.robot = arm();
  in.poses = nimbrel_test::armPoses();
  in.scale = which == kTiny ? 1e-3 : (which == kHuge ? 100.0 : 1.0);
  if (which == kThinFaces) {
    in.robot.links[5].collisions[0].mesh =
        nimbrel_test::makePipe(3000, 0.04f, 0.03f, 0.1f, Eigen::Vector3f::Zero());
  }
  if (body == kHull) {
    for (auto& link : in.robot.links) {
      if (link.collisions.empty()) continue;
      std::vector<pcl::PolygonMesh> meshes{link.collisions[0].mesh}, hulls;
      PointCloudsDeal deal;
      if (deal.convertToConvexHull(meshes, hulls) == 0) link.collisions[0].mesh = hulls[0];
    }
  }
  if (in.scale != 1.0) {
    for (auto& [name, pose] : in.poses) pose.topRightCorner<3, 1>() *= in.scale;
  }
  const auto placed = placedMeshes(in.robot, in.poses, in.scale);
  if (which == kOnFeatures) {
    for (const auto& mesh : placed) in.cloud += *nimbrel_test::meshFeaturePoints(mesh);
    return in;
  }
  in.cloud = scene(placed, which == kRaw ? 300000 : 60000, in.scale, 3);
  if (which == kStray) {
    for (std::size_t i = 0; i < in.cloud.size(); i += 10) in.cloud[i].x += 1e6f;
  }
  return in;
}

void BM_RobotBody(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const auto body = static_cast<Body>(state.range(1));
  const bool shadow = state.range(2) != 0;
  const Input in = input(which, body);
  RobotBodyConfig config;
  config.scale = in.scale;
  config.padding = 0.01 * in.scale;
  const RobotBody robot(in.robot, config);
  const std::optional<Eigen::Vector3d> sensor =
      shadow ? std::optional<Eigen::Vector3d>(kCamera * in.scale) : std::nullopt;
  Cloud out;
  for (auto _ : state) {
    robot.filter(in.cloud, in.poses, out, sensor);
    benchmark::DoNotOptimize(out.points.data());
  }
  state.SetLabel(std::string(kCaseNames[which]) + (body == kHull ? "/hull" : "/mesh") +
                 (shadow ? "/shadow" : ""));
  state.counters["points"] = static_cast<double>(in.cloud.size());
  state.counters["cut"] = static_cast<double>(in.cloud.size() - out.size());
}

// Preparing the arm: every link's mesh index and grid, once per robot.
void BM_Prepare(benchmark::State& state) {
  const RobotDescription robot = arm();
  for (auto _ : state) {
    const RobotBody body(robot);
    benchmark::DoNotOptimize(&body);
  }
  state.SetLabel("prepare_7_links");
}

// isPointInsideMeshs on every point over the placed meshes (its near distance 0.05).
void BM_PointByPoint(benchmark::State& state) {
  Input in = input(kCleaned, kMesh);
  auto meshes = placedMeshes(in.robot, in.poses, 1.0);
  in.cloud.resize(2000);
  PointCloudsDeal deal;
  std::size_t cut = 0;
  for (auto _ : state) {
    cut = 0;
    for (const auto& p : in.cloud) cut += deal.isPointInsideMeshs(p, meshes) ? 1 : 0;
  }
  state.SetLabel("cleaned_2000_points/point_by_point");
  state.counters["points"] = static_cast<double>(in.cloud.size());
  state.counters["cut"] = static_cast<double>(cut);
}

}  // namespace

BENCHMARK(BM_RobotBody)
    ->ArgsProduct({{kCleaned, kRaw}, {kMesh, kHull}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RobotBody)
    ->ArgsProduct({{kStray, kOnFeatures, kTiny, kHuge, kThinFaces}, {kMesh}, {0}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Prepare)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PointByPoint)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_MAIN();
