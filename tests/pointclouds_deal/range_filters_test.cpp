#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_test::makeCloud;

namespace {
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

std::vector<Eigen::Vector3f> xyz(const nimbrel_test::Cloud& cloud) {
  std::vector<Eigen::Vector3f> out;
  for (const auto& p : cloud.points) out.emplace_back(p.x, p.y, p.z);
  return out;
}
}  // namespace

TEST(RangeFilters, DefaultBoxIsClosedCubeOfTwo) {
  PointCloudsDeal deal;
  auto cloud = makeCloud({{2, -2, 0}, {2.001f, 0, 0}, {0, 0, -2}, {0, 0, -2.0001f}});
  deal.rangeFilterPointClouds(cloud);
  ASSERT_EQ(cloud->size(), 2u);
  EXPECT_EQ(xyz(*cloud)[0], Eigen::Vector3f(2, -2, 0));
  EXPECT_EQ(xyz(*cloud)[1], Eigen::Vector3f(0, 0, -2));
  EXPECT_EQ(cloud->width, 2u);
  EXPECT_EQ(cloud->height, 1u);
}

TEST(RangeFilters, SetFilterRangeKeepsOrderAndFaces) {
  PointCloudsDeal deal;
  deal.setFilterRange(0, 1, 0, 1, 0, 1);
  auto cloud = makeCloud({{1, 1, 1}, {0.5f, 0.5f, 1.5f}, {0.5f, 0.5f, 0.5f}, {0, 0, 0}});
  deal.rangeFilterPointClouds(cloud);
  const auto kept = xyz(*cloud);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0], Eigen::Vector3f(1, 1, 1));
  EXPECT_EQ(kept[1], Eigen::Vector3f(0.5f, 0.5f, 0.5f));
  EXPECT_EQ(kept[2], Eigen::Vector3f(0, 0, 0));
}

TEST(RangeFilters, LimitsAreRoundedToFloat) {
  PointCloudsDeal deal;
  auto in = makeCloud({{0.1f, 0, 0}, {std::nextafter(0.1f, 1.0f), 0, 0}});
  auto out = makeCloud({});
  // 0.1 as a double lies below the float 0.1f; the float limit keeps the point.
  deal.rangeFilterPointClouds(in, out, -1, 0.1, -1, 1, -1, 1);
  ASSERT_EQ(out->size(), 1u);
  EXPECT_EQ(out->points[0].x, 0.1f);
}

TEST(RangeFilters, NonFinitePointsAlwaysDropped) {
  PointCloudsDeal deal;
  const float big = std::numeric_limits<float>::max();
  auto in = makeCloud({{kNaN, 0, 0}, {0, kInf, 0}, {0, 0, -kInf}, {0, 0, 0}});
  auto out = makeCloud({});
  deal.rangeFilterPointClouds(in, out, -big, big, -big, big, -big, big);
  ASSERT_EQ(out->size(), 1u);
  deal.rangeFilterPointClouds(in);
  EXPECT_EQ(in->size(), 1u);
}

TEST(RangeFilters, InvertedBoxEmptiesEveryCloud) {
  PointCloudsDeal deal;
  deal.setFilterRange(1, 0, -2, 2, -2, 2);
  auto cloud = nimbrel_test::makeRandomCloud(100, {-1, -1, -1}, {1, 1, 1});
  deal.rangeFilterPointClouds(cloud);
  EXPECT_TRUE(cloud->empty());
}

TEST(RangeFilters, EightArgumentCropReadsInAndReplacesOut) {
  PointCloudsDeal deal;
  auto in = makeCloud({{0, 0, 0}, {5, 0, 0}, {0.5f, 0.5f, 0.5f}});
  auto out = makeCloud({{9, 9, 9}, {8, 8, 8}, {7, 7, 7}, {6, 6, 6}});
  deal.rangeFilterPointClouds(in, out, 0, 1, 0, 1, 0, 1);
  EXPECT_EQ(in->size(), 3u);
  ASSERT_EQ(out->size(), 2u);
  EXPECT_EQ(xyz(*out)[1], Eigen::Vector3f(0.5f, 0.5f, 0.5f));
  // The object's own box is neither used nor changed.
  auto far = makeCloud({{1.5f, 0, 0}});
  deal.rangeFilterPointClouds(far);
  EXPECT_EQ(far->size(), 1u);
  // One cloud as input and output is cropped in place.
  deal.rangeFilterPointClouds(in, in, 0, 1, 0, 1, 0, 1);
  EXPECT_EQ(in->size(), 2u);
}

TEST(RangeFilters, ZBandIsOpenAndLooksOnlyAtZ) {
  PointCloudsDeal deal;
  auto in = makeCloud({{0, 0, 0.5f}, {0, 0, 0}, {0, 0, 1}, {kNaN, kNaN, 0.5f}, {0, 0, kNaN}});
  nimbrel_test::Cloud out;
  out.header.frame_id = "camera";
  out.is_dense = false;
  deal.rangeInZFilterPointClouds(*in, out, 0, 1);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out.points[0].z, 0.5f);
  EXPECT_TRUE(std::isnan(out.points[1].x));
  EXPECT_EQ(out.width, 2u);
  EXPECT_EQ(out.height, 1u);
  EXPECT_EQ(out.header.frame_id, "camera");
  EXPECT_FALSE(out.is_dense);
}

TEST(RangeFilters, ZBandInPlaceKeepsBandInOrder) {
  PointCloudsDeal deal;
  auto cloud = nimbrel_test::makeOrganizedCloud(4, 2, 0.1f, 0.0f);
  for (std::size_t i = 0; i < cloud->size(); ++i) cloud->points[i].z = 0.1f * static_cast<float>(i);
  deal.rangeInZFilterPointClouds(*cloud, *cloud, 0.15, 0.55);
  const auto kept = xyz(*cloud);
  ASSERT_EQ(kept.size(), 4u);
  for (std::size_t i = 0; i < kept.size(); ++i)
    EXPECT_FLOAT_EQ(kept[i].z(), 0.1f * static_cast<float>(i + 2));
  EXPECT_EQ(cloud->width, 4u);
  EXPECT_EQ(cloud->height, 1u);
  deal.rangeInZFilterPointClouds(*cloud, *cloud, 5, 6);
  EXPECT_TRUE(cloud->empty());
  EXPECT_EQ(cloud->width, 0u);
  EXPECT_EQ(cloud->height, 0u);
}

TEST(RangeFilters, EmptyInputGivesEmptyOutput) {
  PointCloudsDeal deal;
  auto empty = makeCloud({});
  auto out = makeCloud({{1, 1, 1}});
  deal.rangeFilterPointClouds(empty, out, -1, 1, -1, 1, -1, 1);
  EXPECT_TRUE(out->empty());
  nimbrel_test::Cloud band;
  deal.rangeInZFilterPointClouds(*empty, band, -1, 1);
  EXPECT_TRUE(band.empty());
}

// Every crop flags its result dense exactly when every kept point is finite: the box crops keep only
// finite points, the z band looks at z alone and keeps a point with a non-finite x or y when its z is in the
// band.
TEST(RangeFilters, KeepIsDenseHonest) {
  PointCloudsDeal deal;
  const auto holes = [](bool flag) {
    auto cloud = makeCloud({{0.5f, 0.5f, 0.5f}, {kNaN, 0, 0}, {0, kInf, 0.9f}, {kInf, 0, 3}});
    cloud->is_dense = flag;
    return cloud;
  };
  auto out = makeCloud({{9, 9, 9}});
  out->is_dense = false;
  deal.rangeFilterPointClouds(holes(false), out, 0, 1, 0, 1, 0, 1);
  ASSERT_EQ(out->size(), 1u);
  EXPECT_TRUE(out->is_dense);
  auto cloud = holes(false);
  deal.rangeFilterPointClouds(cloud);
  ASSERT_EQ(cloud->size(), 1u);
  EXPECT_TRUE(cloud->is_dense);

  nimbrel_test::Cloud band;
  band.is_dense = true;
  deal.rangeInZFilterPointClouds(*holes(true), band, 0, 1);
  ASSERT_EQ(band.size(), 2u);  // the infinite y stays
  EXPECT_FALSE(band.is_dense);
  deal.rangeInZFilterPointClouds(*holes(true), band, -1, 0.25);
  ASSERT_EQ(band.size(), 1u);  // the NaN x stays
  EXPECT_FALSE(band.is_dense);
  cloud = holes(false);
  deal.rangeInZFilterPointClouds(*cloud, *cloud, 0.25, 0.75);  // in place; only the finite point stays
  ASSERT_EQ(cloud->size(), 1u);
  EXPECT_TRUE(cloud->is_dense);
}
