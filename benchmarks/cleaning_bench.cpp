// Voxel down-sampling through PointCloudsDeal against PCL's filter, on typical frames and on the inputs that
// could hurt an exact re-implementation of it (far strays that stretch the index range, one voxel for
// everything, one point per voxel, a tiny scale), and the whole cleaning pipeline on a camera-sized cloud.
#include <benchmark/benchmark.h>
#include <pcl/filters/voxel_grid.h>

#include <iterator>
#include <string>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"
#include "support/outlier_scene.hpp"

namespace {

using nimbrel_test::Cloud;
using nimbrel_test::CloudPtr;

const CloudPtr& frame() {
  static const CloudPtr cloud =
      nimbrel_test::makeRandomCloud(307200, {-1.5f, -1.0f, 0.3f}, {1.5f, 1.0f, 1.8f}, 3);
  return cloud;
}

CloudPtr scaled(const Cloud& cloud, float factor) {
  CloudPtr out(new Cloud(cloud));
  for (pcl::PointXYZ& p : out->points) p.getVector3fMap() *= factor;
  return out;
}

struct VoxelCase {
  const char* name;
  float leaf;
  CloudPtr (*make)();
};
const VoxelCase kVoxelCases[] = {
    {"random_volume_307k_leaf_0.01", 0.01f, [] { return frame(); }},
    // Ten times the points in the same volume: both filters should grow about tenfold.
    {"random_volume_3M_leaf_0.01", 0.01f,
     [] {
       return nimbrel_test::makeRandomCloud(3072000, {-1.5f, -1.0f, 0.3f}, {1.5f, 1.0f, 1.8f}, 4);
     }},
    {"camera_frame_leaf_0.005", 0.005f, [] { return nimbrel_test::makeDepthScene(1.0); }},
    {"camera_frame_strays_20m_leaf_0.005", 0.005f,
     [] {
       CloudPtr cloud = nimbrel_test::makeDepthScene(1.0);
       for (const float z : {10.0f, 15.0f, 20.0f}) cloud->push_back(pcl::PointXYZ(0.1f, 0.1f, z));
       return cloud;
     }},
    {"camera_frame_one_voxel", 10.0f, [] { return nimbrel_test::makeDepthScene(1.0); }},
    {"cube_300k_one_point_per_voxel", 0.0002f,
     [] {
       return nimbrel_test::makeRandomCloud(300000, {0, 0, 0}, {0.2f, 0.2f, 0.2f}, 5);
     }},
    {"camera_frame_scaled_1e-6", 5e-9f, [] { return scaled(*nimbrel_test::makeDepthScene(1.0), 1e-6f); }},
};

const CloudPtr& voxelCase(std::size_t which) {
  static CloudPtr clouds[std::size(kVoxelCases)];
  if (!clouds[which]) clouds[which] = kVoxelCases[which].make();
  return clouds[which];
}

// "voxel_grid/<case>/ours" through PointCloudsDeal, "voxel_grid/<case>/pcl" PCL's filter alone; both report
// the voxels they keep, which must agree.
void registerVoxelCases() {
  for (std::size_t c = 0; c < std::size(kVoxelCases); ++c) {
    const std::string name = std::string("voxel_grid/") + kVoxelCases[c].name;
    const float leaf = kVoxelCases[c].leaf;
    benchmark::RegisterBenchmark((name + "/ours").c_str(),
                                 [c, leaf](benchmark::State& state) {
                                   nimbrel_arm_util::PointCloudsDeal deal;
                                   deal.setLeafSize(leaf);
                                   CloudPtr out(new Cloud);
                                   for (auto _ : state) {
                                     deal.voxelGridfilterPointClouds(voxelCase(c), out);
                                     benchmark::DoNotOptimize(out->points.data());
                                   }
                                   state.counters["points"] = static_cast<double>(voxelCase(c)->size());
                                   state.counters["voxels"] = static_cast<double>(out->size());
                                 })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark((name + "/pcl").c_str(),
                                 [c, leaf](benchmark::State& state) {
                                   Cloud out;
                                   for (auto _ : state) {
                                     pcl::VoxelGrid<pcl::PointXYZ> grid;
                                     grid.setInputCloud(voxelCase(c));
                                     grid.setLeafSize(leaf, leaf, leaf);
                                     grid.filter(out);
                                     benchmark::DoNotOptimize(out.points.data());
                                   }
                                   state.counters["points"] = static_cast<double>(voxelCase(c)->size());
                                   state.counters["voxels"] = static_cast<double>(out.size());
                                 })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
}

void BM_ProcessPointClouds(benchmark::State& state) {
  nimbrel_arm_util::PointCloudsDeal deal;
  deal.setLeafSize(0.01);
  CloudPtr out(new Cloud);
  for (auto _ : state) {
    deal.processPointClouds(frame(), out);
    benchmark::DoNotOptimize(out->points.data());
  }
}
BENCHMARK(BM_ProcessPointClouds)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  registerVoxelCases();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
