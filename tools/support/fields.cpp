// Carrying the fields of a cloud's points besides x, y and z.
#include "support/fields.hpp"

#include <fmt/format.h>
#include <pcl/common/io.h>

#include <Eigen/Geometry>
#include <array>
#include <cstring>

namespace nimbrel_tools {
namespace {

bool isCoordinate(const std::string& name) { return name == "x" || name == "y" || name == "z"; }

// The triples of float fields that are directions (turned) or positions (moved) of a point.
const std::array<std::array<const char*, 3>, 2> kDirections{
    {{"normal_x", "normal_y", "normal_z"}, {"nx", "ny", "nz"}}};
const std::array<const char*, 3> kViewpoint{"vp_x", "vp_y", "vp_z"};

// Offsets in the output point of a float triple, or -1 when the output has no such triple of floats.
std::array<int, 3> tripleOffsets(const pcl::PCLPointCloud2& out, const std::array<const char*, 3>& names) {
  std::array<int, 3> at{-1, -1, -1};
  for (std::size_t i = 0; i < 3; ++i) {
    for (const auto& f : out.fields) {
      if (f.name == names[i] && f.datatype == pcl::PCLPointField::FLOAT32 && f.count == 1)
        at[i] = static_cast<int>(f.offset);
    }
    if (at[i] < 0) return {-1, -1, -1};
  }
  return at;
}

void mapTriple(pcl::PCLPointCloud2& out, const std::array<int, 3>& at, const Eigen::Matrix3d& linear,
               const Eigen::Vector3d& offset) {
  if (at[0] < 0) return;
  const std::size_t count = std::size_t{out.width} * out.height;
  for (std::size_t p = 0; p < count; ++p) {
    std::uint8_t* point = out.data.data() + p * out.point_step;
    Eigen::Vector3f v;
    for (int i = 0; i < 3; ++i) std::memcpy(&v[i], point + at[static_cast<std::size_t>(i)], sizeof(float));
    const Eigen::Vector3f w = (linear * v.cast<double>() + offset).cast<float>();
    for (int i = 0; i < 3; ++i) std::memcpy(point + at[static_cast<std::size_t>(i)], &w[i], sizeof(float));
  }
}

std::size_t fieldBytes(const pcl::PCLPointField& f) {
  return static_cast<std::size_t>(pcl::getFieldSize(f.datatype)) * std::max<std::uint32_t>(f.count, 1);
}

}  // namespace

std::vector<std::string> otherFields(const pcl::PCLPointCloud2& cloud) {
  std::vector<std::string> names;
  for (const auto& f : cloud.fields) {
    if (!isCoordinate(f.name) && f.name != "_") names.push_back(f.name);
  }
  return names;
}

std::vector<std::size_t> keptPoints(const Cloud& in, const Cloud& out) {
  std::vector<std::size_t> kept;
  kept.reserve(out.size());
  std::size_t i = 0;
  for (const auto& p : out) {
    while (i < in.size() && std::memcmp(in[i].data, p.data, 3 * sizeof(float)) != 0) ++i;
    if (i == in.size()) throw ToolError("a kept point is not one of the input's");
    kept.push_back(i++);
  }
  return kept;
}

pcl::PCLPointCloud2 withOtherFields(const Cloud& xyz, const pcl::PCLPointCloud2& source,
                                    const std::vector<std::size_t>& kept, const Eigen::Matrix4d& motion) {
  pcl::PCLPointCloud2 out;
  out.header = source.header;
  std::uint32_t step = 0;
  for (const char* name : {"x", "y", "z"}) {
    pcl::PCLPointField f;
    f.name = name;
    f.offset = step;
    f.datatype = pcl::PCLPointField::FLOAT32;
    f.count = 1;
    out.fields.push_back(f);
    step += 4;
  }
  std::vector<std::pair<std::uint32_t, std::size_t>> copies;  // source offset, bytes
  for (const auto& f : source.fields) {
    if (isCoordinate(f.name) || f.name == "_") continue;
    pcl::PCLPointField g = f;
    g.offset = step;
    out.fields.push_back(g);
    copies.emplace_back(f.offset, fieldBytes(f));
    step += static_cast<std::uint32_t>(fieldBytes(f));
  }
  out.point_step = step;
  out.width = static_cast<std::uint32_t>(xyz.size());
  out.height = 1;
  if (std::size_t{xyz.width} * xyz.height == xyz.size() && xyz.height > 1) {
    out.width = xyz.width;
    out.height = xyz.height;
  }
  out.row_step = out.width * out.point_step;
  out.is_dense = xyz.is_dense;
  out.data.resize(std::size_t{out.point_step} * xyz.size());
  for (std::size_t p = 0; p < xyz.size(); ++p) {
    std::uint8_t* point = out.data.data() + p * out.point_step;
    std::memcpy(point, xyz[p].data, 3 * sizeof(float));
    const std::uint8_t* from = source.data.data() + kept[p] * source.point_step;
    std::uint32_t at = 12;
    for (const auto& [offset, bytes] : copies) {
      std::memcpy(point + at, from + offset, bytes);
      at += static_cast<std::uint32_t>(bytes);
    }
  }
  if (!motion.isIdentity(0.0)) {
    const Eigen::Matrix3d rotation = motion.topLeftCorner<3, 3>();
    for (const auto& names : kDirections)
      mapTriple(out, tripleOffsets(out, names), rotation, Eigen::Vector3d::Zero());
    mapTriple(out, tripleOffsets(out, kViewpoint), rotation, motion.topRightCorner<3, 1>());
  }
  return out;
}

void saveCloudKeepingFields(const Cloud& cloud, const CloudFile& source, const std::vector<std::size_t>& kept,
                            const std::string& path, PcdFormat format, const Eigen::Matrix4d& motion) {
  if (otherFields(source.points).empty()) {
    saveCloud(cloud, path, format);
    return;
  }
  saveCloud(withOtherFields(cloud, source.points, kept, motion), cloud.sensor_origin_,
            cloud.sensor_orientation_, path, format);
}

}  // namespace nimbrel_tools
