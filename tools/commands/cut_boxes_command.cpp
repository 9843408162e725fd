// `cut-boxes`: remove the points inside an object's oriented box and/or the held tool's box.
#include <fmt/format.h>

#include <cmath>
#include <string>

#include "commands/command_output.hpp"
#include "commands/commands.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/fields.hpp"

namespace nimbrel_tools {

namespace {

using nimbrel_arm_util::PointCloudsDeal;

struct CutBoxArgs {
  std::string input, output, boxPose, boxSize, toolPose, toolHalfSize, format = "binary", shift;
  double scale = 1.0, margin = 0.0, toolMargin = 0.0;
};

// Sizes are lengths: a negative one turns the box inside out, so that it holds nothing.
Eigen::Vector3d sizeArgument(const std::string& text, const char* what) {
  const Eigen::Vector3d v = parseVector3(text, what);
  if ((v.array() < 0.0).any()) {
    throw UsageError(
        fmt::format("bad {}: sizes cannot be negative (got {}, {}, {})", what, v.x(), v.y(), v.z()));
  }
  return v;
}

int runCutBoxes(const CutBoxArgs& a) {
  const bool haveBox = !a.boxPose.empty() || !a.boxSize.empty();
  const bool haveTool = !a.toolPose.empty() || !a.toolHalfSize.empty();
  if (!haveBox && !haveTool)
    throw ToolError("nothing to cut: give --box-pose/--box-size, --tool-pose/--tool-half-size or both");
  if (haveBox && (a.boxPose.empty() || a.boxSize.empty()))
    throw ToolError("--box-pose and --box-size go together");
  if (haveTool && (a.toolPose.empty() || a.toolHalfSize.empty()))
    throw ToolError("--tool-pose and --tool-half-size go together");
  if (!(a.scale >= 0.0 && std::isfinite(a.scale)))
    throw UsageError(fmt::format("bad --scale {}: must be a finite number, 0 or more", a.scale));
  Eigen::Matrix4d boxPose = Eigen::Matrix4d::Identity(), toolPose = Eigen::Matrix4d::Identity();
  Eigen::Vector3d boxSize = Eigen::Vector3d::Zero(), toolSize = Eigen::Vector3d::Zero();
  if (haveBox) {
    boxPose = poseArgument(a.boxPose, "--box-pose");
    boxSize = sizeArgument(a.boxSize, "--box-size");
  }
  if (haveTool) {
    toolPose = poseArgument(a.toolPose, "--tool-pose");
    toolSize = sizeArgument(a.toolHalfSize, "--tool-half-size");
  }
  const auto [format, shift, file] = readCloudCommandInput(a.input, a.output, a.format, a.shift);
  const CloudPtr& in = file.xyz;
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
  keepViewpoint(*in, *out);
  saveCloudKeepingFields(*out, file, keptPoints(*in, *out), a.output, format);
  report("cut-boxes", a.output, in->size(), out->size());
  const std::size_t nonFinite = nonFiniteRemoved(*in, *out);
  summary("cut-boxes", in->size(), out->size(),
          {{in->size() - out->size() - nonFinite, "inside the boxes"}, {nonFinite, "non-finite"}},
          shiftNote(shift));
  return 0;
}

CutBoxArgs cutBoxes;

}  // namespace

void addCutBoxesCommand(CLI::App& app, RunCommand& run) {
  auto* cb = app.add_subcommand(
      "cut-boxes",
      "Remove the points inside an object's oriented box and/or the tool's box. A box's z half extent is "
      "never less than 0.1 m: a flat box still cuts 0.1 m above and below its centre");
  cb->add_option("input", cutBoxes.input, "Input cloud (.pcd or .ply); other fields of kept points kept")
      ->required();
  cb->add_option("-o,--output", cutBoxes.output, "Output cloud (.pcd or .ply)")->required();
  cb->add_option("--box-pose", cutBoxes.boxPose,
                 "Object box pose, rigid: 4x4 matrix (16 numbers) or x,y,z,qx,qy,qz,qw, or a file; columns "
                 "are its axes, last its centre");
  cb->add_option("--box-size", cutBoxes.boxSize,
                 "Object box FULL edge lengths sx,sy,sz in metres (not negative)");
  cb->add_option("--scale", cutBoxes.scale, "Scale applied to the object box's edges (not negative, no unit)")
      ->capture_default_str();
  cb->add_option("--margin", cutBoxes.margin, "Metres added to each face of the object box")
      ->capture_default_str();
  cb->add_option("--tool-pose", cutBoxes.toolPose,
                 "Tool box pose, rigid: 4x4 matrix or x,y,z,qx,qy,qz,qw, or a file");
  cb->add_option("--tool-half-size", cutBoxes.toolHalfSize,
                 "Tool box HALF extents hx,hy,hz in metres (not negative; doubled into edges)");
  cb->add_option("--tool-margin", cutBoxes.toolMargin, "Metres added to each face of the tool box")
      ->capture_default_str();
  addShiftOption(cb, cutBoxes.shift);
  addFormatOption(cb, cutBoxes.format);
  cb->callback([&] { run = [] { return runCutBoxes(cutBoxes); }; });
}

}  // namespace nimbrel_tools
