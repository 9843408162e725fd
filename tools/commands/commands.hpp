// The tool's subcommands. Each add...Command function registers one subcommand's options, defaults and help
// on `app`; when the command line chooses it, `run` is set to the function that runs it, which returns the
// exit status or throws ToolError (status 1) or UsageError (status 2).
#pragma once

#include <CLI/CLI.hpp>

namespace nimbrel_tools {

using RunCommand = int (*)();

/// `depth` (one image) and `depth-batch` (a folder of images).
void addDepthCommands(CLI::App& app, RunCommand& run);
void addCleanCommand(CLI::App& app, RunCommand& run);
void addTransformCommand(CLI::App& app, RunCommand& run);
void addCutBoxesCommand(CLI::App& app, RunCommand& run);
void addCutMeshesCommand(CLI::App& app, RunCommand& run);
void addHullCommand(CLI::App& app, RunCommand& run);
void addUpsampleCommand(CLI::App& app, RunCommand& run);
void addRenderCommand(CLI::App& app, RunCommand& run);
/// `scene`: one depth image through a scene description file, offline, as the ROS 2 scene node does.
void addSceneCommand(CLI::App& app, RunCommand& run);
/// `self-filter`: a cloud in the base frame without the robot's own body.
void addSelfFilterCommand(CLI::App& app, RunCommand& run);

}  // namespace nimbrel_tools
