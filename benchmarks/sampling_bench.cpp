// Surface sampling throughput: upSampleMesh (one generator per call) against drawing every sample through
// randomPointInTriangle, which seeds a fresh generator from the entropy device each time.
#include <benchmark/benchmark.h>
#include <pcl/conversions.h>

#include <cmath>
#include <random>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

namespace {

// A square of one square metre in two triangles: 40,000 samples.
pcl::PolygonMesh unitSquare() {
  return nimbrel_test::makeMesh({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, 2, 3}});
}

void BM_UpSampleMesh(benchmark::State& state) {
  nimbrel_arm_util::PointCloudsDeal deal;
  pcl::PolygonMesh mesh = unitSquare();
  std::size_t samples = 0;
  for (auto _ : state) {
    auto out = nimbrel_test::makeCloud({});
    deal.upSampleMesh(mesh, out);
    samples += out->size() - 4;
    benchmark::DoNotOptimize(out->points.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(samples));
}
BENCHMARK(BM_UpSampleMesh)->Unit(benchmark::kMillisecond);

// The same vertices, counts and order, with every sample drawn by the freshly seeded public primitive: what
// up-sampling costs when the generator is reseeded for each sample.
void BM_UpSampleReseedPerSample(benchmark::State& state) {
  nimbrel_arm_util::PointCloudsDeal deal;
  pcl::PolygonMesh mesh = unitSquare();
  auto vertices = nimbrel_test::meshVertices(mesh);
  std::size_t samples = 0;
  for (auto _ : state) {
    auto out = nimbrel_test::makeCloud({});
    nimbrel_test::Cloud drawn;
    for (const pcl::Vertices& face : mesh.polygons) {
      const Eigen::Vector3d a = vertices->points[face.vertices[0]].getVector3fMap().cast<double>();
      const Eigen::Vector3d b = vertices->points[face.vertices[1]].getVector3fMap().cast<double>();
      const Eigen::Vector3d c = vertices->points[face.vertices[2]].getVector3fMap().cast<double>();
      const int n = static_cast<int>(std::round(deal.calTriangleArea(a, b, c) / 2.5e-5));
      for (int i = 0; i < n; ++i) {
        const Eigen::Vector3d p = deal.randomPointInTriangle(a, b, c);
        drawn.points.emplace_back(static_cast<float>(p.x()), static_cast<float>(p.y()),
                                  static_cast<float>(p.z()));
      }
    }
    for (const pcl::PointXYZ& p : vertices->points) out->push_back(p);
    for (const pcl::PointXYZ& p : drawn.points) out->push_back(p);
    samples += drawn.size();
    benchmark::DoNotOptimize(out->points.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(samples));
}
BENCHMARK(BM_UpSampleReseedPerSample)->Unit(benchmark::kMillisecond);

// The two costs the change separates: seeding a generator from the device, and one draw.
void BM_SeedFromDevice(benchmark::State& state) {
  for (auto _ : state) {
    std::random_device device;
    std::mt19937 engine(device());
    benchmark::DoNotOptimize(engine);
  }
}
BENCHMARK(BM_SeedFromDevice);

void BM_RandomPointInTriangle(benchmark::State& state) {
  nimbrel_arm_util::PointCloudsDeal deal;
  const Eigen::Vector3d a(0, 0, 0), b(1, 0, 0), c(0, 1, 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(deal.randomPointInTriangle(a, b, c));
  }
}
BENCHMARK(BM_RandomPointInTriangle);

}  // namespace

BENCHMARK_MAIN();
