// Robot description files, the meshes they name wherever they are found, and the joint-position and
// link-pose files.
#include "support/robot_file.hpp"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "support/files.hpp"
#include "support/geometry.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using nimbrel_arm_util::RobotDescription;
using nimbrel_arm_util::RobotJointType;
using nimbrel_arm_util::RobotShape;
using nimbrel_tools::ToolError;

constexpr double kExact = 1e-12;
constexpr float kFloat = 1e-6f;

// A robot of every shape kind, three ways of naming a mesh file and a mimic joint. {abs} is the test's
// folder.
const std::string kRobot = R"(<?xml version="1.0"?>
<robot name="rig">
  <link name="base">
    <collision><origin xyz="0 0 0.1"/><geometry><box size="0.2 0.3 0.4"/></geometry></collision>
    <collision><origin xyz="0.5 0 0" rpy="0 0 1.5707963267948966"/>
      <geometry><cylinder radius="0.05" length="0.2"/></geometry></collision>
  </link>
  <link name="arm">
    <collision><geometry><mesh filename="package://rig_meshes/meshes/cube.stl" scale="2 2 0.5"/></geometry>
    </collision>
    <collision><origin xyz="0 0 0.2"/><geometry><sphere radius="0.07"/></geometry></collision>
    <collision><geometry><mesh filename="file://{abs}/parts/cube.stl"/></geometry></collision>
    <collision><geometry><mesh filename="parts/cube.stl" scale="-1 1 1"/></geometry></collision>
  </link>
  <link name="finger"/>
  <link name="twin"/>
  <joint name="lift" type="prismatic"><parent link="base"/><child link="arm"/>
    <origin xyz="0 0 0.3"/><axis xyz="0 0 1"/><limit lower="0" upper="0.5" effort="1" velocity="1"/></joint>
  <joint name="grip" type="revolute"><parent link="arm"/><child link="finger"/>
    <axis xyz="0 1 0"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
  <joint name="grip_twin" type="revolute"><parent link="arm"/><child link="twin"/>
    <axis xyz="0 1 0"/><limit lower="-1" upper="1" effort="1" velocity="1"/>
    <mimic joint="grip" multiplier="-1" offset="0.1"/></joint>
</robot>
)";

// A millimetre file with Z up, its triangle moved by its node's matrix, and an edge drawn as a line.
const std::string kColladaMillimetres = R"(<?xml version="1.0" encoding="utf-8"?>
<COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">
  <asset><unit name="millimeter" meter="0.001"/><up_axis>Z_UP</up_axis></asset>
  <library_geometries><geometry id="tri"><mesh>
    <source id="pos"><float_array id="pos-array" count="9">0 0 0 100 0 0 0 200 300</float_array>
      <technique_common><accessor source="#pos-array" count="3" stride="3">
        <param name="X" type="float"/><param name="Y" type="float"/><param name="Z" type="float"/>
      </accessor></technique_common></source>
    <vertices id="vtx"><input semantic="POSITION" source="#pos"/></vertices>
    <triangles count="1"><input semantic="VERTEX" source="#vtx" offset="0"/><p>0 1 2</p></triangles>
    <lines count="1"><input semantic="VERTEX" source="#vtx" offset="0"/><p>0 2</p></lines>
  </mesh></geometry></library_geometries>
  <library_visual_scenes><visual_scene id="scene"><node id="part">
    <matrix>1 0 0 10 0 1 0 20 0 0 1 30 0 0 0 1</matrix><instance_geometry url="#tri"/>
  </node></visual_scene></library_visual_scenes>
  <scene><instance_visual_scene url="#scene"/></scene>
</COLLADA>
)";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Sets an environment variable for the life of the object, restoring what it was.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { had_ ? ::setenv(name_, old_.c_str(), 1) : ::unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

class RobotFile : public ::testing::Test {
 protected:
  void SetUp() override {
    // Neither search path of the machine running the tests may reach into these.
    ament_ = std::make_unique<ScopedEnv>("AMENT_PREFIX_PATH", "");
    packages_ = std::make_unique<ScopedEnv>("NIMBREL_PACKAGE_PATH", "");
    cube(dir_ / "parts/cube.stl", 1.0f);
  }

  std::string write(const fs::path& relative, const std::string& text) const {
    const fs::path path = dir_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  // A unit cube scaled by `edge`, from the origin, written with the tool's own writer.
  void cube(const fs::path& path, float edge) const {
    fs::create_directories(path.parent_path());
    nimbrel_tools::saveMesh(nimbrel_test::makeCube(nimbrel_test::Diagonal::kMain, edge), path.string());
  }

  std::string robotText() const { return replaced(kRobot, "{abs}", dir_.string()); }
  std::string robotFile() const { return write("rig.urdf", robotText()); }

  nimbrel_test::TempDir temp_{"nimbrel_robot_file_test"};
  const fs::path& dir_ = temp_.dir();
  std::unique_ptr<ScopedEnv> ament_, packages_;
};

std::string refusal(const std::function<void()>& call) {
  try {
    call();
  } catch (const ToolError& e) {
    return e.what();
  }
  return "";
}

#define EXPECT_REFUSED_WITH(call, text)                                     \
  do {                                                                      \
    const std::string message = refusal([&] { call; });                     \
    EXPECT_NE(message.find(text), std::string::npos) << "got: " << message; \
  } while (false)

Eigen::Vector3f largestCorner(const pcl::PolygonMesh& mesh) {
  const auto vertices = nimbrel_test::meshVertices(mesh);
  Eigen::Vector3f hi = Eigen::Vector3f::Constant(-1e9f);
  for (const auto& v : *vertices) hi = hi.cwiseMax(v.getVector3fMap());
  return hi;
}

TEST_F(RobotFile, ReadsEveryShapeAndJointAtItsOrigin) {
  cube(dir_ / "pkgs/rig_meshes/meshes/cube.stl", 1.0f);
  const ScopedEnv packages("NIMBREL_PACKAGE_PATH", "/nowhere:" + (dir_ / "pkgs").string());
  const RobotDescription robot = nimbrel_tools::loadRobot(robotFile());

  EXPECT_EQ(robot.root, "base");
  ASSERT_EQ(robot.links.size(), 4u);
  ASSERT_EQ(robot.joints.size(), 3u);
  EXPECT_EQ(robot.joints[0].name, "lift");  // base first

  const auto& base = robot.links[0];
  ASSERT_EQ(base.name, "base");
  ASSERT_EQ(base.collisions.size(), 2u);
  EXPECT_EQ(base.collisions[0].kind, RobotShape::Kind::kBox);
  EXPECT_TRUE(base.collisions[0].size.isApprox(Eigen::Vector3d(0.2, 0.3, 0.4)));
  EXPECT_NEAR(base.collisions[0].origin(2, 3), 0.1, kExact);
  EXPECT_EQ(base.collisions[1].kind, RobotShape::Kind::kCylinder);
  EXPECT_TRUE(base.collisions[1].size.isApprox(Eigen::Vector3d(0.05, 0.05, 0.2)));
  EXPECT_NEAR(base.collisions[1].origin(1, 0), 1.0, kExact);  // a quarter turn: x goes to y

  const auto& arm = robot.links[1];
  ASSERT_EQ(arm.name, "arm");
  ASSERT_EQ(arm.collisions.size(), 4u);
  EXPECT_EQ(arm.collisions[1].kind, RobotShape::Kind::kSphere);
  EXPECT_TRUE(arm.collisions[1].size.isApprox(Eigen::Vector3d::Constant(0.07)));
  for (const int i : {0, 2, 3}) {
    ASSERT_EQ(arm.collisions[i].kind, RobotShape::Kind::kMesh) << i;
    EXPECT_EQ(arm.collisions[i].mesh.polygons.size(), 12u) << i;
  }
  // The scale is in the vertices; a mirroring one keeps the faces facing out.
  EXPECT_TRUE(largestCorner(arm.collisions[0].mesh).isApprox(Eigen::Vector3f(2, 2, 0.5f), kFloat));
  const auto mirrored = nimbrel_test::meshVertices(arm.collisions[3].mesh);
  const auto& face = arm.collisions[3].mesh.polygons[0].vertices;
  const Eigen::Vector3f a = (*mirrored)[face[0]].getVector3fMap(), b = (*mirrored)[face[1]].getVector3fMap(),
                        c = (*mirrored)[face[2]].getVector3fMap();
  const Eigen::Vector3f outward = (a + b + c) / 3.0f - Eigen::Vector3f(-0.5f, 0.5f, 0.5f);
  EXPECT_GT((b - a).cross(c - a).dot(outward), 0.0f);

  const auto& lift = robot.joints[0];
  EXPECT_EQ(lift.type, RobotJointType::kPrismatic);
  EXPECT_NEAR(lift.origin(2, 3), 0.3, kExact);
  EXPECT_TRUE(lift.axis.isApprox(Eigen::Vector3d::UnitZ()));
  const auto& twin = robot.joints[1].name == "grip_twin" ? robot.joints[1] : robot.joints[2];
  ASSERT_TRUE(twin.mimic.has_value());
  EXPECT_EQ(twin.mimic->joint, "grip");
  EXPECT_NEAR(twin.mimic->multiplier, -1.0, kExact);
  EXPECT_NEAR(twin.mimic->offset, 0.1, kExact);
}

TEST_F(RobotFile, PackagesComeFromTheAmentIndexFirstThenThePackagePath) {
  const std::string urdf = robotFile();
  const auto firstMeshTop = [&] {
    return largestCorner(nimbrel_tools::loadRobot(urdf).links[1].collisions[0].mesh).z();
  };
  // A folder named after the package, then one that holds it.
  cube(dir_ / "named/rig_meshes/meshes/cube.stl", 3.0f);
  cube(dir_ / "holder/rig_meshes/meshes/cube.stl", 5.0f);
  {
    const ScopedEnv packages("NIMBREL_PACKAGE_PATH",
                             (dir_ / "named/rig_meshes/").string() + ":" + (dir_ / "holder").string());
    EXPECT_NEAR(firstMeshTop(), 1.5f, kFloat);
    const ScopedEnv reversed("NIMBREL_PACKAGE_PATH",
                             (dir_ / "holder").string() + ":" + (dir_ / "named/rig_meshes").string());
    EXPECT_NEAR(firstMeshTop(), 2.5f, kFloat);

    // An installed package wins over the package path; a prefix without the index entry is passed over.
    cube(dir_ / "install/share/rig_meshes/meshes/cube.stl", 7.0f);
    cube(dir_ / "unindexed/share/rig_meshes/meshes/cube.stl", 9.0f);
    write("install/share/ament_index/resource_index/packages/rig_meshes", "");
    const ScopedEnv ament("AMENT_PREFIX_PATH",
                          (dir_ / "unindexed").string() + ":" + (dir_ / "install").string());
    EXPECT_NEAR(firstMeshTop(), 3.5f, kFloat);
  }

  // Found nowhere: the error names the link, the collision and every place looked in.
  const ScopedEnv packages("NIMBREL_PACKAGE_PATH", (dir_ / "holder").string());
  fs::remove(dir_ / "holder/rig_meshes/meshes/cube.stl");
  const std::string message = refusal([&] { nimbrel_tools::loadRobot(urdf); });
  EXPECT_NE(message.find("link 'arm' collision 1: mesh 'package://rig_meshes/meshes/cube.stl' not found"),
            std::string::npos)
      << message;
  EXPECT_NE(message.find((dir_ / "holder/rig_meshes/meshes/cube.stl").string()), std::string::npos)
      << message;
  fs::remove_all(dir_ / "holder");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadRobot(urdf), "package 'rig_meshes' is neither");
}

TEST_F(RobotFile, ColladaIsReadInMetresAsWrittenWithItsNodeTransforms) {
  const pcl::PolygonMesh mesh = nimbrel_tools::loadMesh(write("tri.dae", kColladaMillimetres));
  ASSERT_EQ(mesh.polygons.size(), 1u);  // the line is not a face
  const auto vertices = nimbrel_test::meshVertices(mesh);
  ASSERT_EQ(vertices->size(), 3u);
  const Eigen::Vector3f expected[] = {{0.01f, 0.02f, 0.03f}, {0.11f, 0.02f, 0.03f}, {0.01f, 0.22f, 0.33f}};
  for (int i = 0; i < 3; ++i) {
    const auto& corner = (*vertices)[mesh.polygons[0].vertices[i]];
    EXPECT_TRUE(corner.getVector3fMap().isApprox(expected[i], kFloat)) << i << ": " << corner;
  }
  EXPECT_REFUSED_WITH(nimbrel_tools::loadMesh(write("text.dae", "v 0 0 0\n")), "unreadable mesh");
}

TEST_F(RobotFile, RefusesWhatItCannotReadNamingFileLinkAndElement) {
  cube(dir_ / "pkgs/rig_meshes/meshes/cube.stl", 1.0f);
  const ScopedEnv packages("NIMBREL_PACKAGE_PATH", (dir_ / "pkgs").string());
  const std::string bad = (dir_ / "bad.urdf").string();
  EXPECT_REFUSED_WITH(nimbrel_tools::loadRobot(write("bad.urdf", "<robot name='r'><link name='a'>")),
                      "robot " + bad + ": ");
  EXPECT_REFUSED_WITH(
      nimbrel_tools::parseRobot(replaced(robotText(), "joint=\"grip\"", "joint=\"thumb\""), dir_.string()),
      "unknown joint 'thumb'");
  const std::string missing = replaced(robotText(), "package://rig_meshes/meshes/cube.stl", "parts/gone.stl");
  EXPECT_REFUSED_WITH(nimbrel_tools::parseRobot(missing, dir_.string()),
                      "link 'arm' collision 1: mesh 'parts/gone.stl' not found (looked in " +
                          (dir_ / "parts/gone.stl").string());
  const std::string negative = replaced(robotText(), "radius=\"0.07\"", "radius=\"-0.07\"");
  EXPECT_REFUSED_WITH(nimbrel_tools::parseRobot(negative, dir_.string()), "link 'arm' collision 2");
}

TEST_F(RobotFile, JointPositionsAndLinkPosesFiles) {
  const auto positions = nimbrel_tools::loadJointPositions(write("q.yaml", "grip: 0.25\nlift: -1e-3\n"));
  ASSERT_EQ(positions.size(), 2u);
  EXPECT_EQ(positions.at("grip"), 0.25);
  EXPECT_EQ(positions.at("lift"), -1e-3);
  EXPECT_TRUE(nimbrel_tools::loadJointPositions(write("empty.yaml", "")).empty());
  EXPECT_REFUSED_WITH(nimbrel_tools::loadJointPositions(write("q1.yaml", "grip: [1]\n")), "q1.yaml: grip");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadJointPositions(write("q2.yaml", "grip: .nan\n")), "not finite");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadJointPositions(write("q3.yaml", "a: 1\na: 2\n")), "given twice");

  const auto poses = nimbrel_tools::loadLinkPoses(
      write("poses.yaml",
            "arm: {position: [1, 2, 3], orientation: [0, 0, 0.7071067811865476, 0.7071067811865476]}\n"
            "base: [1, 0, 0, 4,  0, 1, 0, 5,  0, 0, 1, 6,  0, 0, 0, 1]\n"));
  ASSERT_EQ(poses.size(), 2u);
  EXPECT_NEAR(poses.at("arm")(1, 0), 1.0, kExact);
  EXPECT_NEAR(poses.at("arm")(2, 3), 3.0, kExact);
  EXPECT_NEAR(poses.at("base")(1, 3), 5.0, kExact);
  EXPECT_REFUSED_WITH(nimbrel_tools::loadLinkPoses(
                          write("p.yaml", "arm: [2, 0, 0, 0,  0, 1, 0, 0,  0, 0, 1, 0,  0, 0, 0, 1]\n")),
                      "p.yaml: arm: not a rigid pose");
}

}  // namespace
