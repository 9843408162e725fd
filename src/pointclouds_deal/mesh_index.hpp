// One mesh prepared for many inside-or-near queries (not installed).
#pragma once

#include <pcl/PolygonMesh.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstdint>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace detail {

/// Everything about one mesh that the inside-or-near test needs and that does not depend on the query
/// point: the vertex cloud, the part label of every face and a bounding volume hierarchy over the faces
/// that serves both the +x ray (candidate faces by padded y–z extent) and the near-face test (faces by
/// their boxes). `claims` answers exactly as one mesh's turn in `PointCloudsDeal::isPointInsideMeshs`: it
/// calls the same shared geometry on the same data, only on far fewer faces.
///
/// Memory is linear in the number of faces (every face sits in exactly one leaf) and the build takes
/// O(F log F), whatever the faces' shapes: long thin faces and triangle fans cost no more than compact ones.
class MeshIndex {
 public:
  /// Prepares `mesh`, which must outlive the index and stay unchanged while it is used.
  explicit MeshIndex(const pcl::PolygonMesh& mesh);

  /// True when this mesh claims `point`: inside one of its parts by ray parity, or nearer than the
  /// near-mesh distance to one of its faces. A mesh of fewer than three vertices, or without a vertex a
  /// search could find, claims nothing by distance.
  bool claims(const pcl::PointXYZ& point) const;

  /// Number of vertices of the mesh.
  std::size_t vertexCount() const { return vertices_->points.size(); }

 private:
  bool inside(const pcl::PointXYZ& point) const;
  bool nearFaces(const pcl::PointXYZ& point) const;

  // A usable face (valid, finite corners) as the tree holds it.
  struct BoxedFace {
    std::uint32_t face;             // index into the polygons
    double lo[3], hi[3];            // tight box of its corners
    double yMin, yMax, zMin, zMax;  // its padded y–z extent, exactly as the shared ray filter computes it
  };
  // A tree node: the union of its faces' boxes and padded extents. A leaf holds faces_[first, first +
  // count); an inner node's children are the next node and node `second`.
  struct Node {
    double lo[3], hi[3];
    double yMin, yMax, zMin, zMax;
    std::uint32_t first = 0;
    std::uint32_t count = 0;  // 0 for an inner node
    std::uint32_t second = 0;
  };
  std::uint32_t build(std::uint32_t first, std::uint32_t count);

  const pcl::PolygonMesh* mesh_;
  PointCloudsDeal::CloudPtr vertices_;
  std::vector<std::uint32_t> parts_;  // part label of every polygon
  bool nearUsable_ = false;  // the nearest-face query answers for this mesh (>= 3 vertices, one searchable)
  std::vector<BoxedFace> faces_;
  std::vector<Node> nodes_;
  // Valid faces with a non-finite corner: no ray meets them, but their finite edges have a distance, so
  // the near test looks at each of them.
  std::vector<std::uint32_t> unboxed_;
  mutable std::vector<std::uint32_t> stack_;       // scratch for one traversal
  mutable std::vector<std::uint32_t> candidates_;  // scratch for one query
  mutable std::vector<std::uint32_t> hits_;        // scratch for one query
};

}  // namespace detail
}  // namespace nimbrel_arm_util
