#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"
#include "support/log_recorder.hpp"

using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_test::Cloud;
using nimbrel_test::CloudPtr;
using nimbrel_test::LogRecorder;
using nimbrel_test::makeCloud;
using nimbrel_test::makeOrganizedCloud;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kTolerance = 1e-6f;

Eigen::Matrix4f rotationAboutZ90() {
  Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
  m.topLeftCorner<3, 3>() << 0, -1, 0, 1, 0, 0, 0, 0, 1;
  return m;
}

void expectSameXyz(const pcl::PointXYZ& actual, const Eigen::Vector3f& expected) {
  EXPECT_NEAR(actual.x, expected.x(), kTolerance);
  EXPECT_NEAR(actual.y, expected.y(), kTolerance);
  EXPECT_NEAR(actual.z, expected.z(), kTolerance);
}

}  // namespace

TEST(Transforms, IdentityCopiesTheWholeCloud) {
  PointCloudsDeal deal;
  CloudPtr cloud = makeOrganizedCloud(4, 2, 0.1f, 1.0f, {5});
  cloud->header.frame_id = "camera";
  cloud->sensor_origin_ = Eigen::Vector4f(1, 2, 3, 0);
  cloud->sensor_orientation_ = Eigen::Quaternionf(0, 1, 0, 0);
  CloudPtr out = makeCloud({{9, 9, 9}});
  deal.TransformToRobot(*cloud, out, Eigen::Matrix4f::Identity());
  ASSERT_EQ(out->size(), 8u);
  EXPECT_EQ(out->width, 4u);
  EXPECT_EQ(out->height, 2u);
  EXPECT_FALSE(out->is_dense);
  EXPECT_EQ(out->header.frame_id, "camera");
  EXPECT_EQ(out->sensor_origin_, cloud->sensor_origin_);
  EXPECT_EQ(out->sensor_orientation_.coeffs(), cloud->sensor_orientation_.coeffs());
  for (std::size_t i = 0; i < 8; ++i) {
    if (i == 5) continue;
    EXPECT_EQ(out->points[i].getVector3fMap(), cloud->points[i].getVector3fMap());
  }
}

TEST(Transforms, RotationAndTranslationIgnoringTheBottomRow) {
  PointCloudsDeal deal;
  Cloud cloud = *makeCloud({{0, 0, 0}, {1, 0, 0}, {0, 2, -1}});
  CloudPtr out(new Cloud);

  Eigen::Matrix4f shift = Eigen::Matrix4f::Identity();
  shift.col(3) << 1, 2, 3, 1;
  deal.TransformToRobot(cloud, out, shift);
  ASSERT_EQ(out->size(), 3u);
  expectSameXyz(out->points[0], {1, 2, 3});
  expectSameXyz(out->points[2], {1, 4, 2});
  shift.row(3) << 5, 5, 5, 5;
  CloudPtr odd(new Cloud);
  deal.TransformToRobot(cloud, odd, shift);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(odd->points[i].getVector3fMap(), out->points[i].getVector3fMap());

  Eigen::Matrix4f turn = rotationAboutZ90();
  turn.row(3) << 0, 0, 0, 0;
  deal.TransformToRobot(cloud, out, turn);
  expectSameXyz(out->points[1], {0, 1, 0});
  expectSameXyz(out->points[2], {-2, 0, -1});
  // Transforming a cloud into itself.
  deal.TransformToRobot(*out, out, rotationAboutZ90());
  expectSameXyz(out->points[1], {-1, 0, 0});
}

TEST(Transforms, OrganizedCloudKeepsLayoutAndNaN) {
  PointCloudsDeal deal;
  const CloudPtr cloud = makeOrganizedCloud(4, 2, 0.5f, 1.0f, {5});
  CloudPtr out(new Cloud);
  Eigen::Matrix4f pose = rotationAboutZ90();
  pose.col(3) << 0.5f, 0, -1, 1;
  deal.TransformToRobot(*cloud, out, pose);
  ASSERT_EQ(out->size(), 8u);
  EXPECT_EQ(out->width, 4u);
  EXPECT_EQ(out->height, 2u);
  EXPECT_TRUE(std::isnan(out->points[5].x) && std::isnan(out->points[5].y) && std::isnan(out->points[5].z));
  // Pixel (column 2, row 1) lies at (1.0, 0.5, 1) and turns to (-0.5, 1.0, 1), then moves.
  expectSameXyz(out->at(2, 1), {0, 1, 0});
}

TEST(Transforms, TranslationRoundsTheDoubleSum) {
  PointCloudsDeal deal;
  // 2^24 + 1.00000001 lies just above the midpoint between the floats 2^24 and 2^24 + 2; adding the offset
  // as a float (1.0f) would land exactly on the midpoint and round down to 2^24.
  const float big = 16777216.0f;
  CloudPtr in = makeCloud({{1, 2, 3}, {big, 0, 0}, {kNaN, 0, 0}});
  CloudPtr out = makeOrganizedCloud(4, 2);
  out->header.frame_id = "robot";
  deal.translatePointCloud(in, out, Eigen::Vector3d(0.1, 0, 1.00000001));
  ASSERT_EQ(out->size(), 3u);
  EXPECT_EQ(out->width, 3u);
  EXPECT_EQ(out->height, 1u);
  EXPECT_EQ(out->header.frame_id, "robot");
  EXPECT_EQ(out->points[0].x, static_cast<float>(1.0 + 0.1));
  EXPECT_EQ(out->points[0].y, 2.0f);
  EXPECT_EQ(out->points[0].z, static_cast<float>(3.0 + 1.00000001));
  deal.translatePointCloud(in, out, Eigen::Vector3d(1.00000001, 0, 0));
  EXPECT_EQ(out->points[1].x, 16777218.0f);
  EXPECT_TRUE(std::isnan(out->points[2].x));
}

TEST(Transforms, TranslationLayoutAndAliasing) {
  PointCloudsDeal deal;
  CloudPtr out = makeOrganizedCloud(4, 2);
  deal.translatePointCloud(makeCloud({}), out, Eigen::Vector3d(1, 1, 1));
  EXPECT_TRUE(out->empty());
  EXPECT_EQ(out->width, 0u);
  EXPECT_EQ(out->height, 0u);

  const CloudPtr organized = makeOrganizedCloud(3, 2, 1.0f, 0.0f, {4});
  deal.translatePointCloud(organized, out, Eigen::Vector3d(0, 0, 2));
  ASSERT_EQ(out->size(), 6u);
  EXPECT_EQ(out->width, 6u);
  EXPECT_EQ(out->height, 1u);
  expectSameXyz(out->points[5], {2, 1, 2});

  // Moving a cloud in place.
  CloudPtr cloud = makeCloud({{1, 2, 3}, {4, 5, 6}});
  deal.translatePointCloud(cloud, cloud, Eigen::Vector3d(-1, -2, -3));
  ASSERT_EQ(cloud->size(), 2u);
  expectSameXyz(cloud->points[0], {0, 0, 0});
  expectSameXyz(cloud->points[1], {3, 3, 3});
}

TEST(Transforms, RotateOnlyReportsTheFirstAngle) {
  PointCloudsDeal deal;
  CloudPtr in = makeCloud({{1, 2, 3}});
  CloudPtr out = makeCloud({{4, 5, 6}, {7, 8, 9}});
  LogRecorder log;
  deal.rotatePointCloud(in, out, Eigen::Vector3d(1.5, 2, 3));
  deal.rotatePointCloud(in, out, Eigen::Vector3d(0.1, 0, 0));
  const auto records = log.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].body, "angle:1.5");
  EXPECT_EQ(records[1].body, "angle:0.1");
  EXPECT_EQ(records[0].function, "rotatePointCloud");
  EXPECT_EQ(records[0].level, spdlog::level::info);
  ASSERT_EQ(in->size(), 1u);
  ASSERT_EQ(out->size(), 2u);
  EXPECT_EQ(out->points[1].getVector3fMap(), Eigen::Vector3f(7, 8, 9));
}
