// Private to the tool's support library: the checks each file format runs before PCL's reader sees a file,
// and the low-level helpers the format files share. Not part of the tool's interface; consumers include
// support/files.hpp.
#pragma once

#include <pcl/PCLPointCloud2.h>
#include <pcl/PolygonMesh.h>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "support/files.hpp"

namespace nimbrel_tools::detail {

// ---- Format checks (each throws ToolError naming the file and the problem) -------------------------------

/// Refuses a PCD file whose header PCL would size or lay out the data from wrongly, or whose data cannot
/// hold the points the header declares (an ASCII file: line by line).
void checkPcdHeader(const std::string& path);
/// Refuses a PLY file whose header PCL's reader would abort or over-allocate on; `kind` ("mesh" or
/// "point cloud") names the file in the error.
void checkPlyHeader(const std::string& path, const char* kind);
/// Refuses an STL file that is neither a binary STL of exactly its declared size nor ascii STL text.
void checkStlSize(const std::string& path);
/// Reads an OBJ file with PCL's reader, through a cleaned private copy where PCL would misread the file;
/// false when PCL's reader fails. Refuses (ToolError) a vertex or normal line with fewer than three values.
bool loadObj(const std::string& path, pcl::PolygonMesh& mesh);

// ---- Writers ----------------------------------------------------------------------------------------------

/// Writes an OBJ file at `tmp` whose header names `path`; false when the writing fails.
bool writeObj(const pcl::PolygonMesh& mesh, const std::string& tmp, const std::string& path);
/// Writes a PLY cloud at `tmp` with PCL's writer (binary unless `format` is ascii); PCL's result code.
int writePly(const std::string& tmp, const pcl::PCLPointCloud2& blob, const Eigen::Vector4f& origin,
             const Eigen::Quaternionf& orientation, PcdFormat format);

// ---- Shared helpers ---------------------------------------------------------------------------------------

/// What PCL's OBJ reader (and its ASCII PCD reader) split a line at.
inline constexpr const char* kObjBlanks = "\t\r ";
/// The words of `line`, split at any of the characters of `blanks`.
std::vector<std::string> splitWords(const std::string& line, const char* blanks);

/// Opens `path` in binary for a check and returns its size in bytes; throws ToolError when it cannot be read.
std::uint64_t openChecked(const std::string& path, std::ifstream& in);

/// Bytes of one value of a numeric field type; 0 for a type that is not a number (or unknown).
std::size_t numericSize(std::uint8_t datatype);
/// One value of a point, whatever its numeric type, exactly. The field must be numeric and inside the point.
long double readValue(const pcl::PCLPointCloud2& cloud, const pcl::PCLPointField& field, std::size_t point);
/// Stores `v` as one value of a point in the field's numeric type: the nearest float or double (beyond its
/// range an infinity), or for an integer field the nearest integer clamped to the type's range (a NaN
/// leaves an integer unchanged). The field must be numeric and inside the point.
void writeValue(pcl::PCLPointCloud2& cloud, const pcl::PCLPointField& field, std::size_t point,
                long double v);
/// The nearest float; beyond the float range an infinity.
float toFloat(long double v);
/// One coordinate as the nearest float.
float readCoordinate(const pcl::PCLPointCloud2& cloud, const pcl::PCLPointField& field, std::size_t point);
/// The x, y and z fields, checked to be numbers inside a point; `what` names the file ("mesh file.ply") and
/// `items` its points in the errors.
std::array<const pcl::PCLPointField*, 3> coordinateFields(const pcl::PCLPointCloud2& in,
                                                          const std::string& what, const char* items);

/// A header number: decimal digits only, at most 18 of them.
bool headerNumber(const std::string& token, std::uint64_t& value);
/// Whether a x b <= limit, without overflowing.
bool productAtMost(std::uint64_t a, std::uint64_t b, std::uint64_t limit);

}  // namespace nimbrel_tools::detail
