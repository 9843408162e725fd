// Depth images of any type, size and layout (continuous or a view into a larger image) with any
// intrinsics: zero, negative, NaN and infinite focal lengths, principal points and distortion.
#include <cmath>
#include <opencv2/core.hpp>

#include "fuzz_support.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

using nimbrel_fuzz::Cloud;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  nimbrel_arm_util::CameraIntrinsic intrinsic{};
  float* fields[] = {&intrinsic.fx, &intrinsic.cx, &intrinsic.fy, &intrinsic.cy, &intrinsic.k1,
                     &intrinsic.k2, &intrinsic.p1, &intrinsic.p2, &intrinsic.k3};
  // Mostly a plausible camera with some fields replaced, so that the pixels are also reached.
  const float plausible[] = {500.0f, 32.0f, 500.0f, 24.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  for (int i = 0; i < 9; ++i) {
    *fields[i] = in.ConsumeIntegralInRange<unsigned>(0, 3) == 0 ? nimbrel_fuzz::fuzzFloat(in) : plausible[i];
  }

  static const int kDepths[] = {CV_8U, CV_8S, CV_16U, CV_16S, CV_32S, CV_32F, CV_64F};
  const int depth = kDepths[in.ConsumeIntegralInRange<int>(0, 6)];
  const int channels = in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange<int>(1, 4);
  const int type = CV_MAKETYPE(depth, channels);
  const int rows = in.ConsumeIntegralInRange<int>(0, 48);
  const int cols = in.ConsumeIntegralInRange<int>(0, 64);
  // A view (region of interest) is not continuous in memory: its rows lie apart in a larger image.
  const bool view = in.ConsumeBool() && rows > 0 && cols > 0;
  cv::Mat storage(rows + (view ? 2 : 0), cols + (view ? 3 : 0), type, cv::Scalar::all(0));
  const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(storage.total() * storage.elemSize());
  std::copy(bytes.begin(), bytes.end(), storage.data);
  cv::Mat image = view ? storage(cv::Rect(1, 1, cols, rows)) : storage;
  const cv::Mat imageBefore = image.clone();

  auto out = nimbrel_fuzz::fuzzCloud(in, 4);
  const Cloud outBefore = *out;
  nimbrel_arm_util::PointCloudsDeal deal;
  int code = 0;
  try {
    code = deal.getPointCloudsFromDepthMap(out, image, intrinsic);
  } catch (const cv::Exception&) {
    // OpenCV's refusal passes to the caller; the cloud must be as it was.
    NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*out, outBefore));
    return 0;
  }
  NIMBREL_FUZZ_CHECK(code == 0 || code == -1);
  if (code != 0) {
    NIMBREL_FUZZ_CHECK(type != CV_16UC1);
    NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*out, outBefore));
  } else {
    NIMBREL_FUZZ_CHECK(out->size() <= static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    NIMBREL_FUZZ_CHECK(out->width == out->size() && out->height == (out->empty() ? 0u : 1u));
    // Depth is millimetres over 1000: never negative, never more than 65.535 m.
    for (const auto& p : out->points) NIMBREL_FUZZ_CHECK(!(p.z <= 0.0f) && !(p.z > 65.535f));
  }
  // The image is only read.
  for (int r = 0; r < image.rows && image.cols > 0; ++r) {
    NIMBREL_FUZZ_CHECK(std::memcmp(image.ptr(r), imageBefore.ptr(r), image.cols * image.elemSize()) == 0);
  }
  return 0;
}
