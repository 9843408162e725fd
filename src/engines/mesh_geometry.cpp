// Triangle geometry shared by the mesh queries and the mesh removal.
#include "engines/mesh_geometry.hpp"

#include <pcl/common/io.h>
#include <pcl/conversions.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "engines/point_helpers.hpp"

namespace nimbrel_arm_util {
namespace detail {
namespace {

// Products of the ray test are written out so that their evaluation order is fixed: every caller of the
// ray test must see bit-identical values.
inline Eigen::Vector3f crossF(const Eigen::Vector3f& a, const Eigen::Vector3f& b) {
  return Eigen::Vector3f(a.y() * b.z() - a.z() * b.y(), a.z() * b.x() - a.x() * b.z(),
                         a.x() * b.y() - a.y() * b.x());
}

inline double dotF(const Eigen::Vector3f& a, const Eigen::Vector3f& b) {
  const float d = a.x() * b.x() + a.y() * b.y() + a.z() * b.z();
  return static_cast<double>(d);
}

inline Eigen::Vector3f toVector(const pcl::PointXYZ& p) { return Eigen::Vector3f(p.x, p.y, p.z); }

// Fallback ray directions for ambiguous +x counts: unit length (so the parallel bound means the same as for
// +x) and parallel to no axis or coordinate plane, so that they do not run along the edges and diagonals
// of axis-aligned meshes.
const Eigen::Vector3f kFallbackDirections[2] = {
    Eigen::Vector3f(0.72651740f, 0.54843176f, 0.41399889f),
    Eigen::Vector3f(-0.41399889f, 0.72651740f, -0.54843176f),
};

struct RayCount {
  std::vector<RayHit> hits;
  bool ambiguous = false;
};

// Counts the hits of one ray over the listed faces whose padded box it meets. With `filtered`, the list
// holds only valid faces with finite corners whose padded box the ray meets, and the checks are not
// repeated.
RayCount countAlong(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                    const std::vector<std::uint32_t>& faces, const Eigen::Vector3f& origin,
                    const Eigen::Vector3f& direction, bool filtered) {
  RayCount count;
  for (const std::uint32_t f : faces) {
    if (filtered) {
      const auto& c = polygons[f].vertices;
      const RayTriangleHit r = intersectRayCorners(
          vertices.points[static_cast<std::size_t>(c[0])], vertices.points[static_cast<std::size_t>(c[1])],
          vertices.points[static_cast<std::size_t>(c[2])], origin, direction, ParallelBound::kRelative);
      if (r.hit) count.hits.push_back(RayHit{f, r.exits});
      count.ambiguous = count.ambiguous || r.onBoundary;
      continue;
    }
    double lo[3], hi[3];
    if (f >= polygons.size() || !paddedBox(vertices, polygons[f], lo, hi) ||
        !rayMeetsBox(origin, direction, lo, hi)) {
      continue;
    }
    const RayTriangleHit r = intersectRay(vertices, polygons[f], origin, direction, ParallelBound::kRelative);
    if (r.hit) count.hits.push_back(RayHit{f, r.exits});
    count.ambiguous = count.ambiguous || r.onBoundary;
  }
  return count;
}

// Counts the +x hit of one face if its padded y–z extent contains the origin's (y, z).
void countXFace(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons, std::uint32_t f,
                const Eigen::Vector3f& origin, RayCount& count) {
  double yMin, yMax, zMin, zMax;
  if (!paddedYZExtent(vertices, polygons[f], yMin, yMax, zMin, zMax)) {
    return;
  }
  const double y = origin.y();
  const double z = origin.z();
  if (!(y >= yMin && y <= yMax && z >= zMin && z <= zMax)) {
    return;
  }
  const RayTriangleHit r =
      intersectRay(vertices, polygons[f], origin, Eigen::Vector3f::UnitX(), ParallelBound::kRelative);
  if (r.hit) count.hits.push_back(RayHit{f, r.exits});
  count.ambiguous = count.ambiguous || r.onBoundary;
}

// Decides from the +x count, falling back to the other directions when it is ambiguous. `candidates`
// lists the faces a ray along a direction may meet (`filtered`: as countAlong takes them).
bool decide(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons, const MeshParts& parts,
            const pcl::PointXYZ& point, RayCount& xCount, const RayCandidates& candidates,
            bool filtered = false) {
  if (!xCount.ambiguous) {
    return insideByRay(vertices, parts, point, Eigen::Vector3f::UnitX(), xCount.hits);
  }
  const Eigen::Vector3f origin(point.x, point.y, point.z);
  std::vector<std::uint32_t> faces;
  for (const Eigen::Vector3f& direction : kFallbackDirections) {
    faces.clear();
    candidates(origin, direction, faces);
    RayCount count = countAlong(vertices, polygons, faces, origin, direction, filtered);
    if (!count.ambiguous) {
      return insideByRay(vertices, parts, point, direction, count.hits);
    }
  }
  return insideByRay(vertices, parts, point, Eigen::Vector3f::UnitX(), xCount.hits);
}

bool inBox(const MeshParts::Part& part, const pcl::PointXYZ& point) {
  for (int a = 0; a < 3; ++a) {
    const double c = point.data[a];
    if (!(c >= part.lo[a] && c <= part.hi[a])) return false;
  }
  return true;
}

// Solid angle of the spherical triangle of unit vectors x, y, z, signed by their orientation.
double solidAngle(const Eigen::Vector3d& x, const Eigen::Vector3d& y, const Eigen::Vector3d& z) {
  return 2.0 * std::atan2(x.dot(y.cross(z)), 1.0 + x.dot(y) + y.dot(z) + z.dot(x));
}

// Every polygon as a candidate of every ray.
RayCandidates everyFace(const std::vector<pcl::Vertices>& polygons) {
  return [&polygons](const Eigen::Vector3f&, const Eigen::Vector3f&, std::vector<std::uint32_t>& faces) {
    for (std::size_t f = 0; f < polygons.size(); ++f) faces.push_back(static_cast<std::uint32_t>(f));
  };
}

// Union–find with path halving.
std::uint32_t findRoot(std::vector<std::uint32_t>& parent, std::uint32_t v) {
  while (parent[v] != v) {
    parent[v] = parent[parent[v]];
    v = parent[v];
  }
  return v;
}

double pointSegmentDistance(const Eigen::Vector3d& p, const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  const Eigen::Vector3d d = b - a;
  const double dd = d.squaredNorm();
  if (!(dd > 0.0)) {
    return (p - a).norm();
  }
  const double s = std::clamp((p - a).dot(d) / dd, 0.0, 1.0);
  return (a + s * d - p).norm();
}

// True when every byte that the conversion of `cloud` reads lies inside its data.
bool vertexDataFits(const pcl::PCLPointCloud2& cloud) {
  const std::uint64_t recordBytes = static_cast<std::uint64_t>(cloud.width) * cloud.point_step;
  if (cloud.row_step < recordBytes) return false;
  if (cloud.data.size() != static_cast<std::uint64_t>(cloud.height) * cloud.row_step) return false;
  for (const pcl::PCLPointField& field : cloud.fields) {
    if (field.name != "x" && field.name != "y" && field.name != "z") continue;
    const std::uint64_t count = field.count > 0 ? field.count : 1;
    const std::uint64_t bytes = static_cast<std::uint64_t>(pcl::getFieldSize(field.datatype)) * count;
    if (field.offset + bytes > cloud.point_step) return false;
  }
  return true;
}

}  // namespace

void readVertices(const pcl::PolygonMesh& mesh, VertexCloud& vertices) {
  if (!vertexDataFits(mesh.cloud)) {
    vertices.clear();
    return;
  }
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
}

bool isValidFace(const pcl::Vertices& face, std::size_t vertexCount) {
  if (face.vertices.size() < 3) {
    return false;
  }
  for (std::size_t i = 0; i < 3; ++i) {
    const auto index = face.vertices[i];
    if (index < 0 || static_cast<std::size_t>(index) >= vertexCount) {
      return false;
    }
  }
  return true;
}

RayTriangleHit intersectRay(const VertexCloud& vertices, const pcl::Vertices& face,
                            const Eigen::Vector3f& origin, const Eigen::Vector3f& direction,
                            ParallelBound bound) {
  RayTriangleHit result;
  if (!isValidFace(face, vertices.points.size())) {
    return result;
  }
  const pcl::PointXYZ& q0 = vertices.points[static_cast<std::size_t>(face.vertices[0])];
  const pcl::PointXYZ& q1 = vertices.points[static_cast<std::size_t>(face.vertices[1])];
  const pcl::PointXYZ& q2 = vertices.points[static_cast<std::size_t>(face.vertices[2])];
  if (!isFinitePoint(q0) || !isFinitePoint(q1) || !isFinitePoint(q2)) {
    return result;
  }
  return intersectRayCorners(q0, q1, q2, origin, direction, bound);
}

RayTriangleHit intersectRayCorners(const pcl::PointXYZ& q0, const pcl::PointXYZ& q1, const pcl::PointXYZ& q2,
                                   const Eigen::Vector3f& origin, const Eigen::Vector3f& direction,
                                   ParallelBound bound) {
  RayTriangleHit result;
  const Eigen::Vector3f p0 = toVector(q0);
  const Eigen::Vector3f e1 = toVector(q1) - p0;
  const Eigen::Vector3f e2 = toVector(q2) - p0;
  const Eigen::Vector3f h = crossF(direction, e2);
  const double a = dotF(e1, h);
  bool grazing = false;
  if (bound == ParallelBound::kAbsolute) {
    if (a > -kRayEpsilon && a < kRayEpsilon) {
      return result;
    }
  } else {
    // Exactly parallel faces (every face of an axis-aligned box along an axis ray) meet the ray nowhere.
    if (a == 0.0) {
      return result;
    }
    const double scale2 = static_cast<double>(direction.squaredNorm()) *
                          static_cast<double>(e1.squaredNorm()) * static_cast<double>(e2.squaredNorm());
    grazing = a * a < kParallelRatio * kParallelRatio * scale2;
  }
  const double f = 1.0 / a;
  const Eigen::Vector3f s = origin - p0;
  const double u = f * dotF(s, h);
  const Eigen::Vector3f q = crossF(s, e1);
  const double v = f * dotF(direction, q);
  const double t = f * dotF(e2, q);
  // Meetings at or behind the origin count for nothing, not even as ambiguous.
  if (!(t > kRayEpsilon)) {
    return result;
  }
  result.t = t;
  const double w = 1.0 - (u + v);
  const double lowest = std::min(u, std::min(v, w));
  if (grazing) {
    // Rounding dominates u, v and t here: neither a hit nor a miss can be trusted near the face.
    result.onBoundary = lowest >= -kGrazingTolerance;
    return result;
  }
  result.hit = u >= 0.0 && u <= 1.0 && v >= 0.0 && u + v <= 1.0;
  result.exits = a < 0.0;
  result.onBoundary = lowest >= -kBoundaryTolerance && lowest <= kBoundaryTolerance;
  return result;
}

bool parallelToX(const VertexCloud& vertices, const pcl::Vertices& face) {
  const pcl::PointXYZ& q0 = vertices.points[static_cast<std::size_t>(face.vertices[0])];
  const pcl::PointXYZ& q1 = vertices.points[static_cast<std::size_t>(face.vertices[1])];
  const pcl::PointXYZ& q2 = vertices.points[static_cast<std::size_t>(face.vertices[2])];
  // Along +x the ray test's h = (0, -e2.z, e2.y) exactly, so a = e1.x * 0 - e1.y * e2.z + e1.z * e2.y: a
  // sum of zeros when each product has a zero factor, and the test returns before anything else.
  const bool first = q1.y == q0.y || q2.z == q0.z;   // e1.y * e2.z == 0
  const bool second = q1.z == q0.z || q2.y == q0.y;  // e1.z * e2.y == 0
  return first && second;
}

bool paddedYZExtent(const VertexCloud& vertices, const pcl::Vertices& face, double& yMin, double& yMax,
                    double& zMin, double& zMax) {
  if (!isValidFace(face, vertices.points.size())) {
    return false;
  }
  double ys[3], zs[3];
  for (std::size_t i = 0; i < 3; ++i) {
    const pcl::PointXYZ& p = vertices.points[static_cast<std::size_t>(face.vertices[i])];
    if (!isFinitePoint(p)) {
      return false;
    }
    ys[i] = p.y;
    zs[i] = p.z;
  }
  const double y0 = std::min({ys[0], ys[1], ys[2]});
  const double y1 = std::max({ys[0], ys[1], ys[2]});
  const double z0 = std::min({zs[0], zs[1], zs[2]});
  const double z1 = std::max({zs[0], zs[1], zs[2]});
  const double magnitude = std::max({std::abs(y0), std::abs(y1), std::abs(z0), std::abs(z1)});
  const double pad = 1e-4 * ((y1 - y0) + (z1 - z0) + magnitude);
  yMin = y0 - pad;
  yMax = y1 + pad;
  zMin = z0 - pad;
  zMax = z1 + pad;
  return true;
}

bool paddedBox(const VertexCloud& vertices, const pcl::Vertices& face, double lo[3], double hi[3]) {
  if (!isValidFace(face, vertices.points.size())) {
    return false;
  }
  double size = 0.0, magnitude = 0.0;
  for (int a = 0; a < 3; ++a) {
    double c[3];
    for (std::size_t k = 0; k < 3; ++k) {
      c[k] = vertices.points[static_cast<std::size_t>(face.vertices[k])].data[a];
    }
    lo[a] = std::min({c[0], c[1], c[2]});
    hi[a] = std::max({c[0], c[1], c[2]});
    if (!std::isfinite(lo[a]) || !std::isfinite(hi[a])) return false;
    size += hi[a] - lo[a];
    magnitude = std::max({magnitude, std::abs(lo[a]), std::abs(hi[a])});
  }
  const double pad = 1e-4 * (size + magnitude);
  for (int a = 0; a < 3; ++a) {
    lo[a] -= pad;
    hi[a] += pad;
  }
  return true;
}

bool rayMeetsBox(const Eigen::Vector3f& origin, const Eigen::Vector3f& direction, const double lo[3],
                 const double hi[3]) {
  double near = 0.0;
  double far = std::numeric_limits<double>::infinity();
  for (int a = 0; a < 3; ++a) {
    const double o = origin[a];
    const double d = direction[a];
    if (d == 0.0) {
      if (!(o >= lo[a] && o <= hi[a])) return false;
      continue;
    }
    double t0 = (lo[a] - o) / d;
    double t1 = (hi[a] - o) / d;
    if (t0 > t1) std::swap(t0, t1);
    near = std::max(near, t0);
    far = std::min(far, t1);
  }
  return near <= far;
}

std::vector<std::uint32_t> weldedCorners(const VertexCloud& vertices) {
  // Order the finite vertices by position and give every run of equal positions the id of its first vertex.
  const std::size_t vertexCount = vertices.points.size();
  std::vector<std::uint32_t> order;
  order.reserve(vertexCount);
  for (std::size_t v = 0; v < vertexCount; ++v) {
    if (isFinitePoint(vertices.points[v])) order.push_back(static_cast<std::uint32_t>(v));
  }
  const auto less = [&vertices](std::uint32_t l, std::uint32_t r) {
    const pcl::PointXYZ& a = vertices.points[l];
    const pcl::PointXYZ& b = vertices.points[r];
    if (a.x != b.x) return a.x < b.x;
    if (a.y != b.y) return a.y < b.y;
    return a.z < b.z;
  };
  std::sort(order.begin(), order.end(), less);
  std::vector<std::uint32_t> id(vertexCount);
  for (std::size_t v = 0; v < vertexCount; ++v) id[v] = static_cast<std::uint32_t>(v);
  for (std::size_t i = 1; i < order.size(); ++i) {
    // Equal positions compare equal both ways (0.0 and -0.0 included): the same point.
    if (!less(order[i - 1], order[i])) id[order[i]] = id[order[i - 1]];
  }
  return id;
}

std::vector<FaceEdge> faceEdges(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                                const std::vector<std::uint32_t>& corner) {
  // Gathered face by face, then placed by lo with a counting sort (faces stay in increasing order within
  // each lo) and ordered by hi within each lo: the order of a sort by (lo, hi, face) in linear time but for
  // the few edges that share a corner.
  std::vector<FaceEdge> edges;
  edges.reserve(3 * polygons.size());
  for (std::size_t f = 0; f < polygons.size(); ++f) {
    const pcl::Vertices& face = polygons[f];
    if (!isValidFace(face, vertices.points.size())) continue;
    std::uint32_t c[3];
    bool finite = true;
    for (std::size_t k = 0; k < 3; ++k) {
      c[k] = corner[static_cast<std::size_t>(face.vertices[k])];
      finite = finite && isFinitePoint(vertices.points[c[k]]);
    }
    if (!finite) continue;
    for (std::size_t k = 0; k < 3; ++k) {
      const std::uint32_t a = c[k];
      const std::uint32_t b = c[(k + 1) % 3];
      edges.push_back(FaceEdge{std::min(a, b), std::max(a, b), static_cast<std::uint32_t>(f), a < b});
    }
  }
  std::vector<std::uint32_t> start(vertices.points.size() + 1, 0);
  for (const FaceEdge& e : edges) ++start[e.lo + 1];
  for (std::size_t v = 0; v + 1 < start.size(); ++v) start[v + 1] += start[v];
  std::vector<FaceEdge> sorted(edges.size());
  {
    std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
    for (const FaceEdge& e : edges) sorted[next[e.lo]++] = e;
  }
  // Within one lo the faces are increasing; a stable sort by hi keeps them so.
  const auto byHi = [](const FaceEdge& l, const FaceEdge& r) { return l.hi < r.hi; };
  for (std::size_t v = 0; v + 1 < start.size(); ++v) {
    if (start[v + 1] - start[v] > 1) {
      std::stable_sort(sorted.begin() + start[v], sorted.begin() + start[v + 1], byHi);
    }
  }
  return sorted;
}

MeshParts meshParts(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons) {
  const std::vector<FaceEdge> edges = faceEdges(vertices, polygons, weldedCorners(vertices));
  // Faces join through an edge that exactly two faces share: a surface that goes on across it. Bodies
  // that meet at a corner, or along an edge of four faces, stay apart.
  std::vector<std::uint32_t> parent(polygons.size());
  for (std::size_t f = 0; f < polygons.size(); ++f) parent[f] = static_cast<std::uint32_t>(f);
  std::vector<bool> usable(polygons.size(), false);
  for (std::size_t i = 0; i < edges.size();) {
    std::size_t j = i;
    while (j < edges.size() && edges[j].lo == edges[i].lo && edges[j].hi == edges[i].hi) {
      usable[edges[j].face] = true;
      ++j;
    }
    if (j - i == 2) {
      const std::uint32_t r0 = findRoot(parent, edges[i].face);
      const std::uint32_t r1 = findRoot(parent, edges[i + 1].face);
      if (r0 != r1) parent[std::max(r0, r1)] = std::min(r0, r1);
    }
    i = j;
  }
  MeshParts result;
  result.labels.assign(polygons.size(), kNoPart);
  for (std::size_t f = 0; f < polygons.size(); ++f) {
    if (!usable[f]) continue;
    const std::uint32_t root = findRoot(parent, static_cast<std::uint32_t>(f));
    if (result.labels[root] == kNoPart) {
      result.labels[root] = static_cast<std::uint32_t>(result.parts.size());
      MeshParts::Part part;
      for (int a = 0; a < 3; ++a) {
        part.lo[a] = std::numeric_limits<double>::infinity();
        part.hi[a] = -part.lo[a];
      }
      result.parts.push_back(part);
    }
    result.labels[f] = result.labels[root];
    MeshParts::Part& part = result.parts[result.labels[f]];
    for (std::size_t k = 0; k < 3; ++k) {
      const pcl::PointXYZ& p = vertices.points[static_cast<std::size_t>(polygons[f].vertices[k])];
      for (int a = 0; a < 3; ++a) {
        part.lo[a] = std::min(part.lo[a], static_cast<double>(p.data[a]));
        part.hi[a] = std::max(part.hi[a], static_cast<double>(p.data[a]));
      }
    }
  }
  // A part is closed when each of its edges is shared by exactly two of its faces. The boundary of an
  // open part is what its faces' edges leave when opposite runs cancel: an edge run k more times one way
  // than the other is a boundary edge k times, in the direction of the majority.
  std::vector<std::vector<std::uint32_t>> boundary(result.parts.size());
  std::vector<std::uint32_t> partsHere;  // the parts of the faces around one edge
  for (std::size_t i = 0; i < edges.size();) {
    std::size_t j = i;
    while (j < edges.size() && edges[j].lo == edges[i].lo && edges[j].hi == edges[i].hi) ++j;
    partsHere.clear();
    for (std::size_t e = i; e < j; ++e) partsHere.push_back(result.labels[edges[e].face]);
    std::sort(partsHere.begin(), partsHere.end());
    partsHere.erase(std::unique(partsHere.begin(), partsHere.end()), partsHere.end());
    for (const std::uint32_t part : partsHere) {
      int faces = 0, net = 0;
      for (std::size_t e = i; e < j; ++e) {
        if (result.labels[edges[e].face] != part) continue;
        ++faces;
        net += edges[e].forward ? 1 : -1;
      }
      if (faces != 2) result.parts[part].closed = false;
      for (int k = 0; k < std::abs(net); ++k) {
        boundary[part].push_back(net > 0 ? edges[i].lo : edges[i].hi);
        boundary[part].push_back(net > 0 ? edges[i].hi : edges[i].lo);
      }
    }
    i = j;
  }
  for (std::size_t p = 0; p < result.parts.size(); ++p) {
    MeshParts::Part& part = result.parts[p];
    if (part.closed) continue;
    result.openParts.push_back(static_cast<std::uint32_t>(p));
    part.boundaryFirst = static_cast<std::uint32_t>(result.boundary.size() / 2);
    part.boundaryCount = static_cast<std::uint32_t>(boundary[p].size() / 2);
    result.boundary.insert(result.boundary.end(), boundary[p].begin(), boundary[p].end());
    std::vector<std::uint32_t> corners = boundary[p];
    std::sort(corners.begin(), corners.end());
    corners.erase(std::unique(corners.begin(), corners.end()), corners.end());
    part.cornerFirst = static_cast<std::uint32_t>(result.boundaryCorners.size());
    part.cornerCount = static_cast<std::uint32_t>(corners.size());
    for (const std::uint32_t v : boundary[p]) {
      const auto at = std::lower_bound(corners.begin(), corners.end(), v) - corners.begin();
      result.boundaryEnds.push_back(part.cornerFirst + static_cast<std::uint32_t>(at));
    }
    result.boundaryCorners.insert(result.boundaryCorners.end(), corners.begin(), corners.end());
  }
  return result;
}

double boundaryWinding(const VertexCloud& vertices, const MeshParts& parts, const MeshParts::Part& part,
                       const pcl::PointXYZ& point, const Eigen::Vector3f& direction) {
  const Eigen::Vector3d p(point.x, point.y, point.z);
  const Eigen::Vector3d back = -direction.cast<double>().normalized();
  // The unit direction to every boundary vertex, once: each vertex ends two or more edges.
  struct Unit {
    Eigen::Vector3d u;
    bool valid;
  };
  thread_local std::vector<Unit> units;
  units.resize(part.cornerCount);
  for (std::uint32_t c = 0; c < part.cornerCount; ++c) {
    const pcl::PointXYZ& q = vertices.points[parts.boundaryCorners[part.cornerFirst + c]];
    const Eigen::Vector3d a = Eigen::Vector3d(q.x, q.y, q.z) - p;
    const double na = a.norm();
    // A point on the boundary itself has no winding number; the edges at that vertex add nothing.
    units[c].valid = na > 0.0;
    if (units[c].valid) units[c].u = a / na;
  }
  double sum = 0.0;
  for (std::uint32_t e = 0; e < part.boundaryCount; ++e) {
    const std::size_t at = 2 * static_cast<std::size_t>(part.boundaryFirst + e);
    const Unit& a = units[parts.boundaryEnds[at] - part.cornerFirst];
    const Unit& b = units[parts.boundaryEnds[at + 1] - part.cornerFirst];
    if (!a.valid || !b.valid) continue;
    sum += solidAngle(a.u, b.u, back);
  }
  return sum / (4.0 * M_PI);
}

bool insideByRay(const VertexCloud& vertices, const MeshParts& parts, const pcl::PointXYZ& point,
                 const Eigen::Vector3f& direction, std::vector<RayHit>& hits) {
  if (hits.empty() && parts.openParts.empty()) return false;
  const auto label = [&parts](const RayHit& h) { return parts.labels[h.face]; };
  if (hits.size() == 1 && parts.openParts.empty()) return inBox(parts.parts[label(hits[0])], point);
  std::sort(hits.begin(), hits.end(), [&](const RayHit& l, const RayHit& r) { return label(l) < label(r); });
  // Closed parts: an odd number of crossings.
  for (std::size_t i = 0; i < hits.size();) {
    std::size_t j = i;
    while (j < hits.size() && label(hits[j]) == label(hits[i])) ++j;
    const MeshParts::Part& part = parts.parts[label(hits[i])];
    if (part.closed && (j - i) % 2 == 1 && inBox(part, point)) return true;
    i = j;
  }
  // Open parts: the generalized winding number, that is the crossings counted with their sense (leaving
  // through a face's front counts +1) plus the solid angles, seen from the point, of the strips that run
  // from each boundary edge to infinity against the ray: those strips close the part without meeting the
  // ray, and a closed surface's winding number is its signed crossing count. Its magnitude decides: a part
  // wound clockwise seen from outside has the same number with the opposite sign, and files wind either
  // way.
  for (const std::uint32_t p : parts.openParts) {
    const MeshParts::Part& part = parts.parts[p];
    if (!inBox(part, point)) continue;
    const auto first = std::lower_bound(hits.begin(), hits.end(), p,
                                        [&](const RayHit& h, std::uint32_t v) { return label(h) < v; });
    int crossings = 0;
    for (auto it = first; it != hits.end() && label(*it) == p; ++it) crossings += it->exits ? 1 : -1;
    if (std::abs(crossings + boundaryWinding(vertices, parts, part, point, direction)) >= 0.5) return true;
  }
  return false;
}

bool isInsideMesh(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                  const pcl::PointXYZ& point) {
  if (polygons.empty()) {
    return false;
  }
  // Outside the box of every finite vertex the point is outside every part's box; the parts need not be
  // worked out.
  double lo[3], hi[3];
  bool any = false;
  for (const pcl::PointXYZ& v : vertices.points) {
    if (!isFinitePoint(v)) continue;
    for (int a = 0; a < 3; ++a) {
      lo[a] = any ? std::min(lo[a], static_cast<double>(v.data[a])) : v.data[a];
      hi[a] = any ? std::max(hi[a], static_cast<double>(v.data[a])) : v.data[a];
    }
    any = true;
  }
  if (!any) return false;
  for (int a = 0; a < 3; ++a) {
    if (!(point.data[a] >= lo[a] && point.data[a] <= hi[a])) return false;
  }
  const MeshParts parts = meshParts(vertices, polygons);
  const Eigen::Vector3f origin = toVector(point);
  RayCount xCount;
  for (std::size_t f = 0; f < polygons.size(); ++f) {
    countXFace(vertices, polygons, static_cast<std::uint32_t>(f), origin, xCount);
  }
  return decide(vertices, polygons, parts, point, xCount, everyFace(polygons));
}

bool isInsideMesh(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                  const MeshParts& parts, const pcl::PointXYZ& point, const std::uint32_t* xCandidatesFirst,
                  const std::uint32_t* xCandidatesLast, const RayCandidates& candidates) {
  if (polygons.empty()) {
    return false;
  }
  const Eigen::Vector3f origin = toVector(point);
  RayCount xCount;
  for (const std::uint32_t* it = xCandidatesFirst; it != xCandidatesLast; ++it) {
    if (*it < polygons.size()) {
      countXFace(vertices, polygons, *it, origin, xCount);
    }
  }
  return decide(vertices, polygons, parts, point, xCount, candidates ? candidates : everyFace(polygons));
}

bool insideAfterAmbiguousX(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                           const MeshParts& parts, const pcl::PointXYZ& point, std::vector<RayHit>& xHits,
                           const RayCandidates& candidates) {
  RayCount xCount;
  xCount.hits.swap(xHits);
  xCount.ambiguous = true;
  const bool result = decide(vertices, polygons, parts, point, xCount, candidates, true);
  xHits.swap(xCount.hits);
  return result;
}

double pointTriangleDistance(const Eigen::Vector3d& p, const Eigen::Vector3d& a, const Eigen::Vector3d& b,
                             const Eigen::Vector3d& c) {
  const Eigen::Vector3d n = (b - a).cross(c - a);
  const double nn = n.squaredNorm();
  if (nn > 0.0) {
    // The foot of the perpendicular lies in the triangle when p is on the inner side of all three edges.
    const bool inside = n.dot((b - a).cross(p - a)) >= 0.0 && n.dot((c - b).cross(p - b)) >= 0.0 &&
                        n.dot((a - c).cross(p - c)) >= 0.0;
    if (inside) {
      return std::abs(n.dot(p - a)) / std::sqrt(nn);
    }
  }
  // Outside the area (or a degenerate triangle): the nearest point lies on an edge; for collinear corners
  // the three edges together are the longest segment.
  return std::min(
      {pointSegmentDistance(p, a, b), pointSegmentDistance(p, b, c), pointSegmentDistance(p, c, a)});
}

double segmentSegmentDistance(const Eigen::Vector3d& p0, const Eigen::Vector3d& p1, const Eigen::Vector3d& q0,
                              const Eigen::Vector3d& q1) {
  const Eigen::Vector3d d1 = p1 - p0;
  const Eigen::Vector3d d2 = q1 - q0;
  const Eigen::Vector3d r = p0 - q0;
  const double a = d1.squaredNorm();
  const double e = d2.squaredNorm();
  if (!(a > 0.0)) return pointSegmentDistance(p0, q0, q1);
  if (!(e > 0.0)) return pointSegmentDistance(q0, p0, p1);
  const double b = d1.dot(d2);
  const double c = d1.dot(r);
  const double f = d2.dot(r);
  const double denom = a * e - b * b;
  // Parallel segments (denom 0) take any s, here 0; the clamps below then find the nearest pair.
  double s = denom > 0.0 ? std::clamp((b * f - c * e) / denom, 0.0, 1.0) : 0.0;
  double t = (b * s + f) / e;
  if (t < 0.0) {
    t = 0.0;
    s = std::clamp(-c / a, 0.0, 1.0);
  } else if (t > 1.0) {
    t = 1.0;
    s = std::clamp((b - c) / a, 0.0, 1.0);
  }
  // Both ends checked as points too: the clamped pair is the nearest in exact arithmetic, and the ends
  // guard the rounding of nearly parallel segments.
  return std::min({(p0 + s * d1 - (q0 + t * d2)).norm(), pointSegmentDistance(p0, q0, q1),
                   pointSegmentDistance(p1, q0, q1), pointSegmentDistance(q0, p0, p1),
                   pointSegmentDistance(q1, p0, p1)});
}

double segmentTriangleDistance(const Eigen::Vector3d& p0, const Eigen::Vector3d& p1, const Eigen::Vector3d& a,
                               const Eigen::Vector3d& b, const Eigen::Vector3d& c) {
  // Does the segment pass through the triangle? Signed volumes: the ends on opposite sides of (or on) the
  // plane, and the segment's line on the inner side of (or on) all three edges.
  const Eigen::Vector3d n = (b - a).cross(c - a);
  const double s0 = n.dot(p0 - a);
  const double s1 = n.dot(p1 - a);
  if (n.squaredNorm() > 0.0 && ((s0 <= 0.0 && s1 >= 0.0) || (s0 >= 0.0 && s1 <= 0.0)) && s0 != s1) {
    const Eigen::Vector3d d = p1 - p0;
    const double u = d.dot((b - p0).cross(c - p0));
    const double v = d.dot((c - p0).cross(a - p0));
    const double w = d.dot((a - p0).cross(b - p0));
    if ((u >= 0.0 && v >= 0.0 && w >= 0.0) || (u <= 0.0 && v <= 0.0 && w <= 0.0)) return 0.0;
  }
  // Otherwise the nearest pair has a point on the segment's ends or on the triangle's edges.
  return std::min({pointTriangleDistance(p0, a, b, c), pointTriangleDistance(p1, a, b, c),
                   segmentSegmentDistance(p0, p1, a, b), segmentSegmentDistance(p0, p1, b, c),
                   segmentSegmentDistance(p0, p1, c, a)});
}

double faceDistance(const VertexCloud& vertices, const pcl::Vertices& face, const pcl::PointXYZ& point) {
  if (!isValidFace(face, vertices.points.size())) {
    return -1.0;
  }
  return pointTriangleDistance(widen(point),
                               widen(vertices.points[static_cast<std::size_t>(face.vertices[0])]),
                               widen(vertices.points[static_cast<std::size_t>(face.vertices[1])]),
                               widen(vertices.points[static_cast<std::size_t>(face.vertices[2])]));
}

double nearestFaceDistance(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                           const pcl::PointXYZ& point) {
  double best = std::numeric_limits<double>::max();
  const double q[3] = {point.x, point.y, point.z};
  for (const pcl::Vertices& face : polygons) {
    if (!isValidFace(face, vertices.points.size())) {
      continue;
    }
    // A face whose corners' box lies farther than the best distance so far cannot lower it (the slack
    // covers rounding many times over); the box costs far less than the distance itself.
    double gap2 = 0.0;
    for (int a = 0; a < 3; ++a) {
      double lo = std::numeric_limits<double>::infinity();
      double hi = -lo;
      for (std::size_t k = 0; k < 3; ++k) {
        const double c = vertices.points[static_cast<std::size_t>(face.vertices[k])].data[a];
        lo = std::min(lo, c);
        hi = std::max(hi, c);
      }
      const double gap = q[a] < lo ? lo - q[a] : (q[a] > hi ? q[a] - hi : 0.0);
      gap2 += gap * gap;
    }
    const double limit = best * (1.0 + 1e-9);
    if (gap2 > limit * limit) {
      continue;
    }
    const double d = faceDistance(vertices, face, point);
    if (best > d) {
      best = d;
    }
  }
  return best;
}

}  // namespace detail
}  // namespace nimbrel_arm_util
