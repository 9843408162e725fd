#include "arrays.hpp"

#include <fmt/format.h>
#include <pcl/common/point_tests.h>
#include <pcl/conversions.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace nimbrel_python {
namespace {

static_assert(sizeof(pcl::PointXYZ) == 16 && offsetof(pcl::PointXYZ, x) == 0, "x, y, z then padding");

// Names the capsule that owns a cloud behind a returned view, so that a view passed back in is recognised.
constexpr const char* kCloudCapsule = "nimbrel_arm_util.cloud";

thread_local double lastWork = 0.0;

std::string typeName(py::handle h) { return Py_TYPE(h.ptr())->tp_name; }

std::string shapeText(const py::array& a) {
  std::string s = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) s += fmt::format(i == 0 ? "{}" : ", {}", a.shape(i));
  return s + (a.ndim() == 1 ? ",)" : ")");
}

// The cloud that `points` views in full, or null when it is anything else.
CloudPtr viewedCloud(py::handle points) {
  if (!py::isinstance<py::array>(points)) return nullptr;
  const auto a = py::reinterpret_borrow<py::array>(points);
  const py::object base = a.base();
  if (!base || !PyCapsule_CheckExact(base.ptr()) || PyCapsule_GetName(base.ptr()) != kCloudCapsule)
    return nullptr;
  const CloudPtr& cloud = *static_cast<CloudPtr*>(PyCapsule_GetPointer(base.ptr(), kCloudCapsule));
  const bool whole = py::isinstance<py::array_t<float>>(a) && a.ndim() == 2 &&
                     a.shape(0) == static_cast<py::ssize_t>(cloud->size()) && a.shape(1) == 3 &&
                     a.strides(0) == sizeof(pcl::PointXYZ) && a.strides(1) == sizeof(float) &&
                     a.data() == static_cast<const void*>(cloud->points.data());
  return whole ? cloud : nullptr;
}

// An (N, 3) array of float32 or float64, as it is (no copy); raises for anything else.
py::array coordinatesArg(py::handle points, const char* name) {
  const py::array a = py::array::ensure(points);
  if (!a) throw py::type_error(fmt::format("{}: expected an (N, 3) array, got {}", name, typeName(points)));
  if (!py::isinstance<py::array_t<float>>(a) && !py::isinstance<py::array_t<double>>(a))
    throw py::type_error(fmt::format("{}: expected float32 or float64 coordinates, got {}", name,
                                     std::string(py::str(a.dtype()))));
  if (a.ndim() != 2 || a.shape(1) != 3)
    throw py::value_error(fmt::format("{}: expected shape (N, 3), got {}", name, shapeText(a)));
  return a;
}

template <class T>
bool copyPoints(const char* data, py::ssize_t n, py::ssize_t rowStride, py::ssize_t colStride, Cloud& out) {
  bool finite = true;
  for (py::ssize_t i = 0; i < n; ++i) {
    const char* row = data + i * rowStride;
    pcl::PointXYZ& p = out.points[static_cast<std::size_t>(i)];
    // NumPy arrays need not be aligned (a buffer read at an odd offset): every value is copied bytewise.
    T xyz[3];
    for (int k = 0; k < 3; ++k) std::memcpy(&xyz[k], row + k * colStride, sizeof(T));
    p.x = static_cast<float>(xyz[0]);
    p.y = static_cast<float>(xyz[1]);
    p.z = static_cast<float>(xyz[2]);
    finite = finite && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
  }
  return finite;
}

// Integer array of shape (F, 3) as int64, C order.
py::array_t<std::int64_t> facesArg(py::handle faces, const std::string& name) {
  const py::array a = py::array::ensure(faces);
  if (!a)
    throw py::type_error(fmt::format("{}: expected an (F, 3) integer array, got {}", name, typeName(faces)));
  // An empty list arrives as a float64 array of shape (0,): a mesh without faces.
  if (a.size() == 0 && a.ndim() <= 2 && (a.ndim() < 2 || a.shape(1) == 3))
    return py::array_t<std::int64_t>(std::vector<py::ssize_t>{0, 3});
  const char kind = a.dtype().kind();
  if (kind != 'i' && kind != 'u')
    throw py::type_error(
        fmt::format("{}: expected integer vertex indices, got {}", name, std::string(py::str(a.dtype()))));
  if (a.ndim() != 2 || a.shape(1) != 3)
    throw py::value_error(fmt::format("{}: expected shape (F, 3), got {}", name, shapeText(a)));
  return py::array_t<std::int64_t, kConverted>::ensure(a);
}

template <class From, class To>
void copyCoordinates(const char* data, py::ssize_t n, py::ssize_t rowStride, py::ssize_t colStride, To* out) {
  if (colStride == static_cast<py::ssize_t>(sizeof(From))) {
    // Rows of three adjacent values (the module's own views among them): one fixed-size copy per row.
    for (py::ssize_t i = 0; i < n; ++i) {
      From v[3];
      std::memcpy(v, data + i * rowStride, sizeof v);
      out[3 * i] = static_cast<To>(v[0]);
      out[3 * i + 1] = static_cast<To>(v[1]);
      out[3 * i + 2] = static_cast<To>(v[2]);
    }
    return;
  }
  for (py::ssize_t i = 0; i < n; ++i) {
    const char* row = data + i * rowStride;
    for (int k = 0; k < 3; ++k) {
      From v;
      std::memcpy(&v, row + k * colStride, sizeof(From));
      out[3 * i + k] = static_cast<To>(v);
    }
  }
}

}  // namespace

template <class T>
py::array_t<T> contiguousCopy(py::handle points) {
  const py::array a = coordinatesArg(points, "points");
  const py::ssize_t n = a.shape(0);
  py::array_t<T> out(std::vector<py::ssize_t>{n, 3});
  const auto* data = static_cast<const char*>(a.data());
  const py::ssize_t rowStride = a.strides(0), colStride = a.strides(1);
  const bool isFloat = py::isinstance<py::array_t<float>>(a);
  T* to = out.mutable_data();
  py::gil_scoped_release release;
  if (isFloat)
    copyCoordinates<float>(data, n, rowStride, colStride, to);
  else
    copyCoordinates<double>(data, n, rowStride, colStride, to);
  return out;
}

template py::array_t<float> contiguousCopy<float>(py::handle);
template py::array_t<double> contiguousCopy<double>(py::handle);

CloudPtr cloudArg(py::handle points, const char* name) {
  if (CloudPtr viewed = viewedCloud(points)) return viewed;
  const py::array a = coordinatesArg(points, name);
  auto cloud = std::make_shared<Cloud>();
  const py::ssize_t n = a.shape(0);
  const auto* data = static_cast<const char*>(a.data());
  const py::ssize_t rowStride = a.strides(0), colStride = a.strides(1);
  const bool isFloat = py::isinstance<py::array_t<float>>(a);
  {
    // The caller's array stays referenced by the call's arguments while the GIL is released.
    py::gil_scoped_release release;
    cloud->points.resize(static_cast<std::size_t>(n));
    cloud->width = static_cast<std::uint32_t>(n);
    cloud->height = n == 0 ? 0 : 1;
    cloud->is_dense = isFloat ? copyPoints<float>(data, n, rowStride, colStride, *cloud)
                              : copyPoints<double>(data, n, rowStride, colStride, *cloud);
  }
  return cloud;
}

py::array cloudView(CloudPtr cloud) {
  if (cloud->empty()) return py::array_t<float>(std::vector<py::ssize_t>{0, 3});
  // The flag travels with the view into the next call, where the library skips its finite checks on a
  // cloud flagged dense: a filter's output (or a file) that holds a non-finite point must not claim it.
  if (cloud->is_dense)
    cloud->is_dense = std::all_of(cloud->points.begin(), cloud->points.end(),
                                  [](const pcl::PointXYZ& p) { return pcl::isFinite(p); });
  const auto n = static_cast<py::ssize_t>(cloud->size());
  auto* holder = new CloudPtr(std::move(cloud));
  PyObject* capsule = PyCapsule_New(holder, kCloudCapsule, [](PyObject* c) {
    delete static_cast<CloudPtr*>(PyCapsule_GetPointer(c, kCloudCapsule));
  });
  if (capsule == nullptr) {
    delete holder;
    throw py::error_already_set();
  }
  const auto owner = py::reinterpret_steal<py::object>(capsule);
  py::array view(py::dtype::of<float>(), {n, py::ssize_t{3}},
                 {static_cast<py::ssize_t>(sizeof(pcl::PointXYZ)), static_cast<py::ssize_t>(sizeof(float))},
                 &(*holder)->points[0].x, owner);
  // Read-only: the cloud may be handed back to the library as it is, which must see what it produced.
  py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return view;
}

py::array keptIndices(const Cloud& in, const Cloud& out) {
  py::array_t<std::int64_t> index(static_cast<py::ssize_t>(out.size()));
  std::int64_t* rows = index.mutable_data();
  std::size_t j = 0;
  {
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < in.size() && j < out.size(); ++i) {
      // x, y, z bit for bit (NaN included), as two loads each.
      const pcl::PointXYZ &a = in[i], &b = out[j];
      std::uint64_t axy, bxy;
      std::uint32_t az, bz;
      std::memcpy(&axy, &a.x, sizeof axy);
      std::memcpy(&bxy, &b.x, sizeof bxy);
      std::memcpy(&az, &a.z, sizeof az);
      std::memcpy(&bz, &b.z, sizeof bz);
      if (axy == bxy && az == bz) rows[j++] = static_cast<std::int64_t>(i);
    }
  }
  if (j != out.size()) throw std::runtime_error("the filter's points are not a subset of its input in order");
  return std::move(index);
}

py::object withIndex(const Cloud& in, CloudPtr out, bool returnIndex) {
  if (!returnIndex) return cloudView(std::move(out));
  py::array index = keptIndices(in, *out);
  return py::make_tuple(cloudView(std::move(out)), index);
}

pcl::PolygonMesh meshArg(py::handle vertices, py::handle faces, const std::string& name) {
  const std::string verticesName = name.empty() ? "vertices" : name + " vertices";
  const std::string facesName = name.empty() ? "faces" : name + " faces";
  const CloudPtr cloud = cloudArg(vertices, verticesName.c_str());
  const py::array_t<std::int64_t> f = facesArg(faces, facesName);
  pcl::PolygonMesh mesh;
  pcl::toPCLPointCloud2(*cloud, mesh.cloud);
  const auto indices = f.unchecked<2>();
  const auto count = static_cast<std::int64_t>(cloud->size());
  mesh.polygons.resize(static_cast<std::size_t>(indices.shape(0)));
  for (py::ssize_t i = 0; i < indices.shape(0); ++i) {
    auto& triangle = mesh.polygons[static_cast<std::size_t>(i)].vertices;
    triangle.resize(3);
    for (py::ssize_t k = 0; k < 3; ++k) {
      const std::int64_t v = indices(i, k);
      if (v < 0 || v >= count)
        throw py::value_error(
            fmt::format("{}: index {} of face {} out of range for {} vertices", facesName, v, i, count));
      triangle[static_cast<std::size_t>(k)] = static_cast<std::uint32_t>(v);
    }
  }
  return mesh;
}

std::shared_ptr<const MeshList> meshListArg(py::handle meshes, const char* name) {
  if (py::isinstance<MeshList>(meshes)) return meshes.cast<std::shared_ptr<MeshList>>();
  if (!py::isinstance<py::list>(meshes) && !py::isinstance<py::tuple>(meshes))
    throw py::type_error(
        fmt::format("{}: expected a list of (vertices, faces) pairs, got {}", name, typeName(meshes)));
  auto out = std::make_shared<MeshList>();
  const auto items = py::reinterpret_borrow<py::sequence>(meshes);
  for (std::size_t i = 0; i < items.size(); ++i) {
    const py::object item = items[i];
    const std::string itemName = fmt::format("{}[{}]", name, i);
    if ((!py::isinstance<py::list>(item) && !py::isinstance<py::tuple>(item)) || py::len(item) != 2)
      throw py::type_error(
          fmt::format("{}: expected a (vertices, faces) pair, got {}", itemName, typeName(item)));
    const auto pair = py::reinterpret_borrow<py::sequence>(item);
    out->push_back(meshArg(pair[0], pair[1], itemName));
  }
  return out;
}

py::tuple meshArrays(const pcl::PolygonMesh& mesh) {
  Cloud cloud;
  pcl::fromPCLPointCloud2(mesh.cloud, cloud);
  py::array_t<float> vertices(std::vector<py::ssize_t>{static_cast<py::ssize_t>(cloud.size()), 3});
  auto v = vertices.mutable_unchecked<2>();
  for (py::ssize_t i = 0; i < v.shape(0); ++i) {
    const auto& p = cloud.points[static_cast<std::size_t>(i)];
    v(i, 0) = p.x;
    v(i, 1) = p.y;
    v(i, 2) = p.z;
  }
  py::array_t<std::int32_t> faces(
      std::vector<py::ssize_t>{static_cast<py::ssize_t>(mesh.polygons.size()), 3});
  auto f = faces.mutable_unchecked<2>();
  for (py::ssize_t i = 0; i < f.shape(0); ++i)
    for (py::ssize_t k = 0; k < 3; ++k)
      f(i, k) = static_cast<std::int32_t>(mesh.polygons[static_cast<std::size_t>(i)].vertices.at(k));
  return py::make_tuple(vertices, faces);
}

Eigen::Matrix4d poseArg(py::handle pose, const char* name) {
  const py::array a = py::array::ensure(pose);
  if (!a || (a.dtype().kind() != 'f' && a.dtype().kind() != 'i' && a.dtype().kind() != 'u'))
    throw py::type_error(fmt::format("{}: expected a 4x4 array of numbers, got {}", name,
                                     a ? std::string(py::str(a.dtype())) : typeName(pose)));
  if (a.ndim() != 2 || a.shape(0) != 4 || a.shape(1) != 4)
    throw py::value_error(fmt::format("{}: expected shape (4, 4), got {}", name, shapeText(a)));
  const auto m = py::array_t<double, kConverted>::ensure(a).unchecked<2>();
  Eigen::Matrix4d out;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      out(r, c) = m(r, c);
      if (!std::isfinite(out(r, c)))
        throw py::value_error(fmt::format("{}: entry ({}, {}) is not finite", name, r, c));
    }
  if (out(3, 0) != 0.0 || out(3, 1) != 0.0 || out(3, 2) != 0.0 || out(3, 3) != 1.0)
    throw py::value_error(fmt::format("{}: the bottom row must be 0 0 0 1", name));
  return out;
}

Eigen::Vector3d vec3Arg(py::handle value, const char* name, bool nonNegative) {
  const py::array a = py::array::ensure(value);
  if (!a || (a.dtype().kind() != 'f' && a.dtype().kind() != 'i' && a.dtype().kind() != 'u'))
    throw py::type_error(fmt::format("{}: expected three numbers, got {}", name, typeName(value)));
  if (a.ndim() != 1 || a.shape(0) != 3)
    throw py::value_error(fmt::format("{}: expected three numbers, got shape {}", name, shapeText(a)));
  const auto v = py::array_t<double, kConverted>::ensure(a).unchecked<1>();
  Eigen::Vector3d out(v(0), v(1), v(2));
  for (int i = 0; i < 3; ++i) {
    if (!std::isfinite(out[i])) throw py::value_error(fmt::format("{}: entry {} is not finite", name, i));
    if (nonNegative && out[i] < 0.0)
      throw py::value_error(fmt::format("{}: entry {} is negative ({})", name, i, out[i]));
  }
  return out;
}

double realArg(py::handle value, const char* name) {
  if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || value.is_none())
    throw py::type_error(fmt::format("{}: expected a number, got {}", name, typeName(value)));
  const double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw py::type_error(fmt::format("{}: expected a number, got {}", name, typeName(value)));
  }
  if (!std::isfinite(v)) throw py::value_error(fmt::format("{}: must be finite, got {}", name, v));
  return v;
}

double positiveArg(py::handle value, const char* name) {
  const double v = realArg(value, name);
  if (!(v > 0.0)) throw py::value_error(fmt::format("{}: must be positive, got {}", name, v));
  return v;
}

double nonNegativeArg(py::handle value, const char* name) {
  const double v = realArg(value, name);
  if (v < 0.0) throw py::value_error(fmt::format("{}: must not be negative, got {}", name, v));
  return v;
}

long intArg(py::handle value, const char* name, long minimum) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    throw py::type_error(fmt::format("{}: expected an integer, got {}", name, typeName(value)));
  }
  int overflow = 0;
  const long v = PyLong_AsLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (overflow != 0 || v < minimum || v > std::numeric_limits<int>::max())
    throw py::value_error(
        fmt::format("{}: must be an integer from {} to {}", name, minimum, std::numeric_limits<int>::max()));
  return v;
}

double lastWorkSeconds() { return lastWork; }

namespace detail {
void recordWork(double seconds) { lastWork = seconds; }
double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
}  // namespace detail

}  // namespace nimbrel_python
