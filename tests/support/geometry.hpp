// Test geometry shared by every test of the library: meshes, clouds and depth images built from small,
// hand-checkable tables and fixed seeds.
#pragma once

#include <pcl/PolygonMesh.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstdint>
#include <map>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

#include "nimbrel_arm_util/robot_description.hpp"

namespace nimbrel_test {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = Cloud::Ptr;

/// How each square face of a cube is split into two triangles.
enum class Diagonal { kMain, kAnti };

/// Builds a mesh from vertex positions and triangles (or longer/shorter index lists).
pcl::PolygonMesh makeMesh(const std::vector<Eigen::Vector3f>& vertices,
                          const std::vector<std::vector<std::uint32_t>>& faces);

/// Closed axis-aligned cube from `lo` to `lo + edge`, 8 vertices and 12 outward-facing triangles.
pcl::PolygonMesh makeCube(Diagonal diagonal = Diagonal::kMain, float edge = 1.0f,
                          Eigen::Vector3f lo = Eigen::Vector3f::Zero());
/// Closed axis-aligned box centred on `centre` with full edge lengths `size` (12 triangles).
pcl::PolygonMesh makeBox(Eigen::Vector3f centre, Eigen::Vector3f size);
/// Tetrahedron (0,0,0), (1,0,0), (0,1,0), (0,0,1).
pcl::PolygonMesh makeTetrahedron();
/// Icosphere of `radius` around `centre`: 20 * 4^subdivisions faces (4 gives 5120).
pcl::PolygonMesh makeIcosphere(int subdivisions, float radius = 1.0f,
                               Eigen::Vector3f centre = Eigen::Vector3f::Zero());
/// A single triangle a, b, c.
pcl::PolygonMesh makeTriangle(Eigen::Vector3f a, Eigen::Vector3f b, Eigen::Vector3f c);

/// Unorganized cloud of the given points (width = count, height 1).
CloudPtr makeCloud(const std::vector<Eigen::Vector3f>& points);
/// Organized grid cloud width x height on the plane z = `z`, spacing `step`; the listed pixel indices
/// (row-major) hold NaN and is_dense is false when there are any.
CloudPtr makeOrganizedCloud(std::uint32_t width, std::uint32_t height, float step = 0.01f, float z = 1.0f,
                            const std::vector<std::size_t>& nanPixels = {});
/// `count` points uniform in the box [lo, hi], from a fixed seed.
CloudPtr makeRandomCloud(std::size_t count, Eigen::Vector3f lo, Eigen::Vector3f hi, std::uint32_t seed = 7);

/// CV_16UC1 depth image of constant `millimetres`, with the listed (column, row) pixels set to 0.
cv::Mat makeDepthImage(int width, int height, std::uint16_t millimetres,
                       const std::vector<cv::Point>& holes = {});

/// CV_16UC1 depth image (millimetres) of a sloping floor about 1 m away with a round bump, sensor noise and
/// about 3% missing pixels, all from `seed`: a camera frame small enough for tests of the whole road.
cv::Mat makeFloorDepthImage(int width, int height, std::uint32_t seed = 5);

/// Vertex positions of a mesh, converted from its binary cloud.
CloudPtr meshVertices(const pcl::PolygonMesh& mesh);

/// `count` scene points around `mesh`, from a fixed seed: every other point uniform in the mesh's bounding
/// box grown by `margin` on every side, the others at a random point of a random face moved along the
/// face's normal by up to `shell` either way (so about half lie close to the surface, inside or outside).
CloudPtr makeSceneAround(const pcl::PolygonMesh& mesh, std::size_t count, float margin, float shell,
                         std::uint32_t seed = 11);
/// Points on the mesh's features: every vertex, the midpoint and quarter points of every face edge and
/// every face centroid (computed in float, so on axis-aligned faces they lie exactly on the surface).
CloudPtr meshFeaturePoints(const pcl::PolygonMesh& mesh);

// ---- Object meshes as CAD exports and scans give them ----------------------------------------------------

/// The same surface with every face given its own three vertices, as STL files and many OBJ exports store
/// it (no two faces share a vertex index; corners of neighbouring faces are equal in value only).
pcl::PolygonMesh unweld(const pcl::PolygonMesh& mesh);
/// The same mesh with every face wound the other way (its second and third corners swapped), as files
/// from tools with the opposite convention give it.
pcl::PolygonMesh flipFaces(const pcl::PolygonMesh& mesh);
/// One mesh holding the vertices and faces of all `parts`, as convex decompositions are written.
pcl::PolygonMesh joinMeshes(const std::vector<pcl::PolygonMesh>& parts);
/// Closed surface of revolution about the line through `centre` along axis `axis` (0 x, 1 y, 2 z).
/// `profile` lists (radius, height) pairs; each consecutive pair becomes a band of 2 * `segments` faces,
/// facing outward. With `capped`, both ends are closed by triangle fans around a centre vertex (each fan
/// face reaches from the axis to the rim); otherwise the profile is a closed loop, its last pair joining
/// its first (the cross-section of a pipe wall, for instance).
pcl::PolygonMesh makeLathe(const std::vector<Eigen::Vector2f>& profile, int segments, int axis,
                           Eigen::Vector3f centre, bool capped);
/// Cylinder along x with fan caps: 4 * `segments` faces.
pcl::PolygonMesh makeFanCappedCylinder(int segments, float radius, float length, Eigen::Vector3f centre);
/// Pipe along y (outer and inner walls, annular ends) of long thin faces: 8 * `segments` faces.
pcl::PolygonMesh makePipe(int segments, float outer, float inner, float length, Eigen::Vector3f centre);
/// Bottle with its axis along `axis` (body, shoulder, neck, fan-capped ends) of `rings` - 1 bands of
/// 2 * `segments` thin faces; `height` is its full length from `base`, the body's radius 0.3 * height.
pcl::PolygonMesh makeBottle(int segments, int rings, float height, Eigen::Vector3f base, int axis = 2);
/// The mesh without the faces whose centroid lies below `level` along `axis` (a hole where a scan saw
/// nothing, or a CAD link exported without its base).
pcl::PolygonMesh removeFacesBelow(const pcl::PolygonMesh& mesh, int axis, float level);
/// Closed box from `lo` to `hi` whose every side is an n x n grid of squares split into two triangles:
/// 12 * n * n faces, outward-facing; each side has its own (n + 1)^2 vertices, equal along the box's edges.
pcl::PolygonMesh makeGridBox(int n, Eigen::Vector3f lo, Eigen::Vector3f hi);
/// Where on a grid box's sides parallel to x (y or z at a bound) surface points lie.
enum class SurfaceSpot { kFace, kEdge, kVertex };
/// `count` points exactly on the sides of makeGridBox(n, lo, hi) that run along x, from a fixed seed: at
/// random on a face, on a grid line, or at a grid vertex (coordinates computed as the vertices' are).
CloudPtr gridBoxSurfacePoints(int n, Eigen::Vector3f lo, Eigen::Vector3f hi, SurfaceSpot spot,
                              std::size_t count, std::uint32_t seed = 5);

// ---- A robot arm -----------------------------------------------------------------------------------------

/// Closed capsule along z centred on the origin: a cylinder of `radius` and `length` (between the caps'
/// centres) with half-sphere caps of `rings` rings each, `segments` around: 4 * segments * rings faces.
pcl::PolygonMesh makeCapsule(int segments, int rings, float radius, float length);
/// A six-joint arm of an industrial robot's size and shape, stretched out over a table: seven links
/// (base_link, shoulder_link, upper_arm_link, forearm_link, wrist_1_link, wrist_2_link, wrist_3_link), each
/// one capsule mesh of 1,536 faces in its own frame, and the root "world" without geometry.
nimbrel_arm_util::RobotDescription makeArm();
/// The base-frame pose of every link of makeArm() in its one posture: the arm reaches from the origin to
/// about (0.6, 0.2, 0.2), every link between z = 0 and 0.6.
std::map<std::string, Eigen::Matrix4d> armPoses();

}  // namespace nimbrel_test
