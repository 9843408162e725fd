#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <set>
#include <thread>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

using nimbrel_arm_util::CameraIntrinsic;
using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_test::makeDepthImage;

namespace {
constexpr float kTol = 1e-6f;
const CameraIntrinsic kPinhole{500, 320, 500, 240, 0, 0, 0, 0, 0};
// Mild pincushion distortion with a little tangential part, on a 160 x 120 image.
const CameraIntrinsic kLens{150, 81.3f, 152, 58.7f, 0.18f, -0.05f, 0.002f, -0.0015f, -0.01f};

// Pixel of a back-projected point, recovered through the pinhole model.
cv::Point2d pixelOf(const pcl::PointXYZ& p, const CameraIntrinsic& c) {
  return {p.x / p.z * c.fx + c.cx, p.y / p.z * c.fy + c.cy};
}

// Where the lens images the ray of an undistorted pixel: the source position in the raw image.
cv::Point2d sourceOf(cv::Point2d pixel, const CameraIntrinsic& c) {
  const double x = (pixel.x - c.cx) / c.fx;
  const double y = (pixel.y - c.cy) / c.fy;
  const double r2 = x * x + y * y;
  const double radial = 1 + r2 * (c.k1 + r2 * (c.k2 + r2 * c.k3));
  const double xd = x * radial + 2 * c.p1 * x * y + c.p2 * (r2 + 2 * x * x);
  const double yd = y * radial + c.p1 * (r2 + 2 * y * y) + 2 * c.p2 * x * y;
  return {xd * c.fx + c.cx, yd * c.fy + c.cy};
}

// Readings that change from pixel to pixel, with `holes` holes in every `period` pixels.
cv::Mat makeVaryingDepth(int width, int height, int period = 17, int holes = 1) {
  cv::Mat depth(height, width, CV_16UC1);
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      const int i = u + v * width;
      depth.at<std::uint16_t>(v, u) =
          i % period < holes ? 0 : static_cast<std::uint16_t>(400 + (7 * u + 13 * v) % 4000);
    }
  }
  return depth;
}

// The conversion done the plain way: the float map built on the spot, the nearest-neighbour remap, and
// one division per reading.
std::vector<pcl::PointXYZ> referenceCloud(const cv::Mat& raw, const CameraIntrinsic& c,
                                          double unitsPerMetre) {
  cv::Mat image = raw;  // replaced, not written into, by the remap below
  if (c.k1 != 0 || c.k2 != 0 || c.p1 != 0 || c.p2 != 0 || c.k3 != 0) {
    image = cv::Mat();
    const cv::Mat camera = (cv::Mat_<double>(3, 3) << c.fx, 0, c.cx, 0, c.fy, c.cy, 0, 0, 1);
    const cv::Mat coefficients = (cv::Mat_<double>(1, 5) << c.k1, c.k2, c.p1, c.p2, c.k3);
    cv::Mat map;
    cv::initUndistortRectifyMap(camera, coefficients, cv::noArray(), camera, raw.size(), CV_32FC2, map,
                                cv::noArray());
    cv::remap(raw, image, map, cv::noArray(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
  }
  std::vector<pcl::PointXYZ> points;
  for (int v = 0; v < image.rows; ++v) {
    for (int u = 0; u < image.cols; ++u) {
      const std::uint16_t units = image.at<std::uint16_t>(v, u);
      if (units == 0) continue;
      const double z = units / unitsPerMetre;
      const double dx = static_cast<float>(u) - c.cx;
      const double dy = static_cast<float>(v) - c.cy;
      points.emplace_back(static_cast<float>(dx * z * (1.0 / c.fx)),
                          static_cast<float>(dy * z * (1.0 / c.fy)), static_cast<float>(z));
    }
  }
  return points;
}

// Same points, bit for bit, in the same order, as one row.
void expectSameCloud(const pcl::PointCloud<pcl::PointXYZ>& cloud, const std::vector<pcl::PointXYZ>& expected,
                     const char* what) {
  ASSERT_EQ(cloud.size(), expected.size()) << what;
  EXPECT_EQ(cloud.width, expected.size()) << what;
  EXPECT_EQ(cloud.height, expected.empty() ? 0u : 1u) << what;
  EXPECT_EQ(std::memcmp(cloud.points.data(), expected.data(), expected.size() * sizeof(pcl::PointXYZ)), 0)
      << what;
}
}  // namespace

TEST(Depth, BackProjectsKnownPixelsInRowMajorOrder) {
  PointCloudsDeal deal;
  cv::Mat depth = makeDepthImage(640, 480, 0);
  depth.at<std::uint16_t>(240, 420) = 2000;
  depth.at<std::uint16_t>(240, 320) = 1000;
  depth.at<std::uint16_t>(10, 600) = 65535;
  auto out = nimbrel_test::makeOrganizedCloud(8, 6);
  out->header.frame_id = "camera";
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, depth, kPinhole), 0);
  ASSERT_EQ(out->size(), 3u);
  EXPECT_EQ(out->width, 3u);
  EXPECT_EQ(out->height, 1u);
  EXPECT_EQ(out->header.frame_id, "camera");
  EXPECT_NEAR(out->points[0].x, 280 * 65.535f / 500, 1e-4f);
  EXPECT_NEAR(out->points[0].y, -230 * 65.535f / 500, 1e-4f);
  EXPECT_NEAR(out->points[0].z, 65.535f, kTol);
  EXPECT_NEAR(out->points[1].x, 0.0f, kTol);
  EXPECT_NEAR(out->points[1].y, 0.0f, kTol);
  EXPECT_NEAR(out->points[1].z, 1.0f, kTol);
  EXPECT_NEAR(out->points[2].x, 0.4f, kTol);
  EXPECT_NEAR(out->points[2].y, 0.0f, kTol);
  EXPECT_NEAR(out->points[2].z, 2.0f, kTol);
}

TEST(Depth, EveryReadingBecomesOnePointAndOutIsReused) {
  PointCloudsDeal deal;
  const CameraIntrinsic small{4, 1.5f, 4, 1, 0, 0, 0, 0, 0};
  cv::Mat depth = makeDepthImage(4, 3, 1500, {{1, 0}, {3, 2}});
  auto out = nimbrel_test::makeOrganizedCloud(8, 6);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, depth, small), 0);
  ASSERT_EQ(out->size(), 10u);
  EXPECT_EQ(out->width, 10u);
  EXPECT_EQ(out->height, 1u);
  int index = 0;
  for (int v = 0; v < 3; ++v) {
    for (int u = 0; u < 4; ++u) {
      if ((u == 1 && v == 0) || (u == 3 && v == 2)) continue;
      const pcl::PointXYZ& p = out->points[index++];
      EXPECT_NEAR(p.x, (u - 1.5f) * 1.5f / 4, kTol) << u << "," << v;
      EXPECT_NEAR(p.y, (v - 1.0f) * 1.5f / 4, kTol) << u << "," << v;
      EXPECT_EQ(p.z, 1.5f);
    }
  }
  // No reading at all, or no image at all: an empty cloud.
  cv::Mat zeros = makeDepthImage(4, 3, 0);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, zeros, small), 0);
  EXPECT_TRUE(out->empty());
  EXPECT_EQ(out->width, 0u);
  EXPECT_EQ(out->height, 0u);
  out = nimbrel_test::makeOrganizedCloud(2, 2);
  cv::Mat none;
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, none, kLens), 0);
  EXPECT_TRUE(out->empty());
  EXPECT_EQ(out->height, 0u);
}

// A TUM frame holds 5000 units per metre. The pixel at column 420, row 240 reading 10000 lies 2 m away:
// x = (420 - 319.5) * 2 / 525, y = (240 - 239.5) * 2 / 525. A reading of 1 is 0.2 mm, not rounded away.
TEST(Depth, OtherDepthScalesDivideInDouble) {
  PointCloudsDeal deal;
  const CameraIntrinsic tum{525, 319.5f, 525, 239.5f, 0, 0, 0, 0, 0};
  cv::Mat depth = makeDepthImage(640, 480, 0);
  depth.at<std::uint16_t>(240, 420) = 10000;
  depth.at<std::uint16_t>(241, 420) = 1;
  auto out = nimbrel_test::makeOrganizedCloud(8, 6);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, depth, tum, 5000.0), 0);
  ASSERT_EQ(out->size(), 2u);
  EXPECT_EQ(out->points[0].z, 2.0f);
  EXPECT_FLOAT_EQ(out->points[0].x, static_cast<float>(100.5 * 2.0 / 525.0));
  EXPECT_FLOAT_EQ(out->points[0].y, static_cast<float>(0.5 * 2.0 / 525.0));
  EXPECT_EQ(out->points[1].z, static_cast<float>(1.0 / 5000.0));

  // A scale that is not a positive finite number is refused and leaves `out` as it was.
  for (double scale : {0.0, -1000.0, std::nan(""), HUGE_VAL}) {
    EXPECT_EQ(deal.getPointCloudsFromDepthMap(out, depth, tum, scale), -1) << scale;
    EXPECT_EQ(out->size(), 2u);
  }
}

// The three-argument call is the millimetre scale, bit for bit, through the lens model too.
TEST(Depth, MillimetreCallEqualsScaleOneThousand) {
  PointCloudsDeal deal;
  cv::Mat depth = makeDepthImage(160, 120, 1234, {{5, 5}, {80, 60}});
  for (int v = 0; v < depth.rows; ++v)
    for (int u = 0; u < depth.cols; ++u)
      depth.at<std::uint16_t>(v, u) += static_cast<std::uint16_t>(7 * u + v);
  auto a = nimbrel_test::makeOrganizedCloud(2, 2), b = nimbrel_test::makeOrganizedCloud(2, 2);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(a, depth, kLens), 0);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(b, depth, kLens, 1000.0), 0);
  ASSERT_EQ(a->size(), b->size());
  ASSERT_GT(a->size(), 0u);
  EXPECT_EQ(std::memcmp(a->points.data(), b->points.data(), a->size() * sizeof(pcl::PointXYZ)), 0);
}

TEST(Depth, RefusesImagesThatAreNotSixteenBitDepth) {
  PointCloudsDeal deal;
  auto out = nimbrel_test::makeOrganizedCloud(3, 2);
  const int volume[3] = {4, 5, 6};
  for (cv::Mat image :
       {cv::Mat(48, 64, CV_8UC1, cv::Scalar(100)), cv::Mat(48, 64, CV_16SC1, cv::Scalar(100)),
        cv::Mat(48, 64, CV_32FC1, cv::Scalar(1.5)), cv::Mat(48, 64, CV_16UC3, cv::Scalar::all(100)),
        cv::Mat(3, volume, CV_16UC1, cv::Scalar(100))}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(deal.getPointCloudsFromDepthMap(out, image, kPinhole), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("CV_16UC1 image"), std::string::npos);
    EXPECT_EQ(out->size(), 6u);
    EXPECT_EQ(out->width, 3u);
    EXPECT_EQ(out->height, 2u);
  }
}

// Focal lengths that are not positive and finite, or any other value that is not finite, would give NaN or
// infinite points: refused, as the camera-model call refuses them, with `out` untouched.
TEST(Depth, RefusesFocalLengthsThatAreNotPositive) {
  PointCloudsDeal deal;
  cv::Mat depth = makeDepthImage(8, 6, 1000);
  auto out = nimbrel_test::makeOrganizedCloud(3, 2);
  std::vector<CameraIntrinsic> refused;
  for (float f : {0.0f, -500.0f, NAN, INFINITY}) {
    for (float CameraIntrinsic::*field : {&CameraIntrinsic::fx, &CameraIntrinsic::fy}) {
      CameraIntrinsic c = kPinhole;
      c.*field = f;
      refused.push_back(c);
    }
  }
  for (float CameraIntrinsic::*field : {&CameraIntrinsic::cx, &CameraIntrinsic::cy, &CameraIntrinsic::k1}) {
    CameraIntrinsic c = kPinhole;
    c.*field = NAN;
    refused.push_back(c);
  }
  for (const CameraIntrinsic& c : refused) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(deal.getPointCloudsFromDepthMap(out, depth, c), -1);
    EXPECT_EQ(deal.getPointCloudsFromDepthMap(out, depth, c, 5000.0), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("camera intrinsics refused"), std::string::npos);
    EXPECT_EQ(out->size(), 6u);
    EXPECT_EQ(out->width, 3u);
    EXPECT_EQ(out->height, 2u);
  }
}

TEST(Depth, UndistortedPixelsTakeTheirNearestSourceReading) {
  PointCloudsDeal deal;
  // Every pixel holds its own index + 1, so each point tells which raw pixel it came from.
  cv::Mat depth(120, 160, CV_16UC1);
  for (int v = 0; v < depth.rows; ++v) {
    for (int u = 0; u < depth.cols; ++u)
      depth.at<std::uint16_t>(v, u) = static_cast<std::uint16_t>(1 + u + v * 160);
  }
  auto out = nimbrel_test::makeOrganizedCloud(2, 2);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, depth, kLens), 0);
  // The maps hold source positions in float or in 1/32 pixel; allow that much around a rounding tie.
  const double slack = 0.5 + 1.0 / 32;
  int surely = 0;
  for (int v = 0; v < depth.rows; ++v) {
    for (int u = 0; u < depth.cols; ++u) {
      const cv::Point2d s = sourceOf(cv::Point2d(u, v), kLens);
      if (s.x >= slack - 1 && s.y >= slack - 1 && s.x <= 160 - slack && s.y <= 120 - slack) ++surely;
    }
  }
  ASSERT_GE(out->size(), static_cast<std::size_t>(surely));
  ASSERT_LT(out->size(), 160u * 120u);  // the corners come from outside the raw image
  double previous = -1;
  for (const pcl::PointXYZ& p : out->points) {
    const cv::Point2d pixel = pixelOf(p, kLens);
    const double rowMajor = std::round(pixel.y) * 160 + std::round(pixel.x);
    EXPECT_GT(rowMajor, previous);
    previous = rowMajor;
    const long raw = std::lround(p.z * 1000) - 1;
    const cv::Point2d s = sourceOf(cv::Point2d(std::round(pixel.x), std::round(pixel.y)), kLens);
    EXPECT_LE(std::abs(static_cast<double>(raw % 160) - s.x), slack) << pixel.x << "," << pixel.y;
    EXPECT_LE(std::abs(static_cast<double>(raw / 160) - s.y), slack) << pixel.x << "," << pixel.y;
  }

  // Coefficients too small to move any pixel give exactly the plain back-projection.
  CameraIntrinsic faint = kLens;
  faint.k1 = 1e-9f;
  faint.k2 = faint.p1 = faint.p2 = faint.k3 = 0;
  CameraIntrinsic plain = faint;
  plain.k1 = 0;
  auto reference = nimbrel_test::makeOrganizedCloud(2, 2);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, depth, faint), 0);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(reference, depth, plain), 0);
  ASSERT_EQ(out->size(), reference->size());
  for (std::size_t i = 0; i < out->size(); ++i) {
    EXPECT_EQ(out->points[i].getVector3fMap(), reference->points[i].getVector3fMap());
  }
}

TEST(Depth, DistortedEdgeNextToHoleInventsNoDepth) {
  PointCloudsDeal deal;
  // A near object (0.8 m) on the left, a wall (2.5 m) on the right, with a band of missing readings
  // between them and a few scattered holes.
  cv::Mat depth = makeDepthImage(160, 120, 2500);
  depth.colRange(0, 70).setTo(800);
  depth.colRange(70, 78).setTo(0);
  for (int i = 0; i < 40; ++i) depth.at<std::uint16_t>((i * 37) % 120, (i * 53) % 160) = 0;
  auto out = nimbrel_test::makeOrganizedCloud(2, 2);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, depth, kLens), 0);
  ASSERT_GT(out->size(), 15000u);
  std::set<long> seen;
  for (const pcl::PointXYZ& p : out->points) {
    seen.insert(std::lround(p.z * 1000));
    EXPECT_NEAR(p.z * 1000, std::round(p.z * 1000), 1e-3);
  }
  EXPECT_EQ(seen, (std::set<long>{800, 2500}));
}

// Each call gives the plain conversion's result exactly, whatever the calls before it used: a nudged
// intrinsic, another size, several cameras in turn, a strong lens whose corners come from outside the
// image, another scale.
TEST(Depth, EqualsPlainConversionAcrossChangingCameras) {
  PointCloudsDeal deal;
  // Rows with few holes, rows with many, widths that are no multiple of 16.
  const cv::Mat wide = makeVaryingDepth(317, 240);
  const cv::Mat tall = makeVaryingDepth(243, 320, 5, 3);
  const cv::Mat window = wide(cv::Rect(3, 2, 301, 230));  // rows not contiguous in memory
  const CameraIntrinsic lens{300, 161.3f, 304, 118.7f, 0.18f, -0.05f, 0.002f, -0.0015f, -0.01f};
  CameraIntrinsic nudged = lens;
  nudged.cx = std::nextafter(lens.cx, 200.0f);
  CameraIntrinsic otherK3 = lens;
  otherK3.k3 = 0.2f;
  CameraIntrinsic strong = lens;
  strong.k1 = -0.6f;
  strong.k2 = 0.4f;
  struct Call {
    const cv::Mat* depth;
    CameraIntrinsic c;
    double scale;
    const char* what;
  };
  const std::vector<Call> calls{{&wide, lens, 1000, "lens"},
                                {&wide, nudged, 1000, "cx nudged"},
                                {&wide, lens, 1000, "lens again"},
                                {&tall, lens, 1000, "other size"},
                                {&wide, otherK3, 1000, "k3"},
                                {&wide, strong, 1000, "strong"},
                                {&tall, strong, 5000, "tall strong"},
                                {&wide, kPinhole, 1000, "pinhole"},
                                {&tall, kPinhole, 1000, "tall pinhole"},
                                {&wide, nudged, 5000, "nudged"},
                                {&window, strong, 1000, "window"},
                                {&wide, lens, 1000, "lens last"}};
  auto out = nimbrel_test::makeOrganizedCloud(2, 2);
  for (const Call& call : calls) {
    cv::Mat depth = *call.depth;
    ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, depth, call.c, call.scale), 0) << call.what;
    expectSameCloud(*out, referenceCloud(depth, call.c, call.scale), call.what);
  }
}

// ---- Camera models of camera_info messages --------------------------------------------------------------

namespace {
using nimbrel_arm_util::CameraModel;
using nimbrel_arm_util::DistortionModel;

CameraModel modelOf(const CameraIntrinsic& c, DistortionModel model, std::vector<double> coefficients) {
  CameraModel camera;
  camera.cameraMatrix = cv::Matx33d(c.fx, 0, c.cx, 0, c.fy, c.cy, 0, 0, 1);
  camera.distortionModel = model;
  camera.coefficients = std::move(coefficients);
  return camera;
}
}  // namespace

// The camera-model call with a plumb_bob lens gives the record call's cloud bit for bit.
TEST(Depth, PlumbBobModelEqualsTheRecordCall) {
  PointCloudsDeal deal;
  cv::Mat depth = makeVaryingDepth(160, 120);
  const CameraModel camera =
      modelOf(kLens, DistortionModel::kPlumbBob, {kLens.k1, kLens.k2, kLens.p1, kLens.p2, kLens.k3});
  auto a = nimbrel_test::makeOrganizedCloud(2, 2);
  auto b = nimbrel_test::makeOrganizedCloud(2, 2);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(a, depth, kLens, 5000.0), 0);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(b, depth, camera, 5000.0), 0);
  expectSameCloud(*b, std::vector<pcl::PointXYZ>(a->begin(), a->end()), "plumb_bob");
}

// A lone reading near a corner lands on the ray OpenCV's own undistortion gives for its raw pixel, for every
// model and every coefficient count: the coefficients after the fifth and the fisheye model take effect.
TEST(Depth, EachModelUndistortsAsOpenCvDoes) {
  PointCloudsDeal deal;
  const cv::Point raw(140, 12);
  cv::Mat depth(120, 160, CV_16UC1, cv::Scalar(0));
  depth(cv::Rect(raw.x - 1, raw.y - 1, 3, 3)) = 1000;
  const std::vector<double> rational{0.1, -0.02, 0.001, -0.002, 0.01, 0.3, -0.1, 0.05};
  std::vector<double> twelve = rational;
  twelve.insert(twelve.end(), {0.004, -0.002, 0.003, 0.001});
  std::vector<double> fourteen = twelve;
  fourteen.insert(fourteen.end(), {0.01, -0.02});
  const std::vector<CameraModel> cameras{
      modelOf(kLens, DistortionModel::kPlumbBob, {0.18, -0.05, 0.002, -0.0015, -0.01}),
      modelOf(kLens, DistortionModel::kRationalPolynomial, rational),
      modelOf(kLens, DistortionModel::kRationalPolynomial, twelve),
      modelOf(kLens, DistortionModel::kRationalPolynomial, fourteen),
      modelOf(kLens, DistortionModel::kEquidistant, {0.2, -0.1, 0.05, -0.01})};
  const double tolerance = 1.5;  // pixels: the centre of a 3 x 3 reading, after nearest-pixel rounding
  for (const CameraModel& camera : cameras) {
    const std::string what = std::string(CameraModel::modelName(camera.distortionModel)) + "/" +
                             std::to_string(camera.coefficients.size());
    std::vector<cv::Point2d> ray;
    const std::vector<cv::Point2d> pixel{cv::Point2d(raw)};
    if (camera.distortionModel == DistortionModel::kEquidistant) {
      cv::fisheye::undistortPoints(pixel, ray, camera.cameraMatrix, camera.coefficients);
    } else {
      cv::undistortPoints(pixel, ray, camera.cameraMatrix, camera.coefficients);
    }
    auto out = nimbrel_test::makeOrganizedCloud(2, 2);
    ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, depth, camera, 1000.0), 0) << what;
    ASSERT_FALSE(out->empty()) << what;
    cv::Point2d mean(0, 0);
    for (const auto& p : *out) mean += cv::Point2d(p.x / p.z, p.y / p.z) / static_cast<double>(out->size());
    EXPECT_NEAR(mean.x * kLens.fx, ray[0].x * kLens.fx, tolerance) << what;
    EXPECT_NEAR(mean.y * kLens.fy, ray[0].y * kLens.fy, tolerance) << what;
  }
}

// Holes of either pixel type and the depth range: 16-bit 0 and 65535, float 0, NaN, infinities and
// negative depths, and depths outside [min, max] give no point; a float metre image equals its millimetre
// twin.
TEST(Depth, HolesAndRangeOfBothPixelTypes) {
  PointCloudsDeal deal;
  const CameraModel camera = modelOf(kPinhole, DistortionModel::kPlumbBob, {});
  const std::vector<float> metres{0.0f, 0.4f, NAN, 1.2f, INFINITY, -1.0f, 2.5f, 0.8f};
  cv::Mat millimetres(1, 8, CV_16UC1);
  cv::Mat floats(1, 8, CV_32FC1);
  for (int u = 0; u < 8; ++u) {
    floats.at<float>(0, u) = metres[static_cast<std::size_t>(u)];
    const float m = metres[static_cast<std::size_t>(u)];
    millimetres.at<std::uint16_t>(0, u) =
        std::isfinite(m) && m > 0 ? static_cast<std::uint16_t>(std::lround(m * 1000)) : (u == 2 ? 65535 : 0);
  }
  auto a = nimbrel_test::makeOrganizedCloud(2, 2);
  auto b = nimbrel_test::makeOrganizedCloud(2, 2);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(a, millimetres, camera, 1000.0), 0);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(b, floats, camera, 1.0), 0);
  ASSERT_EQ(a->size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR((*a)[i].z, (*b)[i].z, kTol);
    EXPECT_NEAR((*a)[i].x, (*b)[i].x, kTol);
  }
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(a, millimetres, camera, 1000.0, 0.5, 1.25), 0);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(b, floats, camera, 1.0, 0.5, 1.25), 0);
  ASSERT_EQ(a->size(), 2u);
  ASSERT_EQ(b->size(), 2u);
  EXPECT_FLOAT_EQ((*a)[0].z, 1.2f);
  EXPECT_FLOAT_EQ((*b)[1].z, 0.8f);
}

// A camera model or range the conversion cannot use is refused and leaves `out` alone.
TEST(Depth, RefusesUnusableCameraModels) {
  PointCloudsDeal deal;
  cv::Mat depth = makeDepthImage(8, 6, 1000);
  CameraModel skewed = modelOf(kPinhole, DistortionModel::kPlumbBob, {});
  skewed.cameraMatrix(0, 1) = 0.5;
  CameraModel flat = modelOf(kPinhole, DistortionModel::kPlumbBob, {});
  flat.cameraMatrix(1, 1) = 0;
  // Positive, but 1 / fx is infinite.
  CameraModel tiny = modelOf(kPinhole, DistortionModel::kPlumbBob, {});
  tiny.cameraMatrix(0, 0) = 1e-320;
  const std::vector<CameraModel> refused{
      skewed,
      flat,
      modelOf(kPinhole, DistortionModel::kPlumbBob, {0.1, 0, 0, 0, 0, 0, 0, 0}),
      modelOf(kPinhole, DistortionModel::kRationalPolynomial, {0.1, 0, 0, 0, 0}),
      modelOf(kPinhole, DistortionModel::kEquidistant, {0.1, 0, 0, 0, 0}),
      modelOf(kPinhole, DistortionModel::kEquidistant, {0.1, NAN, 0, 0}),
      tiny};
  auto out = nimbrel_test::makeOrganizedCloud(2, 2);
  for (const CameraModel& camera : refused)
    EXPECT_EQ(deal.getPointCloudsFromDepthMap(out, depth, camera, 1000.0), -1);
  const CameraModel fine = modelOf(kPinhole, DistortionModel::kPlumbBob, {});
  EXPECT_EQ(deal.getPointCloudsFromDepthMap(out, depth, fine, 1000.0, 2.0, 1.0), -1);
  EXPECT_EQ(deal.getPointCloudsFromDepthMap(out, depth, fine, 1000.0, -1.0), -1);
  cv::Mat bytes(6, 8, CV_8UC1, cv::Scalar(3));
  EXPECT_EQ(deal.getPointCloudsFromDepthMap(out, bytes, fine, 1000.0), -1);
  EXPECT_EQ(out->size(), 4u);
}

// Readings whose point a float cannot hold are holes: a float image's largest value (a no-reading marker of
// some drivers) in metres lies beyond float's range sideways, and a depth scale far above the pixels' units
// rounds a reading's depth to 0, a point at the camera's centre.
TEST(Depth, ReadingsBeyondFloatRangeAreHoles) {
  PointCloudsDeal deal;
  const CameraModel camera =
      modelOf(CameraIntrinsic{1, 3, 1, 0, 0, 0, 0, 0, 0}, DistortionModel::kPlumbBob, {});
  cv::Mat metres(1, 4, CV_32FC1, cv::Scalar(1.5f));
  metres.at<float>(0, 0) = std::numeric_limits<float>::max();
  auto out = nimbrel_test::makeOrganizedCloud(2, 2);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, metres, camera, 1.0), 0);
  ASSERT_EQ(out->size(), 3u);
  for (const auto& p : *out) EXPECT_TRUE(std::isfinite(p.x) && p.z == 1.5f) << p;
  cv::Mat units = makeDepthImage(4, 1, 1);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, units, camera, 1e300), 0);
  EXPECT_TRUE(out->empty());
}

// A caller's other thread may write the image while a conversion runs (the Python module lets go of the
// interpreter lock meanwhile). The clouds are then wrong, but no conversion may read or write outside its
// image and its cloud: here a writer turns whole images from holes to readings and back while every kind
// of conversion runs on them. Sanitizer builds see any stray access; each point must come from a reading.
// (The race is the test's own doing; it is not run under ThreadSanitizer.)
TEST(Depth, ImageWrittenDuringTheCallStaysWithinItsBuffers) {
  PointCloudsDeal deal;
  const CameraModel camera = modelOf(kPinhole, DistortionModel::kPlumbBob, {});
  const CameraModel lens = modelOf(kLens, DistortionModel::kPlumbBob, {0.18, -0.05, 0.002, -0.0015, -0.01});
  cv::Mat millimetres = makeDepthImage(320, 240, 0);
  cv::Mat metres(240, 320, CV_32FC1, cv::Scalar(0.0f));
  std::atomic<bool> stop{false};
  std::atomic<long> flips{0};
  std::thread writer([&] {
    for (bool reading = true; !stop.load(std::memory_order_relaxed); reading = !reading) {
      millimetres.setTo(reading ? 1500 : 0);
      metres.setTo(reading ? 1.5f : 0.0f);
      flips.fetch_add(1, std::memory_order_relaxed);
    }
  });
  const std::size_t pixels = 320u * 240u;
  const auto convertRepeatedly = [&] {
    for (int i = 0; i < 400; ++i) {
      auto out = nimbrel_test::makeOrganizedCloud(2, 2, 0.01f, 7.0f);  // fresh storage, sized to each result
      switch (i % 4) {
        case 0:
          ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, millimetres, kPinhole), 0);
          break;
        case 1:
          ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, millimetres, kLens), 0);
          break;
        case 2:
          ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, millimetres, lens, 1000.0), 0);
          break;
        default:
          ASSERT_EQ(deal.getPointCloudsFromDepthMap(out, metres, camera, 1.0), 0);
          break;
      }
      ASSERT_LE(out->size(), pixels) << i;
      ASSERT_EQ(out->width, out->size()) << i;
      // A pixel read while it is written may mix the bytes of 1.5 m and of a hole: some depth in (0, 1.5].
      // Not 7 (the cloud's earlier points) nor 0 (room never written).
      for (const pcl::PointXYZ& p : out->points) ASSERT_TRUE(p.z > 0.0f && p.z <= 1.5f) << i << ": " << p;
    }
  };
  convertRepeatedly();
  stop = true;
  writer.join();
  EXPECT_GT(flips.load(), 0);
}
