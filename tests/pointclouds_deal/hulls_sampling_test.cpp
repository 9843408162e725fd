#include <gtest/gtest.h>
#include <pcl/conversions.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

namespace {

constexpr double kTol = 1e-9;
constexpr double kPi = 3.14159265358979323846;

// Volume of a closed convex mesh: tetrahedra from its vertex centroid to every face, whatever the faces'
// orientation.
double convexVolume(const pcl::PolygonMesh& mesh) {
  auto cloud = nimbrel_test::meshVertices(mesh);
  Eigen::Vector3d centre = Eigen::Vector3d::Zero();
  for (const pcl::PointXYZ& p : cloud->points) centre += p.getVector3fMap().cast<double>();
  centre /= static_cast<double>(cloud->size());
  double volume = 0.0;
  for (const pcl::Vertices& f : mesh.polygons) {
    const Eigen::Vector3d a = cloud->points[f.vertices[0]].getVector3fMap().cast<double>() - centre;
    const Eigen::Vector3d b = cloud->points[f.vertices[1]].getVector3fMap().cast<double>() - centre;
    const Eigen::Vector3d c = cloud->points[f.vertices[2]].getVector3fMap().cast<double>() - centre;
    volume += std::abs(a.dot(b.cross(c))) / 6.0;
  }
  return volume;
}

// True when p lies in the triangle a, b, c of the z = 0 plane, within `slack` in barycentric terms.
bool inPlanarTriangle(const pcl::PointXYZ& p, Eigen::Vector2d a, Eigen::Vector2d b, Eigen::Vector2d c,
                      double slack = 1e-6) {
  const Eigen::Vector2d q(p.x, p.y);
  const auto cross = [](Eigen::Vector2d u, Eigen::Vector2d v) { return u.x() * v.y() - u.y() * v.x(); };
  const double area = cross(b - a, c - a);
  const double wb = cross(q - a, c - a) / area;
  const double wc = cross(b - a, q - a) / area;
  return p.z == 0.0f && wb >= -slack && wc >= -slack && wb + wc <= 1.0 + slack;
}

}  // namespace

TEST(HullsSampling, TriangleArea) {
  nimbrel_arm_util::PointCloudsDeal deal;
  EXPECT_NEAR(deal.calTriangleArea({0, 0, 0}, {1, 0, 0}, {0, 1, 0}), 0.5, kTol);
  EXPECT_NEAR(deal.calTriangleArea({0, 0, 0}, {1, 1, 1}, {2, 2, 2}), 0.0, kTol);
  EXPECT_NEAR(deal.calTriangleArea({1, 2, 3}, {1, 2, 3}, {1, 2, 3}), 0.0, kTol);
  EXPECT_NEAR(deal.calTriangleArea({0, 0, 1}, {2, 0, 1}, {0, 0, 4}), 3.0, kTol);
}

TEST(HullsSampling, RandomPointsLieInTheTriangleAndFavourCornerA) {
  nimbrel_arm_util::PointCloudsDeal deal;
  const Eigen::Vector3d same(0.3, -1.0, 2.0);
  EXPECT_TRUE(deal.randomPointInTriangle(same, same, same).isApprox(same));

  const int count = 4000;
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  for (int i = 0; i < count; ++i) {
    const Eigen::Vector3d p = deal.randomPointInTriangle({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    ASSERT_GE(p.x(), 0.0);
    ASSERT_GE(p.y(), 0.0);
    ASSERT_LE(p.x() + p.y(), 1.0);
    ASSERT_EQ(p.z(), 0.0);
    sum += p;
  }
  // The mean tends to (1/4, 1/4), not the centroid (1/3, 1/3); the standard error is about 0.004.
  const Eigen::Vector3d mean = sum / count;
  EXPECT_NEAR(mean.x(), 0.25, 0.03);
  EXPECT_NEAR(mean.y(), 0.25, 0.03);
}

TEST(HullsSampling, UpSampleCountsAndPlacement) {
  nimbrel_arm_util::PointCloudsDeal deal;
  // Area 0.001: 40 samples after the three vertices, appended behind what `out` held.
  pcl::PolygonMesh small = nimbrel_test::makeTriangle({0, 0, 0}, {0.1f, 0, 0}, {0, 0.02f, 0});
  auto out = nimbrel_test::makeCloud({{9, 9, 9}, {8, 8, 8}});
  ASSERT_EQ(deal.upSampleMesh(small, out), 0);
  ASSERT_EQ(out->size(), 2u + 3u + 40u);
  EXPECT_EQ(out->width, 45u);
  EXPECT_EQ(out->height, 1u);
  EXPECT_EQ(out->points[0].x, 9.0f);
  EXPECT_EQ(out->points[1].x, 8.0f);
  EXPECT_EQ(out->points[3].x, 0.1f);
  EXPECT_EQ(out->points[4].y, 0.02f);
  for (std::size_t i = 5; i < out->size(); ++i) {
    EXPECT_TRUE(inPlanarTriangle(out->points[i], {0, 0}, {0.1, 0}, {0, 0.02})) << out->points[i];
  }

  // Below 2.5e-5 no samples; a mesh without polygons gives its vertices only.
  pcl::PolygonMesh tiny = nimbrel_test::makeTriangle({0, 0, 0}, {0.001f, 0, 0}, {0, 0.002f, 0});
  auto tinyOut = nimbrel_test::makeCloud({});
  ASSERT_EQ(deal.upSampleMesh(tiny, tinyOut), 0);
  EXPECT_EQ(tinyOut->size(), 3u);
  pcl::PolygonMesh bare = nimbrel_test::makeMesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 1}}, {});
  auto bareOut = nimbrel_test::makeCloud({});
  ASSERT_EQ(deal.upSampleMesh(bare, bareOut), 0);
  EXPECT_EQ(bareOut->size(), 4u);

  // A closed unit cube: 12 triangles of area 0.5, 20,000 samples each.
  pcl::PolygonMesh cube = nimbrel_test::makeCube();
  auto cubeOut = nimbrel_test::makeCloud({});
  ASSERT_EQ(deal.upSampleMesh(cube, cubeOut), 0);
  EXPECT_EQ(cubeOut->size(), 8u + 12u * 20000u);
}

TEST(HullsSampling, UpSampleWithASeedRepeatsItsPoints) {
  nimbrel_arm_util::PointCloudsDeal deal;
  pcl::PolygonMesh cube = nimbrel_test::makeCube();
  auto first = nimbrel_test::makeCloud({}), again = nimbrel_test::makeCloud({}),
       other = nimbrel_test::makeCloud({});
  ASSERT_EQ(deal.upSampleMesh(cube, first, 7u), 0);
  ASSERT_EQ(deal.upSampleMesh(cube, again, 7u), 0);
  ASSERT_EQ(deal.upSampleMesh(cube, other, 8u), 0);
  ASSERT_EQ(first->size(), 8u + 12u * 20000u);
  ASSERT_EQ(again->size(), first->size());
  ASSERT_EQ(other->size(), first->size());
  std::size_t same = 0, sameAsOther = 0;
  for (std::size_t i = 8; i < first->size(); ++i) {
    same += first->points[i].getVector3fMap() == again->points[i].getVector3fMap() ? 1 : 0;
    sameAsOther += first->points[i].getVector3fMap() == other->points[i].getVector3fMap() ? 1 : 0;
  }
  EXPECT_EQ(same, first->size() - 8);
  EXPECT_EQ(sameAsOther, 0u);
}

TEST(HullsSampling, UpSampleMeanFavoursFirstCorner) {
  nimbrel_arm_util::PointCloudsDeal deal;
  pcl::PolygonMesh unit = nimbrel_test::makeTriangle({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
  auto out = nimbrel_test::makeCloud({});
  ASSERT_EQ(deal.upSampleMesh(unit, out), 0);
  ASSERT_EQ(out->size(), 3u + 20000u);
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  for (std::size_t i = 3; i < out->size(); ++i) {
    ASSERT_TRUE(inPlanarTriangle(out->points[i], {0, 0}, {1, 0}, {0, 1})) << out->points[i];
    sum += out->points[i].getVector3fMap().cast<double>();
  }
  const Eigen::Vector3d mean = sum / 20000.0;
  EXPECT_NEAR(mean.x(), 0.25, 0.01);
  EXPECT_NEAR(mean.y(), 0.25, 0.01);
  EXPECT_EQ(mean.z(), 0.0);
}

TEST(HullsSampling, UpSampleOverflowNaNAndInvalidFaces) {
  nimbrel_arm_util::PointCloudsDeal deal;
  // Area 5e5 needs 2e10 samples: more than an int holds. Nothing reaches `out`.
  pcl::PolygonMesh huge = nimbrel_test::makeTriangle({0, 0, 0}, {1000, 0, 0}, {0, 1000, 0});
  auto out = nimbrel_test::makeCloud({{1, 2, 3}});
  EXPECT_THROW(deal.upSampleMesh(huge, out), std::overflow_error);
  EXPECT_EQ(out->size(), 1u);
  try {
    deal.upSampleMesh(huge, out);
  } catch (const std::overflow_error& e) {
    EXPECT_STREQ(e.what(), "double value is out of int range");
  }
  // An infinite area still throws.
  const float inf = std::numeric_limits<float>::infinity();
  pcl::PolygonMesh infinite = nimbrel_test::makeTriangle({0, 0, 0}, {inf, 0, 0}, {0, 1, 1});
  EXPECT_THROW(deal.upSampleMesh(infinite, out), std::overflow_error);
  EXPECT_EQ(out->size(), 1u);

  // A NaN corner gives a NaN area: that triangle gets no samples, the others theirs.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  pcl::PolygonMesh withNaN = nimbrel_test::makeMesh(
      {{0, 0, 0}, {nan, 0, 0}, {0, 1, 0}, {0.1f, 0, 0}, {0, 0.02f, 0}}, {{0, 1, 2}, {0, 3, 4}});
  auto nanOut = nimbrel_test::makeCloud({});
  ASSERT_EQ(deal.upSampleMesh(withNaN, nanOut), 0);
  EXPECT_EQ(nanOut->size(), 5u + 40u);

  // Invalid faces (short, out of range, negative) are skipped; the valid one is sampled.
  pcl::PolygonMesh invalid = nimbrel_test::makeTriangle({0, 0, 0}, {0.1f, 0, 0}, {0, 0.02f, 0});
  pcl::Vertices shortFace, farFace, negativeFace;
  shortFace.vertices = {0, 1};
  farFace.vertices = {0, 1, 3};
  negativeFace.vertices = {0, -1, 2};
  invalid.polygons.insert(invalid.polygons.begin(), {shortFace, farFace, negativeFace});
  auto invalidOut = nimbrel_test::makeCloud({});
  ASSERT_EQ(deal.upSampleMesh(invalid, invalidOut), 0);
  EXPECT_EQ(invalidOut->size(), 3u + 40u);
}

TEST(HullsSampling, ConvexHullCodes) {
  nimbrel_arm_util::PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> hulls(1);
  std::vector<pcl::PolygonMesh> empty;
  EXPECT_EQ(deal.convertToConvexHull(empty, hulls), -1);
  EXPECT_EQ(hulls.size(), 1u);

  std::vector<pcl::PolygonMesh> three = {nimbrel_test::makeTriangle({0, 0, 0}, {1, 0, 0}, {0, 1, 0})};
  EXPECT_EQ(deal.convertToConvexHull(three, hulls), -2);
  EXPECT_EQ(hulls.size(), 1u);

  // The hull before the failing mesh stays appended.
  std::vector<pcl::PolygonMesh> mixed = {nimbrel_test::makeTetrahedron(), three[0]};
  EXPECT_EQ(deal.convertToConvexHull(mixed, hulls), -2);
  ASSERT_EQ(hulls.size(), 2u);
  EXPECT_EQ(nimbrel_test::meshVertices(hulls[1])->size(), 4u);
}

TEST(HullsSampling, ConvexHullRefusesFlatAndDegenerateMeshes) {
  // Enough vertices, but no volume: a flat square, points on a line, one point repeated. Each has no hull
  // with faces and gives -3; the hulls before it stay appended, as with -2.
  const pcl::PolygonMesh square =
      nimbrel_test::makeMesh({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, 2, 3}});
  const pcl::PolygonMesh line =
      nimbrel_test::makeMesh({{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {0.5f, 0.5f, 0.5f}}, {});
  const pcl::PolygonMesh repeated = nimbrel_test::makeMesh({{1, 2, 3}, {1, 2, 3}, {1, 2, 3}, {1, 2, 3}}, {});
  nimbrel_arm_util::PointCloudsDeal deal;
  for (const pcl::PolygonMesh& flat : {square, line, repeated}) {
    std::vector<pcl::PolygonMesh> meshes = {nimbrel_test::makeTetrahedron(), flat,
                                            nimbrel_test::makeTetrahedron()};
    std::vector<pcl::PolygonMesh> hulls;
    EXPECT_EQ(deal.convertToConvexHull(meshes, hulls), -3);
    ASSERT_EQ(hulls.size(), 1u);
    EXPECT_EQ(hulls[0].polygons.size(), 4u);
  }
}

TEST(HullsSampling, ConvexHullGeometry) {
  nimbrel_arm_util::PointCloudsDeal deal;
  // A cube with interior points: the hull keeps the 8 corners and encloses volume 1.
  pcl::PolygonMesh cube = nimbrel_test::makeCube();
  {
    auto cloud = nimbrel_test::meshVertices(cube);
    auto extra = nimbrel_test::makeRandomCloud(50, {0.1f, 0.1f, 0.1f}, {0.9f, 0.9f, 0.9f}, 3);
    *cloud += *extra;
    pcl::toPCLPointCloud2(*cloud, cube.cloud);
  }
  std::vector<pcl::PolygonMesh> meshes = {nimbrel_test::makeTetrahedron(), cube,
                                          nimbrel_test::makeIcosphere(3, 0.5f, {1, 2, 3})};
  std::vector<pcl::PolygonMesh> hulls;
  ASSERT_EQ(deal.convertToConvexHull(meshes, hulls), 0);
  ASSERT_EQ(hulls.size(), 3u);

  EXPECT_EQ(nimbrel_test::meshVertices(hulls[0])->size(), 4u);
  EXPECT_EQ(hulls[0].polygons.size(), 4u);
  EXPECT_NEAR(convexVolume(hulls[0]), 1.0 / 6.0, 1e-6);

  EXPECT_EQ(nimbrel_test::meshVertices(hulls[1])->size(), 8u);
  EXPECT_NEAR(convexVolume(hulls[1]), 1.0, 1e-5);

  // The icosphere's vertices lie on the sphere: the hull is an inscribed polyhedron a little smaller than
  // the ball (642 vertices: within 2%).
  const double ball = 4.0 / 3.0 * kPi * 0.125;
  const double volume = convexVolume(hulls[2]);
  EXPECT_LT(volume, ball);
  EXPECT_GT(volume, 0.98 * ball);
  EXPECT_EQ(nimbrel_test::meshVertices(hulls[2])->size(), 642u);
}

TEST(HullsSampling, ConvexHullFacesPointOutward) {
  // Planners and physics engines read a face's corner order as its outside: every normal must point away
  // from the hull's interior (qhull alone turns about half of them inward).
  nimbrel_arm_util::PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = {nimbrel_test::makeIcosphere(3, 0.5f, {1, 2, 3})};
  std::vector<pcl::PolygonMesh> hulls;
  ASSERT_EQ(deal.convertToConvexHull(meshes, hulls), 0);
  ASSERT_EQ(hulls.size(), 1u);
  const auto points = nimbrel_test::meshVertices(hulls[0]);
  Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
  for (const pcl::PointXYZ& p : points->points) centroid += p.getVector3fMap().cast<double>();
  centroid /= static_cast<double>(points->size());
  ASSERT_GT(hulls[0].polygons.size(), 1000u);
  std::size_t inward = 0;
  for (const pcl::Vertices& face : hulls[0].polygons) {
    const Eigen::Vector3d a = points->points[face.vertices[0]].getVector3fMap().cast<double>();
    const Eigen::Vector3d b = points->points[face.vertices[1]].getVector3fMap().cast<double>();
    const Eigen::Vector3d c = points->points[face.vertices[2]].getVector3fMap().cast<double>();
    if (!((b - a).cross(c - a).dot((a + b + c) / 3.0 - centroid) > 0.0)) ++inward;
  }
  EXPECT_EQ(inward, 0u);
}
