// One mesh prepared for many inside-or-near queries (not installed).
#pragma once

#include <flann/algorithms/dist.h>
#include <flann/algorithms/kdtree_single_index.h>
#include <flann/util/result_set.h>
#include <pcl/PolygonMesh.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace detail {

/// Everything about one mesh that the inside-or-near test needs and that does not depend on the query
/// point: the vertex cloud, its kd-tree, the faces around each vertex and a grid over the faces' padded
/// y–z extents for the +x ray. `claims` answers exactly as one mesh's turn in
/// `PointCloudsDeal::isPointInsideMeshs`: it calls the same shared geometry on the same data, only on
/// far fewer faces.
class MeshIndex {
 public:
  /// Prepares `mesh`, which must outlive the index and stay unchanged while it is used.
  explicit MeshIndex(const pcl::PolygonMesh& mesh);

  /// True when this mesh claims `point`: inside it by ray parity, or nearer than the near-mesh distance
  /// to a face around the vertex nearest to the point. A mesh without a usable nearest vertex claims
  /// nothing by distance.
  bool claims(const pcl::PointXYZ& point) const;

  /// Number of vertices of the mesh.
  std::size_t vertexCount() const { return vertices_->points.size(); }

 private:
  bool inside(const pcl::PointXYZ& point) const;
  bool nearFaces(const pcl::PointXYZ& point) const;
  int nearestVertex(const pcl::PointXYZ& point) const;

  const pcl::PolygonMesh* mesh_;
  PointCloudsDeal::CloudPtr vertices_;
  // The nearest-vertex index exactly as pcl::KdTreeFLANN builds it (the finite vertices in order, 15 points
  // per leaf), searched directly: same tree, same traversal, same answer, without the per-query
  // allocations and thread-pool entry of the wrapper.
  using FlannIndex = flann::KDTreeSingleIndex<flann::L2_Simple<float>>;
  std::vector<float> treePoints_;
  std::vector<std::size_t> treeToVertex_;
  std::unique_ptr<FlannIndex> tree_;
  mutable flann::KNNSimpleResultSet<float> nearest_{1};
  std::vector<std::vector<std::uint32_t>> around_;  // valid faces around each vertex, ascending

  // Box of every corner of the valid faces: a point farther than the near distance from it is near none
  // of them. Off when there is no valid face or a corner is not finite.
  bool hasValidFace_ = false;
  bool boxUsable_ = false;
  double boxLo_[3] = {0, 0, 0};
  double boxHi_[3] = {0, 0, 0};
  std::vector<double> faceBoxes_;  // per polygon (valid ones only): lowest x, y, z then highest x, y, z

  // Grid over (y, z): the faces whose padded y–z extent overlaps cell c are
  // rayFaces_[cellStart_[c] .. cellStart_[c + 1]). A point outside the grid lies in no face's extent.
  int cells_ = 0;  // per axis
  double gridLo_[2] = {0, 0};
  double gridHi_[2] = {0, 0};
  double cellSize_[2] = {1, 1};
  std::vector<std::uint32_t> cellStart_;
  struct RayFace {
    std::uint32_t face;
    double yMin, yMax, zMin, zMax;  // the face's padded y–z extent
  };
  std::vector<RayFace> rayFaces_;
  mutable std::vector<std::uint32_t> candidates_;  // scratch for one query
};

}  // namespace detail
}  // namespace nimbrel_arm_util
