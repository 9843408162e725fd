// Meshes prepared once for many inside-or-near queries.
#include "pointclouds_deal/mesh_index.hpp"

#include <algorithm>
#include <cmath>

#include "pointclouds_deal/mesh_geometry.hpp"
#include "pointclouds_deal/search_range.hpp"

namespace nimbrel_arm_util {
namespace detail {
namespace {

// Faces per leaf: a few, so that a leaf's box stays tight and a query tests few faces.
constexpr std::uint32_t kLeafFaces = 4;

// Squared distance from q to the box lo..hi (0 inside it).
double boxGap2(const double q[3], const double lo[3], const double hi[3]) {
  double gap2 = 0.0;
  for (int a = 0; a < 3; ++a) {
    const double gap = q[a] < lo[a] ? lo[a] - q[a] : (q[a] > hi[a] ? q[a] - hi[a] : 0.0);
    gap2 += gap * gap;
  }
  return gap2;
}

bool isFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

}  // namespace

MeshIndex::MeshIndex(const pcl::PolygonMesh& mesh) : mesh_(&mesh), vertices_(new PointCloudsDeal::Cloud) {
  readVertices(mesh, *vertices_);
  const std::size_t vertexCount = vertices_->points.size();
  // The nearest-face query refuses meshes of fewer than three vertices and points that have no nearest
  // vertex.
  nearUsable_ = vertexCount >= 3 &&
                std::any_of(vertices_->points.begin(), vertices_->points.end(), detail::isSearchable);
  parts_ = facePartLabels(*vertices_, mesh.polygons);

  faces_.reserve(mesh.polygons.size());
  for (std::size_t f = 0; f < mesh.polygons.size(); ++f) {
    const pcl::Vertices& face = mesh.polygons[f];
    if (!isValidFace(face, vertexCount)) continue;
    BoxedFace b;
    b.face = static_cast<std::uint32_t>(f);
    // Faces without an extent (non-finite corners) are never met by a ray; only their distance counts.
    if (!paddedYZExtent(*vertices_, face, b.yMin, b.yMax, b.zMin, b.zMax)) {
      unboxed_.push_back(b.face);
      continue;
    }
    for (std::size_t k = 0; k < 3; ++k) {
      const pcl::PointXYZ& p = vertices_->points[static_cast<std::size_t>(face.vertices[k])];
      const double v[3] = {p.x, p.y, p.z};
      for (int a = 0; a < 3; ++a) {
        b.lo[a] = k == 0 ? v[a] : std::min(b.lo[a], v[a]);
        b.hi[a] = k == 0 ? v[a] : std::max(b.hi[a], v[a]);
      }
    }
    faces_.push_back(b);
  }
  if (faces_.empty()) return;
  nodes_.reserve(2 * (faces_.size() / kLeafFaces + 1));
  build(0, static_cast<std::uint32_t>(faces_.size()));
}

std::uint32_t MeshIndex::build(std::uint32_t first, std::uint32_t count) {
  const std::uint32_t index = static_cast<std::uint32_t>(nodes_.size());
  nodes_.emplace_back();
  {
    Node& node = nodes_[index];
    const BoxedFace& f0 = faces_[first];
    std::copy(f0.lo, f0.lo + 3, node.lo);
    std::copy(f0.hi, f0.hi + 3, node.hi);
    node.yMin = f0.yMin;
    node.yMax = f0.yMax;
    node.zMin = f0.zMin;
    node.zMax = f0.zMax;
    for (std::uint32_t i = first + 1; i < first + count; ++i) {
      const BoxedFace& f = faces_[i];
      for (int a = 0; a < 3; ++a) {
        node.lo[a] = std::min(node.lo[a], f.lo[a]);
        node.hi[a] = std::max(node.hi[a], f.hi[a]);
      }
      node.yMin = std::min(node.yMin, f.yMin);
      node.yMax = std::max(node.yMax, f.yMax);
      node.zMin = std::min(node.zMin, f.zMin);
      node.zMax = std::max(node.zMax, f.zMax);
    }
  }
  if (count <= kLeafFaces) {
    nodes_[index].first = first;
    nodes_[index].count = count;
    return index;
  }
  // Split at the median of the box centres along the axis where the centres spread most: halves of equal
  // size keep the depth at log2(F) whatever the faces look like.
  double cLo[3], cHi[3];
  for (int a = 0; a < 3; ++a) {
    cLo[a] = cHi[a] = faces_[first].lo[a] + faces_[first].hi[a];
  }
  for (std::uint32_t i = first + 1; i < first + count; ++i) {
    for (int a = 0; a < 3; ++a) {
      const double c = faces_[i].lo[a] + faces_[i].hi[a];
      cLo[a] = std::min(cLo[a], c);
      cHi[a] = std::max(cHi[a], c);
    }
  }
  int axis = 0;
  for (int a = 1; a < 3; ++a) {
    if (cHi[a] - cLo[a] > cHi[axis] - cLo[axis]) axis = a;
  }
  const std::uint32_t half = count / 2;
  std::nth_element(faces_.begin() + first, faces_.begin() + first + half, faces_.begin() + first + count,
                   [axis](const BoxedFace& l, const BoxedFace& r) {
                     return l.lo[axis] + l.hi[axis] < r.lo[axis] + r.hi[axis];
                   });
  build(first, half);
  const std::uint32_t second = build(first + half, count - half);
  nodes_[index].second = second;
  return index;
}

bool MeshIndex::inside(const pcl::PointXYZ& point) const {
  // A point whose (y, z) lies in no face's padded extent meets no face along +x, not even a boundary:
  // zero crossings, so outside. Non-finite coordinates end here too (every comparison fails).
  if (nodes_.empty()) return false;
  const double y = point.y;
  const double z = point.z;
  // Only the faces whose padded extent holds (y, z) are tested along +x (the same closed test as the
  // shared inside test makes).
  candidates_.clear();
  stack_.clear();
  stack_.push_back(0);
  while (!stack_.empty()) {
    const Node& node = nodes_[stack_.back()];
    const std::uint32_t at = stack_.back();
    stack_.pop_back();
    if (!(y >= node.yMin && y <= node.yMax && z >= node.zMin && z <= node.zMax)) continue;
    if (node.count == 0) {
      stack_.push_back(node.second);
      stack_.push_back(at + 1);
      continue;
    }
    for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
      const BoxedFace& f = faces_[i];
      if (y >= f.yMin && y <= f.yMax && z >= f.zMin && z <= f.zMax) candidates_.push_back(f.face);
    }
  }
  if (candidates_.empty()) return false;
  // Count the +x crossings with the shared ray test; an unambiguous count decides as the shared inside
  // test would. A boundary meeting needs its other rays: hand the same candidates to it.
  const Eigen::Vector3f origin(point.x, point.y, point.z);
  hits_.clear();
  for (const std::uint32_t f : candidates_) {
    const RayTriangleHit r = intersectRay(*vertices_, mesh_->polygons[f], origin, Eigen::Vector3f::UnitX(),
                                          ParallelBound::kRelative);
    if (r.onBoundary) {
      return isInsideByParity(*vertices_, mesh_->polygons, parts_, point, candidates_.data(),
                              candidates_.data() + candidates_.size());
    }
    if (r.hit) hits_.push_back(f);
  }
  return oddPartCrossed(hits_, [this]() -> const std::vector<std::uint32_t>& { return parts_; });
}

bool MeshIndex::nearFaces(const pcl::PointXYZ& point) const {
  if (!nearUsable_ || !isFinite(point)) return false;
  for (const std::uint32_t f : unboxed_) {
    if (faceDistance(*vertices_, mesh_->polygons[f], point) < kNearMeshDistance) return true;
  }
  if (nodes_.empty()) return false;
  const double q[3] = {point.x, point.y, point.z};
  // A box this far from the point holds no face nearer than the near distance; the slack covers the
  // rounding of the distance computation, which grows with the coordinates' magnitude.
  const Node& root = nodes_[0];
  double magnitude = std::max({std::abs(q[0]), std::abs(q[1]), std::abs(q[2])});
  for (int a = 0; a < 3; ++a) magnitude = std::max({magnitude, std::abs(root.lo[a]), std::abs(root.hi[a])});
  const double limit = kNearMeshDistance + 1e-9 * (kNearMeshDistance + magnitude);
  const double limit2 = limit * limit;
  stack_.clear();
  stack_.push_back(0);
  while (!stack_.empty()) {
    const std::uint32_t at = stack_.back();
    stack_.pop_back();
    const Node& node = nodes_[at];
    if (boxGap2(q, node.lo, node.hi) > limit2) continue;
    if (node.count == 0) {
      stack_.push_back(node.second);
      stack_.push_back(at + 1);
      continue;
    }
    // The smallest distance is below the near distance exactly when some face's distance is.
    for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
      const BoxedFace& f = faces_[i];
      if (boxGap2(q, f.lo, f.hi) > limit2) continue;
      if (faceDistance(*vertices_, mesh_->polygons[f.face], point) < kNearMeshDistance) return true;
    }
  }
  return false;
}

bool MeshIndex::claims(const pcl::PointXYZ& point) const { return inside(point) || nearFaces(point); }

}  // namespace detail
}  // namespace nimbrel_arm_util
