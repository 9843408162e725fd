#include "nimbrel_arm_util/frame_pipeline.hpp"

#include <gtest/gtest.h>
#include <pcl/conversions.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

namespace {

using nimbrel_arm_util::CameraIntrinsic;
using nimbrel_arm_util::FramePipeline;
using nimbrel_arm_util::FramePipelineConfig;
using nimbrel_arm_util::FrameReport;
using nimbrel_arm_util::MeshMethod;
using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_test::Cloud;
using nimbrel_test::CloudPtr;

constexpr int kWidth = 160, kHeight = 120;
const CameraIntrinsic kIntrinsic{200.0f, 79.5f, 200.0f, 59.5f, -0.03f, 0.01f, 0.0005f, -0.0003f, 0.0f};

Eigen::Matrix4d at(double x, double y, double z, double yawDegrees = 0.0) {
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  m.topLeftCorner<3, 3>() = Eigen::AngleAxisd(yawDegrees * M_PI / 180.0, Eigen::Vector3d::UnitZ()).matrix();
  m.topRightCorner<3, 1>() = Eigen::Vector3d(x, y, z);
  return m;
}

// A camera 1 m above the base frame's origin looking straight down.
Eigen::Matrix4d cameraToBase() {
  Eigen::Matrix4d m = at(0.0, 0.0, 1.0);
  m.topLeftCorner<3, 3>() << 0, -1, 0, -1, 0, 0, 0, 0, -1;
  return m;
}

// Every kind of object the pipeline cuts, each where the floor has points: the tool, two boxes, a plain
// mesh (a cube given in millimetres and placed by its pose) and a fast one.
FramePipelineConfig fullScene() {
  FramePipelineConfig c;
  c.cropBox = {-1.0, 1.0, -1.0, 1.0, 0.5, 1.5};
  c.leafSize = 0.01;
  c.meanK = 10;
  c.scene.tool = nimbrel_arm_util::SceneTool{"", at(-0.1, -0.1, 0.05, 20.0), {0.04, 0.05, 0.06}, 0.01};
  c.scene.boxes.push_back({"crate", "", at(0.1, 0.1, 0.0, 30.0), {0.1, 0.08, 0.05}, 0.01});
  c.scene.boxes.push_back({"lid", "", at(0.2, -0.25, 0.0), {0.06, 0.06, 0.02}, 0.0});
  nimbrel_arm_util::SceneMesh cube;
  cube.mesh = nimbrel_test::makeCube(nimbrel_test::Diagonal::kMain, 100.0f, Eigen::Vector3f(-50, -50, -50));
  cube.scale = 0.001;
  cube.pose = at(0.15, -0.05, 0.0, 15.0);
  cube.method = MeshMethod::kPlain;
  c.scene.meshes.push_back(cube);
  nimbrel_arm_util::SceneMesh ball;
  ball.mesh = nimbrel_test::makeIcosphere(2, 0.05f);
  ball.pose = at(-0.15, 0.2, 0.0);
  c.scene.meshes.push_back(ball);
  return c;
}

void expectSamePoints(const Cloud& expected, const Cloud& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto &e = expected[i], &a = actual[i];
    ASSERT_TRUE(e.x == a.x && e.y == a.y && e.z == a.z) << "point " << i << ": " << e << " vs " << a;
  }
}

TEST(FramePipeline, GivesExactlyTheLibraryCallsInOrder) {
  const FramePipelineConfig config = fullScene();
  const FramePipeline pipeline(config);
  cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  CloudPtr out(new Cloud);
  FrameReport report;
  ASSERT_EQ(
      pipeline.process(depth, kIntrinsic, 1000.0, cameraToBase(), pipeline.configuredPoses(), out, &report),
      0)
      << report.error;

  PointCloudsDeal deal;
  deal.setFilterRange(-1.0, 1.0, -1.0, 1.0, 0.5, 1.5);
  deal.setLeafSize(0.01);
  deal.setStatisticalOutlierRemovalPara(10, 1.0);
  CloudPtr camera(new Cloud), cleaned(new Cloud), robot(new Cloud), a(new Cloud), b(new Cloud), c(new Cloud),
      d(new Cloud);
  ASSERT_EQ(deal.getPointCloudsFromDepthMap(camera, depth, kIntrinsic, 1000.0), 0);
  deal.processPointClouds(camera, cleaned);
  deal.TransformToRobot(*cleaned, robot, cameraToBase().cast<float>());
  auto scene = config.scene;
  deal.removeObbAndToolPointClouds(robot, a, scene.boxes[0].pose, scene.boxes[0].size.data(), 1.0, 0.01,
                                   scene.tool->pose, scene.tool->halfSize.data(), 0.01);
  deal.removeObbPointClouds(a, b, scene.boxes[1].pose, scene.boxes[1].size.data(), 1.0, 0.0);
  std::vector<pcl::PolygonMesh> plain{pipeline.placedMesh(0, scene.meshes[0].pose)},
      fast{pipeline.placedMesh(1, scene.meshes[1].pose)};
  ASSERT_EQ(deal.removePointsFromMeshs(b, plain, c), 0);
  ASSERT_EQ(deal.fastRemovePointsFromMeshs(c, fast, d), 0);

  expectSamePoints(*d, *out);
  EXPECT_EQ(out->width, out->size());
  EXPECT_EQ(out->height, 1u);
  const std::vector<std::pair<const char*, std::size_t>> steps = {
      {"getPointCloudsFromDepthMap", camera->size()},
      {"processPointClouds", cleaned->size()},
      {"TransformToRobot", robot->size()},
      {"removeObbAndToolPointClouds (box 1: crate)", a->size()},
      {"removeObbPointClouds (box 2: lid)", b->size()},
      {"removePointsFromMeshs", c->size()},
      {"fastRemovePointsFromMeshs", d->size()}};
  ASSERT_EQ(report.steps.size(), steps.size());
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(report.steps[i].name, steps[i].first);
    EXPECT_EQ(report.steps[i].pointsOut, steps[i].second);
    if (i > 0) {
      EXPECT_EQ(report.steps[i].pointsIn, report.steps[i - 1].pointsOut);
    }
  }
  // Every cut removed something, so the comparison above covers each call.
  EXPECT_GT(robot->size(), a->size());
  EXPECT_GT(a->size(), b->size());
  EXPECT_GT(b->size(), c->size());
  EXPECT_GT(c->size(), d->size());
}

// A margin clears every point within that distance of the mesh's faces, whichever way the file winds
// them, whichever method cuts, and however the mesh is placed; the scale comes first, so a millimetre mesh
// keeps metres of clearance. The camera sees a flat wall over the top face of a cube (z = 0.1 in the base
// frame) 0.25 m or 0.35 m in front of it; the margin is 0.3.
TEST(FramePipeline, MeshMarginClearsItsDistanceAroundTheFaces) {
  const pcl::PolygonMesh cube =
      nimbrel_test::makeCube(nimbrel_test::Diagonal::kAnti, 100.0f, Eigen::Vector3f(-50, -50, -50));
  Eigen::Matrix4d stretched = Eigen::Matrix4d::Identity();  // a 16-number pose need not be rigid
  stretched.diagonal() << 2.0, 2.0, 2.0, 1.0;
  for (const pcl::PolygonMesh& mesh : {cube, nimbrel_test::flipFaces(cube)}) {
    for (const MeshMethod method : {MeshMethod::kPlain, MeshMethod::kFast}) {
      FramePipelineConfig config;
      config.cropBox = {-0.09, 0.09, -0.09, 0.09, 0.5, 0.7};  // over the top face
      config.leafSize = 0.01;
      config.meanK = 10;
      nimbrel_arm_util::SceneMesh object;
      object.mesh = mesh;
      object.scale = 0.001;
      object.margin = 0.3;
      object.method = method;
      config.scene.meshes.push_back(object);
      const FramePipeline pipeline(config);
      for (const Eigen::Matrix4d& pose : {at(0.0, 0.0, 0.05, 30.0), stretched}) {
        for (const int gap : {250, 350}) {  // millimetres from the top face
          const cv::Mat wall =
              nimbrel_test::makeDepthImage(kWidth, kHeight, static_cast<std::uint16_t>(900 - gap));
          CloudPtr out(new Cloud);
          FrameReport report;
          nimbrel_arm_util::FramePoses poses;
          poses.meshes = {pose};
          ASSERT_EQ(pipeline.process(wall, kIntrinsic, 1000.0, cameraToBase(), poses, out, &report), 0)
              << report.error;
          const std::size_t seen = report.steps[2].pointsOut;  // after TransformToRobot
          ASSERT_GT(seen, 200u);
          const bool plain = method == MeshMethod::kPlain;
          if (gap < 300) {
            EXPECT_EQ(out->size(), 0u) << (plain ? "plain" : "fast") << ", gap " << gap;
          } else {
            EXPECT_EQ(out->size(), seen) << (plain ? "plain" : "fast") << ", gap " << gap;
          }
        }
      }
    }
  }
}

TEST(FramePipeline, RefusesWithAReasonAndLeavesTheOutputAlone) {
  CloudPtr out(new Cloud);
  out->push_back(pcl::PointXYZ(1, 2, 3));
  FrameReport report;

  const FramePipeline plainScene(FramePipelineConfig{});
  cv::Mat bytes(kHeight, kWidth, CV_8UC1, cv::Scalar(100));
  EXPECT_EQ(plainScene.process(bytes, kIntrinsic, 1000.0, cameraToBase(), {}, out, &report), -1);
  EXPECT_FALSE(report.error.empty());

  const FramePipeline full(fullScene());
  cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  EXPECT_EQ(full.process(depth, kIntrinsic, 1000.0, cameraToBase(), {}, out, &report), -3);

  // A mesh too small to sample: the fast removal refuses it.
  FramePipelineConfig tiny;
  nimbrel_arm_util::SceneMesh speck;
  speck.mesh = nimbrel_test::makeTriangle({0, 0, 0}, {0.001f, 0, 0}, {0, 0.001f, 0});
  tiny.scene.meshes.push_back(speck);
  const FramePipeline tinyPipeline(tiny);
  EXPECT_EQ(tinyPipeline.process(depth, kIntrinsic, 1000.0, cameraToBase(), tinyPipeline.configuredPoses(),
                                 out, &report),
            -2);
  ASSERT_EQ(out->size(), 1u);
  EXPECT_EQ((*out)[0].x, 1.0f);
}

// A crop that leaves nothing gives an empty cloud, not the previous frame's and not a failure, although
// both mesh removals refuse an empty input.
TEST(FramePipeline, EmptyCropGivesAnEmptyCloud) {
  FramePipelineConfig config = fullScene();
  config.cropBox = {-1.0, 1.0, -1.0, 1.0, 3.0, 4.0};
  const FramePipeline pipeline(config);
  cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  CloudPtr out(new Cloud);
  out->push_back(pcl::PointXYZ(1, 2, 3));
  FrameReport report;
  ASSERT_EQ(pipeline.process(depth, kIntrinsic, 1000.0, cameraToBase(), pipeline.configuredPoses(), out,
                             &report, true),
            0);
  EXPECT_TRUE(out->empty());
  ASSERT_EQ(report.stages.size(), report.steps.size());
  EXPECT_EQ(report.steps.back().pointsOut, 0u);
}

}  // namespace

// With a robot, its body is cut right after the move into the base frame: a box link standing on the floor
// takes the floor's points under it, and a frame without the link's pose is refused.
TEST(FramePipeline, CutsTheRobotsBodyAfterTheMoveIntoTheBaseFrame) {
  FramePipelineConfig config = fullScene();
  nimbrel_arm_util::RobotShape pillar;
  pillar.size = {0.2, 0.2, 0.3};
  config.robot = nimbrel_arm_util::RobotDescription{"arm", "base", {{"pillar", {pillar}}}, {}};
  config.robotShadow = true;
  const FramePipeline pipeline(config);
  ASSERT_NE(pipeline.robotBody(), nullptr);
  cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  nimbrel_arm_util::FramePoses poses = pipeline.configuredPoses();
  poses.links["pillar"] = at(0.0, -0.25, 0.0, 10.0);
  CloudPtr out(new Cloud);
  FrameReport report;
  ASSERT_EQ(pipeline.process(depth, kIntrinsic, 1000.0, cameraToBase(), poses, out, &report, true), 0);
  ASSERT_GE(report.steps.size(), 4u);
  EXPECT_EQ(report.steps[2].name, "TransformToRobot");
  EXPECT_EQ(report.steps[3].name, "RobotBody::filter");
  EXPECT_GT(report.steps[3].pointsIn, report.steps[3].pointsOut + 100);
  // Nothing the body cuts is left, in that step's cloud or at the end.
  for (const CloudPtr& cloud : {report.stages[3], out}) {
    Cloud again;
    std::vector<std::uint8_t> removed;
    ASSERT_EQ(pipeline.robotBody()->filter(*cloud, poses.links, again, std::nullopt, &removed), 0);
    EXPECT_EQ(std::count(removed.begin(), removed.end(), 1), 0);
  }

  out->clear();
  out->push_back(pcl::PointXYZ(1, 2, 3));
  EXPECT_EQ(
      pipeline.process(depth, kIntrinsic, 1000.0, cameraToBase(), pipeline.configuredPoses(), out, &report),
      -3);
  EXPECT_NE(report.error.find("pillar"), std::string::npos);
  ASSERT_EQ(out->size(), 1u);
}
