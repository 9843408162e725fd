// Point clouds: PCD and PLY files read with every field, and written atomically.
#include <fmt/format.h>
#include <pcl/conversions.h>
#include <pcl/exceptions.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/file_formats.hpp"
#include "support/files.hpp"

namespace nimbrel_tools {

using detail::coordinateFields;
using detail::readValue;
using detail::toFloat;

namespace {

// A PCD or PLY file for a cloud without points, which PCL's writers refuse; it is still a valid answer.
void writeEmptyCloud(const Eigen::Vector4f& o, const Eigen::Quaternionf& q, const std::string& tmp, bool ply,
                     const std::string& path) {
  std::ofstream out(tmp, std::ios::binary);
  if (ply) {
    out << "ply\nformat ascii 1.0\nelement vertex 0\nproperty float x\nproperty float y\nproperty float z\n"
           "end_header\n";
  } else {
    out << fmt::format(
        "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\n"
        "COUNT 1 1 1\nWIDTH 0\nHEIGHT 1\nVIEWPOINT {} {} {} {} {} {} {}\nPOINTS 0\nDATA ascii\n",
        o[0], o[1], o[2], q.w(), q.x(), q.y(), q.z());
  }
  if (!out.flush()) throw ToolError(fmt::format("cannot write {}", path));
}

// Runs one of PCL's writers, turning its exception or failure code into one line about `path`.
void runWriter(const std::string& path, const std::function<int()>& write) {
  int result = 0;
  try {
    result = write();
  } catch (const pcl::IOException& e) {
    // PCL's exception texts start with ": ".
    std::string why = e.what();
    why.erase(0, why.find_first_not_of(": "));
    throw ToolError(fmt::format("cannot write {}: {}", path, why));
  }
  if (result != 0) throw ToolError(fmt::format("cannot write {}", path));
}

}  // namespace

CloudFile loadCloudFile(const std::string& path, const Eigen::Vector3d& shift) {
  requireFile(path);
  const std::string ext = extensionOf(path);
  pcl::PCLPointCloud2 blob;
  Eigen::Vector4f origin = Eigen::Vector4f::Zero();
  Eigen::Quaternionf orientation = Eigen::Quaternionf::Identity();
  int version = 0;
  const std::string what = "point cloud " + path;
  if (ext == ".ply") {
    detail::checkPlyHeader(path, "point cloud");
    if (pcl::PLYReader().read(path, blob, origin, orientation, version) < 0) {
      throw ToolError(fmt::format("unreadable point cloud {}: the ply reader failed", path));
    }
  } else if (ext == ".pcd") {
    detail::checkPcdHeader(path);
    pcl::PCDReader reader;
    // PCL's reader can crash on a file without a PCD header, so the header is checked on its own first.
    int dataType = 0;
    unsigned int dataIndex = 0;
    if (reader.readHeader(path, blob, origin, orientation, version, dataType, dataIndex) < 0 ||
        blob.fields.empty()) {
      throw ToolError(fmt::format("unreadable point cloud {}: not a PCD file", path));
    }
    coordinateFields(blob, what, "points");
    if (blob.width * blob.height > 0 && reader.read(path, blob, origin, orientation, version) < 0) {
      throw ToolError(fmt::format("unreadable point cloud {}: bad point data", path));
    }
  } else {
    throw ToolError(
        fmt::format("unreadable point cloud {}: unknown extension '{}' (use .pcd or .ply)", path, ext));
  }
  CloudFile file;
  file.shift = shift;
  file.xyz.reset(new Cloud);
  Cloud& cloud = *file.xyz;
  cloud.sensor_origin_ = origin;
  cloud.sensor_orientation_ = orientation;
  const std::uint64_t width = blob.width, height = blob.height;
  if (width * height == 0) {
    file.points = std::move(blob);
    return file;
  }
  // Each point's x, y, z are read by the header's offsets and steps, so those must lie inside the data.
  // PCL's own conversion copies only fields stored as 4-byte floats and leaves the others 0; here every
  // numeric type is converted.
  const auto fields = coordinateFields(blob, what, "points");
  if (std::uint64_t{blob.row_step} * height > blob.data.size() || width * blob.point_step > blob.row_step ||
      blob.row_step != width * blob.point_step) {
    throw ToolError(fmt::format("unreadable point cloud {}: point data does not match its header", path));
  }
  cloud.header = blob.header;
  cloud.resize(width * height);
  cloud.width = blob.width;
  cloud.height = blob.height;
  cloud.is_dense = blob.is_dense != 0;
  const bool floats = std::all_of(fields.begin(), fields.end(), [](const pcl::PCLPointField* f) {
    return f->datatype == pcl::PCLPointField::FLOAT32;
  });
  for (std::size_t p = 0; p < cloud.size(); ++p) {
    float* xyz = cloud[p].data;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      // The shift is taken off before the conversion, where the file's own precision is still there.
      const long double value = readValue(blob, *fields[axis], p) - static_cast<long double>(shift[axis]);
      xyz[axis] = toFloat(value);
      if (!std::isfinite(static_cast<double>(value))) continue;
      file.largest = std::max(file.largest, static_cast<double>(std::abs(value)));
      file.floatLoss = std::max(file.floatLoss,
                                static_cast<double>(std::abs(value - static_cast<long double>(xyz[axis]))));
    }
  }
  // Float coordinates lost nothing on reading, but far from the origin they can only tell apart points
  // half a float step away: that is their loss.
  if (floats) file.floatLoss = std::max(file.floatLoss, halfFloatStep(file.largest));
  file.points = std::move(blob);
  return file;
}

CloudPtr loadCloud(const std::string& path) { return loadCloudFile(path).xyz; }

double halfFloatStep(double magnitude) {
  const float m = static_cast<float>(magnitude);
  return (static_cast<double>(std::nextafter(m, std::numeric_limits<float>::infinity())) - m) / 2.0;
}

void requireCloudOutput(const std::string& path, const std::string& what) {
  const std::string ext = extensionOf(path);
  if (ext != ".pcd" && ext != ".ply") {
    throw UsageError(fmt::format("cannot write {}: {} is a .pcd or .ply file", path, what));
  }
}

void saveCloud(const Cloud& cloud, const std::string& path, PcdFormat format) {
  requireCloudOutput(path, "a point cloud");
  const bool ply = extensionOf(path) == ".ply";
  writeAtomically(path, [&](const std::string& tmp) {
    if (cloud.empty()) {
      writeEmptyCloud(cloud.sensor_origin_, cloud.sensor_orientation_, tmp, ply, path);
      return;
    }
    CloudPtr copy(new Cloud(cloud));
    if (static_cast<std::size_t>(copy->width) * copy->height != copy->size()) {
      copy->width = static_cast<std::uint32_t>(copy->size());
      copy->height = 1;
    }
    runWriter(path, [&] {
      if (ply) {
        pcl::PCLPointCloud2 blob;
        pcl::toPCLPointCloud2(*copy, blob);
        return detail::writePly(tmp, blob, copy->sensor_origin_, copy->sensor_orientation_, format);
      }
      if (format == PcdFormat::ascii) {
        nimbrel_arm_util::PointCloudsDeal deal;
        return deal.savePcdFile(copy, tmp) ? 0 : -1;
      }
      return format == PcdFormat::binary ? pcl::PCDWriter().writeBinary(tmp, *copy)
                                         : pcl::PCDWriter().writeBinaryCompressed(tmp, *copy);
    });
  });
}

void saveCloud(const pcl::PCLPointCloud2& cloud, const Eigen::Vector4f& origin,
               const Eigen::Quaternionf& orientation, const std::string& path, PcdFormat format) {
  requireCloudOutput(path, "a point cloud");
  const bool ply = extensionOf(path) == ".ply";
  writeAtomically(path, [&](const std::string& tmp) {
    if (std::size_t{cloud.width} * cloud.height == 0) {
      writeEmptyCloud(origin, orientation, tmp, ply, path);
      return;
    }
    runWriter(path, [&] {
      if (ply) return detail::writePly(tmp, cloud, origin, orientation, format);
      pcl::PCDWriter writer;
      switch (format) {
        case PcdFormat::ascii:
          return writer.writeASCII(tmp, cloud, origin, orientation, 8);
        case PcdFormat::binary:
          return writer.writeBinary(tmp, cloud, origin, orientation);
        default:
          return writer.writeBinaryCompressed(tmp, cloud, origin, orientation);
      }
    });
  });
}

}  // namespace nimbrel_tools
