// File input and output shared by the command-line tool and the demo: clouds (PCD), meshes (PLY, OBJ,
// STL), 16-bit depth images (PNG), camera intrinsics (ROS camera_info YAML) and 4x4 matrices.
//
// Every loader checks what it reads at the boundary and throws ToolError with one line that names the file
// and the problem. Every writer writes to a temporary name in the target directory and renames it into
// place, so a failed run never leaves a partial file behind.
#pragma once

#include <pcl/PolygonMesh.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <functional>
#include <opencv2/core/mat.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "nimbrel_arm_util/camera_intrinsic.hpp"

namespace nimbrel_tools {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = Cloud::Ptr;

/// A failure meant for the user: its text is one complete line, without the trailing newline.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Throws ToolError when `path` is not a readable regular file.
void requireFile(const std::string& path);

/// Runs `write(tmp)` with a temporary path next to `path` (same extension) and renames the result onto
/// `path`. A throwing or failing writer leaves neither the temporary nor a new `path` behind.
void writeAtomically(const std::string& path, const std::function<void(const std::string& tmp)>& write);

/// Loads the x, y, z fields of a PCD file (any field layout, ASCII or binary). A header with sizes no PCD
/// file has, or declaring more points than the file holds, is refused before PCL allocates for it.
CloudPtr loadCloud(const std::string& path);
/// Writes `cloud` as an ASCII PCD file through the library's writer, atomically. A cloud whose width and
/// height do not describe its points (for example after a mesh removal) is written as width = count,
/// height 1; an empty cloud gives a valid PCD file with no points.
void saveCloud(const Cloud& cloud, const std::string& path);

/// Loads a triangle mesh from PLY, OBJ or STL (chosen by extension) with PCL's readers. Polygons with more
/// than three corners are split into triangle fans. Throws ToolError for a missing, unreadable or empty
/// mesh, or one whose faces index missing vertices. Before PCL sees the file, a PLY whose vertex element
/// has a list property, a binary STL whose size is not 84 + 50 x its triangle count and an OBJ vertex or
/// normal line with fewer than three coordinates are refused; an OBJ with blank-only lines (a CRLF file's
/// blank lines), "mtllib" or normal ("vn") lines is read through a temporary copy without them, since PCL's
/// reader crashes, hangs or writes past its buffer on such lines (the mesh keeps no normals anyway).
pcl::PolygonMesh loadMesh(const std::string& path);
/// Writes a mesh as PLY, OBJ or STL (chosen by extension), atomically.
void saveMesh(const pcl::PolygonMesh& mesh, const std::string& path);

/// Loads a single-channel 16-bit PNG depth image (millimetres); throws ToolError for any other type.
cv::Mat loadDepthImage(const std::string& path);
/// Writes an image atomically with OpenCV (format from the extension).
void saveImage(const cv::Mat& image, const std::string& path);

/// Camera intrinsics of a ROS camera_info YAML file, plus the image size it declares (0 when absent).
struct CameraInfo {
  nimbrel_arm_util::CameraIntrinsic intrinsic{};
  int width = 0;
  int height = 0;
};
/// Reads camera_matrix (3x3, row-major) and distortion_coefficients (plumb_bob: up to five values, k1 k2
/// p1 p2 k3; missing trailing values are 0) from a camera_info YAML file. A negative image size is refused.
CameraInfo loadCameraInfo(const std::string& path);
/// Writes a camera_info YAML file in the ROS layout for `intrinsic` and the image size.
void saveCameraInfo(const CameraInfo& info, const std::string& path);

/// Parses 16 finite numbers, row-major, separated by blanks, commas, semicolons or newlines (brackets are
/// ignored). The bottom row must be 0 0 0 1: the transforms are rigid or affine, never projective.
Eigen::Matrix4d parseMatrix(const std::string& text, const std::string& what);
/// Like parseMatrix, reading the numbers from a file when `text` names an existing file.
Eigen::Matrix4d matrixArgument(const std::string& text, const std::string& what);
/// Parses exactly three finite numbers (for sizes and offsets).
Eigen::Vector3d parseVector3(const std::string& text, const std::string& what);

/// Lower-case extension of `path` including the dot ("" when there is none).
std::string extensionOf(const std::string& path);

}  // namespace nimbrel_tools
