// Parameters shared by both sides of every row, and the labels the table prints.
#pragma once

#include <Eigen/Core>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "peer/scene.hpp"

namespace nimbrel_bench {

inline const std::vector<std::pair<int, int>> kDepthSizes = {{640, 480}, {1280, 720}};

// Axis-aligned crop of the camera-frame cloud: keeps the table around the objects.
inline const Eigen::Vector3d kCropMin(-0.4, -0.3, 0.6);
inline const Eigen::Vector3d kCropMax(0.4, 0.3, 1.3);

// Object box grown by 2 cm; the tool box is doubled, as the library does, and grown by 2 cm.
constexpr double kBoxScale = 1.0;
constexpr double kBoxMargin = 0.02;
constexpr double kToolScale = 2.0;
constexpr double kToolMargin = 0.02;

// The library's defaults for cleaning, and the coarser leaf that callers often choose.
constexpr int kMeanK = 50;
constexpr double kStddevMul = 1.0;
constexpr double kDefaultLeaf = 0.005;
constexpr double kCoarseLeaf = 0.01;

// Points closer than this to an object's surface belong to the object (fast mesh removal).
constexpr double kNearSurface = 0.08;

inline std::string cloudLabel(const Cloud& cloud) {
  std::size_t nan = 0;
  for (const pcl::PointXYZ& p : cloud.points) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) ++nan;
  }
  std::string label = std::to_string((cloud.size() + 500) / 1000) + "k_pts";
  if (nan > 0) label += "_" + std::to_string((100 * nan + cloud.size() / 2) / cloud.size()) + "pct_nan";
  return label;
}

inline std::string leafLabel(double leaf) { return leaf == kDefaultLeaf ? "0.005" : "0.01"; }

inline std::vector<std::pair<std::string, const pcl::PolygonMesh*>> objectMeshes() {
  return {{"box", &boxMesh()}, {"ball", &ballMesh()}};
}

inline Eigen::Vector3d ballCentre() { return Eigen::Vector3d(1.0, -0.2, 0.15); }

// A file in the system's temporary directory for the PCD rows.
inline std::string scratchFile(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/nimbrel_bench_" + name;
}

}  // namespace nimbrel_bench
