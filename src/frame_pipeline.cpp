#include "nimbrel_arm_util/frame_pipeline.hpp"

#include <pcl/conversions.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>

#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {

namespace {

using Cloud = FramePipeline::Cloud;
using CloudPtr = FramePipeline::CloudPtr;

// Moves every vertex `margin` outward along its normal (the area-weighted mean of its faces' normals), so
// that a mesh cut with a margin keeps that much clearance around the object. Faces may wind either way in
// the file: the sign of the enclosed volume tells which side is out.
void growMesh(Cloud& vertices, const std::vector<pcl::Vertices>& polygons, double margin) {
  if (margin == 0.0) return;
  const std::size_t n = vertices.size();
  std::vector<Eigen::Vector3d> normals(n, Eigen::Vector3d::Zero());
  double volume = 0.0;
  for (const auto& polygon : polygons) {
    if (polygon.vertices.size() < 3) continue;
    const auto index = [n](auto i) {
      return i >= 0 && static_cast<std::size_t>(i) < n ? static_cast<std::size_t>(i) : n;
    };
    const std::size_t ia = index(polygon.vertices[0]), ib = index(polygon.vertices[1]),
                      ic = index(polygon.vertices[2]);
    if (ia == n || ib == n || ic == n) continue;
    const Eigen::Vector3d a = vertices[ia].getVector3fMap().cast<double>(),
                          b = vertices[ib].getVector3fMap().cast<double>(),
                          c = vertices[ic].getVector3fMap().cast<double>();
    const Eigen::Vector3d areaNormal = (b - a).cross(c - a);  // length: twice the face's area
    normals[ia] += areaNormal;
    normals[ib] += areaNormal;
    normals[ic] += areaNormal;
    volume += a.dot(b.cross(c));
  }
  const double outward = volume < 0.0 ? -margin : margin;
  for (std::size_t i = 0; i < n; ++i) {
    const double length = normals[i].norm();
    if (!(length > 0.0)) continue;  // a vertex of no face stays where it is
    const Eigen::Vector3d moved = vertices[i].getVector3fMap().cast<double>() + outward / length * normals[i];
    vertices[i] = pcl::PointXYZ(static_cast<float>(moved.x()), static_cast<float>(moved.y()),
                                static_cast<float>(moved.z()));
  }
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

FramePipeline::FramePipeline(FramePipelineConfig config) : config_(std::move(config)) {
  for (const SceneMesh& m : config_.scene.meshes) {
    Cloud vertices;
    pcl::fromPCLPointCloud2(m.mesh.cloud, vertices);
    for (auto& v : vertices) {
      v = pcl::PointXYZ(static_cast<float>(m.scale * v.x), static_cast<float>(m.scale * v.y),
                        static_cast<float>(m.scale * v.z));
    }
    growMesh(vertices, m.mesh.polygons, m.margin);
    pcl::PolygonMesh grown;
    grown.polygons = m.mesh.polygons;
    pcl::toPCLPointCloud2(vertices, grown.cloud);
    grownMeshes_.push_back(std::move(grown));
  }
}

FramePoses FramePipeline::configuredPoses() const {
  FramePoses poses;
  if (config_.scene.tool) poses.tool = config_.scene.tool->pose;
  for (const auto& b : config_.scene.boxes) poses.boxes.push_back(b.pose);
  for (const auto& m : config_.scene.meshes) poses.meshes.push_back(m.pose);
  return poses;
}

pcl::PolygonMesh FramePipeline::placedMesh(std::size_t index, const Eigen::Matrix4d& pose) const {
  const pcl::PolygonMesh& grown = grownMeshes_.at(index);
  if (pose.isIdentity(0.0)) return grown;
  Cloud vertices;
  pcl::fromPCLPointCloud2(grown.cloud, vertices);
  for (auto& v : vertices) {
    const Eigen::Vector4d q = pose * Eigen::Vector4d(v.x, v.y, v.z, 1.0);
    v = pcl::PointXYZ(static_cast<float>(q.x()), static_cast<float>(q.y()), static_cast<float>(q.z()));
  }
  pcl::PolygonMesh placed;
  placed.polygons = grown.polygons;
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
  CameraModel camera;
  camera.cameraMatrix =
      cv::Matx33d(intrinsic.fx, 0.0, intrinsic.cx, 0.0, intrinsic.fy, intrinsic.cy, 0.0, 0.0, 1.0);
  camera.distortionModel = DistortionModel::kPlumbBob;
  camera.coefficients = {intrinsic.k1, intrinsic.k2, intrinsic.p1, intrinsic.p2, intrinsic.k3};
  return process(depth, camera, unitsPerMetre, cameraToBase, poses, out, report, keepStages);
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
  for (std::size_t i = 0; i < scene.meshes.size(); ++i) {
    const MeshMethod method = scene.meshes[i].method.value_or(config_.meshMethod);
    (method == MeshMethod::kPlain ? plain : fast).push_back(placedMesh(i, poses.meshes[i]));
  }
  const auto cutMeshes = [&](const char* name, std::vector<pcl::PolygonMesh>& meshes, bool fastMethod) {
    if (meshes.empty()) return 0;
    in = current->size();
    start = std::chrono::steady_clock::now();
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
  if (cutMeshes("removePointsFromMeshs", plain, false) != 0) return -2;
  if (cutMeshes("fastRemovePointsFromMeshs", fast, true) != 0) return -2;

  // The cuts append to the point sequence alone: describe the result as the one row it is.
  current->width = static_cast<std::uint32_t>(current->size());
  current->height = 1;
  *out = *current;
  return 0;
}

}  // namespace nimbrel_arm_util
