#include <gtest/gtest.h>
#include <pcl/filters/filter.h>
#include <pcl/filters/statistical_outlier_removal.h>
#include <pcl/filters/voxel_grid.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"
#include "support/log_recorder.hpp"
#include "support/outlier_scene.hpp"

using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_test::Cloud;
using nimbrel_test::CloudPtr;
using nimbrel_test::LogRecorder;
using nimbrel_test::makeCloud;
using nimbrel_test::makeOrganizedCloud;
using nimbrel_test::makeRandomCloud;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const char kNotFinite[] = "\x1b[41m ERROR: point is not finite valid\x1b[0m";
const char kEmptyCrop[] = "size of point clouds is 0\n";

// Exact equality of two point sequences, NaN matching NaN.
void expectSamePoints(const Cloud& actual, const Cloud& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    const auto a = actual.points[i].getVector3fMap();
    const auto e = expected.points[i].getVector3fMap();
    for (int d = 0; d < 3; ++d) {
      if (std::isnan(e[d])) {
        EXPECT_TRUE(std::isnan(a[d])) << "point " << i;
      } else {
        EXPECT_EQ(a[d], e[d]) << "point " << i << " axis " << d;
      }
    }
  }
}

// Same points, layout, density flag and frame.
void expectSameCloud(const Cloud& actual, const Cloud& expected) {
  expectSamePoints(actual, expected);
  EXPECT_EQ(actual.width, expected.width);
  EXPECT_EQ(actual.height, expected.height);
  EXPECT_EQ(actual.is_dense, expected.is_dense);
  EXPECT_EQ(actual.header.frame_id, expected.header.frame_id);
}

std::vector<std::string> bodiesFrom(const LogRecorder& log, const std::string& function) {
  std::vector<std::string> bodies;
  for (const auto& r : log.records()) {
    EXPECT_EQ(r.level, spdlog::level::info) << r.body;
    if (r.function == function) bodies.push_back(r.body);
  }
  return bodies;
}

// A dense cluster in the unit cube with a few far-off strays, NaN holes and one point outside the default
// box.
CloudPtr makeScene() {
  CloudPtr scene = makeRandomCloud(3000, {-1, -1, -1}, {1, 1, 1}, 11);
  for (const auto& p :
       std::vector<Eigen::Vector3f>{{1.9f, 1.9f, 1.9f}, {-1.8f, 1.7f, -1.9f}, {1.6f, -1.9f, 0}}) {
    scene->push_back(pcl::PointXYZ(p.x(), p.y(), p.z()));
  }
  scene->push_back(pcl::PointXYZ(kNaN, 0, 0));
  scene->push_back(pcl::PointXYZ(0, kNaN, 0));
  scene->push_back(pcl::PointXYZ(5, 5, 5));
  scene->is_dense = false;
  return scene;
}

}  // namespace

TEST(Cleaning, FiniteFilterKeepsOrderAndLeavesHeaderAndDensity) {
  PointCloudsDeal deal;
  const float big = std::numeric_limits<float>::max();
  auto in = makeCloud({{0, 0, 0}, {1, kInf, 1}, {2, 2, kNaN}, {-big, big, 3}, {-kInf, 0, 0}, {3, 3, 3}});
  auto out = makeOrganizedCloud(4, 2);  // non-empty and organized: must be replaced, not appended to
  out->header.frame_id = "camera";
  out->header.stamp = 42;
  out->is_dense = true;
  LogRecorder log;
  deal.removeInfinatePointClouds(in, out);

  expectSamePoints(*out, *makeCloud({{0, 0, 0}, {-big, big, 3}, {3, 3, 3}}));
  EXPECT_EQ(out->width, 3u);
  EXPECT_EQ(out->height, 1u);
  EXPECT_EQ(out->header.frame_id, "camera");
  EXPECT_EQ(out->header.stamp, 42u);
  EXPECT_TRUE(out->is_dense);
  EXPECT_EQ(in->size(), 6u);
  EXPECT_EQ(bodiesFrom(log, "removeInfinatePointClouds"), std::vector<std::string>(3, kNotFinite));
}

TEST(Cleaning, FiniteFilterInPlaceKeepsTheFinitePoints) {
  PointCloudsDeal deal;
  auto cloud = makeOrganizedCloud(3, 2, 0.5f, 1.0f, {1, 4});
  const Cloud before = *cloud;
  deal.removeInfinatePointClouds(cloud, cloud);
  Cloud expected;
  for (std::size_t i : {0u, 2u, 3u, 5u}) expected.push_back(before.points[i]);
  expectSamePoints(*cloud, expected);
  EXPECT_EQ(cloud->width, 4u);
  EXPECT_EQ(cloud->height, 1u);

  auto allBad = makeCloud({{kNaN, 0, 0}, {0, 0, kInf}});
  deal.removeInfinatePointClouds(allBad, allBad);
  EXPECT_TRUE(allBad->empty());
  EXPECT_EQ(allBad->width, 0u);
  EXPECT_EQ(allBad->height, 0u);
}

TEST(Cleaning, ProcessEqualsTheChainOfItsSteps) {
  PointCloudsDeal deal;
  deal.setFilterRange(-0.9, 1.95, -1.0, 1.95, -0.8, 1.95);
  deal.setLeafSize(0.1);
  deal.setStatisticalOutlierRemovalPara(8, 0.5);
  const CloudPtr in = makeScene();
  const Cloud original = *in;

  CloudPtr expected(new Cloud);
  CloudPtr chain(new Cloud);
  pcl::Indices kept;
  pcl::removeNaNFromPointCloud(*in, *chain, kept);
  deal.rangeFilterPointClouds(chain);
  CloudPtr finite(new Cloud);
  deal.removeInfinatePointClouds(chain, finite);
  deal.voxelGridfilterPointClouds(finite, finite);
  deal.removeOutlierPointClouds(finite, expected);

  CloudPtr out = makeCloud({{9, 9, 9}});
  deal.processPointClouds(in, out);
  ASSERT_GT(expected->size(), 100u);
  ASSERT_LT(expected->size(), finite->size());  // the outlier step did remove something
  expectSamePoints(*out, *expected);
  EXPECT_EQ(out->width, expected->width);
  EXPECT_EQ(out->height, 1u);
  expectSameCloud(*in, original);
}

TEST(Cleaning, ProcessMatchesTheChainOnEdgeInputs) {
  // The one-pass front of the pipeline against the chain of library steps it replaces: infinities, points
  // exactly on the box's faces, a cloud wrongly flagged dense (NaN kept by the NaN removal, then cropped)
  // and an organized cloud; same points, layout, density flag and log.
  PointCloudsDeal deal;
  deal.setFilterRange(-0.5, 0.5, -0.5, 0.5, 0.0, 1.0);
  deal.setLeafSize(0.05);
  deal.setStatisticalOutlierRemovalPara(6, 1.0);
  CloudPtr edges = makeRandomCloud(2000, {-0.6f, -0.6f, -0.1f}, {0.6f, 0.6f, 1.1f}, 31);
  for (const auto& p :
       std::vector<Eigen::Vector3f>{{0.5f, 0.5f, 1.0f}, {-0.5f, -0.5f, 0.0f}, {0.5f, 0.2f, 0.3f}}) {
    edges->push_back(pcl::PointXYZ(p.x(), p.y(), p.z()));
  }
  edges->push_back(pcl::PointXYZ(0.1f, kInf, 0.2f));
  edges->push_back(pcl::PointXYZ(-kInf, 0.0f, 0.5f));
  edges->push_back(pcl::PointXYZ(0.0f, 0.0f, kNaN));
  CloudPtr lying(new Cloud(*edges));
  lying->is_dense = true;
  edges->is_dense = false;
  CloudPtr organized = makeOrganizedCloud(40, 30, 0.02f, 0.5f, {5, 77, 300});
  for (const CloudPtr& in : {edges, lying, organized}) {
    in->header.frame_id = "camera";
    CloudPtr chain(new Cloud);
    pcl::Indices kept;
    pcl::removeNaNFromPointCloud(*in, *chain, kept);
    const std::size_t dropped = in->size() - kept.size();
    deal.rangeFilterPointClouds(chain);
    CloudPtr expected(new Cloud);
    CloudPtr finite(new Cloud);
    deal.removeInfinatePointClouds(chain, finite);
    deal.voxelGridfilterPointClouds(finite, finite);
    deal.removeOutlierPointClouds(finite, expected);

    CloudPtr out = makeCloud({{9, 9, 9}});
    LogRecorder log;
    deal.processPointClouds(in, out);
    ASSERT_GT(expected->size(), 10u);
    expectSameCloud(*out, *expected);
    const std::vector<std::string> bodies = bodiesFrom(log, "processPointClouds");
    if (dropped == 0) {
      EXPECT_TRUE(bodies.empty());
    } else {
      EXPECT_EQ(bodies, std::vector<std::string>{"\x1b[33m " + std::to_string(dropped) +
                                                 " NaN points exist in pointclouds! \x1b[0m"});
    }
  }
}

TEST(Cleaning, ProcessEqualsTheLibraryFiltersOnACameraFrame) {
  // A whole camera frame with holes, cropped, down-sampled at the default leaf and cleaned at the default
  // outlier settings, against the point-cloud library's own voxel grid and outlier filter.
  CloudPtr frame = nimbrel_test::makeDepthScene(1.0);
  for (std::size_t i = 0; i < frame->size(); i += 41) frame->points[i].z = kNaN;
  frame->is_dense = false;
  PointCloudsDeal deal;
  deal.setFilterRange(-0.6, 0.55, -0.45, 0.45, 0.4, 1.3);

  CloudPtr cropped(new Cloud);
  for (const pcl::PointXYZ& p : frame->points) {
    if (p.x >= -0.6f && p.x <= 0.55f && p.y >= -0.45f && p.y <= 0.45f && p.z >= 0.4f && p.z <= 1.3f) {
      cropped->push_back(p);
    }
  }
  pcl::VoxelGrid<pcl::PointXYZ> grid;
  grid.setInputCloud(cropped);
  grid.setLeafSize(0.005f, 0.005f, 0.005f);
  CloudPtr voxels(new Cloud);
  grid.filter(*voxels);
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> outliers;
  outliers.setInputCloud(voxels);
  outliers.setMeanK(50);
  outliers.setStddevMulThresh(1.0);
  Cloud expected;
  outliers.filter(expected);

  CloudPtr out(new Cloud);
  deal.processPointClouds(frame, out);
  ASSERT_GT(cropped->size(), 140000u);  // enough for the crop to run in slices
  ASSERT_LT(expected.size(), voxels->size());
  expectSameCloud(*out, expected);
}

TEST(Cleaning, ProcessReportsNaNCountOnce) {
  PointCloudsDeal deal;
  deal.setStatisticalOutlierRemovalPara(5, 1.0);
  auto in = makeRandomCloud(100, {0, 0, 0}, {1, 1, 1});
  for (std::size_t i : {3u, 17u, 40u, 41u, 99u}) in->points[i].y = kNaN;
  in->is_dense = false;
  auto out = makeCloud({});
  {
    LogRecorder log;
    deal.processPointClouds(in, out);
    EXPECT_EQ(bodiesFrom(log, "processPointClouds"),
              std::vector<std::string>{"\x1b[33m 5 NaN points exist in pointclouds! \x1b[0m"});
  }
  auto clean = makeRandomCloud(100, {0, 0, 0}, {1, 1, 1});
  LogRecorder log;
  deal.processPointClouds(clean, out);
  EXPECT_TRUE(log.records().empty());
  EXPECT_FALSE(out->empty());
}

TEST(Cleaning, ProcessClearsOutWhenTheCropLeavesNothing) {
  PointCloudsDeal deal;
  deal.setFilterRange(10, 11, 10, 11, 10, 11);
  auto out = makeOrganizedCloud(4, 2);
  out->header.frame_id = "camera";
  {
    LogRecorder log;
    deal.processPointClouds(makeScene(), out);
    EXPECT_EQ(bodiesFrom(log, "processPointClouds"),
              (std::vector<std::string>{"\x1b[33m 2 NaN points exist in pointclouds! \x1b[0m", kEmptyCrop}));
  }
  EXPECT_TRUE(out->empty());
  EXPECT_EQ(out->width, 0u);
  EXPECT_EQ(out->header.frame_id, "camera");

  out = makeCloud({{1, 1, 1}});
  LogRecorder log;
  deal.processPointClouds(makeCloud({}), out);
  EXPECT_EQ(bodiesFrom(log, "processPointClouds"), std::vector<std::string>{kEmptyCrop});
  EXPECT_TRUE(out->empty());
}

TEST(Cleaning, ProcessFollowsParameterChanges) {
  PointCloudsDeal deal;
  deal.setLeafSize(0.1);
  deal.setStatisticalOutlierRemovalPara(8, 1.0);
  const CloudPtr in = makeScene();
  auto run = [&] {
    CloudPtr out(new Cloud);
    deal.processPointClouds(in, out);
    return out;
  };
  const CloudPtr base = run();

  deal.setLeafSize(0.25);
  const CloudPtr coarser = run();
  EXPECT_LT(coarser->size(), base->size() / 2);
  deal.setLeafSize(0.1);

  deal.setFilterRange(0, 2, 0, 2, 0, 2);
  const CloudPtr octant = run();
  EXPECT_LT(octant->size(), base->size() / 4);
  for (const auto& p : octant->points) EXPECT_GE(std::min({p.x, p.y, p.z}), 0.0f);
  deal.setFilterRange(-2, 2, -2, 2, -2, 2);

  deal.setStatisticalOutlierRemovalPara(8, 0.2);
  const CloudPtr stricter = run();
  EXPECT_LT(stricter->size(), base->size());

  deal.setStatisticalOutlierRemovalPara(2, 1.0);
  const CloudPtr fewerNeighbours = run();
  bool differs = fewerNeighbours->size() != base->size();
  for (std::size_t i = 0; !differs && i < base->size(); ++i) {
    differs = fewerNeighbours->points[i].getVector3fMap() != base->points[i].getVector3fMap();
  }
  EXPECT_TRUE(differs);

  deal.setStatisticalOutlierRemovalPara(8, 1.0);
  expectSamePoints(*run(), *base);
}

TEST(Cleaning, VoxelGridUsesOneLeafOnAllAxes) {
  // A lattice of 10 x 10 x 10 points 0.1 apart, voxel faces halfway between them: a leaf of 0.2 pairs
  // them up along every axis.
  CloudPtr lattice(new Cloud);
  for (int i = 0; i < 10; ++i)
    for (int j = 0; j < 10; ++j)
      for (int k = 0; k < 10; ++k)
        lattice->push_back(pcl::PointXYZ(0.05f + 0.1f * i, 0.05f + 0.1f * j, 0.05f + 0.1f * k));
  PointCloudsDeal deal;
  deal.setLeafSize(0.2);
  CloudPtr out(new Cloud);
  deal.voxelGridfilterPointClouds(lattice, out);
  ASSERT_EQ(out->size(), 125u);
  const float tolerance = 1e-5f;
  for (const auto& p : out->points) {
    for (float v : {p.x, p.y, p.z}) EXPECT_NEAR(std::fmod(v, 0.2f), 0.1f, tolerance);
  }
  deal.voxelGridfilterPointClouds(lattice, lattice);
  EXPECT_EQ(lattice->size(), 125u);
}

TEST(Cleaning, DegenerateLeafKeepsTheCloud) {
  PointCloudsDeal deal;
  const CloudPtr organized = makeOrganizedCloud(20, 10, 0.01f, 1.0f, {7});
  const CloudPtr spread = makeRandomCloud(1000, {-1, -1, -1}, {1, 1, 1});
  // 1e-50 and 1e-40 become 0 and a subnormal as floats; 1e-12 and 1e-7 overflow the voxel indices of a
  // two-metre cloud (PCL alone collapses the first into a handful of points).
  for (double leaf : {0.0, -0.0, -0.1, std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, 1e-50, 1e-40, 1e-12, 1e-7}) {
    SCOPED_TRACE(leaf);
    deal.setLeafSize(leaf);
    for (const CloudPtr& in : {organized, spread}) {
      CloudPtr out = makeCloud({{9, 9, 9}});
      deal.voxelGridfilterPointClouds(in, out);
      expectSameCloud(*out, *in);
      CloudPtr same(new Cloud(*in));
      deal.voxelGridfilterPointClouds(same, same);
      expectSameCloud(*same, *in);
    }
  }
}

TEST(Cleaning, VoxelGridFallbackIsLoggedOnce) {
  PointCloudsDeal deal;
  const CloudPtr spread = makeRandomCloud(1000, {-1, -1, -1}, {1, 1, 1});
  CloudPtr out(new Cloud);
  {
    LogRecorder log;
    deal.setLeafSize(1e-7);  // two metres in 1e-7 steps overflow the voxel indices
    deal.voxelGridfilterPointClouds(spread, out);
    const auto bodies = bodiesFrom(log, "voxelGridfilterPointClouds");
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_NE(bodies[0].find("too small for the cloud's extent"), std::string::npos) << bodies[0];
    EXPECT_EQ(log.records().size(), 1u);
  }
  LogRecorder log;
  deal.setLeafSize(0.1);
  deal.voxelGridfilterPointClouds(spread, out);
  EXPECT_TRUE(log.records().empty());
  EXPECT_LT(out->size(), spread->size());
}

TEST(Cleaning, OutlierRemovalDropsStrays) {
  PointCloudsDeal deal;
  deal.setStatisticalOutlierRemovalPara(10, 1.0);
  CloudPtr in = makeRandomCloud(500, {0, 0, 0}, {0.2f, 0.2f, 0.2f});
  in->push_back(pcl::PointXYZ(3, 3, 3));
  in->push_back(pcl::PointXYZ(-2, 0, 0));
  CloudPtr out(new Cloud);
  deal.removeOutlierPointClouds(in, out);
  ASSERT_LT(out->size(), in->size() - 1);
  for (const auto& p : out->points) EXPECT_LT(p.getVector3fMap().norm(), 1.0f);
}

TEST(Cleaning, DegenerateMeanK) {
  PointCloudsDeal deal;
  const CloudPtr in = makeRandomCloud(200, {0, 0, 0}, {1, 1, 1});
  in->push_back(pcl::PointXYZ(4, 4, 4));

  // Zero or negative counts: PCL would compute 0/0, warn once per point or throw; the cloud is kept instead.
  for (int k : {0, -1, -2, std::numeric_limits<int>::min()}) {
    deal.setStatisticalOutlierRemovalPara(k, 1.0);
    CloudPtr out = makeCloud({{9, 9, 9}});
    deal.removeOutlierPointClouds(in, out);
    expectSameCloud(*out, *in);
  }
  const CloudPtr organized = nimbrel_test::makeOrganizedCloud(4, 3, 0.1f, 1.0f, {5});
  deal.setStatisticalOutlierRemovalPara(0, 1.0);
  CloudPtr out(new Cloud);
  deal.removeOutlierPointClouds(organized, out);
  EXPECT_EQ(out->width, 4u);
  EXPECT_EQ(out->height, 3u);
  EXPECT_EQ(out->size(), organized->size());

  // More neighbours than the cloud holds decide as PCL does; INT_MAX would overflow PCL's k + 1.
  const int beyond = 3 * static_cast<int>(in->size());
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> sor;
  sor.setInputCloud(in);
  sor.setMeanK(beyond);
  sor.setStddevMulThresh(1.0);
  Cloud reference;
  sor.filter(reference);
  ASSERT_LT(reference.size(), in->size());
  for (int k : {beyond, std::numeric_limits<int>::max()}) {
    deal.setStatisticalOutlierRemovalPara(k, 1.0);
    CloudPtr capped(new Cloud);
    deal.removeOutlierPointClouds(in, capped);
    expectSamePoints(*capped, reference);
  }
}

TEST(Cleaning, OutlierRemovalSurvivesDensityFlagAndHugeCoordinates) {
  // The library's search asserts on a NaN in a cloud flagged dense and breaks on coordinates near the
  // float limit. Such points are kept (as non-finite points always are) and the others decided as usual.
  PointCloudsDeal deal;
  deal.setStatisticalOutlierRemovalPara(10, 1.0);
  const CloudPtr plain = makeRandomCloud(150, {0, 0, 0}, {1, 1, 1});
  plain->push_back(pcl::PointXYZ(4, 4, 4));
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> sor;
  sor.setInputCloud(plain);
  sor.setMeanK(10);
  sor.setStddevMulThresh(1.0);
  Cloud reference;
  sor.filter(reference);
  ASSERT_LT(reference.size(), plain->size());

  CloudPtr huge(new Cloud(*plain));
  huge->push_back(pcl::PointXYZ(3.0e38f, -3.0e38f, 1.8f));
  CloudPtr out(new Cloud);
  deal.removeOutlierPointClouds(huge, out);
  ASSERT_EQ(out->size(), reference.size() + 1);
  EXPECT_EQ(out->points.back().x, 3.0e38f);
  for (std::size_t i = 0; i < reference.size(); ++i) EXPECT_EQ(out->points[i].x, reference.points[i].x);

  // Organized clouds go to the library's filter; this one wrongly claims to hold no NaN.
  CloudPtr lying = makeOrganizedCloud(20, 10, 0.01f, 1.0f, {5, 77});
  CloudPtr honest(new Cloud(*lying));
  honest->width = static_cast<std::uint32_t>(honest->size());
  honest->height = 1;
  lying->is_dense = true;
  sor.setInputCloud(honest);
  Cloud honestResult;
  sor.filter(honestResult);
  deal.removeOutlierPointClouds(lying, out);
  expectSamePoints(*out, honestResult);
  EXPECT_EQ(std::count_if(out->points.begin(), out->points.end(),
                          [](const pcl::PointXYZ& p) { return std::isnan(p.x); }),
            2);
}

TEST(Cleaning, ConcatenationIntoAThirdCloud) {
  PointCloudsDeal deal;
  auto first = makeCloud({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}});
  auto second = makeCloud({{4, 0, 0}, {5, 0, 0}});
  const auto joined = makeCloud({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}, {5, 0, 0}});
  auto out = makeOrganizedCloud(4, 2);
  out->header.frame_id = "robot";
  deal.addTwoPointClouds(first, second, out);
  expectSamePoints(*out, *joined);
  EXPECT_EQ(out->width, 5u);
  EXPECT_EQ(out->height, 1u);
  EXPECT_EQ(out->header.frame_id, "robot");

  // The output may be either input.
  auto a = makeCloud({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}});
  deal.addTwoPointClouds(a, second, a);
  expectSamePoints(*a, *joined);
  auto b = makeCloud({{4, 0, 0}, {5, 0, 0}});
  deal.addTwoPointClouds(first, b, b);
  expectSamePoints(*b, *joined);
  EXPECT_EQ(b->width, 5u);

  deal.addTwoPointClouds(makeCloud({}), makeCloud({}), out);
  EXPECT_TRUE(out->empty());
  EXPECT_EQ(out->width, 0u);
  EXPECT_EQ(out->height, 0u);
}

TEST(Cleaning, ConcatenationInPlace) {
  PointCloudsDeal deal;
  auto organized = makeOrganizedCloud(4, 2);
  const Cloud before = *organized;
  deal.addTwoPointClouds(organized, makeCloud({}));
  expectSameCloud(*organized, before);

  deal.addTwoPointClouds(organized, makeCloud({{7, 7, 7}, {8, 8, 8}}));
  ASSERT_EQ(organized->size(), 10u);
  EXPECT_EQ(organized->width, 10u);
  EXPECT_EQ(organized->height, 1u);
  EXPECT_EQ(organized->points[9].getVector3fMap(), Eigen::Vector3f(8, 8, 8));

  // Appending a cloud to itself doubles it.
  auto twice = makeCloud({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
  deal.addTwoPointClouds(twice, twice);
  expectSamePoints(*twice, *makeCloud({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {1, 2, 3}, {4, 5, 6}, {7, 8, 9}}));
  EXPECT_EQ(twice->width, 6u);
}
