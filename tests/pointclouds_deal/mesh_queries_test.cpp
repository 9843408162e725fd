#include <gtest/gtest.h>
#include <pcl/conversions.h>
#include <pcl/search/kdtree.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "engines/mesh_geometry.hpp"
#include "engines/mesh_index.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

using nimbrel_test::Diagonal;

namespace {

constexpr double kTol = 1e-6;
constexpr double kMaxDouble = std::numeric_limits<double>::max();

pcl::Vertices face(std::initializer_list<int> indices) {
  pcl::Vertices f;
  f.vertices.assign(indices.begin(), indices.end());
  return f;
}

// Unit right triangle in the z = 0 plane.
nimbrel_test::CloudPtr unitTriangle() { return nimbrel_test::makeCloud({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}); }

bool inside(const pcl::PolygonMesh& mesh, float x, float y, float z) {
  nimbrel_arm_util::PointCloudsDeal deal;
  return deal.isPointInsideMesh(pcl::PointXYZ(x, y, z), nimbrel_test::meshVertices(mesh), mesh.polygons);
}

}  // namespace

TEST(MeshQueries, RayHitsInteriorEdgesAndVerticesInFrontOnly) {
  nimbrel_arm_util::PointCloudsDeal deal;
  auto cloud = unitTriangle();
  const pcl::Vertices tri = face({0, 1, 2});
  const pcl::PointXYZ down(0, 0, -1);
  pcl::PointXYZ hit(9, 9, 9);
  ASSERT_TRUE(deal.rayIntersectsTriangle(cloud, pcl::PointXYZ(0.25f, 0.25f, 2), down, tri, hit));
  EXPECT_NEAR(hit.x, 0.25, kTol);
  EXPECT_NEAR(hit.y, 0.25, kTol);
  EXPECT_NEAR(hit.z, 0.0, kTol);
  // Edges and corners belong to the triangle.
  for (const pcl::PointXYZ& o :
       {pcl::PointXYZ(0.5f, 0, 1), pcl::PointXYZ(0, 0.5f, 1), pcl::PointXYZ(0.5f, 0.5f, 1),
        pcl::PointXYZ(0, 0, 1), pcl::PointXYZ(1, 0, 1), pcl::PointXYZ(0, 1, 1)}) {
    EXPECT_TRUE(deal.rayIntersectsTriangle(cloud, o, down, tri, hit)) << o;
  }
  EXPECT_FALSE(deal.rayIntersectsTriangle(cloud, pcl::PointXYZ(0.5f, -0.001f, 1), down, tri, hit));
  EXPECT_FALSE(deal.rayIntersectsTriangle(cloud, pcl::PointXYZ(0.6f, 0.6f, 1), down, tri, hit));
  // The triangle behind the origin, or at the origin itself, is no hit.
  hit = pcl::PointXYZ(7, 7, 7);
  EXPECT_FALSE(deal.rayIntersectsTriangle(cloud, pcl::PointXYZ(0.25f, 0.25f, -1), down, tri, hit));
  EXPECT_FALSE(deal.rayIntersectsTriangle(cloud, pcl::PointXYZ(0.25f, 0.25f, 0), down, tri, hit));
  EXPECT_EQ(hit.x, 7.0f);
  // A ray in the triangle's plane is parallel to it.
  EXPECT_FALSE(
      deal.rayIntersectsTriangle(cloud, pcl::PointXYZ(-1, 0.25f, 0), pcl::PointXYZ(1, 0, 0), tri, hit));
}

TEST(MeshQueries, RayParallelBoundIsOneTenMillionth) {
  // With this triangle and direction (0, 0, -k), the determinant a equals k (and -k for +k).
  nimbrel_arm_util::PointCloudsDeal deal;
  auto cloud = unitTriangle();
  const pcl::Vertices tri = face({0, 1, 2});
  pcl::PointXYZ hit;
  const float atBound = 1e-7f;  // the float nearest to 1e-7 lies just above it
  const float below = std::nextafter(atBound, 0.0f);
  ASSERT_GT(static_cast<double>(atBound), 1e-7);
  ASSERT_LT(static_cast<double>(below), 1e-7);
  EXPECT_TRUE(deal.rayIntersectsTriangle(cloud, pcl::PointXYZ(0.25f, 0.25f, 1), pcl::PointXYZ(0, 0, -atBound),
                                         tri, hit));
  EXPECT_NEAR(hit.z, 0.0, 1e-3);
  EXPECT_FALSE(deal.rayIntersectsTriangle(cloud, pcl::PointXYZ(0.25f, 0.25f, 1), pcl::PointXYZ(0, 0, -below),
                                          tri, hit));
  EXPECT_TRUE(deal.rayIntersectsTriangle(cloud, pcl::PointXYZ(0.25f, 0.25f, -1), pcl::PointXYZ(0, 0, atBound),
                                         tri, hit));
  EXPECT_FALSE(deal.rayIntersectsTriangle(cloud, pcl::PointXYZ(0.25f, 0.25f, -1), pcl::PointXYZ(0, 0, below),
                                          tri, hit));
}

TEST(MeshQueries, CubeParityOnEveryAxisWithEitherDiagonal) {
  for (Diagonal diagonal : {Diagonal::kMain, Diagonal::kAnti}) {
    const pcl::PolygonMesh cube = nimbrel_test::makeCube(diagonal);
    SCOPED_TRACE(diagonal == Diagonal::kMain ? "main diagonal" : "anti diagonal");
    EXPECT_TRUE(inside(cube, 0.5f, 0.3f, 0.2f));
    EXPECT_TRUE(inside(cube, 0.2f, 0.7f, 0.6f));
    // The centre's +x ray meets the x = 1 face where its two triangles meet (either diagonal).
    EXPECT_TRUE(inside(cube, 0.5f, 0.5f, 0.5f));
    EXPECT_TRUE(inside(cube, 0.5f, 0.4f, 0.4f));
    EXPECT_TRUE(inside(cube, 0.5f, 0.3f, 0.7f));
    // Outside beyond each of the six faces.
    EXPECT_FALSE(inside(cube, 1.5f, 0.3f, 0.2f));
    EXPECT_FALSE(inside(cube, -0.5f, 0.3f, 0.2f));
    EXPECT_FALSE(inside(cube, 0.3f, 1.5f, 0.2f));
    EXPECT_FALSE(inside(cube, 0.3f, -0.5f, 0.2f));
    EXPECT_FALSE(inside(cube, 0.3f, 0.2f, 1.5f));
    EXPECT_FALSE(inside(cube, 0.3f, 0.2f, -0.5f));
    // Outside points whose +x ray runs through a diagonal, along a face or along an edge.
    EXPECT_FALSE(inside(cube, -0.5f, 0.5f, 0.5f));
    EXPECT_FALSE(inside(cube, -0.5f, 0.0f, 0.5f));
    EXPECT_FALSE(inside(cube, -0.5f, 1.0f, 1.0f));
    EXPECT_FALSE(inside(cube, -0.5f, 0.0f, 0.0f));
    // A cube off the origin with an edge of 0.3: its centre still lies inside, whatever the rounding.
    const pcl::PolygonMesh small = nimbrel_test::makeCube(diagonal, 0.3f, Eigen::Vector3f(0.1f, 0.2f, 0.3f));
    EXPECT_TRUE(inside(small, 0.25f, 0.35f, 0.45f));
    EXPECT_FALSE(inside(small, 0.05f, 0.35f, 0.45f));
  }
}

TEST(MeshQueries, ParityOfTetrahedronAndIcosphere) {
  const pcl::PolygonMesh tetra = nimbrel_test::makeTetrahedron();
  EXPECT_TRUE(inside(tetra, 0.1f, 0.1f, 0.1f));
  EXPECT_FALSE(inside(tetra, 0.5f, 0.5f, 0.5f));
  EXPECT_FALSE(inside(tetra, -0.5f, 0.0f, 0.0f));  // +x ray through two vertices

  const pcl::PolygonMesh sphere = nimbrel_test::makeIcosphere(3);
  auto points = nimbrel_test::makeRandomCloud(400, {-1.3f, -1.3f, -1.3f}, {1.3f, 1.3f, 1.3f}, 11);
  int checked = 0;
  for (const pcl::PointXYZ& p : points->points) {
    const double r = p.getVector3fMap().norm();
    if (r < 0.95 || r > 1.0) {
      EXPECT_EQ(inside(sphere, p.x, p.y, p.z), r < 0.95) << p;
      ++checked;
    }
  }
  EXPECT_GT(checked, 350);
  // On the axes the +x ray runs through the sphere's vertices and edges.
  EXPECT_TRUE(inside(sphere, 0.0f, 0.0f, 0.0f));
  EXPECT_FALSE(inside(sphere, -2.0f, 0.0f, 0.0f));
}

TEST(MeshQueries, InvalidFacesAreSkipped) {
  nimbrel_arm_util::PointCloudsDeal deal;
  auto cloud = unitTriangle();
  pcl::PointXYZ hit;
  double dist = 42.0;
  for (const pcl::Vertices& bad : {face({0, 1}), face({0, 1, 3}), face({0, -1, 2}), face({})}) {
    EXPECT_FALSE(
        deal.rayIntersectsTriangle(cloud, pcl::PointXYZ(0.25f, 0.25f, 1), pcl::PointXYZ(0, 0, -1), bad, hit));
    EXPECT_EQ(deal.calMinDistToTriangle(cloud, pcl::PointXYZ(0, 0, 1), bad, dist), -1);
    EXPECT_EQ(dist, 42.0);
  }
  // Extra indices past the first three are ignored, even out-of-range ones.
  EXPECT_EQ(deal.calMinDistToTriangle(cloud, pcl::PointXYZ(0.2f, 0.2f, 1), face({0, 1, 2, 99}), dist), 0);
  EXPECT_NEAR(dist, 1.0, kTol);

  // A closed cube with invalid faces added answers as without them.
  pcl::PolygonMesh cube = nimbrel_test::makeCube();
  cube.polygons.push_back(face({0, 7, 100}));
  cube.polygons.push_back(face({-3, 1, 2}));
  cube.polygons.push_back(face({3, 4}));
  EXPECT_TRUE(inside(cube, 0.5f, 0.3f, 0.2f));
  EXPECT_TRUE(inside(cube, 0.5f, 0.5f, 0.5f));
  EXPECT_FALSE(inside(cube, -0.5f, 0.3f, 0.2f));
  // Invalid faces around the nearest vertex give no distance.
  pcl::PolygonMesh onlyBad = nimbrel_test::makeMesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 7}, {0, 1}});
  ASSERT_EQ(deal.findNearestTriangles(pcl::PointXYZ(0, 0, 0.01f), onlyBad, dist), 0);
  EXPECT_EQ(dist, kMaxDouble);
}

TEST(MeshQueries, DistanceIsToTheTriangleItself) {
  nimbrel_arm_util::PointCloudsDeal deal;
  auto cloud = unitTriangle();
  const pcl::Vertices tri = face({0, 1, 2});
  double dist = -1.0;
  struct Case {
    pcl::PointXYZ p;
    double expected;
  };
  const Case cases[] = {
      {{0.25f, 0.25f, 0.5f}, 0.5},                            // above the interior
      {{0.25f, 0.25f, -0.5f}, 0.5},                           // below it
      {{0.5f, -1.0f, 0.0f}, 1.0},                             // beyond edge y = 0, in the plane
      {{0.5f, -1.0f, 0.5f}, std::sqrt(1.25)},                 // beyond that edge, off the plane
      {{1.0f, 1.0f, 0.0f}, std::sqrt(0.5)},                   // beyond the long edge
      {{2.0f, -1.0f, 0.0f}, std::sqrt(2.0)},                  // beyond corner (1, 0, 0)
      {{-1.0f, -1.0f, 1.0f}, std::sqrt(3.0)},                 // beyond corner (0, 0, 0)
      {{5.0f, 5.0f, 0.5f}, std::sqrt(4.5 * 4.5 * 2 + 0.25)},  // far from the area, near the plane
  };
  for (const Case& c : cases) {
    ASSERT_EQ(deal.calMinDistToTriangle(cloud, c.p, tri, dist), 0);
    EXPECT_NEAR(dist, c.expected, kTol) << c.p;
  }
  // Degenerate triangles: collinear corners give the longest segment, coincident ones a point.
  auto line = nimbrel_test::makeCloud({{0, 0, 0}, {2, 0, 0}, {1, 0, 0}});
  ASSERT_EQ(deal.calMinDistToTriangle(line, pcl::PointXYZ(1, 1, 0), tri, dist), 0);
  EXPECT_NEAR(dist, 1.0, kTol);
  ASSERT_EQ(deal.calMinDistToTriangle(line, pcl::PointXYZ(3, 0, 0), tri, dist), 0);
  EXPECT_NEAR(dist, 1.0, kTol);
  auto dot = nimbrel_test::makeCloud({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}});
  ASSERT_EQ(deal.calMinDistToTriangle(dot, pcl::PointXYZ(1, 1, 3), tri, dist), 0);
  EXPECT_NEAR(dist, 2.0, kTol);
}

TEST(MeshQueries, NearestTrianglesCodes) {
  nimbrel_arm_util::PointCloudsDeal deal;
  double dist = 42.0;
  pcl::PolygonMesh two = nimbrel_test::makeMesh({{0, 0, 0}, {1, 0, 0}}, {{0, 1, 0}});
  EXPECT_EQ(deal.findNearestTriangles(pcl::PointXYZ(0, 0, 0), two, dist), -1);
  EXPECT_EQ(dist, 42.0);

  pcl::PolygonMesh tetra = nimbrel_test::makeTetrahedron();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(deal.findNearestTriangles(pcl::PointXYZ(nan, 0, 0), tetra, dist), -2);

  // Nearest vertex (0, 0, 0); of its three faces the bottom one is nearest.
  ASSERT_EQ(deal.findNearestTriangles(pcl::PointXYZ(0.1f, 0.1f, -0.3f), tetra, dist), 0);
  EXPECT_NEAR(dist, 0.3, kTol);

  // The nearest face of the whole mesh counts, not the faces around the nearest vertex: vertex 3 is
  // nearest and no face uses it.
  pcl::PolygonMesh loose = nimbrel_test::makeMesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {5, 5, 5}}, {{0, 1, 2}});
  ASSERT_EQ(deal.findNearestTriangles(pcl::PointXYZ(5, 5, 4), loose, dist), 0);
  EXPECT_NEAR(dist, std::sqrt(4.5 * 4.5 * 2 + 16.0), kTol);
  // Without a valid face the distance stays at the largest double.
  loose.polygons[0].vertices[2] = 9;
  ASSERT_EQ(deal.findNearestTriangles(pcl::PointXYZ(5, 5, 4), loose, dist), 0);
  EXPECT_EQ(dist, kMaxDouble);
}

TEST(MeshQueries, InsideOrNearAnyMesh) {
  nimbrel_arm_util::PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = {nimbrel_test::makeCube()};
  EXPECT_TRUE(deal.isPointInsideMeshs(pcl::PointXYZ(0.5f, 0.5f, 0.5f), meshes));
  // 0.049 and 0.051 above the top face, over the top faces' shared corner (0, 0, 1).
  EXPECT_TRUE(deal.isPointInsideMeshs(pcl::PointXYZ(0.3f, 0.2f, 1.049f), meshes));
  EXPECT_FALSE(deal.isPointInsideMeshs(pcl::PointXYZ(0.3f, 0.2f, 1.051f), meshes));
  // In the plane of the bottom face but 0.3 beside the cube: a table under a box stays in the scene.
  EXPECT_FALSE(deal.isPointInsideMeshs(pcl::PointXYZ(1.3f, 0.2f, 0.0f), meshes));
  EXPECT_FALSE(deal.isPointInsideMeshs(pcl::PointXYZ(3.0f, -2.0f, 0.0f), meshes));
  EXPECT_TRUE(deal.isPointInsideMeshs(pcl::PointXYZ(1.03f, 0.2f, 0.0f), meshes));

  std::vector<pcl::PolygonMesh> none;
  EXPECT_FALSE(deal.isPointInsideMeshs(pcl::PointXYZ(0.5f, 0.5f, 0.5f), none));

  // A degenerate first mesh is skipped; the cube after it still claims its points.
  std::vector<pcl::PolygonMesh> withBad = {nimbrel_test::makeMesh({{0, 0, 0}, {1, 0, 0}}, {}),
                                           nimbrel_test::makeCube(Diagonal::kAnti, 1.0f, {2, 0, 0})};
  EXPECT_TRUE(deal.isPointInsideMeshs(pcl::PointXYZ(2.5f, 0.3f, 0.2f), withBad));
  EXPECT_TRUE(deal.isPointInsideMeshs(pcl::PointXYZ(2.5f, 0.5f, 0.5f), withBad));
  EXPECT_FALSE(deal.isPointInsideMeshs(pcl::PointXYZ(1.5f, 0.5f, 0.5f), withBad));
}

TEST(MeshQueries, NearObjectIsStrictlyBelowThreshold) {
  nimbrel_arm_util::PointCloudsDeal deal;
  auto tree = std::make_shared<pcl::search::KdTree<pcl::PointXYZ>>(true);
  tree->setInputCloud(nimbrel_test::makeCloud({{0, 0, 0}, {1, 0, 0}}));
  pcl::PointXYZ p(0.5f, 0, 0);
  EXPECT_FALSE(deal.isPointNearObj(p, tree, 0.5));
  EXPECT_TRUE(deal.isPointNearObj(p, tree, 0.5001));
  pcl::PointXYZ q(0.9f, 0, 0);
  EXPECT_TRUE(deal.isPointNearObj(q, tree, 0.11));
  EXPECT_FALSE(deal.isPointNearObj(q, tree, 0.09));
  // A non-finite query would trip the search's assertion and end the process; it is near nothing.
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    pcl::PointXYZ r(bad, 0, 0);
    EXPECT_FALSE(deal.isPointNearObj(r, tree, 1e30));
  }
}

TEST(MeshQueries, PreparedTablesMatchDirectQueries) {
  // The prepared removal tests only candidate faces for the +x ray; any list holding every face whose
  // padded y–z extent contains the ray must give the answer of the all-faces test.
  std::vector<pcl::PolygonMesh> meshes = {nimbrel_test::makeIcosphere(2, 0.4f, {0.1f, 0.2f, 0.3f}),
                                          nimbrel_test::makeCube(Diagonal::kMain),
                                          nimbrel_test::makeCube(Diagonal::kAnti, 0.3f, {0.1f, 0.2f, 0.3f})};
  auto points = nimbrel_test::makeRandomCloud(300, {-0.5f, -0.5f, -0.5f}, {1.5f, 1.5f, 1.5f}, 5);
  // Points on a lattice through the cubes' vertices, edges and diagonals.
  for (float x : {-0.5f, 0.25f, 0.5f}) {
    for (float y : {0.0f, 0.2f, 0.35f, 0.5f, 1.0f}) {
      for (float z : {0.0f, 0.3f, 0.45f, 0.5f, 1.0f}) points->push_back(pcl::PointXYZ(x, y, z));
    }
  }
  // A face listing a vertex twice and one past its first three indices, and an invalid face.
  meshes[1].polygons.push_back(face({0, 0, 6, 7}));
  meshes[1].polygons.push_back(face({0, 9, 6}));
  for (const pcl::PolygonMesh& mesh : meshes) {
    auto vertices = nimbrel_test::meshVertices(mesh);
    const auto parts = nimbrel_arm_util::detail::meshParts(*vertices, mesh.polygons);
    for (const pcl::PointXYZ& p : points->points) {
      std::vector<std::uint32_t> candidates;
      for (std::uint32_t f = 0; f < mesh.polygons.size(); ++f) {
        double y0, y1, z0, z1;
        if (nimbrel_arm_util::detail::paddedYZExtent(*vertices, mesh.polygons[f], y0, y1, z0, z1) &&
            p.y >= y0 && p.y <= y1 && p.z >= z0 && p.z <= z1) {
          candidates.push_back(f);
        }
      }
      const bool all = nimbrel_arm_util::detail::isInsideMesh(*vertices, mesh.polygons, p);
      EXPECT_EQ(nimbrel_arm_util::detail::isInsideMesh(*vertices, mesh.polygons, parts, p, candidates.data(),
                                                       candidates.data() + candidates.size()),
                all)
          << p;
    }
  }
}

TEST(MeshQueries, PreparedInsideMatchesOnSurfacePoints) {
  // Points exactly on faces, grid lines and vertices make every +x ray ambiguous; the prepared index
  // re-casts them through its tree and must answer as the all-faces test. The box turned by 1e-6 rad
  // makes the +x ray graze its sides instead.
  const Eigen::Vector3f lo(0.3f, 0.05f, 0.05f), hi(0.7f, 0.35f, 0.25f);
  pcl::PolygonMesh turned = nimbrel_test::makeGridBox(10, lo, hi);
  const pcl::PolygonMesh& turnedMesh = turned;
  nimbrel_test::CloudPtr vertices = nimbrel_test::meshVertices(turned);
  const auto turn = [](nimbrel_test::Cloud& cloud) {
    const double c = std::cos(1e-6), s = std::sin(1e-6);
    for (pcl::PointXYZ& p : cloud.points) {
      const double x = p.x - 0.5, y = p.y - 0.2;
      p.x = static_cast<float>(0.5 + c * x - s * y);
      p.y = static_cast<float>(0.2 + s * x + c * y);
    }
  };
  turn(*vertices);
  pcl::toPCLPointCloud2(*vertices, turned.cloud);
  const pcl::PolygonMesh straight = nimbrel_test::makeGridBox(10, lo, hi);
  for (const pcl::PolygonMesh* mesh : {&straight, &turnedMesh}) {
    const nimbrel_arm_util::detail::MeshIndex index(*mesh);
    nimbrel_test::CloudPtr points = nimbrel_test::meshFeaturePoints(*mesh);
    for (const auto spot : {nimbrel_test::SurfaceSpot::kFace, nimbrel_test::SurfaceSpot::kEdge,
                            nimbrel_test::SurfaceSpot::kVertex}) {
      nimbrel_test::CloudPtr more = nimbrel_test::gridBoxSurfacePoints(10, lo, hi, spot, 300);
      if (mesh == &turned) turn(*more);
      points->insert(points->end(), more->begin(), more->end());
    }
    std::size_t insideCount = 0;
    for (const pcl::PointXYZ& p : points->points) {
      const bool expected = inside(*mesh, p.x, p.y, p.z);
      insideCount += expected;
      ASSERT_EQ(index.inside(p), expected) << p;
    }
    // Surface points go either way; neither answer may take them all.
    EXPECT_GT(insideCount, 0u);
    EXPECT_LT(insideCount, points->size());
  }
}

TEST(MeshQueries, PreparedInsideMatchesWhenNoFaceCrossesTheXRay) {
  // The index lists for the +x ray only faces that ray can meet. A grid box without its two ends along x is
  // an open tube of such faces only: every answer comes from the winding number of its boundary, inside
  // the tube's box and beyond the ends, on its surface and off it.
  const Eigen::Vector3f lo(0.3f, 0.05f, 0.05f), hi(0.7f, 0.35f, 0.25f);
  pcl::PolygonMesh tube = nimbrel_test::makeGridBox(6, lo, hi);
  const nimbrel_test::CloudPtr corners = nimbrel_test::meshVertices(tube);
  const auto onEnd = [&](const pcl::Vertices& f) {
    const float x = corners->points[f.vertices[0]].x;
    return (x == lo.x() || x == hi.x()) && corners->points[f.vertices[1]].x == x &&
           corners->points[f.vertices[2]].x == x;
  };
  tube.polygons.erase(std::remove_if(tube.polygons.begin(), tube.polygons.end(), onEnd), tube.polygons.end());
  ASSERT_EQ(tube.polygons.size(), 8u * 6u * 6u);
  nimbrel_test::CloudPtr points =
      nimbrel_test::makeRandomCloud(600, lo.array() - 0.1f, hi.array() + 0.1f, 11);
  for (const auto spot : {nimbrel_test::SurfaceSpot::kFace, nimbrel_test::SurfaceSpot::kEdge,
                          nimbrel_test::SurfaceSpot::kVertex}) {
    nimbrel_test::CloudPtr more = nimbrel_test::gridBoxSurfacePoints(6, lo, hi, spot, 100);
    points->insert(points->end(), more->begin(), more->end());
  }
  const nimbrel_arm_util::detail::MeshIndex index(tube);
  std::size_t insideCount = 0;
  for (const pcl::PointXYZ& p : points->points) {
    const bool expected = inside(tube, p.x, p.y, p.z);
    insideCount += expected;
    ASSERT_EQ(index.inside(p), expected) << p;
  }
  EXPECT_GT(insideCount, 50u);
  EXPECT_LT(insideCount + 50u, points->size());
}

TEST(MeshQueries, OpenPartsUseTheWindingNumber) {
  // The winding number summed face by face, as its definition has it; the inside test must agree with it
  // at least 1/2 wherever the sum is not within rounding of 1/2.
  const auto winding = [](const pcl::PolygonMesh& mesh, const pcl::PointXYZ& q) {
    const nimbrel_test::CloudPtr v = nimbrel_test::meshVertices(mesh);
    const Eigen::Vector3d p(q.x, q.y, q.z);
    double sum = 0.0;
    for (const pcl::Vertices& f : mesh.polygons) {
      const Eigen::Vector3d a = v->points[f.vertices[0]].getVector3fMap().cast<double>() - p;
      const Eigen::Vector3d b = v->points[f.vertices[1]].getVector3fMap().cast<double>() - p;
      const Eigen::Vector3d c = v->points[f.vertices[2]].getVector3fMap().cast<double>() - p;
      const double la = a.norm(), lb = b.norm(), lc = c.norm();
      sum +=
          2.0 * std::atan2(a.dot(b.cross(c)), la * lb * lc + a.dot(b) * lc + b.dot(c) * la + c.dot(a) * lb);
    }
    return sum / (4.0 * M_PI);
  };
  // A sphere open at its base, a bottle without its bottom, and one without its shoulder band's every other
  // face (many small holes).
  pcl::PolygonMesh sieve = nimbrel_test::makeBottle(24, 12, 0.3f, {0, 0, 0});
  for (std::size_t f = sieve.polygons.size(); f-- > 0;)
    if (f % 7 == 3) sieve.polygons.erase(sieve.polygons.begin() + static_cast<long>(f));
  const pcl::PolygonMesh scan =
      nimbrel_test::removeFacesBelow(nimbrel_test::makeIcosphere(3, 0.15f), 2, -0.12f);
  const pcl::PolygonMesh link =
      nimbrel_test::removeFacesBelow(nimbrel_test::makeBottle(24, 12, 0.3f, {0, 0, 0}), 2, 1e-4f);
  const pcl::PolygonMesh beside =
      nimbrel_test::removeFacesBelow(nimbrel_test::makeBottle(24, 12, 0.3f, {0.26f, 0, -0.1f}), 2, -0.0999f);
  // Each mesh with its parts as meshes of their own; the last holds two open parts.
  const std::vector<std::pair<pcl::PolygonMesh, std::vector<pcl::PolygonMesh>>> meshes = {
      {scan, {scan}},
      {link, {link}},
      {sieve, {sieve}},
      {nimbrel_test::joinMeshes({scan, beside}), {scan, beside}}};
  const auto points = nimbrel_test::makeRandomCloud(1500, {-0.3f, -0.3f, -0.2f}, {0.4f, 0.3f, 0.4f}, 9);
  for (const auto& [mesh, components] : meshes) {
    const pcl::PolygonMesh flipped = nimbrel_test::flipFaces(mesh);
    const auto parts = nimbrel_arm_util::detail::meshParts(*nimbrel_test::meshVertices(mesh), mesh.polygons);
    ASSERT_EQ(parts.openParts.size(), components.size());
    std::size_t in = 0;
    for (const pcl::PointXYZ& p : points->points) {
      bool expected = false, unsure = false;
      for (const pcl::PolygonMesh& component : components) {
        const double w = winding(component, p);
        unsure = unsure || std::abs(w - 0.5) < 1e-9;
        expected = expected || w >= 0.5;
      }
      if (unsure) continue;
      in += expected;
      EXPECT_EQ(inside(mesh, p.x, p.y, p.z), expected) << p;
      // Wound the other way, the winding number changes sign only: the same points are inside.
      EXPECT_EQ(inside(flipped, p.x, p.y, p.z), expected) << p << " (faces flipped)";
    }
    EXPECT_GT(in, 20u);
  }
  // Closed, the same shapes keep the parity rule.
  EXPECT_TRUE(nimbrel_arm_util::detail::meshParts(*nimbrel_test::meshVertices(nimbrel_test::makeIcosphere(3)),
                                                  nimbrel_test::makeIcosphere(3).polygons)
                  .openParts.empty());
}

TEST(MeshQueries, PartsAreFaceComponentsWithEqualCornersJoined) {
  // Two boxes in one mesh, the second unwelded: equal corners join its faces into one part.
  const pcl::PolygonMesh mesh = nimbrel_test::joinMeshes(
      {nimbrel_test::makeCube(),
       nimbrel_test::unweld(nimbrel_test::makeCube(Diagonal::kAnti, 1.0f, {3, 0, 0})),
       nimbrel_test::makeMesh({{0, 0, 0}, {1, 0, 0}}, {{0, 1, 7}})});
  const auto parts =
      nimbrel_arm_util::detail::meshParts(*nimbrel_test::meshVertices(mesh), mesh.polygons).labels;
  ASSERT_EQ(parts.size(), 25u);
  for (std::size_t f = 0; f < 12; ++f) EXPECT_EQ(parts[f], parts[0]);
  for (std::size_t f = 12; f < 24; ++f) EXPECT_EQ(parts[f], parts[12]);
  EXPECT_NE(parts[0], parts[12]);
  EXPECT_EQ(parts[24], nimbrel_arm_util::detail::kNoPart);
}

TEST(MeshQueries, InsideAnyOfOverlappingOrNestedParts) {
  // Convex decompositions overlap, and a part may sit inside another: a point inside any part is inside,
  // though the +x ray crosses two parts once each.
  const pcl::PolygonMesh overlapping = nimbrel_test::joinMeshes(
      {nimbrel_test::makeCube(), nimbrel_test::makeCube(Diagonal::kAnti, 1.0f, {0.5f, 0.3f, 0.2f})});
  EXPECT_TRUE(inside(overlapping, 0.75f, 0.61f, 0.57f));  // in both
  EXPECT_TRUE(inside(overlapping, 0.25f, 0.61f, 0.57f));  // in the first only, ray crossing both
  EXPECT_TRUE(inside(overlapping, 1.25f, 0.61f, 0.57f));  // in the second only
  EXPECT_FALSE(inside(overlapping, -0.25f, 0.61f, 0.57f));
  const pcl::PolygonMesh nested = nimbrel_test::joinMeshes(
      {nimbrel_test::makeCube(), nimbrel_test::makeCube(Diagonal::kMain, 0.4f, {0.3f, 0.3f, 0.3f})});
  EXPECT_TRUE(inside(nested, 0.52f, 0.51f, 0.47f));
  EXPECT_TRUE(inside(nested, 0.13f, 0.51f, 0.47f));
}

TEST(MeshQueries, BodiesTouchingAtACornerOrAnEdgeStayApart) {
  // A tetrahedron inside the unit cube that shares one of its corners, and one that shares one of its
  // edges: the +x ray from inside the tetrahedron crosses each body once, so each must be its own part.
  const pcl::PolygonMesh cube = nimbrel_test::makeCube();
  const std::vector<std::vector<std::uint32_t>> sides = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};
  const pcl::PolygonMesh corner = nimbrel_test::joinMeshes(
      {cube, nimbrel_test::makeMesh(
                 {{1, 1, 1}, {0.05f, 0.3f, 0.3f}, {0.3f, 0.05f, 0.3f}, {0.3f, 0.3f, 0.05f}}, sides)});
  const pcl::PolygonMesh edge = nimbrel_test::joinMeshes(
      {cube,
       nimbrel_test::makeMesh({{1, 0, 1}, {1, 1, 1}, {0.05f, 0.5f, 0.05f}, {0.3f, 0.5f, 0.6f}}, sides)});
  EXPECT_TRUE(inside(corner, 0.4125f, 0.4125f, 0.4125f));
  EXPECT_TRUE(inside(edge, 0.5875f, 0.5f, 0.6625f));
  const auto labels =
      nimbrel_arm_util::detail::meshParts(*nimbrel_test::meshVertices(edge), edge.polygons).labels;
  ASSERT_EQ(labels.size(), 16u);
  EXPECT_NE(labels[0], labels[12]);
  for (std::size_t f = 13; f < 16; ++f) EXPECT_EQ(labels[f], labels[12]);
}

TEST(MeshQueries, SmallFacesCountWhateverTheUnit) {
  // The same bottle in metres and in kilometres: tiny faces crossed at a slant still count as crossings.
  for (const float scale : {1.0f, 1e-3f}) {
    const pcl::PolygonMesh bottle = nimbrel_test::makeBottle(256, 40, 0.2f * scale, {0, 0, 0});
    for (const float y : {0.0f, 0.03f, 0.055f, 0.0595f}) {
      for (const float z : {0.01f, 0.1f, 0.13f, 0.19f}) {
        EXPECT_FALSE(inside(bottle, -0.2f * scale, y * scale, z * scale)) << scale << " " << y << " " << z;
      }
      EXPECT_TRUE(inside(bottle, 0.0f, y * scale * 0.1f, 0.05f * scale)) << scale << " " << y;
    }
  }
}

TEST(MeshQueries, MalformedVertexDataGivesNoVertices) {
  // Vertex data shorter or longer than the cloud declares would be read or written past its end; such a
  // mesh has no vertices, so every operation gives its too-few-vertices answer.
  nimbrel_arm_util::PointCloudsDeal deal;
  pcl::PolygonMesh shorter = nimbrel_test::makeCube();
  shorter.cloud.data.resize(shorter.cloud.data.size() / 2);
  pcl::PolygonMesh longer = nimbrel_test::makeCube();
  longer.cloud.data.resize(longer.cloud.data.size() * 4);
  pcl::PolygonMesh misplaced = nimbrel_test::makeCube();
  misplaced.cloud.fields[2].offset = misplaced.cloud.point_step;  // z beyond the record
  const pcl::PointXYZ centre(0.5f, 0.5f, 0.5f);
  for (pcl::PolygonMesh* mesh : {&shorter, &longer, &misplaced}) {
    double dist = 7.0;
    EXPECT_EQ(deal.findNearestTriangles(centre, *mesh, dist), -1);
    EXPECT_EQ(dist, 7.0);
    std::vector<pcl::PolygonMesh> meshes = {*mesh};
    EXPECT_FALSE(deal.isPointInsideMeshs(centre, meshes));
    auto samples = nimbrel_test::makeCloud({});
    EXPECT_EQ(deal.upSampleMesh(*mesh, samples), 0);
    EXPECT_TRUE(samples->empty());
    std::vector<pcl::PolygonMesh> hulls;
    EXPECT_EQ(deal.convertToConvexHull(meshes, hulls), -2);
  }
}

TEST(MeshQueries, VerticesNearTheFloatLimitStayOutOfTheSearch) {
  // A search tree over coordinates near the float limit overflows while it splits; such vertices are left
  // out of the nearest-vertex search as non-finite ones are, and the rest of the mesh still answers.
  nimbrel_arm_util::PointCloudsDeal deal;
  const float big = 3.4e38f;
  pcl::PolygonMesh cube = nimbrel_test::makeCube();
  nimbrel_test::Cloud vertices = *nimbrel_test::meshVertices(cube);
  vertices.push_back(pcl::PointXYZ(-big, -big, -big));
  vertices.push_back(pcl::PointXYZ(big, 1.8f, -big));
  pcl::toPCLPointCloud2(vertices, cube.cloud);
  double dist = 0.0;
  EXPECT_EQ(deal.findNearestTriangles(pcl::PointXYZ(0.5f, 0.5f, 1.02f), cube, dist), 0);
  EXPECT_NEAR(dist, 0.02, 1e-6);
  std::vector<pcl::PolygonMesh> meshes = {cube};
  EXPECT_TRUE(deal.isPointInsideMeshs(pcl::PointXYZ(0.5f, 0.5f, 1.02f), meshes));
  EXPECT_FALSE(deal.isPointInsideMeshs(pcl::PointXYZ(0.5f, 0.5f, 1.2f), meshes));
  auto scene = nimbrel_test::makeCloud({{0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 1.2f}, {3, 3, 3}});
  auto kept = nimbrel_test::makeCloud({});
  ASSERT_EQ(deal.removePointsFromMeshs(scene, meshes, kept), 0);
  ASSERT_EQ(kept->size(), 2u);
  EXPECT_EQ(kept->points[0].z, 1.2f);
  // A face reaching them spans 10^38 in y and z: the prepared removal still answers as the point queries.
  meshes[0].polygons.push_back(face({8, 9, 1}));
  ASSERT_EQ(deal.removePointsFromMeshs(scene, meshes, kept), 0);
  std::size_t expected = 0;
  for (const pcl::PointXYZ& p : scene->points) expected += deal.isPointInsideMeshs(p, meshes) ? 0 : 1;
  EXPECT_EQ(kept->size(), expected);
}
