#include <gtest/gtest.h>
#include <pcl/conversions.h>
#include <pcl/search/kdtree.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

namespace {

using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_test::Cloud;
using nimbrel_test::CloudPtr;

constexpr double kNearSurface = 0.08;

void append(Cloud& to, const Cloud& from) {
  for (const pcl::PointXYZ& p : from.points) to.push_back(p);
}

// Every combination of the given coordinates: on a cube's corners, edges, faces and centre.
CloudPtr lattice(const std::vector<float>& values) {
  CloudPtr cloud(new Cloud);
  for (float x : values) {
    for (float y : values) {
      for (float z : values) cloud->push_back(pcl::PointXYZ(x, y, z));
    }
  }
  return cloud;
}

// Same coordinate, NaN matching NaN.
bool same(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

void expectSamePoints(const Cloud& expected, const Cloud& actual) {
  ASSERT_EQ(expected.points.size(), actual.points.size());
  for (std::size_t i = 0; i < expected.points.size(); ++i) {
    const pcl::PointXYZ& e = expected.points[i];
    const pcl::PointXYZ& a = actual.points[i];
    EXPECT_TRUE(same(e.x, a.x) && same(e.y, a.y) && same(e.z, a.z))
        << "point " << i << ": expected " << e << ", got " << a;
  }
}

// The plain removal as the point-by-point inside test defines it.
Cloud keptPointByPoint(PointCloudsDeal& deal, const Cloud& in, std::vector<pcl::PolygonMesh>& meshes) {
  Cloud kept;
  for (const pcl::PointXYZ& p : in.points) {
    if (!deal.isPointInsideMeshs(p, meshes)) kept.points.push_back(p);
  }
  return kept;
}

// The fast removal as one kd-tree per surface cloud and one isPointNearObj query per point defines it.
Cloud keptByKdTree(PointCloudsDeal& deal, const Cloud& in, const std::vector<CloudPtr>& surfaces) {
  std::vector<pcl::search::KdTree<pcl::PointXYZ>::Ptr> trees;
  for (const CloudPtr& surface : surfaces) {
    trees.emplace_back(new pcl::search::KdTree<pcl::PointXYZ>(true));
    trees.back()->setInputCloud(surface);
  }
  Cloud kept;
  for (pcl::PointXYZ p : in.points) {
    bool near = false;
    for (const auto& tree : trees) near = near || deal.isPointNearObj(p, tree, kNearSurface);
    if (!near) kept.points.push_back(p);
  }
  return kept;
}

// A cloud that the removal must leave alone on refusal, with a header, layout and pose of its own.
CloudPtr markedCloud() {
  CloudPtr cloud = nimbrel_test::makeCloud({{9, 9, 9}, {8, 8, 8}});
  cloud->header.frame_id = "camera";
  cloud->header.stamp = 42;
  cloud->is_dense = false;
  cloud->sensor_origin_ = Eigen::Vector4f(1, 2, 3, 0);
  return cloud;
}

// `dense`: the density flag expected, the marked cloud's own (false) unless the removal kept only finite
// points.
void expectMarks(const Cloud& cloud, bool dense = false) {
  EXPECT_EQ(cloud.header.frame_id, "camera");
  EXPECT_EQ(cloud.header.stamp, 42u);
  EXPECT_EQ(cloud.is_dense, dense);
  EXPECT_EQ(cloud.sensor_origin_, Eigen::Vector4f(1, 2, 3, 0));
}

TEST(MeshRemoval, PreparedMatchesPointByPointOnCubesBoxAndSphere) {
  PointCloudsDeal deal;
  std::vector<std::vector<pcl::PolygonMesh>> cases = {
      {nimbrel_test::makeCube(nimbrel_test::Diagonal::kMain)},
      {nimbrel_test::makeCube(nimbrel_test::Diagonal::kAnti)},
      {nimbrel_test::makeBox(Eigen::Vector3f(0.2f, -0.1f, 0.3f), Eigen::Vector3f(0.4f, 0.3f, 0.2f))},
      {nimbrel_test::makeIcosphere(3, 0.3f, Eigen::Vector3f(0.1f, 0.2f, -0.1f))},
  };
  for (std::size_t c = 0; c < cases.size(); ++c) {
    SCOPED_TRACE("mesh " + std::to_string(c));
    std::vector<pcl::PolygonMesh>& meshes = cases[c];
    CloudPtr in = nimbrel_test::makeSceneAround(meshes[0], 2500, 0.1f, 0.08f, 100 + static_cast<unsigned>(c));
    append(*in, *nimbrel_test::meshFeaturePoints(meshes[0]));
    if (c < 2) append(*in, *lattice({-0.5f, 0.0f, 0.25f, 0.5f, 0.75f, 1.0f, 1.5f}));
    CloudPtr out(new Cloud);
    ASSERT_EQ(deal.removePointsFromMeshs(in, meshes, out), 0);
    const Cloud expected = keptPointByPoint(deal, *in, meshes);
    expectSamePoints(expected, *out);
    // The scenes must exercise both answers.
    EXPECT_GT(out->points.size(), 200u);
    EXPECT_LT(out->points.size() + 200u, in->points.size());
  }
}

TEST(MeshRemoval, PreparedMatchesPointByPointOverSeveralMeshes) {
  PointCloudsDeal deal;
  // A mesh of two vertices and an invalid face first: it is skipped, not a reason to stop.
  std::vector<pcl::PolygonMesh> meshes = {
      nimbrel_test::makeMesh({{0, 0, 0}, {1, 0, 0}}, {{0, 1, 5}}),
      nimbrel_test::makeCube(nimbrel_test::Diagonal::kAnti, 0.5f, Eigen::Vector3f(-1.0f, 0.0f, 0.0f)),
      nimbrel_test::makeIcosphere(2, 0.25f, Eigen::Vector3f(0.5f, 0.25f, 0.25f)),
      nimbrel_test::makeTriangle({0, 1, 0}, {1, 1, 0}, {0, 1, 1}),
  };
  CloudPtr in = nimbrel_test::makeRandomCloud(3000, {-1.2f, -0.2f, -0.2f}, {1.2f, 1.2f, 1.2f}, 5);
  for (std::size_t m = 1; m < meshes.size(); ++m) append(*in, *nimbrel_test::meshFeaturePoints(meshes[m]));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  append(*in, *nimbrel_test::makeCloud(
                  {{nan, nan, nan}, {0.5f, nan, 0.25f}, {-inf, 0.25f, 0.25f}, {0.5f, inf, 0}}));
  CloudPtr out(new Cloud);
  testing::internal::CaptureStdout();
  ASSERT_EQ(deal.removePointsFromMeshs(in, meshes, out), 0);
  // The unusable mesh is reported once per call, not once per point.
  const std::string log = testing::internal::GetCapturedStdout();
  const std::string message = "mesh points size <3 ERROR";
  ASSERT_NE(log.find(message), std::string::npos) << log;
  EXPECT_EQ(log.find(message, log.find(message) + 1), std::string::npos) << log;
  expectSamePoints(keptPointByPoint(deal, *in, meshes), *out);
}

// Object meshes as CAD exports, scans and convex decompositions give them; the vial lying along x has
// `vialSegments` * 78 thin faces.
std::vector<pcl::PolygonMesh> objectMeshes(int vialSegments) {
  return {
      nimbrel_test::unweld(nimbrel_test::makeBox({0.1f, 0.2f, 0.3f}, {0.2f, 0.2f, 0.2f})),
      nimbrel_test::makeBottle(vialSegments, 40, 0.02f, {0.5f, 0.0f, 0.0f}, 0),
      nimbrel_test::makeFanCappedCylinder(128, 0.1f, 0.6f, {0.0f, 0.6f, 0.1f}),
      nimbrel_test::joinMeshes({nimbrel_test::makeBox({0.6f, 0.6f, 0.1f}, {0.3f, 0.2f, 0.2f}),
                                nimbrel_test::makeBox({0.7f, 0.65f, 0.15f}, {0.3f, 0.2f, 0.2f})}),
      nimbrel_test::makePipe(64, 0.05f, 0.04f, 0.3f, {-0.4f, 0.0f, 0.2f}),
  };
}

TEST(MeshRemoval, PlainRemovalHoldsOnObjectMeshes) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = objectMeshes(256);
  // 3 cm above the centre of each face of a 20 cm cube whose faces share no vertex: all belong to it.
  std::vector<Eigen::Vector3f> claimed;
  for (int a = 0; a < 3; ++a) {
    for (const float side : {-1.0f, 1.0f}) {
      Eigen::Vector3f p(0.1f, 0.2f, 0.3f);
      p[a] += side * 0.13f;
      claimed.push_back(p);
    }
  }
  // Deep in the overlap of the two boxes written as one mesh (over 5 cm from every face), and in each
  // box alone.
  claimed.insert(claimed.end(), {{0.65f, 0.64f, 0.13f}, {0.5f, 0.55f, 0.1f}, {0.8f, 0.7f, 0.2f}});
  // Inside the fan-capped cylinder, near its axis and near the rim.
  claimed.insert(claimed.end(), {{0.05f, 0.6f, 0.1f}, {-0.28f, 0.61f, 0.12f}, {0.2f, 0.55f, 0.17f}});
  // 10 to 30 cm before and beyond a 2 cm vial lying along x, made of 20,000 thin faces: the +x ray
  // enters through the bottom and leaves through the shoulder's slivers.
  std::vector<Eigen::Vector3f> kept;
  for (const float d : {0.1f, 0.2f, 0.3f}) {
    for (const float r : {0.003f, 0.004f, 0.005f}) {
      kept.insert(kept.end(), {{0.5f - d, r, 0.0f}, {0.5f - d, -0.6f * r, 0.8f * r}, {0.52f + d, 0.0f, r}});
    }
  }
  // 10 cm or more beside, above and beyond the pipe.
  kept.insert(kept.end(), {{-0.25f, 0.0f, 0.2f}, {-0.4f, 0.0f, 0.36f}, {-0.4f, 0.26f, 0.2f}});
  CloudPtr in = nimbrel_test::makeCloud(claimed);
  append(*in, *nimbrel_test::makeCloud(kept));
  CloudPtr out(new Cloud);
  ASSERT_EQ(deal.removePointsFromMeshs(in, meshes, out), 0);
  expectSamePoints(*nimbrel_test::makeCloud(kept), *out);
  expectSamePoints(keptPointByPoint(deal, *in, meshes), *out);
}

TEST(MeshRemoval, PreparedMatchesPointByPointOnObjectMeshes) {
  PointCloudsDeal deal;
  // A coarser vial keeps the point-by-point reference affordable in sanitizer builds.
  std::vector<pcl::PolygonMesh> all = objectMeshes(48);
  for (std::size_t c = 0; c < all.size(); ++c) {
    SCOPED_TRACE("mesh " + std::to_string(c));
    std::vector<pcl::PolygonMesh> meshes = {all[c]};
    CloudPtr in = nimbrel_test::makeSceneAround(meshes[0], 600, 0.1f, 0.08f, 200 + static_cast<unsigned>(c));
    CloudPtr features = nimbrel_test::meshFeaturePoints(meshes[0]);
    for (std::size_t i = 0; i < features->size(); i += 1 + features->size() / 300)
      in->push_back((*features)[i]);
    CloudPtr out(new Cloud);
    ASSERT_EQ(deal.removePointsFromMeshs(in, meshes, out), 0);
    expectSamePoints(keptPointByPoint(deal, *in, meshes), *out);
    EXPECT_GT(out->points.size(), 50u);
    EXPECT_LT(out->points.size() + 50u, in->points.size());
  }
}

TEST(MeshRemoval, OpenMeshesCutTheirInsideOnly) {
  // A 15 cm scan open at its base and a CAD link without its base: points metres away, outside their boxes,
  // stay; points deep inside (over 5 cm from every face) go; the prepared removal answers as point by point.
  PointCloudsDeal deal;
  const Eigen::Vector3f centre(0.5f, 0.2f, 0.15f);
  std::vector<pcl::PolygonMesh> meshes = {
      nimbrel_test::removeFacesBelow(nimbrel_test::makeIcosphere(3, 0.075f, centre), 2, centre.z() - 0.06f),
      nimbrel_test::removeFacesBelow(nimbrel_test::makeBottle(32, 16, 0.4f, {-0.5f, 0.0f, 0.0f}), 2, 1e-4f)};
  const std::vector<Eigen::Vector3f> far = {{-2.4f, 0.2f, 0.15f}, {0.5f, 0.2f, -0.75f}, {1.4f, 0.2f, 0.16f},
                                            {-0.5f, 0.0f, -0.9f}, {-0.5f, 0.0f, 2.9f},  {-3.4f, 0.0f, 0.1f}};
  const std::vector<Eigen::Vector3f> deep = {{0.5f, 0.2f, 0.15f}, {-0.5f, 0.0f, 0.03f}, {-0.5f, 0.0f, 0.2f}};
  CloudPtr in = nimbrel_test::makeCloud(far);
  append(*in, *nimbrel_test::makeCloud(deep));
  CloudPtr out(new Cloud);
  ASSERT_EQ(deal.removePointsFromMeshs(in, meshes, out), 0);
  expectSamePoints(*nimbrel_test::makeCloud(far), *out);
  // Wound the other way, the same meshes cut the same points.
  std::vector<pcl::PolygonMesh> flipped;
  for (const pcl::PolygonMesh& mesh : meshes) flipped.push_back(nimbrel_test::flipFaces(mesh));
  CloudPtr outFlipped(new Cloud);
  ASSERT_EQ(deal.removePointsFromMeshs(in, flipped, outFlipped), 0);
  expectSamePoints(*out, *outFlipped);
  for (std::size_t c = 0; c < meshes.size(); ++c) {
    CloudPtr scene =
        nimbrel_test::makeSceneAround(meshes[c], 1500, 0.3f, 0.08f, 70 + static_cast<unsigned>(c));
    ASSERT_EQ(deal.removePointsFromMeshs(scene, meshes, out), 0);
    expectSamePoints(keptPointByPoint(deal, *scene, meshes), *out);
    ASSERT_EQ(deal.removePointsFromMeshs(scene, flipped, outFlipped), 0);
    expectSamePoints(*out, *outFlipped);
  }
}

TEST(MeshRemoval, PlainRemovalKeepsOrderAndEverythingWithoutMeshes) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> none;
  CloudPtr in = nimbrel_test::makeRandomCloud(50, {-1, -1, -1}, {1, 1, 1});
  CloudPtr out = markedCloud();
  ASSERT_EQ(deal.removePointsFromMeshs(in, none, out), 0);
  expectSamePoints(*in, *out);
  EXPECT_EQ(out->width, 50u);
  EXPECT_EQ(out->height, 1u);
  expectMarks(*out, true);

  // The cube's inside and its 0.05 skin go; the rest stays in order.
  std::vector<pcl::PolygonMesh> cube = {nimbrel_test::makeCube()};
  in = nimbrel_test::makeCloud(
      {{2, 0, 0}, {0.5f, 0.5f, 0.5f}, {1.04f, 0.5f, 0.5f}, {-1, 0, 0}, {1.06f, 0.5f, 0.5f}});
  ASSERT_EQ(deal.removePointsFromMeshs(in, cube, out), 0);
  expectSamePoints(*nimbrel_test::makeCloud({{2, 0, 0}, {-1, 0, 0}, {1.06f, 0.5f, 0.5f}}), *out);
  EXPECT_EQ(out->width, 3u);
  EXPECT_EQ(out->height, 1u);
  expectMarks(*out, true);
}

TEST(MeshRemoval, FastMatchesKdTreeOnDeterministicSurfaces) {
  PointCloudsDeal deal;
  // Surfaces whose triangles are all too small to be sampled, and a bare vertex cloud: up-sampling then
  // yields the vertices alone, so a kd-tree over them is the exact reference.
  pcl::PolygonMesh sphere = nimbrel_test::makeIcosphere(4, 0.06f, Eigen::Vector3f(0.3f, 0.0f, 0.1f));
  CloudPtr scattered = nimbrel_test::makeRandomCloud(1500, {-0.5f, -0.5f, -0.5f}, {0.5f, 0.5f, 0.5f}, 3);
  // A stray vertex far away spreads the samples over a volume far too large for a dense grid of cells.
  scattered->push_back(pcl::PointXYZ(30.0f, -30.0f, 30.0f));
  pcl::PolygonMesh bare;
  pcl::toPCLPointCloud2(*scattered, bare.cloud);
  std::vector<pcl::PolygonMesh> meshes = {sphere, bare};
  const std::vector<CloudPtr> surfaces = {nimbrel_test::meshVertices(sphere), scattered};

  CloudPtr in = nimbrel_test::makeRandomCloud(4000, {-0.7f, -0.7f, -0.7f}, {0.7f, 0.7f, 0.7f}, 4);
  append(*in, *nimbrel_test::makeRandomCloud(200, {29.9f, -30.1f, 29.9f}, {30.1f, -29.9f, 30.1f}, 6));
  // Points whose float squared distance to a surface point straddles the near distance²: consecutive
  // floats around the near distance away along each axis (the float differences are then exact).
  const float d = static_cast<float>(kNearSurface);
  for (std::size_t i = 0; i < scattered->points.size(); i += 5) {
    const pcl::PointXYZ& s = scattered->points[i];
    float x = s.x + d, y = s.y - d, z = s.z + d;
    for (int k = 0; k < 3; ++k) {
      x = std::nextafter(x, -1.0f);
      y = std::nextafter(y, 1.0f);
      z = std::nextafter(z, -1.0f);
    }
    for (int k = 0; k < 7; ++k) {
      in->push_back(pcl::PointXYZ(x, s.y, s.z));
      in->push_back(pcl::PointXYZ(s.x, y, s.z));
      in->push_back(pcl::PointXYZ(s.x, s.y, z));
      x = std::nextafter(x, 1.0f);
      y = std::nextafter(y, -1.0f);
      z = std::nextafter(z, 1.0f);
    }
  }
  CloudPtr out(new Cloud);
  ASSERT_EQ(deal.fastRemovePointsFromMeshs(in, meshes, out), 0);
  const Cloud expected = keptByKdTree(deal, *in, surfaces);
  expectSamePoints(expected, *out);
  EXPECT_GT(out->points.size(), in->points.size() / 10);
  EXPECT_LT(out->points.size(), in->points.size() * 9 / 10);
}

TEST(MeshRemoval, FastRemovesTheSurfaceSkinNotTheInside) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = {nimbrel_test::makeCube()};
  // Centre and a point 0.2 from every face stay; points 0.05 from a face, inside or out, go.
  CloudPtr in = nimbrel_test::makeCloud({{0.5f, 0.5f, 0.5f},
                                         {0.5f, 0.5f, 1.05f},
                                         {0.3f, 0.6f, 0.5f},
                                         {0.5f, 0.5f, 0.95f},
                                         {-0.2f, 0.5f, 0.5f},
                                         {0.5f, -0.05f, 0.4f}});
  CloudPtr out = markedCloud();
  ASSERT_EQ(deal.fastRemovePointsFromMeshs(in, meshes, out), 0);
  expectSamePoints(*nimbrel_test::makeCloud({{0.5f, 0.5f, 0.5f}, {0.3f, 0.6f, 0.5f}, {-0.2f, 0.5f, 0.5f}}),
                   *out);
  EXPECT_EQ(out->width, 3u);
  EXPECT_EQ(out->height, 1u);
  expectMarks(*out, true);

  // One triangle of area 0.001 gives 3 vertices and 40 samples: enough for a surface.
  std::vector<pcl::PolygonMesh> small = {nimbrel_test::makeTriangle({0, 0, 0}, {0.05f, 0, 0}, {0, 0.04f, 0})};
  EXPECT_EQ(deal.fastRemovePointsFromMeshs(in, small, out), 0);
}

TEST(MeshRemoval, FastHoldsWhenAMeshSpreadsFar) {
  // One mesh of two small triangles a thousand kilometres apart: the surface grid must hash its cells, and
  // a query by the far one must not compute a dense table's cell index (it overflows).
  PointCloudsDeal deal;
  const float far = 1.0e6f;
  std::vector<pcl::PolygonMesh> meshes = {nimbrel_test::makeMesh({{0, 0, 0},
                                                                  {0.5f, 0, 0},
                                                                  {0, 0.5f, 0},
                                                                  {far, far, far},
                                                                  {far + 0.5f, far, far},
                                                                  {far, far + 0.5f, far}},
                                                                 {{0, 1, 2}, {3, 4, 5}})};
  CloudPtr in =
      nimbrel_test::makeCloud({{far, far, far}, {0.1f, 0.1f, 0.0f}, {far, far, far + 2.0f}, {0, 0, 2}});
  CloudPtr out(new Cloud);
  ASSERT_EQ(deal.fastRemovePointsFromMeshs(in, meshes, out), 0);
  expectSamePoints(*nimbrel_test::makeCloud({{far, far, far + 2.0f}, {0, 0, 2}}), *out);
}

TEST(MeshRemoval, FastKeepsNonFinitePoints) {
  // A kd-tree query with a non-finite point aborts in PCL builds with assertions; here such a point is
  // near nothing and stays, as in the plain removal.
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = {nimbrel_test::makeCube()};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  CloudPtr in =
      nimbrel_test::makeCloud({{nan, nan, nan}, {0.5f, 0.5f, 1.01f}, {inf, 0.5f, 0.5f}, {0.5f, nan, 0.5f}});
  CloudPtr out(new Cloud);
  ASSERT_EQ(deal.fastRemovePointsFromMeshs(in, meshes, out), 0);
  ASSERT_EQ(out->points.size(), 3u);
  EXPECT_TRUE(std::isnan(out->points[0].x));
  EXPECT_TRUE(std::isinf(out->points[1].x));
  EXPECT_TRUE(std::isnan(out->points[2].y));
}

// Both removals flag their result dense exactly when every kept point is finite. A non-finite point is
// inside no mesh and near no surface, so it stays; a cloud whose only finite points stay comes out dense
// whatever `out` was flagged. Into another cloud and in place.
TEST(MeshRemoval, KeepsIsDenseHonest) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = {nimbrel_test::makeCube()};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (bool fast : {false, true}) {
    for (bool inPlace : {false, true}) {
      SCOPED_TRACE(std::string(fast ? "fast" : "plain") + (inPlace ? ", in place" : ""));
      const auto cut = [&](const std::vector<Eigen::Vector3f>& points, bool flag) {
        CloudPtr in = nimbrel_test::makeCloud(points);
        CloudPtr out = inPlace ? in : markedCloud();
        in->is_dense = flag;
        out->is_dense = flag;
        EXPECT_EQ(fast ? deal.fastRemovePointsFromMeshs(in, meshes, out)
                       : deal.removePointsFromMeshs(in, meshes, out),
                  0);
        return out;
      };
      // The point 0.02 above the top face goes in both removals.
      CloudPtr out = cut({{2, 0, 0}, {0.5f, 0.5f, 1.02f}}, false);
      ASSERT_EQ(out->points.size(), 1u);
      EXPECT_TRUE(out->is_dense);
      out = cut({{2, 0, 0}, {0.5f, 0.5f, 1.02f}, {inf, 0.5f, 0.5f}}, true);
      ASSERT_EQ(out->points.size(), 2u);
      EXPECT_FALSE(out->is_dense);
      out = cut({{0.5f, nan, 0.5f}, {2, 0, 0}}, true);
      ASSERT_EQ(out->points.size(), 2u);
      EXPECT_FALSE(out->is_dense);
    }
  }
}

TEST(MeshRemoval, RefusalsLeaveOutUntouched) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> cube = {nimbrel_test::makeCube()};
  std::vector<pcl::PolygonMesh> none;
  // Three vertices and a triangle too small to sample, behind a good mesh: refused before `out` changes.
  std::vector<pcl::PolygonMesh> tooSmall = {
      nimbrel_test::makeCube(), nimbrel_test::makeTriangle({0, 0, 0}, {0.001f, 0, 0}, {0, 0.002f, 0})};
  CloudPtr empty(new Cloud);
  CloudPtr in = nimbrel_test::makeCloud({{0.5f, 0.5f, 0.5f}, {3, 3, 3}});
  struct Case {
    int expected;
    std::string message;
    int (PointCloudsDeal::*method)(PointCloudsDeal::CloudPtr, std::vector<pcl::PolygonMesh>&,
                                   PointCloudsDeal::CloudPtr);
    CloudPtr in;
    std::vector<pcl::PolygonMesh>* meshes;
  };
  const std::vector<Case> cases = {
      {-1, "removePointsFromMesh in->points.size()<=0 ERROR!", &PointCloudsDeal::removePointsFromMeshs, empty,
       &cube},
      {-1, "removePointsFromMesh in->points.size()<=0 ERROR!", &PointCloudsDeal::fastRemovePointsFromMeshs,
       empty, &cube},
      {-2, "removePointsFromMeshes size==0 ERROR!", &PointCloudsDeal::fastRemovePointsFromMeshs, in, &none},
      {-3, "removePointsFromMesh mesh.cloud.points.size()<=3 ERROR!",
       &PointCloudsDeal::fastRemovePointsFromMeshs, in, &tooSmall},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    CloudPtr out = markedCloud();
    testing::internal::CaptureStdout();
    const int result = (deal.*c.method)(c.in, *c.meshes, out);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, c.expected);
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    expectSamePoints(*markedCloud(), *out);
    EXPECT_EQ(out->width, 2u);
    EXPECT_EQ(out->height, 1u);
    expectMarks(*out);
  }
}

TEST(MeshRemoval, InPlaceFiltersTheCloudItself) {
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = {nimbrel_test::makeBox({0, 0, 0}, {0.5f, 0.5f, 0.5f})};
  const CloudPtr scene = nimbrel_test::makeSceneAround(meshes[0], 3000, 0.3f, 0.15f, 9);
  using Method = int (PointCloudsDeal::*)(PointCloudsDeal::CloudPtr, std::vector<pcl::PolygonMesh>&,
                                          PointCloudsDeal::CloudPtr);
  // The plain removal is deterministic: compare with a separate output. The fast one samples at random,
  // so compare only what no sampling can change: the points far from the surface band.
  for (const Method method : {Method(&PointCloudsDeal::removePointsFromMeshs)}) {
    CloudPtr separate(new Cloud);
    ASSERT_EQ((deal.*method)(scene, meshes, separate), 0);
    CloudPtr cloud(new Cloud(*scene));
    cloud->header.frame_id = "camera";
    ASSERT_EQ((deal.*method)(cloud, meshes, cloud), 0);
    expectSamePoints(*separate, *cloud);
    EXPECT_EQ(cloud->width, separate->points.size());
    EXPECT_EQ(cloud->height, 1u);
    EXPECT_EQ(cloud->header.frame_id, "camera");
  }
  CloudPtr cloud = nimbrel_test::makeCloud({{0, 0, 0}, {0, 0, 0.26f}, {1, 1, 1}, {0.3f, 0, 0}, {-1, 0, 0}});
  ASSERT_EQ(deal.fastRemovePointsFromMeshs(cloud, meshes, cloud), 0);
  expectSamePoints(*nimbrel_test::makeCloud({{0, 0, 0}, {1, 1, 1}, {-1, 0, 0}}), *cloud);
  EXPECT_EQ(cloud->width, 3u);
  EXPECT_EQ(cloud->height, 1u);
}

}  // namespace
