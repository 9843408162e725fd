// `cut-meshes`: remove the points that belong to object meshes.
#include <fmt/format.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "commands/command_output.hpp"
#include "commands/commands.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/fields.hpp"

namespace nimbrel_tools {

namespace {

using nimbrel_arm_util::PointCloudsDeal;

struct CutMeshArgs {
  std::string input, output, method = "fast", format = "binary", shift;
  std::vector<std::string> meshes, poses;
  std::vector<double> meshScales;
};
int runCutMeshes(const CutMeshArgs& a) {
  const std::vector<double> scales = meshScalesFor(a.meshScales, a.meshes.size());
  if (!a.poses.empty() && a.poses.size() != a.meshes.size()) {
    throw UsageError(fmt::format("--mesh-pose given {} times for {} meshes: give one per --mesh, or none",
                                 a.poses.size(), a.meshes.size()));
  }
  std::vector<Eigen::Matrix4d> poses;
  for (const auto& pose : a.poses) poses.push_back(poseArgument(pose, "--mesh-pose"));
  requireCloudOutput(a.output, "the cloud");
  const PcdFormat format = pcdFormatNamed(a.format);
  const Eigen::Vector3d shift = shiftArgument(a.shift);
  // Each mesh file is decoded once: placed and measured on its vertices, then handed on as a mesh.
  std::vector<pcl::PolygonMesh> meshes;
  for (std::size_t i = 0; i < a.meshes.size(); ++i) {
    MeshFile file = loadMeshFile(a.meshes[i]);
    placeMesh(file, scales[i], poses.empty() ? Eigen::Matrix4d::Identity() : poses[i], a.meshes[i]);
    warnOfHugeMesh(file.vertices, a.meshes[i]);
    meshes.push_back(std::move(file.mesh));
  }
  const CloudFile file = readCloud(a.input, shift);
  const CloudPtr& in = file.xyz;
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
  keepViewpoint(*in, *out);
  saveCloudKeepingFields(*out, file, keptPoints(*in, *out), a.output, format);
  report(fmt::format("cut-meshes ({})", a.method), a.output, in->size(), out->size());
  const std::size_t nonFinite = nonFiniteRemoved(*in, *out);
  summary("cut-meshes", in->size(), out->size(),
          {{in->size() - out->size() - nonFinite,
            a.method == "plain" ? "inside or near a mesh" : "near a mesh's surface"},
           {nonFinite, "non-finite"}},
          shiftNote(shift));
  return 0;
}

CutMeshArgs cutMeshes;

}  // namespace

void addCutMeshesCommand(CLI::App& app, RunCommand& run) {
  auto* cm =
      app.add_subcommand("cut-meshes", "Remove the points that belong to object meshes (PLY, OBJ or STL)");
  cm->add_option("input", cutMeshes.input, "Input cloud (.pcd or .ply); other fields of kept points kept")
      ->required();
  cm->add_option("-o,--output", cutMeshes.output, "Output cloud (.pcd or .ply)")->required();
  cm->add_option("-M,--mesh", cutMeshes.meshes, "Object mesh file in metres; repeat -M for each mesh")
      ->required()
      ->allow_extra_args(false);
  cm->add_option("--mesh-scale", cutMeshes.meshScales,
                 "Scale of the meshes (0.001 for millimetre CAD files): once for all, or once per -M in "
                 "order; a mesh spanning more than 10 m gives a warning")
      ->allow_extra_args(false);
  cm->add_option("--mesh-pose", cutMeshes.poses,
                 "Rigid pose of a mesh given in its own frame: 4x4 matrix or x,y,z,qx,qy,qz,qw (or a file); "
                 "one per -M, in the same order")
      ->allow_extra_args(false);
  cm->add_option("--method", cutMeshes.method,
                 "plain: inside (odd ray crossings, so only closed meshes have an inside; an open one cuts "
                 "only what lies within 0.05 m of it) or within 0.05 m of a mesh; fast: within 0.08 m of its "
                 "sampled surface (no inside: a large object's interior stays)")
      ->check(CLI::IsMember({"plain", "fast"}))
      ->capture_default_str();
  addShiftOption(cm, cutMeshes.shift);
  addFormatOption(cm, cutMeshes.format);
  cm->callback([&] { run = [] { return runCutMeshes(cutMeshes); }; });
}

}  // namespace nimbrel_tools
