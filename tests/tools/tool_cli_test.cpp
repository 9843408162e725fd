// End-to-end tests of the nimbrel_arm_util command-line tool: each test writes its input files, runs the
// installed-to-be program and reads back what it wrote.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <pcl/common/transforms.h>
#include <pcl/conversions.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/fields.hpp"
#include "support/files.hpp"
#include "support/render.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using nimbrel_tools::Cloud;

constexpr float kTol = 1e-5f;

// PCL's prebuilt STL reader (VTK polydata to mesh) frees a buffer with another function than the one that
// allocated it: harmless with glibc, but AddressSanitizer stops the program there. Tool runs that read STL
// files tell it to let that one report pass.
const std::string kStlReaderEnvironment = "ASAN_OPTIONS=${ASAN_OPTIONS}:alloc_dealloc_mismatch=0";

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ToolCli : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  Outcome run(const std::string& args, const std::string& environment = "") const {
    const fs::path out = dir_ / "stdout.txt", err = dir_ / "stderr.txt";
    const std::string cmd = environment + " " + std::string(NIMBREL_TOOL) + " " + args + " >" + out.string() +
                            " 2>" + err.string();
    Outcome r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    fs::remove(out);
    fs::remove(err);
    return r;
  }

  // Files left in the folder other than the ones the test expects: a failed run must leave no temporary.
  std::vector<std::string> strayFiles(const std::vector<std::string>& expected) const {
    std::vector<std::string> stray;
    for (const auto& e : fs::directory_iterator(dir_)) {
      const std::string name = e.path().filename().string();
      if (std::find(expected.begin(), expected.end(), name) == expected.end()) stray.push_back(name);
    }
    return stray;
  }

  void writeText(const std::string& name, const std::string& text) const {
    std::ofstream(path(name)) << text;
  }

  void writeCloud(const std::string& name, const std::vector<pcl::PointXYZ>& points) const {
    Cloud c;
    for (const auto& p : points) c.push_back(p);
    nimbrel_tools::saveCloud(c, path(name));
  }

  void writeCameraInfo(const std::string& name, int w, int h) const {
    nimbrel_tools::CameraInfo info;
    info.intrinsic = {4.0f, 4.0f, 4.0f, 3.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    info.width = w;
    info.height = h;
    nimbrel_tools::saveCameraInfo(info, path(name));
  }

  nimbrel_test::TempDir temp_{"nimbrel_tool_test"};
  const fs::path& dir_ = temp_.dir();
};

// A single error line on standard error, non-zero status, nothing on standard output.
void expectOneLineError(const Outcome& r, const std::string& needle) {
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

bool contains(const Cloud& c, float x, float y, float z) {
  for (const auto& p : c) {
    if (std::abs(p.x - x) < kTol && std::abs(p.y - y) < kTol && std::abs(p.z - z) < kTol) return true;
  }
  return false;
}

const char* kCubeObj =
    "# unit cube from (0,0,0) to (1,1,1), faces as quads\n"
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n"
    "f 1 4 3 2\nf 5 6 7 8\nf 1 2 6 5\nf 2 3 7 6\nf 3 4 8 7\nf 4 1 5 8\n";

TEST_F(ToolCli, HelpOnEverySubcommand) {
  for (const char* sub : {"depth", "depth-batch", "clean", "transform", "cut-boxes", "cut-meshes", "hull",
                          "upsample", "render"}) {
    const Outcome r = run(std::string(sub) + " --help");
    EXPECT_EQ(r.status, 0) << sub;
    EXPECT_NE(r.out.find(sub), std::string::npos) << sub << ": " << r.out;
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << sub;
  }
  const Outcome top = run("--help");
  EXPECT_EQ(top.status, 0);
  EXPECT_NE(top.out.find("cut-meshes"), std::string::npos);
  EXPECT_NE(run("").status, 0);
  expectOneLineError(run("frobnicate"), "error");
}

TEST_F(ToolCli, DepthImageBecomesACloudInMetres) {
  cv::Mat depth(6, 8, CV_16UC1, cv::Scalar(1000));
  depth.at<std::uint16_t>(3, 6) = 2000;  // column 6, row 3
  depth.at<std::uint16_t>(0, 0) = 0;     // no reading
  ASSERT_TRUE(cv::imwrite(path("d.png"), depth));
  writeCameraInfo("cam.yaml", 8, 6);

  const Outcome r = run("depth " + path("d.png") + " -c " + path("cam.yaml") + " -o " + path("c.pcd"));
  ASSERT_EQ(r.status, 0) << r.err;
  const auto cloud = nimbrel_tools::loadCloud(path("c.pcd"));
  ASSERT_EQ(cloud->size(), 47u);
  EXPECT_TRUE(contains(*cloud, 1.0f, 0.0f, 2.0f));      // (6 - 4) * 2 / 4
  EXPECT_TRUE(contains(*cloud, -0.75f, -0.75f, 1.0f));  // column 1, row 0
  EXPECT_FALSE(contains(*cloud, -1.0f, -0.75f, 1.0f));
}

TEST_F(ToolCli, DepthRefusesWrongImagesAndCameraInfo) {
  writeCameraInfo("cam.yaml", 8, 6);
  ASSERT_TRUE(cv::imwrite(path("eight.png"), cv::Mat(6, 8, CV_8UC1, cv::Scalar(7))));
  ASSERT_TRUE(cv::imwrite(path("colour.png"), cv::Mat(6, 8, CV_16UC3, cv::Scalar(7, 7, 7))));
  ASSERT_TRUE(cv::imwrite(path("big.png"), cv::Mat(12, 8, CV_16UC1, cv::Scalar(7))));
  writeText("not_an_image.png", "hello");
  writeText("k8.yaml", "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [1, 0, 1, 0, 1, 1, 0, 0]\n");
  writeText("broken.yaml", "camera_matrix: [1, 2\n");
  writeText("fisheye.yaml",
            "camera_matrix:\n  data: [1, 0, 1, 0, 1, 1, 0, 0, 1]\ndistortion_model: equidistant\n"
            "distortion_coefficients:\n  data: [0, 0, 0, 0, 0]\n");
  // A negative image size used to pass as "no size given", so any image matched it.
  writeText("negative.yaml",
            "image_width: 8\nimage_height: -6\ncamera_matrix:\n  data: [1, 0, 1, 0, 1, 1, 0, 0, 1]\n");
  const std::string out = " -o " + path("c.pcd");
  const std::vector<std::string> inputs = {"cam.yaml",    "eight.png",        "colour.png",
                                           "big.png",     "not_an_image.png", "k8.yaml",
                                           "broken.yaml", "fisheye.yaml",     "negative.yaml"};

  expectOneLineError(run("depth " + path("eight.png") + " -c " + path("cam.yaml") + out), "wrong image type");
  expectOneLineError(run("depth " + path("colour.png") + " -c " + path("cam.yaml") + out),
                     "wrong image type");
  expectOneLineError(run("depth " + path("not_an_image.png") + " -c " + path("cam.yaml") + out),
                     "unreadable image");
  expectOneLineError(run("depth " + path("missing.png") + " -c " + path("cam.yaml") + out), "no such file");
  expectOneLineError(run("depth " + path("big.png") + " -c " + path("cam.yaml") + out),
                     "camera info describes 8x6");
  expectOneLineError(run("depth " + path("big.png") + " -c " + path("k8.yaml") + out), "needs 9 values");
  expectOneLineError(run("depth " + path("big.png") + " -c " + path("broken.yaml") + out), "bad camera info");
  expectOneLineError(run("depth " + path("big.png") + " -c " + path("fisheye.yaml") + out),
                     "distortion model equidistant takes 4 coefficients, the file gives 5");
  expectOneLineError(run("depth " + path("big.png") + " -c " + path("nope.yaml") + out), "no such file");
  expectOneLineError(run("depth " + path("big.png") + " -c " + path("negative.yaml") + out),
                     "image size 8 x -6 is negative");
  EXPECT_EQ(strayFiles(inputs), std::vector<std::string>{});
}

TEST_F(ToolCli, DepthBatchConvertsEveryImageAndReportsFailures) {
  fs::create_directory(path("in"));
  fs::create_directory(path("out"));
  writeCameraInfo("cam.yaml", 8, 6);
  for (const char* name : {"a.png", "b.png"})
    ASSERT_TRUE(cv::imwrite(path(std::string("in/") + name), cv::Mat(6, 8, CV_16UC1, cv::Scalar(500))));
  ASSERT_TRUE(cv::imwrite(path("in/c.png"), cv::Mat(6, 8, CV_8UC1, cv::Scalar(5))));
  writeText("in/notes.txt", "not an image");

  const Outcome r = run("depth-batch " + path("in") + " -c " + path("cam.yaml") + " -O " + path("out"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("c.png"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("2 of 3 images"), std::string::npos) << r.out;
  EXPECT_EQ(nimbrel_tools::loadCloud(path("out/a.pcd"))->size(), 48u);
  EXPECT_EQ(nimbrel_tools::loadCloud(path("out/b.pcd"))->size(), 48u);
  EXPECT_FALSE(fs::exists(path("out/c.pcd")));
  EXPECT_EQ(std::distance(fs::directory_iterator(path("out")), fs::directory_iterator()), 2);

  expectOneLineError(run("depth-batch " + path("nowhere") + " -c " + path("cam.yaml") + " -O " + path("out")),
                     "no such directory");
}

TEST_F(ToolCli, TransformAppliesTheMatrixAndRefusesBadOnes) {
  writeCloud("in.pcd", {{0, 0, 0}, {1, 0, 0}});
  // 90 degrees about z, then a shift by (1, 2, 3).
  const std::string m = "'0 -1 0 1  1 0 0 2  0 0 1 3  0 0 0 1'";
  Outcome r = run("transform " + path("in.pcd") + " -o " + path("out.pcd") + " -m " + m);
  ASSERT_EQ(r.status, 0) << r.err;
  auto out = nimbrel_tools::loadCloud(path("out.pcd"));
  ASSERT_EQ(out->size(), 2u);
  EXPECT_TRUE(contains(*out, 1, 2, 3));
  EXPECT_TRUE(contains(*out, 1, 3, 3));

  writeText("m.txt", "[1, 0, 0, 0.5]\n[0, 1, 0, 0]\n[0, 0, 1, 0]\n[0, 0, 0, 1]\n");
  r = run("transform " + path("in.pcd") + " -o " + path("out.pcd") + " -m " + path("m.txt"));
  ASSERT_EQ(r.status, 0) << r.err;
  out = nimbrel_tools::loadCloud(path("out.pcd"));
  EXPECT_TRUE(contains(*out, 1.5f, 0, 0));

  // A refused matrix leaves the previous output exactly as it was.
  const std::string before = slurp(path("out.pcd"));
  const std::string cmd = "transform " + path("in.pcd") + " -o " + path("out.pcd") + " -m ";
  expectOneLineError(run(cmd + "'1 0 0 0 0 1 0 0 0 0 1 0 0 0 0'"), "need 16 numbers");
  expectOneLineError(run(cmd + "'1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 x'"), "'x' is not a number");
  expectOneLineError(run(cmd + "'1 0 0 0 0 1 0 0 0 0 1 0 0 0 1 1'"), "bottom row");
  expectOneLineError(run(cmd + "'1 0 0 nan 0 1 0 0 0 0 1 0 0 0 0 1'"), "not finite");
  EXPECT_EQ(slurp(path("out.pcd")), before);
  expectOneLineError(run("transform " + path("none.pcd") + " -o " + path("x.pcd") + " -m " + m),
                     "no such file");
  writeText("garbage.pcd", "this is not a point cloud\n");
  expectOneLineError(run("transform " + path("garbage.pcd") + " -o " + path("x.pcd") + " -m " + m),
                     "unreadable point cloud");
  EXPECT_EQ(strayFiles({"in.pcd", "out.pcd", "m.txt", "garbage.pcd"}), std::vector<std::string>{});
}

TEST_F(ToolCli, CleanKeepsThePointsInsideTheBox) {
  std::vector<pcl::PointXYZ> grid;
  for (int i = 0; i < 40; ++i) {
    for (int j = 0; j < 40; ++j)
      grid.emplace_back(0.05f * static_cast<float>(i), 0.05f * static_cast<float>(j), 1.0f);
  }
  writeCloud("grid.pcd", grid);
  const Outcome r = run("clean " + path("grid.pcd") + " -o " + path("c.pcd") +
                        " --box 0,0.98,0,0.48,0.5,1.5 --leaf 0.01 --mean-k 8 --stddev 10");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto c = nimbrel_tools::loadCloud(path("c.pcd"));
  EXPECT_EQ(c->size(), 200u);  // 20 columns by 10 rows of an even grid: no outliers
  for (const auto& p : *c) {
    EXPECT_LE(p.x, 0.98f);
    EXPECT_LE(p.y, 0.48f);
  }
  // A box that holds nothing gives an empty, readable cloud and a warning.
  const Outcome empty = run("clean " + path("grid.pcd") + " -o " + path("e.pcd") + " --box 5,6,5,6,5,6");
  EXPECT_EQ(empty.status, 0);
  EXPECT_NE(empty.err.find("warning"), std::string::npos);
  EXPECT_EQ(nimbrel_tools::loadCloud(path("e.pcd"))->size(), 0u);
  expectOneLineError(run("clean " + path("grid.pcd") + " -o " + path("x.pcd") + " --box 0,1,0,1,0"),
                     "6 numbers");
  expectOneLineError(run("clean " + path("grid.pcd") + " -o " + path("x.pcd") + " --leaf 0"), "--leaf");
  EXPECT_FALSE(fs::exists(path("x.pcd")));
}

TEST_F(ToolCli, CutBoxesRemovesObjectAndToolPoints) {
  writeCloud("s.pcd", {{0, 0, 0}, {0.09f, 0, 0}, {0.5f, 0, 0}, {1.0f, 0, 0}, {1.15f, 0, 0}, {2, 0, 0}});
  const std::string identity = "'1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1'";
  const std::string atOne = "'1 0 0 1 0 1 0 0 0 0 1 0 0 0 0 1'";
  Outcome r =
      run("cut-boxes " + path("s.pcd") + " -o " + path("o.pcd") + " --box-pose " + identity +
          " --box-size 0.2,0.2,0.2 --tool-pose " + atOne + " --tool-half-size 0.1,0.1,0.1 --tool-margin 0.1");
  ASSERT_EQ(r.status, 0) << r.err;
  auto o = nimbrel_tools::loadCloud(path("o.pcd"));
  ASSERT_EQ(o->size(), 2u);
  EXPECT_TRUE(contains(*o, 0.5f, 0, 0));
  EXPECT_TRUE(contains(*o, 2, 0, 0));

  r = run("cut-boxes " + path("s.pcd") + " -o " + path("t.pcd") + " --tool-pose " + atOne +
          " --tool-half-size 0.1,0.1,0.1");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nimbrel_tools::loadCloud(path("t.pcd"))->size(), 5u);

  // Points without coordinates (the holes of an organized camera cloud) are dropped and named apart.
  writeCloud("n.pcd", {{0, 0, 0}, {NAN, NAN, NAN}, {2, 0, 0}, {NAN, NAN, NAN}});
  r = run("cut-boxes " + path("n.pcd") + " -o " + path("m.pcd") + " --box-pose " + identity +
          " --box-size 0.2,0.2,0.2");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("4 points in, 1 points out (removed: 1 inside the boxes, 2 non-finite)"),
            std::string::npos)
      << r.err;

  expectOneLineError(run("cut-boxes " + path("s.pcd") + " -o " + path("x.pcd")), "nothing to cut");
  expectOneLineError(run("cut-boxes " + path("s.pcd") + " -o " + path("x.pcd") + " --box-pose " + identity),
                     "go together");
  expectOneLineError(run("cut-boxes " + path("s.pcd") + " -o " + path("x.pcd") + " --box-pose " + identity +
                         " --box-size 1,2"),
                     "need 3 numbers");
  EXPECT_FALSE(fs::exists(path("x.pcd")));
}

TEST_F(ToolCli, CutMeshesReadsEveryFormatAndBothMethodsAgreeWhereTheyShould) {
  writeText("cube.obj", kCubeObj);
  const pcl::PolygonMesh cube = nimbrel_tools::loadMesh(path("cube.obj"));
  EXPECT_EQ(cube.polygons.size(), 12u);  // six quads split into triangles
  nimbrel_tools::saveMesh(cube, path("cube.ply"));
  nimbrel_tools::saveMesh(cube, path("cube.stl"));
  // Centre of the cube (inside, 0.5 from every face), 0.03 above the top face, and far away.
  writeCloud("s.pcd", {{0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 1.03f}, {3, 3, 3}});

  for (const char* mesh : {"cube.obj", "cube.ply", "cube.stl"}) {
    const std::string env = std::string(mesh) == "cube.stl" ? kStlReaderEnvironment : "";
    Outcome r = run("cut-meshes " + path("s.pcd") + " -o " + path("fast.pcd") + " --mesh " + path(mesh), env);
    ASSERT_EQ(r.status, 0) << mesh << ": " << r.err;
    auto fast = nimbrel_tools::loadCloud(path("fast.pcd"));
    ASSERT_EQ(fast->size(), 2u) << mesh;
    EXPECT_TRUE(contains(*fast, 0.5f, 0.5f, 0.5f)) << mesh;  // far from every sampled surface point
    EXPECT_TRUE(contains(*fast, 3, 3, 3)) << mesh;

    r = run("cut-meshes " + path("s.pcd") + " -o " + path("plain.pcd") + " --method plain -M " + path(mesh),
            env);
    ASSERT_EQ(r.status, 0) << mesh << ": " << r.err;
    auto plain = nimbrel_tools::loadCloud(path("plain.pcd"));
    ASSERT_EQ(plain->size(), 1u) << mesh;  // the inside point and the one 0.03 away both go
    EXPECT_TRUE(contains(*plain, 3, 3, 3)) << mesh;
  }

  writeText("junk.ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nend_header\n1\n");
  writeText("junk.stl", "solid nothing\nendsolid nothing\n");
  writeText("cube.3ds", kCubeObj);
  writeText("cube.dae", kCubeObj);  // not Collada inside
  writeText("dangling.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 9\n");
  const std::string cmd = "cut-meshes " + path("s.pcd") + " -o " + path("x.pcd") + " -M ";
  expectOneLineError(run(cmd + path("junk.ply")), "unreadable mesh");
  expectOneLineError(run(cmd + path("junk.stl"), kStlReaderEnvironment), "unreadable mesh");
  expectOneLineError(run(cmd + path("cube.3ds")), "unknown extension");
  expectOneLineError(run(cmd + path("cube.dae")), "unreadable mesh");
  expectOneLineError(run(cmd + path("dangling.obj")), "unreadable mesh");
  expectOneLineError(run(cmd + path("missing.ply")), "no such file");
  expectOneLineError(run(cmd + path("cube.obj") + " --method slow"), "error");
  EXPECT_FALSE(fs::exists(path("x.pcd")));
  EXPECT_EQ(strayFiles({"cube.obj", "cube.ply", "cube.stl", "s.pcd", "fast.pcd", "plain.pcd", "junk.ply",
                        "junk.stl", "cube.3ds", "cube.dae", "dangling.obj"}),
            std::vector<std::string>{});
}

// Files that used to abort the tool inside PCL's PLY reader, make the STL reader allocate for a triangle
// count the file cannot hold, or crash PCL's OBJ reader on a short vertex line: all are refused with one
// line and nothing written.
TEST_F(ToolCli, CutMeshesRefusesPlyVertexListsAndOversizedBinaryStl) {
  writeCloud("s.pcd", {{0.5f, 0.5f, 0.5f}});
  const std::string vertexList =
      "element vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
      "property list uchar int extra\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n";
  writeText("list.ply",
            "ply\nformat ascii 1.0\n" + vertexList + "0 0 0 1 7\n1 0 0 1 7\n0 1 0 1 7\n3 0 1 2\n");
  writeText("short.obj", "v 0 0 0\nv 1 0 0\nv 0 1\nf 1 2 3\n");
  writeText("short_normal.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0\nf 1 2 3\n");
  writeText("list_binary.ply", "ply\r\nformat binary_little_endian 1.0\r\n" + vertexList + "\x01\x02");

  // 84-byte binary STL whose header even starts with "solid", declaring 90 million triangles.
  std::string huge(84, '\0');
  huge.replace(0, 10, "solid cube");
  const std::uint32_t count = 90000000;
  for (int b = 0; b < 4; ++b) huge[80 + b] = static_cast<char>((count >> (8 * b)) & 0xff);
  huge += std::string(200, '\x01');
  std::ofstream(path("huge.stl"), std::ios::binary) << huge;

  const std::string cmd = "cut-meshes " + path("s.pcd") + " -o " + path("x.pcd") + " -M ";
  expectOneLineError(run(cmd + path("list.ply")), "list property");
  expectOneLineError(run(cmd + path("list_binary.ply")), "list property");
  expectOneLineError(run(cmd + path("huge.stl"), kStlReaderEnvironment), "90000000 triangles");
  expectOneLineError(run(cmd + path("short.obj")), "line 3 needs three coordinates");
  expectOneLineError(run(cmd + path("short_normal.obj")), "line 4 needs three coordinates");
  EXPECT_FALSE(fs::exists(path("x.pcd")));
  EXPECT_EQ(strayFiles({"s.pcd", "list.ply", "list_binary.ply", "huge.stl", "short.obj", "short_normal.obj"}),
            std::vector<std::string>{});

  // The guards let through what the readers handle: an ascii STL, and a binary one of the right size.
  writeText("tri.stl",
            "solid tri\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
            "endloop\nendfacet\nendsolid tri\n");
  std::string one(84, '\0');
  one.replace(0, 9, "solid one");
  one[80] = 1;
  const float corners[12] = {0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0};
  one.append(reinterpret_cast<const char*>(corners), sizeof corners);
  one.append(2, '\0');
  std::ofstream(path("one.stl"), std::ios::binary) << one;
  // Blank lines of a CRLF file (and blank-only lines anywhere) used to crash PCL's OBJ reader.
  writeText("crlf.obj", "\r\nv 0 0 0\r\nv 1 0 0\r\n \t\r\nv 0 1 0\r\n\r\nf 1 2 3\r\n");
  // A material library naming a directory used to hang PCL's material reader.
  writeText("mtl_dir.obj", "mtllib .\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n\v\fmtllib .\n");
  for (const char* mesh : {"tri.stl", "one.stl", "crlf.obj", "mtl_dir.obj"}) {
    const Outcome r = run(cmd + path(mesh), kStlReaderEnvironment);
    EXPECT_EQ(r.status, 0) << mesh << ": " << r.err;
  }
}

// PCL's OBJ reader stores the i-th normal in the i-th vertex's record, so a mesh with a normal per face
// and fewer vertices than faces (an octahedron) made it write past its buffer and corrupt the heap, as did
// a vertex line it left out of its count. Its
// PLY reader allocated for element counts and grids the file cannot back, and aborted on a grid with fewer
// cells than vertices.
TEST_F(ToolCli, MeshReadersSurviveExtraNormalsAndRefuseCountsTheFileCannotHold) {
  std::string octahedron = "v 1 0 0\nv -1 0 0\nv 0 1 0\nv 0 -1 0\nv 0 0 1\nv 0 0 -1\n";
  const int faces[8][3] = {{1, 3, 5}, {3, 2, 5}, {2, 4, 5}, {4, 1, 5},
                           {3, 1, 6}, {2, 3, 6}, {4, 2, 6}, {1, 4, 6}};
  for (int f = 0; f < 8; ++f) octahedron += "vn 0.577 0.577 0.577\n";
  for (int f = 0; f < 8; ++f) {
    octahedron += "f " + std::to_string(faces[f][0]) + "//" + std::to_string(f + 1) + " " +
                  std::to_string(faces[f][1]) + "//" + std::to_string(f + 1) + " " +
                  std::to_string(faces[f][2]) + "//" + std::to_string(f + 1) + "\n";
  }
  writeText("octahedron.obj", octahedron);
  const pcl::PolygonMesh mesh = nimbrel_tools::loadMesh(path("octahedron.obj"));
  Cloud vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  ASSERT_EQ(vertices.size(), 6u);
  EXPECT_TRUE(contains(vertices, -1, 0, 0) && contains(vertices, 0, 0, -1));
  ASSERT_EQ(mesh.polygons.size(), 8u);
  for (int f = 0; f < 8; ++f) {
    ASSERT_EQ(mesh.polygons[f].vertices.size(), 3u);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(mesh.polygons[f].vertices[c], faces[f][c] - 1) << f;
  }
  // A carriage return right after "v" hid the line from PCL's vertex count, but not from its reading.
  writeText("cr.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nv\r1 1 1\nv\r\t2 2 2\r\nf 1 2 3\nf 2 4 5\n");
  const pcl::PolygonMesh cr = nimbrel_tools::loadMesh(path("cr.obj"));
  Cloud crVertices;
  pcl::fromPCLPointCloud2(cr.cloud, crVertices);
  ASSERT_EQ(crVertices.size(), 5u);
  EXPECT_TRUE(contains(crVertices, 1, 1, 1) && contains(crVertices, 2, 2, 2));
  EXPECT_EQ(cr.polygons.size(), 2u);
  // The same mesh through both of PCL's PLY writers still loads.
  pcl::io::savePLYFileBinary(path("octahedron.ply"), mesh);
  EXPECT_EQ(nimbrel_tools::loadMesh(path("octahedron.ply")).polygons.size(), 8u);
  pcl::io::savePLYFile(path("octahedron_ascii.ply"), mesh);
  EXPECT_EQ(nimbrel_tools::loadMesh(path("octahedron_ascii.ply")).polygons.size(), 8u);

  const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
  const std::string face = "element face 1\nproperty list uchar int vertex_indices\nend_header\n";
  const std::string triangle = "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";
  std::string binaryFaces = "ply\nformat binary_little_endian 1.0\nelement vertex 3\n" + xyz +
                            "element face 400000000\nproperty list uchar int vertex_indices\nend_header\n";
  binaryFaces += std::string(36 + 13, '\0');
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"ply\nformat ascii 1.0\nelement vertex 1000000000\n" + xyz + face + triangle,
       "1000000000 vertex elements, more than the 26 bytes"},
      {binaryFaces, "400000000 face elements"},
      {"ply\nformat ascii 1.0\nelement vertex many\n" + xyz + face + triangle, "element vertex has no count"},
      {"ply\nformat ascii 1.0\nobj_info num_cols 1\nobj_info num_rows 1\nelement vertex 3\n" + xyz + face +
           triangle,
       "grid of 1 x 1 does not fit its 3 vertices"},
      {"ply\nformat ascii 1.0\nobj_info num_cols 100000\nobj_info num_rows 100000\nelement vertex 3\n" + xyz +
           face + triangle,
       "grid of 100000 x 100000"},
      // A grid given in part before the vertices and completed after them aborted the reader as well.
      {"ply\nformat ascii 1.0\nobj_info num_rows 2\nelement vertex 3\n" + xyz + "obj_info num_cols 2\n" +
           face + triangle,
       "one num_cols and one num_rows line before the elements"},
      // An indented obj_info line failed an assertion in PCL's reader.
      {"ply\nformat ascii 1.0\n obj_info num_cols 3\nelement vertex 3\n" + xyz + face + triangle,
       "obj_info line does not start with obj_info"},
  };
  for (std::size_t i = 0; i < refused.size(); ++i) {
    const std::string name = "bad" + std::to_string(i) + ".ply";
    writeText(name, refused[i].first);
    try {
      nimbrel_tools::loadMesh(path(name));
      ADD_FAILURE() << name << " was loaded";
    } catch (const nimbrel_tools::ToolError& e) {
      EXPECT_NE(std::string(e.what()).find(refused[i].second), std::string::npos) << name << ": " << e.what();
    }
  }
  // A grid that matches its vertices is read as before.
  writeText("grid.ply",
            "ply\nformat ascii 1.0\nobj_info num_cols 3\nobj_info num_rows 1\nelement vertex 3\n" + xyz +
                face + triangle);
  EXPECT_EQ(nimbrel_tools::loadMesh(path("grid.ply")).polygons.size(), 1u);
}

// A PCD header whose SIZE line gives z no room in the point (offset 8 of an 8-byte point) made the
// conversion read past the loaded data; a size of 0 is refused by the header check, and one-byte
// coordinates are read as the one-byte values they are, never as four-byte floats.
TEST_F(ToolCli, TransformRefusesACloudWhoseHeaderDisagreesWithItsData) {
  writeText("short_size.pcd",
            "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 0\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 2\nHEIGHT 1\n"
            "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2\nDATA ascii\n1 2 3\n4 5 6\n");
  writeText("byte_size.pcd",
            "VERSION 0.7\nFIELDS x y z\nSIZE 1 1 1\nTYPE U U U\nCOUNT 1 1 1\nWIDTH 2\nHEIGHT 1\n"
            "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2\nDATA ascii\n1 2 3\n4 5 6\n");
  const std::string m = "'1 0 0 0  0 1 0 0  0 0 1 0  0 0 0 1'";
  expectOneLineError(run("transform " + path("short_size.pcd") + " -o " + path("out.pcd") + " -m " + m),
                     "field z has size 0");
  EXPECT_EQ(strayFiles({"short_size.pcd", "byte_size.pcd"}), std::vector<std::string>{});
  const Outcome r = run("transform " + path("byte_size.pcd") + " -o " + path("out.pcd") + " -m " + m);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto out = nimbrel_tools::loadCloud(path("out.pcd"));
  ASSERT_EQ(out->size(), 2u);
  EXPECT_TRUE(contains(*out, 1, 2, 3));
  EXPECT_TRUE(contains(*out, 4, 5, 6));
}

// PCL's PCD reader allocates the point data a header declares before it looks at the data: a 300-byte
// file with a huge SIZE entry asked for about 10 GB. Headers with sizes no PCD file has, or declaring more
// points than the file holds, are refused before PCL reads them.
TEST_F(ToolCli, CloudReaderRefusesHeadersThatDeclareMoreThanTheFileHolds) {
  const std::string fields = "VERSION 0.7\nFIELDS x y z\n";
  const std::string layout = "SIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";
  const std::string one = "WIDTH 1\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 1\nDATA ascii\n1 2 3\n";
  writeText("huge_size.pcd", fields + "SIZE 4333333333333333 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 5\n" +
                                 "HEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 5\nDATA ascii\n1 2 3\n");
  const std::string m = "'1 0 0 0  0 1 0 0  0 0 1 0  0 0 0 1'";
  expectOneLineError(run("transform " + path("huge_size.pcd") + " -o " + path("out.pcd") + " -m " + m),
                     "field x has size 4333333333333333");
  EXPECT_EQ(strayFiles({"huge_size.pcd"}), std::vector<std::string>{});

  // Compressed data: 32-bit compressed and uncompressed sizes, then the compressed bytes.
  const auto compressed = [](std::uint32_t packed, std::uint32_t unpacked, std::size_t have) {
    std::string s(8, '\0');
    for (int b = 0; b < 4; ++b) {
      s[b] = static_cast<char>((packed >> (8 * b)) & 0xff);
      s[4 + b] = static_cast<char>((unpacked >> (8 * b)) & 0xff);
    }
    return s + std::string(have, '\x01');
  };
  const std::string million = "WIDTH 1000000\nHEIGHT 1\nPOINTS 1000000\n";
  const std::vector<std::pair<std::string, std::string>> refused = {
      {fields + "SIZE 4 3 4\nTYPE F F F\nCOUNT 1 1 1\n" + one, "field y has size 3"},
      {fields + "SIZE 4 4 -4\nTYPE F F F\nCOUNT 1 1 1\n" + one, "field z has size -4"},
      {fields + "SIZE 4 4 4\nTYPE F F F\nCOUNT 1 0 1\n" + one, "field y has count 0"},
      // Without TYPE every field is a 4-byte float: PCL wrote 4 bytes into each 1-byte place.
      {fields + "SIZE 1 1 1\nCOUNT 1 1 1\n" + one, "field x has type F of 1 bytes"},
      {fields + "SIZE 4 4 2\nTYPE F F F\nCOUNT 1 1 1\n" + one, "field z has type F of 2 bytes"},
      {fields + "SIZE 4 4 4\nTYPE F F B\nCOUNT 1 1 1\n" + one, "field z has type B of 4 bytes"},
      {fields + "SIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 -1\n" + one, "field z has count -1"},
      {fields + "SIZE 4 4 4\nTYPE F F F\nCOUNT 2000000 1 1\n" + one, "field x has count 2000000"},
      {fields + "SIZE 8 8 8\nTYPE F F F\nCOUNT 1048576 1048576 1048576\n" + one, "longer than 16777216"},
      {fields + "SIZE 4 4\nTYPE F F F\nCOUNT 1 1 1\n" + one, "3 fields but 2 sizes"},
      {fields + "SIZE 4 4 4\nTYPE F F\nCOUNT 1 1 1\n" + one, "3 fields but 2 types"},
      {fields + "SIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1 1\n" + one, "3 fields but 4 counts"},
      {fields + layout + "WIDTH 2\nHEIGHT 2\nPOINTS 5\nDATA ascii\n" + std::string(40, '1'),
       "WIDTH 2 x HEIGHT 2 but POINTS 5"},
      {fields + layout + "WIDTH 1\nHEIGHT 1\nPOINTS 1\nPOINTS 900000000\nDATA ascii\n1 2 3\n",
       "POINTS twice"},
      {fields + layout + "WIDTH 1\nHEIGHT 1\nPOINTS -1\nDATA ascii\n1 2 3\n", "POINTS is not a point count"},
      {fields + layout + "WIDTH 1\nHEIGHT 1\nPOINTS 4294967296\nDATA ascii\n1 2 3\n", "POINTS is not"},
      {fields + layout + "WIDTH 1\nHEIGHT 1\nPOINTS 1\n1 2 3\n", "no DATA line"},
      // PCL reads on past DATA and took binary data that began like a header line for more header.
      {fields + layout + "WIDTH 1\nHEIGHT 1\nPOINTS 1\nDATA binary\n\n# x\nFIELDS x y z a b c\n" +
           std::string(40, '\0'),
       "PCD header gives FIELDS after DATA"},
      {fields + layout + million + "DATA binary\n" + std::string(24, '\0'),
       "1000000 points of 12 bytes, but the file holds 24 bytes"},
      {fields + layout + "WIDTH 1000000\nPOINTS 1\nDATA binary\n" + std::string(12, '\0'), "1000000 points"},
      {fields + layout + million + "DATA ascii\n1 2 3\n", "1000000 points of 3 values"},
      {fields + layout + million + "DATA binary_compressed\n" + compressed(10, 12000000, 10),
       "more than compression can give"},
      {fields + layout + "WIDTH 1\nHEIGHT 1\nPOINTS 1\nDATA binary_compressed\n" +
           compressed(10, 4000000000u, 10),
       "unpacks to 4000000000 bytes, but 1 points of 12 bytes need 12"},
      // PCL copied 48 bytes out of the empty buffer of a stored size of 0.
      {fields + layout + "WIDTH 4\nHEIGHT 1\nPOINTS 4\nDATA binary_compressed\n" + compressed(10, 0, 10),
       "unpacks to 0 bytes"},
      {fields + layout + million + "DATA binary_compressed\n" + compressed(1000000, 12000000, 10),
       "compressed PCD data of 1000000 bytes, but the file holds 10"},
      {fields + layout + million + "DATA binary_compressed\n\x01\x02", "no size header"},
  };
  for (std::size_t i = 0; i < refused.size(); ++i) {
    const std::string name = "bad" + std::to_string(i) + ".pcd";
    writeText(name, refused[i].first);
    try {
      nimbrel_tools::loadCloud(path(name));
      ADD_FAILURE() << name << " was loaded";
    } catch (const nimbrel_tools::ToolError& e) {
      EXPECT_NE(std::string(e.what()).find(refused[i].second), std::string::npos) << name << ": " << e.what();
    }
  }
}

// Whatever PCL's own writer makes, in every data format, still loads exactly as it was written: the header
// check must not refuse a cloud that compresses well, an organized cloud, padding and multi-value fields.
TEST_F(ToolCli, CloudReaderLoadsEveryFormatPclWrites) {
  pcl::PointCloud<pcl::PointXYZ> small;
  small.push_back({0.5f, -1.25f, 3.0f});
  small.push_back({std::nanf(""), std::nanf(""), std::nanf("")});
  small.push_back({1e-3f, 2e3f, -7.0f});
  small.push_back({0.0f, 0.0f, 0.0f});
  small.push_back({4.0f, 5.0f, 6.0f});
  small.push_back({-1.0f, -2.0f, -3.0f});
  pcl::PointCloud<pcl::PointXYZ> organized = small;
  organized.width = 3;
  organized.height = 2;
  organized.is_dense = false;
  // 20,000 equal points compress close to the densest LZF can pack.
  pcl::PointCloud<pcl::PointXYZ> uniform;
  for (int i = 0; i < 20000; ++i) uniform.push_back({1.0f, 1.0f, 1.0f});
  pcl::PointCloud<pcl::PointXYZRGBNormal> rich;
  for (const auto& p : small) {
    pcl::PointXYZRGBNormal q;
    q.x = p.x, q.y = p.y, q.z = p.z;
    q.rgba = 0xff102030u;
    q.normal_x = 1.0f, q.curvature = 0.5f;
    rich.push_back(q);
  }
  pcl::PCDWriter writer;
  int index = 0;
  const auto check = [&](const pcl::PointCloud<pcl::PointXYZ>& expected, const std::string& name) {
    const nimbrel_tools::CloudPtr got = nimbrel_tools::loadCloud(path(name));
    ASSERT_EQ(got->size(), expected.size()) << name;
    EXPECT_EQ(got->width, expected.width) << name;
    EXPECT_EQ(got->height, expected.height) << name;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const auto &a = (*got)[i], &b = expected[i];
      if (std::isnan(b.x)) {
        EXPECT_TRUE(std::isnan(a.x) && std::isnan(a.y) && std::isnan(a.z)) << name << " point " << i;
      } else {
        EXPECT_TRUE(a.x == b.x && a.y == b.y && a.z == b.z) << name << " point " << i;
      }
    }
  };
  for (const pcl::PointCloud<pcl::PointXYZ>* cloud : {&small, &organized, &uniform}) {
    for (int format = 0; format < 3; ++format) {
      const std::string name = "c" + std::to_string(index++) + ".pcd";
      if (format == 0) writer.writeASCII(path(name), *cloud);
      if (format == 1) writer.writeBinary(path(name), *cloud);
      if (format == 2) writer.writeBinaryCompressed(path(name), *cloud);
      check(*cloud, name);
    }
  }
  for (int format = 0; format < 3; ++format) {
    const std::string name = "rich" + std::to_string(format) + ".pcd";
    if (format == 0) writer.writeASCII(path(name), rich);
    if (format == 1) writer.writeBinary(path(name), rich);
    if (format == 2) writer.writeBinaryCompressed(path(name), rich);
    check(small, name);
  }
  // The tool's own file for a cloud without points.
  nimbrel_tools::saveCloud(Cloud(), path("empty.pcd"));
  EXPECT_TRUE(nimbrel_tools::loadCloud(path("empty.pcd"))->empty());
}

TEST_F(ToolCli, HullAndUpsampleWriteMeshesAndClouds) {
  // A tetrahedron with one vertex inside it: the hull keeps the four corners and four faces.
  writeText(
      "tet.obj",
      "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nv 0.1 0.1 0.1\nf 1 3 2\nf 1 2 4\nf 1 4 3\nf 2 3 4\nf 1 2 5\n");
  Outcome r = run("hull " + path("tet.obj") + " -o " + path("hull.ply"));
  ASSERT_EQ(r.status, 0) << r.err;
  const pcl::PolygonMesh hull = nimbrel_tools::loadMesh(path("hull.ply"));
  EXPECT_EQ(hull.polygons.size(), 4u);
  EXPECT_EQ(hull.cloud.width * hull.cloud.height, 4u);

  writeText("tri.obj", "v 0 0 0\nv 0.05 0 0\nv 0 0.04 0\nf 1 2 3\n");  // area 0.001: 40 samples
  r = run("upsample " + path("tri.obj") + " -o " + path("up.pcd"));
  ASSERT_EQ(r.status, 0) << r.err;
  const auto up = nimbrel_tools::loadCloud(path("up.pcd"));
  ASSERT_EQ(up->size(), 43u);
  for (const auto& p : *up) {
    EXPECT_GE(p.x, -kTol);
    EXPECT_GE(p.y, -kTol);
    EXPECT_LE(p.x / 0.05f + p.y / 0.04f, 1.0f + 1e-4f);
  }

  writeText("flat.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  expectOneLineError(run("hull " + path("flat.obj") + " -o " + path("h.ply")), "more than three vertices");
  // Four vertices in one plane have no hull with volume: an error, not an empty mesh.
  writeText("square.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3\nf 1 3 4\n");
  expectOneLineError(run("hull " + path("square.obj") + " -o " + path("h.ply")), "flat or degenerate");
  expectOneLineError(run("hull " + path("tet.obj") + " -o " + path("h.xyz")), ".ply, .obj or .stl");
  EXPECT_FALSE(fs::exists(path("h.ply")));
}

TEST_F(ToolCli, RenderDrawsTheCloudsIntoAPng) {
  std::vector<pcl::PointXYZ> table, ball;
  for (int i = 0; i < 50; ++i) {
    for (int j = 0; j < 50; ++j)
      table.emplace_back(0.02f * static_cast<float>(i), 0.02f * static_cast<float>(j), 0.0f);
  }
  for (int i = 0; i < 100; ++i) ball.emplace_back(0.5f, 0.5f, 0.001f * static_cast<float>(i));
  writeCloud("table.pcd", table);
  writeCloud("ball.pcd", ball);
  const Outcome r = run("render " + path("table.pcd") + " " + path("ball.pcd") + " -o " + path("v.png") +
                        " --title test --width 600");
  ASSERT_EQ(r.status, 0) << r.err;
  const cv::Mat png = cv::imread(path("v.png"), cv::IMREAD_COLOR);
  ASSERT_FALSE(png.empty());
  EXPECT_EQ(png.cols, 600);
  // Both layer colours appear.
  int first = 0, second = 0;
  const cv::Vec3b c0(180, 119, 31), c1(14, 127, 255);
  for (auto it = png.begin<cv::Vec3b>(); it != png.end<cv::Vec3b>(); ++it) {
    first += *it == c0 ? 1 : 0;
    second += *it == c1 ? 1 : 0;
  }
  EXPECT_GT(first, 1000);
  EXPECT_GT(second, 50);
  expectOneLineError(run("render " + path("table.pcd") + " -o " + path("v.jpg")), ".png");
  expectOneLineError(run("render " + path("missing.pcd") + " -o " + path("w.png")), "no such file");
  EXPECT_FALSE(fs::exists(path("w.png")));
}

// A PCD file whose x, y, z are stored as `type` of `size` bytes: the points (1, 2, 3), (-4, 5, 6), (7, 8, 9)
// (negatives only for signed types), ascii or binary, with an extra field in front.
std::string numericPcd(char type, int size, bool binary) {
  const bool sign = type != 'U';
  const double values[3][3] = {{1, 2, 3}, {sign ? -4.0 : 4.0, 5, 6}, {7, 8, 9}};
  std::string text = fmt::format(
      "# .PCD v0.7\nVERSION 0.7\nFIELDS intensity x y z\nSIZE 4 {0} {0} {0}\nTYPE F {1} {1} {1}\n"
      "COUNT 1 1 1 1\nWIDTH 3\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 3\nDATA {2}\n",
      size, type, binary ? "binary" : "ascii");
  for (const auto& point : values) {
    if (!binary) {
      text += fmt::format("0.5 {} {} {}\n", point[0], point[1], point[2]);
      continue;
    }
    const float intensity = 0.5f;
    text.append(reinterpret_cast<const char*>(&intensity), 4);
    for (double v : point) {
      char bytes[8] = {};
      if (type == 'F' && size == 8) std::memcpy(bytes, &v, 8);
      if (type == 'F' && size == 4) {
        const float f = static_cast<float>(v);
        std::memcpy(bytes, &f, 4);
      }
      if (type != 'F') {
        // Two's complement, little-endian, truncated to `size` bytes.
        std::uint64_t bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
        for (int b = 0; b < size; ++b) bytes[b] = static_cast<char>((bits >> (8 * b)) & 0xff);
      }
      text.append(bytes, static_cast<std::size_t>(size));
    }
  }
  return text;
}

// Other libraries write coordinates as doubles or integers; PCL's own conversion read those as zeros.
TEST_F(ToolCli, CloudReaderConvertsCoordinatesOfEveryNumericType) {
  const std::vector<std::pair<char, int>> types = {{'F', 4}, {'F', 8}, {'I', 1}, {'U', 1}, {'I', 2},
                                                   {'U', 2}, {'I', 4}, {'U', 4}, {'I', 8}, {'U', 8}};
  for (const auto& [type, size] : types) {
    for (bool binary : {false, true}) {
      const std::string name = fmt::format("{}{}{}.pcd", type, size, binary ? "b" : "a");
      writeText(name, numericPcd(type, size, binary));
      const auto cloud = nimbrel_tools::loadCloud(path(name));
      ASSERT_EQ(cloud->size(), 3u) << name;
      EXPECT_TRUE(contains(*cloud, 1, 2, 3)) << name;
      EXPECT_TRUE(contains(*cloud, type == 'U' ? 4.0f : -4.0f, 5, 6)) << name;
      EXPECT_TRUE(contains(*cloud, 7, 8, 9)) << name;
    }
  }
  // Through the tool: the doubles come out as the points they are.
  const Outcome r = run("transform " + path("F8b.pcd") + " -o " + path("t.pcd") +
                        " -m '1 0 0 0  0 1 0 0  0 0 1 0  0 0 0 1'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(*nimbrel_tools::loadCloud(path("t.pcd")), 7, 8, 9));

  // A double beyond the float range is an infinity, which the library's finite filter then drops.
  writeText("huge.pcd",
            "VERSION 0.7\nFIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 1\nHEIGHT 1\nPOINTS 1\n"
            "DATA ascii\n1e300 -1e300 1\n");
  const auto huge = nimbrel_tools::loadCloud(path("huge.pcd"));
  ASSERT_EQ(huge->size(), 1u);
  EXPECT_TRUE(std::isinf((*huge)[0].x) && (*huge)[0].x > 0 && std::isinf((*huge)[0].y) && (*huge)[0].y < 0);

  writeText("noz.pcd",
            "# .PCD v0.7\nVERSION 0.7\nFIELDS x y rgb\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 1\n"
            "HEIGHT 1\nPOINTS 1\nDATA ascii\n1 2 3\n");
  expectOneLineError(run("transform " + path("noz.pcd") + " -o " + path("x.pcd") +
                         " -m '1 0 0 0  0 1 0 0  0 0 1 0  0 0 0 1'"),
                     "points have no z coordinate (fields: x y rgb)");
}

// Binary output holds every float as it was (ASCII's 8 digits do not), and every cloud output keeps the
// input's sensor pose.
TEST_F(ToolCli, OutputsKeepEveryFloatAndTheViewpoint) {
  // Floats between 1000 and 1024 lie closer together than 8 significant digits can tell apart.
  Cloud in;
  float f = 1000.0f;
  for (int i = 0; i < 200; ++i) {
    f = std::nextafter(f, 2000.0f);
    in.push_back({f, -f, f / 1024.0f});
  }
  in.sensor_origin_ = Eigen::Vector4f(0.5f, -1.0f, 2.0f, 0.0f);
  in.sensor_orientation_ = Eigen::Quaternionf(0.0f, 1.0f, 0.0f, 0.0f);
  pcl::PCDWriter().writeBinary(path("in.pcd"), in);
  const std::string identity = " -m '1 0 0 0  0 1 0 0  0 0 1 0  0 0 0 1'";
  for (const char* format : {"", " --format binary_compressed", " --format ascii"}) {
    const Outcome r = run("transform " + path("in.pcd") + " -o " + path("out.pcd") + identity + format);
    ASSERT_EQ(r.status, 0) << format << ": " << r.err;
    const std::string text = slurp(path("out.pcd"));
    EXPECT_NE(text.find("VIEWPOINT 0.5 -1 2 0 1 0 0\n"), std::string::npos)
        << format << ": " << text.substr(0, 300);
    const std::string data = *format == '\0' ? "DATA binary\n" : std::string("DATA ") + (format + 10) + "\n";
    EXPECT_NE(text.find(data), std::string::npos) << format;
    Cloud back;
    ASSERT_EQ(pcl::io::loadPCDFile(path("out.pcd"), back), 0);
    ASSERT_EQ(back.size(), in.size());
    bool exact = true;
    for (std::size_t i = 0; i < in.size(); ++i) {
      exact = exact && std::memcmp(back[i].data, in[i].data, 3 * sizeof(float)) == 0;
    }
    EXPECT_EQ(exact, std::string(format) != " --format ascii") << format;
  }
  expectOneLineError(run("transform " + path("in.pcd") + " -o " + path("x.pcd") + identity + " --format lzf"),
                     "--format");
}

// Outputs are written in the format their name asks for, or refused; no header names the temporary.
TEST_F(ToolCli, OutputsFollowTheirExtension) {
  writeText("tri.obj", "v 0 0 0\nv 0.05 0 0\nv 0 0.04 0\nf 1 2 3\n");
  Outcome r = run("upsample " + path("tri.obj") + " -o " + path("up.ply"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(path("up.ply")).rfind("ply\n", 0), 0u);
  Cloud ply;
  ASSERT_EQ(pcl::io::loadPLYFile(path("up.ply"), ply), 0);
  EXPECT_EQ(ply.size(), 43u);
  const Outcome refused = run("upsample " + path("tri.obj") + " -o " + path("up.xyz"));
  expectOneLineError(refused, ".pcd or .ply");
  EXPECT_EQ(refused.status, 2);

  writeText("tet.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nf 1 3 2\nf 1 2 4\nf 1 4 3\nf 2 3 4\n");
  r = run("hull " + path("tet.obj") + " -o " + path("hull.obj"));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string obj = slurp(path("hull.obj"));
  EXPECT_EQ(obj.find(".part"), std::string::npos) << obj;
  EXPECT_NE(obj.find("hull.obj"), std::string::npos) << obj;
  EXPECT_EQ(nimbrel_tools::loadMesh(path("hull.obj")).polygons.size(), 4u);
  EXPECT_EQ(strayFiles({"tri.obj", "up.ply", "tet.obj", "hull.obj"}), std::vector<std::string>{});
}

// A TUM frame (5000 units per metre) back-projected with the scale it was taken with; at the default scale
// the same frame lies 5 times too far, which is said.
TEST_F(ToolCli, DepthScaleAndFarSceneWarning) {
  cv::Mat depth(6, 8, CV_16UC1, cv::Scalar(0));
  depth.at<std::uint16_t>(3, 6) = 10000;  // column 6, row 3: 2 m at 5000 units per metre
  ASSERT_TRUE(cv::imwrite(path("d.png"), depth));
  writeCameraInfo("cam.yaml", 8, 6);
  const std::string cmd = "depth " + path("d.png") + " -c " + path("cam.yaml") + " -o " + path("c.pcd");
  Outcome r = run(cmd + " --depth-scale 5000");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  auto cloud = nimbrel_tools::loadCloud(path("c.pcd"));
  ASSERT_EQ(cloud->size(), 1u);
  EXPECT_EQ((*cloud)[0].x, 1.0f);  // (6 - 4) * 2 / 4
  EXPECT_EQ((*cloud)[0].y, 0.0f);
  EXPECT_EQ((*cloud)[0].z, 2.0f);

  depth.setTo(cv::Scalar(20000));  // 20 m read as millimetres
  ASSERT_TRUE(cv::imwrite(path("d.png"), depth));
  r = run(cmd);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("check --depth-scale"), std::string::npos) << r.err;
  fs::create_directory(path("frames"));
  fs::create_directory(path("clouds"));
  ASSERT_TRUE(cv::imwrite(path("frames/1.png"), depth));
  r = run("depth-batch " + path("frames") + " -c " + path("cam.yaml") + " -O " + path("clouds"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("check --depth-scale"), std::string::npos) << r.err;
  r = run("depth-batch " + path("frames") + " -c " + path("cam.yaml") + " -O " + path("clouds") +
          " --depth-scale 50000");
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  const Outcome refused = run(cmd + " --depth-scale 0");
  expectOneLineError(refused, "--depth-scale");
  EXPECT_EQ(refused.status, 2);
}

// The sensor_msgs/CameraInfo message as ROS 2 dumps it gives the same intrinsics as the calibration file;
// without distortion coefficients zero distortion is assumed, and said.
TEST_F(ToolCli, CameraInfoReadsTheRos2MessageLayout) {
  writeText(
      "ros2.yaml",
      "header:\n  stamp:\n    sec: 1\n    nanosec: 2\n  frame_id: depth_optical_frame\nheight: 6\n"
      "width: 8\ndistortion_model: plumb_bob\nd:\n- 0.1\n- -0.02\n- 0.001\n- 0.002\n- 0.003\nk:\n"
      "- 4.5\n- 0.0\n- 4.25\n- 0.0\n- 4.75\n- 3.5\n- 0.0\n- 0.0\n- 1.0\nr: [1, 0, 0, 0, 1, 0, 0, 0, 1]\n"
      "p: [4.5, 0, 4.25, 0, 0, 4.75, 3.5, 0, 0, 0, 1, 0]\nbinning_x: 0\nbinning_y: 0\n---\n");
  const nimbrel_tools::CameraInfo info = nimbrel_tools::loadCameraInfo(path("ros2.yaml"));
  const auto& c = info.intrinsic;
  EXPECT_EQ(info.width, 8);
  EXPECT_EQ(info.height, 6);
  EXPECT_EQ(std::vector<float>({c.fx, c.cx, c.fy, c.cy, c.k1, c.k2, c.p1, c.p2, c.k3}),
            std::vector<float>({4.5f, 4.25f, 4.75f, 3.5f, 0.1f, -0.02f, 0.001f, 0.002f, 0.003f}));
  EXPECT_TRUE(info.warnings.empty());

  writeText("nod.yaml",
            "height: 6\nwidth: 8\ndistortion_model: plumb_bob\nd: []\nk: [4, 0, 4, 0, 4, 3, 0, 0, 1]\n");
  ASSERT_TRUE(cv::imwrite(path("d.png"), cv::Mat(6, 8, CV_16UC1, cv::Scalar(1000))));
  const Outcome r = run("depth " + path("d.png") + " -c " + path("nod.yaml") + " -o " + path("c.pcd"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("zero distortion assumed"), std::string::npos) << r.err;
  EXPECT_TRUE(contains(*nimbrel_tools::loadCloud(path("c.pcd")), -1.0f, -0.75f, 1.0f));  // column 0, row 0
  writeText("big.yaml", "height: 60\nwidth: 8\nd: [0]\nk: [4, 0, 4, 0, 4, 3, 0, 0, 1]\n");
  expectOneLineError(run("depth " + path("d.png") + " -c " + path("big.yaml") + " -o " + path("c.pcd")),
                     "camera info describes 8x60");
}

// The copy of an OBJ file that PCL's reader needs cleaned used a name made of the process id in the
// temporary folder: a link planted under that name made the tool overwrite the file it pointed to.
TEST_F(ToolCli, ObjCleaningLeavesAPlantedLinkAlone) {
  writeText("victim.txt", "precious\n");
  writeText("cube.obj", std::string("mtllib cube.mtl\n") + kCubeObj);  // needs the cleaned copy
  writeCloud("s.pcd", {{3, 3, 3}});
  // The shell plants the link under its own process id, then becomes the tool, keeping that id.
  const std::string link = dir_.string() + "/nimbrel_obj_$$.obj";
  const std::string cmd = "TMPDIR=" + dir_.string() + " sh -c 'ln -s " + path("victim.txt") + " " + link +
                          " && exec " + NIMBREL_TOOL + " cut-meshes " + path("s.pcd") + " -o " +
                          path("o.pcd") + " -M " + path("cube.obj") + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(slurp(path("victim.txt")), "precious\n");
  int links = 0;
  for (const auto& e : fs::directory_iterator(dir_)) links += e.is_symlink() ? 1 : 0;
  EXPECT_EQ(links, 1);  // the planted link, untouched; the tool's own copy is gone
  EXPECT_EQ(nimbrel_tools::loadCloud(path("o.pcd"))->size(), 1u);
}

// Nonsense sizes are usage errors, not empty results; the box's 0.1 m z floor is told in the help.
TEST_F(ToolCli, ImpossibleBoxesAreUsageErrors) {
  writeCloud("s.pcd", {{0, 0, 0}});
  const std::string identity = " '1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1'";
  const std::string cut = "cut-boxes " + path("s.pcd") + " -o " + path("x.pcd");
  for (const std::string& args : {"clean " + path("s.pcd") + " -o " + path("x.pcd") + " --box 0,1,0,1,1,0",
                                  cut + " --box-pose" + identity + " --box-size 0.1,-0.1,0.1",
                                  cut + " --tool-pose" + identity + " --tool-half-size -0.1,0.1,0.1",
                                  cut + " --box-pose" + identity + " --box-size 0.1,0.1,0.1 --scale -1"}) {
    const Outcome r = run(args);
    EXPECT_EQ(r.status, 2) << args;
    expectOneLineError(r, "see --help");
  }
  EXPECT_FALSE(fs::exists(path("x.pcd")));
  EXPECT_NE(run("cut-boxes --help").out.find("0.1 m"), std::string::npos);
}

// A mesh in millimetres makes the plain removal cut everything: both methods warn; --mesh-scale and
// --mesh-pose place a mesh given in its own frame and units.
TEST_F(ToolCli, CutMeshesWarnsOfHugeMeshesAndPlacesThem) {
  std::string mm;
  for (const char* line : {"v 0 0 0\n", "v 1000 0 0\n", "v 1000 1000 0\n", "v 0 1000 0\n", "v 0 0 1000\n",
                           "v 1000 0 1000\n", "v 1000 1000 1000\n", "v 0 1000 1000\n"})
    mm += line;
  const std::string cube(kCubeObj);
  writeText("mm.obj", mm + cube.substr(cube.find("f ")));
  // The cube's centre once it is scaled to metres and moved 5 m along x, and a far point.
  writeCloud("s.pcd", {{5.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}, {3, 3, 3}});
  const std::string cmd = "cut-meshes " + path("s.pcd") + " -o " + path("o.pcd") + " -M " + path("mm.obj");
  Outcome r = run(cmd + " --method plain");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("spans 1000.0 m"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--mesh-scale 0.001"), std::string::npos) << r.err;

  r = run(cmd + " --method plain --mesh-scale 0.001 --mesh-pose '1 0 0 5  0 1 0 0  0 0 1 0  0 0 0 1'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  const auto o = nimbrel_tools::loadCloud(path("o.pcd"));
  ASSERT_EQ(o->size(), 2u);
  EXPECT_FALSE(contains(*o, 5.5f, 0.5f, 0.5f));

  const Outcome mismatch = run(cmd +
                               " --mesh-pose '1 0 0 5  0 1 0 0  0 0 1 0  0 0 0 1' --mesh-pose "
                               "'1 0 0 0  0 1 0 0  0 0 1 0  0 0 0 1'");
  expectOneLineError(mismatch, "one per --mesh");
  EXPECT_EQ(mismatch.status, 2);
}

// -v works after the subcommand too, and the library's lines reach a file without colour codes.
TEST_F(ToolCli, VerboseAfterTheSubcommandWritesPlainLines) {
  writeCloud("s.pcd", {{0, 0, 0}, {std::nanf(""), 0, 0}, {1, 1, 1}, {0.5f, 0.5f, 0.5f}});
  const Outcome r = run("clean " + path("s.pcd") + " -o " + path("c.pcd") + " --leaf 1e-7 --mean-k 1 -v");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1 NaN points exist in pointclouds!"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("too small for the cloud's extent"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
}

}  // namespace

// ---- Outputs, fields and readers --------------------------------------------------------------------------

// Outputs went through a temporary named after the process id, which PCL's writers open without O_EXCL: a
// link planted under that name was followed, and the rename left the output a link to the victim.
TEST_F(ToolCli, OutputTemporaryIgnoresAPlantedLink) {
  writeText("victim.txt", "precious\n");
  fs::create_symlink(path("victim.txt"), path(fmt::format(".out.part-{}.pcd", ::getpid())));
  Cloud c;
  c.push_back({1, 2, 3});
  nimbrel_tools::saveCloud(c, path("out.pcd"));
  EXPECT_EQ(slurp(path("victim.txt")), "precious\n");
  EXPECT_FALSE(fs::is_symlink(path("out.pcd")));
  EXPECT_EQ(nimbrel_tools::loadCloud(path("out.pcd"))->size(), 1u);
}

// An ASCII PCD with an organised RGB-D cloud's fields: every command that moves or selects points keeps
// them (normals and viewpoints turn with a transform); the voxel grid says what it drops.
TEST_F(ToolCli, FieldsBesidesXyzSurviveTransformAndCuts) {
  writeText("rgbl.pcd",
            "VERSION 0.7\nFIELDS x y z rgb label normal_x normal_y normal_z\nSIZE 4 4 4 4 4 4 4 4\n"
            "TYPE F F F U U F F F\nCOUNT 1 1 1 1 1 1 1 1\nWIDTH 3\nHEIGHT 1\nPOINTS 3\nDATA ascii\n"
            "0 0 0 16711680 7 1 0 0\n1 0 0 65280 8 0 1 0\n5 5 5 255 9 0 0 1\n");
  Outcome r =
      run("transform " + path("rgbl.pcd") + " -o " + path("t.pcd") + " -m 0,0,0,0,0,0.7071068,0.7071068");
  ASSERT_EQ(r.status, 0) << r.err;
  pcl::PointCloud<pcl::PointXYZRGBNormal> t;
  pcl::PointCloud<pcl::PointXYZL> labels;
  ASSERT_EQ(pcl::io::loadPCDFile(path("t.pcd"), t), 0);
  ASSERT_EQ(pcl::io::loadPCDFile(path("t.pcd"), labels), 0);
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[1].rgba & 0xFFFFFFu, 65280u);
  EXPECT_EQ(labels[2].label, 9u);
  EXPECT_NEAR(t[1].y, 1.0f, kTol);         // (1, 0, 0) turned 90 degrees about z
  EXPECT_NEAR(t[0].normal_y, 1.0f, kTol);  // and its normal with it
  EXPECT_NEAR(t[1].normal_x, -1.0f, kTol);

  r = run("cut-boxes " + path("rgbl.pcd") + " -o " + path("c.ply") +
          " --box-pose 0,0,0,0,0,0,1 --box-size 0.5,0.5,0.5");
  ASSERT_EQ(r.status, 0) << r.err;
  pcl::PointCloud<pcl::PointXYZL> cut;
  ASSERT_EQ(pcl::io::loadPLYFile(path("c.ply"), cut), 0);
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[0].label, 8u);
  EXPECT_EQ(cut[1].label, 9u);

  writeText("cube.obj", kCubeObj);
  r = run("cut-meshes " + path("rgbl.pcd") + " -o " + path("m.pcd") + " -M " + path("cube.obj") +
          " --method plain");
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(pcl::io::loadPCDFile(path("m.pcd"), cut), 0);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0].label, 9u);

  r = run("clean " + path("rgbl.pcd") + " -o " + path("v.pcd") + " --box -9,9,-9,9,-9,9 --mean-k 1");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("drops the fields rgb, label, normal_x"), std::string::npos) << r.err;
}

// One point at the origin whose fields besides x, y, z are `names`, all of `datatype`, holding `values`.
pcl::PCLPointCloud2 pointWithFields(const std::vector<std::string>& names, std::uint8_t datatype,
                                    const std::vector<double>& values) {
  pcl::PCLPointCloud2 c;
  std::uint32_t at = 0;
  const std::uint32_t size = datatype == pcl::PCLPointField::FLOAT64 ? 8 : 4;
  for (const std::string name : {"x", "y", "z"}) {
    c.fields.push_back({name, at, pcl::PCLPointField::FLOAT32, 1});
    at += 4;
  }
  for (const auto& name : names) {
    c.fields.push_back({name, at, datatype, 1});
    at += size;
  }
  c.width = c.height = 1;
  c.point_step = c.row_step = at;
  c.data.assign(at, 0);
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::uint8_t* to = c.data.data() + 12 + i * size;
    if (size == 8) {
      std::memcpy(to, &values[i], 8);
    } else {
      const auto f = static_cast<float>(values[i]);
      std::memcpy(to, &f, 4);
    }
  }
  return c;
}

// The values of point 0's fields `names`, whatever their floating type.
Eigen::Vector3d fieldValues(const pcl::PCLPointCloud2& c, const std::array<const char*, 3>& names) {
  Eigen::Vector3d v = Eigen::Vector3d::Constant(-99.0);
  for (const auto& f : c.fields) {
    for (int i = 0; i < 3; ++i) {
      if (f.name != names[static_cast<std::size_t>(i)]) continue;
      if (f.datatype == pcl::PCLPointField::FLOAT64) {
        std::memcpy(&v[i], c.data.data() + f.offset, 8);
      } else {
        float x = 0.0f;
        std::memcpy(&x, c.data.data() + f.offset, 4);
        v[i] = x;
      }
    }
  }
  return v;
}

// Normals turn by the inverse transpose of the matrix's 3x3 block and keep their length, in every numeric
// type: a millimetre-to-metre scale leaves them unit, a stretch tilts them as the surface tilts.
TEST(ToolFields, NormalsTurnByTheInverseTransposeAndStayUnit) {
  const Cloud origin = [] {
    Cloud c;
    c.push_back({0, 0, 0});
    return c;
  }();
  const std::array<const char*, 3> normal{"normal_x", "normal_y", "normal_z"};
  const auto turned = [&](std::uint8_t datatype, const Eigen::Vector3d& n, const Eigen::Matrix4d& m) {
    const auto source =
        pointWithFields({"normal_x", "normal_y", "normal_z"}, datatype, {n.x(), n.y(), n.z()});
    return fieldValues(nimbrel_tools::withOtherFields(origin, source, {0}, m), normal);
  };
  constexpr double kFloatTol = 1e-6;
  Eigen::Matrix4d millimetresToMetres = Eigen::Matrix4d::Identity();
  millimetresToMetres.topLeftCorner<3, 3>() *= 0.001;
  EXPECT_TRUE(turned(pcl::PCLPointField::FLOAT32, {0, 0.6, 0.8}, millimetresToMetres)
                  .isApprox(Eigen::Vector3d(0, 0.6, 0.8), kFloatTol));

  // The plane x + y = 1 stretched twice along x is x / 2 + y = 1, whose normal is (1, 2, 0) / sqrt(5).
  Eigen::Matrix4d stretch = Eigen::Matrix4d::Identity();
  stretch(0, 0) = 2.0;
  EXPECT_TRUE(turned(pcl::PCLPointField::FLOAT32, Eigen::Vector3d(1, 1, 0).normalized(), stretch)
                  .isApprox(Eigen::Vector3d(1, 2, 0) / std::sqrt(5.0), kFloatTol));
  EXPECT_TRUE(turned(pcl::PCLPointField::FLOAT32, {0, 0, 0}, stretch).isZero(0.0));
  EXPECT_TRUE(turned(pcl::PCLPointField::FLOAT32, {std::nan(""), 0, 0}, stretch).array().isNaN().all());

  // Eight-byte normals turn too, in double: a quarter turn about z.
  Eigen::Matrix4d quarterTurn = Eigen::Matrix4d::Identity();
  quarterTurn.topLeftCorner<2, 2>() << 0, -1, 1, 0;
  EXPECT_TRUE(
      turned(pcl::PCLPointField::FLOAT64, {1, 0, 0}, quarterTurn).isApprox(Eigen::Vector3d(0, 1, 0), 1e-15));
}

// --shift takes the same offset off the viewpoints as off the points, before a transform moves both.
TEST_F(ToolCli, ShiftMovesViewpointsWithThePoints) {
  writeText(
      "vp.pcd",
      "VERSION 0.7\nFIELDS x y z vp_x vp_y vp_z\nSIZE 8 8 8 8 8 8\nTYPE F F F F F F\nCOUNT 1 1 1 1 1 1\n"
      "WIDTH 1\nHEIGHT 1\nPOINTS 1\nDATA ascii\n500001 4000002 10  500000.5 4000000.25 12\n");
  const Eigen::Vector3d shift(500000, 4000000, 0);
  const nimbrel_tools::CloudFile file = nimbrel_tools::loadCloudFile(path("vp.pcd"), shift);
  Eigen::Matrix4d quarterTurn = Eigen::Matrix4d::Identity();
  quarterTurn.topLeftCorner<2, 2>() << 0, -1, 1, 0;
  for (const auto& [motion, expected] :
       {std::pair{Eigen::Matrix4d(Eigen::Matrix4d::Identity()), Eigen::Vector3d(0.5, 0.25, 12)},
        std::pair{quarterTurn, Eigen::Vector3d(-0.25, 0.5, 12)}}) {
    Cloud moved;
    pcl::transformPointCloud(*file.xyz, moved, motion.cast<float>());
    nimbrel_tools::saveCloudKeepingFields(moved, file, {0}, path("out.pcd"), nimbrel_tools::PcdFormat::binary,
                                          motion);
    pcl::PCLPointCloud2 out;
    ASSERT_EQ(pcl::io::loadPCDFile(path("out.pcd"), out), 0);
    EXPECT_TRUE(fieldValues(out, {"vp_x", "vp_y", "vp_z"}).isApprox(expected, 1e-12))
        << fieldValues(out, {"vp_x", "vp_y", "vp_z"}).transpose();
  }
}

// PCL's ASCII reader made a short line or a word into a point at the origin, and the command succeeded.
TEST_F(ToolCli, MalformedAsciiPcdIsRefusedByLine) {
  const std::string header =
      "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 2\nHEIGHT 1\nPOINTS 2\nDATA "
      "ascii\n";
  writeText("short.pcd", header + "1 2 3\n4 5\n");
  writeText("word.pcd", header + "1 2 3\n4 five 6\n");
  const std::string m = " -m 1,0,0,0,0,0,1 -o " + path("o.pcd");
  expectOneLineError(run("transform " + path("short.pcd") + m),
                     "line 11 has 2 values, the header's fields take 3");
  expectOneLineError(run("transform " + path("word.pcd") + m), "line 11: 'five' is not a number");
  EXPECT_FALSE(fs::exists(path("o.pcd")));
}

// Vertex-only PLY clouds, binary with double coordinates and ASCII with integers.
TEST_F(ToolCli, CloudReaderLoadsPlyClouds) {
  pcl::PointCloud<pcl::PointXYZ> c;
  c.push_back({1.5f, -2, 3});
  c.push_back({4, 5, 6});
  pcl::PCLPointCloud2 blob;
  pcl::toPCLPointCloud2(c, blob);
  for (auto& f : blob.fields) f.datatype = pcl::PCLPointField::FLOAT64;
  blob.point_step = 24;
  blob.row_step = 48;
  blob.data.resize(48);
  for (std::size_t i = 0; i < 6; ++i) {
    const double v = c[i / 3].data[i % 3];
    std::memcpy(blob.data.data() + 8 * i, &v, 8);
  }
  blob.fields[1].offset = 8;
  blob.fields[2].offset = 16;
  ASSERT_EQ(pcl::PLYWriter().writeBinary(path("d.ply"), blob), 0);
  writeText("i.ply",
            "ply\nformat ascii 1.0\nelement vertex 2\nproperty int x\nproperty int y\nproperty int z\n"
            "end_header\n1 2 3\n4 5 6\n");
  for (const char* name : {"d.ply", "i.ply"}) {
    const auto cloud = nimbrel_tools::loadCloud(path(name));
    ASSERT_EQ(cloud->size(), 2u) << name;
    EXPECT_TRUE(contains(*cloud, 4, 5, 6)) << name;
  }
}

// ---- depth ------------------------------------------------------------------------------------------------

// Each camera_info model is read with its coefficients; a count the model does not take names both.
TEST_F(ToolCli, CameraInfoReadsEveryModelAndRefusesMismatchedCounts) {
  const std::string k = "k: [4, 0, 4, 0, 4, 3, 0, 0, 1]\n";
  writeText("r8.yaml", k + "distortion_model: rational_polynomial\nd: [0.1, 0, 0, 0, 0, 0.2, 0, 0]\n");
  writeText(
      "r14.yaml",
      k + "distortion_model: rational_polynomial\nd: [0.1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.01]\n");
  writeText("fish.yaml", k + "distortion_model: equidistant\nd: [0.1, 0.01, 0, 0]\n");
  writeText("bad.yaml", k + "distortion_model: rational_polynomial\nd: [0.1, 0, 0, 0, 0]\n");
  using nimbrel_arm_util::DistortionModel;
  EXPECT_EQ(nimbrel_tools::loadCameraInfo(path("r8.yaml")).camera.coefficients[5], 0.2);
  EXPECT_EQ(nimbrel_tools::loadCameraInfo(path("r14.yaml")).camera.coefficients.size(), 14u);
  const auto fish = nimbrel_tools::loadCameraInfo(path("fish.yaml")).camera;
  EXPECT_EQ(fish.distortionModel, DistortionModel::kEquidistant);
  EXPECT_EQ(fish.coefficients, std::vector<double>({0.1, 0.01, 0, 0}));
  ASSERT_TRUE(cv::imwrite(path("d.png"), cv::Mat(6, 8, CV_16UC1, cv::Scalar(1000))));
  expectOneLineError(run("depth " + path("d.png") + " -c " + path("bad.yaml") + " -o " + path("c.pcd")),
                     "distortion model rational_polynomial takes 8, 12 or 14 coefficients, the file gives 5");
  const Outcome r = run("depth " + path("d.png") + " -c " + path("fish.yaml") + " -o " + path("c.pcd"));
  EXPECT_EQ(r.status, 0) << r.err;
  // The ROS calibrator's fisheye fit leaves a tiny skew: dropped and said below half a pixel, else refused.
  writeText("skew.yaml",
            "k: [4, 0.05, 4, 0, 4, 3, 0, 0, 1]\ndistortion_model: equidistant\nd: [0.1, 0, 0, 0]\n");
  EXPECT_EQ(nimbrel_tools::loadCameraInfo(path("skew.yaml")).warnings.size(), 1u);
  writeText("skew.yaml",
            "k: [4, 1, 4, 0, 4, 3, 0, 0, 1]\ndistortion_model: equidistant\nd: [0.1, 0, 0, 0]\n");
  EXPECT_THROW(nimbrel_tools::loadCameraInfo(path("skew.yaml")), nimbrel_tools::ToolError);
}

// --min-depth/--max-depth make holes, 65535 is a hole, --pattern picks the frames, and two frames that would
// be written under one name are refused before anything is written.
TEST_F(ToolCli, DepthRangeMarkersPatternsAndNameClashes) {
  writeCameraInfo("cam.yaml", 8, 6);
  cv::Mat depth(6, 8, CV_16UC1, cv::Scalar(1000));
  depth.at<std::uint16_t>(0, 0) = 65535;
  depth.at<std::uint16_t>(0, 1) = 300;
  depth.at<std::uint16_t>(0, 2) = 3000;
  ASSERT_TRUE(cv::imwrite(path("d.png"), depth));
  Outcome r = run("depth " + path("d.png") + " -c " + path("cam.yaml") + " -o " + path("c.pcd") +
                  " --min-depth 0.5 --max-depth 2");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nimbrel_tools::loadCloud(path("c.pcd"))->size(), 45u);
  EXPECT_NE(r.err.find("48 pixels in, 45 points out"), std::string::npos) << r.err;
  r = run("depth " + path("d.png") + " -c " + path("cam.yaml") + " -o " + path("c.pcd") + " -q");
  EXPECT_TRUE(r.err.empty()) << r.err;
  EXPECT_EQ(nimbrel_tools::loadCloud(path("c.pcd"))->size(), 47u);

  fs::create_directory(path("in"));
  fs::create_directory(path("out"));
  for (const char* name : {"1.depth.png", "1.rgb.png", "2.depth.png"})
    ASSERT_TRUE(cv::imwrite(path(std::string("in/") + name), depth));
  r = run("depth-batch " + path("in") + " -c " + path("cam.yaml") + " -O " + path("out") +
          " --pattern '*.depth.png'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(path("out/2.depth.pcd")));
  EXPECT_FALSE(fs::exists(path("out/1.rgb.pcd")));

  fs::remove_all(path("out"));
  fs::create_directory(path("out"));
  ASSERT_TRUE(cv::imwrite(path("in/a.png"), depth));
  fs::copy_file(path("in/a.png"), path("in/a.PNG"));
  r = run("depth-batch " + path("in") + " -c " + path("cam.yaml") + " -O " + path("out"));
  expectOneLineError(r, "would both be written as a.pcd");
  EXPECT_TRUE(fs::is_empty(path("out")));
}

// ---- arguments --------------------------------------------------------------------------------------------

// -M takes one value per use (the input after it was swallowed as a second mesh); malformed numbers are
// usage errors (exit 2); poses must be rigid and may be x,y,z,qx,qy,qz,qw.
TEST_F(ToolCli, ArgumentsTakeOneValueAndMalformedOnesAreUsageErrors) {
  writeText("cube.obj", kCubeObj);
  writeCloud("s.pcd", {{0.5f, 0.5f, 0.5f}, {3, 3, 3}});
  Outcome r = run("cut-meshes -M " + path("cube.obj") + " " + path("s.pcd") + " -o " + path("x.pcd") +
                  " --method plain");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nimbrel_tools::loadCloud(path("x.pcd"))->size(), 1u);

  const std::string in = path("s.pcd") + " -o " + path("y.pcd");
  for (const std::string& args :
       {"clean " + in + " --leaf -1", "clean " + in + " --mean-k 0", "clean " + in + " --box 1,2,3",
        "render " + path("s.pcd") + " -o " + path("y.png") + " --width 5", "transform " + in + " -m 1,2,3",
        "cut-boxes " + in + " --box-pose '2 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1' --box-size 1,1,1"}) {
    r = run(args);
    EXPECT_EQ(r.status, 2) << args << ": " << r.err;
  }
  EXPECT_NE(r.err.find("lengths 2, 1, 1"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(path("y.pcd")));
  // Half a turn about z around (0.5, 0.5, 0): the unit box at the origin lands on the far point's side.
  r = run("cut-boxes " + in + " --box-pose 3,3,3,0,0,1,0 --box-size 1,1,1");
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(nimbrel_tools::loadCloud(path("y.pcd"))->size(), 1u);
  EXPECT_TRUE(contains(*nimbrel_tools::loadCloud(path("y.pcd")), 0.5f, 0.5f, 0.5f));
}

// A millimetre mesh beside a metre mesh in one cut, each with its own --mesh-scale.
TEST_F(ToolCli, MeshScaleOncePerMesh) {
  std::string mm;
  for (const char* line : {"v 2000 0 0\n", "v 3000 0 0\n", "v 3000 1000 0\n", "v 2000 1000 0\n",
                           "v 2000 0 1000\n", "v 3000 0 1000\n", "v 3000 1000 1000\n", "v 2000 1000 1000\n"})
    mm += line;
  const std::string cube(kCubeObj);
  writeText("mm.obj", mm + cube.substr(cube.find("f ")));
  writeText("m.obj", kCubeObj);
  writeCloud("s.pcd", {{0.5f, 0.5f, 0.5f}, {2.5f, 0.5f, 0.5f}, {9, 9, 9}});
  const Outcome r = run("cut-meshes " + path("s.pcd") + " -o " + path("o.pcd") + " -M " + path("m.obj") +
                        " --mesh-scale 1 -M " + path("mm.obj") + " --mesh-scale 0.001 --method plain");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto o = nimbrel_tools::loadCloud(path("o.pcd"));
  ASSERT_EQ(o->size(), 1u);
  EXPECT_TRUE(contains(*o, 9, 9, 9));
  EXPECT_NE(r.err.find("3 points in, 1 points out (removed: 2 inside or near a mesh)"), std::string::npos)
      << r.err;
}

// A map-scale cloud: the float loss is warned about, and --shift, taken off in double, keeps it exact.
TEST_F(ToolCli, LargeCoordinatesWarnAndShiftKeepsThemExact) {
  writeText("utm.pcd",
            "VERSION 0.7\nFIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 2\nHEIGHT 1\nPOINTS 2\n"
            "DATA ascii\n500000.123 4000000.456 12.5\n500001.5 4000002.25 13\n");
  const std::string cmd = "transform " + path("utm.pcd") + " -o " + path("o.pcd") + " -m 0,0,0,0,0,0,1";
  Outcome r = run(cmd);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("give --shift"), std::string::npos) << r.err;
  r = run(cmd + " --shift 500000,4000000,0");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("minus the shift 500000,4000000,0"), std::string::npos) << r.err;
  const auto o = nimbrel_tools::loadCloud(path("o.pcd"));
  ASSERT_EQ(o->size(), 2u);
  EXPECT_EQ((*o)[0].x, static_cast<float>(0.123));
  EXPECT_EQ((*o)[0].y, static_cast<float>(0.456));
}

// The render grid follows the extent in 1-2-5 steps, its lines far enough apart for labels.
TEST(ToolRender, GridStepFollowsTheScale) {
  for (double pixelsPerMetre : {2000.0, 450.0, 30.0, 3.1}) {
    const double step = nimbrel_tools::gridStep(pixelsPerMetre);
    EXPECT_GE(step * pixelsPerMetre, 35.0 - 1e-6) << pixelsPerMetre;
    EXPECT_LT(step * pixelsPerMetre, 35.0 * 2.5 + 1e-6) << pixelsPerMetre;
    const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
    EXPECT_TRUE(std::abs(mantissa - 1) < 1e-9 || std::abs(mantissa - 2) < 1e-9 ||
                std::abs(mantissa - 5) < 1e-9)
        << step;
  }
  EXPECT_NEAR(nimbrel_tools::gridStep(450.0), 0.1, 1e-12);  // a table-sized scene keeps its 0.1 m grid
}
