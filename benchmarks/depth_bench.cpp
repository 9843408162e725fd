// Depth image to point cloud on camera-sized frames: a floor with a box on it, about 5% of the pixels
// without a reading, with the lens's distortion removed or not.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

namespace {

using nimbrel_arm_util::CameraIntrinsic;

// Typical intrinsics of a structured-light camera at the two resolutions, with mild distortion.
CameraIntrinsic intrinsicsFor(int width, bool distorted) {
  const float f = width == 640 ? 605.0f : 910.0f;
  CameraIntrinsic c{f, width / 2.0f - 0.5f, f, width == 640 ? 239.5f : 359.5f, 0, 0, 0, 0, 0};
  if (distorted) {
    c.k1 = 0.08f;
    c.k2 = -0.15f;
    c.p1 = 0.001f;
    c.p2 = -0.0005f;
    c.k3 = 0.05f;
  }
  return c;
}

// A slightly slanted floor receding from 0.9 m to 1.6 m and a box at 0.7 m in the middle third, with
// +-2 mm of sensor noise and ~5% (or `holes`) of the pixels without a reading.
cv::Mat makeScene(int width, int height, double holes = 0.05) {
  cv::Mat depth = nimbrel_test::makeDepthImage(width, height, 0);
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> noise(-2, 2);
  std::bernoulli_distribution hole(holes);
  const cv::Rect box(width / 3, height / 3, width / 3, height / 3);
  for (int v = 0; v < height; ++v) {
    auto* row = depth.ptr<std::uint16_t>(v);
    for (int u = 0; u < width; ++u) {
      const int surface = box.contains(cv::Point(u, v)) ? 700 : 1600 - 700 * v / height + 50 * u / width;
      row[u] = hole(rng) ? 0 : static_cast<std::uint16_t>(surface + noise(rng));
    }
  }
  return depth;
}

void BM_DepthToCloud(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const bool distorted = state.range(2) != 0;
  nimbrel_arm_util::PointCloudsDeal deal;
  cv::Mat depth = makeScene(width, height);
  const CameraIntrinsic intrinsic = intrinsicsFor(width, distorted);
  auto out = nimbrel_test::makeCloud({});
  for (auto _ : state) {
    deal.getPointCloudsFromDepthMap(out, depth, intrinsic);
    benchmark::DoNotOptimize(out->points.data());
    benchmark::ClobberMemory();
  }
  state.counters["points"] = static_cast<double>(out->size());
  state.SetItemsProcessed(state.iterations() * width * height);
}

// The same frame stored at another depth scale (TUM: 5000 units per metre) through the scale overload.
void BM_DepthToCloudAtScale(benchmark::State& state) {
  const double unitsPerMetre = static_cast<double>(state.range(0));
  nimbrel_arm_util::PointCloudsDeal deal;
  cv::Mat depth = makeScene(640, 480);
  const CameraIntrinsic intrinsic = intrinsicsFor(640, false);
  auto out = nimbrel_test::makeCloud({});
  for (auto _ : state) {
    deal.getPointCloudsFromDepthMap(out, depth, intrinsic, unitsPerMetre);
    benchmark::DoNotOptimize(out->points.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 640 * 480);
}

// Scattered holes at other rates: near the rate where a row stops counting as dense (1 in 8), half the
// pixels (the most mispredicted branches), and an almost empty frame.
void BM_DepthToCloudHoles(benchmark::State& state) {
  nimbrel_arm_util::PointCloudsDeal deal;
  cv::Mat depth = makeScene(640, 480, static_cast<double>(state.range(0)) / 100);
  const CameraIntrinsic intrinsic = intrinsicsFor(640, false);
  auto out = nimbrel_test::makeCloud({});
  for (auto _ : state) {
    deal.getPointCloudsFromDepthMap(out, depth, intrinsic);
    benchmark::DoNotOptimize(out->points.data());
    benchmark::ClobberMemory();
  }
  state.counters["points"] = static_cast<double>(out->size());
  state.SetItemsProcessed(state.iterations() * 640 * 480);
}

// The worst case for keeping undistortion maps between calls: five cameras taking turns, one more than
// are kept, so that every call builds its map anew.
void BM_DepthToCloudCamerasTakingTurns(benchmark::State& state) {
  nimbrel_arm_util::PointCloudsDeal deal;
  cv::Mat depth = makeScene(640, 480);
  std::vector<CameraIntrinsic> cameras;
  for (int i = 0; i < 5; ++i) {
    cameras.push_back(intrinsicsFor(640, true));
    cameras.back().k1 += 0.01f * static_cast<float>(i);
  }
  auto out = nimbrel_test::makeCloud({});
  std::size_t turn = 0;
  for (auto _ : state) {
    deal.getPointCloudsFromDepthMap(out, depth, cameras[turn++ % cameras.size()]);
    benchmark::DoNotOptimize(out->points.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 640 * 480);
}

// The camera-model call on the same frame: the record's plumb_bob lens, a rational_polynomial lens of eight
// coefficients, a fisheye lens, and the frame in float metres with a depth range.
void BM_DepthToCloudCameraModel(benchmark::State& state) {
  using nimbrel_arm_util::DistortionModel;
  const int which = static_cast<int>(state.range(0));
  nimbrel_arm_util::PointCloudsDeal deal;
  cv::Mat depth = makeScene(640, 480);
  const CameraIntrinsic c = intrinsicsFor(640, true);
  nimbrel_arm_util::CameraModel camera;
  camera.cameraMatrix = cv::Matx33d(c.fx, 0, c.cx, 0, c.fy, c.cy, 0, 0, 1);
  camera.coefficients = {c.k1, c.k2, c.p1, c.p2, c.k3};
  double unitsPerMetre = 1000.0, maxDepth = 1.5;
  if (which == 1) {
    camera.distortionModel = DistortionModel::kRationalPolynomial;
    camera.coefficients.insert(camera.coefficients.end(), {0.02, -0.01, 0.005});
  } else if (which == 2) {
    camera.distortionModel = DistortionModel::kEquidistant;
    camera.coefficients = {0.05, -0.02, 0.004, -0.001};
  } else if (which == 3) {
    depth.convertTo(depth, CV_32FC1, 0.001);
    unitsPerMetre = 1.0;
  }
  auto out = nimbrel_test::makeCloud({});
  for (auto _ : state) {
    deal.getPointCloudsFromDepthMap(out, depth, camera, unitsPerMetre, 0.0, maxDepth);
    benchmark::DoNotOptimize(out->points.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 640 * 480);
}

}  // namespace

BENCHMARK(BM_DepthToCloudCameraModel)
    ->ArgNames({"plumbBob0Rational1Fisheye2Float3"})
    ->DenseRange(0, 3)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_DepthToCloudHoles)
    ->ArgNames({"holePercent"})
    ->Arg(11)
    ->Arg(14)
    ->Arg(50)
    ->Arg(98)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_DepthToCloudCamerasTakingTurns)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_DepthToCloudAtScale)
    ->ArgNames({"unitsPerMetre"})
    ->Arg(1000)
    ->Arg(5000)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_DepthToCloud)
    ->ArgNames({"width", "height", "distorted"})
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Args({1280, 720, 0})
    ->Args({1280, 720, 1})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
