// Inputs that would need more memory than a process has end in the documented exception, at once and
// without touching the output.
#include <gtest/gtest.h>
#include <pcl/conversions.h>

#include <limits>
#include <stdexcept>
#include <string>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

namespace {

using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_test::makeCloud;
using nimbrel_test::makeMesh;
using nimbrel_test::makeTriangle;

// Right triangle with legs `leg`: area leg^2 / 2.
pcl::PolygonMesh rightTriangle(float leg) { return makeTriangle({0, 0, 0}, {leg, 0, 0}, {0, leg, 0}); }

std::string refusal(PointCloudsDeal& deal, pcl::PolygonMesh& mesh, const PointCloudsDeal::CloudPtr& out) {
  try {
    deal.upSampleMesh(mesh, out);
  } catch (const std::overflow_error& e) {
    return e.what();
  }
  return "";
}

TEST(SampleBound, TriangleBeyondIntRangeKeepsItsMessage) {
  PointCloudsDeal deal;
  auto mesh = rightTriangle(1000.0f);  // 500,000 square units: 2e10 samples
  auto out = makeCloud({{1, 2, 3}});
  EXPECT_EQ(refusal(deal, mesh, out), "double value is out of int range");
  ASSERT_EQ(out->size(), 1u);
}

TEST(SampleBound, MeshBeyondSampleBoundIsRefusedBeforeDrawing) {
  PointCloudsDeal deal;
  // 1,800 square units need 72 million samples: within an int, but more than one call may draw.
  auto single = rightTriangle(60.0f);
  auto out = makeCloud({{1, 2, 3}});
  EXPECT_EQ(refusal(deal, single, out), "mesh needs more than 50000000 surface samples");
  ASSERT_EQ(out->size(), 1u);
  EXPECT_EQ(out->width, 1u);

  // Two triangles of 800 square units each fit on their own (32 million samples) but not together.
  auto pair = makeMesh({{0, 0, 0}, {40, 0, 0}, {0, 40, 0}, {0, 0, 40}}, {{0, 1, 2}, {0, 1, 3}});
  EXPECT_EQ(refusal(deal, pair, out), "mesh needs more than 50000000 surface samples");
  EXPECT_EQ(out->size(), 1u);
}

TEST(SampleBound, NonFiniteAndHugeCornersNeverExhaustMemory) {
  PointCloudsDeal deal;
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float big = std::numeric_limits<float>::max();
  auto out = makeCloud({});
  // Corners near the float limit give a finite but enormous area: the documented refusal.
  auto huge = makeTriangle({-big, -big, 0}, {big, -big, 0}, {0, big, 0});
  EXPECT_EQ(refusal(deal, huge, out), "double value is out of int range");
  EXPECT_TRUE(out->empty());
  // An infinite corner makes the area not a number (infinity times zero), like a NaN corner: no samples,
  // the vertices are still copied.
  auto infinite = makeTriangle({0, 0, 0}, {inf, 0, 0}, {0, 1, 0});
  EXPECT_EQ(deal.upSampleMesh(infinite, out), 0);
  EXPECT_EQ(out->size(), 3u);
  out->clear();
  auto notANumber = makeTriangle({0, 0, 0}, {nan, 0, 0}, {0, 1, 0});
  EXPECT_EQ(deal.upSampleMesh(notANumber, out), 0);
  EXPECT_EQ(out->size(), 3u);
}

TEST(SampleBound, MeshWithinTheBoundIsSampled) {
  PointCloudsDeal deal;
  auto mesh = rightTriangle(1.0f);  // 0.5 square units: 20,000 samples
  auto out = makeCloud({});
  ASSERT_EQ(deal.upSampleMesh(mesh, out), 0);
  EXPECT_EQ(out->size(), 3u + 20000u);
}

TEST(HullInput, NonFiniteVerticesTakeNoPartInTheHull) {
  PointCloudsDeal deal;
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // A tetrahedron with an infinite and a NaN vertex: the hull is the tetrahedron's.
  std::vector<pcl::PolygonMesh> meshes = {
      makeMesh({{0, 0, 0}, {1, 0, 0}, {inf, 0, 1}, {0, 1, 0}, {0, 0, 1}, {nan, 2, 2}}, {{0, 1, 3}})};
  std::vector<pcl::PolygonMesh> hulls;
  ASSERT_EQ(deal.convertToConvexHull(meshes, hulls), 0);
  ASSERT_EQ(hulls.size(), 1u);
  PointCloudsDeal::Cloud corners;
  pcl::fromPCLPointCloud2(hulls[0].cloud, corners);
  EXPECT_EQ(corners.size(), 4u);
  EXPECT_EQ(hulls[0].polygons.size(), 4u);
  // Five vertices of which only three are finite are too few for a hull.
  meshes = {makeMesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {inf, 0, 0}, {0, nan, 0}}, {{0, 1, 2}})};
  hulls.clear();
  EXPECT_EQ(deal.convertToConvexHull(meshes, hulls), -2);
  EXPECT_TRUE(hulls.empty());
}

}  // namespace
