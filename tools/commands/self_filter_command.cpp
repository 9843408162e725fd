// `self-filter`: remove the points of the arm's own body (its description's collision shapes, posed by joint
// positions or by link poses) from a cloud in the robot's base frame.
#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <vector>

#include "commands/command_output.hpp"
#include "commands/commands.hpp"
#include "nimbrel_arm_util/robot_body.hpp"
#include "support/fields.hpp"
#include "support/robot_file.hpp"

namespace nimbrel_tools {

namespace {

using nimbrel_arm_util::RobotBody;

struct SelfFilterArgs {
  std::string input, output, urdf, joints, linkPoses, format = "binary";
  double padding = nimbrel_arm_util::RobotBodyConfig().padding;
  std::vector<std::string> ignoredLinks;
};

int runSelfFilter(const SelfFilterArgs& a) {
  nimbrel_arm_util::RobotBodyConfig config;
  config.padding = paddingArgument(a.padding);
  config.ignoredLinks = a.ignoredLinks;
  const auto description = loadRobot(a.urdf);
  const RobotBody body = robotBodyFor(description, config);
  const auto poses = robotLinkPoses(description, body.links(), a.joints, a.linkPoses);
  const auto [format, shift, file] = readCloudCommandInput(a.input, a.output, a.format, "");
  const CloudPtr& in = file.xyz;
  CloudPtr out(new Cloud);
  std::vector<std::uint8_t> removed;
  if (body.filter(*in, poses, *out, std::nullopt, &removed) != 0)
    throw ToolError("a link's pose is not a rigid transform");
  keepViewpoint(*in, *out);
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < removed.size(); ++i) {
    if (!removed[i]) kept.push_back(i);
  }
  saveCloudKeepingFields(*out, file, kept, a.output, format);
  report("self-filter", a.output, in->size(), out->size());
  summary("self-filter", in->size(), out->size(),
          {{in->size() - out->size(), fmt::format("within {} m of the robot's body", config.padding)}});
  return 0;
}

SelfFilterArgs selfFilter;

}  // namespace

void addSelfFilterCommand(CLI::App& app, RunCommand& run) {
  auto* sf = app.add_subcommand(
      "self-filter", "Remove the points of the robot's own body (its URDF collision shapes) from a cloud");
  sf->add_option(
        "input", selfFilter.input,
        "Input cloud in the robot's base frame, the URDF's root link (.pcd or .ply); other fields of "
        "kept points kept")
      ->required();
  sf->add_option("-o,--output", selfFilter.output, "Output cloud (.pcd or .ply)")->required();
  addRobotOptions(sf, selfFilter.urdf, selfFilter.joints, selfFilter.linkPoses, selfFilter.padding);
  sf->add_option("--ignore-link", selfFilter.ignoredLinks,
                 "A link never cut (a finger, a held object); repeat")
      ->allow_extra_args(false);
  addFormatOption(sf, selfFilter.format);
  sf->callback([&] { run = [] { return runSelfFilter(selfFilter); }; });
}

}  // namespace nimbrel_tools
