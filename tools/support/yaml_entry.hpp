// Private to the tool's support library: one entry of a YAML file the tools read (a scene, joint positions,
// link poses), with the checks every such file applies and messages that name the file and the entry.
#pragma once

#include <yaml-cpp/yaml.h>

#include <Eigen/Core>
#include <initializer_list>
#include <string>
#include <vector>

namespace nimbrel_tools::detail {

/// The one YAML document of `path`: a Null node for an empty file. Throws ToolError ("bad <kind> <path>:
/// line N: ...") for broken YAML or a file of several documents, of which all but the first would be ignored.
YAML::Node loadYamlDocument(const std::string& kind, const std::string& path);

/// Reads one entry of a file; every message names the kind of file, the file and the entry ("boxes[1].size").
class YamlEntry {
 public:
  YamlEntry(const YAML::Node& node, std::string kind, std::string file, std::string where)
      : node_(node), kind_(std::move(kind)), file_(std::move(file)), where_(std::move(where)) {}

  /// Throws ToolError "bad <kind> <file>: <entry>.<key>: <why>".
  [[noreturn]] void fail(const std::string& key, const std::string& why) const;

  /// The keys of a map entry, in the file's order. Refuses an entry that is not a map, a key that is a list
  /// or a map (YAML allows them; these files have none) and a key given twice, of which only the first would
  /// be read.
  std::vector<std::string> keys() const;
  /// keys(), also refusing a key not listed.
  void allowOnly(std::initializer_list<const char*> allowed) const;

  bool has(const char* key) const { return static_cast<bool>(node_[key]); }
  /// A finite number; `fallback` when the key is absent.
  double number(const char* key, double fallback) const;
  /// A string; "" when the key is absent.
  std::string text(const char* key) const;
  /// Exactly `count` finite numbers.
  std::vector<double> numbers(const char* key, std::size_t count) const;
  /// Three lengths, none negative; the key is required.
  Eigen::Vector3d lengths(const char* key) const;
  /// A TF frame name; tf2 refuses names with a leading slash.
  std::string frame() const;
  /// The rigid pose under `key`: 16 numbers row by row (bottom row 0 0 0 1, through rigidPose), or
  /// {position: [x, y, z], orientation: [x, y, z, w]}; the identity when the key is absent.
  Eigen::Matrix4d pose(const char* key = "pose") const;

 private:
  YAML::Node node_;
  std::string kind_, file_, where_;
};

}  // namespace nimbrel_tools::detail
