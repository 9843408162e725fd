#include "support/scene_file.hpp"

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>

#include "support/files.hpp"

namespace nimbrel_tools {

namespace {

namespace fs = std::filesystem;
using nimbrel_arm_util::MeshMethod;

// Reads one entry of the file; every message names the file and the entry ("boxes[1].size").
class Entry {
 public:
  Entry(const YAML::Node& node, std::string file, std::string where)
      : node_(node), file_(std::move(file)), where_(std::move(where)) {}

  [[noreturn]] void fail(const std::string& key, const std::string& why) const {
    const std::string entry = where_ + (where_.empty() || key.empty() ? "" : ".") + key;
    if (entry.empty()) throw ToolError(fmt::format("bad scene {}: {}", file_, why));
    throw ToolError(fmt::format("bad scene {}: {}: {}", file_, entry, why));
  }

  // Also refuses a key that is a list or a map (YAML allows them; a scene has none) and a key given twice,
  // of which only the first would be read.
  void allowOnly(std::initializer_list<const char*> keys) const {
    if (!node_.IsMap()) fail("", "must be a map of keys");
    std::vector<std::string> seen;
    for (const auto& item : node_) {
      if (!item.first.IsScalar()) fail("", "has a key that is not a plain name (a list or a map)");
      const std::string key = item.first.Scalar();
      bool known = false;
      for (const char* k : keys) known = known || key == k;
      if (!known) fail(key, "unknown key");
      if (std::find(seen.begin(), seen.end(), key) != seen.end()) fail(key, "given twice");
      seen.push_back(key);
    }
  }

  bool has(const char* key) const { return static_cast<bool>(node_[key]); }

  double number(const char* key, double fallback) const {
    if (!has(key)) return fallback;
    double v = 0.0;
    try {
      v = node_[key].as<double>();
    } catch (const YAML::Exception&) {
      fail(key, "not a number");
    }
    if (!std::isfinite(v)) fail(key, "not finite");
    return v;
  }

  std::string text(const char* key) const {
    if (!has(key)) return "";
    if (!node_[key].IsScalar()) fail(key, "must be a string");
    return node_[key].as<std::string>();
  }

  std::vector<double> numbers(const char* key, std::size_t count) const {
    const YAML::Node list = node_[key];
    if (!list.IsSequence() || list.size() != count)
      fail(key, fmt::format("need a list of {} numbers", count));
    std::vector<double> v;
    for (const auto& item : list) {
      try {
        v.push_back(item.as<double>());
      } catch (const YAML::Exception&) {
        fail(key, "holds a value that is not a number");
      }
      if (!std::isfinite(v.back())) fail(key, "holds a value that is not finite");
    }
    return v;
  }

  Eigen::Vector3d lengths(const char* key) const {
    if (!has(key)) fail(key, "missing");
    const std::vector<double> v = numbers(key, 3);
    for (double x : v) {
      if (x < 0.0) fail(key, "lengths cannot be negative");
    }
    return {v[0], v[1], v[2]};
  }

  // A TF frame name; tf2 refuses names with a leading slash.
  std::string frame() const {
    const std::string f = text("frame");
    if (!f.empty() && f.front() == '/') fail("frame", "a TF frame name has no leading '/'");
    return f;
  }

  // 16 numbers row by row (bottom row 0 0 0 1), or {position: [x, y, z], orientation: [x, y, z, w]}.
  Eigen::Matrix4d pose() const {
    if (!has("pose")) return Eigen::Matrix4d::Identity();
    const YAML::Node p = node_["pose"];
    if (p.IsSequence()) {
      const std::vector<double> v = numbers("pose", 16);
      Eigen::Matrix4d m;
      try {
        m = parseMatrix(fmt::format("{}", fmt::join(v, " ")), "pose");
      } catch (const ToolError&) {
        fail("pose", "the bottom row must be 0 0 0 1");
      }
      try {
        return rigidPose(m);
      } catch (const ToolError& e) {
        fail("pose", e.what());
      }
    }
    if (!p.IsMap()) fail("pose", "need 16 numbers row by row, or position and orientation");
    const Entry inner(p, file_, where_.empty() ? "pose" : where_ + ".pose");
    inner.allowOnly({"position", "orientation"});
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    if (inner.has("position")) {
      const std::vector<double> t = inner.numbers("position", 3);
      m.topRightCorner<3, 1>() = Eigen::Vector3d(t[0], t[1], t[2]);
    }
    Eigen::Vector4d q(0, 0, 0, 1);
    if (inner.has("orientation")) {
      const std::vector<double> v = inner.numbers("orientation", 4);
      q = Eigen::Vector4d(v[0], v[1], v[2], v[3]);
      if (!(q.norm() > 1e-9)) inner.fail("orientation", "the quaternion x, y, z, w has no length");
    }
    return poseFromQuaternion(m.topRightCorner<3, 1>(), q);
  }

 private:
  YAML::Node node_;
  std::string file_, where_;
};

// The file read; `where` follows the entry being read, for the message of a failure no check foresaw.
nimbrel_arm_util::SceneDescription readScene(const std::string& path, std::string& where) {
  requireFile(path);
  std::vector<YAML::Node> documents;
  try {
    documents = YAML::LoadAllFromFile(path);
  } catch (const YAML::Exception& e) {
    if (e.mark.is_null()) throw ToolError(fmt::format("bad scene {}: {}", path, e.msg));
    throw ToolError(fmt::format("bad scene {}: line {}: {}", path, e.mark.line + 1, e.msg));
  }
  nimbrel_arm_util::SceneDescription scene;
  // A second document would be ignored without a word.
  if (documents.size() > 1)
    throw ToolError(
        fmt::format("bad scene {}: holds {} YAML documents, a scene is one", path, documents.size()));
  if (documents.empty() || documents.front().IsNull()) return scene;  // an empty file: nothing to cut
  const YAML::Node root = documents.front();
  const Entry top(root, path, "");
  top.allowOnly({"tool", "boxes", "meshes"});

  if (top.has("tool")) {
    where = "tool";
    const Entry e(root["tool"], path, where);
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
    const Entry e(node, path, where);
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
    const Entry e(node, path, where);
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
