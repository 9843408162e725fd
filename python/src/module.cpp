// nimbrel_arm_util for Python: the library's point-cloud operations on NumPy arrays.
#include <pybind11/pybind11.h>

#include "arrays.hpp"
#include "bindings.hpp"
#include "nimbrel_arm_util/version.hpp"

PYBIND11_MODULE(nimbrel_arm_util, m) {
  // Every docstring starts with its own signature, in Python's terms.
  pybind11::options options;
  options.disable_function_signatures();

  m.doc() =
      "Point-cloud utilities of a robot arm's perception: crop, clean, down-sample and move depth-camera\n"
      "clouds, cut boxes, meshes and the gripper out of a scene, turn depth images into clouds.\n\n"
      "Clouds are (N, 3) arrays of x, y, z in metres, float32 or float64, any memory order; results are\n"
      "read-only float32 (N, 3) views onto the library's own points (16-byte rows, no copy), which stay\n"
      "valid for as long as the array lives. Pass a result straight to the next call and it is not\n"
      "copied again. to_float32 and to_float64 give contiguous copies for other libraries (OpenCV, Open3D).\n"
      "The GIL is released while the library works: threads can process frames in parallel.\n"
      "Bad arguments raise TypeError or ValueError naming the argument.\n\n"
      "Every call that keeps a subset of its points in their order (crop, crop_z, remove_outliers,\n"
      "remove_box, remove_box_and_tool, remove_meshes, remove_meshes_fast) takes return_index=True and then\n"
      "returns (points, index): index holds the kept input rows (int64, ascending), so colours[index] or\n"
      "labels[index] stay aligned with the points (a boolean mask: mask = np.zeros(len(input), bool);\n"
      "mask[index] = True).\n"
      "voxel_down_sample's return_inverse=True gives the result row of each input point instead.\n\n"
      "The library's messages go to Python's logging, to the logger named 'nimbrel_arm_util'.";
  m.attr("__version__") = NIMBREL_ARM_UTIL_VERSION;
  nimbrel_python::bindClouds(m);
  nimbrel_python::bindMeshes(m);
  nimbrel_python::bindDepth(m);
  nimbrel_python::bindFiles(m);
  nimbrel_python::bindRobot(m);
  nimbrel_python::routeLog(m);

  m.def(
      "to_float32", &nimbrel_python::contiguousCopy<float>, pybind11::arg("points"),
      "to_float32(points)\n--\n\n"
      "A new, writable, C-contiguous float32 (N, 3) copy of points (any (N, 3) float32 or float64 array,\n"
      "such as a result of this module): what OpenCV takes (cv2.projectPoints) and NumPy's fastest layout.\n"
      "Copies with one pass over the memory, about three times faster than np.ascontiguousarray on a\n"
      "result's 16-byte rows. Results need no conversion to go back into this module.");
  m.def("to_float64", &nimbrel_python::contiguousCopy<double>, pybind11::arg("points"),
        "to_float64(points)\n--\n\n"
        "A new, writable, C-contiguous float64 (N, 3) copy of points: what Open3D's Vector3dVector takes\n"
        "without a slow element-by-element path (o3d.utility.Vector3dVector(nau.to_float64(points))).");
  m.def(
      "last_work_seconds", &nimbrel_python::lastWorkSeconds,
      "last_work_seconds()\n--\n\n"
      "Wall time (seconds) that the library itself spent in this thread's last call of this module, without\n"
      "argument checks, input conversion or result wrapping: the call's total time minus this is the\n"
      "Python overhead.");
}
