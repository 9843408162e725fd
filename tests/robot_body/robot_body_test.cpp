#include "nimbrel_arm_util/robot_body.hpp"

#include <gtest/gtest.h>
#include <pcl/conversions.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "engines/mesh_geometry.hpp"
#include "support/geometry.hpp"

#ifdef NIMBREL_WITH_OPENMP
#include <omp.h>
#endif

namespace {

using nimbrel_arm_util::RobotBody;
using nimbrel_arm_util::RobotBodyConfig;
using nimbrel_arm_util::RobotDescription;
using nimbrel_arm_util::RobotShape;
using nimbrel_test::Cloud;
using Kind = RobotShape::Kind;
using Poses = std::map<std::string, Eigen::Matrix4d>;

Eigen::Matrix4d pose(const Eigen::Vector3d& at, double angle = 0.0,
                     const Eigen::Vector3d& axis = Eigen::Vector3d::UnitZ()) {
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  m.topLeftCorner<3, 3>() = Eigen::AngleAxisd(angle, axis.normalized()).matrix();
  m.topRightCorner<3, 1>() = at;
  return m;
}

RobotShape primitive(Kind kind, const Eigen::Vector3d& size,
                     const Eigen::Matrix4d& origin = Eigen::Matrix4d::Identity()) {
  RobotShape s;
  s.kind = kind;
  s.size = size;
  s.origin = origin;
  return s;
}

RobotShape meshShape(const pcl::PolygonMesh& mesh,
                     const Eigen::Matrix4d& origin = Eigen::Matrix4d::Identity()) {
  RobotShape s;
  s.kind = Kind::kMesh;
  s.mesh = mesh;
  s.origin = origin;
  return s;
}

// A robot of one link per shape, links named "l0", "l1", ...
RobotDescription robotOf(const std::vector<RobotShape>& shapes) {
  RobotDescription r;
  r.root = "base";
  for (std::size_t i = 0; i < shapes.size(); ++i) r.links.push_back({"l" + std::to_string(i), {shapes[i]}});
  return r;
}

// Which points of `cloud` the body cuts.
std::vector<std::uint8_t> cutBy(const RobotBody& body, const Cloud& cloud, const Poses& poses,
                                const std::optional<Eigen::Vector3d>& sensor = std::nullopt) {
  Cloud out;
  std::vector<std::uint8_t> removed;
  EXPECT_EQ(body.filter(cloud, poses, out, sensor, &removed), 0);
  EXPECT_EQ(out.size(), static_cast<std::size_t>(std::count(removed.begin(), removed.end(), 0)));
  return removed;
}

// Coordinates along one axis around a half extent h with padding d: the centre, inside, the face, within
// the padding, at it, and just past it on both sides (dyadic values, exact in float).
std::vector<float> around(float h, float d, float eps) {
  std::vector<float> v{0.0f};
  for (float sign : {-1.0f, 1.0f}) {
    for (float x : {0.5f * h, h, h + 0.5f * d, h + d - eps, h + d, h + d + eps, h + 2.0f * d})
      v.push_back(sign * x);
  }
  return v;
}

// ---- Primitives
// --------------------------------------------------------------------------------------------

// Every primitive with padding against its analytic test on a grid through its faces, its padding and just
// past it, then its rounded edges: a point beyond a box's corner by the padding along the diagonal is cut,
// one a little farther is kept (a box grown by the padding would cut it).
TEST(RobotBody, PrimitivesCutExactlyWithinTheirPadding) {
  constexpr float kPad = 0.0625f, kEps = 1.0f / 4096;
  const Eigen::Vector3d box(0.25, 0.125, 0.5), cylinder(0.125, 0.125, 0.25), sphere(0.25, 0.25, 0.25);
  const Eigen::Vector3d at(0.5, -0.25, 0.125);  // the link's origin: exact in float, points stay exact
  for (double padding : {0.0, double{kPad}}) {
    RobotBodyConfig config;
    config.padding = padding;
    const RobotBody body(robotOf({primitive(Kind::kBox, box), primitive(Kind::kCylinder, cylinder),
                                  primitive(Kind::kSphere, sphere)}),
                         config);
    const auto within = [&](double d) { return d <= padding; };
    for (int k = 0; k < 3; ++k) {
      const Eigen::Vector3d half =
          k == 0 ? box / 2 : (k == 1 ? Eigen::Vector3d(0.125, 0.125, 0.125) : sphere);
      Cloud cloud;
      std::vector<bool> expected;
      const auto xs = around(static_cast<float>(half.x()), kPad, kEps);
      const auto ys = around(static_cast<float>(half.y()), kPad, kEps);
      const auto zs = around(static_cast<float>(half.z()), kPad, kEps);
      for (float x : xs) {
        for (float y : ys) {
          for (float z : zs) {
            const Eigen::Vector3d q(x, y, z);
            double d = 0.0;
            if (k == 0) {
              d = (q - q.cwiseMax(-half).cwiseMin(half)).norm();
            } else if (k == 1) {
              const double r = std::sqrt(q.x() * q.x() + q.y() * q.y());
              const Eigen::Vector2d radialAxial(std::max(r - 0.125, 0.0),
                                                std::max(std::abs(q.z()) - 0.125, 0.0));
              d = radialAxial.norm();
            } else {
              d = std::max(q.norm() - 0.25, 0.0);
            }
            expected.push_back(within(d));
            cloud.push_back(pcl::PointXYZ(static_cast<float>(x + at.x()), static_cast<float>(y + at.y()),
                                          static_cast<float>(z + at.z())));
          }
        }
      }
      // Only link k is where the points are; the others are far away.
      Poses poses;
      for (int j = 0; j < 3; ++j)
        poses["l" + std::to_string(j)] = pose(j == k ? at : Eigen::Vector3d(10.0 * (j + 1), 0, 0));
      const auto removed = cutBy(body, cloud, poses);
      ASSERT_EQ(removed.size(), expected.size());
      for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(removed[i] != 0, expected[i])
            << "shape " << k << " padding " << padding << " point " << cloud[i].x - at.x() << ", "
            << cloud[i].y - at.y() << ", " << cloud[i].z - at.z();
      }
    }
  }
  // The box's rounded corner: along the diagonal the padding reaches pad / sqrt(3) per axis.
  RobotBodyConfig config;
  config.padding = kPad;
  const RobotBody body(robotOf({primitive(Kind::kBox, box)}), config);
  const Eigen::Vector3d corner = box / 2;
  const Eigen::Vector3d diagonal = Eigen::Vector3d::Ones().normalized();
  Cloud cloud;
  for (double reach : {0.98 * kPad, 1.02 * kPad, 0.9 * kPad * std::sqrt(3.0)}) {
    const Eigen::Vector3d p = corner + reach * diagonal;
    cloud.push_back(
        pcl::PointXYZ(static_cast<float>(p.x()), static_cast<float>(p.y()), static_cast<float>(p.z())));
  }
  EXPECT_EQ(cutBy(body, cloud, {{"l0", Eigen::Matrix4d::Identity()}}), (std::vector<std::uint8_t>{1, 0, 0}));
}

// ---- Meshes
// ------------------------------------------------------------------------------------------------

// A mesh link at a turned pose, its shape turned within the link and scaled, cuts exactly what the
// point-by-point tests say for the points moved into the shape's frame (double math, rounded to float)
// against the scaled mesh: inside, or at most the padding from a face. Closed and open meshes, paddings of
// 0, a few millimetres and the near-mesh distance, points everywhere around the link and close to its
// surface on both sides.
TEST(RobotBody, MeshLinkEqualsThePointByPointTest) {
  const pcl::PolygonMesh closed = nimbrel_test::unweld(nimbrel_test::makeIcosphere(2, 0.08f));
  const pcl::PolygonMesh open =
      nimbrel_test::removeFacesBelow(nimbrel_test::makeIcosphere(2, 0.08f), 2, 0.0f);
  const Eigen::Matrix4d origin = pose({0.02, -0.01, 0.03}, 0.7, {1, 2, 3});
  const Eigen::Matrix4d link = pose({0.4, 0.1, 0.3}, -1.1, {0.3, -1, 0.5});
  const Eigen::Matrix4d shapePose = link * origin;
  const Eigen::Matrix3d toShape = shapePose.topLeftCorner<3, 3>().transpose();
  const Eigen::Vector3d t = shapePose.topRightCorner<3, 1>();
  constexpr double kScale = 1.5;
  for (const pcl::PolygonMesh* mesh : {&closed, &open}) {
    auto vertices = nimbrel_test::meshVertices(*mesh);
    for (auto& v : *vertices) {
      v = pcl::PointXYZ(static_cast<float>(kScale * v.x), static_cast<float>(kScale * v.y),
                        static_cast<float>(kScale * v.z));
    }
    pcl::PolygonMesh scaled;
    scaled.polygons = mesh->polygons;
    pcl::toPCLPointCloud2(*vertices, scaled.cloud);
    // Points in the shape's frame, placed in the cloud's.
    Cloud cloud = *nimbrel_test::makeSceneAround(scaled, 3000, 0.1f, 0.06f);
    cloud += *nimbrel_test::makeRandomCloud(1000, {-0.25f, -0.25f, -0.25f}, {0.25f, 0.25f, 0.25f});
    for (auto& p : cloud) {
      const Eigen::Vector3d q = shapePose.topLeftCorner<3, 3>() * Eigen::Vector3d(p.x, p.y, p.z) + t;
      p = pcl::PointXYZ(static_cast<float>(q.x()), static_cast<float>(q.y()), static_cast<float>(q.z()));
    }
    for (double padding : {0.0, 0.004, 0.05}) {
      RobotBodyConfig config;
      config.padding = padding;
      config.linkScale["l0"] = kScale;
      const RobotBody body(robotOf({meshShape(*mesh, origin)}), config);
      const auto removed = cutBy(body, cloud, {{"l0", link}});
      ASSERT_EQ(removed.size(), cloud.size());
      std::size_t cut = 0;
      for (std::size_t i = 0; i < cloud.size(); ++i) {
        const Eigen::Vector3d q = toShape * (Eigen::Vector3d(cloud[i].x, cloud[i].y, cloud[i].z) - t);
        const pcl::PointXYZ local(static_cast<float>(q.x()), static_cast<float>(q.y()),
                                  static_cast<float>(q.z()));
        const bool expected =
            nimbrel_arm_util::detail::isInsideMesh(*vertices, scaled.polygons, local) ||
            nimbrel_arm_util::detail::nearestFaceDistance(*vertices, scaled.polygons, local) <= padding;
        EXPECT_EQ(removed[i] != 0, expected) << "point " << i << " padding " << padding;
        cut += expected ? 1 : 0;
      }
      EXPECT_GT(cut, 500u);  // the comparison covers points inside and near, not only far ones
    }
  }
}

// Several closed shells in one mesh, nested and overlapping: a point inside any of them is cut, also one
// inside two (where counting crossings over the whole mesh would say outside). With no padding, points on a
// face are cut and points just off it are not.
TEST(RobotBody, MeshOfNestedAndOverlappingShellsCutsTheirUnion) {
  const pcl::PolygonMesh shells =
      nimbrel_test::joinMeshes({nimbrel_test::makeBox({0, 0, 0}, {0.5, 0.5, 0.5}),
                                nimbrel_test::makeBox({0, 0, 0}, {0.25, 0.25, 0.25}),
                                nimbrel_test::makeBox({0.375, 0, 0}, {0.5, 0.125, 0.125})});
  RobotBodyConfig config;
  config.padding = 0.0;
  const RobotBody body(robotOf({meshShape(shells)}), config);
  const auto cloud = nimbrel_test::makeCloud({
      {0.0625f, 0.0f, 0.0f},    // inside both nested boxes
      {0.0f, 0.1875f, 0.0f},    // between the nested boxes
      {0.1875f, 0.0f, 0.0f},    // inside the outer box and the overlapping one
      {0.5f, 0.0f, 0.0f},       // inside the overlapping box only
      {0.25f, 0.1f, 0.1f},      // on the outer box's face
      {0.625f, 0.0625f, 0.0f},  // on the overlapping box's face (its far end's edge)
      {0.0f, 0.2501f, 0.0f},    // just outside the outer box
      {0.65f, 0.0f, 0.0f},      // beyond the overlapping box
  });
  EXPECT_EQ(cutBy(body, *cloud, {{"l0", Eigen::Matrix4d::Identity()}}),
            (std::vector<std::uint8_t>{1, 1, 1, 1, 1, 1, 0, 0}));
}

// ---- Configuration ----------------------------------------------------------------------------------------

// Ignored links are not cut (and need no pose), a link's own padding and scale replace the common ones, and a
// configuration naming a link the robot lacks, or a negative padding or scale, is refused.
TEST(RobotBody, ConfigurationPicksLinksPaddingAndScale) {
  const RobotShape ball = primitive(Kind::kSphere, {0.1, 0.1, 0.1});
  const RobotDescription robot = robotOf({ball, ball, ball, ball});
  RobotBodyConfig config;
  config.padding = 0.01;
  config.ignoredLinks = {"l1"};
  config.linkPadding["l2"] = 0.1;
  config.linkScale["l3"] = 2.0;
  const RobotBody body(robot, config);
  EXPECT_EQ(body.links(), (std::vector<std::string>{"l0", "l2", "l3"}));
  // Link i at x = i; points at 0.105, 0.15 and 0.205 from each centre.
  Cloud cloud;
  for (int i = 0; i < 4; ++i) {
    for (float r : {0.105f, 0.15f, 0.205f}) cloud.push_back(pcl::PointXYZ(static_cast<float>(i), r, 0.0f));
  }
  const Poses poses{{"l0", pose({0, 0, 0})}, {"l2", pose({2, 0, 0})}, {"l3", pose({3, 0, 0})}};
  EXPECT_EQ(cutBy(body, cloud, poses), (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 1, 1, 0, 1, 1, 1}));

  const auto refused = [&](RobotBodyConfig c) {
    EXPECT_THROW(RobotBody(robot, std::move(c)), std::invalid_argument);
  };
  RobotBodyConfig bad;
  bad.ignoredLinks = {"gripper"};
  refused(bad);
  bad = {};
  bad.linkPadding["gripper"] = 0.1;
  refused(bad);
  bad = {};
  bad.padding = -0.01;
  refused(bad);
  bad = {};
  bad.linkScale["l0"] = std::nan("");
  refused(bad);
}

// A missing pose, one that is not finite and one that is not rigid are refused with -1, `out` untouched.
TEST(RobotBody, RefusesPosesItCannotUse) {
  const RobotBody body(
      robotOf({primitive(Kind::kBox, {0.1, 0.1, 0.1}), primitive(Kind::kBox, {0.1, 0.1, 0.1})}));
  const auto cloud = nimbrel_test::makeCloud({{0, 0, 0}, {1, 1, 1}});
  Eigen::Matrix4d nan = Eigen::Matrix4d::Identity();
  nan(0, 3) = std::nan("");
  Eigen::Matrix4d stretched = Eigen::Matrix4d::Identity();
  stretched(1, 1) = 1.5;
  for (const Poses& poses :
       {Poses{{"l0", Eigen::Matrix4d::Identity()}}, Poses{{"l0", Eigen::Matrix4d::Identity()}, {"l1", nan}},
        Poses{{"l0", stretched}, {"l1", Eigen::Matrix4d::Identity()}}}) {
    Cloud out = *nimbrel_test::makeCloud({{5, 5, 5}});
    EXPECT_EQ(body.filter(*cloud, poses, out), -1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].x, 5.0f);
  }
}

// ---- Shadow
// ------------------------------------------------------------------------------------------------

// With the sensor above a link, a point below the link (seen through it) is cut and one beside it is kept,
// for every kind of shape; without a sensor both are kept. A shape holding the sensor casts no shadow.
TEST(RobotBody, ShadowCutsPointsSeenThroughALink) {
  const Eigen::Vector3d sensor(0.0, 0.0, 1.0);
  const auto cloud = nimbrel_test::makeCloud({{0.0f, 0.0f, 0.0f}, {0.3f, 0.0f, 0.0f}, {0.05f, 0.05f, 0.0f}});
  // The link at z = 0.5 is 0.1 across: from the sensor, (0.05, 0.05, 0) is hidden behind it at half height
  // (0.025 from the axis), (0.3, 0, 0) is not (0.15 from the axis at that height).
  const Poses poses{{"l0", pose({0, 0, 0.5}, 0.3)}};
  for (const RobotShape& shape :
       {primitive(Kind::kBox, {0.1, 0.1, 0.1}), primitive(Kind::kCylinder, {0.05, 0.05, 0.1}),
        primitive(Kind::kSphere, {0.05, 0.05, 0.05}), meshShape(nimbrel_test::makeIcosphere(3, 0.05f))}) {
    const RobotBody body(robotOf({shape}));
    EXPECT_EQ(cutBy(body, *cloud, poses, sensor), (std::vector<std::uint8_t>{1, 0, 1}))
        << "kind " << static_cast<int>(shape.kind);
    EXPECT_EQ(cutBy(body, *cloud, poses), (std::vector<std::uint8_t>{0, 0, 0}));
    // The sensor inside the link itself: nothing is hidden by it.
    EXPECT_EQ(cutBy(body, *cloud, poses, Eigen::Vector3d(0.0, 0.0, 0.5)),
              (std::vector<std::uint8_t>{0, 0, 0}));
  }
  // The padding widens the shadow: a ray passing 0.013 beside a box's edge is hidden by a padding of 0.03,
  // not 0.01.
  const auto grazing = nimbrel_test::makeCloud({{0.14f, 0.0f, 0.0f}});
  for (double padding : {0.01, 0.03}) {
    RobotBodyConfig config;
    config.padding = padding;
    const RobotBody body(robotOf({primitive(Kind::kBox, {0.1, 0.1, 0.1})}), config);
    EXPECT_EQ(cutBy(body, *grazing, {{"l0", pose({0, 0, 0.5})}}, sensor)[0], padding > 0.013 ? 1 : 0);
  }
}

// The shadow of a mesh link (its grid's shortcuts included) against the segment's exact distance to every
// face: a point is cut when it is claimed or its segment to the sensor passes within the padding of a face.
TEST(RobotBody, MeshShadowEqualsTheSegmentDistanceToEveryFace) {
  const pcl::PolygonMesh capsule = nimbrel_test::makeCapsule(16, 6, 0.05f, 0.2f);
  const auto vertices = nimbrel_test::meshVertices(capsule);
  const Eigen::Matrix4d link = pose({0.1, 0.0, 0.5}, 0.8, {1, 1, 0});
  const Eigen::Matrix3d toShape = link.topLeftCorner<3, 3>().transpose();
  const Eigen::Vector3d t = link.topRightCorner<3, 1>();
  const Eigen::Vector3d sensor(0.0, 0.05, 1.0);
  const auto cloud = nimbrel_test::makeRandomCloud(4000, {-0.4f, -0.4f, 0.0f}, {0.5f, 0.4f, 0.6f});
  for (double padding : {0.0, 0.01}) {
    RobotBodyConfig config;
    config.padding = padding;
    const RobotBody body(robotOf({meshShape(capsule)}), config);
    const auto removed = cutBy(body, *cloud, {{"l0", link}}, sensor);
    ASSERT_EQ(removed.size(), cloud->size());
    const Eigen::Vector3d s = toShape * (sensor - t);
    std::size_t shadowed = 0;
    for (std::size_t i = 0; i < cloud->size(); ++i) {
      const Eigen::Vector3d q = toShape * (Eigen::Vector3d((*cloud)[i].x, (*cloud)[i].y, (*cloud)[i].z) - t);
      const pcl::PointXYZ local(static_cast<float>(q.x()), static_cast<float>(q.y()),
                                static_cast<float>(q.z()));
      bool expected =
          nimbrel_arm_util::detail::isInsideMesh(*vertices, capsule.polygons, local) ||
          nimbrel_arm_util::detail::nearestFaceDistance(*vertices, capsule.polygons, local) <= padding;
      bool hidden = false;
      for (const auto& face : capsule.polygons) {
        const auto corner = [&](int k) {
          return vertices->points[face.vertices[k]].getVector3fMap().cast<double>().eval();
        };
        if (nimbrel_arm_util::detail::segmentTriangleDistance(q, s, corner(0), corner(1), corner(2)) <=
            padding) {
          hidden = true;
          break;
        }
      }
      shadowed += !expected && hidden ? 1 : 0;
      expected = expected || hidden;
      EXPECT_EQ(removed[i] != 0, expected) << "point " << i << " padding " << padding;
    }
    EXPECT_GT(shadowed, 100u);
  }
}

// ---- Threads
// -----------------------------------------------------------------------------------------------

// The arm's seven mesh links over a cloud big enough for threads: the same cut on one thread and on several.
TEST(RobotBody, ThreadCountDoesNotChangeTheCut) {
  const RobotBody body(nimbrel_test::makeArm());
  const auto cloud = nimbrel_test::makeRandomCloud(60000, {-0.2f, -0.2f, -0.1f}, {0.8f, 0.4f, 0.7f});
  const Eigen::Vector3d sensor(1.2, 0.0, 1.0);
  std::vector<std::vector<std::uint8_t>> cuts;
  for (int threads : {1, 2, 4}) {
#ifdef NIMBREL_WITH_OPENMP
    omp_set_num_threads(threads);
#else
    (void)threads;
#endif
    cuts.push_back(cutBy(body, *cloud, nimbrel_test::armPoses(), sensor));
  }
  EXPECT_GT(std::count(cuts[0].begin(), cuts[0].end(), 1), 500);
  EXPECT_EQ(cuts[1], cuts[0]);
  EXPECT_EQ(cuts[2], cuts[0]);
}

}  // namespace
