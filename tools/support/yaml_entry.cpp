#include "support/yaml_entry.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "support/files.hpp"

namespace nimbrel_tools::detail {

YAML::Node loadYamlDocument(const std::string& kind, const std::string& path) {
  requireFile(path);
  std::vector<YAML::Node> documents;
  try {
    documents = YAML::LoadAllFromFile(path);
  } catch (const YAML::Exception& e) {
    if (e.mark.is_null()) throw ToolError(fmt::format("bad {} {}: {}", kind, path, e.msg));
    throw ToolError(fmt::format("bad {} {}: line {}: {}", kind, path, e.mark.line + 1, e.msg));
  }
  // A second document would be ignored without a word.
  if (documents.size() > 1) {
    throw ToolError(
        fmt::format("bad {} {}: holds {} YAML documents, a {} is one", kind, path, documents.size(), kind));
  }
  if (documents.empty()) return YAML::Node(YAML::NodeType::Null);
  return documents.front();
}

void YamlEntry::fail(const std::string& key, const std::string& why) const {
  const std::string entry = where_ + (where_.empty() || key.empty() ? "" : ".") + key;
  if (entry.empty()) throw ToolError(fmt::format("bad {} {}: {}", kind_, file_, why));
  throw ToolError(fmt::format("bad {} {}: {}: {}", kind_, file_, entry, why));
}

std::vector<std::string> YamlEntry::keys() const {
  if (!node_.IsMap()) fail("", "must be a map of keys");
  std::vector<std::string> seen;
  for (const auto& item : node_) {
    if (!item.first.IsScalar()) fail("", "has a key that is not a plain name (a list or a map)");
    const std::string key = item.first.Scalar();
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) fail(key, "given twice");
    seen.push_back(key);
  }
  return seen;
}

void YamlEntry::allowOnly(std::initializer_list<const char*> allowed) const {
  for (const std::string& key : keys()) {
    bool known = false;
    for (const char* k : allowed) known = known || key == k;
    if (!known) fail(key, "unknown key");
  }
}

double YamlEntry::number(const char* key, double fallback) const {
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

std::string YamlEntry::text(const char* key) const {
  if (!has(key)) return "";
  if (!node_[key].IsScalar()) fail(key, "must be a string");
  return node_[key].as<std::string>();
}

std::vector<double> YamlEntry::numbers(const char* key, std::size_t count) const {
  const YAML::Node list = node_[key];
  if (!list.IsSequence() || list.size() != count) fail(key, fmt::format("need a list of {} numbers", count));
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

Eigen::Vector3d YamlEntry::lengths(const char* key) const {
  if (!has(key)) fail(key, "missing");
  const std::vector<double> v = numbers(key, 3);
  for (double x : v) {
    if (x < 0.0) fail(key, "lengths cannot be negative");
  }
  return {v[0], v[1], v[2]};
}

std::string YamlEntry::frame() const {
  const std::string f = text("frame");
  if (!f.empty() && f.front() == '/') fail("frame", "a TF frame name has no leading '/'");
  return f;
}

Eigen::Matrix4d YamlEntry::pose(const char* key) const {
  if (!has(key)) return Eigen::Matrix4d::Identity();
  const YAML::Node p = node_[key];
  if (p.IsSequence()) {
    const std::vector<double> v = numbers(key, 16);
    Eigen::Matrix4d m;
    try {
      m = parseMatrix(fmt::format("{}", fmt::join(v, " ")), key);
    } catch (const ToolError&) {
      fail(key, "the bottom row must be 0 0 0 1");
    }
    try {
      return rigidPose(m);
    } catch (const ToolError& e) {
      fail(key, e.what());
    }
  }
  if (!p.IsMap()) fail(key, "need 16 numbers row by row, or position and orientation");
  const YamlEntry inner(p, kind_, file_, where_.empty() ? key : where_ + "." + key);
  inner.allowOnly({"position", "orientation"});
  Eigen::Vector3d t = Eigen::Vector3d::Zero();
  if (inner.has("position")) {
    const std::vector<double> v = inner.numbers("position", 3);
    t = Eigen::Vector3d(v[0], v[1], v[2]);
  }
  Eigen::Vector4d q(0, 0, 0, 1);
  if (inner.has("orientation")) {
    const std::vector<double> v = inner.numbers("orientation", 4);
    q = Eigen::Vector4d(v[0], v[1], v[2], v[3]);
    if (!(q.norm() > 1e-9)) inner.fail("orientation", "the quaternion x, y, z, w has no length");
  }
  return poseFromQuaternion(t, q);
}

}  // namespace nimbrel_tools::detail
