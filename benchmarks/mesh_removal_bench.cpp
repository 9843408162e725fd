// Cutting object meshes out of depth-camera-sized scenes.
//
// Scenes of 30,000 and 300,000 points around one of two objects: a 12-face box of 0.4 x 0.3 x 0.2 m and a
// 5,120-face icosphere of radius 0.15 m. Half of each scene is uniform in the object's bounding box grown
// by 0.3 m, the other half lies within 0.1 m of the object's surface, inside or outside.
//
// Besides the library's two removals, two references are timed for the ratios:
// - the point-by-point path: isPointInsideMeshs called for every point, as the plain removal would without
//   preparing its meshes;
// - the slow fast removal: the surface sampled with a freshly seeded generator per sample
//   (randomPointInTriangle), one kd-tree per mesh and one isPointNearObj call per point and mesh.
#include <benchmark/benchmark.h>
#include <pcl/conversions.h>
#include <pcl/search/kdtree.h>

#include <cmath>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

namespace {

using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_test::CloudPtr;

constexpr double kNearSurface = 0.08;

std::vector<pcl::PolygonMesh> object(int which) {
  if (which == 0)
    return {nimbrel_test::makeBox(Eigen::Vector3f(0.5f, 0.2f, 0.1f), Eigen::Vector3f(0.4f, 0.3f, 0.2f))};
  return {nimbrel_test::makeIcosphere(4, 0.15f, Eigen::Vector3f(0.5f, 0.2f, 0.15f))};
}

// Scenes are built once per (object, size) and shared by every benchmark that uses them.
const CloudPtr& scene(int which, std::size_t count) {
  static std::vector<std::pair<std::pair<int, std::size_t>, CloudPtr>> cache;
  for (const auto& entry : cache) {
    if (entry.first.first == which && entry.first.second == count) return entry.second;
  }
  std::vector<pcl::PolygonMesh> meshes = object(which);
  cache.emplace_back(std::make_pair(which, count),
                     nimbrel_test::makeSceneAround(meshes[0], count, 0.3f, 0.1f));
  return cache.back().second;
}

void label(benchmark::State& state) {
  state.SetLabel(state.range(0) == 0 ? "box" : "icosphere");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(1));
}

void BM_RemovePointsFromMeshs(benchmark::State& state) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = object(static_cast<int>(state.range(0)));
  const CloudPtr& in = scene(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  CloudPtr out(new pcl::PointCloud<pcl::PointXYZ>);
  for (auto _ : state) {
    benchmark::DoNotOptimize(deal.removePointsFromMeshs(in, meshes, out));
  }
  state.counters["kept"] = static_cast<double>(out->size());
  label(state);
}

void BM_PointByPoint(benchmark::State& state) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = object(static_cast<int>(state.range(0)));
  const CloudPtr& in = scene(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  std::size_t kept = 0;
  for (auto _ : state) {
    kept = 0;
    for (const pcl::PointXYZ& p : in->points) {
      if (!deal.isPointInsideMeshs(p, meshes)) ++kept;
    }
    benchmark::DoNotOptimize(kept);
  }
  state.counters["kept"] = static_cast<double>(kept);
  label(state);
}

void BM_FastRemovePointsFromMeshs(benchmark::State& state) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = object(static_cast<int>(state.range(0)));
  const CloudPtr& in = scene(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  CloudPtr out(new pcl::PointCloud<pcl::PointXYZ>);
  for (auto _ : state) {
    benchmark::DoNotOptimize(deal.fastRemovePointsFromMeshs(in, meshes, out));
  }
  state.counters["kept"] = static_cast<double>(out->size());
  label(state);
}

// The surface sampling as it stands without a shared generator: one freshly seeded generator per sample.
CloudPtr reseededSamples(PointCloudsDeal& deal, const pcl::PolygonMesh& mesh) {
  CloudPtr vertices(new pcl::PointCloud<pcl::PointXYZ>);
  pcl::fromPCLPointCloud2(mesh.cloud, *vertices);
  CloudPtr samples(new pcl::PointCloud<pcl::PointXYZ>(*vertices));
  for (const pcl::Vertices& polygon : mesh.polygons) {
    const Eigen::Vector3d a = vertices->points[polygon.vertices[0]].getVector3fMap().cast<double>();
    const Eigen::Vector3d b = vertices->points[polygon.vertices[1]].getVector3fMap().cast<double>();
    const Eigen::Vector3d c = vertices->points[polygon.vertices[2]].getVector3fMap().cast<double>();
    const double area = deal.calTriangleArea(a, b, c);
    if (!(area >= 2.5e-5)) continue;
    const long n = std::lround(area / 2.5e-5);
    for (long i = 0; i < n; ++i) {
      const Eigen::Vector3d p = deal.randomPointInTriangle(a, b, c);
      samples->push_back(pcl::PointXYZ(float(p.x()), float(p.y()), float(p.z())));
    }
  }
  return samples;
}

// Near-or-not by one kd-tree query per point and mesh; `reseed` picks the sampling.
void removeWithKdTrees(PointCloudsDeal& deal, const CloudPtr& in, std::vector<pcl::PolygonMesh>& meshes,
                       const CloudPtr& out, bool reseed) {
  std::vector<pcl::search::KdTree<pcl::PointXYZ>::Ptr> trees;
  for (pcl::PolygonMesh& mesh : meshes) {
    CloudPtr samples;
    if (reseed) {
      samples = reseededSamples(deal, mesh);
    } else {
      samples.reset(new pcl::PointCloud<pcl::PointXYZ>);
      deal.upSampleMesh(mesh, samples);
    }
    trees.emplace_back(new pcl::search::KdTree<pcl::PointXYZ>(true));
    trees.back()->setInputCloud(samples);
  }
  out->points.clear();
  for (pcl::PointXYZ p : in->points) {
    bool near = false;
    for (const auto& tree : trees) {
      if (deal.isPointNearObj(p, tree, kNearSurface)) {
        near = true;
        break;
      }
    }
    if (!near) out->points.push_back(p);
  }
}

void BM_FastRemoveSlowVariant(benchmark::State& state) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = object(static_cast<int>(state.range(0)));
  const CloudPtr& in = scene(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  CloudPtr out(new pcl::PointCloud<pcl::PointXYZ>);
  for (auto _ : state) removeWithKdTrees(deal, in, meshes, out, true);
  state.counters["kept"] = static_cast<double>(out->points.size());
  label(state);
}

// Shared-generator sampling but kd-tree queries: separates the two gains of the fast removal.
void BM_FastRemoveKdTreeQueries(benchmark::State& state) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = object(static_cast<int>(state.range(0)));
  const CloudPtr& in = scene(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  CloudPtr out(new pcl::PointCloud<pcl::PointXYZ>);
  for (auto _ : state) removeWithKdTrees(deal, in, meshes, out, false);
  state.counters["kept"] = static_cast<double>(out->points.size());
  label(state);
}

// Arguments: object (0 box, 1 icosphere), scene size.
BENCHMARK(BM_RemovePointsFromMeshs)->ArgsProduct({{0, 1}, {30000, 300000}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PointByPoint)->ArgsProduct({{0, 1}, {30000}})->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FastRemovePointsFromMeshs)
    ->ArgsProduct({{0, 1}, {30000, 300000}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FastRemoveKdTreeQueries)->ArgsProduct({{0, 1}, {300000}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FastRemoveSlowVariant)
    ->ArgsProduct({{0, 1}, {300000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
