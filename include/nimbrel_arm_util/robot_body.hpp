#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nimbrel_arm_util/robot_description.hpp"

namespace nimbrel_arm_util {

/// How much of the robot's body a self-filter cuts around its collision shapes.
struct RobotBodyConfig {
  double padding = 0.01;                      ///< metres added around every shape
  std::map<std::string, double> linkPadding;  ///< per link, instead of `padding`
  double scale = 1.0;                         ///< every shape grown about its own origin by this factor
  std::map<std::string, double> linkScale;    ///< per link, instead of `scale`
  std::vector<std::string> ignoredLinks;      ///< links never cut (a gripper's fingers, a held object)
};

/// The robot's own body, from its collision shapes: cuts the points that lie inside a link's body or
/// within its padding of it, keeping the order of the others. Boxes, cylinders and spheres are tested
/// exactly; meshes go through the library's exact inside and near tests (a mesh made of several closed
/// shells contains what any of them contains), prepared once per link in the link's own frame. A point on
/// a surface counts as inside.
///
/// Built once, then only read: several threads may cut at once.
class RobotBody {
 public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;  ///< the clouds it cuts

  /// Prepares every collision shape of every link not ignored. Throws std::invalid_argument for a negative
  /// or non-finite padding, scale or shape size, a shape origin that is not a finite rigid pose, or a link
  /// named in the configuration that the robot does not have.
  RobotBody(const RobotDescription& description, RobotBodyConfig config = {});
  ~RobotBody();
  RobotBody(RobotBody&&) noexcept;             ///< takes over the prepared body
  RobotBody& operator=(RobotBody&&) noexcept;  ///< takes over the prepared body

  /// The links cut: those with collision shapes, not ignored. Their poses are what filter() needs.
  const std::vector<std::string>& links() const;

  /// Copies into `out` the points of `in` that no link claims, link i placed by `linkPoses` (its pose in
  /// the cloud's frame, a rigid 4×4). With `sensorOrigin` (in the cloud's frame), a point is also cut when
  /// the segment from it to the sensor crosses a link's padded body: it was seen through the arm, a mixed
  /// pixel along the link's outline. `out` is dense when every kept point is finite; non-finite points are
  /// kept, never claimed; `out` takes `in`'s header and sensor pose and may be `in`. A shape that claims the
  /// sensor itself (a camera inside a link's padded body) casts no shadow. With `removed`, removed[i] says
  /// whether point i was cut. Returns 0; -1 when a link of links() has no pose or a pose that is not rigid
  /// and finite, or the sensor origin is not finite (`out` untouched).
  int filter(const Cloud& in, const std::map<std::string, Eigen::Matrix4d>& linkPoses, Cloud& out,
             const std::optional<Eigen::Vector3d>& sensorOrigin = std::nullopt,
             std::vector<std::uint8_t>* removed = nullptr) const;

 private:
  struct Impl;
  std::unique_ptr<const Impl> impl_;
};

}  // namespace nimbrel_arm_util
