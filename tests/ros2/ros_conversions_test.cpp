#include "ros_conversions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using nimbrel_arm_util::CameraModel;
using sensor_msgs::msg::CameraInfo;
using sensor_msgs::msg::Image;

// 4x3 16UC1 image whose rows carry 2 bytes of padding; pixel (u, v) holds 100 v + u.
Image paddedImage() {
  Image image;
  image.encoding = "16UC1";
  image.width = 4;
  image.height = 3;
  image.step = 10;
  image.data.assign(30, 0xEE);
  for (std::uint16_t v = 0; v < 3; ++v) {
    for (std::uint16_t u = 0; u < 4; ++u) {
      const std::uint16_t value = static_cast<std::uint16_t>(100 * v + u);
      std::memcpy(&image.data[v * 10u + u * 2u], &value, 2);
    }
  }
  return image;
}

TEST(RosConversions, DepthImageViewSharesThePixels) {
  const Image image = paddedImage();
  cv::Mat view;
  ASSERT_FALSE(nimbrel_arm_util::depthImageView(image, view));
  EXPECT_EQ(view.type(), CV_16UC1);
  EXPECT_EQ(view.data, image.data.data());  // no copy
  EXPECT_EQ(view.step[0], 10u);
  EXPECT_EQ(view.at<std::uint16_t>(2, 3), 203);

  Image floats;
  floats.encoding = "32FC1";
  floats.width = floats.height = 2;
  floats.step = 8;
  floats.data.resize(16);
  ASSERT_FALSE(nimbrel_arm_util::depthImageView(floats, view));
  EXPECT_EQ(view.type(), CV_32FC1);
}

TEST(RosConversions, DepthImageViewRefusesWhatItCannotReadSafely) {
  const auto with = [](auto change) {
    Image image = paddedImage();
    change(image);
    return image;
  };
  const std::vector<std::pair<Image, std::string>> bad = {
      {with([](Image& i) { i.encoding = "rgb8"; }), "unsupported_encoding"},
      {with([](Image& i) { i.is_bigendian = 1; }), "big_endian"},
      {with([](Image& i) { i.width = 0; }), "empty_image"},
      {with([](Image& i) { i.step = 7; }), "step_too_short"},
      {with([](Image& i) { i.step = 9; }), "step_too_short"},  // rows would start mid-pixel
      {with([](Image& i) { i.data.resize(29); }), "data_too_short"},
      {with([](Image& i) { i.height = 4; }), "data_too_short"},
  };
  for (const auto& [image, reason] : bad) {
    cv::Mat view;
    const auto problem = nimbrel_arm_util::depthImageView(image, view);
    EXPECT_EQ(problem.reason, reason) << problem.detail;
    EXPECT_FALSE(problem.detail.empty());
    EXPECT_TRUE(view.empty());
  }
}

CameraInfo info(const std::string& model, std::vector<double> d, double fx = 500.0) {
  CameraInfo c;
  c.k = {fx, 0, 320, 0, 500, 240, 0, 0, 1};
  c.distortion_model = model;
  c.d = std::move(d);
  return c;
}

CameraInfo withK(CameraInfo c, std::size_t index, double value) {
  c.k[index] = value;
  return c;
}

TEST(RosConversions, CameraModelFromEveryLensAndItsFaults) {
  CameraModel camera;
  ASSERT_FALSE(nimbrel_arm_util::cameraModelFrom(info("plumb_bob", {0.1, -0.2, 0.001, 0.002, 0.03}), camera));
  EXPECT_EQ(camera.cameraMatrix(0, 2), 320.0);
  EXPECT_EQ(camera.coefficients.size(), 5u);
  ASSERT_FALSE(
      nimbrel_arm_util::cameraModelFrom(info("rational_polynomial", std::vector<double>(8, 0.01)), camera));
  EXPECT_EQ(camera.distortionModel, nimbrel_arm_util::DistortionModel::kRationalPolynomial);
  ASSERT_FALSE(nimbrel_arm_util::cameraModelFrom(info("equidistant", {0.1, 0.01, 0.0, 0.0}), camera));
  EXPECT_EQ(camera.distortionModel, nimbrel_arm_util::DistortionModel::kEquidistant);
  ASSERT_FALSE(nimbrel_arm_util::cameraModelFrom(info("", {}), camera));
  EXPECT_TRUE(camera.coefficients.empty());

  const std::vector<std::pair<CameraInfo, std::string>> bad = {
      {info("plumb_bob", {}, 0.0), "bad_focal_length"},
      {info("plumb_bob", {}, std::numeric_limits<double>::quiet_NaN()), "bad_focal_length"},
      {info("plumb_bob", {}, std::numeric_limits<double>::infinity()), "bad_focal_length"},
      {info("kannala_brandt", {0.1}), "unknown_distortion_model"},
      {info("", {0.1, 0, 0, 0, 0}), "unknown_distortion_model"},
      {info("equidistant", {0.1, 0.2, 0.3}), "bad_distortion"},
      {info("plumb_bob", {std::nan(""), 0, 0, 0, 0}), "bad_distortion"},
      // What the tool's camera_info reader refuses as well: a skew of pixels (here 4.8 px over 480 rows), a
      // matrix whose lower rows are not 0 fy cy / 0 0 1.
      {withK(info("plumb_bob", {}), 1, 5.0), "bad_camera_matrix"},
      {withK(info("plumb_bob", {}), 3, 0.1), "bad_camera_matrix"},
      {withK(info("plumb_bob", {}), 8, 2.0), "bad_camera_matrix"},
  };
  for (const auto& [message, reason] : bad) {
    EXPECT_EQ(nimbrel_arm_util::cameraModelFrom(message, camera).reason, reason) << message.distortion_model;
  }
}

// A skew under half a pixel over the image is dropped, as the tool's reader drops it.
TEST(RosConversions, CameraModelDropsASkewBelowHalfAPixel) {
  CameraModel camera;
  ASSERT_FALSE(nimbrel_arm_util::cameraModelFrom(withK(info("plumb_bob", {}), 1, 0.3), camera));
  EXPECT_EQ(camera.cameraMatrix(0, 1), 0.0);
}

// The message of a camera gives the camera back: its model by name, every coefficient, each double exact.
TEST(RosConversions, CameraInfoMessageKeepsEveryCoefficient) {
  CameraModel camera;
  camera.cameraMatrix = cv::Matx33d(500.1, 0, 319.7, 0, 499.3, 240.2, 0, 0, 1);
  camera.distortionModel = nimbrel_arm_util::DistortionModel::kRationalPolynomial;
  camera.coefficients = {0.1, -0.2, 0.001, 0.002, 0.03, 0.3, 0.01, 0.007};
  const CameraInfo message = nimbrel_arm_util::cameraInfoMessage(camera, 640, 480);
  EXPECT_EQ(message.distortion_model, "rational_polynomial");
  EXPECT_EQ(message.width, 640u);
  CameraModel back;
  ASSERT_FALSE(nimbrel_arm_util::cameraModelFrom(message, back));
  EXPECT_EQ(back.distortionModel, camera.distortionModel);
  EXPECT_EQ(back.coefficients, camera.coefficients);
  EXPECT_EQ(back.cameraMatrix, camera.cameraMatrix);
}

TEST(RosConversions, PointCloud2HoldsTheFloatsInOnePackedRow) {
  pcl::PointCloud<pcl::PointXYZ> cloud;
  cloud.push_back({1.5f, -2.0f, 3.25f});
  cloud.push_back({0.0f, std::numeric_limits<float>::quiet_NaN(), 1.0f});
  sensor_msgs::msg::PointCloud2 msg;
  ASSERT_TRUE(nimbrel_arm_util::fillPointCloud2(cloud, msg));
  EXPECT_EQ(msg.height, 1u);
  EXPECT_EQ(msg.width, 2u);
  EXPECT_EQ(msg.point_step, 12u);
  EXPECT_EQ(msg.row_step, 24u);
  ASSERT_EQ(msg.data.size(), 24u);
  ASSERT_EQ(msg.fields.size(), 3u);
  EXPECT_EQ(msg.fields[2].name, "z");
  EXPECT_EQ(msg.fields[2].offset, 8u);
  EXPECT_EQ(msg.fields[2].datatype, sensor_msgs::msg::PointField::FLOAT32);
  EXPECT_FALSE(msg.is_dense);
  float xyz[6];
  std::memcpy(xyz, msg.data.data(), sizeof(xyz));
  EXPECT_EQ(xyz[2], 3.25f);
  EXPECT_TRUE(std::isnan(xyz[4]));
  cloud.points.pop_back();
  ASSERT_TRUE(nimbrel_arm_util::fillPointCloud2(cloud, msg));
  EXPECT_TRUE(msg.is_dense);
  EXPECT_EQ(msg.data.size(), 12u);
}

}  // namespace
