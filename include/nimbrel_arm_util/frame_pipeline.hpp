#pragma once

#include <pcl/PolygonMesh.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <string>
#include <vector>

#include "nimbrel_arm_util/camera_intrinsic.hpp"
#include "nimbrel_arm_util/camera_model.hpp"
#include "nimbrel_arm_util/robot_body.hpp"
#include "nimbrel_arm_util/robot_description.hpp"
#include "nimbrel_arm_util/scene_description.hpp"

namespace nimbrel_arm_util {

/// Parameters of the frame pipeline. The defaults are PointCloudsDeal's own.
struct FramePipelineConfig {
  /// Workspace box xmin, xmax, ymin, ymax, zmin, zmax in metres, in the camera frame (processPointClouds).
  std::array<double, 6> cropBox{-2.0, 2.0, -2.0, 2.0, -2.0, 2.0};
  double leafSize = 0.005;                    ///< voxel edge length, metres
  int meanK = 50;                             ///< neighbours for the outlier statistics
  double stddevMulThresh = 1.0;               ///< standard-deviation multiplier for outliers
  MeshMethod meshMethod = MeshMethod::kFast;  ///< for meshes that do not name their own
  SceneDescription scene;                     ///< what is cut out, in the base frame
  /// The robot whose own body is cut from every frame right after the move into the base frame (the
  /// description's root link is the base frame); empty: the robot is not cut.
  std::optional<RobotDescription> robot;
  RobotBodyConfig robotBody;  ///< its padding, scales and ignored links
  bool robotShadow = false;   ///< also cut points seen through a link, the camera's origin as the sensor
};

/// One step of a processed frame: the library call (a box's with the box: "removeObbPointClouds (box 2:
/// crate)"), its points in and out and its wall time.
struct FrameStep {
  std::string name;           ///< the library call, with the box or mesh it cut
  std::size_t pointsIn = 0;   ///< points it was given
  std::size_t pointsOut = 0;  ///< points it kept
  double milliseconds = 0.0;  ///< its wall time
};

/// Where the scene's objects are in the base frame for one frame, in the scene's order (tool, then each
/// box, then each mesh). configuredPoses() gives the configured ones; a ROS node composes them with TF.
struct FramePoses {
  Eigen::Matrix4d tool = Eigen::Matrix4d::Identity();  ///< the tool's box, when the scene has a tool
  std::vector<Eigen::Matrix4d> boxes;                  ///< one per box of the scene
  std::vector<Eigen::Matrix4d> meshes;                 ///< one per mesh of the scene
  /// With a robot: the base-frame pose of every link the robot's body cuts (RobotBody::links()).
  std::map<std::string, Eigen::Matrix4d> links;
};

/// What process() reports besides the cloud.
struct FrameReport {
  std::vector<FrameStep> steps;  ///< the steps run, in order
  /// With keepStages, the cloud after each step (same order as `steps`); otherwise empty.
  std::vector<pcl::PointCloud<pcl::PointXYZ>::Ptr> stages;
  std::string error;  ///< why process() refused the frame; empty on success
};

/// The road of one depth camera frame, done with PointCloudsDeal's own calls in this order:
/// getPointCloudsFromDepthMap, processPointClouds (crop box, leaf, outliers), TransformToRobot (camera to
/// base), with a robot RobotBody::filter (the arm's own links, placed by FramePoses::links), then
/// removeObbAndToolPointClouds / removeObbPointClouds (tool and object boxes), removePointsFromMeshs (plain
/// meshes) and fastRemovePointsFromMeshs (fast meshes). Without a robot and without mesh margins its cloud
/// is bit for bit what those calls give.
///
/// A mesh's margin is a clearance around its faces: the step of the mesh's method first drops every point
/// strictly nearer than the margin to one of the mesh's faces (exact point–triangle distance, in the mesh's
/// own frame when its pose is rigid, the points moved there and rounded to float), inside the mesh or
/// outside it, then makes the library call, which cuts as it does without a margin. A point goes when
/// either says so: the margin does not add to the method's own 0.05 m (plain) or 0.08 m (fast). A margin of
/// 0 or less adds nothing.
///
/// Meshes are scaled, and the margins' distance indexes and the robot's body built, once at construction.
/// process() keeps nothing between calls and may run on several threads at once.
class FramePipeline {
 public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;  ///< the clouds the pipeline gives
  using CloudPtr = Cloud::Ptr;                   ///< shared pointer to a Cloud

  /// Scales the scene's meshes and prepares their margins (and the robot's body, if any) once.
  explicit FramePipeline(FramePipelineConfig config);

  /// The configuration it was built with.
  const FramePipelineConfig& config() const { return config_; }
  /// The scene's poses as configured, frames ignored: what a scene without frames is cut with.
  FramePoses configuredPoses() const;
  /// The robot's prepared body when the configuration has a robot, otherwise null.
  const RobotBody* robotBody() const { return robotBody_.get(); }

  /// Turns `depth` into the cleaned cloud in the base frame, with the scene cut out. `depth` is CV_16UC1
  /// (`unitsPerMetre` units per metre; 0 and 65535 are holes) or CV_32FC1 (metres times `unitsPerMetre`
  /// over 1; 0, NaN, infinities are holes), distorted as `camera` says. `cameraToBase` maps camera-frame
  /// points into the base frame. On success `out` holds one row of points (width = count, height 1) and 0
  /// is returned; -1 when the depth image or camera model is refused, -2 when a mesh cannot be sampled, -3
  /// when `poses` does not match the scene (a link of the robot's body without a pose, or with one that is
  /// not a finite rigid pose, too), each with the reason in `report->error` and `out` untouched.
  /// With `keepStages`, each step's cloud is kept in the report.
  int process(const cv::Mat& depth, const CameraModel& camera, double unitsPerMetre,
              const Eigen::Matrix4d& cameraToBase, const FramePoses& poses, CloudPtr out,
              FrameReport* report = nullptr, bool keepStages = false) const;
  /// The same for a plumb_bob camera given as a CameraIntrinsic record.
  int process(const cv::Mat& depth, const CameraIntrinsic& intrinsic, double unitsPerMetre,
              const Eigen::Matrix4d& cameraToBase, const FramePoses& poses, CloudPtr out,
              FrameReport* report = nullptr, bool keepStages = false) const;

  /// Mesh `index` of the scene as its method cuts it: scaled and placed by `pose` (base frame). Its margin
  /// is a distance around these faces, not part of the mesh.
  pcl::PolygonMesh placedMesh(std::size_t index, const Eigen::Matrix4d& pose) const;

  /// Which points of `before` a step kept, given that `after` is the ordered subsequence it kept (every cut
  /// keeps its input's order).
  static std::vector<bool> keptMask(const Cloud& before, const Cloud& after);

 private:
  struct MarginIndex;
  // Drops the points strictly within each listed mesh's margin of its faces, mesh i placed by poses[i].
  void cutMargins(Cloud& cloud, const std::vector<Eigen::Matrix4d>& poses,
                  const std::vector<std::size_t>& meshes) const;

  FramePipelineConfig config_;
  std::vector<pcl::PolygonMesh> scaledMeshes_;  // scaled, in each mesh's own frame
  // Per mesh, its margin's index (shared by copies: it is only read); null without a margin.
  std::vector<std::shared_ptr<const MarginIndex>> margins_;
  std::shared_ptr<const RobotBody> robotBody_;  // shared by copies: it is only read
};

}  // namespace nimbrel_arm_util
