// The module's functions, one group per topic file (as the library's own sources are grouped).
#pragma once

#include <pybind11/pybind11.h>

namespace nimbrel_python {

void bindClouds(pybind11::module_& m);  // crops, cleaning, transforms, boxes
void bindMeshes(pybind11::module_& m);  // mesh queries, removals, hulls, sampling
void bindDepth(pybind11::module_& m);   // depth images to clouds
void bindFiles(pybind11::module_& m);   // PCD and mesh files
void routeLog(pybind11::module_& m);    // the library's messages to Python's logging
void bindRobot(pybind11::module_& m);   // the robot's own body

}  // namespace nimbrel_python
