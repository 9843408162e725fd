// The scene description file shared by the command-line tool's `scene` subcommand and the ROS 2 scene node:
// the held tool's box, object boxes and object meshes, each fixed in the base frame or given in a TF frame.
//
//   tool:                        # optional
//     frame: tool0               # optional: the pose is in this TF frame; without it, in the base frame
//     pose: {position: [0, 0, 0.1], orientation: [0, 0, 0, 1]}   # or 16 numbers row by row; default identity
//     half_size: [0.045, 0.065, 0.11]
//     margin: 0.02
//   boxes:
//     - {name: crate, pose: [...16 numbers...], size: [0.2, 0.12, 0.1], margin: 0.015}
//   meshes:
//     - {name: ball, file: ball.ply, scale: 1.0, margin: 0.0, method: fast, frame: ball_link}
//
// Mesh files are read relative to the scene file's folder. Unknown keys are refused, so that a misspelt one
// does not silently cut nothing, and so are keys given twice. A pose of 16 numbers goes through rigidPose
// (files.hpp): a rotation within kRigidTolerance (1e-3 on every entry of R^T R - I) of orthonormal, with
// det R > 0, is taken as the nearest rotation; a scaled, sheared or mirroring one is refused.
#pragma once

#include <Eigen/Core>
#include <string>

#include "nimbrel_arm_util/scene_description.hpp"

namespace nimbrel_tools {

/// Reads a scene description file and the meshes it names. Every failure, the YAML library's included, is a
/// ToolError with one line naming the file, the entry and the problem (unknown key, missing or negative
/// size, bad pose, unreadable mesh, broken YAML, a key that is a list or a map, ...).
nimbrel_arm_util::SceneDescription loadScene(const std::string& path);

/// "plain" or "fast"; throws ToolError (naming `what`) for anything else.
nimbrel_arm_util::MeshMethod meshMethodNamed(const std::string& name, const std::string& what);

}  // namespace nimbrel_tools
