// Voxel down-sampling through PointCloudsDeal against PCL's filter alone (the difference is the index
// overflow pre-check), and the whole cleaning pipeline on a camera-sized frame.
#include <benchmark/benchmark.h>
#include <pcl/filters/voxel_grid.h>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

namespace {

const nimbrel_test::CloudPtr& frame() {
  static const nimbrel_test::CloudPtr cloud =
      nimbrel_test::makeRandomCloud(307200, {-1.5f, -1.0f, 0.3f}, {1.5f, 1.0f, 1.8f}, 3);
  return cloud;
}

void BM_VoxelGridDeal(benchmark::State& state) {
  nimbrel_arm_util::PointCloudsDeal deal;
  deal.setLeafSize(0.01);
  nimbrel_test::CloudPtr out(new nimbrel_test::Cloud);
  for (auto _ : state) {
    deal.voxelGridfilterPointClouds(frame(), out);
    benchmark::DoNotOptimize(out->points.data());
  }
}
BENCHMARK(BM_VoxelGridDeal)->Unit(benchmark::kMillisecond);

void BM_VoxelGridPcl(benchmark::State& state) {
  nimbrel_test::Cloud out;
  for (auto _ : state) {
    pcl::VoxelGrid<pcl::PointXYZ> grid;
    grid.setInputCloud(frame());
    grid.setLeafSize(0.01f, 0.01f, 0.01f);
    grid.filter(out);
    benchmark::DoNotOptimize(out.points.data());
  }
}
BENCHMARK(BM_VoxelGridPcl)->Unit(benchmark::kMillisecond);

void BM_ProcessPointClouds(benchmark::State& state) {
  nimbrel_arm_util::PointCloudsDeal deal;
  deal.setLeafSize(0.01);
  nimbrel_test::CloudPtr out(new nimbrel_test::Cloud);
  for (auto _ : state) {
    deal.processPointClouds(frame(), out);
    benchmark::DoNotOptimize(out->points.data());
  }
}
BENCHMARK(BM_ProcessPointClouds)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
