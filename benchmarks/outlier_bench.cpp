// Statistical outlier removal: the library's filter against the grid-based exact re-implementation, on
// depth frames voxelised like the cleaning pipeline does, and the cleaning steps around it.
#include <benchmark/benchmark.h>
#include <pcl/filters/filter.h>
#include <pcl/filters/passthrough.h>
#include <pcl/filters/statistical_outlier_removal.h>
#include <pcl/filters/voxel_grid.h>

#include "pointclouds_deal/outlier_core.hpp"
#include "pointclouds_deal/statistical_outlier.hpp"
#include "support/outlier_scene.hpp"

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = Cloud::Ptr;

constexpr int kMeanK = 50;
constexpr double kMul = 1.0;

// Inputs by argument: 0 the close frame at 5 mm (~63,000 points), 1 the full view at 5 mm (~113,000),
// 2 the close frame at 10 mm.
const CloudPtr& input(int which) {
  static const CloudPtr clouds[] = {
      nimbrel_test::voxelised(nimbrel_test::makeDepthScene(0.85), 0.005f),
      nimbrel_test::voxelised(nimbrel_test::makeDepthScene(1.0), 0.005f),
      nimbrel_test::voxelised(nimbrel_test::makeDepthScene(0.85), 0.01f),
  };
  return clouds[which];
}

void libraryFilter(const CloudPtr& in, Cloud& out) {
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> filter;
  filter.setInputCloud(in);
  filter.setMeanK(kMeanK);
  filter.setStddevMulThresh(kMul);
  filter.filter(out);
}

void BM_OutlierLibrary(benchmark::State& state) {
  const CloudPtr& in = input(static_cast<int>(state.range(0)));
  Cloud out;
  for (auto _ : state) {
    libraryFilter(in, out);
    benchmark::DoNotOptimize(out.points.data());
  }
  state.counters["points"] = static_cast<double>(in->size());
}

void BM_OutlierGrid(benchmark::State& state) {
  const CloudPtr& in = input(static_cast<int>(state.range(0)));
  Cloud out;
  for (auto _ : state) {
    if (!nimbrel_arm_util::detail::statisticalOutlierRemoval(*in, out, kMeanK, kMul)) {
      state.SkipWithError("input refused");
      return;
    }
    benchmark::DoNotOptimize(out.points.data());
  }
  state.counters["points"] = static_cast<double>(in->size());
}

// The per-point pass alone on the 5 mm frame, with the portable kernels (0, what a plain x86-64 or arm64
// CPU runs) or the best ones this CPU supports (1).
void BM_OutlierGridKernels(benchmark::State& state) {
  using namespace nimbrel_arm_util::detail;
  const CloudPtr& in = input(0);
  const OutlierKernels kernels = state.range(0) == 0 ? genericOutlierKernels() : bestOutlierKernels();
  std::vector<float> distances(in->size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(outlierMeanDistances(reinterpret_cast<const float*>(in->points.data()),
                                                  in->size(), 4, kMeanK, distances.data(), kernels));
  }
  state.SetLabel(kernels.name);
}

// The cleaning pipeline on a raw frame: NaN removal, box crop, voxel grid at 5 mm, outlier removal by
// the library (0) or the grid (1).
void BM_CleaningPipeline(benchmark::State& state) {
  static const CloudPtr raw = nimbrel_test::makeDepthScene(0.85);
  const bool grid = state.range(0) == 1;
  for (auto _ : state) {
    auto a = pcl::make_shared<Cloud>();
    pcl::Indices kept;
    pcl::removeNaNFromPointCloud(*raw, *a, kept);
    pcl::PassThrough<pcl::PointXYZ> pass;
    for (const char* axis : {"x", "y", "z"}) {
      pass.setInputCloud(a);
      pass.setFilterFieldName(axis);
      pass.setFilterLimits(-2.0f, 2.0f);
      pass.filter(*a);
    }
    pcl::VoxelGrid<pcl::PointXYZ> voxels;
    voxels.setInputCloud(a);
    voxels.setLeafSize(0.005f, 0.005f, 0.005f);
    auto b = pcl::make_shared<Cloud>();
    voxels.filter(*b);
    Cloud out;
    if (!grid || !nimbrel_arm_util::detail::statisticalOutlierRemoval(*b, out, kMeanK, kMul)) {
      libraryFilter(b, out);
    }
    benchmark::DoNotOptimize(out.points.data());
  }
}

BENCHMARK(BM_OutlierLibrary)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OutlierGrid)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OutlierGridKernels)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CleaningPipeline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
