// nimbrel_arm_util: runs the library's point-cloud operations on files.
//
//   nimbrel_arm_util depth image.png --camera-info camera.yaml -o cloud.pcd
//   nimbrel_arm_util clean cloud.pcd -o clean.pcd --box -1,1,-1,1,0.3,1.6 --leaf 0.01
//   nimbrel_arm_util transform clean.pcd -o robot.pcd --matrix camera_to_robot.txt
//   nimbrel_arm_util cut-boxes robot.pcd -o cut.pcd --box-pose box.txt --box-size 0.2,0.1,0.1
//   nimbrel_arm_util cut-meshes cut.pcd -o scene.pcd --mesh ball.ply --method fast
//   nimbrel_arm_util render robot.pcd scene.pcd -o views.png
//
// Every subcommand has --help. Errors print one line on standard error and exit with status 1 (2 for a
// usage error); outputs are written under a temporary name and renamed into place, so a failed run leaves
// no partial file.
#include <CLI/CLI.hpp>
#include <iostream>
#include <opencv2/core.hpp>

#include "commands/command_output.hpp"
#include "commands/commands.hpp"
#include "support/files.hpp"

int main(int argc, char** argv) {
  CLI::App app{
      "Runs the nimbrel_arm_util point-cloud operations on files: clouds are PCD or vertex-only PLY (every\n"
      "field besides x, y, z is kept by the commands that move or select points), meshes PLY/OBJ/STL, depth\n"
      "images 16-bit PNG (millimetres unless --depth-scale), intrinsics a ROS camera_info YAML file\n"
      "(calibration layout or a dumped sensor_msgs/CameraInfo message). Lengths are in metres. Each command\n"
      "ends with one summary line on standard error (-q silences it); a usage error exits 2, others 1."};
  app.name("nimbrel_arm_util");
  app.set_version_flag("--version", NIMBREL_VERSION);
  app.require_subcommand(1);
  // Options a subcommand does not know (-v) are taken by the program: -v works before or after it.
  app.fallthrough();
  bool verbose = false;
  app.add_flag("-v,--verbose", verbose, "Show the library's log messages");
  app.add_flag("-q,--quiet", nimbrel_tools::quiet,
               "No summary line (points in, points out and what removed them) on standard error at the end");

  // Each subcommand registers its own options; the one the command line chooses sets `run`.
  nimbrel_tools::RunCommand run = nullptr;
  nimbrel_tools::addDepthCommands(app, run);
  nimbrel_tools::addCleanCommand(app, run);
  nimbrel_tools::addTransformCommand(app, run);
  nimbrel_tools::addCutBoxesCommand(app, run);
  nimbrel_tools::addCutMeshesCommand(app, run);
  nimbrel_tools::addHullCommand(app, run);
  nimbrel_tools::addUpsampleCommand(app, run);
  nimbrel_tools::addRenderCommand(app, run);
  nimbrel_tools::addSceneCommand(app, run);
  nimbrel_tools::addSelfFilterCommand(app, run);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::cerr << "nimbrel_arm_util: error: " << e.what() << " (see --help)\n";
    return 2;
  }
  nimbrel_tools::quietLibraryLog(verbose);
  try {
    return run();
  } catch (const nimbrel_tools::UsageError& e) {
    std::cerr << "nimbrel_arm_util: error: " << e.what() << " (see --help)\n";
    return 2;
  } catch (const nimbrel_tools::ToolError& e) {
    std::cerr << "nimbrel_arm_util: error: " << e.what() << '\n';
  } catch (const cv::Exception& e) {
    std::cerr << "nimbrel_arm_util: error: OpenCV: " << e.err << '\n';
  } catch (const std::exception& e) {
    std::cerr << "nimbrel_arm_util: error: " << e.what() << '\n';
  }
  return 1;
}
