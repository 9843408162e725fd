// The library's side of the mesh-removal rows and of the whole frame; their peer rows are in peer_bench,
// on the same inputs (same generated scene, same meshes, same parameters).
#include <string>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "peer/peer_inputs.hpp"
#include "peer/rows.hpp"
#include "peer/scene.hpp"

namespace nimbrel_bench {
namespace {

using nimbrel_arm_util::PointCloudsDeal;

void registerMeshRemovalRows() {
  const std::string size = cloudLabel(*robotCloud());
  for (const auto& [name, mesh] : objectMeshes()) {
    const std::string meshSize = name + "_" + std::to_string(mesh->polygons.size()) + "_faces";
    row("near_surface_removal", meshSize, "ours", [mesh = mesh](benchmark::State& state) {
      PointCloudsDeal deal;
      std::vector<pcl::PolygonMesh> meshes{*mesh};
      CloudPtr out(new Cloud);
      for (auto _ : state) keep(deal.fastRemovePointsFromMeshs(robotCloud(), meshes, out));
      state.counters["points_out"] = static_cast<double>(out->points.size());
    });
    row("inside_removal", meshSize, "ours", [mesh = mesh](benchmark::State& state) {
      PointCloudsDeal deal;
      std::vector<pcl::PolygonMesh> meshes{*mesh};
      CloudPtr out(new Cloud);
      for (auto _ : state) keep(deal.removePointsFromMeshs(robotCloud(), meshes, out));
      state.counters["points_out"] = static_cast<double>(out->points.size());
    });
  }
}

// The road of one 640x480 frame: depth image to cloud, cleaning, transform into the robot frame, box and
// tool removal, then removal of the points near the ball's surface. The counters split the time by step
// (process CPU milliseconds per frame).
void registerFrameRows() {
  for (const double leaf : {kDefaultLeaf, kCoarseLeaf}) {
    row("frame_leaf_" + leafLabel(leaf), "640x480", "ours", [leaf](benchmark::State& state) {
      PointCloudsDeal deal;
      deal.setLeafSize(leaf);
      cv::Mat depth = depthImage(640, 480);
      Eigen::Matrix4d box = objectBoxPose();
      Eigen::Matrix4d tool = toolPose();
      double boxSize[3] = {objectBoxSize()[0], objectBoxSize()[1], objectBoxSize()[2]};
      double tSize[3] = {toolSize()[0], toolSize()[1], toolSize()[2]};
      std::vector<pcl::PolygonMesh> meshes{ballMesh()};
      CloudPtr raw(new Cloud);
      CloudPtr clean(new Cloud);
      CloudPtr moved(new Cloud);
      CloudPtr outside(new Cloud);
      CloudPtr kept(new Cloud);
      FrameSteps steps;
      for (auto _ : state) {
        steps.start();
        deal.getPointCloudsFromDepthMap(raw, depth, intrinsics(640));
        steps.lap();
        deal.processPointClouds(raw, clean);
        steps.lap();
        deal.TransformToRobot(*clean, moved, cameraToRobot());
        steps.lap();
        deal.removeObbAndToolPointClouds(moved, outside, box, boxSize, kBoxScale, kBoxMargin, tool, tSize,
                                         kToolMargin);
        steps.lap();
        keep(deal.fastRemovePointsFromMeshs(outside, meshes, kept));
        steps.lap();
      }
      steps.report(state);
      state.counters["points_out"] = static_cast<double>(kept->points.size());
    });
  }
}

}  // namespace
}  // namespace nimbrel_bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  nimbrel_bench::registerMeshRemovalRows();
  nimbrel_bench::registerFrameRows();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
