// Conversions between NumPy arrays and the library's types, with the argument checks of the Python module.
//
// Every check throws pybind11's type_error or value_error (TypeError, ValueError in Python) with one line
// that starts with the argument's name: a wrong type or dtype, or a wrong shape or value. Clouds come back as
// read-only float32 (N, 3) views onto the cloud's own points (16-byte rows), kept alive by the cloud they
// belong to.
#pragma once

#include <pcl/PolygonMesh.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <Eigen/Core>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_python {

namespace py = pybind11;
using Cloud = nimbrel_arm_util::PointCloudsDeal::Cloud;
using CloudPtr = nimbrel_arm_util::PointCloudsDeal::CloudPtr;

/// Flags of an array converted for reading through typed pointers: C order, any dtype cast, aligned.
constexpr int kConverted =
    py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_;

/// The cloud behind `points`, an (N, 3) float32 or float64 array of any order and strides (or anything
/// NumPy turns into one). A view returned by this module is used as it is; anything else is copied once
/// into a new cloud (width N, height 1, is_dense when every coordinate is finite).
CloudPtr cloudArg(py::handle points, const char* name);
/// Read-only float32 (N, 3) view onto `cloud`'s points, which the array keeps alive; `cloud` (new, not yet
/// shared) loses its is_dense flag when it holds a non-finite point.
py::array cloudView(CloudPtr cloud);

/// The rows of `in` that a filter kept in `out`, as int64 indices in order: the library's filters keep
/// their points' order and copy them bit for bit, so `out` is matched against `in` in one pass (equal points
/// are kept or dropped alike, so which of them is named does not change the rows). Raises RuntimeError if
/// `out` is not such a subset.
py::array keptIndices(const Cloud& in, const Cloud& out);
/// `view`, or (view, keptIndices(in, out)) with `returnIndex`: the one way every call that keeps a subset of
/// its points says which.
py::object withIndex(const Cloud& in, CloudPtr out, bool returnIndex);

/// A new, writable, C-contiguous (N, 3) array of T (float or double) holding the coordinates of `points`
/// (an (N, 3) float32 or float64 array of any layout, such as this module's 16-byte-row views).
template <class T>
py::array_t<T> contiguousCopy(py::handle points);

/// A triangle mesh from (V, 3) float vertices and (F, 3) integer faces indexing them.
pcl::PolygonMesh meshArg(py::handle vertices, py::handle faces, const std::string& name);
/// Meshes converted once, for calls that take the same objects frame after frame (Python's Meshes).
using MeshList = std::vector<pcl::PolygonMesh>;
/// A Meshes object as it is, or a list of (vertices, faces) pairs converted.
std::shared_ptr<const MeshList> meshListArg(py::handle meshes, const char* name);
/// (vertices float32 (V, 3), faces int32 (F, 3)) of a mesh, copied.
py::tuple meshArrays(const pcl::PolygonMesh& mesh);

/// A 4x4 pose of finite numbers whose bottom row is 0 0 0 1.
Eigen::Matrix4d poseArg(py::handle pose, const char* name);
/// Three finite numbers; with `nonNegative`, none below zero.
Eigen::Vector3d vec3Arg(py::handle value, const char* name, bool nonNegative);
/// A finite number (a Python float or int, or a NumPy scalar).
double realArg(py::handle value, const char* name);
/// A finite number above zero.
double positiveArg(py::handle value, const char* name);
/// A finite number not below zero.
double nonNegativeArg(py::handle value, const char* name);
/// An integer of at least `minimum`.
long intArg(py::handle value, const char* name, long minimum);

/// Runs the library's work `f` without the GIL, and records its wall time for last_work_seconds().
template <class F>
void work(F&& f);

/// Wall time of the library's own work in the last call of this thread (seconds).
double lastWorkSeconds();

namespace detail {
void recordWork(double seconds);
double now();
}  // namespace detail

template <class F>
void work(F&& f) {
  py::gil_scoped_release release;
  const double start = detail::now();
  std::forward<F>(f)();
  detail::recordWork(detail::now() - start);
}

}  // namespace nimbrel_python
