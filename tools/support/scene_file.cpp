#include "support/scene_file.hpp"

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/files.hpp"
#include "support/yaml_entry.hpp"

namespace nimbrel_tools {

namespace {

namespace fs = std::filesystem;
using detail::YamlEntry;
using nimbrel_arm_util::MeshMethod;

// The file read; `where` follows the entry being read, for the message of a failure no check foresaw.
nimbrel_arm_util::SceneDescription readScene(const std::string& path, std::string& where) {
  nimbrel_arm_util::SceneDescription scene;
  const YAML::Node root = detail::loadYamlDocument("scene", path);
  if (root.IsNull()) return scene;  // an empty file: nothing to cut
  const YamlEntry top(root, "scene", path, "");
  top.allowOnly({"tool", "boxes", "meshes"});

  if (top.has("tool")) {
    where = "tool";
    const YamlEntry e(root["tool"], "scene", path, where);
    e.allowOnly({"frame", "pose", "half_size", "margin"});
    nimbrel_arm_util::SceneTool tool;
    tool.frame = e.frame();
    tool.pose = e.pose();
    tool.halfSize = e.lengths("half_size");
    tool.margin = e.number("margin", 0.0);
    scene.tool = tool;
  }

  const auto listOf = [&](const char* key) {
    where.clear();
    const YAML::Node list = root[key];
    if (list && !list.IsNull() && !list.IsSequence()) top.fail(key, "must be a list");
    return list;
  };
  std::size_t i = 0;
  for (const auto& node : listOf("boxes")) {
    where = fmt::format("boxes[{}]", i++);
    const YamlEntry e(node, "scene", path, where);
    e.allowOnly({"name", "frame", "pose", "size", "margin"});
    nimbrel_arm_util::SceneBox box;
    box.name = e.text("name");
    box.frame = e.frame();
    box.pose = e.pose();
    box.size = e.lengths("size");
    box.margin = e.number("margin", 0.0);
    scene.boxes.push_back(box);
  }

  i = 0;
  const fs::path folder = fs::path(path).parent_path();
  for (const auto& node : listOf("meshes")) {
    where = fmt::format("meshes[{}]", i++);
    const YamlEntry e(node, "scene", path, where);
    e.allowOnly({"name", "file", "frame", "pose", "scale", "margin", "method"});
    nimbrel_arm_util::SceneMesh mesh;
    mesh.name = e.text("name");
    mesh.file = e.text("file");
    if (mesh.file.empty()) e.fail("file", "missing");
    if (fs::path(mesh.file).is_relative()) mesh.file = (folder / mesh.file).string();
    mesh.frame = e.frame();
    mesh.pose = e.pose();
    mesh.scale = e.number("scale", 1.0);
    if (!(mesh.scale > 0.0)) e.fail("scale", "must be positive (0.001 for millimetre files)");
    mesh.margin = e.number("margin", 0.0);
    // A mesh's margin is a distance around its faces: a negative one would say nothing and hide a typo.
    if (mesh.margin < 0.0) e.fail("margin", "must not be negative (metres around the mesh's faces)");
    if (e.has("method")) {
      const std::string method = e.text("method");
      if (method != "plain" && method != "fast")
        e.fail("method", fmt::format("'{}' is neither plain nor fast", method));
      mesh.method = meshMethodNamed(method, "method");
    }
    try {
      mesh.mesh = loadMesh(mesh.file);
    } catch (const ToolError& error) {
      e.fail("file", error.what());
    }
    if (mesh.name.empty()) mesh.name = fs::path(mesh.file).stem().string();
    scene.meshes.push_back(std::move(mesh));
  }
  return scene;
}

}  // namespace

MeshMethod meshMethodNamed(const std::string& name, const std::string& what) {
  if (name == "plain") return MeshMethod::kPlain;
  if (name == "fast") return MeshMethod::kFast;
  throw ToolError(fmt::format("bad {}: '{}' is neither plain nor fast", what, name));
}

nimbrel_arm_util::SceneDescription loadScene(const std::string& path) {
  std::string where;
  try {
    return readScene(path, where);
  } catch (const ToolError&) {
    throw;
  } catch (const YAML::Exception& e) {
    throw ToolError(fmt::format("bad scene {}: {}{}", path, where.empty() ? "" : where + ": ", e.msg));
  } catch (const std::exception& e) {
    throw ToolError(fmt::format("bad scene {}: {}{}", path, where.empty() ? "" : where + ": ", e.what()));
  }
}

}  // namespace nimbrel_tools
