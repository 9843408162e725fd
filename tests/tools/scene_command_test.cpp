// The scene description file and the tool's `scene` subcommand: the file as the node and the tool read it,
// and the tool's cloud against the frame pipeline called directly.
#include <gtest/gtest.h>
#include <pcl/io/pcd_io.h>
#include <sys/wait.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "nimbrel_arm_util/frame_pipeline.hpp"
#include "support/files.hpp"
#include "support/geometry.hpp"
#include "support/robot_file.hpp"
#include "support/scene_file.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using nimbrel_arm_util::FramePipeline;

class SceneFile : public ::testing::Test {
 protected:
  void SetUp() override {
    nimbrel_tools::saveMesh(
        nimbrel_test::makeCube(nimbrel_test::Diagonal::kMain, 100.0f, Eigen::Vector3f(-50, -50, -50)),
        path("cube_mm.ply"));
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name)) << text;
    return path(name);
  }
  int tool(const std::string& arguments) const {
    const std::string cmd =
        std::string(NIMBREL_TOOL) + " " + arguments + " >" + path("out.txt") + " 2>" + path("err.txt");
    const int raw = std::system(cmd.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
  std::string errors() const {
    std::ifstream in(path("err.txt"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  nimbrel_test::TempDir temp_{"nimbrel_scene_test"};
  const fs::path& dir_ = temp_.dir();
};

const char* kScene = R"(
tool:
  frame: tool0
  pose: {position: [0, 0, 0.05]}
  half_size: [0.04, 0.05, 0.06]
  margin: 0.01
boxes:
  - name: crate
    pose: {position: [0.1, 0.1, 0.0], orientation: [0, 0, 0.2588190451, 0.9659258263]}
    size: [0.1, 0.08, 0.05]
    margin: 0.01
meshes:
  - name: cube
    file: cube_mm.ply
    scale: 0.001
    margin: 0.005
    method: plain
    pose: [1, 0, 0, 0.15,  0, 1, 0, -0.05,  0, 0, 1, 0,  0, 0, 0, 1]
)";

TEST_F(SceneFile, ReadsEveryEntry) {
  const auto scene = nimbrel_tools::loadScene(write("scene.yaml", kScene));
  ASSERT_TRUE(scene.tool.has_value());
  EXPECT_EQ(scene.tool->frame, "tool0");
  EXPECT_DOUBLE_EQ(scene.tool->pose(2, 3), 0.05);
  EXPECT_EQ(scene.tool->halfSize, Eigen::Vector3d(0.04, 0.05, 0.06));
  ASSERT_EQ(scene.boxes.size(), 1u);
  EXPECT_NEAR(scene.boxes[0].pose(1, 0), 0.5, 1e-9);  // 30 degrees about z
  EXPECT_TRUE(scene.boxes[0].frame.empty());
  ASSERT_EQ(scene.meshes.size(), 1u);
  EXPECT_EQ(scene.meshes[0].mesh.polygons.size(), 12u);
  EXPECT_EQ(scene.meshes[0].method, nimbrel_arm_util::MeshMethod::kPlain);
  EXPECT_DOUBLE_EQ(scene.meshes[0].pose(0, 3), 0.15);
}

TEST_F(SceneFile, RefusesNamingTheEntry) {
  const std::vector<std::pair<std::string, std::string>> broken = {
      {"boxes:\n  - {sise: [1, 1, 1]}\n", "boxes[0].sise: unknown key"},
      {"boxes:\n  - {size: [1, -1, 1]}\n", "boxes[0].size: lengths cannot be negative"},
      {"boxes:\n  - {size: [1, 1]}\n", "boxes[0].size: need a list of 3 numbers"},
      {"tool: {half_size: [1, 1, 1], pose: {orientation: [0, 0, 0, 0]}}\n", "tool.pose.orientation"},
      {"tool: {half_size: [1, 1, 1], frame: /tool0}\n", "tool.frame"},
      {"meshes:\n  - {file: cube_mm.ply, method: quick}\n", "meshes[0].method"},
      {"meshes:\n  - {file: cube_mm.ply, scale: 0}\n", "meshes[0].scale"},
      {"meshes:\n  - {file: missing.ply}\n", "missing.ply"},
      {"boxes: [\n", "line"},
  };
  for (const auto& [text, expected] : broken) {
    try {
      nimbrel_tools::loadScene(write("broken.yaml", text));
      ADD_FAILURE() << "accepted: " << text;
    } catch (const nimbrel_tools::ToolError& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
}

// YAML allows what a scene never holds (keys that are lists or maps, aliases anywhere, several documents):
// each is the reader's own error naming the entry, never the YAML library's exception.
TEST_F(SceneFile, EveryFailureIsAToolErrorNamingTheEntry) {
  const std::vector<std::pair<std::string, std::string>> broken = {
      {"? [a, b]\n: 1\n", "has a key that is not a plain name"},
      {"boxes:\n  - {? {a: 1} : 2, size: [1, 1, 1]}\n", "boxes[0]: has a key that is not a plain name"},
      {"tool: &t {half_size: [1, 1, 1]}\nboxes:\n  - {? *t : 1}\n", "boxes[0]: has a key"},
      {"boxes:\n  - {size: &s [1, 1, 1]}\n  - {size: *s, pose: *s}\n", "boxes[1].pose: need a list of 16"},
      {"boxes:\n  - {size: [1, 1, 1], margin: 1e999}\n", "boxes[0].margin"},
      {"boxes:\n  - {size: [1, 1, 1], margin: [1]}\n", "boxes[0].margin"},
      {"boxes:\n  - {size: [1, [2], 1]}\n", "boxes[0].size"},
      {"boxes:\n  - {size: [1, 1, 1], name: {a: 1}}\n", "boxes[0].name"},
      {"tool: {half_size: [1, 1, 1]}\ntool: {half_size: [2, 2, 2]}\n", "tool: given twice"},
      {"--- {}\n--- {boxes: []}\n", "holds 2 YAML documents"},
      {"[1, 2]\n", "must be a map of keys"},
      {"meshes:\n  - {file: part.stl, margin: -0.01}\n", "meshes[0].margin: must not be negative"},
  };
  for (const auto& [text, expected] : broken) {
    try {
      nimbrel_tools::loadScene(write("broken.yaml", text));
      ADD_FAILURE() << "accepted: " << text;
    } catch (const nimbrel_tools::ToolError& e) {
      EXPECT_NE(std::string(e.what()).find("bad scene " + path("broken.yaml") + ": " + expected),
                std::string::npos)
          << e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "not a ToolError for " << text << ": " << e.what();
    }
  }
  for (const std::string empty : {"", "---\n", "# nothing yet\n"}) {
    const auto scene = nimbrel_tools::loadScene(write("empty.yaml", empty));
    EXPECT_FALSE(scene.tool.has_value());
    EXPECT_TRUE(scene.boxes.empty() && scene.meshes.empty());
  }
}

// A tracker's rotation, off orthonormal by about 1e-4, is taken and made exactly a rotation; a scale, a
// shear or a mirror is refused, as the tool's pose options refuse them.
TEST_F(SceneFile, PosesAreRigidWithinTheToleranceAndMadeOrthonormal) {
  const auto box = [](const std::string& pose) {
    return "boxes:\n  - {size: [0.1, 0.1, 0.1], pose: [" + pose + "]}\n";
  };
  // 30 degrees about z, each entry off by up to 1e-4.
  const std::string tracked =
      "0.86610, -0.50010, 0.00010, 0.1,  0.49990, 0.86600, -0.00010, 0.2,  -0.00005, 0.00010, 0.99990, 0.3,"
      "  0, 0, 0, 1";
  const auto scene = nimbrel_tools::loadScene(write("tracked.yaml", box(tracked)));
  ASSERT_EQ(scene.boxes.size(), 1u);
  const Eigen::Matrix4d& pose = scene.boxes[0].pose;
  const Eigen::Matrix3d r = pose.topLeftCorner<3, 3>();
  EXPECT_LT((r.transpose() * r - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff(), 1e-12);
  EXPECT_NEAR(r.determinant(), 1.0, 1e-12);
  EXPECT_NEAR(r(0, 0), 0.86610, 2e-4);
  EXPECT_NEAR(r(1, 0), 0.49990, 2e-4);
  EXPECT_EQ(pose(2, 3), 0.3);

  for (const char* refused : {"1.01, 0, 0, 0,  0, 1.01, 0, 0,  0, 0, 1.01, 0,  0, 0, 0, 1",
                              "1, 0.01, 0, 0,  0, 1, 0, 0,  0, 0, 1, 0,  0, 0, 0, 1",
                              "1, 0, 0, 0,  0, 1, 0, 0,  0, 0, -1, 0,  0, 0, 0, 1"}) {
    try {
      nimbrel_tools::loadScene(write("refused.yaml", box(refused)));
      ADD_FAILURE() << "accepted: " << refused;
    } catch (const nimbrel_tools::ToolError& e) {
      EXPECT_NE(std::string(e.what()).find("boxes[0].pose: not a rigid pose"), std::string::npos) << e.what();
    }
  }
}

TEST_F(SceneFile, ToolSceneMatchesThePipeline) {
  const std::string scene = write("scene.yaml", kScene);
  cv::Mat depth = nimbrel_test::makeFloorDepthImage(160, 120);
  nimbrel_tools::saveImage(depth, path("depth.png"));
  const nimbrel_arm_util::CameraIntrinsic intrinsic{200.0f, 79.5f, 200.0f, 59.5f, -0.03f,
                                                    0.01f,  0.0f,  0.0f,   0.0f};
  nimbrel_tools::saveCameraInfo({intrinsic, 160, 120, {}, {}}, path("camera_info.yaml"));
  // The camera as TF gives it (x y z qx qy qz qw), the tool frame as a matrix: both forms of a pose.
  const std::string camera = "0 0 1 -0.70710678118654757 0.70710678118654757 0 0";
  const std::string common = "scene " + path("depth.png") + " -c " + path("camera_info.yaml") + " -s " +
                             scene + " -o " + path("scene.pcd") + " --camera-pose '" + camera +
                             "' --crop=-1,1,-1,1,0.5,1.5 --leaf 0.01 --mean-k 10";
  // The tool's frame must be given: the tool has no TF.
  EXPECT_EQ(tool(common), 1);
  EXPECT_NE(errors().find("--frame tool0="), std::string::npos) << errors();
  ASSERT_EQ(tool(common + " --frame 'tool0=1,0,0,-0.1, 0,1,0,-0.1, 0,0,1,0, 0,0,0,1'"), 0) << errors();

  nimbrel_arm_util::FramePipelineConfig config;
  config.cropBox = {-1, 1, -1, 1, 0.5, 1.5};
  config.leafSize = 0.01;
  config.meanK = 10;
  config.scene = nimbrel_tools::loadScene(scene);
  const FramePipeline pipeline(config);
  auto poses = pipeline.configuredPoses();
  poses.tool(0, 3) = -0.1;
  poses.tool(1, 3) = -0.1;
  const Eigen::Matrix4d cameraToBase =
      nimbrel_tools::poseFromQuaternion({0, 0, 1}, {-0.70710678118654757, 0.70710678118654757, 0, 0});
  FramePipeline::CloudPtr expected(new FramePipeline::Cloud);
  nimbrel_arm_util::FrameReport report;
  ASSERT_EQ(pipeline.process(depth, intrinsic, 1000.0, cameraToBase, poses, expected, &report), 0);
  ASSERT_EQ(report.steps.size(), 5u);
  EXPECT_LT(report.steps.back().pointsOut, report.steps[2].pointsOut);

  const auto written = nimbrel_tools::loadCloud(path("scene.pcd"));
  ASSERT_EQ(written->size(), expected->size());
  for (std::size_t i = 0; i < expected->size(); ++i) {
    const auto &e = (*expected)[i], &w = (*written)[i];
    ASSERT_TRUE(e.x == w.x && e.y == w.y && e.z == w.z) << "point " << i;
  }
}

// A carriage on the floor: a box link 0.1 x 0.12 x 0.3 m moved along x by a prismatic joint.
const char* kSlideUrdf = R"(<robot name="slide">
  <link name="base_link"/>
  <link name="carriage"><collision><geometry><box size="0.1 0.12 0.3"/></geometry></collision></link>
  <joint name="slide" type="prismatic"><parent link="base_link"/><child link="carriage"/><axis xyz="1 0 0"/>
    <limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
</robot>)";

// The robot is cut where its joints put it, as the pipeline cuts it with that link pose; a robot with no
// way to pose it is a usage error.
TEST_F(SceneFile, ToolSceneCutsTheRobotWhereItsJointsPutIt) {
  const std::string urdf = write("slide.urdf", kSlideUrdf);
  const std::string joints = write("joints.yaml", "slide: -0.2\n");
  const cv::Mat depth = nimbrel_test::makeFloorDepthImage(160, 120);
  nimbrel_tools::saveImage(depth, path("depth.png"));
  const nimbrel_arm_util::CameraIntrinsic intrinsic{200.0f, 79.5f, 200.0f, 59.5f, 0.0f,
                                                    0.0f,   0.0f,  0.0f,   0.0f};
  nimbrel_tools::saveCameraInfo({intrinsic, 160, 120, {}, {}}, path("camera_info.yaml"));
  const std::string common = "scene " + path("depth.png") + " -c " + path("camera_info.yaml") + " -o " +
                             path("scene.pcd") + " --camera-pose '0 0 1 -0.70710678118654757 " +
                             "0.70710678118654757 0 0' --leaf 0.01 --mean-k 10 --urdf " + urdf +
                             " --padding 0.02";
  EXPECT_EQ(tool(common), 2);
  ASSERT_EQ(tool(common + " --joints " + joints), 0) << errors();

  nimbrel_arm_util::FramePipelineConfig config;
  config.leafSize = 0.01;
  config.meanK = 10;
  config.robot = nimbrel_tools::loadRobot(urdf);
  config.robotBody.padding = 0.02;
  const FramePipeline pipeline(config);
  auto poses = pipeline.configuredPoses();
  poses.links["carriage"] = Eigen::Matrix4d::Identity();
  poses.links["carriage"](0, 3) = -0.2;
  const Eigen::Matrix4d cameraToBase =
      nimbrel_tools::poseFromQuaternion({0, 0, 1}, {-0.70710678118654757, 0.70710678118654757, 0, 0});
  FramePipeline::CloudPtr expected(new FramePipeline::Cloud);
  nimbrel_arm_util::FrameReport report;
  ASSERT_EQ(pipeline.process(depth, intrinsic, 1000.0, cameraToBase, poses, expected, &report), 0);
  ASSERT_EQ(report.steps.size(), 4u);
  EXPECT_EQ(report.steps[3].name, "RobotBody::filter");
  EXPECT_GT(report.steps[3].pointsIn, report.steps[3].pointsOut + 100);

  const auto written = nimbrel_tools::loadCloud(path("scene.pcd"));
  ASSERT_EQ(written->size(), expected->size());
  for (std::size_t i = 0; i < expected->size(); ++i) {
    const auto &e = (*expected)[i], &w = (*written)[i];
    ASSERT_TRUE(e.x == w.x && e.y == w.y && e.z == w.z) << "point " << i;
    EXPECT_FALSE(std::abs(w.x + 0.2f) < 0.05f && std::abs(w.y) < 0.06f && std::abs(w.z) < 0.15f) << i;
  }
}

// self-filter: the body and its padding go, the rest stays in order; ignored links cut nothing; joint files
// that leave the arm unplaced are refused naming the joint.
TEST_F(SceneFile, SelfFilterKeepsWhatTheBodyDoesNotHold) {
  const std::string urdf = write("slide.urdf", kSlideUrdf);
  write("joints.yaml", "slide: -0.2\n");
  write("other.yaml", "lift: 0.3\n");
  FramePipeline::Cloud cloud;
  for (const float z : {0.0f, 0.16f, 0.18f}) cloud.push_back({-0.2f, 0.0f, z});
  cloud.push_back({0.3f, 0.0f, 0.0f});
  nimbrel_tools::saveCloud(cloud, path("in.pcd"));
  const std::string common = "self-filter " + path("in.pcd") + " -o " + path("out.pcd") + " --urdf " + urdf +
                             " --padding 0.02 --joints ";
  ASSERT_EQ(tool(common + path("joints.yaml")), 0) << errors();
  auto out = nimbrel_tools::loadCloud(path("out.pcd"));
  ASSERT_EQ(out->size(), 2u);
  EXPECT_FLOAT_EQ((*out)[0].z, 0.18f);
  EXPECT_FLOAT_EQ((*out)[1].x, 0.3f);

  // The same pose as a link pose file.
  write("links.yaml", "carriage: {position: [-0.2, 0, 0], orientation: [0, 0, 0, 1]}\n");
  ASSERT_EQ(tool("self-filter " + path("in.pcd") + " -o " + path("out.pcd") + " --urdf " + urdf +
                 " --padding 0.02 --link-poses " + path("links.yaml")),
            0)
      << errors();
  EXPECT_EQ(nimbrel_tools::loadCloud(path("out.pcd"))->size(), 2u);
  ASSERT_EQ(tool(common + path("joints.yaml") + " --ignore-link carriage"), 0) << errors();
  EXPECT_EQ(nimbrel_tools::loadCloud(path("out.pcd"))->size(), 4u);
  EXPECT_EQ(tool(common + path("other.yaml")), 1);
  EXPECT_NE(errors().find("slide"), std::string::npos) << errors();
}

}  // namespace
