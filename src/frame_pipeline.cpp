#include "nimbrel_arm_util/frame_pipeline.hpp"

#include <pcl/conversions.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "engines/mesh_index.hpp"
#include "engines/parallel.hpp"
#include "engines/point_helpers.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {

namespace {

using Cloud = FramePipeline::Cloud;
using CloudPtr = FramePipeline::CloudPtr;

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// A mesh's margin: its scaled mesh in its own frame with an index whose near distance is the margin, and
// the box of its finite vertices, which holds every face.
struct FramePipeline::MarginIndex {
  MarginIndex(const pcl::PolygonMesh& scaled, const Cloud& vertices, double margin)
      : mesh(scaled), index(mesh, margin) {
    for (const pcl::PointXYZ& v : vertices.points) {
      if (!detail::isFinitePoint(v)) continue;
      lo = lo.cwiseMin(detail::widen(v));
      hi = hi.cwiseMax(detail::widen(v));
    }
  }
  MarginIndex(const MarginIndex&) = delete;
  MarginIndex& operator=(const MarginIndex&) = delete;

  pcl::PolygonMesh mesh;  // the index reads it: declared first, so built first
  detail::MeshIndex index;
  Eigen::Vector3d lo = Eigen::Vector3d::Constant(std::numeric_limits<double>::infinity());
  Eigen::Vector3d hi = -lo;
};

namespace {

// The base-frame box that holds every point within `margin` of the faces inside the box lo..hi placed by
// `pose` (an affine map keeps a box's image within the box of its corners' images), grown by a slack far
// above the rounding of moving points into the mesh's frame: points outside it need no distance test.
void reachBox(const Eigen::Matrix4d& pose, const Eigen::Vector3d& lo, const Eigen::Vector3d& hi,
              double margin, Eigen::Vector3d& reachLo, Eigen::Vector3d& reachHi) {
  detail::placedBoxBounds(pose, lo, hi, reachLo, reachHi);
  const double magnitude = std::max(reachLo.cwiseAbs().maxCoeff(), reachHi.cwiseAbs().maxCoeff());
  const double grow = margin + 1e-5 * (margin + magnitude);
  reachLo.array() -= grow;
  reachHi.array() += grow;
}

}  // namespace

FramePipeline::FramePipeline(FramePipelineConfig config) : config_(std::move(config)) {
  // The robot's body is prepared once; every frame only places it.
  if (config_.robot) robotBody_ = std::make_shared<const RobotBody>(*config_.robot, config_.robotBody);
  for (const SceneMesh& m : config_.scene.meshes) {
    Cloud vertices;
    pcl::fromPCLPointCloud2(m.mesh.cloud, vertices);
    for (auto& v : vertices) {
      v = pcl::PointXYZ(static_cast<float>(m.scale * v.x), static_cast<float>(m.scale * v.y),
                        static_cast<float>(m.scale * v.z));
    }
    pcl::PolygonMesh scaled;
    scaled.polygons = m.mesh.polygons;
    pcl::toPCLPointCloud2(vertices, scaled.cloud);
    // The margin's index is built here, once; process() only moves the points into the mesh's frame.
    margins_.push_back(m.margin > 0.0 ? std::make_shared<const MarginIndex>(scaled, vertices, m.margin)
                                      : nullptr);
    scaledMeshes_.push_back(std::move(scaled));
  }
}

void FramePipeline::cutMargins(Cloud& cloud, const std::vector<Eigen::Matrix4d>& poses,
                               const std::vector<std::size_t>& meshes) const {
  if (std::none_of(meshes.begin(), meshes.end(), [this](std::size_t i) { return margins_[i] != nullptr; })) {
    return;
  }
  std::vector<std::uint8_t> keep(cloud.size(), 1);
  detail::ThreadBudget budget;
  const int threads = budget.team(cloud.size(), detail::kMinNearTestPoints);
  for (const std::size_t i : meshes) {
    if (!margins_[i]) continue;
    const MarginIndex& margin = *margins_[i];
    const Eigen::Matrix4d& pose = poses[i];
    if (!(margin.lo.array() <= margin.hi.array()).all()) continue;  // no finite vertex: nothing is near
    Eigen::Vector3d reachLo, reachHi;
    reachBox(pose, margin.lo, margin.hi, config_.scene.meshes[i].margin, reachLo, reachHi);
    // Distances are the same in the mesh's frame when the pose is rigid: the points move, the index stays.
    // Any other pose changes distances, so the placed mesh gets an index of its own for this frame.
    const detail::MeshIndex* index = &margin.index;
    Eigen::Matrix3d toMesh = pose.topLeftCorner<3, 3>().transpose();
    Eigen::Vector3d origin = pose.topRightCorner<3, 1>();
    std::optional<pcl::PolygonMesh> placed;
    std::optional<detail::MeshIndex> placedIndex;
    if (!detail::isRigidPose(pose)) {
      placed.emplace(placedMesh(i, pose));
      placedIndex.emplace(*placed, config_.scene.meshes[i].margin);
      index = &*placedIndex;
      toMesh.setIdentity();
      origin.setZero();
    }
    // Each point on its own, against an index that is only read: the points may share threads.
    detail::forEachStatic(static_cast<long>(cloud.size()), threads, detail::kNearTestChunk, [&](long at) {
      const std::size_t j = static_cast<std::size_t>(at);
      if (keep[j] == 0) return;
      const Eigen::Vector3d p = detail::widen(cloud[j]);
      if (!((p.array() >= reachLo.array()).all() && (p.array() <= reachHi.array()).all())) return;
      const Eigen::Vector3d q = toMesh * (p - origin);
      const pcl::PointXYZ local(static_cast<float>(q.x()), static_cast<float>(q.y()),
                                static_cast<float>(q.z()));
      if (index->nearFaces(local)) keep[j] = 0;
    });
  }
  detail::keepPoints(cloud, cloud, [&](std::size_t j) { return keep[j] != 0; });
}

FramePoses FramePipeline::configuredPoses() const {
  FramePoses poses;
  if (config_.scene.tool) poses.tool = config_.scene.tool->pose;
  for (const auto& b : config_.scene.boxes) poses.boxes.push_back(b.pose);
  for (const auto& m : config_.scene.meshes) poses.meshes.push_back(m.pose);
  return poses;
}

pcl::PolygonMesh FramePipeline::placedMesh(std::size_t index, const Eigen::Matrix4d& pose) const {
  const pcl::PolygonMesh& scaled = scaledMeshes_.at(index);
  if (pose.isIdentity(0.0)) return scaled;
  Cloud vertices;
  pcl::fromPCLPointCloud2(scaled.cloud, vertices);
  for (auto& v : vertices) {
    const Eigen::Vector4d q = pose * Eigen::Vector4d(v.x, v.y, v.z, 1.0);
    v = pcl::PointXYZ(static_cast<float>(q.x()), static_cast<float>(q.y()), static_cast<float>(q.z()));
  }
  pcl::PolygonMesh placed;
  placed.polygons = scaled.polygons;
  pcl::toPCLPointCloud2(vertices, placed.cloud);
  return placed;
}

std::vector<bool> FramePipeline::keptMask(const Cloud& before, const Cloud& after) {
  std::vector<bool> mask(before.size(), false);
  std::size_t k = 0;
  for (std::size_t i = 0; i < before.size() && k < after.size(); ++i) {
    const auto& p = before[i];
    if (after[k].x == p.x && after[k].y == p.y && after[k].z == p.z) {
      mask[i] = true;
      ++k;
    }
  }
  return mask;
}

int FramePipeline::process(const cv::Mat& depth, const CameraIntrinsic& intrinsic, double unitsPerMetre,
                           const Eigen::Matrix4d& cameraToBase, const FramePoses& poses, CloudPtr out,
                           FrameReport* report, bool keepStages) const {
  return process(depth, CameraModel::fromIntrinsic(intrinsic), unitsPerMetre, cameraToBase, poses, out,
                 report, keepStages);
}

int FramePipeline::process(const cv::Mat& depth, const CameraModel& camera, double unitsPerMetre,
                           const Eigen::Matrix4d& cameraToBase, const FramePoses& poses, CloudPtr out,
                           FrameReport* report, bool keepStages) const {
  FrameReport local;
  FrameReport& r = report != nullptr ? *report : local;
  r = FrameReport{};
  const SceneDescription& scene = config_.scene;
  if (poses.boxes.size() != scene.boxes.size() || poses.meshes.size() != scene.meshes.size()) {
    r.error = "the poses given do not match the scene's boxes and meshes";
    return -3;
  }
  if (robotBody_) {
    for (const std::string& link : robotBody_->links()) {
      if (poses.links.count(link) == 0) {
        r.error = "no pose given for the robot's link '" + link + "'";
        return -3;
      }
    }
  }

  // A fresh object per call: process() then shares nothing between threads.
  PointCloudsDeal deal;
  const auto& box = config_.cropBox;
  deal.setFilterRange(box[0], box[1], box[2], box[3], box[4], box[5]);
  deal.setLeafSize(config_.leafSize);
  deal.setStatisticalOutlierRemovalPara(config_.meanK, config_.stddevMulThresh);

  CloudPtr current(new Cloud);
  const auto step = [&](const std::string& name, std::size_t in,
                        std::chrono::steady_clock::time_point start) {
    r.steps.push_back({name, in, current->size(), millisecondsSince(start)});
    if (keepStages) r.stages.push_back(CloudPtr(new Cloud(*current)));
  };

  auto start = std::chrono::steady_clock::now();
  if (deal.getPointCloudsFromDepthMap(current, depth, camera, unitsPerMetre) != 0) {
    r.error =
        "depth image or camera refused: not CV_16UC1 or CV_32FC1, a depth scale that is not positive, or an "
        "unusable camera model (see the log)";
    return -1;
  }
  step("getPointCloudsFromDepthMap", depth.total(), start);

  // processPointClouds leaves its output alone when the crop leaves nothing: a fresh cloud reads as empty.
  CloudPtr next(new Cloud);
  std::size_t in = current->size();
  start = std::chrono::steady_clock::now();
  deal.processPointClouds(current, next);
  current.swap(next);
  step("processPointClouds", in, start);

  next.reset(new Cloud);
  in = current->size();
  start = std::chrono::steady_clock::now();
  deal.TransformToRobot(*current, next, cameraToBase.cast<float>());
  current.swap(next);
  step("TransformToRobot", in, start);

  // The robot's own body, first of the cuts: the points it covers would otherwise reach every later test.
  if (robotBody_) {
    next.reset(new Cloud);
    in = current->size();
    start = std::chrono::steady_clock::now();
    std::optional<Eigen::Vector3d> sensor;
    if (config_.robotShadow) sensor = cameraToBase.topRightCorner<3, 1>();
    if (robotBody_->filter(*current, poses.links, *next, sensor) != 0) {
      r.error = "a robot link's pose (or the camera's origin) is not a finite rigid pose";
      return -3;
    }
    current.swap(next);
    step("RobotBody::filter", in, start);
  }

  // A box's step names the box too, so that every box has a step of its own: "removeObbPointClouds (box 2:
  // crate)".
  const auto boxStep = [&](const char* call, std::size_t i) {
    const std::string& name = scene.boxes[i].name;
    return std::string(call) + " (box " + std::to_string(i + 1) + (name.empty() ? "" : ": " + name) + ")";
  };
  // Boxes: the tool with the first object box in one call, as the library pairs them; further boxes alone.
  // A tool without boxes is the same test as removeObbPointClouds with scale 2 on its half extents.
  std::size_t firstBox = 0;
  Eigen::Matrix4d toolPose = poses.tool;
  Eigen::Vector3d toolSize = scene.tool ? scene.tool->halfSize : Eigen::Vector3d::Zero();
  if (scene.tool) {
    in = current->size();
    start = std::chrono::steady_clock::now();
    if (!scene.boxes.empty()) {
      Eigen::Matrix4d pose = poses.boxes[0];
      Eigen::Vector3d size = scene.boxes[0].size;
      deal.removeObbAndToolPointClouds(current, current, pose, size.data(), 1.0, scene.boxes[0].margin,
                                       toolPose, toolSize.data(), scene.tool->margin);
      firstBox = 1;
      step(boxStep("removeObbAndToolPointClouds", 0), in, start);
    } else {
      deal.removeObbPointClouds(current, current, toolPose, toolSize.data(), 2.0, scene.tool->margin);
      step("removeObbPointClouds", in, start);
    }
  }
  for (std::size_t i = firstBox; i < scene.boxes.size(); ++i) {
    Eigen::Matrix4d pose = poses.boxes[i];
    Eigen::Vector3d size = scene.boxes[i].size;
    in = current->size();
    start = std::chrono::steady_clock::now();
    deal.removeObbPointClouds(current, current, pose, size.data(), 1.0, scene.boxes[i].margin);
    step(boxStep("removeObbPointClouds", i), in, start);
  }

  std::vector<pcl::PolygonMesh> plain, fast;
  std::vector<std::size_t> plainIndices, fastIndices;
  for (std::size_t i = 0; i < scene.meshes.size(); ++i) {
    const bool isPlain = scene.meshes[i].method.value_or(config_.meshMethod) == MeshMethod::kPlain;
    (isPlain ? plain : fast).push_back(placedMesh(i, poses.meshes[i]));
    (isPlain ? plainIndices : fastIndices).push_back(i);
  }
  const auto cutMeshes = [&](const char* name, std::vector<pcl::PolygonMesh>& meshes,
                             const std::vector<std::size_t>& indices, bool fastMethod) {
    if (meshes.empty()) return 0;
    in = current->size();
    start = std::chrono::steady_clock::now();
    // The margins first: the library's cut then sees fewer points. Either drops a point on its own.
    cutMargins(*current, poses.meshes, indices);
    // Both removals refuse an empty cloud; nothing left to cut is simply nothing left.
    if (!current->empty()) {
      next.reset(new Cloud);
      int code = 0;
      try {
        code = fastMethod ? deal.fastRemovePointsFromMeshs(current, meshes, next)
                          : deal.removePointsFromMeshs(current, meshes, next);
      } catch (const std::overflow_error&) {
        code = -3;
      }
      if (code != 0) {
        r.error =
            "a mesh cannot be sampled: too small (three points or fewer) or too large (check its scale)";
        return -2;
      }
      current.swap(next);
    }
    step(name, in, start);
    return 0;
  };
  if (cutMeshes("removePointsFromMeshs", plain, plainIndices, false) != 0) return -2;
  if (cutMeshes("fastRemovePointsFromMeshs", fast, fastIndices, true) != 0) return -2;

  // The cuts append to the point sequence alone: describe the result as the one row it is.
  current->width = static_cast<std::uint32_t>(current->size());
  current->height = 1;
  *out = *current;
  return 0;
}

}  // namespace nimbrel_arm_util
