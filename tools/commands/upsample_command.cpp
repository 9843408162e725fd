// `upsample`: a mesh to a dense cloud of its surface.
#include <fmt/format.h>

#include <iostream>
#include <stdexcept>
#include <string>

#include "commands/command_output.hpp"
#include "commands/commands.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_tools {

namespace {

using nimbrel_arm_util::PointCloudsDeal;

struct MeshArgs {
  std::string input, output, format = "binary";
  double meshScale = 1.0;
};

int runUpsample(const MeshArgs& a) {
  requireCloudOutput(a.output, "the surface cloud");
  const PcdFormat format = pcdFormatNamed(a.format);
  pcl::PolygonMesh mesh = readScaledMesh(a.input, a.meshScale, "upsample");
  PointCloudsDeal deal;
  CloudPtr out(new Cloud);
  try {
    deal.upSampleMesh(mesh, out);
  } catch (const std::overflow_error&) {
    throw ToolError("a mesh triangle is too large to sample (check the mesh units: metres expected)");
  }
  saveCloud(*out, a.output, format);
  std::cout << fmt::format("upsample: {} faces -> {} points, wrote {}\n", mesh.polygons.size(), out->size(),
                           a.output);
  const std::size_t vertices = std::size_t{mesh.cloud.width} * mesh.cloud.height;
  summary("upsample", vertices, out->size(), {},
          fmt::format("{} vertices and {} surface samples", vertices, out->size() - vertices));
  return 0;
}

MeshArgs upsample;

}  // namespace

void addUpsampleCommand(CLI::App& app, RunCommand& run) {
  auto* u = app.add_subcommand(
      "upsample",
      "Mesh -> dense surface cloud: its vertices, then on each face its area x 40,000 random points, "
      "rounded (area in square metres once scaled: a face under 0.25 cm^2 gets none; a millimetre mesh "
      "without --mesh-scale 0.001 asks for a million times more, refused beyond 50 million)");
  u->add_option("mesh", upsample.input, "Input mesh (PLY, OBJ or STL)")->required();
  u->add_option("-o,--output", upsample.output, "Output cloud (.pcd or .ply)")->required();
  u->add_option("--mesh-scale", upsample.meshScale, "Scale of the mesh (0.001 for millimetres)")
      ->capture_default_str();
  addFormatOption(u, upsample.format);
  u->callback([&] { run = [] { return runUpsample(upsample); }; });
}

}  // namespace nimbrel_tools
