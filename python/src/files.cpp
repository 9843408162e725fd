// PCD and mesh files, through the command-line tool's checked readers and writers.
#include "support/files.hpp"

#include <fmt/format.h>

#include <filesystem>

#include "arrays.hpp"
#include "bindings.hpp"

namespace nimbrel_python {
namespace {

std::string pathArg(py::handle path, const char* name) {
  // str or os.PathLike, as open() takes them.
  PyObject* fspath = PyOS_FSPath(path.ptr());
  if (fspath == nullptr || !PyUnicode_Check(fspath)) {
    Py_XDECREF(fspath);
    PyErr_Clear();
    throw py::type_error(
        fmt::format("{}: expected a str or os.PathLike, got {}", name, Py_TYPE(path.ptr())->tp_name));
  }
  return py::reinterpret_steal<py::str>(fspath);
}

void requireReadable(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    errno = ENOENT;
    PyErr_SetFromErrnoWithFilename(PyExc_FileNotFoundError, path.c_str());
    throw py::error_already_set();
  }
}

py::array readPcd(py::handle path) {
  const std::string file = pathArg(path, "path");
  requireReadable(file);
  CloudPtr cloud;
  try {
    py::gil_scoped_release release;
    // The file's density flag is only a claim: the view checks it.
    cloud = nimbrel_tools::loadCloud(file);
  } catch (const nimbrel_tools::ToolError& e) {
    throw py::value_error(e.what());
  }
  return cloudView(cloud);
}

void writePcd(py::handle points, py::handle path, const std::string& format) {
  const CloudPtr cloud = cloudArg(points, "points");
  const std::string file = pathArg(path, "path");
  nimbrel_tools::PcdFormat pcdFormat;
  try {
    pcdFormat = nimbrel_tools::pcdFormatNamed(format);
  } catch (const nimbrel_tools::UsageError&) {
    throw py::value_error(
        fmt::format("format: expected 'binary', 'binary_compressed' or 'ascii', got '{}'", format));
  }
  const std::string ext = nimbrel_tools::extensionOf(file);
  if (ext != ".pcd" && ext != ".ply")
    throw py::value_error(fmt::format("path: expected a .pcd or .ply file name, got {}", file));
  try {
    py::gil_scoped_release release;
    nimbrel_tools::saveCloud(*cloud, file, pcdFormat);
  } catch (const nimbrel_tools::ToolError& e) {
    PyErr_SetString(PyExc_OSError, e.what());
    throw py::error_already_set();
  }
}

py::tuple readMesh(py::handle path) {
  const std::string file = pathArg(path, "path");
  requireReadable(file);
  pcl::PolygonMesh mesh;
  try {
    py::gil_scoped_release release;
    mesh = nimbrel_tools::loadMesh(file);
  } catch (const nimbrel_tools::ToolError& e) {
    throw py::value_error(e.what());
  }
  return meshArrays(mesh);
}

nimbrel_arm_util::CameraModel readCameraInfo(py::handle path) {
  const std::string file = pathArg(path, "path");
  requireReadable(file);
  nimbrel_tools::CameraInfo info;
  try {
    info = nimbrel_tools::loadCameraInfo(file);
  } catch (const nimbrel_tools::ToolError& e) {
    throw py::value_error(e.what());
  }
  for (const std::string& warning : info.warnings)
    if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) != 0) throw py::error_already_set();
  return info.camera;
}

}  // namespace

void bindFiles(py::module_& m) {
  using py::arg;
  m.def(
      "read_pcd", &readPcd, arg("path"),
      "read_pcd(path)\n--\n\n"
      "The x, y, z of every point of a PCD file (ASCII or binary, any field layout, coordinates of any\n"
      "numeric type converted to float32), row by row for an organized cloud. Raises FileNotFoundError for\n"
      "a missing file and ValueError for one that is not a readable PCD cloud.");
  m.def("write_pcd", &writePcd, arg("points"), arg("path"), arg("format") = "binary",
        "write_pcd(points, path, format='binary')\n--\n\n"
        "Writes the points as a .pcd file (or .ply, by the extension), replacing it atomically. format is\n"
        "'binary' (every float exact), 'binary_compressed' or 'ascii' (the library's writer, 8 significant\n"
        "digits). Raises OSError when the file cannot be written.");
  m.def("read_mesh", &readMesh, arg("path"),
        "read_mesh(path)\n--\n\n"
        "(vertices float32 (V, 3), faces int32 (F, 3)) of a PLY, OBJ or STL triangle mesh; polygons of more\n"
        "corners are split into triangles. Units are the file's (scale millimetre CAD files by 0.001).");
  m.def(
      "read_camera_info", &readCameraInfo, arg("path"),
      "read_camera_info(path)\n--\n\n"
      "The CameraModel of a ROS camera_info YAML file, in either layout: the calibration file's\n"
      "(camera_matrix, distortion_coefficients) or a sensor_msgs/CameraInfo message as ROS 2 dumps it (k, "
      "d,\n"
      "distortion_model), read as the command-line tool reads it. A file without coefficients, or with a\n"
      "negligible skew, warns (UserWarning) of what is assumed. Raises FileNotFoundError for a missing file\n"
      "and ValueError for one that does not describe a usable camera.");
}

}  // namespace nimbrel_python
