// One deterministic table-top scene seen by a depth camera, shared by every side-by-side benchmark so that
// both libraries get exactly the same inputs.
//
// In the robot frame (metres, z up) a table top is the plane z = 0. On it stand a box of 0.4 x 0.3 x 0.2 and
// a ball of radius 0.15; the robot's tool, a 0.1 x 0.1 x 0.2 block, hangs above the table. The camera sits
// at (0.55, 0, 1.1) and looks down at the table, tilted 20 degrees forward (+x). Depth readings carry
// 1.5 mm of noise, 0.3% of them are flying pixels (depth off by up to 20%) and 2% of the pixels have no
// reading. Everything comes from fixed seeds.
#pragma once

#include <pcl/PolygonMesh.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <vector>

#include "nimbrel_arm_util/camera_intrinsic.hpp"

namespace nimbrel_bench {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = Cloud::Ptr;

/// Intrinsics of the camera at 640x480 or 1280x720 (mild lens distortion, as a structured-light camera has).
nimbrel_arm_util::CameraIntrinsic intrinsics(int width);

/// Raw CV_16UC1 depth image in millimetres of the scene through the distorted lens; 0 where no reading.
/// Built once per size.
const cv::Mat& depthImage(int width, int height);

/// Organized 640x480 cloud of the scene in the camera's optical frame (ideal pinhole camera), NaN at the
/// pixels without a reading: 307,200 points, about 2% of them NaN.
const CloudPtr& organizedCloud();
/// The finite points of organizedCloud(), in the camera frame (about 301,000).
const CloudPtr& finiteCloud();
/// finiteCloud() moved into the robot frame (computed here, not by the library under test).
const CloudPtr& robotCloud();

/// finiteCloud() down-sampled on a voxel grid of `leaf` (0.005 or 0.01) by the point-cloud library's
/// filter directly: what the cleaning pipeline hands to the outlier removal at that leaf.
const CloudPtr& voxelizedCloud(double leaf);

/// Camera pose in the robot frame: maps camera-frame points into the robot frame.
Eigen::Matrix4f cameraToRobot();

/// Object box: pose (identity rotation, centre) and full edge lengths, in the robot frame.
Eigen::Matrix4d objectBoxPose();
const double* objectBoxSize();
/// Tool block: pose and full edge lengths, in the robot frame.
Eigen::Matrix4d toolPose();
const double* toolSize();

/// Meshes of the objects in the robot frame: the object box (12 faces) and the ball (5,120 faces).
const pcl::PolygonMesh& boxMesh();
const pcl::PolygonMesh& ballMesh();

/// Vertices and triangles of a mesh as plain arrays, for handing to the peer libraries.
struct PlainMesh {
  std::vector<float> vertices;           // x, y, z per vertex
  std::vector<std::uint32_t> triangles;  // three indices per face
};
PlainMesh plainMesh(const pcl::PolygonMesh& mesh);

/// Number of random samples that a surface density of 40,000 per square unit gives this mesh, counted
/// per triangle as the library's up-sampling counts them (vertices not included).
std::size_t samplesAtLibraryDensity(const pcl::PolygonMesh& mesh);

}  // namespace nimbrel_bench
