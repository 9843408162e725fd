// Triangle meshes: PLY, OBJ and STL files read with PCL's readers after the checks of their formats, and
// written atomically.
#include <fmt/format.h>
#include <pcl/conversions.h>
#include <pcl/io/ply_io.h>
#include <pcl/io/vtk_lib_io.h>

#include <cmath>

#include "support/fields.hpp"
#include "support/file_formats.hpp"
#include "support/files.hpp"

namespace nimbrel_tools {

namespace {

// The library reads mesh vertices as float x, y, z; readers may deliver doubles or extra fields (normals,
// colours), so every mesh is rebuilt with a plain float x, y, z vertex cloud.
Cloud meshVertices(const pcl::PolygonMesh& mesh, const std::string& path) {
  const pcl::PCLPointCloud2& in = mesh.cloud;
  const auto fields = detail::coordinateFields(in, "mesh " + path, "vertices");
  const std::size_t count = static_cast<std::size_t>(in.width) * in.height;
  if (count * in.point_step > in.data.size())
    throw ToolError(fmt::format("unreadable mesh {}: truncated vertex data", path));
  Cloud vertices;
  vertices.reserve(count);
  for (std::size_t p = 0; p < count; ++p) {
    const pcl::PointXYZ v(detail::readCoordinate(in, *fields[0], p),
                          detail::readCoordinate(in, *fields[1], p),
                          detail::readCoordinate(in, *fields[2], p));
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) {
      throw ToolError(fmt::format("unreadable mesh {}: vertex {} is not finite", path, p));
    }
    vertices.push_back(v);
  }
  return vertices;
}

}  // namespace

void requireMeshOutput(const std::string& path, const std::string& what) {
  const std::string ext = extensionOf(path);
  if (ext != ".ply" && ext != ".obj" && ext != ".stl") {
    throw UsageError(fmt::format("cannot write {}: {} is a .ply, .obj or .stl file", path, what));
  }
}

MeshFile loadMeshFile(const std::string& path) {
  requireFile(path);
  const std::string ext = extensionOf(path);
  pcl::PolygonMesh raw;
  bool ok = false;
  if (ext == ".ply") {
    detail::checkPlyHeader(path, "mesh");
    ok = pcl::io::loadPLYFile(path, raw) == 0;
  } else if (ext == ".obj") {
    ok = detail::loadObj(path, raw);
  } else if (ext == ".stl") {
    detail::checkStlSize(path);
    ok = pcl::io::loadPolygonFileSTL(path, raw) > 0;
  } else {
    throw ToolError(
        fmt::format("unreadable mesh {}: unknown extension '{}' (use .ply, .obj or .stl)", path, ext));
  }
  if (!ok) throw ToolError(fmt::format("unreadable mesh {}: the {} reader failed", path, ext.substr(1)));

  MeshFile file;
  file.otherFields = otherFields(raw.cloud);
  file.vertices = meshVertices(raw, path);
  const Cloud& vertices = file.vertices;
  if (vertices.empty()) throw ToolError(fmt::format("unreadable mesh {}: no vertices", path));
  pcl::PolygonMesh& mesh = file.mesh;
  mesh.header = raw.header;
  pcl::toPCLPointCloud2(vertices, mesh.cloud);
  for (const auto& polygon : raw.polygons) {
    const auto& idx = polygon.vertices;
    for (const auto i : idx) {
      if (i < 0 || static_cast<std::size_t>(i) >= vertices.size()) {
        throw ToolError(
            fmt::format("unreadable mesh {}: a face uses vertex {} of {}", path, i, vertices.size()));
      }
    }
    // The library takes the first three corners of each polygon; split larger polygons into fans so no
    // part of a quad or n-gon is lost.
    for (std::size_t k = 2; k < idx.size(); ++k) {
      pcl::Vertices tri;
      tri.vertices = {idx[0], idx[k - 1], idx[k]};
      mesh.polygons.push_back(tri);
    }
  }
  if (mesh.polygons.empty()) throw ToolError(fmt::format("unreadable mesh {}: no triangles", path));
  return file;
}

pcl::PolygonMesh loadMesh(const std::string& path, std::vector<std::string>* otherVertexFields) {
  MeshFile file = loadMeshFile(path);
  if (otherVertexFields != nullptr) *otherVertexFields = std::move(file.otherFields);
  return std::move(file.mesh);
}

void saveMesh(const pcl::PolygonMesh& mesh, const std::string& path) {
  requireMeshOutput(path, "a mesh");
  const std::string ext = extensionOf(path);
  writeAtomically(path, [&](const std::string& tmp) {
    bool ok = false;
    if (ext == ".ply") {
      ok = pcl::io::savePLYFile(tmp, mesh, 9) == 0;
    } else if (ext == ".obj") {
      ok = detail::writeObj(mesh, tmp, path);
    } else {
      ok = pcl::io::savePolygonFileSTL(tmp, mesh, true);
    }
    if (!ok) throw ToolError(fmt::format("cannot write {}", path));
  });
}

}  // namespace nimbrel_tools
