// The tool's file readers called directly: each check that stands between a damaged or hostile file and
// PCL's readers, and the layouts real files come in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "support/files.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using nimbrel_tools::ToolError;
using nimbrel_tools::UsageError;

constexpr float kExact = 0.0f;

class FormatReaders : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& bytes) const {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  nimbrel_test::TempDir temp_{"nimbrel_format_test"};
  const fs::path& dir_ = temp_.dir();
};

// The ToolError message a call throws ("" when it returns), with the error's type checked.
template <typename Error = ToolError>
std::string refusal(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

#define EXPECT_REFUSED_AS(Error, call, text)                                \
  do {                                                                      \
    const std::string message = refusal<Error>([&] { call; });              \
    EXPECT_NE(message.find(text), std::string::npos) << "got: " << message; \
  } while (false)
#define EXPECT_REFUSED_WITH(call, text) EXPECT_REFUSED_AS(ToolError, call, text)

const std::string kPcdHead = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";

TEST_F(FormatReaders, PcdReadsExactlyAndRefusesHeadersItsDataCannotBack) {
  const auto cloud = nimbrel_tools::loadCloud(
      write("good.pcd", kPcdHead + "WIDTH 2\nHEIGHT 1\nPOINTS 2\nDATA ascii\n1 2 3\n\n-0.5 0.25 4e3\n"));
  ASSERT_EQ(cloud->size(), 2u);
  EXPECT_NEAR(cloud->at(1).x, -0.5f, kExact);
  EXPECT_NEAR(cloud->at(1).z, 4000.0f, kExact);

  // A few bytes that ask PCL for a million points.
  EXPECT_REFUSED_WITH(nimbrel_tools::loadCloud(write(
                          "big.pcd", kPcdHead + "WIDTH 1000000\nHEIGHT 1\nPOINTS 1000000\nDATA binary\n123")),
                      "declares 1000000 points of 12 bytes, but the file holds 3 bytes");
  EXPECT_REFUSED_WITH(
      nimbrel_tools::loadCloud(
          write("size.pcd", "FIELDS x y z\nSIZE 4 3 4\nWIDTH 1\nHEIGHT 1\nPOINTS 1\nDATA ascii\n1 2 3\n")),
      "field y has size 3");
  EXPECT_REFUSED_WITH(
      nimbrel_tools::loadCloud(
          write("lists.pcd", "FIELDS x y z\nSIZE 4 4\nWIDTH 1\nHEIGHT 1\nPOINTS 1\nDATA ascii\n1 2 3\n")),
      "lists 3 fields but 2 sizes");
  EXPECT_REFUSED_WITH(
      nimbrel_tools::loadCloud(
          write("twice.pcd", kPcdHead + "WIDTH 1\nHEIGHT 1\nPOINTS 1\nPOINTS 9\nDATA ascii\n1 2 3\n")),
      "gives POINTS twice");
  EXPECT_REFUSED_WITH(
      nimbrel_tools::loadCloud(
          write("late.pcd", kPcdHead + "WIDTH 1\nHEIGHT 1\nPOINTS 1\nDATA ascii\nFIELDS x\n1 2 3\n")),
      "gives FIELDS after DATA");
  // PCL's ASCII reader would make these points (0, 0, 0) and carry on.
  EXPECT_REFUSED_WITH(nimbrel_tools::loadCloud(write(
                          "short.pcd", kPcdHead + "WIDTH 2\nHEIGHT 1\nPOINTS 2\nDATA ascii\n1 2 3\n4 5\n")),
                      "line 11 has 2 values, the header's fields take 3");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadCloud(
                          write("word.pcd", kPcdHead + "WIDTH 1\nHEIGHT 1\nPOINTS 1\nDATA ascii\n1 two 3\n")),
                      "line 10: 'two' is not a number");
  EXPECT_REFUSED_WITH(
      nimbrel_tools::loadCloud(write("noz.pcd",
                                     "FIELDS x y\nSIZE 4 4\nTYPE F F\nCOUNT 1 1\nWIDTH 1\nHEIGHT 1\nPOINTS "
                                     "1\nDATA ascii\n1 2\n")),
      "have no z coordinate");
}

const std::string kPlyFaces = "element face 1\nproperty list uchar int vertex_indices\nend_header\n";

TEST_F(FormatReaders, PlyRefusesHeadersPclAbortsOrOverAllocatesOn) {
  const std::string start = "ply\nformat ascii 1.0\n";
  const std::string vertexElement =
      "element vertex 3\nproperty float x\nproperty float y\nproperty float z\n";
  const std::string vertices = start + vertexElement;
  const std::string data = "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";
  const auto mesh = nimbrel_tools::loadMeshFile(write("good.ply", vertices + kPlyFaces + data));
  ASSERT_EQ(mesh.vertices.size(), 3u);
  ASSERT_EQ(mesh.mesh.polygons.size(), 1u);
  EXPECT_NEAR(mesh.vertices[1].x, 1.0f, kExact);

  EXPECT_REFUSED_WITH(nimbrel_tools::loadMesh(write(
                          "list.ply", vertices + "property list uchar float extra\n" + kPlyFaces + data)),
                      "vertex element has a list property");
  EXPECT_REFUSED_WITH(
      nimbrel_tools::loadMesh(write("count.ply",
                                    "ply\nformat binary_little_endian 1.0\nelement vertex "
                                    "1000000000\nproperty float x\nproperty float y\nproperty "
                                    "float z\nend_header\n0123")),
      "declares 1000000000 vertex elements, more than the 4 bytes");
  EXPECT_REFUSED_WITH(
      nimbrel_tools::loadMesh(write("grid.ply", start + "obj_info num_cols 1\nobj_info num_rows 2\n" +
                                                    vertexElement + kPlyFaces + data)),
      "grid of 1 x 2 does not fit its 3 vertices");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadMesh(write("open.ply", vertices + data)), "has no end_header");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadCloud(write("cloud.ply",
                                                     "ply\nformat ascii 1.0\nelement vertex 1\n"
                                                     "property float x\nproperty float y\n"
                                                     "end_header\n1 2\n")),
                      "have no z coordinate");
}

TEST_F(FormatReaders, ObjRefusesBadIndicesAndShortLinesAndReadsCrlfFilesWithNormals) {
  const std::string triangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
  EXPECT_REFUSED_WITH(nimbrel_tools::loadMesh(write("index.obj", triangle + "f 1 2 7\n")),
                      "a face uses vertex 6 of 3");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadMesh(write("short.obj", "v 0 0 0\nv 1 0\nv 0 1 0\nf 1 2 3\n")),
                      "line 2 needs three coordinates");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadMesh(write("normal.obj", triangle + "vn 0 1\nf 1 2 3\n")),
                      "line 4 needs three coordinates");

  // Blank CRLF lines, more normals than vertices and a material library: read through a cleaned copy, with
  // the quad split into two triangles.
  const std::string crlf =
      "mtllib nowhere.mtl\r\n\r\nv 0 0 0\r\nv 1 0 0\r\nv 1 1 0\r\nv 0 1 0\r\n\r\nvn 0 0 1\r\nvn 0 0 1\r\n"
      "vn 0 0 1\r\nvn 0 0 1\r\nvn 0 0 1\r\nf 1 2 3 4\r\n";
  const auto quad = nimbrel_tools::loadMeshFile(write("crlf.obj", crlf));
  ASSERT_EQ(quad.vertices.size(), 4u);
  ASSERT_EQ(quad.mesh.polygons.size(), 2u);
  EXPECT_NEAR(quad.vertices[2].x, 1.0f, kExact);
  EXPECT_NEAR(quad.vertices[2].y, 1.0f, kExact);
  EXPECT_EQ(quad.mesh.polygons[1].vertices, (std::vector<pcl::index_t>{0, 2, 3}));
  // Only the named file and this test's copies: the cleaned copy is gone.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 4);
}

TEST_F(FormatReaders, StlRefusesTruncatedBinaryAndNonText) {
  // A binary STL that declares two triangles and holds one.
  std::string binary(84 + 50, '\0');
  binary[80] = 2;
  EXPECT_REFUSED_WITH(nimbrel_tools::loadMesh(write("cut.stl", binary)),
                      "declares 2 triangles, which needs 184 bytes, but the file has 134");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadMesh(write("tiny.stl", std::string("\x01\x02\x03", 3))),
                      "neither ascii STL nor long enough for binary STL");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadMesh(write("text.stl", "solid x\nfacet \x01 normal\n")),
                      "neither ascii STL nor long enough");
}

const std::string kCameraMatrix = "camera_matrix:\n  data: [500, 0, 320, 0, 500, 240, 0, 0, 1]\n";
const std::string kCalibration = "image_width: 640\nimage_height: 480\n" + kCameraMatrix;

TEST_F(FormatReaders, CameraInfoReadsBothLayoutsAndRefusesMissingOrMismatchedData) {
  const auto calibration = nimbrel_tools::loadCameraInfo(
      write("cal.yaml", kCalibration + "distortion_coefficients:\n  data: [0.1, -0.2, 0.001, 0.002]\n"));
  EXPECT_EQ(calibration.width, 640);
  EXPECT_NEAR(calibration.intrinsic.cx, 320.0f, kExact);
  // Four plumb_bob coefficients: k3 is 0.
  ASSERT_EQ(calibration.camera.coefficients.size(), 5u);
  EXPECT_EQ(calibration.camera.coefficients[4], 0.0);
  EXPECT_TRUE(calibration.warnings.empty());

  const auto message = nimbrel_tools::loadCameraInfo(
      write("msg.yaml", "width: 64\nheight: 48\nk: [50, 0, 32, 0, 50, 24, 0, 0, 1]\nd: []\n"));
  EXPECT_EQ(message.height, 48);
  EXPECT_NEAR(message.intrinsic.fy, 50.0f, kExact);
  ASSERT_EQ(message.warnings.size(), 1u);
  EXPECT_NE(message.warnings[0].find("zero distortion assumed"), std::string::npos);

  EXPECT_REFUSED_WITH(nimbrel_tools::loadCameraInfo(write("none.yaml", "image_width: 640\n")),
                      "no camera_matrix");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadCameraInfo(
                          write("eight.yaml", "camera_matrix:\n  data: [1, 0, 0, 0, 1, 0, 0, 0]\n")),
                      "camera_matrix needs 9 values, has 8");
  EXPECT_REFUSED_WITH(
      nimbrel_tools::loadCameraInfo(
          write("model.yaml", kCalibration + "distortion_model: equidistant\ndistortion_coefficients:\n"
                                             "  data: [0.1, 0.2, 0.3, 0.4, 0.5]\n")),
      "equidistant takes 4 coefficients, the file gives 5");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadCameraInfo(write("size.yaml", "image_width: -1\n" + kCameraMatrix)),
                      "is negative");
  EXPECT_REFUSED_WITH(nimbrel_tools::loadCameraInfo(write("broken.yaml", "camera_matrix: [1, 2\n")),
                      "bad camera info");
}

TEST(ToolArguments, MatricesPosesAndVectorsRefuseWhatIsNotATransform) {
  const Eigen::Matrix4d quarterTurn = nimbrel_tools::parseMatrix("1,2,3, 0,0,0.7071068,0.7071068", "m");
  EXPECT_NEAR(quarterTurn(0, 1), -1.0, 1e-6);
  EXPECT_EQ(quarterTurn(2, 3), 3.0);
  EXPECT_EQ(nimbrel_tools::parseMatrix("[1 0 0 5; 0 1 0 6; 0 0 1 7; 0 0 0 1]", "m")(1, 3), 6.0);

  EXPECT_REFUSED_AS(UsageError, nimbrel_tools::parseMatrix("1 0 0 0 0 1 0 0 0 0 1 0 0 0 1 1", "m"),
                    "bottom row must be 0 0 0 1");
  EXPECT_REFUSED_AS(UsageError, nimbrel_tools::parseMatrix("1 2 3 0 0 0 2", "m"), "length 2");
  EXPECT_REFUSED_AS(UsageError, nimbrel_tools::parseMatrix("1 2 3 4 5", "m"), "got 5");
  EXPECT_REFUSED_AS(UsageError, nimbrel_tools::parseMatrix("1 0 0 0 0 1 0 0 0 0 1 nan 0 0 0 1", "m"),
                    "value 12 is not finite");
  EXPECT_REFUSED_AS(UsageError, nimbrel_tools::parseMatrix("1 0 0 x", "m"),
                    "bad matrix m: 'x' is not a number");
  EXPECT_REFUSED_AS(UsageError, nimbrel_tools::poseArgument("2 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1", "pose"),
                    "not a rigid pose");
  EXPECT_REFUSED_AS(UsageError, nimbrel_tools::parseVector3("1,2", "--size"), "need 3 numbers");
}

// A tracker's rotation is off orthonormal by about 1e-4: every pose option takes it, as the nearest rotation;
// a scale, a shear or a mirror stays refused. A general transform keeps any affine matrix (mm to m).
TEST(ToolArguments, PosesWithinTheRigidToleranceAreMadeOrthonormal) {
  const std::string tracked =
      "0.86610 -0.50010 0.00010 0.1  0.49990 0.86600 -0.00010 0.2  -0.00005 0.00010 0.99990 0.3  0 0 0 1";
  const Eigen::Matrix4d given = nimbrel_tools::parseMatrix(tracked, "m");
  const Eigen::Matrix3d g = given.topLeftCorner<3, 3>();
  const double off = (g.transpose() * g - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff();
  ASSERT_GT(off, 1e-4);
  ASSERT_LT(off, 1e-3);  // the documented tolerance

  const Eigen::Matrix4d pose = nimbrel_tools::poseArgument(tracked, "--box-pose");
  const Eigen::Matrix3d r = pose.topLeftCorner<3, 3>();
  EXPECT_LT((r.transpose() * r - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff(), 1e-12);
  EXPECT_NEAR(r.determinant(), 1.0, 1e-12);
  EXPECT_LT((r - g).cwiseAbs().maxCoeff(), 2e-4);
  EXPECT_EQ(pose.rightCols<1>(), given.rightCols<1>());

  EXPECT_REFUSED_AS(UsageError,
                    nimbrel_tools::poseArgument("1.01 0 0 0  0 1.01 0 0  0 0 1.01 0  0 0 0 1", "--box-pose"),
                    "bad --box-pose: not a rigid pose: its axes have lengths 1.01, 1.01, 1.01");
  EXPECT_REFUSED_AS(UsageError, nimbrel_tools::poseArgument("1 0.01 0 0  0 1 0 0  0 0 1 0  0 0 0 1", "pose"),
                    "not at right angles");
  EXPECT_REFUSED_AS(UsageError, nimbrel_tools::poseArgument("1 0 0 0  0 1 0 0  0 0 -1 0  0 0 0 1", "pose"),
                    "mirrors");
  EXPECT_EQ(nimbrel_tools::matrixArgument("0.001 0 0 0  0 0.001 0 0  0 0 0.001 0  0 0 0 1", "--matrix")(0, 0),
            0.001);
}

}  // namespace
