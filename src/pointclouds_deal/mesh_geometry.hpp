// Triangle geometry shared by the mesh queries and the mesh removal (not installed).
//
// The public point queries of PointCloudsDeal are thin wrappers over these functions, and the prepared
// mesh removal calls the very same functions with per-mesh data built once (vertex cloud, kd-tree, faces
// per vertex, candidate faces for the +x ray). Both paths therefore give bit-identical answers as long as
// the prepared data satisfies the contracts stated here.
#pragma once

#include <pcl/PolygonMesh.h>
#include <pcl/Vertices.h>
#include <pcl/kdtree/kdtree_flann.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pointclouds_deal/search_range.hpp"

namespace nimbrel_arm_util {
namespace detail {

using VertexCloud = pcl::PointCloud<pcl::PointXYZ>;

/// A point closer than this to a face around its nearest mesh vertex belongs to the mesh.
constexpr double kNearMeshDistance = 0.05;

/// |a| of the ray test below this (strictly) means the ray runs parallel to the triangle; a meeting point
/// at t at or below it lies at or behind the ray's origin.
constexpr double kRayEpsilon = 1e-7;

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
  /// (u, v, u + v within [0, 1] exactly, t > kRayEpsilon, |a| >= kRayEpsilon).
  bool hit = false;
  /// The ray meets the triangle's plane in front of its origin (t > kRayEpsilon, |a| >= kRayEpsilon) at a
  /// point whose barycentric coordinates are all >= -kBoundaryTolerance and at least one of which is within
  /// kBoundaryTolerance of 0. Set whether or not `hit` is: a ray through a shared edge may, by rounding,
  /// miss both neighbouring faces, and such a near miss must also make the crossing count ambiguous.
  bool onBoundary = false;
  /// Ray parameter of the meeting point (valid when `hit`); the point is origin + direction * t.
  double t = 0.0;
};

/// Ray from `origin` along `direction` against the triangle of the first three indices of `face`.
/// Cross and dot products are computed in float and each scalar result is widened to double; f = 1 / a,
/// u, v and t are then formed in double. An invalid face, or one with a non-finite corner, gives no hit and
/// no boundary flag.
RayTriangleHit intersectRay(const VertexCloud& vertices, const pcl::Vertices& face,
                            const Eigen::Vector3f& origin, const Eigen::Vector3f& direction);

/// Padded y–z extent of a face: the face's y–z bounding box grown by 1e-4 of (its size plus its largest
/// |y| or |z|), far more than rounding in the ray test can shift a meeting point. Returns false for an
/// invalid face or one with a non-finite corner (no ray ever hits or flags such a face).
bool paddedYZExtent(const VertexCloud& vertices, const pcl::Vertices& face, double& yMin, double& yMax,
                    double& zMin, double& zMax);

/// Inside test of a closed mesh by the parity of ray crossings, testing every face for the +x ray.
/// Returns false when `polygons` is empty.
///
/// A ray from `point` along +x is tested against each valid face whose padded y–z extent contains
/// (point.y, point.z), boundary included; faces outside it could only register hits through rounding.
/// Each hit counts (hits through a shared edge or vertex are not merged). When no tested face's meeting
/// point lies on its boundary, the parity of the count decides. Otherwise the count is ambiguous and is
/// repeated, over every valid face, along two fixed unit directions parallel to no axis, in turn; the first
/// ray without a boundary meeting decides. If all three rays are ambiguous, the +x count decides.
bool isInsideByParity(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                      const pcl::PointXYZ& point);

/// As above, but the +x ray considers only the faces whose indices into `polygons` are listed in
/// [xCandidatesFirst, xCandidatesLast) (the fallback rays still test every valid face). The answer is
/// identical to the all-faces one provided that the list names each face at most once and contains every
/// face for which paddedYZExtent returns true with a box containing (point.y, point.z), boundary included.
/// Extra candidates are harmless: the same extent test filters them out.
bool isInsideByParity(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                      const pcl::PointXYZ& point, const std::uint32_t* xCandidatesFirst,
                      const std::uint32_t* xCandidatesLast);

/// Distance from `p` to the triangle a, b, c itself (interior, edges and corners), in double. A degenerate
/// triangle gives the distance to its longest segment or to its single point; the result is NaN only for
/// non-finite input.
double pointTriangleDistance(const Eigen::Vector3d& p, const Eigen::Vector3d& a, const Eigen::Vector3d& b,
                             const Eigen::Vector3d& c);

/// Distance from `point` to the triangle of a valid face (corners widened from float to double); -1 for an
/// invalid face.
double faceDistance(const VertexCloud& vertices, const pcl::Vertices& face, const pcl::PointXYZ& point);

/// For every vertex, the indices (ascending, each once) of the valid faces whose index list contains the
/// vertex anywhere (also past the first three indices; out-of-range further indices are ignored).
std::vector<std::vector<std::uint32_t>> facesAroundVertices(std::size_t vertexCount,
                                                            const std::vector<pcl::Vertices>& polygons);

/// The faces around one vertex, as one entry of facesAroundVertices, found by scanning `polygons`.
std::vector<std::uint32_t> facesAroundVertex(std::size_t vertexCount,
                                             const std::vector<pcl::Vertices>& polygons, std::size_t vertex);

/// Index of the vertex nearest to `point` by a k = 1 search of `tree` (a pcl::KdTreeFLANN with sorted
/// results over the whole vertex cloud), or -1 when the search finds nothing or `point` is not finite.
int nearestVertex(const pcl::KdTreeFLANN<pcl::PointXYZ>& tree, const pcl::PointXYZ& point);

/// Smallest distance from `point` to the faces listed in `faces` (indices into `polygons`); the largest
/// finite double when the list is empty. A NaN distance (non-finite corners) never lowers the result.
double nearestFacesDistance(const VertexCloud& vertices, const std::vector<pcl::Vertices>& polygons,
                            const std::vector<std::uint32_t>& faces, const pcl::PointXYZ& point);

}  // namespace detail
}  // namespace nimbrel_arm_util
