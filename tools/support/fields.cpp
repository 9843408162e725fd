// Carrying the fields of a cloud's points besides x, y and z.
#include "support/fields.hpp"

#include <fmt/format.h>
#include <pcl/common/io.h>

#include <Eigen/Geometry>
#include <array>
#include <cstring>
#include <functional>
#include <optional>

#include "support/file_formats.hpp"

namespace nimbrel_tools {
namespace {

bool isCoordinate(const std::string& name) { return name == "x" || name == "y" || name == "z"; }

// The triples of numeric fields that are directions (turned) or positions (moved) of a point.
const std::array<std::array<const char*, 3>, 2> kDirections{
    {{"normal_x", "normal_y", "normal_z"}, {"nx", "ny", "nz"}}};
const std::array<const char*, 3> kViewpoint{"vp_x", "vp_y", "vp_z"};

using Triple = std::array<const pcl::PCLPointField*, 3>;

// The output's fields of a triple, each a single number of any type the readers take; none when one is
// missing.
std::optional<Triple> numericTriple(const pcl::PCLPointCloud2& out, const std::array<const char*, 3>& names) {
  Triple triple{};
  for (std::size_t i = 0; i < 3; ++i) {
    for (const auto& f : out.fields) {
      if (f.name == names[i] && f.count == 1 && detail::numericSize(f.datatype) != 0) triple[i] = &f;
    }
    if (triple[i] == nullptr) return std::nullopt;
  }
  return triple;
}

// Runs `map` on the triple's value of every point, in double, and stores the result in the fields' types.
void mapTriple(pcl::PCLPointCloud2& out, const std::optional<Triple>& triple,
               const std::function<Eigen::Vector3d(const Eigen::Vector3d&)>& map) {
  if (!triple) return;
  const std::size_t count = std::size_t{out.width} * out.height;
  for (std::size_t p = 0; p < count; ++p) {
    Eigen::Vector3d v;
    for (std::size_t i = 0; i < 3; ++i)
      v[static_cast<Eigen::Index>(i)] = static_cast<double>(detail::readValue(out, *(*triple)[i], p));
    const Eigen::Vector3d w = map(v);
    for (std::size_t i = 0; i < 3; ++i)
      detail::writeValue(out, *(*triple)[i], p, w[static_cast<Eigen::Index>(i)]);
  }
}

// What turns the normals of a surface moved by `linear`: its inverse transpose, up to a positive factor that
// the normals' renormalisation removes. Taken as the cofactor matrix times the sign of the determinant, it
// keeps a mirrored surface's normals outward and also exists for a map that flattens, where it gives the
// flat surface's normal.
Eigen::Matrix3d normalMatrix(const Eigen::Matrix3d& linear) {
  const Eigen::Vector3d r0 = linear.row(0), r1 = linear.row(1), r2 = linear.row(2);
  Eigen::Matrix3d cofactors;
  cofactors.row(0) = r1.cross(r2);
  cofactors.row(1) = r2.cross(r0);
  cofactors.row(2) = r0.cross(r1);
  return linear.determinant() < 0.0 ? Eigen::Matrix3d(-cofactors) : cofactors;
}

// A normal turned and given back its own length: unit normals stay unit under any scale, a zero normal
// stays zero and a NaN one NaN.
Eigen::Vector3d turnNormal(const Eigen::Matrix3d& turn, const Eigen::Vector3d& normal) {
  const Eigen::Vector3d turned = turn * normal;
  const double length = turned.norm();
  return length > 0.0 ? Eigen::Vector3d(turned * (normal.norm() / length)) : turned;
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
    const Eigen::Matrix3d linear = motion.topLeftCorner<3, 3>();
    const Eigen::Vector3d offset = motion.topRightCorner<3, 1>();
    const Eigen::Matrix3d turn = normalMatrix(linear);
    for (const auto& names : kDirections) {
      mapTriple(out, numericTriple(out, names),
                [&](const Eigen::Vector3d& n) { return turnNormal(turn, n); });
    }
    mapTriple(out, numericTriple(out, kViewpoint),
              [&](const Eigen::Vector3d& v) -> Eigen::Vector3d { return linear * v + offset; });
  }
  return out;
}

void saveCloudKeepingFields(const Cloud& cloud, const CloudFile& source, const std::vector<std::size_t>& kept,
                            const std::string& path, PcdFormat format, const Eigen::Matrix4d& motion) {
  if (otherFields(source.points).empty()) {
    saveCloud(cloud, path, format);
    return;
  }
  // The points were shifted as they were read; the viewpoints in the fields are shifted here, before the
  // motion, as the points were.
  Eigen::Matrix4d shiftThenMotion = motion;
  shiftThenMotion.topRightCorner<3, 1>() -= motion.topLeftCorner<3, 3>() * source.shift;
  saveCloud(withOtherFields(cloud, source.points, kept, shiftThenMotion), cloud.sensor_origin_,
            cloud.sensor_orientation_, path, format);
}

}  // namespace nimbrel_tools
