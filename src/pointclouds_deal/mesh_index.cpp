// Meshes prepared once for many inside-or-near queries.
#include "pointclouds_deal/mesh_index.hpp"

#include <pcl/conversions.h>

#include <algorithm>
#include <cmath>

#include "pointclouds_deal/mesh_geometry.hpp"

namespace nimbrel_arm_util {
namespace detail {
namespace {

// Cell of a coordinate along one grid axis, clamped to the grid. Floor of a rounded quotient is monotone
// in the coordinate, so a point inside a face's extent always falls in one of the face's cells.
std::int64_t cellIndex(double value, double lo, double size, int cells) {
  const double c = std::floor((value - lo) / size);
  if (!(c > 0.0)) return 0;
  if (c >= static_cast<double>(cells - 1)) return cells - 1;
  return static_cast<std::int64_t>(c);
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

bool isFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

}  // namespace

MeshIndex::MeshIndex(const pcl::PolygonMesh& mesh) : mesh_(&mesh), vertices_(new PointCloudsDeal::Cloud) {
  readVertices(mesh, *vertices_);
  const std::size_t vertexCount = vertices_->points.size();
  // The nearest-face query refuses meshes of fewer than three vertices, so they need no tree.
  if (vertexCount >= 3) {
    for (std::size_t v = 0; v < vertexCount; ++v) {
      const pcl::PointXYZ& p = vertices_->points[v];
      // As the library's kd-tree is given them: finite vertices within the float range a tree can split.
      if (!isSearchable(p)) continue;
      treePoints_.insert(treePoints_.end(), {p.x, p.y, p.z});
      treeToVertex_.push_back(v);
    }
    if (!treeToVertex_.empty()) {
      tree_ = std::make_unique<FlannIndex>(flann::Matrix<float>(treePoints_.data(), treeToVertex_.size(), 3),
                                           flann::KDTreeSingleIndexParams(15));
      tree_->buildIndex();
    }
    around_ = facesAroundVertices(vertexCount, mesh.polygons);
  }

  // Box of the valid faces' corners, and their padded y–z extents.
  struct Extent {
    std::uint32_t face;
    double yMin, yMax, zMin, zMax;
  };
  std::vector<Extent> extents;
  bool anyValid = false;
  bool allFinite = true;
  faceBoxes_.assign(6 * mesh.polygons.size(), 0.0);
  for (std::size_t f = 0; f < mesh.polygons.size(); ++f) {
    const pcl::Vertices& face = mesh.polygons[f];
    if (!isValidFace(face, vertexCount)) continue;
    double* faceBox = &faceBoxes_[6 * f];
    for (std::size_t k = 0; k < 3; ++k) {
      const pcl::PointXYZ& p = vertices_->points[static_cast<std::size_t>(face.vertices[k])];
      allFinite = allFinite && isFinite(p);
      const double v[3] = {p.x, p.y, p.z};
      for (int a = 0; a < 3; ++a) {
        boxLo_[a] = anyValid ? std::min(boxLo_[a], v[a]) : v[a];
        boxHi_[a] = anyValid ? std::max(boxHi_[a], v[a]) : v[a];
        faceBox[a] = k == 0 ? v[a] : std::min(faceBox[a], v[a]);
        faceBox[3 + a] = k == 0 ? v[a] : std::max(faceBox[3 + a], v[a]);
      }
      anyValid = true;
    }
    Extent e;
    e.face = static_cast<std::uint32_t>(f);
    // Faces without an extent (non-finite corners) are never tested by the +x ray.
    if (paddedYZExtent(*vertices_, face, e.yMin, e.yMax, e.zMin, e.zMax)) extents.push_back(e);
  }
  hasValidFace_ = anyValid;
  boxUsable_ = anyValid && allFinite;
  if (extents.empty()) return;

  gridLo_[0] = extents[0].yMin;
  gridHi_[0] = extents[0].yMax;
  gridLo_[1] = extents[0].zMin;
  gridHi_[1] = extents[0].zMax;
  for (const Extent& e : extents) {
    gridLo_[0] = std::min(gridLo_[0], e.yMin);
    gridHi_[0] = std::max(gridHi_[0], e.yMax);
    gridLo_[1] = std::min(gridLo_[1], e.zMin);
    gridHi_[1] = std::max(gridHi_[1], e.zMax);
  }
  // About two cells per face keeps each cell's list to a few faces from the front and the back.
  cells_ =
      std::clamp(static_cast<int>(std::ceil(std::sqrt(2.0 * static_cast<double>(extents.size())))), 1, 1024);
  for (int a = 0; a < 2; ++a) {
    const double span = gridHi_[a] - gridLo_[a];
    cellSize_[a] = span > 0.0 ? span / cells_ : 1.0;
  }
  const std::size_t cellCount = static_cast<std::size_t>(cells_) * static_cast<std::size_t>(cells_);
  std::vector<std::uint32_t> next(cellCount + 1, 0);
  auto forEachCell = [&](const Extent& e, auto&& visit) {
    const std::int64_t y0 = cellIndex(e.yMin, gridLo_[0], cellSize_[0], cells_);
    const std::int64_t y1 = cellIndex(e.yMax, gridLo_[0], cellSize_[0], cells_);
    const std::int64_t z0 = cellIndex(e.zMin, gridLo_[1], cellSize_[1], cells_);
    const std::int64_t z1 = cellIndex(e.zMax, gridLo_[1], cellSize_[1], cells_);
    for (std::int64_t z = z0; z <= z1; ++z) {
      for (std::int64_t y = y0; y <= y1; ++y) visit(static_cast<std::size_t>(z * cells_ + y));
    }
  };
  for (const Extent& e : extents) forEachCell(e, [&](std::size_t c) { ++next[c + 1]; });
  for (std::size_t c = 0; c < cellCount; ++c) next[c + 1] += next[c];
  cellStart_ = next;
  rayFaces_.resize(next.back());
  for (const Extent& e : extents) {
    forEachCell(e, [&](std::size_t c) { rayFaces_[next[c]++] = {e.face, e.yMin, e.yMax, e.zMin, e.zMax}; });
  }
}

bool MeshIndex::inside(const pcl::PointXYZ& point) const {
  // A point whose (y, z) lies in no face's padded extent meets no face along +x, not even a boundary:
  // zero crossings, so outside. Non-finite coordinates end here too.
  if (cellStart_.empty()) return false;
  const double y = point.y;
  const double z = point.z;
  if (!(y >= gridLo_[0] && y <= gridHi_[0] && z >= gridLo_[1] && z <= gridHi_[1])) return false;
  const std::size_t cell = static_cast<std::size_t>(cellIndex(z, gridLo_[1], cellSize_[1], cells_) * cells_ +
                                                    cellIndex(y, gridLo_[0], cellSize_[0], cells_));
  // Only the faces whose padded extent holds (y, z) are tested along +x (the same closed test as the
  // shared inside test makes); with none, no face is hit or touched, and the point is outside.
  candidates_.clear();
  for (std::uint32_t i = cellStart_[cell]; i < cellStart_[cell + 1]; ++i) {
    const RayFace& r = rayFaces_[i];
    if (y >= r.yMin && y <= r.yMax && z >= r.zMin && z <= r.zMax) candidates_.push_back(r.face);
  }
  if (candidates_.empty()) return false;
  // Count the +x crossings with the shared ray test; an unambiguous count decides as the shared inside
  // test would. A boundary meeting needs its other rays: hand the same candidates to it.
  const Eigen::Vector3f origin(point.x, point.y, point.z);
  std::size_t hits = 0;
  for (const std::uint32_t f : candidates_) {
    const RayTriangleHit r = intersectRay(*vertices_, mesh_->polygons[f], origin, Eigen::Vector3f::UnitX());
    if (r.onBoundary) {
      return isInsideByParity(*vertices_, mesh_->polygons, point, candidates_.data(),
                              candidates_.data() + candidates_.size());
    }
    hits += r.hit ? 1 : 0;
  }
  return hits % 2 == 1;
}

bool MeshIndex::nearFaces(const pcl::PointXYZ& point) const {
  // The nearest-face query refuses a mesh of fewer than three vertices; without valid faces the distance
  // stays at the largest double.
  if (vertices_->points.size() < 3 || !hasValidFace_) return false;
  const double q[3] = {point.x, point.y, point.z};
  // A face whose box is this far from the point is not near it; the slack covers the rounding of the
  // distance computation many times over.
  const double limit = kNearMeshDistance * (1.0 + 1e-9);
  const double limit2 = limit * limit;
  if (boxUsable_ && boxGap2(q, boxLo_, boxHi_) > limit2) return false;
  const int nearest = nearestVertex(point);
  if (nearest < 0) return false;
  const std::vector<std::uint32_t>& faces = around_[static_cast<std::size_t>(nearest)];
  if (!boxUsable_) {
    return nearestFacesDistance(*vertices_, mesh_->polygons, faces, point) < kNearMeshDistance;
  }
  // The smallest distance is below the limit exactly when some face's distance is: stop at the first,
  // and skip faces whose box alone rules them out.
  for (const std::uint32_t f : faces) {
    const double* box = &faceBoxes_[6 * static_cast<std::size_t>(f)];
    if (boxGap2(q, box, box + 3) > limit2) continue;
    if (faceDistance(*vertices_, mesh_->polygons[f], point) < kNearMeshDistance) return true;
  }
  return false;
}

int MeshIndex::nearestVertex(const pcl::PointXYZ& point) const {
  if (!tree_ || !isFinite(point)) return -1;
  // Exact search (unlimited checks, no epsilon), as the kd-tree wrapper asks for it.
  static const flann::SearchParams kExact(-1, 0.0f, true);
  const float query[3] = {point.x, point.y, point.z};
  nearest_.clear();
  tree_->findNeighbors(nearest_, query, kExact);
  if (nearest_.size() < 1) return -1;
  std::size_t index = 0;
  float squared = 0.0f;
  nearest_.copy(&index, &squared, 1, true);
  return index < treeToVertex_.size() ? static_cast<int>(treeToVertex_[index]) : -1;
}

bool MeshIndex::claims(const pcl::PointXYZ& point) const { return inside(point) || nearFaces(point); }

}  // namespace detail
}  // namespace nimbrel_arm_util
