// The fields of a cloud's points besides x, y and z (colours, labels, intensities, normals, viewpoints),
// carried through the commands that only move or select points.
#pragma once

#include <pcl/PCLPointCloud2.h>

#include <Eigen/Core>
#include <cstddef>
#include <string>
#include <vector>

#include "support/files.hpp"

namespace nimbrel_tools {

/// Names of the fields besides x, y and z, in the file's order (padding left out).
std::vector<std::string> otherFields(const pcl::PCLPointCloud2& cloud);

/// Which points of `in` the points of `out` are: `out` holds points of `in` in their order (as every crop
/// and cut does), and point i of `out` is point result[i] of `in`. Points are told apart by their exact
/// coordinates; a cut decides by the coordinates alone, so a point equal to an earlier one that was cut is
/// never kept. Throws ToolError if `out` is not such a selection.
std::vector<std::size_t> keptPoints(const Cloud& in, const Cloud& out);

/// The points of `xyz` as float x, y, z followed by every other field of point kept[i] of `source`, copied.
/// `motion` is what moved the points (any affine matrix): normals (normal_x/y/z, nx/ny/nz) turn with the
/// inverse transpose of its 3x3 block and keep their length (unit normals stay unit under a scale; zero and
/// NaN normals stay so), and viewpoints (vp_x/y/z) move with it; both in double, in fields of any numeric
/// type (integers rounded).
pcl::PCLPointCloud2 withOtherFields(const Cloud& xyz, const pcl::PCLPointCloud2& source,
                                    const std::vector<std::size_t>& kept,
                                    const Eigen::Matrix4d& motion = Eigen::Matrix4d::Identity());

/// Writes `cloud` with the other fields of the points of `source.points` it keeps (see withOtherFields), or
/// as x, y, z alone when the file has no other field. Viewpoints are shifted by `source.shift`, as the
/// points were, then moved by `motion`.
void saveCloudKeepingFields(const Cloud& cloud, const CloudFile& source, const std::vector<std::size_t>& kept,
                            const std::string& path, PcdFormat format,
                            const Eigen::Matrix4d& motion = Eigen::Matrix4d::Identity());

}  // namespace nimbrel_tools
