// Depth images to clouds.
//
// The camera argument is dispatched by its Python type: each camera model is one class and one entry of
// cameraModels(), so another model (with its own depth call of the library) is one more entry.
#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <opencv2/core/mat.hpp>

#include "arrays.hpp"
#include "bindings.hpp"

namespace nimbrel_python {
namespace {

using nimbrel_arm_util::CameraIntrinsic;
using nimbrel_arm_util::PointCloudsDeal;

// The library's depth call for one camera model: fills `out` from `depth`, returns its result code.
using DepthCall = std::function<int(PointCloudsDeal&, CloudPtr, cv::Mat&, double unitsPerMetre)>;

struct CameraModel {
  py::handle type;  // the module holds the class
  // The call for a camera object of this type, made while the GIL is held (it copies what it needs).
  std::function<DepthCall(py::handle camera)> bind;
};

std::vector<CameraModel>& cameraModels() {
  static std::vector<CameraModel> models;
  return models;
}

// A 2-D uint16 image as a cv::Mat. Rows of contiguous pixels are viewed in place; any other layout is
// copied once into `storage`.
cv::Mat depthArg(py::handle depth, py::object& storage) {
  const py::array a = py::array::ensure(depth);
  if (!a)
    throw py::type_error(
        fmt::format("depth: expected a 2-D uint16 array, got {}", Py_TYPE(depth.ptr())->tp_name));
  if (!py::isinstance<py::array_t<std::uint16_t>>(a))
    throw py::type_error(
        fmt::format("depth: expected uint16 pixels, got {}", std::string(py::str(a.dtype()))));
  if (a.ndim() != 2)
    throw py::value_error(fmt::format("depth: expected a 2-D image, got {} dimensions", a.ndim()));
  if (a.shape(0) > std::numeric_limits<int>::max() || a.shape(1) > std::numeric_limits<int>::max())
    throw py::value_error("depth: image too large");
  const int rows = static_cast<int>(a.shape(0)), cols = static_cast<int>(a.shape(1));
  if (rows == 0 || cols == 0) return cv::Mat(rows, cols, CV_16UC1);
  const bool viewable = a.strides(1) == sizeof(std::uint16_t) && a.strides(0) >= a.strides(1) * cols &&
                        a.strides(0) % static_cast<py::ssize_t>(sizeof(std::uint16_t)) == 0 &&
                        reinterpret_cast<std::uintptr_t>(a.data()) % alignof(std::uint16_t) == 0;
  storage = viewable ? py::object(a) : py::object(py::array_t<std::uint16_t, kConverted>::ensure(a));
  const auto image = py::reinterpret_borrow<py::array>(storage);
  // The library only reads the image; the cast allows read-only arrays.
  return cv::Mat(rows, cols, CV_16UC1, const_cast<void*>(image.data()),
                 static_cast<std::size_t>(image.strides(0)));
}

py::array depthToPoints(py::handle depth, py::handle camera, py::handle unitsPerMetre) {
  py::object storage;
  cv::Mat image = depthArg(depth, storage);
  const double units = positiveArg(unitsPerMetre, "units_per_metre");
  DepthCall call;
  for (const CameraModel& model : cameraModels())
    if (py::isinstance(camera, model.type)) call = model.bind(camera);
  if (!call)
    throw py::type_error(
        fmt::format("camera: expected a CameraIntrinsic, got {}", Py_TYPE(camera.ptr())->tp_name));
  const auto out = std::make_shared<Cloud>();
  int result = 0;
  work([&] {
    PointCloudsDeal deal;
    result = call(deal, out, image, units);
  });
  if (result != 0) throw py::value_error(fmt::format("depth: refused by the library (code {})", result));
  return cloudView(out);
}

bool finiteIntrinsic(const CameraIntrinsic& c) {
  for (const float v : {c.fx, c.cx, c.fy, c.cy, c.k1, c.k2, c.p1, c.p2, c.k3})
    if (!std::isfinite(v)) return false;
  return true;
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

  cameraModels().push_back({intrinsic, [](py::handle camera) -> DepthCall {
                              const auto c = camera.cast<CameraIntrinsic>();
                              if (!finiteIntrinsic(c))
                                throw py::value_error("camera: holds a non-finite value");
                              if (!(c.fx > 0.0f && c.fy > 0.0f))
                                throw py::value_error(fmt::format(
                                    "camera: focal lengths must be positive, got fx={} fy={}", c.fx, c.fy));
                              // The camera-model call, as the tool and the node make it: 65535 is a hole.
                              return [model = nimbrel_arm_util::CameraModel::fromIntrinsic(c)](
                                         PointCloudsDeal& deal, CloudPtr out, cv::Mat& depth, double units) {
                                return deal.getPointCloudsFromDepthMap(out, depth, model, units);
                              };
                            }});

  m.def(
      "depth_to_points", &depthToPoints, arg("depth"), arg("camera"), arg("units_per_metre") = 1000.0,
      "depth_to_points(depth, camera, units_per_metre=1000.0) -> ndarray\n\n"
      "Undistorts a 2-D uint16 depth image (a pixel value D lies D / units_per_metre metres away along the\n"
      "optical axis: 1000 for millimetres, 5000 for TUM frames) with the camera's model and back-projects\n"
      "every reading: points in metres in the camera's optical frame (x right, y down, z forward), in\n"
      "row-major pixel order. 0 and 65535 (the no-reading marker of several drivers) are holes, as in the\n"
      "command-line tool and the node. Raises ValueError for a camera with a non-finite value or a focal\n"
      "length that is not positive.");
}

}  // namespace nimbrel_python
