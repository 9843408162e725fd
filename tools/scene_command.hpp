// The tool's `scene` subcommand: one depth image through a scene description file, offline, exactly as the
// ROS 2 scene node processes a frame.
#pragma once

#include <CLI/CLI.hpp>

namespace nimbrel_tools {

/// Adds `scene` to `app`; when it is chosen, `run` is set to the function that runs it.
void addSceneCommand(CLI::App& app, int (*&run)());

}  // namespace nimbrel_tools
