// The whole road of a perception frame, run over and over in one process as a robot runs it for weeks:
// depth image to cloud, cleaning, transform into the robot frame, box and tool removal, both mesh removals,
// convex hulls and a PCD file. The live heap after the last frame must equal the heap after the warm-up
// frames (no growth per frame), and under AddressSanitizer the process must end without a leak.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define NIMBREL_ROAD_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NIMBREL_ROAD_ASAN 1
#endif
#endif
#ifdef NIMBREL_ROAD_ASAN
// AddressSanitizer's count of bytes in live blocks (declared here: not every compiler ships the header).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "stress_support.hpp"
#include "support/geometry.hpp"

namespace {

using nimbrel_arm_util::CameraIntrinsic;
using nimbrel_arm_util::PointCloudsDeal;
using Cloud = PointCloudsDeal::Cloud;
using CloudPtr = PointCloudsDeal::CloudPtr;

// Bytes in live heap blocks (AddressSanitizer's own count under it, so its quarantine does not count).
std::size_t liveHeapBytes() {
#ifdef NIMBREL_ROAD_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

constexpr int kWidth = 96;
constexpr int kHeight = 72;

const CameraIntrinsic kCamera{80.0f, 47.5f, 80.0f, 35.5f, 0.02f, -0.01f, 0.001f, 0.0f, 0.0f};

// A table 1 m below the camera with a 0.2 m box standing on it and a few holes; frame `k` shifts the box
// and the holes, so that every frame differs.
cv::Mat depthFrame(int k) {
  cv::Mat depth(kHeight, kWidth, CV_16UC1);
  const int boxU = 30 + k % 20;
  for (int v = 0; v < kHeight; ++v) {
    for (int u = 0; u < kWidth; ++u) {
      std::uint16_t mm = 1000;
      if (u >= boxU && u < boxU + 16 && v >= 28 && v < 44) mm = 800;
      if ((u * 7 + v * 13 + k) % 97 == 0) mm = 0;
      depth.at<std::uint16_t>(v, u) = mm;
    }
  }
  return depth;
}

class Road {
 public:
  Road() {
    deal_.setFilterRange(-1.0, 1.0, -1.0, 1.0, 0.2, 1.5);
    deal_.setLeafSize(0.01);
    deal_.setStatisticalOutlierRemovalPara(20, 2.0);
    // Camera looking down: robot z up, table at z = 0.
    toRobot_ << 1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 1, 0, 0, 0, 1;
    boxPose_ = Eigen::Matrix4d::Identity();
    boxPose_(2, 3) = 0.1;
    toolPose_ = Eigen::Matrix4d::Identity();
    toolPose_(0, 3) = 0.4;
    toolPose_(2, 3) = 0.3;
    meshes_.push_back(nimbrel_test::makeBox({-0.2f, 0.1f, 0.1f}, {0.1f, 0.1f, 0.2f}));
    meshes_.push_back(nimbrel_test::makeIcosphere(1, 0.08f, {0.25f, -0.2f, 0.08f}));
    path_ = "/tmp/nimbrel_road_" + std::to_string(getpid()) + ".pcd";
  }
  ~Road() { std::remove(path_.c_str()); }

  // One frame along the whole road; returns the number of points that survive it.
  std::size_t run(int k) {
    cv::Mat depth = depthFrame(k);
    auto camera = std::make_shared<Cloud>();
    auto cleaned = std::make_shared<Cloud>();
    auto robot = std::make_shared<Cloud>();
    auto noBoxes = std::make_shared<Cloud>();
    auto plain = std::make_shared<Cloud>();
    auto fast = std::make_shared<Cloud>();
    EXPECT_EQ(deal_.getPointCloudsFromDepthMap(camera, depth, kCamera), 0);
    deal_.processPointClouds(camera, cleaned);
    deal_.TransformToRobot(*cleaned, robot, toRobot_);
    deal_.removeObbAndToolPointClouds(robot, noBoxes, boxPose_, boxSize_, 1.0, 0.015, toolPose_, toolSize_,
                                      0.01);
    EXPECT_EQ(deal_.removePointsFromMeshs(noBoxes, meshes_, plain), 0);
    EXPECT_EQ(deal_.fastRemovePointsFromMeshs(noBoxes, meshes_, fast), 0);
    std::vector<pcl::PolygonMesh> hulls;
    EXPECT_EQ(deal_.convertToConvexHull(meshes_, hulls), 0);
    fast->width = static_cast<std::uint32_t>(fast->size());
    fast->height = 1;
    deal_.savePcdFile(fast, path_);
    return fast->size();
  }

 private:
  PointCloudsDeal deal_;
  Eigen::Matrix4f toRobot_;
  Eigen::Matrix4d boxPose_;
  double boxSize_[3] = {0.2, 0.2, 0.2};
  Eigen::Matrix4d toolPose_;
  double toolSize_[3] = {0.05, 0.05, 0.05};
  std::vector<pcl::PolygonMesh> meshes_;
  std::string path_;
};

TEST(RoadStress, ThousandFramesKeepTheHeapFlat) {
  // Log lines would only slow the run; the logger reads these once, at the first message.
  setenv("SPDLOG_STDOUT", "false", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "info", 1);
  const int frames = static_cast<int>(nimbrel_stress::scaled(1000, 40));
  const int warmUp = frames / 10;
  Road road;
  std::size_t baseline = 0;
  std::size_t firstKept = 0;
  for (int k = 0; k < frames; ++k) {
    const std::size_t kept = road.run(k);
    if (k == 0) firstKept = kept;
    if (k + 1 == warmUp) baseline = liveHeapBytes();
  }
  const std::size_t after = liveHeapBytes();
  EXPECT_GT(firstKept, 100u) << "the road should keep the table";
  // Nothing a frame allocates may outlive it: allow 256 KiB for allocator bookkeeping.
  EXPECT_LE(after, baseline + 256 * 1024) << "live heap grew from " << baseline << " to " << after
                                          << " bytes over " << frames - warmUp << " frames";
}

}  // namespace
