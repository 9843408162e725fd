#pragma once

#include <pcl/PolygonMesh.h>

#include <Eigen/Core>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel_arm_util {

/// How the points of object meshes are cut: `plain` drops points inside a mesh or within 0.05 of it
/// (removePointsFromMeshs), `fast` drops points within 0.08 of its sampled surface
/// (fastRemovePointsFromMeshs).
enum class MeshMethod { kPlain, kFast };

/// The held tool's box. `halfSize` holds half extents; the box is grown by `margin` on every face and its z
/// half extent never drops below 0.1 (removeObbAndToolPointClouds).
struct SceneTool {
  std::string frame;  ///< TF frame the pose is given in; empty: `pose` is in the base frame
  Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();  ///< the box's centre and axes
  Eigen::Vector3d halfSize = Eigen::Vector3d::Zero();  ///< half edge lengths, metres
  double margin = 0.0;                                 ///< metres added on every face
};

/// A known object's oriented box: `size` holds full edge lengths, grown by `margin` on every face; its z half
/// extent never drops below 0.1 (removeObbPointClouds).
struct SceneBox {
  std::string name;   ///< for messages and step names
  std::string frame;  ///< TF frame the pose is given in; empty: `pose` is in the base frame
  Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();  ///< the box's centre and axes
  Eigen::Vector3d size = Eigen::Vector3d::Zero();      ///< full edge lengths, metres
  double margin = 0.0;                                 ///< metres added on every face
};

/// A known object's triangle mesh, in its own frame and units: its vertices are multiplied by `scale`
/// (0.001 for millimetre CAD files), then placed by `pose`. Every point strictly nearer than `margin`
/// metres to its faces is cut as well (FramePipeline), whatever the method; the method's own distance is
/// not added to the margin.
struct SceneMesh {
  std::string name;       ///< for messages and step names
  std::string file;       ///< where the mesh was read from, for messages
  std::string frame;      ///< TF frame the pose is given in; empty: `pose` is in the base frame
  pcl::PolygonMesh mesh;  ///< triangles in the mesh's own frame and units
  Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();  ///< places the scaled mesh
  double scale = 1.0;                                  ///< multiplies every vertex before `pose`
  double margin = 0.0;                                 ///< metres of clearance cut around its faces
  std::optional<MeshMethod> method;                    ///< empty: the pipeline's default method
};

/// What is cut out of every frame: the tool (if any), object boxes and object meshes. Poses place each
/// object in `frame` when it names one (resolved per frame, e.g. through TF), otherwise in the base frame.
struct SceneDescription {
  std::optional<SceneTool> tool;  ///< the held tool, if any
  std::vector<SceneBox> boxes;    ///< known objects' boxes
  std::vector<SceneMesh> meshes;  ///< known objects' meshes
};

}  // namespace nimbrel_arm_util
