// nimbrel_arm_util: runs the library's point-cloud operations on files.
//
//   nimbrel_arm_util depth image.png --camera-info camera.yaml -o cloud.pcd
//   nimbrel_arm_util clean cloud.pcd -o clean.pcd --box -1,1,-1,1,0.3,1.6 --leaf 0.01
//   nimbrel_arm_util transform clean.pcd -o robot.pcd --matrix camera_to_robot.txt
//   nimbrel_arm_util cut-boxes robot.pcd -o cut.pcd --box-pose box.txt --box-size 0.2,0.1,0.1
//   nimbrel_arm_util cut-meshes cut.pcd -o scene.pcd --mesh ball.ply --method fast
//   nimbrel_arm_util render robot.pcd scene.pcd -o views.png
//
// Every subcommand has --help. Errors print one line on standard error and exit with status 1; outputs are
// written under a temporary name and renamed into place, so a failed run leaves no partial file.
#include <fmt/format.h>
#include <pcl/console/print.h>
#include <unistd.h>
#include <vtkObject.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/files.hpp"
#include "support/render.hpp"

namespace {

namespace fs = std::filesystem;
using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_tools::Cloud;
using nimbrel_tools::CloudPtr;
using nimbrel_tools::ToolError;

// The library logs through a process-wide logger configured from the environment at its first message.
// The tool keeps standard output for its own results unless the user asks for the library's messages.
void quietLibraryLog(bool verbose) {
  ::setenv("SPDLOG_STDOUT", "true", 0);
  ::setenv("SPDLOG_SYSTEMD", "false", 0);
  ::setenv("SPDLOG_LEVEL", verbose ? "info" : "error", 0);
  // The readers' own diagnostics would repeat, less clearly, what the tool reports in one line.
  pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);
  vtkObject::GlobalWarningDisplayOff();
}

void report(const std::string& what, const std::string& path, std::size_t in, std::size_t out) {
  std::cout << fmt::format("{}: {} -> {} points, wrote {}\n", what, in, out, path);
}

// --- depth -------------------------------------------------------------------------------------------

struct DepthArgs {
  std::string image, cameraInfo, output, outDir;
};

std::size_t depthToCloud(const std::string& image, const nimbrel_tools::CameraInfo& info,
                         const std::string& output) {
  cv::Mat depth = nimbrel_tools::loadDepthImage(image);
  if ((info.width > 0 && info.width != depth.cols) || (info.height > 0 && info.height != depth.rows)) {
    throw ToolError(fmt::format("image {} is {}x{} but the camera info describes {}x{}", image, depth.cols,
                                depth.rows, info.width, info.height));
  }
  PointCloudsDeal deal;
  CloudPtr cloud(new Cloud);
  if (deal.getPointCloudsFromDepthMap(cloud, depth, info.intrinsic) != 0) {
    throw ToolError(fmt::format("cannot convert {}: not a 16-bit depth image", image));
  }
  nimbrel_tools::saveCloud(*cloud, output);
  return cloud->size();
}

int runDepth(const DepthArgs& a) {
  const auto info = nimbrel_tools::loadCameraInfo(a.cameraInfo);
  const std::size_t n = depthToCloud(a.image, info, a.output);
  std::cout << fmt::format("depth: {} points, wrote {}\n", n, a.output);
  return 0;
}

int runDepthBatch(const DepthArgs& a) {
  std::error_code ec;
  if (!fs::is_directory(a.image, ec)) throw ToolError(fmt::format("no such directory: {}", a.image));
  if (!fs::is_directory(a.outDir, ec)) throw ToolError(fmt::format("no such directory: {}", a.outDir));
  const auto info = nimbrel_tools::loadCameraInfo(a.cameraInfo);
  std::vector<fs::path> images;
  for (const auto& entry : fs::directory_iterator(a.image)) {
    if (entry.is_regular_file() && nimbrel_tools::extensionOf(entry.path().string()) == ".png")
      images.push_back(entry.path());
  }
  std::sort(images.begin(), images.end());
  if (images.empty()) throw ToolError(fmt::format("no .png images in {}", a.image));

  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  std::size_t failed = 0;
  std::size_t points = 0;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const fs::path& image = images[i];
    if (terminal) {
      const int width = 30;
      const int filled = static_cast<int>((i * width) / images.size());
      std::cerr << fmt::format("\r[{}{}] {}/{} {:<40.40}", std::string(static_cast<std::size_t>(filled), '#'),
                               std::string(static_cast<std::size_t>(width - filled), '.'), i + 1,
                               images.size(), image.filename().string())
                << std::flush;
    }
    const fs::path output = fs::path(a.outDir) / (image.stem().string() + ".pcd");
    try {
      points += depthToCloud(image.string(), info, output.string());
    } catch (const ToolError& e) {
      ++failed;
      if (terminal) std::cerr << '\n';
      std::cerr << "nimbrel_arm_util: error: " << e.what() << '\n';
    }
  }
  if (terminal)
    std::cerr << fmt::format("\r[{}] {}/{} done{:<40}\n", std::string(30, '#'), images.size(), images.size(),
                             "");
  std::cout << fmt::format("depth-batch: {} of {} images converted ({} points), wrote {}\n",
                           images.size() - failed, images.size(), points, a.outDir);
  return failed == 0 ? 0 : 1;
}

// --- clean, transform, cut ------------------------------------------------------------------------------

struct CleanArgs {
  std::string input, output, box = "-2,2,-2,2,-2,2";
  double leaf = 0.005;
  int meanK = 50;
  double stddev = 1.0;
};

int runClean(const CleanArgs& a) {
  std::vector<double> b;
  {
    std::string text = a.box;
    std::replace(text.begin(), text.end(), ',', ' ');
    std::istringstream in(text);
    double v;
    while (in >> v) b.push_back(v);
    if (!in.eof() || b.size() != 6)
      throw ToolError("bad --box: need 6 numbers xmin,xmax,ymin,ymax,zmin,zmax");
  }
  if (!(a.leaf > 0.0)) throw ToolError("bad --leaf: must be positive");
  if (a.meanK < 1) throw ToolError("bad --mean-k: must be at least 1");
  CloudPtr in = nimbrel_tools::loadCloud(a.input);
  PointCloudsDeal deal;
  deal.setFilterRange(b[0], b[1], b[2], b[3], b[4], b[5]);
  deal.setLeafSize(a.leaf);
  deal.setStatisticalOutlierRemovalPara(a.meanK, a.stddev);
  CloudPtr out(new Cloud);
  deal.processPointClouds(in, out);
  if (out->empty())
    std::cerr << "nimbrel_arm_util: warning: no point of " << a.input << " is left inside the box\n";
  nimbrel_tools::saveCloud(*out, a.output);
  report("clean", a.output, in->size(), out->size());
  return 0;
}

struct TransformArgs {
  std::string input, output, matrix;
};

int runTransform(const TransformArgs& a) {
  const Eigen::Matrix4d m = nimbrel_tools::matrixArgument(a.matrix, "--matrix");
  CloudPtr in = nimbrel_tools::loadCloud(a.input);
  PointCloudsDeal deal;
  CloudPtr out(new Cloud);
  deal.TransformToRobot(*in, out, m.cast<float>());
  nimbrel_tools::saveCloud(*out, a.output);
  report("transform", a.output, in->size(), out->size());
  return 0;
}

struct CutBoxArgs {
  std::string input, output, boxPose, boxSize, toolPose, toolHalfSize;
  double scale = 1.0, margin = 0.0, toolMargin = 0.0;
};

int runCutBoxes(const CutBoxArgs& a) {
  const bool haveBox = !a.boxPose.empty() || !a.boxSize.empty();
  const bool haveTool = !a.toolPose.empty() || !a.toolHalfSize.empty();
  if (!haveBox && !haveTool)
    throw ToolError("nothing to cut: give --box-pose/--box-size, --tool-pose/--tool-half-size or both");
  if (haveBox && (a.boxPose.empty() || a.boxSize.empty()))
    throw ToolError("--box-pose and --box-size go together");
  if (haveTool && (a.toolPose.empty() || a.toolHalfSize.empty()))
    throw ToolError("--tool-pose and --tool-half-size go together");
  Eigen::Matrix4d boxPose = Eigen::Matrix4d::Identity(), toolPose = Eigen::Matrix4d::Identity();
  Eigen::Vector3d boxSize = Eigen::Vector3d::Zero(), toolSize = Eigen::Vector3d::Zero();
  if (haveBox) {
    boxPose = nimbrel_tools::matrixArgument(a.boxPose, "--box-pose");
    boxSize = nimbrel_tools::parseVector3(a.boxSize, "--box-size");
  }
  if (haveTool) {
    toolPose = nimbrel_tools::matrixArgument(a.toolPose, "--tool-pose");
    toolSize = nimbrel_tools::parseVector3(a.toolHalfSize, "--tool-half-size");
  }
  CloudPtr in = nimbrel_tools::loadCloud(a.input);
  PointCloudsDeal deal;
  CloudPtr out(new Cloud);
  if (haveBox && haveTool) {
    deal.removeObbAndToolPointClouds(in, out, boxPose, boxSize.data(), a.scale, a.margin, toolPose,
                                     toolSize.data(), a.toolMargin);
  } else if (haveBox) {
    deal.removeObbPointClouds(in, out, boxPose, boxSize.data(), a.scale, a.margin);
  } else {
    // The library grows a tool box with scale 2 on half extents; the same rule applies to a tool alone.
    deal.removeObbPointClouds(in, out, toolPose, toolSize.data(), 2.0, a.toolMargin);
  }
  nimbrel_tools::saveCloud(*out, a.output);
  report("cut-boxes", a.output, in->size(), out->size());
  return 0;
}

struct CutMeshArgs {
  std::string input, output, method = "fast";
  std::vector<std::string> meshes;
};

int runCutMeshes(const CutMeshArgs& a) {
  std::vector<pcl::PolygonMesh> meshes;
  for (const auto& path : a.meshes) meshes.push_back(nimbrel_tools::loadMesh(path));
  CloudPtr in = nimbrel_tools::loadCloud(a.input);
  if (in->empty()) throw ToolError(fmt::format("point cloud {} has no points", a.input));
  PointCloudsDeal deal;
  CloudPtr out(new Cloud);
  int result = 0;
  try {
    result = a.method == "plain" ? deal.removePointsFromMeshs(in, meshes, out)
                                 : deal.fastRemovePointsFromMeshs(in, meshes, out);
  } catch (const std::overflow_error&) {
    throw ToolError("a mesh triangle is too large to sample (check the mesh units: metres expected)");
  }
  if (result == -3) throw ToolError("a mesh is too small to sample: its surface has three points or fewer");
  if (result != 0) throw ToolError(fmt::format("mesh removal refused its input (code {})", result));
  nimbrel_tools::saveCloud(*out, a.output);
  report(fmt::format("cut-meshes ({})", a.method), a.output, in->size(), out->size());
  return 0;
}

// --- meshes ------------------------------------------------------------------------------------------------

struct MeshArgs {
  std::string input, output;
};

int runHull(const MeshArgs& a) {
  std::vector<pcl::PolygonMesh> meshes{nimbrel_tools::loadMesh(a.input)};
  if (nimbrel_tools::extensionOf(a.output) != ".ply" && nimbrel_tools::extensionOf(a.output) != ".obj" &&
      nimbrel_tools::extensionOf(a.output) != ".stl") {
    throw ToolError(fmt::format("cannot write {}: use a .ply, .obj or .stl name", a.output));
  }
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> hulls;
  if (deal.convertToConvexHull(meshes, hulls) != 0 || hulls.size() != 1) {
    throw ToolError(fmt::format("no convex hull for {}: a hull needs more than three vertices", a.input));
  }
  nimbrel_tools::saveMesh(hulls.front(), a.output);
  std::cout << fmt::format("hull: {} faces -> {} faces, wrote {}\n", meshes.front().polygons.size(),
                           hulls.front().polygons.size(), a.output);
  return 0;
}

int runUpsample(const MeshArgs& a) {
  pcl::PolygonMesh mesh = nimbrel_tools::loadMesh(a.input);
  PointCloudsDeal deal;
  CloudPtr out(new Cloud);
  try {
    deal.upSampleMesh(mesh, out);
  } catch (const std::overflow_error&) {
    throw ToolError("a mesh triangle is too large to sample (check the mesh units: metres expected)");
  }
  nimbrel_tools::saveCloud(*out, a.output);
  std::cout << fmt::format("upsample: {} faces -> {} points, wrote {}\n", mesh.polygons.size(), out->size(),
                           a.output);
  return 0;
}

// --- render ------------------------------------------------------------------------------------------------

struct RenderArgs {
  std::vector<std::string> inputs;
  std::string output, title;
  int width = 1000;
};

int runRender(const RenderArgs& a) {
  const std::string ext = nimbrel_tools::extensionOf(a.output);
  if (ext != ".png") throw ToolError(fmt::format("cannot write {}: the picture is a .png file", a.output));
  if (a.width < 200 || a.width > 8000) throw ToolError("bad --width: between 200 and 8000 pixels");
  std::vector<CloudPtr> clouds;
  for (const auto& path : a.inputs) clouds.push_back(nimbrel_tools::loadCloud(path));
  std::vector<nimbrel_tools::RenderLayer> layers;
  for (std::size_t i = 0; i < clouds.size(); ++i) {
    layers.push_back(
        {clouds[i].get(), nimbrel_tools::layerColour(i), fs::path(a.inputs[i]).filename().string(), 1});
  }
  nimbrel_tools::RenderOptions options;
  options.title = a.title;
  options.width = a.width;
  nimbrel_tools::saveImage(nimbrel_tools::renderViews(layers, options), a.output);
  std::cout << fmt::format("render: {} cloud(s), wrote {}\n", clouds.size(), a.output);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Runs the nimbrel_arm_util point-cloud operations on files: clouds are PCD, meshes PLY/OBJ/STL,\n"
      "depth images 16-bit PNG in millimetres, intrinsics a ROS camera_info YAML file."};
  app.name("nimbrel_arm_util");
  app.set_version_flag("--version", NIMBREL_VERSION);
  app.require_subcommand(1);
  bool verbose = false;
  app.add_flag("-v,--verbose", verbose, "Show the library's log messages");

  int (*run)() = nullptr;
  static DepthArgs depth;
  static CleanArgs clean;
  static TransformArgs transform;
  static CutBoxArgs cutBoxes;
  static CutMeshArgs cutMeshes;
  static MeshArgs hull, upsample;
  static RenderArgs render;

  auto* d = app.add_subcommand(
      "depth", "Depth image (16-bit PNG, mm) + camera_info YAML -> cloud (PCD, metres, camera frame)");
  d->add_option("image", depth.image, "16-bit single-channel PNG depth image")->required();
  d->add_option("-c,--camera-info", depth.cameraInfo,
                "ROS camera_info YAML (camera_matrix, distortion_coefficients)")
      ->required();
  d->add_option("-o,--output", depth.output, "Output PCD file")->required();
  d->callback([&] { run = [] { return runDepth(depth); }; });

  auto* db =
      app.add_subcommand("depth-batch", "Every .png depth image of a folder -> one PCD each, with progress");
  db->add_option("folder", depth.image, "Folder of 16-bit PNG depth images")->required();
  db->add_option("-c,--camera-info", depth.cameraInfo, "ROS camera_info YAML shared by all images")
      ->required();
  db->add_option("-O,--out-dir", depth.outDir, "Existing folder for the PCD files (same names, .pcd)")
      ->required();
  db->callback([&] { run = [] { return runDepthBatch(depth); }; });

  auto* c = app.add_subcommand("clean",
                               "Crop to a box, drop non-finite points, voxel down-sample, remove outliers");
  c->add_option("input", clean.input, "Input PCD file")->required();
  c->add_option("-o,--output", clean.output, "Output PCD file")->required();
  c->add_option("--box", clean.box, "Workspace box xmin,xmax,ymin,ymax,zmin,zmax in metres")
      ->capture_default_str();
  c->add_option("--leaf", clean.leaf, "Voxel edge length in metres")->capture_default_str();
  c->add_option("--mean-k", clean.meanK, "Neighbours for the outlier statistics")->capture_default_str();
  c->add_option("--stddev", clean.stddev, "Standard-deviation multiplier for outliers")
      ->capture_default_str();
  c->callback([&] { run = [] { return runClean(clean); }; });

  auto* t = app.add_subcommand("transform", "Map every point through a 4x4 matrix (e.g. camera to robot)");
  t->add_option("input", transform.input, "Input PCD file")->required();
  t->add_option("-o,--output", transform.output, "Output PCD file")->required();
  t->add_option("-m,--matrix", transform.matrix,
                "16 numbers row by row, or a file holding them; bottom row 0 0 0 1")
      ->required();
  t->callback([&] { run = [] { return runTransform(transform); }; });

  auto* cb = app.add_subcommand("cut-boxes",
                                "Remove the points inside an object's oriented box and/or the tool's box");
  cb->add_option("input", cutBoxes.input, "Input PCD file")->required();
  cb->add_option("-o,--output", cutBoxes.output, "Output PCD file")->required();
  cb->add_option("--box-pose", cutBoxes.boxPose,
                 "Object box pose: 4x4 matrix (16 numbers or a file); columns are its axes, last its centre");
  cb->add_option("--box-size", cutBoxes.boxSize, "Object box full edge lengths sx,sy,sz");
  cb->add_option("--scale", cutBoxes.scale, "Scale applied to the object box")->capture_default_str();
  cb->add_option("--margin", cutBoxes.margin, "Margin added to each face of the object box")
      ->capture_default_str();
  cb->add_option("--tool-pose", cutBoxes.toolPose, "Tool box pose: 4x4 matrix (16 numbers or a file)");
  cb->add_option("--tool-half-size", cutBoxes.toolHalfSize, "Tool box half extents hx,hy,hz");
  cb->add_option("--tool-margin", cutBoxes.toolMargin, "Margin added to each face of the tool box")
      ->capture_default_str();
  cb->callback([&] { run = [] { return runCutBoxes(cutBoxes); }; });

  auto* cm =
      app.add_subcommand("cut-meshes", "Remove the points that belong to object meshes (PLY, OBJ or STL)");
  cm->add_option("input", cutMeshes.input, "Input PCD file")->required();
  cm->add_option("-o,--output", cutMeshes.output, "Output PCD file")->required();
  cm->add_option("-M,--mesh", cutMeshes.meshes, "Object mesh file; repeat for several")->required();
  cm->add_option("--method", cutMeshes.method,
                 "plain: inside or within 0.05 of a mesh; fast: within 0.08 of its sampled surface")
      ->check(CLI::IsMember({"plain", "fast"}))
      ->capture_default_str();
  cm->callback([&] { run = [] { return runCutMeshes(cutMeshes); }; });

  auto* h = app.add_subcommand("hull", "Convex hull of a mesh");
  h->add_option("mesh", hull.input, "Input mesh (PLY, OBJ or STL)")->required();
  h->add_option("-o,--output", hull.output, "Output mesh (.ply, .obj or .stl)")->required();
  h->callback([&] { run = [] { return runHull(hull); }; });

  auto* u = app.add_subcommand("upsample",
                               "Mesh -> dense surface cloud (vertices + ~40,000 points per square metre)");
  u->add_option("mesh", upsample.input, "Input mesh (PLY, OBJ or STL)")->required();
  u->add_option("-o,--output", upsample.output, "Output PCD file")->required();
  u->callback([&] { run = [] { return runUpsample(upsample); }; });

  auto* r =
      app.add_subcommand("render", "Draw clouds into a PNG: top view and side view, one colour per cloud");
  r->add_option("clouds", render.inputs, "PCD files, drawn in order (later on top)")->required();
  r->add_option("-o,--output", render.output, "Output PNG file")->required();
  r->add_option("--title", render.title, "Title written above the views");
  r->add_option("--width", render.width, "Picture width in pixels")->capture_default_str();
  r->callback([&] { run = [] { return runRender(render); }; });

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::cerr << "nimbrel_arm_util: error: " << e.what() << " (see --help)\n";
    return 2;
  }
  quietLibraryLog(verbose);
  try {
    return run();
  } catch (const ToolError& e) {
    std::cerr << "nimbrel_arm_util: error: " << e.what() << '\n';
  } catch (const cv::Exception& e) {
    std::cerr << "nimbrel_arm_util: error: OpenCV: " << e.err << '\n';
  } catch (const std::exception& e) {
    std::cerr << "nimbrel_arm_util: error: " << e.what() << '\n';
  }
  return 1;
}
