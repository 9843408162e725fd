// One mesh prepared for many inside-or-near queries (not installed).
#pragma once

#include <pcl/PolygonMesh.h>
#include <pcl/kdtree/kdtree_flann.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace detail {

/// Everything about one mesh that the inside-or-near test needs and that does not depend on the query
/// point: the vertex cloud, its kd-tree, the faces that use each vertex and a grid over the faces' y–z
/// extents for the +x ray. `claims` answers exactly as one mesh's turn inside
/// `PointCloudsDeal::isPointInsideMeshs` does, by calling the same per-face primitives on the same data,
/// only on far fewer faces.
class MeshIndex {
 public:
  /// Prepares `mesh`, which must outlive the index and stay unchanged while it is used.
  explicit MeshIndex(const pcl::PolygonMesh& mesh);

  /// Inside the mesh by ray parity. Returns -1 when the answer could not be settled on the +x ray alone
  /// (a boundary hit, so the full test must re-cast), else 0 or 1.
  int insideAlongX(PointCloudsDeal& deal, const pcl::PointXYZ& point) const;

  /// True when this mesh claims a finite point: inside it, or nearer than 0.05 to a face around the
  /// vertex nearest to the point. A mesh whose nearest-face query fails claims nothing.
  bool claims(PointCloudsDeal& deal, const pcl::PointXYZ& point) const;

 private:
  bool nearFaces(PointCloudsDeal& deal, const pcl::PointXYZ& point) const;

  const pcl::PolygonMesh* mesh_;
  PointCloudsDeal::CloudPtr vertices_;
  pcl::KdTreeFLANN<pcl::PointXYZ> tree_{true};
  std::vector<std::uint32_t> validFaces_;  // indices of polygons whose first three indices are in range

  // Faces around each vertex, in polygon order: faceOfVertex_[vertexStart_[v] .. vertexStart_[v + 1]).
  std::vector<std::uint32_t> vertexStart_;
  std::vector<std::uint32_t> faceOfVertex_;

  // Box of every corner of the valid faces; a point farther than the near distance from it is near no
  // face. Off when a corner is not finite.
  bool boxUsable_ = false;
  double boxLo_[3] = {0, 0, 0};
  double boxHi_[3] = {0, 0, 0};

  // Grid over (y, z): the faces whose padded y–z extent overlaps cell c are
  // rayFaces_[cellStart_[c] .. cellStart_[c + 1]).
  int cellsY_ = 0;
  int cellsZ_ = 0;
  double gridLo_[2] = {0, 0};
  double gridHi_[2] = {0, 0};
  double cellSize_[2] = {1, 1};
  std::vector<std::uint32_t> cellStart_;
  std::vector<std::uint32_t> rayFaces_;
};

/// True when a prepared list of meshes claims `point` (inside, or nearer than 0.05), exactly as
/// `PointCloudsDeal::isPointInsideMeshs` would answer for the same meshes.
bool claimedByMeshes(PointCloudsDeal& deal, const std::vector<MeshIndex>& indexes,
                     std::vector<pcl::PolygonMesh>& meshes, const pcl::PointXYZ& point);

}  // namespace detail
}  // namespace nimbrel_arm_util
