// Meshes prepared once for many inside-or-near queries.
#include "pointclouds_deal/mesh_index.hpp"

#include <pcl/conversions.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace nimbrel_arm_util {
namespace detail {
namespace {

// A point nearer than this to a face around its nearest vertex belongs to the mesh.
constexpr double kNearFace = 0.05;

// Relative pad of a face's y–z extent in the ray grid. The ray test works on float products, so a ray that
// passes a face's edge by less than its rounding may still count as a hit; the pad is hundreds of times
// that rounding, and costs at most a few extra candidates.
constexpr double kPad = 1e-5;

// Smallest |e1 · (d × e2)| for which the ray test considers a face at all.
constexpr double kParallel = 1e-7;

bool isFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// The first three indices of a polygon when they all name a vertex, as the per-face primitives require.
bool faceCorners(const pcl::Vertices& polygon, std::size_t vertexCount, std::size_t corners[3]) {
  if (polygon.vertices.size() < 3) return false;
  for (int k = 0; k < 3; ++k) {
    const auto index = polygon.vertices[static_cast<std::size_t>(k)];
    if (index < 0 || static_cast<std::size_t>(index) >= vertexCount) return false;
    corners[k] = static_cast<std::size_t>(index);
  }
  return true;
}

std::int64_t cellIndex(double value, double lo, double size, int cells) {
  const double c = std::floor((value - lo) / size);
  if (!(c > 0.0)) return 0;
  if (c >= static_cast<double>(cells - 1)) return cells - 1;
  return static_cast<std::int64_t>(c);
}

// Whether the +x ray from `p` may pass a boundary of the face (an edge or a corner) closely enough for the
// inside test to call the crossing ambiguous. Worked in double with a tolerance well above the float
// rounding of the ray test, so it errs only towards "maybe", which then takes the full test.
bool maybeOnBoundary(const pcl::PointXYZ& p, const pcl::PointXYZ& p0, const pcl::PointXYZ& p1,
                     const pcl::PointXYZ& p2) {
  const double e1y = double(p1.y) - p0.y, e1z = double(p1.z) - p0.z;
  const double e2y = double(p2.y) - p0.y, e2z = double(p2.z) - p0.z;
  const double a = e1z * e2y - e1y * e2z;
  const double aError = 1e-6 * (std::abs(e1z * e2y) + std::abs(e1y * e2z)) + 1e-12;
  if (std::abs(a) + aError < kParallel) return false;  // parallel to the ray: never hit at all
  const double sy = double(p.y) - p0.y, sz = double(p.z) - p0.z;
  const double u = (sz * e2y - sy * e2z) / a;
  const double v = (sy * e1z - sz * e1y) / a;
  const double w = 1.0 - u - v;
  const double scale = (std::abs(sy) + std::abs(sz) + 1e-30) *
                       (std::abs(e1y) + std::abs(e1z) + std::abs(e2y) + std::abs(e2z)) / std::abs(a);
  const double tol = 1e-6 + 1e-5 * scale;
  if (u < -tol || v < -tol || w < -tol) return false;  // clearly outside the face
  return u <= tol || v <= tol || w <= tol;
}

}  // namespace

MeshIndex::MeshIndex(const pcl::PolygonMesh& mesh) : mesh_(&mesh), vertices_(new PointCloudsDeal::Cloud) {
  pcl::fromPCLPointCloud2(mesh.cloud, *vertices_);
  const std::size_t vertexCount = vertices_->points.size();
  if (vertexCount > 0) tree_.setInputCloud(vertices_);

  // Valid faces, and for each vertex the valid faces that list it anywhere in their index list.
  std::vector<std::uint32_t> uses(vertexCount + 1, 0);
  for (std::size_t f = 0; f < mesh.polygons.size(); ++f) {
    std::size_t c[3];
    if (!faceCorners(mesh.polygons[f], vertexCount, c)) continue;
    validFaces_.push_back(static_cast<std::uint32_t>(f));
    for (const auto index : mesh.polygons[f].vertices) {
      if (index >= 0 && static_cast<std::size_t>(index) < vertexCount)
        ++uses[static_cast<std::size_t>(index) + 1];
    }
  }
  for (std::size_t v = 0; v < vertexCount; ++v) uses[v + 1] += uses[v];
  vertexStart_ = uses;
  faceOfVertex_.resize(uses.back());
  for (const std::uint32_t f : validFaces_) {
    for (const auto index : mesh.polygons[f].vertices) {
      if (index >= 0 && static_cast<std::size_t>(index) < vertexCount) {
        faceOfVertex_[uses[static_cast<std::size_t>(index)]++] = f;
      }
    }
  }

  // Box of the valid faces' corners.
  boxUsable_ = !validFaces_.empty();
  bool first = true;
  for (const std::uint32_t f : validFaces_) {
    std::size_t c[3];
    faceCorners(mesh.polygons[f], vertexCount, c);
    for (const std::size_t k : c) {
      const pcl::PointXYZ& p = vertices_->points[k];
      if (!isFinite(p)) boxUsable_ = false;
      const double v[3] = {p.x, p.y, p.z};
      for (int a = 0; a < 3; ++a) {
        boxLo_[a] = first ? v[a] : std::min(boxLo_[a], v[a]);
        boxHi_[a] = first ? v[a] : std::max(boxHi_[a], v[a]);
      }
      first = false;
    }
  }

  // Grid over the faces' padded y–z extents. A face with a non-finite corner may answer anything, so it
  // goes into every cell.
  if (validFaces_.empty()) return;
  struct Extent {
    double lo[2], hi[2];
    bool everywhere;
  };
  std::vector<Extent> extents(validFaces_.size());
  double gridHi[2] = {0, 0};
  bool anyFinite = false;
  for (std::size_t i = 0; i < validFaces_.size(); ++i) {
    std::size_t c[3];
    faceCorners(mesh.polygons[validFaces_[i]], vertexCount, c);
    Extent& e = extents[i];
    e.everywhere = false;
    double magnitude = 0.0;
    for (int a = 0; a < 2; ++a) {
      e.lo[a] = std::numeric_limits<double>::infinity();
      e.hi[a] = -std::numeric_limits<double>::infinity();
    }
    for (const std::size_t k : c) {
      const pcl::PointXYZ& p = vertices_->points[k];
      if (!isFinite(p)) e.everywhere = true;
      const double v[2] = {p.y, p.z};
      for (int a = 0; a < 2; ++a) {
        e.lo[a] = std::min(e.lo[a], v[a]);
        e.hi[a] = std::max(e.hi[a], v[a]);
        magnitude = std::max(magnitude, std::abs(v[a]));
      }
    }
    if (e.everywhere) continue;
    const double pad = kPad * (std::max(e.hi[0] - e.lo[0], e.hi[1] - e.lo[1]) + magnitude) + 1e-12;
    for (int a = 0; a < 2; ++a) {
      e.lo[a] -= pad;
      e.hi[a] += pad;
      gridLo_[a] = anyFinite ? std::min(gridLo_[a], e.lo[a]) : e.lo[a];
      gridHi[a] = anyFinite ? std::max(gridHi[a], e.hi[a]) : e.hi[a];
    }
    anyFinite = true;
  }
  const int side = std::clamp(
      static_cast<int>(std::ceil(std::sqrt(2.0 * static_cast<double>(validFaces_.size())))), 1, 1024);
  cellsY_ = side;
  cellsZ_ = side;
  for (int a = 0; a < 2; ++a) {
    const double extent = anyFinite ? gridHi[a] - gridLo_[a] : 0.0;
    cellSize_[a] = extent > 0.0 ? extent / side : 1.0;
  }
  const std::size_t cells = static_cast<std::size_t>(cellsY_) * static_cast<std::size_t>(cellsZ_);
  std::vector<std::uint32_t> count(cells + 1, 0);
  auto forEachCell = [&](const Extent& e, auto&& visit) {
    if (e.everywhere) {
      for (std::size_t c = 0; c < cells; ++c) visit(c);
      return;
    }
    const std::int64_t y0 = cellIndex(e.lo[0], gridLo_[0], cellSize_[0], cellsY_);
    const std::int64_t y1 = cellIndex(e.hi[0], gridLo_[0], cellSize_[0], cellsY_);
    const std::int64_t z0 = cellIndex(e.lo[1], gridLo_[1], cellSize_[1], cellsZ_);
    const std::int64_t z1 = cellIndex(e.hi[1], gridLo_[1], cellSize_[1], cellsZ_);
    for (std::int64_t z = z0; z <= z1; ++z) {
      for (std::int64_t y = y0; y <= y1; ++y) visit(static_cast<std::size_t>(z * cellsY_ + y));
    }
  };
  for (const Extent& e : extents) forEachCell(e, [&](std::size_t c) { ++count[c + 1]; });
  for (std::size_t c = 0; c < cells; ++c) count[c + 1] += count[c];
  cellStart_ = count;
  rayFaces_.resize(count.back());
  for (std::size_t i = 0; i < extents.size(); ++i) {
    forEachCell(extents[i], [&](std::size_t c) { rayFaces_[count[c]++] = validFaces_[i]; });
  }
  if (!anyFinite) {
    // Only faces that go everywhere: the grid spans all of (y, z).
    gridLo_[0] = gridLo_[1] = -std::numeric_limits<double>::infinity();
  }
  gridHi_[0] = anyFinite ? gridHi[0] : std::numeric_limits<double>::infinity();
  gridHi_[1] = anyFinite ? gridHi[1] : std::numeric_limits<double>::infinity();
}

int MeshIndex::insideAlongX(PointCloudsDeal& deal, const pcl::PointXYZ& point) const {
  if (cellStart_.empty()) return 0;
  const double y = point.y;
  const double z = point.z;
  std::size_t cell = 0;
  if (std::isfinite(gridLo_[0])) {
    if (y < gridLo_[0] || y > gridHi_[0] || z < gridLo_[1] || z > gridHi_[1]) return 0;
    cell = static_cast<std::size_t>(cellIndex(z, gridLo_[1], cellSize_[1], cellsZ_) * cellsY_ +
                                    cellIndex(y, gridLo_[0], cellSize_[0], cellsY_));
  }
  const pcl::PointXYZ direction(1.0f, 0.0f, 0.0f);
  const std::size_t vertexCount = vertices_->points.size();
  int hits = 0;
  for (std::uint32_t i = cellStart_[cell]; i < cellStart_[cell + 1]; ++i) {
    const pcl::Vertices& face = mesh_->polygons[rayFaces_[i]];
    std::size_t c[3];
    faceCorners(face, vertexCount, c);
    const auto& v = vertices_->points;
    if (!isFinite(v[c[0]]) || !isFinite(v[c[1]]) || !isFinite(v[c[2]]) ||
        maybeOnBoundary(point, v[c[0]], v[c[1]], v[c[2]])) {
      return -1;
    }
    pcl::PointXYZ hit;
    if (deal.rayIntersectsTriangle(vertices_, point, direction, face, hit)) ++hits;
  }
  return hits % 2;
}

bool MeshIndex::nearFaces(PointCloudsDeal& deal, const pcl::PointXYZ& point) const {
  if (vertices_->points.size() < 3 || validFaces_.empty()) return false;
  if (boxUsable_) {
    // Every face lies in the box, so a point this far from it is near none of them.
    const double q[3] = {point.x, point.y, point.z};
    double gap2 = 0.0;
    for (int a = 0; a < 3; ++a) {
      const double gap = q[a] < boxLo_[a] ? boxLo_[a] - q[a] : (q[a] > boxHi_[a] ? q[a] - boxHi_[a] : 0.0);
      gap2 += gap * gap;
    }
    const double limit = kNearFace * (1.0 + 1e-9);
    if (gap2 > limit * limit) return false;
  }
  pcl::Indices nearest(1);
  std::vector<float> squared(1);
  if (tree_.nearestKSearch(point, 1, nearest, squared) < 1) return false;
  const std::size_t v = static_cast<std::size_t>(nearest[0]);
  if (v >= vertices_->points.size()) return false;
  double dist = std::numeric_limits<double>::max();
  for (std::uint32_t i = vertexStart_[v]; i < vertexStart_[v + 1]; ++i) {
    double faceDist = std::numeric_limits<double>::max();
    if (deal.calMinDistToTriangle(vertices_, point, mesh_->polygons[faceOfVertex_[i]], faceDist) == 0 &&
        dist > faceDist) {
      dist = faceDist;
    }
  }
  return dist < kNearFace;
}

bool MeshIndex::claims(PointCloudsDeal& deal, const pcl::PointXYZ& point) const {
  int inside = insideAlongX(deal, point);
  if (inside < 0) inside = deal.isPointInsideMesh(point, vertices_, mesh_->polygons) ? 1 : 0;
  return inside == 1 || nearFaces(deal, point);
}

bool claimedByMeshes(PointCloudsDeal& deal, const std::vector<MeshIndex>& indexes,
                     std::vector<pcl::PolygonMesh>& meshes, const pcl::PointXYZ& point) {
  // Non-finite points are rare and every primitive treats them in its own way: ask the full test.
  if (!isFinite(point)) return deal.isPointInsideMeshs(point, meshes);
  for (const MeshIndex& index : indexes) {
    if (index.claims(deal, point)) return true;
  }
  return false;
}

}  // namespace detail
}  // namespace nimbrel_arm_util
