#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <array>
#include <cmath>
#include <limits>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_test::makeCloud;

namespace {
constexpr double kTol = 1e-12;

Eigen::Matrix4d poseOf(const Eigen::Matrix3d& rotation, const Eigen::Vector3d& centre) {
  Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
  pose.topLeftCorner<3, 3>() = rotation;
  pose.topRightCorner<3, 1>() = centre;
  return pose;
}

pcl::PointXYZ pt(float x, float y, float z) { return pcl::PointXYZ(x, y, z); }
float after(float v) { return std::nextafter(v, std::numeric_limits<float>::infinity()); }
float before(float v) { return std::nextafter(v, -std::numeric_limits<float>::infinity()); }
}  // namespace

TEST(Obb, FacesAreInclusiveToTheLastFloat) {
  PointCloudsDeal deal;
  // Centred off the origin so that a missing centre subtraction shows; half extents 0.5, 0.25, 1.0.
  Eigen::Matrix4d pose = poseOf(Eigen::Matrix3d::Identity(), {1, 2, 3});
  double size[3] = {1.0, 0.5, 2.0};
  EXPECT_TRUE(deal.isInObbRange(pose, size, pt(1.5f, 2, 3), 1.0, 0.0));
  EXPECT_FALSE(deal.isInObbRange(pose, size, pt(after(1.5f), 2, 3), 1.0, 0.0));
  EXPECT_TRUE(deal.isInObbRange(pose, size, pt(0.5f, 2, 3), 1.0, 0.0));
  EXPECT_FALSE(deal.isInObbRange(pose, size, pt(before(0.5f), 2, 3), 1.0, 0.0));
  EXPECT_TRUE(deal.isInObbRange(pose, size, pt(1, 2.25f, 4), 1.0, 0.0));
  EXPECT_FALSE(deal.isInObbRange(pose, size, pt(1, after(2.25f), 3), 1.0, 0.0));
  EXPECT_TRUE(deal.isInObbRange(pose, size, pt(1, 1.75f, 2), 1.0, 0.0));
  EXPECT_FALSE(deal.isInObbRange(pose, size, pt(1, 2, before(2.0f)), 1.0, 0.0));
  // Scale multiplies full edges, the margin is added per face: hx = 1.0 + 0.25.
  EXPECT_TRUE(deal.isInObbRange(pose, size, pt(2.25f, 2, 3), 2.0, 0.25));
  EXPECT_FALSE(deal.isInObbRange(pose, size, pt(after(2.25f), 2, 3), 2.0, 0.25));
  // A NaN coordinate is never beyond a face.
  EXPECT_TRUE(deal.isInObbRange(pose, size, pt(std::nanf(""), 100, 100), 1.0, 0.0));
}

TEST(Obb, LocalAxesAreThePoseColumns) {
  PointCloudsDeal deal;
  const Eigen::Matrix3d rotation = Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, 2, 3).normalized()).matrix();
  const Eigen::Vector3d centre(0.3, -0.2, 0.8);
  Eigen::Matrix4d pose = poseOf(rotation, centre);
  double size[3] = {1.0, 0.4, 0.6};  // half extents 0.5, 0.2, 0.3
  auto at = [&](double lx, double ly, double lz) {
    const Eigen::Vector3d p = centre + rotation * Eigen::Vector3d(lx, ly, lz);
    return pt(static_cast<float>(p.x()), static_cast<float>(p.y()), static_cast<float>(p.z()));
  };
  EXPECT_TRUE(deal.isInObbRange(pose, size, at(0.49, 0.19, -0.29), 1.0, 0.0));
  EXPECT_FALSE(deal.isInObbRange(pose, size, at(0.51, 0, 0), 1.0, 0.0));
  EXPECT_FALSE(deal.isInObbRange(pose, size, at(0, -0.21, 0), 1.0, 0.0));
  EXPECT_FALSE(deal.isInObbRange(pose, size, at(0, 0, 0.31), 1.0, 0.0));
  // A quarter turn about z: the box's long x axis lies along the cloud's y.
  Eigen::Matrix4d turned = poseOf(Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitZ()).matrix(), {0, 0, 0});
  EXPECT_TRUE(deal.isInObbRange(turned, size, pt(0, 0.45f, 0), 1.0, 0.0));
  EXPECT_FALSE(deal.isInObbRange(turned, size, pt(0.45f, 0, 0), 1.0, 0.0));
}

TEST(Obb, OnlyZHalfExtentHasTheFloor) {
  PointCloudsDeal deal;
  Eigen::Matrix4d pose = poseOf(Eigen::Matrix3d::Identity(), {0, 0, 0});
  double flat[3] = {0.4, 0.4, 0.0};
  EXPECT_TRUE(deal.isInObbRange(pose, flat, pt(0.199f, -0.199f, 0.099f), 1.0, 0.0));
  EXPECT_TRUE(deal.isInObbRange(pose, flat, pt(0, 0, -0.099f), 1.0, 0.0));
  EXPECT_FALSE(deal.isInObbRange(pose, flat, pt(0, 0, 0.101f), 1.0, 0.0));
  double noWidth[3] = {0.0, 0.4, 0.0};
  EXPECT_TRUE(deal.isInObbRange(pose, noWidth, pt(0, 0.1f, 0.05f), 1.0, 0.0));
  EXPECT_FALSE(deal.isInObbRange(pose, noWidth, pt(1e-6f, 0, 0), 1.0, 0.0));
  // A negative margin shrinks x and y freely (0.05), z only down to 0.1.
  double cube[3] = {1.0, 1.0, 1.0};
  EXPECT_FALSE(deal.isInObbRange(pose, cube, pt(0.06f, 0, 0), 1.0, -0.45));
  EXPECT_FALSE(deal.isInObbRange(pose, cube, pt(0, -0.06f, 0), 1.0, -0.45));
  EXPECT_TRUE(deal.isInObbRange(pose, cube, pt(0.04f, 0.04f, 0.09f), 1.0, -0.45));
  EXPECT_FALSE(deal.isInObbRange(pose, cube, pt(0, 0, 0.11f), 1.0, -0.45));
}

TEST(Obb, RemoveLeavesUnorganizedCloudAndKeepsItsMetadata) {
  PointCloudsDeal deal;
  Eigen::Matrix4d pose = poseOf(Eigen::Matrix3d::Identity(), {0, 0, 1});
  double size[3] = {0.1, 0.1, 0.1};
  // 5 x 4 grid at z 1 with spacing 0.01 starting at the origin: the box covers columns and rows 0..4.
  auto in = nimbrel_test::makeOrganizedCloud(5, 4, 0.01f, 1.0f, {7});
  in->points.push_back(pt(0.3f, 0.3f, 1));  // outside
  in->width = 21;
  in->height = 1;
  auto out = nimbrel_test::makeOrganizedCloud(8, 6);
  out->header.frame_id = "camera";
  out->is_dense = false;
  out->sensor_origin_ = Eigen::Vector4f(1, 2, 3, 1);
  deal.removeObbPointClouds(in, out, pose, size, 1.0, 0.0);
  ASSERT_EQ(out->size(), 1u);  // the NaN pixel counts as inside and goes too
  EXPECT_EQ(out->points[0].x, 0.3f);
  EXPECT_EQ(out->width, 1u);
  EXPECT_EQ(out->height, 1u);
  EXPECT_EQ(out->header.frame_id, "camera");
  EXPECT_TRUE(out->is_dense);  // what was kept is finite
  EXPECT_EQ(out->sensor_origin_, Eigen::Vector4f(1, 2, 3, 1));
  EXPECT_EQ(in->size(), 21u);

  // Everything removed: still a valid unorganized cloud.
  double huge[3] = {10, 10, 10};
  deal.removeObbPointClouds(in, out, pose, huge, 1.0, 0.0);
  EXPECT_TRUE(out->empty());
  EXPECT_EQ(out->width, 0u);
  EXPECT_EQ(out->height, 1u);
}

TEST(Obb, InPlaceRemovalKeepsOrder) {
  PointCloudsDeal deal;
  // A box around x in [0.015, 0.025] on an organized 5 x 4 grid removes column 2 of every row.
  Eigen::Matrix4d pose = poseOf(Eigen::Matrix3d::Identity(), {0.02, 0.015, 1});
  double size[3] = {0.01, 0.1, 0};
  auto cloud = nimbrel_test::makeOrganizedCloud(5, 4, 0.01f, 1.0f);
  const auto original = cloud->points;
  deal.removeObbPointClouds(cloud, cloud, pose, size, 1.0, 0.0);
  ASSERT_EQ(cloud->size(), 16u);
  std::size_t k = 0;
  for (std::size_t i = 0; i < original.size(); ++i) {
    if (i % 5 == 2) continue;
    EXPECT_EQ(cloud->points[k].x, original[i].x);
    EXPECT_EQ(cloud->points[k].y, original[i].y);
    ++k;
  }
  EXPECT_EQ(cloud->width, 16u);
  EXPECT_EQ(cloud->height, 1u);

  // The tool variant in place: a tool box at the far column removes column 4 as well.
  Eigen::Matrix4d toolPose = poseOf(Eigen::Matrix3d::Identity(), {0.04, 0.015, 1});
  double toolSize[3] = {0.004, 0.05, 0.01};
  deal.removeObbAndToolPointClouds(cloud, cloud, pose, size, 1.0, 0.0, toolPose, toolSize, 0.0);
  ASSERT_EQ(cloud->size(), 12u);
  for (std::size_t i = 0; i < 12; ++i) {
    EXPECT_FLOAT_EQ(cloud->points[i].x, 0.01f * static_cast<float>(std::array<int, 3>{0, 1, 3}[i % 3]));
  }
  EXPECT_EQ(cloud->width, 12u);
  EXPECT_EQ(cloud->height, 1u);
}

TEST(Obb, ToolBoxSizesAreHalfLengths) {
  PointCloudsDeal deal;
  Eigen::Matrix4d pose = poseOf(Eigen::Matrix3d::Identity(), {5, 5, 5});
  double size[3] = {0.2, 0.2, 0.2};
  Eigen::Matrix4d toolPose = poseOf(Eigen::Matrix3d::Identity(), {0, 0, 1});
  double toolSize[3] = {0.05, 0.05, 0.05};
  auto in = makeCloud({{0.049f, 0, 1},
                       {0.051f, 0, 1},
                       {0, -0.049f, 1},
                       {0, -0.051f, 1},
                       {0, 0, 1.099f},  // z half extent 0.05 raised to 0.1
                       {0, 0, 1.101f},
                       {5.09f, 5, 5},  // object box
                       {5.11f, 5, 5}});
  auto out = makeCloud({});
  deal.removeObbAndToolPointClouds(in, out, pose, size, 1.0, 0.0, toolPose, toolSize, 0.0);
  ASSERT_EQ(out->size(), 4u);
  EXPECT_EQ(out->points[0].x, 0.051f);
  EXPECT_EQ(out->points[1].y, -0.051f);
  EXPECT_EQ(out->points[2].z, 1.101f);
  EXPECT_EQ(out->points[3].x, 5.11f);
  EXPECT_EQ(out->width, 4u);
  EXPECT_EQ(out->height, 1u);
  // The tool margin widens every face of the tool box.
  deal.removeObbAndToolPointClouds(in, out, pose, size, 1.0, 0.0, toolPose, toolSize, 0.002);
  ASSERT_EQ(out->size(), 2u);
  EXPECT_EQ(out->points[0].z, 1.101f);
}

TEST(Obb, VerticalExtentOfTiltedBoxes) {
  PointCloudsDeal deal;
  double maxZ = 0;
  double minZ = 0;
  Eigen::Matrix4d level = poseOf(Eigen::Matrix3d::Identity(), {0.1, 0.2, 0.5});
  double slab[3] = {0.3, 0.4, 0.2};
  EXPECT_NEAR(deal.getMaxMinZofOBB(level, slab, maxZ, minZ), 0.6, kTol);
  EXPECT_NEAR(maxZ, 0.6, kTol);
  EXPECT_NEAR(minZ, 0.4, kTol);
  EXPECT_NEAR(deal.getObbBottom(level, slab), 0.4, kTol);

  // Pitched 30 degrees about y, then rolled 45 degrees about x: the z row of R is
  // (-sin 30, cos 30 sin 45, cos 30 cos 45), so the corners reach centre +- (0.5 a + 0.6124 b + 0.6124 c)
  // / 2.
  const double a = 0.4, b = 0.2, c = 0.1;
  const Eigen::Matrix3d tilt = (Eigen::AngleAxisd(M_PI / 6, Eigen::Vector3d::UnitY()) *
                                Eigen::AngleAxisd(M_PI / 4, Eigen::Vector3d::UnitX()))
                                   .matrix();
  const double reach = (0.5 * a + std::cos(M_PI / 6) * std::sqrt(0.5) * (b + c)) / 2;
  Eigen::Matrix4d tilted = poseOf(tilt, {1, -1, 0.5});
  double box[3] = {a, b, c};
  EXPECT_NEAR(deal.getMaxMinZofOBB(tilted, box, maxZ, minZ), 0.5 + reach, kTol);
  EXPECT_NEAR(maxZ, 0.5 + reach, kTol);
  EXPECT_NEAR(minZ, 0.5 - reach, kTol);
  EXPECT_NEAR(deal.getObbBottom(tilted, box), 0.5 - reach, kTol);

  // Wholly above 1.0: the bottom is capped there, the extent is not.
  Eigen::Matrix4d high = poseOf(tilt, {0, 0, 2});
  deal.getMaxMinZofOBB(high, box, maxZ, minZ);
  EXPECT_NEAR(minZ, 2 - reach, kTol);
  EXPECT_EQ(deal.getObbBottom(high, box), 1.0);
}

// Both box cuts flag their result dense exactly when every kept point is finite: a NaN point counts as
// inside and goes, an infinite one can lie beyond a face and stay. The voxel grid and the outlier search
// trust the flag. Into another cloud and in place.
TEST(Obb, RemovalsKeepIsDenseHonest) {
  PointCloudsDeal deal;
  Eigen::Matrix4d pose = poseOf(Eigen::Matrix3d::Identity(), {0, 0, 1});
  Eigen::Matrix4d toolPose = poseOf(Eigen::Matrix3d::Identity(), {1, 0, 1});
  double size[3] = {0.1, 0.1, 0.1};
  double toolSize[3] = {0.05, 0.05, 0.05};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (bool tool : {false, true}) {
    for (bool inPlace : {false, true}) {
      SCOPED_TRACE(std::string(tool ? "object and tool" : "object") + (inPlace ? ", in place" : ""));
      const auto cut = [&](const std::vector<Eigen::Vector3f>& points, bool flag) {
        auto in = makeCloud(points);
        auto out = inPlace ? in : makeCloud({{5, 5, 5}});
        in->is_dense = flag;
        out->is_dense = flag;
        if (tool) {
          deal.removeObbAndToolPointClouds(in, out, pose, size, 1.0, 0.0, toolPose, toolSize, 0.0);
        } else {
          deal.removeObbPointClouds(in, out, pose, size, 1.0, 0.0);
        }
        return out;
      };
      auto out = cut({{0.3f, 0, 1}, {nan, 0, 1}}, false);
      ASSERT_EQ(out->size(), 1u);
      EXPECT_TRUE(out->is_dense);
      out = cut({{0.3f, 0, 1}, {inf, 0, 1}}, true);
      ASSERT_EQ(out->size(), 2u);
      EXPECT_FALSE(out->is_dense);
    }
  }
}
