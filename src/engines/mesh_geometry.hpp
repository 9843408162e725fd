// Triangle geometry shared by the mesh queries and the mesh removal (not installed).
//
// The public point queries of PointCloudsDeal are thin wrappers over these functions, and the prepared
// mesh removal calls the very same functions with per-mesh data built once (vertex cloud, parts of the
// mesh, a tree of face boxes that yields candidate faces). Both paths therefore give bit-identical answers
// as long as the prepared data satisfies the contracts stated here.
#pragma once

#include <pcl/PolygonMesh.h>
#include <pcl/Vertices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace nimbrel_arm_util {
namespace detail {

using VertexCloud = pcl::PointCloud<pcl::PointXYZ>;

/// A point closer than this to any face of a mesh belongs to the mesh.
constexpr double kNearMeshDistance = 0.05;

/// |a| of the public ray test below this (strictly) means the ray runs parallel to the triangle; a meeting
/// point at t at or below it lies at or behind the ray's origin (in every ray test).
constexpr double kRayEpsilon = 1e-7;

/// The inside test's parallel bound, relative to the face's size and the ray's length: the ray counts as
/// parallel to a face when |a| < kParallelRatio * |direction| * |e1| * |e2|, that is when the sine of the
/// angle between ray and plane times the sine of the face's corner angle at P0 is below it. An absolute
/// bound would drop small or thin faces (millimetre triangles of a scanned object have |a| near 1e-7 even
/// when the ray crosses them squarely) and flip the parity.
constexpr double kParallelRatio = 1e-5;

/// A ray that grazes a face (parallel by the bound above, but not exactly) and whose rounded meeting point
/// lies within this barycentric margin of the face cannot be counted reliably: the count is ambiguous.
constexpr double kGrazingTolerance = 0.1;

/// How a ray test decides that the ray runs parallel to a face.
enum class ParallelBound {
  kAbsolute,  ///< |a| < kRayEpsilon: the public ray test's documented bound.
  kRelative,  ///< |a| < kParallelRatio * |direction| * |e1| * |e2|: the inside test's bound.
};

/// Part label of a face that is not a usable triangle (invalid, or a corner is not finite).
constexpr std::uint32_t kNoPart = 0xffffffffu;

/// Barycentric tolerance within which a ray's meeting point counts as lying on a face's boundary.
constexpr double kBoundaryTolerance = 1e-5;

/// Reads a mesh's vertex positions into `vertices`. A binary cloud whose data does not match its declared
/// layout (height rows of row_step bytes, each holding width records of point_step bytes, with the x, y and
/// z fields inside a record) yields no vertices, so the callers' too-few-vertices answers apply instead of
/// a read past the buffer.
void readVertices(const pcl::PolygonMesh& mesh, VertexCloud& vertices);

/// True when `face` can be used as a triangle of a mesh with `vertexCount` vertices: it has at least three
/// indices and each of its first three indices lies in [0, vertexCount). Indices are signed in PCL, so a
/// negative index makes a face invalid too. Every operation skips invalid faces.
bool isValidFace(const pcl::Vertices& face, std::size_t vertexCount);

/// Outcome of one ray against one triangle.
struct RayTriangleHit {
  /// The Möller–Trumbore answer: the ray meets the closed triangle strictly in front of its origin
  /// (u, v, u + v within [0, 1] exactly, t > kRayEpsilon, and the ray not parallel by the chosen bound).
  bool hit = false;
  /// The crossing cannot be counted reliably. Either the ray meets the triangle's plane in front of its
  /// origin at a point whose barycentric coordinates are all >= -kBoundaryTolerance and at least one of
  /// which is within kBoundaryTolerance of 0 (set whether or not `hit` is: a ray through a shared edge may,
  /// by rounding, miss both neighbouring faces, and such a near miss must also make the count ambiguous);
  /// or, with the relative bound, the ray grazes the face (parallel by the bound, a != 0) and its rounded
  /// meeting point lies in front of the origin within kGrazingTolerance of the face.
  bool onBoundary = false;
  /// Ray parameter of the meeting point (valid when `hit`); the point is origin + direction * t.
  double t = 0.0;
  /// With `hit`: the ray leaves through the face's front, the side its corners run counter-clockwise.
  bool exits = false;
};

/// Ray from `origin` along `direction` against the triangle of the first three indices of `face`.
/// Cross and dot products are computed in float and each scalar result is widened to double; f = 1 / a,
/// u, v and t are then formed in double. An invalid face, or one with a non-finite corner, gives no hit and
/// no boundary flag.
RayTriangleHit intersectRay(const VertexCloud& vertices, const pcl::Vertices& face,
                            const Eigen::Vector3f& origin, const Eigen::Vector3f& direction,
                            ParallelBound bound);

/// The same test on the corners of a face already known to be valid with finite corners.
RayTriangleHit intersectRayCorners(const pcl::PointXYZ& q0, const pcl::PointXYZ& q1, const pcl::PointXYZ& q2,
                                   const Eigen::Vector3f& origin, const Eigen::Vector3f& direction,
                                   ParallelBound bound);

/// True when the ray test along +x (either parallel bound) returns no hit and no boundary flag for the
/// valid face `face` with finite corners, from any origin: the products that make up its determinant are
/// exactly zero because corners share a y or a z coordinate (faces of an axis-aligned box or of a
/// cylinder along x that run along x). Decided on the coordinates alone, so no rounding mode or
/// contraction of the ray test's arithmetic can make it differ.
bool parallelToX(const VertexCloud& vertices, const pcl::Vertices& face);

/// Padded y–z extent of a face: the face's y–z bounding box grown by 1e-4 of (its size plus its largest
/// |y| or |z|), far more than rounding in the ray test can shift a meeting point. Returns false for an
/// invalid face or one with a non-finite corner (no ray ever hits or flags such a face).
bool paddedYZExtent(const VertexCloud& vertices, const pcl::Vertices& face, double& yMin, double& yMax,
                    double& zMin, double& zMax);

/// Padded box of a face: its corners' box grown on every axis by 1e-4 of (its size plus its largest
/// coordinate magnitude), as paddedYZExtent pads. A ray along any direction other than +x counts a face only
/// when it meets this box. Returns false for an invalid face or one with a non-finite corner.
bool paddedBox(const VertexCloud& vertices, const pcl::Vertices& face, double lo[3], double hi[3]);

/// True when the ray from `origin` along `direction` (t >= 0) meets the closed box lo..hi. Monotone in the
/// box: a ray that meets a box meets every box containing it, so a tree of unions of boxes finds them all.
bool rayMeetsBox(const Eigen::Vector3f& origin, const Eigen::Vector3f& direction, const double lo[3],
                 const double hi[3]);

/// Appends to `faces` the indices of polygons that a ray from `origin` along `direction` may count: at least
/// every face whose padded box the ray meets (others are filtered out again, duplicates are harmless).
using RayCandidates = std::function<void(const Eigen::Vector3f& origin, const Eigen::Vector3f& direction,
                                         std::vector<std::uint32_t>& faces)>;

/// Welded corner id of every vertex: vertices at equal coordinates get the smallest index among them (meshes
/// read from STL files, and many OBJ exports, give every face its own three vertices).
std::vector<std::uint32_t> weldedCorners(const VertexCloud& vertices);

/// One side of a usable face (valid, finite corners) between welded corners lo < hi (lo == hi for a face
/// with two equal corners); `forward` when the face runs from lo to hi.
struct FaceEdge {
  std::uint32_t lo, hi, face;
  bool forward;
};
/// The three edges of every usable face, sorted by (lo, hi, face): the faces around one edge are adjacent.
std::vector<FaceEdge> faceEdges(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                                const std::vector<std::uint32_t>& corner);

/// The parts of a mesh: faces joined, directly or through other faces, by edges that exactly two faces share
/// (after welding). Bodies that touch at a corner or along an edge of four faces are separate parts. Only the
/// first three indices of a face count.
struct MeshParts {
  struct Part {
    bool closed = true;   ///< every edge of its faces is shared by exactly two of its faces
    double lo[3], hi[3];  ///< box of its faces' corners
    std::uint32_t boundaryFirst = 0, boundaryCount = 0;  ///< its edges in `boundary` (open parts only)
    std::uint32_t cornerFirst = 0, cornerCount = 0;      ///< its boundary's vertices in `boundaryCorners`
  };
  std::vector<std::uint32_t> labels;  ///< part of every polygon; kNoPart for invalid or non-finite faces
  std::vector<Part> parts;
  /// Vertex index pairs (a, b): the boundary edges of the open parts, each as its faces run along it, once
  /// per face more one way than the other.
  std::vector<std::uint32_t> boundary;
  /// The distinct vertices of each open part's boundary, and for every entry of `boundary` its vertex's
  /// position in `boundaryCorners`: a vertex's direction from a point is worked out once for its edges.
  std::vector<std::uint32_t> boundaryCorners;
  std::vector<std::uint32_t> boundaryEnds;
  std::vector<std::uint32_t> openParts;  ///< indices of the parts that are not closed
};
MeshParts meshParts(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons);

/// The inside test of a mesh, decided part by part; the point is inside the mesh when it is inside any part
/// (convex decompositions overlap and nest).
/// - A closed part keeps the parity rule: the point is inside when a ray from it crosses the part an odd
///   number of times.
/// - A part that is not closed (holes in a scan, gaps in a CAD export) holds the point when its generalized
///   winding number there is at least 1/2 in magnitude: the signed solid angle of its faces seen from the
///   point, over 4 pi (+1 deep inside faces wound counter-clockwise seen from outside, -1 for the other
///   winding, so either winding gives the same answer). It equals the parity on a closed part and falls
///   off smoothly across a hole. It is computed exactly, not approximated, as the ray's crossings counted
///   with their sense plus the solid angles of strips running from each boundary edge to infinity against
///   the ray, so the prepared and the point-by-point paths give the same answer.
/// - No point outside a part's bounding box is inside that part.
/// Returns false when `polygons` is empty. Faces parallel to a ray by the relative bound are not counted.
///
/// A ray from `point` along +x is tested against each valid face whose padded y–z extent contains
/// (point.y, point.z), boundary included; faces outside it could only register hits through rounding.
/// Each hit counts (hits through a shared edge or vertex are not merged). When no tested face's meeting
/// point lies on its boundary, that ray decides. Otherwise the count is ambiguous and is repeated along two
/// fixed unit directions parallel to no axis, in turn, over the faces whose padded box the ray meets; the
/// first ray without a boundary meeting decides. If all three rays are ambiguous, the +x count decides.
bool isInsideMesh(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                  const pcl::PointXYZ& point);

/// As above, with the parts given (as meshParts computes them), the +x ray considering only the faces whose
/// indices into `polygons` are listed in [xCandidatesFirst, xCandidatesLast), and the other rays the faces
/// that `candidates` lists (every face when it is empty). The answer is identical to the all-faces one
/// provided that each list names a face at most once, the +x list contains every face for which
/// paddedYZExtent returns true with a box containing (point.y, point.z), boundary included, and
/// `candidates` keeps its contract. Extra candidates are harmless: the same filters remove them.
bool isInsideMesh(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                  const MeshParts& parts, const pcl::PointXYZ& point, const std::uint32_t* xCandidatesFirst,
                  const std::uint32_t* xCandidatesLast, const RayCandidates& candidates = {});

/// A face met by a ray, and whether the ray leaves through its front.
struct RayHit {
  std::uint32_t face;
  bool exits;
};

/// The second half of the candidate-list isInsideMesh for a +x count already known to be ambiguous:
/// `xHits` must be the hits of the +x ray over the candidate list (every candidate tested, in any order),
/// and at least one candidate must have met the ray on its boundary. `candidates` must list, once each,
/// exactly the valid faces with finite corners whose padded box (paddedBox) the ray meets (rayMeetsBox): it
/// is not filtered again. Answers exactly as that overload would with the same lists; `xHits` is
/// reordered.
bool insideAfterAmbiguousX(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                           const MeshParts& parts, const pcl::PointXYZ& point, std::vector<RayHit>& xHits,
                           const RayCandidates& candidates);
/// The inside answer of the rule above from one unambiguous ray along `direction` and the faces it hits
/// (`hits` is reordered).
bool insideByRay(const VertexCloud& vertices, const MeshParts& parts, const pcl::PointXYZ& point,
                 const Eigen::Vector3f& direction, std::vector<RayHit>& hits);

/// Distance from `p` to the triangle a, b, c itself (interior, edges and corners), in double. A degenerate
/// triangle gives the distance to its longest segment or to its single point; the result is NaN only for
/// non-finite input.
double pointTriangleDistance(const Eigen::Vector3d& p, const Eigen::Vector3d& a, const Eigen::Vector3d& b,
                             const Eigen::Vector3d& c);

/// Distance between the segments p0–p1 and q0–q1 (either may be a single point), in double.
double segmentSegmentDistance(const Eigen::Vector3d& p0, const Eigen::Vector3d& p1, const Eigen::Vector3d& q0,
                              const Eigen::Vector3d& q1);

/// Distance from the segment p0–p1 to the triangle a, b, c (interior, edges and corners), in double: 0 when
/// the segment passes through the triangle (its boundary included), else the smallest of the distances of
/// the segment's ends to the triangle and of the triangle's edges to the segment.
double segmentTriangleDistance(const Eigen::Vector3d& p0, const Eigen::Vector3d& p1, const Eigen::Vector3d& a,
                               const Eigen::Vector3d& b, const Eigen::Vector3d& c);

/// Distance from `point` to the triangle of a valid face (corners widened from float to double); -1 for an
/// invalid face.
double faceDistance(const VertexCloud& vertices, const pcl::Vertices& face, const pcl::PointXYZ& point);

/// Smallest distance from `point` to the valid faces of the mesh (each as its triangle); the largest
/// finite double when there is none. A NaN distance (non-finite corners) never lowers the result.
double nearestFaceDistance(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                           const pcl::PointXYZ& point);

}  // namespace detail
}  // namespace nimbrel_arm_util
