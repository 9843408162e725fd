// Statistical outlier removal: the library's filter against the exact re-implementation behind
// removeOutlierPointClouds, in one binary, on depth frames voxelised like the cleaning pipeline does and on
// the worst cases of a grid-based search; the ratios are printed at the end. Also the per-point pass with
// either kernel set, and the cleaning steps around the removal.
#include <benchmark/benchmark.h>
#include <pcl/filters/filter.h>
#include <pcl/filters/passthrough.h>
#include <pcl/filters/statistical_outlier_removal.h>
#include <pcl/filters/voxel_grid.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "engines/outlier_core.hpp"
#include "engines/statistical_outlier.hpp"
#include "support/outlier_scene.hpp"

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = Cloud::Ptr;

constexpr int kMeanK = 50;
constexpr double kMul = 1.0;

// Typical inputs: depth frames voxelised as the cleaning pipeline does. The index of each is its argument
// in the benchmarks below that take one: 0 the close frame at 5 mm (~63,000 points), 1 the full view at
// 5 mm (~113,000), 2 the close frame at 10 mm.
const CloudPtr& input(int which) {
  static const CloudPtr clouds[] = {
      nimbrel_test::voxelised(nimbrel_test::makeDepthScene(0.85), 0.005f),
      nimbrel_test::voxelised(nimbrel_test::makeDepthScene(1.0), 0.005f),
      nimbrel_test::voxelised(nimbrel_test::makeDepthScene(0.85), 0.01f),
  };
  return clouds[which];
}

// Worst cases for a grid laid over the bounding box, beside the typical ones: far strays, tiny scales,
// map coordinates and duplicates. Built on first use, so that a filter skips what it does not run.
struct Case {
  const char* name;
  CloudPtr (*make)();
};
const Case kCases[] = {
    {"frame_5mm_63k", [] { return input(0); }},
    {"full_view_5mm_113k", [] { return input(1); }},
    {"frame_10mm_18k", [] { return input(2); }},
    {"plane_300k_strays_0.5m", [] { return nimbrel_test::makePlaneWithStrays(300000, 0.5f); }},
    {"plane_300k_strays_20m", [] { return nimbrel_test::makePlaneWithStrays(300000, 20.0f); }},
    {"plane_300k_strays_60m", [] { return nimbrel_test::makePlaneWithStrays(300000, 60.0f); }},
    {"cube_1e-16_20k", [] { return nimbrel_test::makeTinyCube(20000, 1e-16f); }},
    {"cube_1e-16_40k", [] { return nimbrel_test::makeTinyCube(40000, 1e-16f); }},
    {"frame_5mm_offset_1e6", [] { return nimbrel_test::offsetCloud(*input(0), 1e6f); }},
    {"frame_5mm_duplicate_cluster", [] { return nimbrel_test::withDuplicateCluster(*input(0), 20000, 20); }},
};

const CloudPtr& caseCloud(std::size_t which) {
  static CloudPtr clouds[std::size(kCases)];
  if (!clouds[which]) clouds[which] = kCases[which].make();
  return clouds[which];
}

void libraryFilter(const CloudPtr& in, Cloud& out) {
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> filter;
  filter.setInputCloud(in);
  filter.setMeanK(kMeanK);
  filter.setStddevMulThresh(kMul);
  filter.filter(out);
}

// "outlier/<case>/pcl": the library's filter; "outlier/<case>/ours": the removal behind
// removeOutlierPointClouds. Both report how many points they keep, which must agree.
void registerCases() {
  for (std::size_t c = 0; c < std::size(kCases); ++c) {
    const std::string name = std::string("outlier/") + kCases[c].name;
    benchmark::RegisterBenchmark((name + "/pcl").c_str(),
                                 [c](benchmark::State& state) {
                                   const CloudPtr& in = caseCloud(c);
                                   Cloud out;
                                   for (auto _ : state) {
                                     libraryFilter(in, out);
                                     benchmark::DoNotOptimize(out.points.data());
                                   }
                                   state.counters["points"] = static_cast<double>(in->size());
                                   state.counters["kept"] = static_cast<double>(out.size());
                                 })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(
        (name + "/ours").c_str(),
        [c](benchmark::State& state) {
          const CloudPtr& in = caseCloud(c);
          Cloud out;
          for (auto _ : state) {
            if (!nimbrel_arm_util::detail::statisticalOutlierRemoval(*in, out, kMeanK, kMul)) {
              state.SkipWithError("input refused");
              return;
            }
            benchmark::DoNotOptimize(out.points.data());
          }
          state.counters["points"] = static_cast<double>(in->size());
          state.counters["kept"] = static_cast<double>(out.size());
        })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
}

// Prints the usual console table, then ours/pcl per case from the medians (or the single runs).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || !(median || run.run_type == Run::RT_Iteration)) continue;
      if (run.run_type == Run::RT_Iteration && run.repetitions > 1) continue;
      times_[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    bool header = false;
    for (const Case& c : kCases) {
      const std::string name = std::string("outlier/") + c.name;
      const auto pcl = times_.find(name + "/pcl");
      const auto ours = times_.find(name + "/ours");
      if (pcl == times_.end() || ours == times_.end()) continue;
      if (!header) {
        out << "\nours/pcl (wall time, median)                pcl ms    ours ms   ours/pcl\n";
        header = true;
      }
      char line[160];
      std::snprintf(line, sizeof line, "%-40s %10.2f %10.2f %10.3f\n", c.name, pcl->second, ours->second,
                    ours->second / pcl->second);
      out << line;
    }
  }

 private:
  std::map<std::string, double> times_;
};

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
// the library (0) or ours (1).
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

BENCHMARK(BM_OutlierGridKernels)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CleaningPipeline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  registerCases();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
