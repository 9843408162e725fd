// Triangle meshes: PLY, OBJ and STL files read with PCL's readers after the checks of their formats, Collada
// files read with assimp; PLY, OBJ and STL written atomically.
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <fmt/format.h>
#include <pcl/conversions.h>
#include <pcl/io/ply_io.h>
#include <pcl/io/vtk_lib_io.h>

#include <assimp/Importer.hpp>
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

// A Collada file's triangles with every node's transform applied, in metres: assimp scales the scene by
// the file's <unit meter>. Its Z_UP would turn the scene to y up; robot descriptions take the geometry as
// written. Lines and points (edges drawn for display) are dropped.
bool loadDae(const std::string& path, pcl::PolygonMesh& mesh) {
  Assimp::Importer importer;
  importer.SetPropertyBool(AI_CONFIG_IMPORT_COLLADA_IGNORE_UP_DIRECTION, true);
  const aiScene* scene =
      importer.ReadFile(path, aiProcess_Triangulate | aiProcess_PreTransformVertices | aiProcess_SortByPType);
  if (scene == nullptr || (scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) != 0) {
    throw ToolError(fmt::format("unreadable mesh {}: {}", path, importer.GetErrorString()));
  }
  Cloud vertices;
  for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
    const aiMesh& part = *scene->mMeshes[m];
    if ((part.mPrimitiveTypes & aiPrimitiveType_TRIANGLE) == 0) continue;
    const auto first = static_cast<std::uint32_t>(vertices.size());
    for (unsigned v = 0; v < part.mNumVertices; ++v) {
      vertices.push_back(pcl::PointXYZ(part.mVertices[v].x, part.mVertices[v].y, part.mVertices[v].z));
    }
    for (unsigned f = 0; f < part.mNumFaces; ++f) {
      const aiFace& face = part.mFaces[f];
      if (face.mNumIndices != 3) continue;
      pcl::Vertices tri;
      // pcl's indices are int; a link's mesh stays far below that range.
      for (unsigned k = 0; k < 3; ++k)
        tri.vertices.push_back(static_cast<pcl::index_t>(first + face.mIndices[k]));
      mesh.polygons.push_back(tri);
    }
  }
  pcl::toPCLPointCloud2(vertices, mesh.cloud);
  return true;
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
  } else if (ext == ".dae") {
    ok = loadDae(path, raw);
  } else {
    throw ToolError(
        fmt::format("unreadable mesh {}: unknown extension '{}' (use .ply, .obj, .stl or .dae)", path, ext));
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
