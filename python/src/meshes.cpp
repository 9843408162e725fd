// Mesh queries, removing the points of meshes, convex hulls and surface sampling.
#include <fmt/format.h>
#include <pcl/conversions.h>

#include <cstdint>
#include <optional>

#include "arrays.hpp"
#include "bindings.hpp"

namespace nimbrel_python {
namespace {

using nimbrel_arm_util::PointCloudsDeal;

// The library takes mesh lists by non-const reference but never changes them (several threads may share
// one Meshes object).
MeshList& mutableList(const MeshList& list) { return const_cast<MeshList&>(list); }

py::object removeMeshes(py::handle points, py::handle meshes, bool returnIndex) {
  const CloudPtr in = cloudArg(points, "points");
  const auto list = meshListArg(meshes, "meshes");
  const auto out = std::make_shared<Cloud>();
  // An empty cloud has nothing to remove: the library refuses it (-1) and the answer is an empty cloud.
  work([&] { PointCloudsDeal().removePointsFromMeshs(in, mutableList(*list), out); });
  return withIndex(*in, out, returnIndex);
}

// A generator seed: None (a fresh one from the system's entropy) or an integer from 0 to 2^32 - 1.
std::optional<std::uint32_t> seedArg(py::handle seed) {
  if (seed.is_none()) return std::nullopt;
  PyObject* index = PyNumber_Index(seed.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    throw py::type_error(
        fmt::format("seed: expected an integer or None, got {}", Py_TYPE(seed.ptr())->tp_name));
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (PyErr_Occurred() || v > 0xffffffffULL) {
    PyErr_Clear();
    throw py::value_error("seed: must be an integer from 0 to 4294967295");
  }
  return static_cast<std::uint32_t>(v);
}

py::object removeMeshesFast(py::handle points, py::handle meshes, py::handle seed, bool returnIndex) {
  const CloudPtr in = cloudArg(points, "points");
  const auto list = meshListArg(meshes, "meshes");
  const auto fixed = seedArg(seed);
  if (list->empty()) throw py::value_error("meshes: the fast removal needs at least one mesh");
  const auto out = std::make_shared<Cloud>();
  int result = 0;
  work([&] {
    PointCloudsDeal deal;
    result = fixed ? deal.fastRemovePointsFromMeshs(in, mutableList(*list), out, *fixed)
                   : deal.fastRemovePointsFromMeshs(in, mutableList(*list), out);
  });
  if (result == -3)
    throw py::value_error("meshes: a mesh samples to three points or fewer (its faces are too small)");
  return withIndex(*in, out, returnIndex);
}

py::array insideMesh(py::handle points, py::handle vertices, py::handle faces) {
  const CloudPtr in = cloudArg(points, "points");
  const pcl::PolygonMesh mesh = meshArg(vertices, faces, "");
  py::array_t<bool> inside(static_cast<py::ssize_t>(in->size()));
  bool* flags = inside.mutable_data();
  work([&] {
    PointCloudsDeal deal;
    const auto meshCloud = std::make_shared<Cloud>();
    pcl::fromPCLPointCloud2(mesh.cloud, *meshCloud);
    for (std::size_t i = 0; i < in->size(); ++i)
      flags[i] = deal.isPointInsideMesh((*in)[i], meshCloud, mesh.polygons);
  });
  return std::move(inside);
}

py::array insideOrNearMeshes(py::handle points, py::handle meshes) {
  const CloudPtr in = cloudArg(points, "points");
  const auto list = meshListArg(meshes, "meshes");
  py::array_t<bool> inside(static_cast<py::ssize_t>(in->size()));
  bool* flags = inside.mutable_data();
  work([&] {
    PointCloudsDeal deal;
    for (std::size_t i = 0; i < in->size(); ++i)
      flags[i] = deal.isPointInsideMeshs((*in)[i], mutableList(*list));
  });
  return std::move(inside);
}

py::array nearPoints(py::handle points, py::handle surface, py::handle threshold) {
  const CloudPtr in = cloudArg(points, "points");
  const CloudPtr target = cloudArg(surface, "surface");
  const double distance = positiveArg(threshold, "threshold");
  if (target->empty()) throw py::value_error("surface: holds no points");
  py::array_t<bool> near(static_cast<py::ssize_t>(in->size()));
  bool* flags = near.mutable_data();
  work([&] {
    PointCloudsDeal deal;
    const auto tree = std::make_shared<pcl::search::KdTree<pcl::PointXYZ>>(true);
    tree->setInputCloud(target);
    for (std::size_t i = 0; i < in->size(); ++i) flags[i] = deal.isPointNearObj((*in)[i], tree, distance);
  });
  return std::move(near);
}

py::tuple convexHull(py::handle vertices, py::handle faces) {
  // The hull is that of the vertices alone; faces may be left out.
  const py::object noFaces = py::list();
  std::vector<pcl::PolygonMesh> meshes = {
      meshArg(vertices, faces.is_none() ? py::handle(noFaces) : faces, "")};
  std::vector<pcl::PolygonMesh> hulls;
  int result = 0;
  work([&] { result = PointCloudsDeal().convertToConvexHull(meshes, hulls); });
  if (result == -3)
    throw py::value_error(
        "vertices: flat or degenerate (coplanar, collinear or repeated), no hull with volume");
  if (result != 0 || hulls.empty())
    throw py::value_error("vertices: a hull needs more than three finite vertices");
  return meshArrays(hulls.front());
}

py::array sampleSurface(py::handle vertices, py::handle faces, py::handle seed) {
  pcl::PolygonMesh mesh = meshArg(vertices, faces, "");
  const auto fixed = seedArg(seed);
  const auto out = std::make_shared<Cloud>();
  work([&] {
    PointCloudsDeal deal;
    if (fixed)
      deal.upSampleMesh(mesh, out, *fixed);
    else
      deal.upSampleMesh(mesh, out);
  });
  return cloudView(out);
}

}  // namespace

void bindMeshes(py::module_& m) {
  using py::arg;
  py::class_<MeshList, std::shared_ptr<MeshList>>(
      m, "Meshes",
      "Meshes(meshes)\n\n"
      "A list of (vertices, faces) pairs converted once: pass it instead of the list to the mesh calls when\n"
      "the same objects come back frame after frame. The arrays are copied; later changes to them are not\n"
      "seen.")
      .def(py::init(
               [](py::handle meshes) { return std::make_shared<MeshList>(*meshListArg(meshes, "meshes")); }),
           arg("meshes"))
      .def("__len__", [](const MeshList& list) { return list.size(); });
  m.def("remove_meshes", &removeMeshes, arg("points"), arg("meshes"), py::kw_only(),
        arg("return_index") = false,
        "remove_meshes(points, meshes, *, return_index=False)\n--\n\n"
        "The points that lie neither inside nor within 0.05 m of any mesh, in order. meshes is a list of\n"
        "(vertices, faces) pairs (or a Meshes): (V, 3) vertices in the points' frame (metres) and (F, 3)\n"
        "integer faces of closed triangle meshes. An empty cloud gives an empty array.");
  m.def(
      "remove_meshes_fast", &removeMeshesFast, arg("points"), arg("meshes"), py::kw_only(),
      arg("seed") = py::none(), arg("return_index") = false,
      "remove_meshes_fast(points, meshes, *, seed=None, return_index=False)\n--\n\n"
      "The points farther than 0.08 m from every mesh's surface, in order: each mesh is sampled afresh\n"
      "(about 40,000 random points per square metre), so two calls may differ near the 0.08 m shell unless\n"
      "both give the same seed (an integer from 0 to 2**32 - 1). A point deep inside a large mesh is kept.\n"
      "An empty cloud gives an empty array; raises ValueError for no mesh or a mesh too small to sample.");
  m.def("inside_mesh", &insideMesh, arg("points"), arg("vertices"), arg("faces"),
        "inside_mesh(points, vertices, faces)\n--\n\n"
        "For each point, whether it lies inside the mesh, decided part by part (inside any part is inside;\n"
        "no part holds a point outside its bounding box): a closed part by the parity of ray crossings, a\n"
        "part with holes or gaps by its generalized winding number, at least 1/2 in magnitude, so its\n"
        "faces may wind either way.");
  m.def("inside_or_near_meshes", &insideOrNearMeshes, arg("points"), arg("meshes"),
        "inside_or_near_meshes(points, meshes)\n--\n\n"
        "For each point, whether it is inside one of the meshes or within 0.05 m of one (the test of\n"
        "remove_meshes).");
  m.def("near_points", &nearPoints, arg("points"), arg("surface"), arg("threshold"),
        "near_points(points, surface, threshold)\n--\n\n"
        "For each point, whether the nearest point of the (M, 3) cloud surface is strictly closer than\n"
        "threshold (metres; the test of remove_meshes_fast with sample_surface's points and 0.08).");
  m.def(
      "convex_hull", &convexHull, arg("vertices"), arg("faces") = py::none(),
      "convex_hull(vertices, faces=None)\n--\n\n"
      "The convex hull of a mesh's finite vertices as (vertices float32 (H, 3), faces int32 (F, 3)), every\n"
      "face counter-clockwise seen from outside. Raises ValueError for three finite vertices or fewer, and\n"
      "for flat or degenerate vertices (coplanar, collinear or repeated: no hull with volume).");
  m.def("sample_surface", &sampleSurface, arg("vertices"), arg("faces"), py::kw_only(),
        arg("seed") = py::none(),
        "sample_surface(vertices, faces, *, seed=None)\n--\n\n"
        "The mesh's vertices followed by about 40,000 random points per square metre of each face, freshly\n"
        "seeded on every call; the same seed (an integer from 0 to 2**32 - 1) gives the same points. Raises\n"
        "OverflowError for a mesh that would need more than 50,000,000.");
}

}  // namespace nimbrel_python
