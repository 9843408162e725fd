// Cutting object meshes out of depth-camera-sized scenes.
//
// Scenes of 30,000 and 300,000 points around one of two objects: a 12-face box of 0.4 x 0.3 x 0.2 m and a
// 5,120-face icosphere of radius 0.15 m. Half of each scene is uniform in the object's bounding box grown
// by 0.3 m, the other half lies within 0.1 m of the object's surface, inside or outside.
//
// Worst cases of the prepared indexes, as real object meshes give them:
// - a fan-capped cylinder along x of 32,768 faces (every cap face spans the cap's y–z extent from the
//   axis to the rim), with 200 scene points;
// - a pipe along y of 24,000 long thin faces;
// - the icosphere unwelded (every face its own three vertices, as STL files hold it);
// - the box with one unused vertex 30 m away (the fast removal's surface samples then spread over 30 m);
// - the box at a millimetre scale and at a 100 m scale (scene scaled alike; plain removal only, the fast
//   one would need 10^10 samples for the large one).
// - open meshes: the icosphere without the faces below 80 % of its radius (a scan open at its base) and a
//   4,000-face bottle without its base (a CAD link exported with a gap), beside the same meshes closed,
//   and the open bottle with every point deep inside it (over 5 cm from its faces);
// - points lying exactly on the surface of a 120,000-face box whose sides are 100 x 100 grids: 20,000 on
//   the sides along x (where the +x ray runs inside the face), on their grid lines, on their grid vertices,
//   on the sides of the same box turned by 1e-6 rad about z, and, for comparison, strictly inside.
// `peak_MB` is the growth of the heap's peak during the timed calls (every allocation of the process is
// counted).
//
// Besides the library's two removals, two references are timed for the ratios:
// - the point-by-point path: isPointInsideMeshs called for every point, as the plain removal would without
//   preparing its meshes;
// - the slow fast removal: the surface sampled with a freshly seeded generator per sample
//   (randomPointInTriangle), one kd-tree per mesh and one isPointNearObj call per point and mesh.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <pcl/conversions.h>
#include <pcl/search/kdtree.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

// Heap accounting for the peak-memory counters: live bytes and their high-water mark.
std::atomic<std::int64_t> gLiveBytes{0};
std::atomic<std::int64_t> gPeakBytes{0};

void* countedAlloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  const std::int64_t live = gLiveBytes += static_cast<std::int64_t>(malloc_usable_size(p));
  std::int64_t peak = gPeakBytes.load(std::memory_order_relaxed);
  while (live > peak && !gPeakBytes.compare_exchange_weak(peak, live)) {
  }
  return p;
}

void countedFree(void* p) noexcept {
  if (p == nullptr) return;
  gLiveBytes -= static_cast<std::int64_t>(malloc_usable_size(p));
  std::free(p);
}

void* operator new(std::size_t size) { return countedAlloc(size); }
void* operator new[](std::size_t size) { return countedAlloc(size); }
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, std::size_t) noexcept { countedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { countedFree(p); }

namespace {

using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_test::CloudPtr;

constexpr double kNearSurface = 0.08;

enum Object {
  kBox,
  kIcosphere,
  kCylinder,
  kPipe,
  kUnweldedIcosphere,
  kStrayVertexBox,
  kTinyBox,
  kHugeBox,
  kOpenIcosphere,
  kBottle,
  kOpenBottle,
  kGridInside,
  kGridFaces,
  kGridEdges,
  kGridVertices,
  kTiltedGridFaces,
  kOpenBottleDeep,
};
const char* const kNames[] = {"box",
                              "icosphere",
                              "fan_cylinder_32768",
                              "pipe_24000",
                              "unwelded_icosphere",
                              "box_stray_vertex",
                              "box_mm_scale",
                              "box_100m_scale",
                              "open_icosphere",
                              "bottle",
                              "open_bottle",
                              "grid_box_120000_inside",
                              "grid_box_120000_on_faces",
                              "grid_box_120000_on_edges",
                              "grid_box_120000_on_vertices",
                              "grid_box_120000_turned_1e-6_on_faces",
                              "open_bottle_deep_inside"};

// The 120,000-face grid box and its turned copy.
constexpr int kGridCells = 100;
const Eigen::Vector3f kGridLo(0.3f, 0.05f, 0.05f), kGridHi(0.7f, 0.35f, 0.25f);
bool onGridBox(int which) { return which >= kGridInside && which <= kTiltedGridFaces; }

// Turns points by 1e-6 rad about the z axis through the grid box's centre (in double, rounded to float).
void turn(pcl::PointCloud<pcl::PointXYZ>& cloud) {
  const double angle = 1e-6, c = std::cos(angle), s = std::sin(angle);
  const Eigen::Vector3d centre = (0.5f * (kGridLo + kGridHi)).cast<double>();
  for (pcl::PointXYZ& p : cloud.points) {
    const double x = p.x - centre.x(), y = p.y - centre.y();
    p.x = static_cast<float>(centre.x() + c * x - s * y);
    p.y = static_cast<float>(centre.y() + s * x + c * y);
  }
}

// Size of the object relative to the 0.4 m box, for the scene's margin and shell.
float scaleOf(int which) { return which == kTinyBox ? 1e-3f : (which == kHugeBox ? 100.0f : 1.0f); }

std::vector<pcl::PolygonMesh> object(int which) {
  const Eigen::Vector3f boxCentre(0.5f, 0.2f, 0.1f), boxSize(0.4f, 0.3f, 0.2f);
  switch (which) {
    case kBox:
      return {nimbrel_test::makeBox(boxCentre, boxSize)};
    case kIcosphere:
      return {nimbrel_test::makeIcosphere(4, 0.15f, Eigen::Vector3f(0.5f, 0.2f, 0.15f))};
    case kCylinder:
      return {nimbrel_test::makeFanCappedCylinder(8192, 0.1f, 0.6f, Eigen::Vector3f(0.5f, 0.2f, 0.15f))};
    case kPipe:
      return {nimbrel_test::makePipe(3000, 0.05f, 0.04f, 0.8f, Eigen::Vector3f(0.5f, 0.2f, 0.15f))};
    case kUnweldedIcosphere:
      return {
          nimbrel_test::unweld(nimbrel_test::makeIcosphere(4, 0.15f, Eigen::Vector3f(0.5f, 0.2f, 0.15f)))};
    case kStrayVertexBox: {
      pcl::PolygonMesh box = nimbrel_test::makeBox(boxCentre, boxSize);
      CloudPtr vertices = nimbrel_test::meshVertices(box);
      vertices->push_back(pcl::PointXYZ(30.0f, 30.0f, 30.0f));
      pcl::toPCLPointCloud2(*vertices, box.cloud);
      return {box};
    }
    case kOpenIcosphere:
      return {nimbrel_test::removeFacesBelow(
          nimbrel_test::makeIcosphere(4, 0.15f, Eigen::Vector3f(0.5f, 0.2f, 0.15f)), 2, 0.15f - 0.12f)};
    case kBottle:
      return {nimbrel_test::makeBottle(64, 32, 0.3f, Eigen::Vector3f(0.5f, 0.2f, 0.0f))};
    case kOpenBottle:
    case kOpenBottleDeep:
      return {nimbrel_test::removeFacesBelow(
          nimbrel_test::makeBottle(64, 32, 0.3f, Eigen::Vector3f(0.5f, 0.2f, 0.0f)), 2, 1e-4f)};
    case kTinyBox:
    case kHugeBox:
      return {nimbrel_test::makeBox(boxCentre * scaleOf(which), boxSize * scaleOf(which))};
    default: {
      pcl::PolygonMesh grid = nimbrel_test::makeGridBox(kGridCells, kGridLo, kGridHi);
      if (which == kTiltedGridFaces) {
        CloudPtr vertices = nimbrel_test::meshVertices(grid);
        turn(*vertices);
        pcl::toPCLPointCloud2(*vertices, grid.cloud);
      }
      return {grid};
    }
  }
}

// Scenes are built once per (object, size) and shared by every benchmark that uses them. The stray-vertex
// box shares the box's scene.
const CloudPtr& scene(int which, std::size_t count) {
  if (which == kStrayVertexBox) which = kBox;
  static std::vector<std::pair<std::pair<int, std::size_t>, CloudPtr>> cache;
  for (const auto& entry : cache) {
    if (entry.first.first == which && entry.first.second == count) return entry.second;
  }
  CloudPtr points;
  if (which == kOpenBottleDeep) {
    // Inside the open bottle's body and over 5 cm from its every face: no point is near the surface, so
    // each one takes both the near-face test and the winding number.
    points = nimbrel_test::makeRandomCloud(count, {0.475f, 0.175f, 0.06f}, {0.525f, 0.225f, 0.12f});
  } else if (onGridBox(which)) {
    using nimbrel_test::SurfaceSpot;
    if (which == kGridInside) {
      points = nimbrel_test::makeRandomCloud(count, kGridLo.array() + 0.01f, kGridHi.array() - 0.01f);
    } else {
      const SurfaceSpot spot = which == kGridEdges      ? SurfaceSpot::kEdge
                               : which == kGridVertices ? SurfaceSpot::kVertex
                                                        : SurfaceSpot::kFace;
      points = nimbrel_test::gridBoxSurfacePoints(kGridCells, kGridLo, kGridHi, spot, count);
      if (which == kTiltedGridFaces) turn(*points);
    }
  } else {
    std::vector<pcl::PolygonMesh> meshes = object(which);
    const float s = scaleOf(which);
    points = nimbrel_test::makeSceneAround(meshes[0], count, 0.3f * s, 0.1f * s);
  }
  cache.emplace_back(std::make_pair(which, count), points);
  return cache.back().second;
}

void label(benchmark::State& state) {
  state.SetLabel(kNames[state.range(0)]);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(1));
}

// Heap peak growth over the timed calls, in MB.
struct PeakGrowth {
  std::int64_t base = 0;
  PeakGrowth() {
    base = gLiveBytes.load();
    gPeakBytes.store(base);
  }
  double megabytes() const { return static_cast<double>(gPeakBytes.load() - base) / 1e6; }
};

void BM_RemovePointsFromMeshs(benchmark::State& state) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = object(static_cast<int>(state.range(0)));
  const CloudPtr& in = scene(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  CloudPtr out(new pcl::PointCloud<pcl::PointXYZ>);
  out->reserve(in->size());
  const PeakGrowth peak;
  for (auto _ : state) {
    benchmark::DoNotOptimize(deal.removePointsFromMeshs(in, meshes, out));
  }
  state.counters["kept"] = static_cast<double>(out->size());
  state.counters["peak_MB"] = peak.megabytes();
  label(state);
}

void BM_PointByPoint(benchmark::State& state) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = object(static_cast<int>(state.range(0)));
  const CloudPtr& in = scene(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  std::size_t kept = 0;
  const PeakGrowth peak;
  for (auto _ : state) {
    kept = 0;
    for (const pcl::PointXYZ& p : in->points) {
      if (!deal.isPointInsideMeshs(p, meshes)) ++kept;
    }
    benchmark::DoNotOptimize(kept);
  }
  state.counters["kept"] = static_cast<double>(kept);
  state.counters["peak_MB"] = peak.megabytes();
  label(state);
}

void BM_FastRemovePointsFromMeshs(benchmark::State& state) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = object(static_cast<int>(state.range(0)));
  const CloudPtr& in = scene(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  CloudPtr out(new pcl::PointCloud<pcl::PointXYZ>);
  out->reserve(in->size());
  const PeakGrowth peak;
  for (auto _ : state) {
    benchmark::DoNotOptimize(deal.fastRemovePointsFromMeshs(in, meshes, out));
  }
  state.counters["kept"] = static_cast<double>(out->size());
  state.counters["peak_MB"] = peak.megabytes();
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

// Arguments: object (see Object), scene size.
BENCHMARK(BM_RemovePointsFromMeshs)
    ->ArgsProduct({{kBox, kIcosphere}, {30000, 300000}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemovePointsFromMeshs)
    ->Args({kCylinder, 200})
    ->Args({kPipe, 30000})
    ->Args({kUnweldedIcosphere, 30000})
    ->Args({kTinyBox, 30000})
    ->Args({kHugeBox, 30000})
    ->Unit(benchmark::kMillisecond);
// Open meshes beside the same meshes closed.
BENCHMARK(BM_RemovePointsFromMeshs)
    ->ArgsProduct({{kOpenIcosphere, kBottle, kOpenBottle, kOpenBottleDeep}, {30000}})
    ->Unit(benchmark::kMillisecond);
// Points on the surface beside points strictly inside.
BENCHMARK(BM_RemovePointsFromMeshs)
    ->ArgsProduct({{kGridInside, kGridFaces, kGridEdges, kGridVertices, kTiltedGridFaces}, {20000}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PointByPoint)
    ->ArgsProduct({{kOpenIcosphere, kBottle, kOpenBottle}, {3000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_PointByPoint)
    ->ArgsProduct({{kBox, kIcosphere}, {30000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_PointByPoint)->Args({kCylinder, 200})->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FastRemovePointsFromMeshs)
    ->ArgsProduct({{kBox, kIcosphere}, {30000, 300000}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FastRemovePointsFromMeshs)
    ->Args({kStrayVertexBox, 300000})
    ->Args({kCylinder, 30000})
    ->Args({kPipe, 30000})
    ->Args({kUnweldedIcosphere, 30000})
    ->Args({kTinyBox, 30000})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FastRemoveKdTreeQueries)
    ->ArgsProduct({{kBox, kIcosphere}, {300000}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FastRemoveSlowVariant)
    ->ArgsProduct({{kBox, kIcosphere}, {300000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
