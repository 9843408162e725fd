// The library and its peer, Open3D (with Embree for the inside test), on the same generated inputs.
//
// This binary holds every peer row and all of the library's rows but those of the mesh removals and the
// whole frame, which live in peer_mesh_removal_bench.
// Inputs are converted into each library's own types before timing starts; each timed call produces the
// library's natural result (a new cloud, a mesh, a list of kept points).
#include <open3d/camera/PinholeCameraIntrinsic.h>
#include <open3d/geometry/BoundingVolume.h>
#include <open3d/geometry/Image.h>
#include <open3d/geometry/PointCloud.h>
#include <open3d/geometry/TriangleMesh.h>
#include <open3d/io/PointCloudIO.h>
#include <open3d/t/geometry/RaycastingScene.h>
#include <open3d/utility/Logging.h>

#include <Eigen/Geometry>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engines/statistical_outlier.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "peer/embree_inside.hpp"
#include "peer/peer_inputs.hpp"
#include "peer/rows.hpp"
#include "peer/scene.hpp"

namespace nimbrel_bench {
namespace {

namespace o3d = open3d;
using nimbrel_arm_util::PointCloudsDeal;

o3d::geometry::PointCloud toOpen3d(const Cloud& cloud) {
  o3d::geometry::PointCloud converted;
  converted.points_.reserve(cloud.size());
  for (const pcl::PointXYZ& p : cloud.points) converted.points_.emplace_back(p.x, p.y, p.z);
  return converted;
}

o3d::geometry::TriangleMesh toOpen3d(const PlainMesh& mesh) {
  o3d::geometry::TriangleMesh converted;
  for (std::size_t i = 0; i < mesh.vertices.size(); i += 3) {
    converted.vertices_.emplace_back(mesh.vertices[i], mesh.vertices[i + 1], mesh.vertices[i + 2]);
  }
  for (std::size_t i = 0; i < mesh.triangles.size(); i += 3) {
    converted.triangles_.emplace_back(mesh.triangles[i], mesh.triangles[i + 1], mesh.triangles[i + 2]);
  }
  return converted;
}

o3d::geometry::Image toOpen3d(const cv::Mat& depth) {
  o3d::geometry::Image image;
  image.Prepare(depth.cols, depth.rows, 1, 2);
  for (int v = 0; v < depth.rows; ++v) {
    std::memcpy(image.data_.data() + static_cast<std::size_t>(v) * depth.cols * 2, depth.ptr(v),
                static_cast<std::size_t>(depth.cols) * 2);
  }
  return image;
}

o3d::camera::PinholeCameraIntrinsic toOpen3d(const nimbrel_arm_util::CameraIntrinsic& c, int width,
                                             int height) {
  return o3d::camera::PinholeCameraIntrinsic(width, height, c.fx, c.fy, c.cx, c.cy);
}

o3d::geometry::OrientedBoundingBox grownBox(const Eigen::Matrix4d& pose, const double* size, double scale,
                                            double margin) {
  Eigen::Vector3d extent;
  for (int k = 0; k < 3; ++k) extent[k] = size[k] * scale + 2.0 * margin;
  extent.z() = std::max(extent.z(), 0.2);  // the library's box never gets thinner than 0.2 in z
  return o3d::geometry::OrientedBoundingBox(pose.block<3, 1>(0, 3), pose.block<3, 3>(0, 0), extent);
}

// Points farther than kNearSurface from the mesh surface, by the peer's exact distance query.
std::vector<Eigen::Vector3d> keepFarFromSurface(const o3d::geometry::PointCloud& cloud,
                                                const o3d::core::Tensor& query, const PlainMesh& mesh) {
  o3d::t::geometry::RaycastingScene scene;
  const auto vertexCount = static_cast<int64_t>(mesh.vertices.size() / 3);
  const auto faceCount = static_cast<int64_t>(mesh.triangles.size() / 3);
  scene.AddTriangles(o3d::core::Tensor(mesh.vertices, {vertexCount, 3}, o3d::core::Float32),
                     o3d::core::Tensor(mesh.triangles, {faceCount, 3}, o3d::core::UInt32));
  const o3d::core::Tensor distance = scene.ComputeDistance(query);
  const float* d = distance.GetDataPtr<float>();
  std::vector<Eigen::Vector3d> kept;
  kept.reserve(cloud.points_.size());
  for (std::size_t i = 0; i < cloud.points_.size(); ++i) {
    if (d[i] >= kNearSurface) kept.push_back(cloud.points_[i]);
  }
  return kept;
}

o3d::core::Tensor queryTensor(const o3d::geometry::PointCloud& cloud) {
  std::vector<float> flat;
  flat.reserve(cloud.points_.size() * 3);
  for (const Eigen::Vector3d& p : cloud.points_) {
    flat.insert(flat.end(),
                {static_cast<float>(p.x()), static_cast<float>(p.y()), static_cast<float>(p.z())});
  }
  return o3d::core::Tensor(flat, {static_cast<int64_t>(cloud.points_.size()), 3}, o3d::core::Float32);
}

// The peer's cleaning chain with the library's default parameters: non-finite points out, crop to the
// filter box, voxel grid, statistical outliers.
std::shared_ptr<o3d::geometry::PointCloud> peerClean(const o3d::geometry::PointCloud& raw, double leaf) {
  o3d::geometry::PointCloud finite = raw;
  finite.RemoveNonFinitePoints();
  const auto cropped = finite.Crop(
      o3d::geometry::AxisAlignedBoundingBox(Eigen::Vector3d::Constant(-2.0), Eigen::Vector3d::Constant(2.0)));
  const auto down = cropped->VoxelDownSample(leaf);
  return std::get<0>(down->RemoveStatisticalOutliers(kMeanK, kStddevMul));
}

void registerDepthRows() {
  for (const auto& [width, height] : kDepthSizes) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    row("depth_to_cloud", size, "ours", [width = width, height = height](benchmark::State& state) {
      PointCloudsDeal deal;
      cv::Mat depth = depthImage(width, height);
      CloudPtr out(new Cloud);
      for (auto _ : state) keep(deal.getPointCloudsFromDepthMap(out, depth, intrinsics(width)));
      state.counters["points_out"] = static_cast<double>(out->size());
    });
    row("depth_to_cloud", size, "peer", [width = width, height = height](benchmark::State& state) {
      const o3d::geometry::Image image = toOpen3d(depthImage(width, height));
      const auto camera = toOpen3d(intrinsics(width), width, height);
      std::size_t count = 0;
      for (auto _ : state) {
        const auto cloud = o3d::geometry::PointCloud::CreateFromDepthImage(image, camera);
        count = cloud->points_.size();
        keep(cloud);
      }
      state.counters["points_out"] = static_cast<double>(count);
    });
  }
}

void registerCropRows() {
  const std::string size = cloudLabel(*organizedCloud());
  row("crop_box", size, "ours", [](benchmark::State& state) {
    PointCloudsDeal deal;
    CloudPtr out(new Cloud);
    for (auto _ : state) {
      deal.rangeFilterPointClouds(organizedCloud(), out, kCropMin.x(), kCropMax.x(), kCropMin.y(),
                                  kCropMax.y(), kCropMin.z(), kCropMax.z());
      keep(out->points.data());
    }
    state.counters["points_out"] = static_cast<double>(out->size());
  });
  // The in-place crop with the object's own filter box; refilling the cloud between calls is not timed.
  row("crop_box_in_place", size, "ours", [](benchmark::State& state) {
    PointCloudsDeal deal;
    deal.setFilterRange(kCropMin.x(), kCropMax.x(), kCropMin.y(), kCropMax.y(), kCropMin.z(), kCropMax.z());
    CloudPtr cloud(new Cloud);
    for (auto _ : state) {
      state.PauseTiming();
      *cloud = *organizedCloud();
      state.ResumeTiming();
      deal.rangeFilterPointClouds(cloud);
      keep(cloud->points.data());
    }
    state.counters["points_out"] = static_cast<double>(cloud->size());
  });
  row("crop_box", size, "peer", [](benchmark::State& state) {
    const o3d::geometry::PointCloud cloud = toOpen3d(*organizedCloud());
    const o3d::geometry::AxisAlignedBoundingBox box(kCropMin, kCropMax);
    std::size_t count = 0;
    for (auto _ : state) {
      const auto cropped = cloud.Crop(box);
      count = cropped->points_.size();
      keep(cropped);
    }
    state.counters["points_out"] = static_cast<double>(count);
  });
}

void registerBoxRows() {
  const std::string size = cloudLabel(*robotCloud());
  row("box_removal", size, "ours", [](benchmark::State& state) {
    PointCloudsDeal deal;
    Eigen::Matrix4d pose = objectBoxPose();
    double boxSize[3] = {objectBoxSize()[0], objectBoxSize()[1], objectBoxSize()[2]};
    CloudPtr out(new Cloud);
    for (auto _ : state) {
      deal.removeObbPointClouds(robotCloud(), out, pose, boxSize, kBoxScale, kBoxMargin);
      keep(out->points.data());
    }
    state.counters["points_out"] = static_cast<double>(out->size());
  });
  row("box_and_tool_removal", size, "ours", [](benchmark::State& state) {
    PointCloudsDeal deal;
    Eigen::Matrix4d pose = objectBoxPose();
    Eigen::Matrix4d tool = toolPose();
    double boxSize[3] = {objectBoxSize()[0], objectBoxSize()[1], objectBoxSize()[2]};
    double tSize[3] = {toolSize()[0], toolSize()[1], toolSize()[2]};
    CloudPtr out(new Cloud);
    for (auto _ : state) {
      deal.removeObbAndToolPointClouds(robotCloud(), out, pose, boxSize, kBoxScale, kBoxMargin, tool, tSize,
                                       kToolMargin);
      keep(out->points.data());
    }
    state.counters["points_out"] = static_cast<double>(out->size());
  });
  row("box_removal", size, "peer", [](benchmark::State& state) {
    const o3d::geometry::PointCloud cloud = toOpen3d(*robotCloud());
    const auto box = grownBox(objectBoxPose(), objectBoxSize(), kBoxScale, kBoxMargin);
    std::size_t count = 0;
    for (auto _ : state) {
      const auto kept = cloud.SelectByIndex(box.GetPointIndicesWithinBoundingBox(cloud.points_), true);
      count = kept->points_.size();
      keep(kept);
    }
    state.counters["points_out"] = static_cast<double>(count);
  });
  row("box_and_tool_removal", size, "peer", [](benchmark::State& state) {
    const o3d::geometry::PointCloud cloud = toOpen3d(*robotCloud());
    const auto box = grownBox(objectBoxPose(), objectBoxSize(), kBoxScale, kBoxMargin);
    const auto tool = grownBox(toolPose(), toolSize(), kToolScale, kToolMargin);
    std::size_t count = 0;
    for (auto _ : state) {
      std::vector<std::size_t> inside = box.GetPointIndicesWithinBoundingBox(cloud.points_);
      const std::vector<std::size_t> inTool = tool.GetPointIndicesWithinBoundingBox(cloud.points_);
      inside.insert(inside.end(), inTool.begin(), inTool.end());
      const auto kept = cloud.SelectByIndex(inside, true);
      count = kept->points_.size();
      keep(kept);
    }
    state.counters["points_out"] = static_cast<double>(count);
  });
}

void registerTransformRows() {
  row("transform", cloudLabel(*finiteCloud()), "ours", [](benchmark::State& state) {
    PointCloudsDeal deal;
    CloudPtr out(new Cloud);
    for (auto _ : state) {
      deal.TransformToRobot(*finiteCloud(), out, cameraToRobot());
      keep(out->points.data());
    }
  });
  row("transform", cloudLabel(*finiteCloud()), "peer", [](benchmark::State& state) {
    const o3d::geometry::PointCloud cloud = toOpen3d(*finiteCloud());
    const Eigen::Matrix4d transform = cameraToRobot().cast<double>();
    for (auto _ : state) {
      o3d::geometry::PointCloud moved = cloud;
      moved.Transform(transform);
      keep(moved.points_.data());
    }
  });
}

void registerCleaningRows() {
  const std::string size = cloudLabel(*finiteCloud());
  for (const double leaf : {kDefaultLeaf, kCoarseLeaf}) {
    row("voxel_grid_leaf_" + leafLabel(leaf), size, "ours", [leaf](benchmark::State& state) {
      PointCloudsDeal deal;
      deal.setLeafSize(leaf);
      CloudPtr out(new Cloud);
      for (auto _ : state) {
        deal.voxelGridfilterPointClouds(finiteCloud(), out);
        keep(out->points.data());
      }
      state.counters["points_out"] = static_cast<double>(out->size());
    });
    row("voxel_grid_leaf_" + leafLabel(leaf), size, "peer", [leaf](benchmark::State& state) {
      const o3d::geometry::PointCloud cloud = toOpen3d(*finiteCloud());
      std::size_t count = 0;
      for (auto _ : state) {
        const auto down = cloud.VoxelDownSample(leaf);
        count = down->points_.size();
        keep(down);
      }
      state.counters["points_out"] = static_cast<double>(count);
    });
  }
  // On the full cloud, and on the clouds the cleaning pipeline hands to the outlier removal (after the
  // voxel grid at either leaf).
  for (const CloudPtr* input :
       {&finiteCloud(), &voxelizedCloud(kDefaultLeaf), &voxelizedCloud(kCoarseLeaf)}) {
    const std::string inputSize = cloudLabel(**input);
    row("statistical_outliers", inputSize, "ours", [input](benchmark::State& state) {
      PointCloudsDeal deal;
      deal.setStatisticalOutlierRemovalPara(kMeanK, kStddevMul);
      CloudPtr out(new Cloud);
      for (auto _ : state) {
        deal.removeOutlierPointClouds(*input, out);
        keep(out->points.data());
      }
      state.counters["points_out"] = static_cast<double>(out->size());
    });
    // The library's exact grid-based outlier core (same result as the filter above), timed on its own.
    row("statistical_outliers_grid_core", inputSize, "ours", [input](benchmark::State& state) {
      Cloud out;
      for (auto _ : state) {
        keep(nimbrel_arm_util::detail::statisticalOutlierRemoval(**input, out, kMeanK, kStddevMul));
        keep(out.points.data());
      }
      state.counters["points_out"] = static_cast<double>(out.size());
    });
    row("statistical_outliers", inputSize, "peer", [input](benchmark::State& state) {
      const o3d::geometry::PointCloud cloud = toOpen3d(**input);
      std::size_t count = 0;
      for (auto _ : state) {
        const auto result = cloud.RemoveStatisticalOutliers(kMeanK, kStddevMul);
        count = std::get<0>(result)->points_.size();
        keep(std::get<0>(result));
      }
      state.counters["points_out"] = static_cast<double>(count);
    });
  }
  const std::string raw = cloudLabel(*organizedCloud());
  for (const double leaf : {kDefaultLeaf, kCoarseLeaf}) {
    // processPointClouds: the object's default filter box and outlier parameters, the given leaf.
    row("clean_leaf_" + leafLabel(leaf), raw, "ours", [leaf](benchmark::State& state) {
      PointCloudsDeal deal;
      deal.setLeafSize(leaf);
      CloudPtr out(new Cloud);
      for (auto _ : state) {
        deal.processPointClouds(organizedCloud(), out);
        keep(out->points.data());
      }
      state.counters["points_out"] = static_cast<double>(out->size());
    });
    row("clean_leaf_" + leafLabel(leaf), raw, "peer", [leaf](benchmark::State& state) {
      const o3d::geometry::PointCloud cloud = toOpen3d(*organizedCloud());
      std::size_t count = 0;
      for (auto _ : state) {
        const auto clean = peerClean(cloud, leaf);
        count = clean->points_.size();
        keep(clean);
      }
      state.counters["points_out"] = static_cast<double>(count);
    });
  }
  row("save_pcd_ascii", size, "ours", [](benchmark::State& state) {
    PointCloudsDeal deal;
    const std::string path = scratchFile("ours.pcd");
    bool written = false;
    for (auto _ : state) {
      written = deal.savePcdFile(finiteCloud(), path);
      keep(written);
    }
    if (!written) state.SkipWithError("the library could not write the PCD file");
    std::remove(path.c_str());
  });
  row("save_pcd_ascii", size, "peer", [](benchmark::State& state) {
    const o3d::geometry::PointCloud cloud = toOpen3d(*finiteCloud());
    const std::string path = scratchFile("peer.pcd");
    bool written = false;
    for (auto _ : state) {
      written = o3d::io::WritePointCloud(path, cloud, o3d::io::WritePointCloudOption(true));
      keep(written);
    }
    if (!written) state.SkipWithError("the peer could not write the PCD file");
    std::remove(path.c_str());
  });
}

void registerMeshRows() {
  for (const auto& [name, mesh] : objectMeshes()) {
    const PlainMesh plain = plainMesh(*mesh);
    const std::string meshSize = name + "_" + std::to_string(plain.triangles.size() / 3) + "_faces";
    row("convex_hull", meshSize, "ours", [mesh = mesh](benchmark::State& state) {
      PointCloudsDeal deal;
      std::vector<pcl::PolygonMesh> meshes{*mesh};
      std::vector<pcl::PolygonMesh> hulls;
      for (auto _ : state) {
        hulls.clear();
        keep(deal.convertToConvexHull(meshes, hulls));
      }
      state.counters["faces_out"] = static_cast<double>(hulls.front().polygons.size());
    });
    row("convex_hull", meshSize, "peer", [plain](benchmark::State& state) {
      const o3d::geometry::TriangleMesh converted = toOpen3d(plain);
      std::size_t faces = 0;
      for (auto _ : state) {
        const auto hull = std::get<0>(converted.ComputeConvexHull());
        faces = hull->triangles_.size();
        keep(hull);
      }
      state.counters["faces_out"] = static_cast<double>(faces);
    });
    // Same number of random samples on both sides; the library also copies the vertices in front.
    row("surface_sampling", meshSize, "ours", [mesh = mesh](benchmark::State& state) {
      PointCloudsDeal deal;
      pcl::PolygonMesh copy = *mesh;
      CloudPtr out(new Cloud);
      for (auto _ : state) {
        out->clear();
        keep(deal.upSampleMesh(copy, out));
      }
      state.counters["points_out"] = static_cast<double>(out->size());
    });
    const std::size_t samples = samplesAtLibraryDensity(*mesh);
    row("surface_sampling", meshSize, "peer", [plain, samples](benchmark::State& state) {
      o3d::geometry::TriangleMesh converted = toOpen3d(plain);
      std::size_t count = 0;
      for (auto _ : state) {
        const auto cloud = converted.SamplePointsUniformly(samples);
        count = cloud->points_.size();
        keep(cloud);
      }
      state.counters["points_out"] = static_cast<double>(count);
    });
    // Against fastRemovePointsFromMeshs: exact distance to the surface, points within 0.08 removed.
    row("near_surface_removal", meshSize, "peer", [plain](benchmark::State& state) {
      const o3d::geometry::PointCloud cloud = toOpen3d(*robotCloud());
      const o3d::core::Tensor query = queryTensor(cloud);
      std::size_t count = 0;
      for (auto _ : state) {
        const std::vector<Eigen::Vector3d> kept = keepFarFromSurface(cloud, query, plain);
        count = kept.size();
        keep(kept.data());
      }
      state.counters["points_out"] = static_cast<double>(count);
    });
    // Against removePointsFromMeshs: odd number of crossings along a ray, on Embree directly.
    row("inside_removal", meshSize, "peer", [plain](benchmark::State& state) {
      const std::vector<PlainMesh> meshes{plain};
      std::size_t count = 0;
      for (auto _ : state) {
        const std::vector<pcl::PointXYZ> kept = keepOutsideWithEmbree(*robotCloud(), meshes);
        count = kept.size();
        keep(kept.data());
      }
      state.counters["points_out"] = static_cast<double>(count);
    });
  }
}

// The peer's road of one 640x480 frame, the same steps as the library's: depth to cloud (no undistortion),
// cleaning, transform into the robot frame, box and tool removal, removal near the ball's surface.
void registerFrameRows() {
  for (const double leaf : {kDefaultLeaf, kCoarseLeaf}) {
    row("frame_leaf_" + leafLabel(leaf), "640x480", "peer", [leaf](benchmark::State& state) {
      const o3d::geometry::Image image = toOpen3d(depthImage(640, 480));
      const auto camera = toOpen3d(intrinsics(640), 640, 480);
      const Eigen::Matrix4d transform = cameraToRobot().cast<double>();
      const auto box = grownBox(objectBoxPose(), objectBoxSize(), kBoxScale, kBoxMargin);
      const auto tool = grownBox(toolPose(), toolSize(), kToolScale, kToolMargin);
      const PlainMesh ball = plainMesh(ballMesh());
      std::size_t count = 0;
      FrameSteps steps;
      for (auto _ : state) {
        steps.start();
        const auto raw = o3d::geometry::PointCloud::CreateFromDepthImage(image, camera);
        steps.lap();
        const auto clean = peerClean(*raw, leaf);
        steps.lap();
        clean->Transform(transform);
        steps.lap();
        std::vector<std::size_t> inside = box.GetPointIndicesWithinBoundingBox(clean->points_);
        const std::vector<std::size_t> inTool = tool.GetPointIndicesWithinBoundingBox(clean->points_);
        inside.insert(inside.end(), inTool.begin(), inTool.end());
        const auto outside = clean->SelectByIndex(inside, true);
        steps.lap();
        const std::vector<Eigen::Vector3d> kept = keepFarFromSurface(*outside, queryTensor(*outside), ball);
        steps.lap();
        count = kept.size();
        keep(kept.data());
      }
      steps.report(state);
      state.counters["points_out"] = static_cast<double>(count);
    });
  }
}

// Confirms on this machine what the peer rows rely on: the peer's own occupancy query misses the inside of
// a closed mesh, the direct Embree parity test finds it.
void reportInsideQueries() {
  const PlainMesh ball = plainMesh(ballMesh());
  o3d::t::geometry::RaycastingScene scene;
  scene.AddTriangles(o3d::core::Tensor(ball.vertices, {static_cast<int64_t>(ball.vertices.size() / 3), 3},
                                       o3d::core::Float32),
                     o3d::core::Tensor(ball.triangles, {static_cast<int64_t>(ball.triangles.size() / 3), 3},
                                       o3d::core::UInt32));
  const Eigen::Vector3d centre = ballCentre();
  const o3d::core::Tensor query(
      std::vector<float>{static_cast<float>(centre.x()), static_cast<float>(centre.y()),
                         static_cast<float>(centre.z())},
      {1, 3}, o3d::core::Float32);
  const float occupancy = scene.ComputeOccupancy(query).GetDataPtr<float>()[0];
  Cloud probe;
  probe.push_back(pcl::PointXYZ(static_cast<float>(centre.x()), static_cast<float>(centre.y()),
                                static_cast<float>(centre.z())));
  const bool embreeInside = keepOutsideWithEmbree(probe, {ball}).empty();
  std::fprintf(stderr, "inside queries at the ball's centre: peer occupancy %.0f, Embree parity %s\n",
               occupancy, embreeInside ? "inside" : "outside");
}

}  // namespace
}  // namespace nimbrel_bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  open3d::utility::SetVerbosityLevel(open3d::utility::VerbosityLevel::Error);
  nimbrel_bench::reportInsideQueries();
  nimbrel_bench::registerDepthRows();
  nimbrel_bench::registerCropRows();
  nimbrel_bench::registerBoxRows();
  nimbrel_bench::registerTransformRows();
  nimbrel_bench::registerCleaningRows();
  nimbrel_bench::registerMeshRows();
  nimbrel_bench::registerFrameRows();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
