// Meshes prepared once for many inside-or-near queries.
#include "engines/mesh_index.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "engines/mesh_geometry.hpp"
#include "engines/point_helpers.hpp"

namespace nimbrel_arm_util {
namespace detail {
namespace {

// Faces per leaf: a few, so that a leaf's box stays tight and a query tests few faces.
constexpr std::uint32_t kLeafFaces = 8;

// Boundary edges of the open parts beyond which claims asks the near-face test before the inside test.
constexpr std::size_t kNearFirstBoundaryEdges = 16;

// A face whose padded y–z extent covers more grid cells than this goes to the ray tree instead.
constexpr std::int64_t kMaxCellsPerFace = 25;

// Cell of a coordinate along one grid axis, clamped to the grid. Floor of a rounded quotient is monotone
// in the coordinate, so a point inside a face's extent always falls in one of the face's cells.
std::int64_t cellIndex(double value, double lo, double size, std::int64_t cells) {
  return clampedCell(std::floor((value - lo) / size), cells);
}

// Squared distance from q to the box lo..hi (0 inside it).
double boxGap2(const double q[3], const double lo[3], const double hi[3]) {
  double gap2 = 0.0;
  for (int a = 0; a < 3; ++a) {
    const double gap = q[a] < lo[a] ? lo[a] - q[a] : (q[a] > hi[a] ? q[a] - hi[a] : 0.0);
    gap2 += gap * gap;
  }
  return gap2;
}

// Depth-first traversal stack. Trees are split at the median, so their depth is at most 32 for any face
// count that fits the index type; popping one node and pushing two keeps at most depth + 1 entries.
class TraversalStack {
 public:
  void push(std::uint32_t node) { nodes_[size_++] = node; }
  std::uint32_t pop() { return nodes_[--size_]; }
  bool empty() const { return size_ == 0; }

 private:
  std::uint32_t nodes_[72];
  std::size_t size_ = 0;
};

}  // namespace

MeshIndex::MeshIndex(const pcl::PolygonMesh& mesh, double nearDistance)
    : mesh_(&mesh), nearDistance_(nearDistance), vertices_(new pcl::PointCloud<pcl::PointXYZ>) {
  readVertices(mesh, *vertices_);
  const std::size_t vertexCount = vertices_->points.size();
  // The nearest-face query refuses meshes of fewer than three vertices and points that have no nearest
  // vertex.
  nearUsable_ = vertexCount >= 3 && std::any_of(vertices_->points.begin(), vertices_->points.end(),
                                                isSearchablePoint<pcl::PointXYZ>);
  parts_ = meshParts(*vertices_, mesh.polygons);
  // A point in an open part's box costs the inside test a solid angle per boundary edge; past a few edges
  // the near-face test, which claims every point near the surface, is the cheaper one to ask first.
  nearFirst_ = parts_.boundary.size() / 2 > kNearFirstBoundaryEdges;

  rayItems_.reserve(mesh.polygons.size());
  nearItems_.reserve(mesh.polygons.size());
  for (std::size_t f = 0; f < mesh.polygons.size(); ++f) {
    const pcl::Vertices& face = mesh.polygons[f];
    if (!isValidFace(face, vertexCount)) continue;
    Item<2> ray;
    ray.face = static_cast<std::uint32_t>(f);
    // Faces without an extent (non-finite corners) are never met by a ray; only their distance counts.
    if (!paddedYZExtent(*vertices_, face, ray.lo[0], ray.hi[0], ray.lo[1], ray.hi[1])) {
      unboxed_.push_back(ray.face);
      continue;
    }
    rayItems_.push_back(ray);
    crossesX_.push_back(!parallelToX(*vertices_, face));
    // Padded, so that the same tree gives the candidates of the other ray directions; the near test only
    // prunes a little less.
    Item<3> near;
    near.face = ray.face;
    paddedBox(*vertices_, face, near.lo, near.hi);
    nearItems_.push_back(near);
  }
  if (rayItems_.empty()) return;
  build(nearItems_, nearNodes_, 0, static_cast<std::uint32_t>(nearItems_.size()));

  // The grid spans every padded extent. Its cells are as wide as a typical face's extent is across (the
  // median of the narrower side), so that most faces are listed in a few cells and each list holds a few
  // faces from the front and the back of the mesh; long faces go to the tree. Cells grow when there
  // would be more than a few per face.
  for (int a = 0; a < 2; ++a) {
    gridLo_[a] = rayItems_[0].lo[a];
    gridHi_[a] = rayItems_[0].hi[a];
  }
  // The grid spans the faces that run along x too (a point beyond it is outside every part's box), but
  // lists only the faces the +x ray can count: the others are dropped from here on.
  std::vector<double> widths;
  widths.reserve(rayItems_.size());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < rayItems_.size(); ++i) {
    const Item<2>& item = rayItems_[i];
    for (int a = 0; a < 2; ++a) {
      gridLo_[a] = std::min(gridLo_[a], item.lo[a]);
      gridHi_[a] = std::max(gridHi_[a], item.hi[a]);
    }
    if (!crossesX_[i]) continue;
    widths.push_back(std::min(item.hi[0] - item.lo[0], item.hi[1] - item.lo[1]));
    rayItems_[kept++] = item;
  }
  rayItems_.resize(kept);
  crossesX_.clear();
  crossesX_.shrink_to_fit();
  const double span = std::max(gridHi_[0] - gridLo_[0], gridHi_[1] - gridLo_[1]);
  double typical = span;
  if (!widths.empty()) {
    std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
    typical = widths[widths.size() / 2];
  }
  cellSize_ = std::max(0.5 * typical, span / 2048.0);
  if (!(cellSize_ > 0.0) || !std::isfinite(cellSize_)) cellSize_ = 1.0;
  const double maxCells = 8.0 * static_cast<double>(rayItems_.size()) + 16.0;
  for (;;) {
    // A span beyond the double range (coordinates near the float limit on both sides) gets one cell.
    double cells[2];
    for (int a = 0; a < 2; ++a) {
      const double c = std::floor((gridHi_[a] - gridLo_[a]) / cellSize_) + 1.0;
      cells[a] = std::isfinite(c) ? std::min(c, 1e9) : 1.0;
      cells_[a] = static_cast<std::int64_t>(cells[a]);
    }
    if (cells[0] * cells[1] <= maxCells) break;
    cellSize_ *= 1.5;
  }
  struct Range {
    std::int64_t y0, y1, z0, z1;
  };
  const auto rangeOf = [this](const Item<2>& item) {
    return Range{cellIndex(item.lo[0], gridLo_[0], cellSize_, cells_[0]),
                 cellIndex(item.hi[0], gridLo_[0], cellSize_, cells_[0]),
                 cellIndex(item.lo[1], gridLo_[1], cellSize_, cells_[1]),
                 cellIndex(item.hi[1], gridLo_[1], cellSize_, cells_[1])};
  };
  const auto gridded = [](const Range& r) {
    return (r.y1 - r.y0 + 1) * (r.z1 - r.z0 + 1) <= kMaxCellsPerFace;
  };
  const std::size_t cellCount = static_cast<std::size_t>(cells_[0] * cells_[1]);
  std::vector<std::uint32_t> next(cellCount + 1, 0);
  std::vector<Item<2>> large;
  for (const Item<2>& item : rayItems_) {
    const Range r = rangeOf(item);
    if (!gridded(r)) {
      large.push_back(item);
      continue;
    }
    gridItems_.push_back(item);
    for (std::int64_t z = r.z0; z <= r.z1; ++z) {
      for (std::int64_t y = r.y0; y <= r.y1; ++y) ++next[static_cast<std::size_t>(z * cells_[0] + y) + 1];
    }
  }
  for (std::size_t c = 0; c < cellCount; ++c) next[c + 1] += next[c];
  cellStart_ = next;
  cellFaces_.resize(next.back());
  for (std::size_t i = 0; i < gridItems_.size(); ++i) {
    const Range r = rangeOf(gridItems_[i]);
    for (std::int64_t z = r.z0; z <= r.z1; ++z) {
      for (std::int64_t y = r.y0; y <= r.y1; ++y) {
        cellFaces_[next[static_cast<std::size_t>(z * cells_[0] + y)]++] = static_cast<std::uint32_t>(i);
      }
    }
  }
  rayItems_ = std::move(large);
  rayItems_.shrink_to_fit();
  if (!rayItems_.empty()) build(rayItems_, rayNodes_, 0, static_cast<std::uint32_t>(rayItems_.size()));
}

template <int D>
std::uint32_t MeshIndex::build(std::vector<Item<D>>& items, std::vector<Node<D>>& nodes, std::uint32_t first,
                               std::uint32_t count) {
  const auto index = static_cast<std::uint32_t>(nodes.size());
  nodes.emplace_back();
  {
    Node<D>& node = nodes[index];
    std::copy(items[first].lo, items[first].lo + D, node.lo);
    std::copy(items[first].hi, items[first].hi + D, node.hi);
    for (std::uint32_t i = first + 1; i < first + count; ++i) {
      for (int a = 0; a < D; ++a) {
        node.lo[a] = std::min(node.lo[a], items[i].lo[a]);
        node.hi[a] = std::max(node.hi[a], items[i].hi[a]);
      }
    }
  }
  if (count <= kLeafFaces) {
    nodes[index].first = first;
    nodes[index].count = count;
    return index;
  }
  // Split at the median of the box centres along the axis where the centres spread most: halves of equal
  // size keep the depth at log2(F) whatever the faces look like.
  double cLo[D], cHi[D];
  for (int a = 0; a < D; ++a) cLo[a] = cHi[a] = items[first].lo[a] + items[first].hi[a];
  for (std::uint32_t i = first + 1; i < first + count; ++i) {
    for (int a = 0; a < D; ++a) {
      const double c = items[i].lo[a] + items[i].hi[a];
      cLo[a] = std::min(cLo[a], c);
      cHi[a] = std::max(cHi[a], c);
    }
  }
  int axis = 0;
  for (int a = 1; a < D; ++a) {
    if (cHi[a] - cLo[a] > cHi[axis] - cLo[axis]) axis = a;
  }
  const std::uint32_t half = count / 2;
  std::nth_element(items.begin() + first, items.begin() + first + half, items.begin() + first + count,
                   [axis](const Item<D>& l, const Item<D>& r) {
                     return l.lo[axis] + l.hi[axis] < r.lo[axis] + r.hi[axis];
                   });
  build(items, nodes, first, half);
  const std::uint32_t second = build(items, nodes, first + half, count - half);
  nodes[index].second = second;
  return index;
}

bool MeshIndex::inside(const pcl::PointXYZ& point) const { return inside(point, scratch_); }

bool MeshIndex::inside(const pcl::PointXYZ& point, Scratch& scratch) const {
  // A point whose (y, z) lies in no face's padded extent meets no face along +x, not even a boundary,
  // and lies outside every part's box: outside. Non-finite coordinates end here too (every comparison fails).
  // The grid spans every extent, so a point outside it is outside.
  if (cellStart_.empty()) return false;
  const double y = point.y;
  const double z = point.z;
  if (!(y >= gridLo_[0] && y <= gridHi_[0] && z >= gridLo_[1] && z <= gridHi_[1])) return false;
  // Only the faces whose padded extent holds (y, z) are tested along +x (the same closed test as the
  // shared inside test makes).
  scratch.candidates.clear();
  const std::size_t cell =
      static_cast<std::size_t>(cellIndex(z, gridLo_[1], cellSize_, cells_[1]) * cells_[0] +
                               cellIndex(y, gridLo_[0], cellSize_, cells_[0]));
  for (std::uint32_t i = cellStart_[cell]; i < cellStart_[cell + 1]; ++i) {
    const Item<2>& f = gridItems_[cellFaces_[i]];
    if (y >= f.lo[0] && y <= f.hi[0] && z >= f.lo[1] && z <= f.hi[1]) scratch.candidates.push_back(f.face);
  }
  TraversalStack stack;
  if (!rayNodes_.empty()) stack.push(0);
  while (!stack.empty()) {
    const std::uint32_t at = stack.pop();
    const Node<2>& node = rayNodes_[at];
    if (!(y >= node.lo[0] && y <= node.hi[0] && z >= node.lo[1] && z <= node.hi[1])) continue;
    if (node.count == 0) {
      stack.push(node.second);
      stack.push(at + 1);
      continue;
    }
    for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
      const Item<2>& f = rayItems_[i];
      if (y >= f.lo[0] && y <= f.hi[0] && z >= f.lo[1] && z <= f.hi[1]) scratch.candidates.push_back(f.face);
    }
  }
  // No face along +x: outside every closed part; an open part may still wind around the point.
  if (scratch.candidates.empty() && parts_.openParts.empty()) return false;
  // Count the +x crossings with the shared ray test, as the shared inside test counts them over the same
  // candidates; an unambiguous count decides. A boundary meeting needs the other rays, which take their
  // candidates from the face-box tree.
  const Eigen::Vector3f origin(point.x, point.y, point.z);
  scratch.hits.clear();
  bool ambiguous = false;
  for (const std::uint32_t f : scratch.candidates) {
    // Candidates are valid faces with finite corners: the shared test's own checks would pass.
    const auto& corners = mesh_->polygons[f].vertices;
    const RayTriangleHit r = intersectRayCorners(vertices_->points[static_cast<std::size_t>(corners[0])],
                                                 vertices_->points[static_cast<std::size_t>(corners[1])],
                                                 vertices_->points[static_cast<std::size_t>(corners[2])],
                                                 origin, Eigen::Vector3f::UnitX(), ParallelBound::kRelative);
    ambiguous = ambiguous || r.onBoundary;
    if (r.hit) scratch.hits.push_back(RayHit{f, r.exits});
  }
  if (ambiguous) {
    return insideAfterAmbiguousX(
        *vertices_, mesh_->polygons, parts_, point, scratch.hits,
        [this](const Eigen::Vector3f& origin, const Eigen::Vector3f& direction,
               std::vector<std::uint32_t>& faces) { rayCandidates(origin, direction, faces); });
  }
  return insideByRay(*vertices_, parts_, point, Eigen::Vector3f::UnitX(), scratch.hits);
}

void MeshIndex::rayCandidates(const Eigen::Vector3f& origin, const Eigen::Vector3f& direction,
                              std::vector<std::uint32_t>& faces) const {
  // Every node box is the union of its faces' padded boxes, and the box test is monotone: a face whose
  // padded box the ray meets is reached.
  if (nearNodes_.empty()) return;
  TraversalStack stack;
  stack.push(0);
  while (!stack.empty()) {
    const std::uint32_t at = stack.pop();
    const Node<3>& node = nearNodes_[at];
    if (!rayMeetsBox(origin, direction, node.lo, node.hi)) continue;
    if (node.count == 0) {
      stack.push(node.second);
      stack.push(at + 1);
      continue;
    }
    for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
      if (rayMeetsBox(origin, direction, nearItems_[i].lo, nearItems_[i].hi))
        faces.push_back(nearItems_[i].face);
    }
  }
}

bool MeshIndex::nearFaces(const pcl::PointXYZ& point) const {
  if (!nearUsable_ || !isFinitePoint(point)) return false;
  for (const std::uint32_t f : unboxed_) {
    if (faceDistance(*vertices_, mesh_->polygons[f], point) < nearDistance_) return true;
  }
  if (nearNodes_.empty()) return false;
  const double q[3] = {point.x, point.y, point.z};
  // A box this far from the point holds no face nearer than the near distance; the slack covers the
  // rounding of the distance computation, which grows with the coordinates' magnitude.
  const Node<3>& root = nearNodes_[0];
  double magnitude = std::max({std::abs(q[0]), std::abs(q[1]), std::abs(q[2])});
  for (int a = 0; a < 3; ++a) magnitude = std::max({magnitude, std::abs(root.lo[a]), std::abs(root.hi[a])});
  const double limit = nearDistance_ + 1e-9 * (nearDistance_ + magnitude);
  const double limit2 = limit * limit;
  if (boxGap2(q, root.lo, root.hi) > limit2) return false;
  // Every node on the stack is within the limit.
  TraversalStack stack;
  stack.push(0);
  while (!stack.empty()) {
    const std::uint32_t at = stack.pop();
    const Node<3>& node = nearNodes_[at];
    if (node.count == 0) {
      // Nearer child first: a near face, if there is one, is found sooner.
      const double gapFirst = boxGap2(q, nearNodes_[at + 1].lo, nearNodes_[at + 1].hi);
      const double gapSecond = boxGap2(q, nearNodes_[node.second].lo, nearNodes_[node.second].hi);
      if (gapFirst <= gapSecond) {
        if (gapSecond <= limit2) stack.push(node.second);
        if (gapFirst <= limit2) stack.push(at + 1);
      } else {
        if (gapFirst <= limit2) stack.push(at + 1);
        if (gapSecond <= limit2) stack.push(node.second);
      }
      continue;
    }
    // The smallest distance is below the near distance exactly when some face's distance is.
    for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
      const Item<3>& f = nearItems_[i];
      if (boxGap2(q, f.lo, f.hi) > limit2) continue;
      // As faceDistance computes it, without re-checking a face known to be valid.
      const auto& corners = mesh_->polygons[f.face].vertices;
      const double d =
          pointTriangleDistance(widen(point), widen(vertices_->points[static_cast<std::size_t>(corners[0])]),
                                widen(vertices_->points[static_cast<std::size_t>(corners[1])]),
                                widen(vertices_->points[static_cast<std::size_t>(corners[2])]));
      if (d < nearDistance_) return true;
    }
  }
  return false;
}

bool MeshIndex::claims(const pcl::PointXYZ& point) const { return claims(point, scratch_); }

bool MeshIndex::claims(const pcl::PointXYZ& point, Scratch& scratch) const {
  // Either test may go first: both are free of side effects. The cheaper one first saves the other for the
  // points it claims.
  if (nearFirst_) return nearFaces(point) || inside(point, scratch);
  return inside(point, scratch) || nearFaces(point);
}

bool MeshIndex::nearSegment(const Eigen::Vector3d& a, const Eigen::Vector3d& b) const {
  if (!nearUsable_ || !a.allFinite() || !b.allFinite()) return false;
  const auto corner = [this](std::uint32_t f, int k) {
    return widen(vertices_->points[static_cast<std::size_t>(mesh_->polygons[f].vertices[k])]);
  };
  const auto near = [&](std::uint32_t f) {
    return segmentTriangleDistance(a, b, corner(f, 0), corner(f, 1), corner(f, 2)) < nearDistance_;
  };
  for (const std::uint32_t f : unboxed_) {
    if (near(f)) return true;
  }
  if (nearNodes_.empty()) return false;
  // A box that the segment's own box, grown by the near distance and a rounding slack, does not overlap
  // holds no face near the segment.
  const Node<3>& root = nearNodes_[0];
  double magnitude = std::max(a.cwiseAbs().maxCoeff(), b.cwiseAbs().maxCoeff());
  for (int k = 0; k < 3; ++k) magnitude = std::max({magnitude, std::abs(root.lo[k]), std::abs(root.hi[k])});
  const double limit = nearDistance_ + 1e-9 * (nearDistance_ + magnitude);
  // A face near the segment lies in a box that the segment meets once the box is grown by the limit (slab
  // test, closed; the slack covers its rounding).
  const Eigen::Vector3d d = b - a;
  const auto overlaps = [&](const double* boxLo, const double* boxHi) {
    double t0 = 0.0;
    double t1 = 1.0;
    for (int k = 0; k < 3; ++k) {
      const double lo = boxLo[k] - limit;
      const double hi = boxHi[k] + limit;
      if (d[k] == 0.0) {
        if (a[k] < lo || a[k] > hi) return false;
        continue;
      }
      double enter = (lo - a[k]) / d[k];
      double leave = (hi - a[k]) / d[k];
      if (enter > leave) std::swap(enter, leave);
      t0 = std::max(t0, enter);
      t1 = std::min(t1, leave);
      if (t0 > t1 + 1e-12) return false;
    }
    return true;
  };
  TraversalStack stack;
  stack.push(0);
  while (!stack.empty()) {
    const std::uint32_t at = stack.pop();
    const Node<3>& node = nearNodes_[at];
    if (!overlaps(node.lo, node.hi)) continue;
    if (node.count == 0) {
      stack.push(node.second);
      stack.push(at + 1);
      continue;
    }
    for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
      if (overlaps(nearItems_[i].lo, nearItems_[i].hi) && near(nearItems_[i].face)) return true;
    }
  }
  return false;
}

}  // namespace detail
}  // namespace nimbrel_arm_util
