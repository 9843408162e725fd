// `transform`: every point of a cloud through a 4x4 matrix, its other fields kept and its normals turned.
#include <numeric>
#include <string>
#include <vector>

#include "commands/command_output.hpp"
#include "commands/commands.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/fields.hpp"

namespace nimbrel_tools {

namespace {

using nimbrel_arm_util::PointCloudsDeal;

struct TransformArgs {
  std::string input, output, matrix, format = "binary", shift;
};

int runTransform(const TransformArgs& a) {
  const Eigen::Matrix4d m = matrixArgument(a.matrix, "--matrix");
  const auto [format, shift, file] = readCloudCommandInput(a.input, a.output, a.format, a.shift);
  const CloudPtr& in = file.xyz;
  PointCloudsDeal deal;
  CloudPtr out(new Cloud);
  deal.TransformToRobot(*in, out, m.cast<float>());
  keepViewpoint(*in, *out);
  std::vector<std::size_t> all(in->size());
  std::iota(all.begin(), all.end(), std::size_t{0});
  saveCloudKeepingFields(*out, file, all, a.output, format, m);
  report("transform", a.output, in->size(), out->size());
  summary("transform", in->size(), out->size(), {}, shiftNote(shift));
  return 0;
}

TransformArgs transform;

}  // namespace

void addTransformCommand(CLI::App& app, RunCommand& run) {
  auto* t = app.add_subcommand("transform", "Map every point through a 4x4 matrix (e.g. camera to robot)");
  t->add_option("input", transform.input, "Input cloud (.pcd or .ply); other fields kept, normals turned")
      ->required();
  t->add_option("-o,--output", transform.output, "Output cloud (.pcd or .ply)")->required();
  t->add_option("-m,--matrix", transform.matrix,
                "16 numbers row by row (bottom row 0 0 0 1) or x,y,z,qx,qy,qz,qw (metres, unit quaternion), "
                "or a file holding them")
      ->required();
  addShiftOption(t, transform.shift);
  addFormatOption(t, transform.format);
  t->callback([&] { run = [] { return runTransform(transform); }; });
}

}  // namespace nimbrel_tools
