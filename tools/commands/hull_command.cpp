// `hull`: the convex hull of a mesh.
#include <fmt/format.h>

#include <iostream>
#include <string>
#include <vector>

#include "commands/command_output.hpp"
#include "commands/commands.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_tools {

namespace {

using nimbrel_arm_util::PointCloudsDeal;

struct MeshArgs {
  std::string input, output;
  double meshScale = 1.0;
};

int runHull(const MeshArgs& a) {
  requireMeshOutput(a.output, "the hull");
  std::vector<pcl::PolygonMesh> meshes{readScaledMesh(a.input, a.meshScale, "hull")};
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> hulls;
  const int result = deal.convertToConvexHull(meshes, hulls);
  if (result == -3) {
    throw ToolError(fmt::format(
        "no convex hull for {}: the mesh is flat or degenerate (coplanar, collinear or repeated vertices)",
        a.input));
  }
  if (result != 0 || hulls.size() != 1) {
    throw ToolError(fmt::format("no convex hull for {}: a hull needs more than three vertices", a.input));
  }
  saveMesh(hulls.front(), a.output);
  std::cout << fmt::format("hull: {} faces -> {} faces, wrote {}\n", meshes.front().polygons.size(),
                           hulls.front().polygons.size(), a.output);
  summary("hull", std::size_t{meshes.front().cloud.width} * meshes.front().cloud.height,
          std::size_t{hulls.front().cloud.width} * hulls.front().cloud.height, {},
          "vertices of the mesh and of its hull");
  return 0;
}

MeshArgs hull;

}  // namespace

void addHullCommand(CLI::App& app, RunCommand& run) {
  auto* h = app.add_subcommand("hull", "Convex hull of a mesh");
  h->add_option("mesh", hull.input, "Input mesh (PLY, OBJ or STL)")->required();
  h->add_option("-o,--output", hull.output, "Output mesh (.ply, .obj or .stl)")->required();
  h->add_option("--mesh-scale", hull.meshScale, "Scale of the mesh (0.001 for millimetres)")
      ->capture_default_str();
  h->callback([&] { run = [] { return runHull(hull); }; });
}

}  // namespace nimbrel_tools
