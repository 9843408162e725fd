// nimbrel_arm_util for Python: the library's point-cloud operations on NumPy arrays.
#include <pybind11/pybind11.h>

#include "arrays.hpp"
#include "bindings.hpp"

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
      "copied again. The GIL is released while the library works: threads can process frames in parallel.\n"
      "Bad arguments raise TypeError or ValueError naming the argument.";
  nimbrel_python::bindClouds(m);
  nimbrel_python::bindMeshes(m);
  nimbrel_python::bindDepth(m);
  nimbrel_python::bindFiles(m);
  nimbrel_python::bindRobot(m);

  m.def(
      "last_work_seconds", &nimbrel_python::lastWorkSeconds,
      "last_work_seconds() -> float\n\n"
      "Wall time (seconds) that the library itself spent in this thread's last call of this module, without\n"
      "argument checks, input conversion or result wrapping: the call's total time minus this is the\n"
      "Python overhead.");
}
