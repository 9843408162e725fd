// Crops, cleaning, transforms and oriented boxes.
#include <fmt/format.h>
#include <pcl/common/common.h>
#include <pcl/common/point_tests.h>
#include <pcl/filters/filter.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "arrays.hpp"
#include "bindings.hpp"

namespace nimbrel_python {
namespace {

using nimbrel_arm_util::PointCloudsDeal;

// Runs `step(deal, out)` on a fresh object and output cloud without the GIL; the output cloud.
template <class Step>
CloudPtr run(Step&& step) {
  const auto out = std::make_shared<Cloud>();
  work([&] {
    PointCloudsDeal deal;
    step(deal, out);
  });
  return out;
}

// The same, the output as a view.
template <class Step>
py::array filtered(Step&& step) {
  return cloudView(run(std::forward<Step>(step)));
}

// The closed box lower..upper, each corner three finite numbers with lower <= upper on every axis.
std::pair<Eigen::Vector3d, Eigen::Vector3d> boxArgs(py::handle lower, py::handle upper) {
  const Eigen::Vector3d lo = vec3Arg(lower, "lower", false), hi = vec3Arg(upper, "upper", false);
  for (int i = 0; i < 3; ++i)
    if (lo[i] > hi[i])
      throw py::value_error(fmt::format("upper: below lower on axis {} ({} < {})", "xyz"[i], hi[i], lo[i]));
  return {lo, hi};
}

// Warns (RuntimeWarning) that a leaf size cannot down-sample `cloud`, which the library then returns
// unchanged: a script that meant to thin its points hears of it, and one that already copes is not broken.
void warnLeafTooSmall(const Cloud& cloud, double leaf) {
  Eigen::Vector4f lo, hi;
  pcl::getMinMax3D(cloud, lo, hi);
  const Eigen::Vector4f extent = hi - lo;
  const std::string message = fmt::format(
      "leaf_size {} m is too small for the points' extent {} x {} x {} m (the voxel indices would not fit in "
      "32 bits): the points are returned without down-sampling",
      leaf, extent.x(), extent.y(), extent.z());
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) throw py::error_already_set();
}

py::object crop(py::handle points, py::handle lower, py::handle upper, bool returnIndex) {
  const CloudPtr in = cloudArg(points, "points");
  const auto box = boxArgs(lower, upper);
  const Eigen::Vector3d &lo = box.first, &hi = box.second;
  return withIndex(*in, run([&](PointCloudsDeal& deal, const CloudPtr& out) {
    deal.rangeFilterPointClouds(in, out, lo.x(), hi.x(), lo.y(), hi.y(), lo.z(), hi.z());
  }),
                   returnIndex);
}

py::object cropZ(py::handle points, py::handle zMin, py::handle zMax, bool returnIndex) {
  const CloudPtr in = cloudArg(points, "points");
  const double lo = realArg(zMin, "z_min"), hi = realArg(zMax, "z_max");
  return withIndex(*in, run([&](PointCloudsDeal& deal, const CloudPtr& out) {
    deal.rangeInZFilterPointClouds(*in, *out, lo, hi);
  }),
                   returnIndex);
}

py::array clean(py::handle points, py::handle lower, py::handle upper, py::handle leafSize, py::handle meanK,
                py::handle stddevMul) {
  const CloudPtr in = cloudArg(points, "points");
  const auto box = boxArgs(lower, upper);
  const Eigen::Vector3d &lo = box.first, &hi = box.second;
  const double leaf = positiveArg(leafSize, "leaf_size");
  const int k = static_cast<int>(intArg(meanK, "mean_k", 1));
  const double mul = realArg(stddevMul, "stddev_mul");
  PointCloudsDeal deal;
  deal.setFilterRange(lo.x(), hi.x(), lo.y(), hi.y(), lo.z(), hi.z());
  deal.setLeafSize(leaf);
  deal.setStatisticalOutlierRemovalPara(k, mul);
  // The grid sees the finite points inside the box: a leaf that fits the box fits them, else they decide.
  Cloud corners;
  corners.push_back(
      pcl::PointXYZ(static_cast<float>(lo.x()), static_cast<float>(lo.y()), static_cast<float>(lo.z())));
  corners.push_back(
      pcl::PointXYZ(static_cast<float>(hi.x()), static_cast<float>(hi.y()), static_cast<float>(hi.z())));
  if (!deal.leafSizeFits(corners)) {
    const auto inside = std::make_shared<Cloud>();
    bool fits = true;
    work([&] {
      deal.rangeFilterPointClouds(in, inside, lo.x(), hi.x(), lo.y(), hi.y(), lo.z(), hi.z());
      fits = inside->empty() || deal.leafSizeFits(*inside);
    });
    if (!fits) warnLeafTooSmall(*inside, leaf);
  }
  return filtered([&](PointCloudsDeal&, const CloudPtr& out) { deal.processPointClouds(in, out); });
}

// For each point of `in`, the row of the voxel grid's output `out` (leaf `leaf`) that its voxel became, or
// -1 for a non-finite point, which the grid drops. The grid numbers the voxel of a point by the floor of
// its coordinates times the float inverse of the leaf and writes one point per occupied voxel in the order
// of z, then y, then x of those numbers; so the occupied voxels of `in` ranked that way are the rows of
// `out`. Called only where the grid down-sampled, so the numbers span less than 2^31 voxels.
py::array voxelOfEachPoint(const Cloud& in, const Cloud& out, double leaf) {
  py::array_t<std::int64_t> voxel(static_cast<py::ssize_t>(in.size()));
  std::int64_t* rows = voxel.mutable_data();
  std::size_t voxels = 0;
  {
    py::gil_scoped_release release;
    const float inverse = 1.0f / static_cast<float>(leaf);
    std::int64_t lo[3] = {std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max(),
                          std::numeric_limits<std::int64_t>::max()};
    std::int64_t hi[3] = {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::min(),
                          std::numeric_limits<std::int64_t>::min()};
    // floor(v * inverse), as the grid takes it, without a library call per coordinate.
    const auto cell = [inverse](float v) {
      const float scaled = v * inverse;
      const auto truncated = static_cast<std::int64_t>(scaled);
      return static_cast<float>(truncated) > scaled ? truncated - 1 : truncated;
    };
    for (const pcl::PointXYZ& p : in.points) {
      if (!pcl::isFinite(p)) continue;
      const std::int64_t c[3] = {cell(p.x), cell(p.y), cell(p.z)};
      for (int k = 0; k < 3; ++k) {
        lo[k] = std::min(lo[k], c[k]);
        hi[k] = std::max(hi[k], c[k]);
      }
    }
    // One number per voxel, in the grid's order.
    const std::int64_t nx = hi[0] - lo[0] + 1, ny = hi[1] - lo[1] + 1;
    const auto number = [&](const pcl::PointXYZ& p) {
      return ((cell(p.z) - lo[2]) * ny + (cell(p.y) - lo[1])) * nx + (cell(p.x) - lo[0]);
    };
    // The occupied voxels in an open-addressing table, numbered as first met.
    std::size_t capacity = 16;
    int shift = 60;  // Fibonacci hashing: the product's top bits, as many as the capacity's
    while (capacity < 2 * out.size()) {
      capacity *= 2;
      --shift;
    }
    struct Entry {
      std::int64_t key = -1;
      std::int64_t slot = 0;
    };
    std::vector<Entry> table(capacity);
    std::vector<std::int64_t> keys;
    keys.reserve(out.size());
    // A small cache in front of the table: a depth image's next row meets mostly the voxels of the last.
    std::array<Entry, 1024> recent;
    bool tooMany = false;
    for (std::size_t i = 0; i < in.size(); ++i) {
      rows[i] = -1;
      if (!pcl::isFinite(in[i])) continue;
      const std::int64_t key = number(in[i]);
      Entry& cached = recent[static_cast<std::size_t>(key) & (recent.size() - 1)];
      if (cached.key != key) {
        std::size_t at =
            static_cast<std::size_t>((static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ULL) >> shift);
        while (table[at].key != key && table[at].key != -1) at = (at + 1) & (capacity - 1);
        if (table[at].key == -1) {
          // More voxels than the grid wrote: the table would fill up; the count check below reports it.
          if (keys.size() == out.size()) {
            tooMany = true;
            break;
          }
          table[at] = {key, static_cast<std::int64_t>(keys.size())};
          keys.push_back(key);
        }
        cached = table[at];
      }
      rows[i] = cached.slot;
    }
    if (tooMany) throw std::runtime_error("the voxel grid's output does not match its voxels");
    // The grid's rows follow the voxels' numbers.
    std::vector<std::int64_t> order(keys.size()), rank(keys.size());
    for (std::size_t v = 0; v < keys.size(); ++v) order[v] = static_cast<std::int64_t>(v);
    std::sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
      return keys[static_cast<std::size_t>(a)] < keys[static_cast<std::size_t>(b)];
    });
    for (std::size_t r = 0; r < keys.size(); ++r)
      rank[static_cast<std::size_t>(order[r])] = static_cast<std::int64_t>(r);
    for (std::size_t i = 0; i < in.size(); ++i)
      if (rows[i] >= 0) rows[i] = rank[static_cast<std::size_t>(rows[i])];
    voxels = keys.size();
  }
  if (voxels != out.size()) throw std::runtime_error("the voxel grid's output does not match its voxels");
  return std::move(voxel);
}

py::object voxelDownSample(py::handle points, py::handle leafSize, bool returnInverse) {
  const CloudPtr in = cloudArg(points, "points");
  const double leaf = positiveArg(leafSize, "leaf_size");
  bool fits = true;
  const CloudPtr out = run([&](PointCloudsDeal& deal, const CloudPtr& result) {
    deal.setLeafSize(leaf);
    fits = in->empty() || deal.leafSizeFits(*in);
    deal.voxelGridfilterPointClouds(in, result);
  });
  if (!fits) warnLeafTooSmall(*in, leaf);
  if (!returnInverse) return cloudView(out);
  // Not down-sampled, the points are returned as they are: each is its own row.
  py::array voxel = fits ? voxelOfEachPoint(*in, *out, leaf) : keptIndices(*in, *out);
  return py::make_tuple(cloudView(out), voxel);
}

py::object removeOutliers(py::handle points, py::handle meanK, py::handle stddevMul, bool returnIndex) {
  const CloudPtr in = cloudArg(points, "points");
  const int k = static_cast<int>(intArg(meanK, "mean_k", 1));
  const double mul = realArg(stddevMul, "stddev_mul");
  return withIndex(*in, run([&](PointCloudsDeal& deal, const CloudPtr& out) {
    // The library's filter keeps non-finite points (it has no distance for them); the cleaning road drops
    // them before it, and so does this call. The cloud's density flag is honest here.
    CloudPtr finite = in;
    if (!in->is_dense) {
      finite = std::make_shared<Cloud>();
      pcl::Indices kept;
      pcl::removeNaNFromPointCloud(*in, *finite, kept);
    }
    deal.setStatisticalOutlierRemovalPara(k, mul);
    deal.removeOutlierPointClouds(finite, out);
  }),
                   returnIndex);
}

py::array transform(py::handle points, py::handle pose) {
  const CloudPtr in = cloudArg(points, "points");
  const Eigen::Matrix4f m = poseArg(pose, "pose").cast<float>();
  return filtered([&](PointCloudsDeal& deal, const CloudPtr& out) { deal.TransformToRobot(*in, out, m); });
}

// An oriented box: its pose and full edge lengths, grown by scale and margin.
struct BoxArgs {
  Eigen::Matrix4d pose;
  Eigen::Vector3d size;
  double scale;
  double margin;
};

BoxArgs boxPoseArgs(py::handle pose, py::handle size, py::handle scale, py::handle margin) {
  return {poseArg(pose, "pose"), vec3Arg(size, "size", true), nonNegativeArg(scale, "scale"),
          realArg(margin, "margin")};
}

py::object removeBox(py::handle points, py::handle pose, py::handle size, py::handle scale, py::handle margin,
                     bool returnIndex) {
  const CloudPtr in = cloudArg(points, "points");
  BoxArgs box = boxPoseArgs(pose, size, scale, margin);
  return withIndex(*in, run([&](PointCloudsDeal& deal, const CloudPtr& out) {
    deal.removeObbPointClouds(in, out, box.pose, box.size.data(), box.scale, box.margin);
  }),
                   returnIndex);
}

py::object removeBoxAndTool(py::handle points, py::handle pose, py::handle size, py::handle toolPose,
                            py::handle toolHalfSize, py::handle scale, py::handle margin,
                            py::handle toolMargin, bool returnIndex) {
  const CloudPtr in = cloudArg(points, "points");
  BoxArgs box = boxPoseArgs(pose, size, scale, margin);
  Eigen::Matrix4d tool = poseArg(toolPose, "tool_pose");
  Eigen::Vector3d toolHalf = vec3Arg(toolHalfSize, "tool_half_size", true);
  const double toolGrow = realArg(toolMargin, "tool_margin");
  return withIndex(*in, run([&](PointCloudsDeal& deal, const CloudPtr& out) {
    deal.removeObbAndToolPointClouds(in, out, box.pose, box.size.data(), box.scale, box.margin, tool,
                                     toolHalf.data(), toolGrow);
  }),
                   returnIndex);
}

py::array insideBox(py::handle points, py::handle pose, py::handle size, py::handle scale,
                    py::handle margin) {
  const CloudPtr in = cloudArg(points, "points");
  BoxArgs box = boxPoseArgs(pose, size, scale, margin);
  py::array_t<bool> inside(static_cast<py::ssize_t>(in->size()));
  bool* flags = inside.mutable_data();
  work([&] {
    PointCloudsDeal deal;
    for (std::size_t i = 0; i < in->size(); ++i)
      flags[i] = pcl::isFinite((*in)[i]) &&
                 deal.isInObbRange(box.pose, box.size.data(), (*in)[i], box.scale, box.margin);
  });
  return std::move(inside);
}

}  // namespace

void bindClouds(py::module_& m) {
  using py::arg;
  m.def("crop", &crop, arg("points"), arg("lower"), arg("upper"), py::kw_only(), arg("return_index") = false,
        "crop(points, lower, upper, *, return_index=False)\n--\n\n"
        "The finite points inside the closed, axis-aligned box lower..upper (three numbers each, metres, in\n"
        "the points' own frame), compared in float, in their input order.");
  m.def("crop_z", &cropZ, arg("points"), arg("z_min"), arg("z_max"), py::kw_only(),
        arg("return_index") = false,
        "crop_z(points, z_min, z_max, *, return_index=False)\n--\n\n"
        "The points whose z lies strictly between z_min and z_max (metres, the points' frame), in order.");
  m.def("clean", &clean, arg("points"), arg("lower") = py::make_tuple(-2.0, -2.0, -2.0),
        arg("upper") = py::make_tuple(2.0, 2.0, 2.0), arg("leaf_size") = 0.005, arg("mean_k") = 50,
        arg("stddev_mul") = 1.0,
        "clean(points, lower=(-2.0, -2.0, -2.0), upper=(2.0, 2.0, 2.0), leaf_size=0.005, mean_k=50,\n"
        "      stddev_mul=1.0)\n--\n\n"
        "The whole cleaning road of a camera frame: drops non-finite points, crops to the closed box\n"
        "lower..upper (metres, camera frame), down-samples on a voxel grid of edge leaf_size (metres) and\n"
        "removes statistical outliers (mean distance to the mean_k nearest neighbours beyond the average by\n"
        "more than stddev_mul standard deviations). Returns an empty array when nothing is left. A leaf too\n"
        "small for the extent of the points inside the box (voxel indices beyond 32 bits) leaves them\n"
        "without down-sampling and warns (RuntimeWarning).");
  m.def(
      "voxel_down_sample", &voxelDownSample, arg("points"), arg("leaf_size"), py::kw_only(),
      arg("return_inverse") = false,
      "voxel_down_sample(points, leaf_size, *, return_inverse=False)\n--\n\n"
      "One centroid per occupied cubic voxel of edge leaf_size (metres, the same on every axis). A leaf too\n"
      "small for the points' extent (voxel indices beyond 32 bits) returns the points unchanged and warns\n"
      "(RuntimeWarning). With return_inverse, also the row of the result that each input point went into\n"
      "(int64 (N,), -1 for a non-finite point): labels[inverse == r] are the labels of result row r.");
  m.def("remove_outliers", &removeOutliers, arg("points"), arg("mean_k") = 50, arg("stddev_mul") = 1.0,
        py::kw_only(), arg("return_index") = false,
        "remove_outliers(points, mean_k=50, stddev_mul=1.0, *, return_index=False)\n--\n\n"
        "Statistical outlier removal: keeps the finite points whose mean distance to their mean_k nearest\n"
        "neighbours is at most the average plus stddev_mul standard deviations (non-finite points are\n"
        "dropped, as clean drops them).");
  m.def("transform", &transform, arg("points"), arg("pose"),
        "transform(points, pose)\n--\n\n"
        "Every point moved by the rigid or affine 4x4 pose (bottom row 0 0 0 1), computed in float: the\n"
        "camera-to-robot pose takes camera-frame points into the robot frame. Non-finite points stay.");
  m.def(
      "remove_box", &removeBox, arg("points"), arg("pose"), arg("size"), arg("scale") = 1.0,
      arg("margin") = 0.0, py::kw_only(), arg("return_index") = false,
      "remove_box(points, pose, size, scale=1.0, margin=0.0, *, return_index=False)\n--\n\n"
      "The points outside an oriented box: pose is the box's 4x4 pose in the points' frame (rotation\n"
      "columns are its axes, last column its centre), size its three full edge lengths (metres); each half\n"
      "extent is size / 2 * scale + margin, and the z half extent is never below 0.1 m.");
  m.def("remove_box_and_tool", &removeBoxAndTool, arg("points"), arg("pose"), arg("size"), arg("tool_pose"),
        arg("tool_half_size"), arg("scale") = 1.0, arg("margin") = 0.0, arg("tool_margin") = 0.0,
        py::kw_only(), arg("return_index") = false,
        "remove_box_and_tool(points, pose, size, tool_pose, tool_half_size, scale=1.0, margin=0.0,\n"
        "                    tool_margin=0.0, *, return_index=False)\n--\n\n"
        "As remove_box, also dropping the points inside the tool's box: tool_pose its 4x4 pose,\n"
        "tool_half_size its three half extents (metres), grown by tool_margin (the z half extent is never\n"
        "below 0.1 m).");
  m.def("inside_box", &insideBox, arg("points"), arg("pose"), arg("size"), arg("scale") = 1.0,
        arg("margin") = 0.0,
        "inside_box(points, pose, size, scale=1.0, margin=0.0)\n--\n\n"
        "For each point, whether it lies inside the grown oriented box of remove_box; a non-finite point is\n"
        "inside nothing.");
}

}  // namespace nimbrel_python
