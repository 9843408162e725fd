// Depth images to clouds, and the camera models they are taken with.
//
// Every camera goes through the library's camera-model call, as in the command-line tool and the node: a
// CameraIntrinsic is the plumb_bob model of its nine floats.
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <opencv2/core/mat.hpp>

#include "arrays.hpp"
#include "bindings.hpp"
#include "nimbrel_arm_util/camera_model.hpp"

namespace nimbrel_python {
namespace {

using nimbrel_arm_util::CameraIntrinsic;
using nimbrel_arm_util::CameraModel;
using nimbrel_arm_util::PointCloudsDeal;

std::string typeName(py::handle h) { return Py_TYPE(h.ptr())->tp_name; }

// A 2-D uint16 or float32 image as a cv::Mat. Rows of contiguous pixels are viewed in place; any other
// layout is copied once into `storage`.
template <class Pixel>
cv::Mat imageOf(const py::array& a, py::object& storage, int type) {
  if (a.shape(0) > std::numeric_limits<int>::max() || a.shape(1) > std::numeric_limits<int>::max())
    throw py::value_error("depth: image too large");
  const int rows = static_cast<int>(a.shape(0)), cols = static_cast<int>(a.shape(1));
  if (rows == 0 || cols == 0) return cv::Mat(rows, cols, type);
  const auto pixel = static_cast<py::ssize_t>(sizeof(Pixel));
  const bool viewable = a.strides(1) == pixel && a.strides(0) >= pixel * cols && a.strides(0) % pixel == 0 &&
                        reinterpret_cast<std::uintptr_t>(a.data()) % alignof(Pixel) == 0;
  storage = viewable ? py::object(a) : py::object(py::array_t<Pixel, kConverted>::ensure(a));
  const auto image = py::reinterpret_borrow<py::array>(storage);
  // The library only reads the image; the cast allows read-only arrays.
  return cv::Mat(rows, cols, type, const_cast<void*>(image.data()),
                 static_cast<std::size_t>(image.strides(0)));
}

cv::Mat depthArg(py::handle depth, py::object& storage) {
  const py::array a = py::array::ensure(depth);
  if (!a)
    throw py::type_error(
        fmt::format("depth: expected a 2-D uint16 or float32 array, got {}", typeName(depth)));
  const bool isFloat = py::isinstance<py::array_t<float>>(a);
  if (!isFloat && !py::isinstance<py::array_t<std::uint16_t>>(a))
    throw py::type_error(
        fmt::format("depth: expected uint16 or float32 pixels, got {}", std::string(py::str(a.dtype()))));
  if (a.ndim() != 2)
    throw py::value_error(fmt::format("depth: expected a 2-D image, got {} dimensions", a.ndim()));
  return isFloat ? imageOf<float>(a, storage, CV_32FC1) : imageOf<std::uint16_t>(a, storage, CV_16UC1);
}

// The depth range [near, far] in metres: 0 <= near <= far, near finite; None for far is no limit.
std::pair<double, double> depthRangeArgs(py::handle minDepth, py::handle maxDepth) {
  const double near = nonNegativeArg(minDepth, "min_depth");
  const double far =
      maxDepth.is_none() ? std::numeric_limits<double>::infinity() : nonNegativeArg(maxDepth, "max_depth");
  if (far < near) throw py::value_error(fmt::format("max_depth: below min_depth ({} < {})", far, near));
  return {near, far};
}

// The plumb_bob model of a record, refused with the module's errors before the library would refuse it.
CameraModel intrinsicModel(const CameraIntrinsic& c) {
  for (const float v : {c.fx, c.cx, c.fy, c.cy, c.k1, c.k2, c.p1, c.p2, c.k3})
    if (!std::isfinite(v)) throw py::value_error("camera: holds a non-finite value");
  if (!(c.fx > 0.0f && c.fy > 0.0f))
    throw py::value_error(fmt::format("camera: focal lengths must be positive, got fx={} fy={}", c.fx, c.fy));
  return CameraModel::fromIntrinsic(c);
}

// A camera model from camera_info's fields: k (3x3, or its nine values row by row), the coefficients d and
// the model's name, checked as the camera_info reader and the node check theirs. A skew small enough to
// move no pixel by half a pixel is dropped, as they drop it.
CameraModel cameraModelArg(py::handle k, py::handle d, const std::string& modelName) {
  const py::array ka = py::array::ensure(k);
  if (!ka || (ka.dtype().kind() != 'f' && ka.dtype().kind() != 'i' && ka.dtype().kind() != 'u'))
    throw py::type_error(fmt::format("k: expected a 3x3 array of numbers, got {}", typeName(k)));
  if (ka.size() != 9 || (ka.ndim() != 1 && !(ka.ndim() == 2 && ka.shape(0) == 3)))
    throw py::value_error("k: expected a 3x3 matrix or its 9 values row by row");
  const auto kv = py::array_t<double, kConverted>::ensure(ka);
  CameraModel camera;
  camera.cameraMatrix = cv::Matx33d(kv.data());
  const std::string why = CameraModel::cameraMatrixProblem(camera.cameraMatrix, 0.0);
  if (!why.empty()) throw py::value_error("k: " + why);
  camera.cameraMatrix(0, 1) = 0.0;
  if (!CameraModel::modelFromName(modelName, camera.distortionModel))
    throw py::value_error(fmt::format(
        "distortion_model: expected 'plumb_bob', 'rational_polynomial' or 'equidistant', got '{}'",
        modelName));
  const py::array da = py::array::ensure(d);
  if (!da ||
      (da.size() > 0 && da.dtype().kind() != 'f' && da.dtype().kind() != 'i' && da.dtype().kind() != 'u'))
    throw py::type_error(fmt::format("d: expected a sequence of numbers, got {}", typeName(d)));
  if (da.ndim() > 1) throw py::value_error("d: expected a flat sequence of coefficients");
  const auto dv = py::array_t<double, kConverted>::ensure(da);
  camera.coefficients.assign(dv.data(), dv.data() + dv.size());
  for (std::size_t i = 0; i < camera.coefficients.size(); ++i)
    if (!std::isfinite(camera.coefficients[i]))
      throw py::value_error(fmt::format("d: coefficient {} is not finite", i));
  if (!CameraModel::takesCoefficientCount(camera.distortionModel, camera.coefficients.size()))
    throw py::value_error(fmt::format("d: {} takes {} coefficients (or none), got {}", modelName,
                                      CameraModel::coefficientCounts(camera.distortionModel),
                                      camera.coefficients.size()));
  return camera;
}

py::array depthToPoints(py::handle depth, py::handle camera, py::handle unitsPerMetre, py::handle minDepth,
                        py::handle maxDepth) {
  py::object storage;
  cv::Mat image = depthArg(depth, storage);
  // Float images hold metres (ROS's 32FC1 convention), 16-bit ones millimetres.
  const double units = unitsPerMetre.is_none() ? (image.type() == CV_32FC1 ? 1.0 : 1000.0)
                                               : positiveArg(unitsPerMetre, "units_per_metre");
  const auto range = depthRangeArgs(minDepth, maxDepth);
  CameraModel used;
  if (py::isinstance<CameraModel>(camera))
    used = camera.cast<CameraModel>();
  else if (py::isinstance<CameraIntrinsic>(camera))
    used = intrinsicModel(camera.cast<CameraIntrinsic>());
  else
    throw py::type_error(
        fmt::format("camera: expected a CameraModel or a CameraIntrinsic, got {}", typeName(camera)));
  const auto out = std::make_shared<Cloud>();
  int result = 0;
  work([&] {
    result = PointCloudsDeal().getPointCloudsFromDepthMap(out, image, used, units, range.first, range.second);
  });
  if (result != 0) throw py::value_error(fmt::format("depth: refused by the library (code {})", result));
  return cloudView(out);
}

}  // namespace

void bindDepth(py::module_& m) {
  using py::arg;
  auto intrinsic =
      py::class_<CameraIntrinsic>(
          m, "CameraIntrinsic",
          "Pinhole intrinsics (pixels) and plumb_bob lens distortion (k1, k2, p1, p2, k3, "
          "OpenCV's order) of a depth camera, as in a ROS camera_info message: fx = K[0], "
          "cx = K[2], fy = K[4], cy = K[5], distortion D. Stored as float32.")
          .def(py::init([](double fx, double fy, double cx, double cy, double k1, double k2, double p1,
                           double p2, double k3) {
                 return CameraIntrinsic{
                     static_cast<float>(fx), static_cast<float>(cx), static_cast<float>(fy),
                     static_cast<float>(cy), static_cast<float>(k1), static_cast<float>(k2),
                     static_cast<float>(p1), static_cast<float>(p2), static_cast<float>(k3)};
               }),
               // Keywords only: the C++ record keeps fx, cx, fy, cy in that order, so any positional order
               // here would invite a silent swap.
               py::kw_only(), arg("fx"), arg("fy"), arg("cx"), arg("cy"), arg("k1") = 0.0, arg("k2") = 0.0,
               arg("p1") = 0.0, arg("p2") = 0.0, arg("k3") = 0.0,
               "CameraIntrinsic(*, fx, fy, cx, cy, k1=0, k2=0, p1=0, p2=0, k3=0)\n\n"
               "Focal lengths and principal point in pixels; distortion coefficients without unit. Every\n"
               "argument is a keyword (CameraIntrinsic(fx=525, fy=525, cx=319.5, cy=239.5)): no order to "
               "swap.")
          .def("__repr__", [](const CameraIntrinsic& c) {
            return fmt::format(
                "CameraIntrinsic(fx={}, fy={}, cx={}, cy={}, k1={}, k2={}, p1={}, p2={}, k3={})", c.fx, c.fy,
                c.cx, c.cy, c.k1, c.k2, c.p1, c.p2, c.k3);
          });
  for (const auto& [name, field] :
       std::vector<std::pair<const char*, float CameraIntrinsic::*>>{{"fx", &CameraIntrinsic::fx},
                                                                     {"fy", &CameraIntrinsic::fy},
                                                                     {"cx", &CameraIntrinsic::cx},
                                                                     {"cy", &CameraIntrinsic::cy},
                                                                     {"k1", &CameraIntrinsic::k1},
                                                                     {"k2", &CameraIntrinsic::k2},
                                                                     {"p1", &CameraIntrinsic::p1},
                                                                     {"p2", &CameraIntrinsic::p2},
                                                                     {"k3", &CameraIntrinsic::k3}})
    intrinsic.def_readwrite(name, field);

  py::class_<CameraModel>(
      m, "CameraModel",
      "A depth camera's pinhole matrix and lens distortion, as a ROS camera_info message carries them (k,\n"
      "d, distortion_model): plumb_bob (k1, k2, p1, p2, k3), rational_polynomial (8, 12 or 14 coefficients "
      "in\n"
      "OpenCV's order) or equidistant (the fisheye model, k1..k4). read_camera_info reads one from a YAML "
      "file.")
      .def(
          py::init(&cameraModelArg), py::kw_only(), arg("k"), arg("d") = py::tuple(),
          arg("distortion_model") = "plumb_bob",
          "CameraModel(*, k, d=(), distortion_model='plumb_bob')\n\n"
          "k is the 3x3 camera matrix fx 0 cx / 0 fy cy / 0 0 1 in pixels (or its 9 values row by row), d\n"
          "the model's coefficients (none: no distortion). Raises ValueError for a matrix that is not a\n"
          "camera's (a focal length that is not positive, a skew, a value that is not finite), a model name\n"
          "not listed above or a coefficient count the model does not take.")
      .def_property_readonly(
          "k",
          [](const CameraModel& c) {
            py::array_t<double> k(std::vector<py::ssize_t>{3, 3});
            std::copy(c.cameraMatrix.val, c.cameraMatrix.val + 9, k.mutable_data());
            return k;
          },
          "The 3x3 camera matrix (a copy).")
      .def_property_readonly(
          "d",
          [](const CameraModel& c) {
            py::array_t<double> d(static_cast<py::ssize_t>(c.coefficients.size()));
            std::copy(c.coefficients.begin(), c.coefficients.end(), d.mutable_data());
            return d;
          },
          "The distortion coefficients (a copy).")
      .def_property_readonly(
          "distortion_model", [](const CameraModel& c) { return CameraModel::modelName(c.distortionModel); },
          "'plumb_bob', 'rational_polynomial' or 'equidistant'.")
      .def("__repr__", [](const CameraModel& c) {
        const cv::Matx33d& k = c.cameraMatrix;
        return fmt::format(
            "CameraModel(k=[[{}, 0, {}], [0, {}, {}], [0, 0, 1]], d=[{}], distortion_model='{}')", k(0, 0),
            k(0, 2), k(1, 1), k(1, 2), fmt::join(c.coefficients, ", "),
            CameraModel::modelName(c.distortionModel));
      });

  m.def(
      "depth_to_points", &depthToPoints, arg("depth"), arg("camera"), arg("units_per_metre") = py::none(),
      arg("min_depth") = 0.0, arg("max_depth") = py::none(),
      "depth_to_points(depth, camera, units_per_metre=None, min_depth=0.0, max_depth=None)\n--\n\n"
      "Undistorts a 2-D depth image with the camera's model (a CameraModel or a CameraIntrinsic) and\n"
      "back-projects every reading: an (N, 3) cloud in metres in the camera's optical frame (x right, y\n"
      "down, z forward), in row-major pixel order. A pixel value D lies D / units_per_metre metres away "
      "along\n"
      "the optical axis; units_per_metre defaults to 1000 (millimetres) for uint16 images and to 1 (metres)\n"
      "for float32 ones (5000 for TUM frames). Holes: 0 and 65535 (the no-reading marker of several "
      "drivers)\n"
      "in uint16 images; 0, NaN, infinities and negative values in float32 ones; and any depth outside\n"
      "min_depth..max_depth metres (max_depth None: no limit), as in the command-line tool and the node.\n"
      "Raises ValueError for a camera with a non-finite value or a focal length that is not positive.");
}

}  // namespace nimbrel_python
