// One mesh prepared for many inside-or-near queries (not installed).
#pragma once

#include <pcl/PolygonMesh.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstdint>
#include <vector>

#include "engines/mesh_geometry.hpp"

namespace nimbrel_arm_util {
namespace detail {

/// Everything about one mesh that the inside-or-near test needs and that does not depend on the query
/// point: the vertex cloud, the part label of every face, a grid and a bounding volume hierarchy that give
/// the +x ray's candidate faces (by padded y–z extent), and a bounding volume hierarchy for the near-face
/// test and the other rays' candidates (faces by their padded boxes). `claims` answers exactly as one
/// mesh's turn in `PointCloudsDeal::isPointInsideMeshs`: it calls the same shared geometry on the same
/// data, only on far fewer faces.
///
/// Memory is linear in the number of faces (every face sits in a few grid cells or one leaf of each tree) and
/// the build takes O(F log F), whatever the faces' shapes: long thin faces and triangle fans cost no more
/// than compact ones.
class MeshIndex {
 public:
  /// Prepares `mesh`, which must outlive the index and stay unchanged while it is used. Points nearer than
  /// `nearDistance` to a face are near: the near-mesh distance unless a caller wants a wider band.
  explicit MeshIndex(const pcl::PolygonMesh& mesh, double nearDistance = kNearMeshDistance);

  /// Working space of one inside test. A caller that asks from several threads gives each its own; the
  /// index itself is then only read.
  struct Scratch {
    std::vector<std::uint32_t> candidates;
    std::vector<RayHit> hits;
  };

  /// True when this mesh claims `point`: inside one of its parts (detail::isInsideMesh), or nearer than the
  /// near distance to one of its faces. A mesh of fewer than three vertices, or without a vertex a search
  /// could find, claims nothing by distance. Uses scratch space of the index: one thread at a time.
  bool claims(const pcl::PointXYZ& point) const;
  /// The same with the caller's scratch space: several threads may ask at once, each with its own.
  bool claims(const pcl::PointXYZ& point, Scratch& scratch) const;

  /// The inside half of `claims`: exactly the answer of the shared inside test for this mesh. One thread
  /// at a time, as `claims`.
  bool inside(const pcl::PointXYZ& point) const;
  /// The same with the caller's scratch space.
  bool inside(const pcl::PointXYZ& point, Scratch& scratch) const;

  /// The near half of `claims`: some face lies strictly nearer than the near distance (exact
  /// point–triangle distance, as detail::faceDistance computes it). Reads the index only, so several
  /// threads may ask at once.
  bool nearFaces(const pcl::PointXYZ& point) const;

  /// True when some face lies strictly nearer than the near distance to the segment a–b (exact
  /// segment–triangle distance in double, detail::segmentTriangleDistance), or the segment passes through
  /// a face. Reads the index only.
  bool nearSegment(const Eigen::Vector3d& a, const Eigen::Vector3d& b) const;

  /// True when the mesh has faces and every part of it is closed: then the inside answer changes only
  /// across a face.
  bool closed() const { return !parts_.parts.empty() && parts_.openParts.empty(); }

  /// Number of vertices of the mesh.
  std::size_t vertexCount() const { return vertices_->points.size(); }

 private:
  // Faces whose padded box a ray from `origin` along `direction` meets, from the near-face tree.
  void rayCandidates(const Eigen::Vector3f& origin, const Eigen::Vector3f& direction,
                     std::vector<std::uint32_t>& faces) const;

  // A usable face (valid, finite corners) as a tree holds it, with its box in D coordinates.
  template <int D>
  struct Item {
    std::uint32_t face;  // index into the polygons
    double lo[D], hi[D];
  };
  // A tree node: the union of its items' boxes. A leaf holds items [first, first + count); an inner
  // node's children are the next node and node `second`.
  template <int D>
  struct Node {
    double lo[D], hi[D];
    std::uint32_t first = 0;
    std::uint32_t count = 0;  // 0 for an inner node
    std::uint32_t second = 0;
  };
  template <int D>
  static std::uint32_t build(std::vector<Item<D>>& items, std::vector<Node<D>>& nodes, std::uint32_t first,
                             std::uint32_t count);

  const pcl::PolygonMesh* mesh_;
  double nearDistance_;
  pcl::PointCloud<pcl::PointXYZ>::Ptr vertices_;
  MeshParts parts_;
  bool nearFirst_ = false;   // claims asks nearFaces before inside (open parts with many boundary edges)
  bool nearUsable_ = false;  // the nearest-face query answers for this mesh (>= 3 vertices, one searchable)
  // The +x ray's candidates come from two places. Faces whose padded y–z extent (exactly as the shared
  // ray filter computes it) covers a few cells of a grid over (y, z) are listed in each of those cells,
  // so a query reads one short list; faces that would cover more (triangle fans, long thin faces across
  // the grid) sit in a tree split in y and z only instead, so no face is listed more than a few times.
  std::int64_t cells_[2] = {0, 0};  // per axis
  double gridLo_[2] = {0, 0};
  double gridHi_[2] = {0, 0};
  double cellSize_ = 1.0;
  std::vector<std::uint32_t>
      cellStart_;  // entries of cell c are cellFaces_[cellStart_[c] .. cellStart_[c + 1])
  std::vector<std::uint32_t> cellFaces_;  // indices into gridItems_
  std::vector<Item<2>> gridItems_;
  // Build scratch: whether each usable face can meet the +x ray at all (see parallelToX).
  std::vector<bool> crossesX_;
  std::vector<Item<2>> rayItems_;
  std::vector<Node<2>> rayNodes_;
  // The near-face tree: faces by their padded boxes (paddedBox). It also gives the candidates of the rays
  // that re-count an ambiguous +x count.
  std::vector<Item<3>> nearItems_;
  std::vector<Node<3>> nearNodes_;
  // Valid faces with a non-finite corner: no ray meets them, but their finite edges have a distance, so
  // the near test looks at each of them.
  std::vector<std::uint32_t> unboxed_;
  mutable Scratch scratch_;  // for the overloads without a caller's scratch
};

}  // namespace detail
}  // namespace nimbrel_arm_util
