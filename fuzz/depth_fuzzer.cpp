// Depth images of any type, size and layout (continuous or a view into a larger image) with any
// intrinsics: zero, negative, NaN and infinite focal lengths, principal points and distortion. Half the
// inputs go to the millimetre call with its intrinsics record, half to the camera-model call: any
// distortion model with right and wrong coefficient counts, any camera matrix (skew, zero, negative and
// non-finite entries), 16-bit and float images (NaN, infinities, negative depths), any depth scale and
// depth range.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <opencv2/core.hpp>
#include <vector>

#include "fuzz_support.hpp"
#include "nimbrel_arm_util/camera_model.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

using nimbrel_fuzz::Cloud;

namespace {

using nimbrel_arm_util::CameraModel;
using nimbrel_arm_util::DistortionModel;

// An image of `type` filled from the input, as it is or as a view into a larger image.
cv::Mat fuzzImage(FuzzedDataProvider& in, int type, int rows, int cols, cv::Mat& storage) {
  const bool view = in.ConsumeBool() && rows > 0 && cols > 0;
  storage = cv::Mat(rows + (view ? 2 : 0), cols + (view ? 3 : 0), type, cv::Scalar::all(0));
  return view ? storage(cv::Rect(1, 1, cols, rows)) : storage;
}

// Whether the camera-model call must accept these arguments, by its documented rules.
bool acceptable(const CameraModel& camera, double unitsPerMetre, double minDepth, double maxDepth,
                const cv::Mat& image) {
  if (!(unitsPerMetre > 0.0 && std::isfinite(unitsPerMetre))) return false;
  const cv::Matx33d& k = camera.cameraMatrix;
  for (double v : k.val) {
    if (!std::isfinite(v)) return false;
  }
  if (!(k(0, 0) > 0.0 && k(1, 1) > 0.0)) return false;
  if (!std::isfinite(1.0 / k(0, 0)) || !std::isfinite(1.0 / k(1, 1))) return false;
  if (k(0, 1) != 0.0 || k(1, 0) != 0.0 || k(2, 0) != 0.0 || k(2, 1) != 0.0 || k(2, 2) != 1.0) return false;
  if (!CameraModel::takesCoefficientCount(camera.distortionModel, camera.coefficients.size())) return false;
  for (double c : camera.coefficients) {
    if (!std::isfinite(c)) return false;
  }
  if (!(minDepth >= 0.0 && maxDepth >= minDepth)) return false;
  return image.empty() || image.type() == CV_16UC1 || image.type() == CV_32FC1;
}

// The depth in metres of a pixel the call must keep when there is no distortion, or NaN for a hole.
double readingOf(const cv::Mat& image, int r, int c, double unitsPerMetre, double minDepth, double maxDepth) {
  double z;
  if (image.type() == CV_16UC1) {
    const std::uint16_t d = image.at<std::uint16_t>(r, c);
    if (d == 0 || d == 0xFFFF) return std::nan("");
    z = d / unitsPerMetre;
  } else {
    const float d = image.at<float>(r, c);
    if (!std::isfinite(d) || !(d > 0.0f)) return std::nan("");
    z = d / unitsPerMetre;
  }
  return z > 0.0 && z >= minDepth && z <= maxDepth ? z : std::nan("");
}

int fuzzCameraModelCall(FuzzedDataProvider& in) {
  CameraModel camera;
  camera.distortionModel = static_cast<DistortionModel>(in.ConsumeIntegralInRange<int>(0, 2));
  // Mostly a count the model takes, sometimes any count up to 16.
  static const std::size_t kCounts[3][4] = {{0, 5, 5, 5}, {0, 8, 12, 14}, {0, 4, 4, 4}};
  const std::size_t count =
      in.ConsumeIntegralInRange<unsigned>(0, 7) == 0
          ? in.ConsumeIntegralInRange<std::size_t>(0, 16)
          : kCounts[static_cast<int>(camera.distortionModel)][in.ConsumeIntegralInRange<int>(0, 3)];
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned pick = in.ConsumeIntegralInRange<unsigned>(0, 7);
    camera.coefficients.push_back(pick == 0  ? nimbrel_fuzz::fuzzDouble(in)
                                  : pick < 3 ? 0.0
                                             : in.ConsumeFloatingPointInRange<double>(-0.3, 0.3));
  }

  const int rows = in.ConsumeIntegralInRange<int>(0, 48);
  const int cols = in.ConsumeIntegralInRange<int>(0, 64);
  // Mostly a plausible camera for the image, with some entries replaced (skew, the bottom row included).
  const double plausible[9] = {cols * 0.8, 0.0, cols / 2.0, 0.0, rows * 0.8, rows / 2.0, 0.0, 0.0, 1.0};
  for (int i = 0; i < 9; ++i) {
    camera.cameraMatrix.val[i] =
        in.ConsumeIntegralInRange<unsigned>(0, 5) == 0 ? nimbrel_fuzz::fuzzDouble(in) : plausible[i];
  }

  static const double kUnits[] = {1000.0, 5000.0, 1.0, 0.001};
  const double unitsPerMetre = in.ConsumeIntegralInRange<unsigned>(0, 5) == 0
                                   ? nimbrel_fuzz::fuzzDouble(in)
                                   : kUnits[in.ConsumeIntegralInRange<int>(0, 3)];
  double minDepth = 0.0;
  double maxDepth = std::numeric_limits<double>::infinity();
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 1:
      minDepth = in.ConsumeFloatingPointInRange<double>(0.0, 5.0);
      maxDepth = minDepth + in.ConsumeFloatingPointInRange<double>(0.0, 10.0);
      break;
    case 2:
      minDepth = nimbrel_fuzz::fuzzDouble(in);
      maxDepth = nimbrel_fuzz::fuzzDouble(in);
      break;
    default:
      break;
  }

  // Mostly the two pixel types the call takes, sometimes another.
  static const int kOther[] = {CV_8UC1, CV_16SC1, CV_32SC1, CV_64FC1, CV_16UC3, CV_32FC2};
  const unsigned typePick = in.ConsumeIntegralInRange<unsigned>(0, 15);
  const int type = typePick == 0  ? kOther[in.ConsumeIntegralInRange<int>(0, 5)]
                   : typePick < 8 ? CV_16UC1
                                  : CV_32FC1;
  cv::Mat storage;
  cv::Mat image = fuzzImage(in, type, rows, cols, storage);
  for (int r = 0; r < image.rows; ++r) {
    for (int c = 0; c < image.cols && in.remaining_bytes() > 0; ++c) {
      if (type == CV_16UC1) {
        image.at<std::uint16_t>(r, c) = in.ConsumeIntegral<std::uint16_t>();
      } else if (type == CV_32FC1) {
        // Mostly a depth of up to a few metres in the image's units, otherwise any float.
        const double d = nimbrel_fuzz::fuzzDouble(in);
        image.at<float>(r, c) = static_cast<float>(in.ConsumeBool() ? d * unitsPerMetre : d);
      } else {
        const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(image.elemSize());
        std::copy(bytes.begin(), bytes.end(), image.ptr(r, c));
      }
    }
  }
  const cv::Mat imageBefore = image.clone();

  auto out = nimbrel_fuzz::fuzzCloud(in, 4);
  const Cloud outBefore = *out;
  nimbrel_arm_util::PointCloudsDeal deal;
  if (std::getenv("NIMBREL_FUZZ_DUMP") != nullptr) {
    const cv::Matx33d& m = camera.cameraMatrix;
    std::fprintf(stderr, "model %s, %zu coefficients, K %.9g %.9g %.9g / %.9g %.9g %.9g / %.9g %.9g %.9g\n",
                 CameraModel::modelName(camera.distortionModel), camera.coefficients.size(), m.val[0],
                 m.val[1], m.val[2], m.val[3], m.val[4], m.val[5], m.val[6], m.val[7], m.val[8]);
    std::fprintf(stderr, "image %s %d x %d, %.9g units per metre, depth %.9g to %.9g m\n",
                 cv::typeToString(image.type()).c_str(), cols, rows, unitsPerMetre, minDepth, maxDepth);
  }
  // Every refusal is a return value: an exception escaping here is a finding.
  const int code = deal.getPointCloudsFromDepthMap(out, image, camera, unitsPerMetre, minDepth, maxDepth);
  NIMBREL_FUZZ_CHECK(code == (acceptable(camera, unitsPerMetre, minDepth, maxDepth, image) ? 0 : -1));
  if (code != 0) {
    NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*out, outBefore));
  } else {
    nimbrel_fuzz::dump("out", *out);
    NIMBREL_FUZZ_CHECK(out->size() <= static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    NIMBREL_FUZZ_CHECK(out->width == out->size() && out->height == (out->empty() ? 0u : 1u));
    // Every point is a finite point in front of the camera within the depth range.
    for (const auto& p : out->points) {
      NIMBREL_FUZZ_CHECK(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
      NIMBREL_FUZZ_CHECK(p.z > 0.0f && p.z >= static_cast<float>(minDepth) &&
                         p.z <= static_cast<float>(maxDepth));
    }
    // Without distortion, and when every point lies well within float range, every reading becomes one
    // point, in row-major order.
    const bool distorted = std::any_of(camera.coefficients.begin(), camera.coefficients.end(),
                                       [](double k) { return k != 0.0; });
    const cv::Matx33d& k = camera.cameraMatrix;
    std::vector<float> expected;
    bool tame = !distorted;
    for (int r = 0; r < image.rows && tame; ++r) {
      for (int c = 0; c < image.cols && tame; ++c) {
        const double z = readingOf(image, r, c, unitsPerMetre, minDepth, maxDepth);
        if (std::isnan(z)) continue;
        const double x = (c - k(0, 2)) * z / k(0, 0);
        const double y = (r - k(1, 2)) * z / k(1, 1);
        tame = z >= 1e-30 && z <= 1e30 && std::fabs(x) <= 1e30 && std::fabs(y) <= 1e30;
        expected.push_back(static_cast<float>(z));
      }
    }
    if (tame) {
      NIMBREL_FUZZ_CHECK(out->size() == expected.size());
      for (std::size_t i = 0; i < expected.size(); ++i) NIMBREL_FUZZ_CHECK(out->points[i].z == expected[i]);
    }
  }
  for (int r = 0; r < image.rows && image.cols > 0; ++r) {
    NIMBREL_FUZZ_CHECK(std::memcmp(image.ptr(r), imageBefore.ptr(r), image.cols * image.elemSize()) == 0);
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) return fuzzCameraModelCall(in);
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
    // Refused only for another image type, or for a camera that would give points that are not finite:
    // a value that is not finite, or a focal length that is not positive or too small to divide by.
    bool usableCamera = intrinsic.fx > 0.0f && intrinsic.fy > 0.0f && std::isfinite(1.0 / intrinsic.fx) &&
                        std::isfinite(1.0 / intrinsic.fy);
    for (const float* field : fields) usableCamera = usableCamera && std::isfinite(*field);
    NIMBREL_FUZZ_CHECK(type != CV_16UC1 || !usableCamera);
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
