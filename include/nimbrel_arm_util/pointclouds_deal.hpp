#pragma once

#include <pcl/PolygonMesh.h>
#include <pcl/Vertices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <pcl/search/kdtree.h>

#include <Eigen/Core>
#include <cstdint>
#include <limits>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

#include "nimbrel_arm_util/camera_intrinsic.hpp"
#include "nimbrel_arm_util/camera_model.hpp"

namespace nimbrel_arm_util {

/// Point-cloud processing for a depth camera: crops, cleans, down-samples, moves clouds, cuts object boxes
/// and meshes out of a scene, turns depth images into clouds and writes PCD files.
///
/// The object holds only nine filter parameters; every operation runs synchronously in the caller's thread
/// and keeps nothing between calls. Setters must not run concurrently with other calls on the same object.
/// Cloud pointers are never null and are never re-seated; lengths are in the clouds' unit (metres).
class PointCloudsDeal {
 public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;  ///< the clouds every call takes and gives
  using CloudPtr = Cloud::Ptr;                   ///< shared pointer to a Cloud

  /// Default filter box -2..2 on every axis, meanK 50, stddev multiplier 1.0, leaf size 0.005.
  PointCloudsDeal();
  ~PointCloudsDeal();

  /// Stores the filter box used by rangeFilterPointClouds(cloud) and processPointClouds.
  void setFilterRange(double xMin, double xMax, double yMin, double yMax, double zMin, double zMax);
  /// Stores the statistical outlier removal parameters (neighbours, standard-deviation multiplier).
  void setStatisticalOutlierRemovalPara(int meanK, double stddevMulThresh);
  /// Stores the voxel edge length used for down-sampling, the same on all three axes.
  void setLeafSize(double leafSize);

  /// Crops `cloud` in place to the object's filter box (closed, compared in float; non-finite points go).
  void rangeFilterPointClouds(CloudPtr cloud);
  /// Writes into `out` the finite points of `in` inside the given closed box; `in` and `out` may be one
  /// cloud.
  void rangeFilterPointClouds(CloudPtr in, CloudPtr out, double xMin, double xMax, double yMin, double yMax,
                              double zMin, double zMax);
  /// Replaces `out` by the points of `in` whose z lies strictly between zMin and zMax (height 1).
  /// `in` and `out` may be the same cloud.
  void rangeInZFilterPointClouds(pcl::PointCloud<pcl::PointXYZ>& in, pcl::PointCloud<pcl::PointXYZ>& out,
                                 double zMin, double zMax);

  /// Copies the finite points of `in` into `out`, logging one message per dropped point.
  void removeInfinatePointClouds(CloudPtr in, CloudPtr out);
  /// Statistical outlier removal with the object's meanK and stddevMulThresh.
  void removeOutlierPointClouds(CloudPtr in, CloudPtr out);
  /// Voxel-grid down-sampling with the object's leaf size (one centroid per occupied voxel).
  void voxelGridfilterPointClouds(CloudPtr in, CloudPtr out);
  /// False when voxelGridfilterPointClouds would copy `cloud` unchanged (and log) instead of down-sampling
  /// it: the leaf size is not a positive finite float, or so small for the extent of the cloud's finite
  /// points that the voxel indices would not fit in 32 bits. Callers that must tell their users use it.
  bool leafSizeFits(const Cloud& cloud) const;
  /// Cleaning pipeline: NaN removal, box crop, finite filter, voxel grid, outlier removal into `out`.
  void processPointClouds(CloudPtr in, CloudPtr out);
  /// `out` receives the points of `first` followed by those of `second`.
  void addTwoPointClouds(CloudPtr first, CloudPtr second, CloudPtr out);
  /// Appends the points of `second` to `first`.
  void addTwoPointClouds(CloudPtr first, CloudPtr second);

  /// Maps every point of `cloud` through the affine part of `transform` into `out` (organized layout and
  /// non-finite points kept; the bottom row is ignored).
  void TransformToRobot(pcl::PointCloud<pcl::PointXYZ>& cloud, CloudPtr out, Eigen::Matrix4f transform);
  /// Only logs the first angle; no cloud is read or changed.
  void rotatePointCloud(CloudPtr in, CloudPtr out, Eigen::Vector3d angle);
  /// `out` receives the points of `in` moved by `offset` (sums in double, stored as float).
  void translatePointCloud(CloudPtr in, CloudPtr out, Eigen::Vector3d offset);

  /// True when `point` lies inside the oriented box `pose`/`size` grown by `scale` and `margin`.
  /// `size` points to the three full edge lengths; the z half extent never drops below 0.1.
  bool isInObbRange(Eigen::Matrix4d& pose, double* size, pcl::PointXYZ point, double scale, double margin);
  /// `out` receives the points of `in` outside the grown box (width = count, height 1); may run in place.
  void removeObbPointClouds(CloudPtr in, CloudPtr out, Eigen::Matrix4d& pose, double* size, double scale,
                            double margin);
  /// As removeObbPointClouds, also dropping the points inside the tool box (scale 2.0, `toolMargin`).
  void removeObbAndToolPointClouds(CloudPtr in, CloudPtr out, Eigen::Matrix4d& pose, double* size,
                                   double scale, double margin, Eigen::Matrix4d& toolPose, double* toolSize,
                                   double toolMargin);
  /// Highest and lowest corner heights of the box; returns maxZ.
  double getMaxMinZofOBB(Eigen::Matrix4d& pose, double* size, double& maxZ, double& minZ);
  /// Lowest corner height of the box, but never more than 1.0.
  double getObbBottom(Eigen::Matrix4d& pose, double* size);

  /// True when the nearest point of `tree` is strictly closer than `threshold`.
  bool isPointNearObj(pcl::PointXYZ& point, pcl::search::KdTree<pcl::PointXYZ>::Ptr tree, double threshold);
  /// Möller–Trumbore ray/triangle test; on a hit strictly in front of `origin`, `hit` receives the point.
  bool rayIntersectsTriangle(CloudPtr meshCloud, const pcl::PointXYZ& origin, const pcl::PointXYZ& direction,
                             const pcl::Vertices& triangle, pcl::PointXYZ& hit);
  /// Inside test, part by part (parts join across edges that exactly two faces share; inside any part is
  /// inside): a closed part holds the point when a ray from it crosses the part an odd number of times; a
  /// part with holes or gaps when its generalized winding number there is at least 1/2 in magnitude (so
  /// faces may wind either way); no part holds a point outside its bounding box.
  bool isPointInsideMesh(const pcl::PointXYZ& point, CloudPtr meshCloud,
                         const std::vector<pcl::Vertices>& polygons);
  /// Distance from `point` to the triangle into `dist`; 0 on success, -1 for an invalid face.
  int calMinDistToTriangle(CloudPtr meshCloud, const pcl::PointXYZ& point, const pcl::Vertices& triangle,
                           double& dist);
  /// Smallest distance from `point` to any valid face of the mesh; 0, or -1 / -2 on failure.
  int findNearestTriangles(const pcl::PointXYZ& point, pcl::PolygonMesh& mesh, double& dist);
  /// True when `point` is inside one of the meshes or closer than 0.05 to it.
  bool isPointInsideMeshs(const pcl::PointXYZ& point, std::vector<pcl::PolygonMesh>& meshes);

  /// Appends the convex hull of each mesh to `hulls`, every face counter-clockwise seen from outside; 0, -1
  /// for no mesh, -2 for a mesh of <= 3 finite vertices (non-finite vertices take no part in a hull), -3
  /// for a flat or degenerate mesh (coplanar, collinear or repeated vertices: no hull with volume). On -2
  /// and -3 the hulls of the meshes before it stay appended and the meshes after it are not processed.
  int convertToConvexHull(std::vector<pcl::PolygonMesh>& meshes, std::vector<pcl::PolygonMesh>& hulls);
  /// Area of the triangle a, b, c.
  double calTriangleArea(const Eigen::Vector3d& a, const Eigen::Vector3d& b, const Eigen::Vector3d& c);
  /// A random point of the triangle, freshly seeded on every call (deliberately favours corner `a`).
  Eigen::Vector3d randomPointInTriangle(const Eigen::Vector3d& a, const Eigen::Vector3d& b,
                                        const Eigen::Vector3d& c);
  /// Appends the mesh's vertices and ~40,000 random surface points per square unit to `out`; returns 0.
  /// Throws std::overflow_error, leaving `out` as it was, when a triangle would need more samples than an int
  /// holds or the mesh more than 50,000,000 samples in all.
  int upSampleMesh(pcl::PolygonMesh& mesh, CloudPtr out);
  /// The same from a generator seeded with `seed`: the same mesh and seed give the same points.
  int upSampleMesh(pcl::PolygonMesh& mesh, CloudPtr out, std::uint32_t seed);

  /// Keeps the points of `in` that lie neither inside nor within 0.05 of any mesh; 0, or -1 for empty `in`.
  /// On success `out` is one row (width = count, height 1); `in` and `out` may be the same cloud.
  int removePointsFromMeshs(CloudPtr in, std::vector<pcl::PolygonMesh>& meshes, CloudPtr out);
  /// Keeps the points of `in` farther than 0.08 from every mesh's sampled surface; 0, or -1 / -2 / -3.
  /// On success `out` is one row (width = count, height 1); `in` and `out` may be the same cloud.
  int fastRemovePointsFromMeshs(CloudPtr in, std::vector<pcl::PolygonMesh>& meshes, CloudPtr out);
  /// The same with the meshes sampled from `seed` (mesh i with seed + i): the same inputs and seed keep the
  /// same points.
  int fastRemovePointsFromMeshs(CloudPtr in, std::vector<pcl::PolygonMesh>& meshes, CloudPtr out,
                                std::uint32_t seed);

  /// Undistorts a CV_16UC1 depth image (millimetres) and back-projects it into `out` (metres, camera frame,
  /// row-major pixel order, zero pixels skipped). Returns 0, or -1, after logging and with `out` untouched,
  /// for an image of another type or focal lengths that are not positive and finite.
  int getPointCloudsFromDepthMap(CloudPtr out, cv::Mat& depth, CameraIntrinsic intrinsic);
  /// The same for a depth image in other units: a pixel value D lies D / `unitsPerMetre` metres away (1000
  /// for millimetres, 5000 for TUM frames). Returns -1, after logging, for an image of another type, focal
  /// lengths that are not positive and finite, or a scale that is not positive and finite; `out` is then
  /// untouched.
  int getPointCloudsFromDepthMap(CloudPtr out, cv::Mat& depth, CameraIntrinsic intrinsic,
                                 double unitsPerMetre);
  /// Undistorts a depth image with any camera model of a ROS camera_info message and back-projects it into
  /// `out` (metres, camera frame, row-major pixel order); a pixel value D lies D / `unitsPerMetre` metres
  /// away. `depth` is CV_16UC1, where 0 and 65535 (the largest value, the no-reading marker of several
  /// drivers) are holes, or CV_32FC1, where 0, NaN, infinities and negative values are holes; depths outside
  /// [minDepth, maxDepth] metres are holes as well, and so are readings whose point a float cannot hold (a
  /// depth that rounds to 0 or infinity, or a point beyond float's range sideways). Returns -1, after
  /// logging, for an image of another type, a scale that is not positive and finite, a range with minDepth <
  /// 0 or above maxDepth, or a camera model that cannot be used (skew, a focal length that is not positive or
  /// too small to divide by, a coefficient count the model does not take, a value that is not finite);
  /// `out` is then untouched.
  int getPointCloudsFromDepthMap(CloudPtr out, const cv::Mat& depth, const CameraModel& camera,
                                 double unitsPerMetre, double minDepth = 0.0,
                                 double maxDepth = std::numeric_limits<double>::infinity());

  /// Writes `cloud` as an ASCII PCD file (precision 8). Returns false, after logging, when it could not.
  bool savePcdFile(CloudPtr cloud, std::string fileName);

 private:
  double rangeXMin;
  double rangeXMax;
  double rangeYMin;
  double rangeYMax;
  double rangeZMin;
  double rangeZMax;
  int meanK;
  double stddevMulThresh;
  double leafSize;
};

}  // namespace nimbrel_arm_util
