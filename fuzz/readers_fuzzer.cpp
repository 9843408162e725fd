// The command-line tool's readers on arbitrary files: camera_info YAML, PLY, OBJ and STL meshes, PCD
// clouds, PNG depth images, and the matrix and vector arguments. A reader may only return what it read or
// throw (the tool's main turns any std::exception into an error line); a crash, hang or unbounded
// allocation is a finding.
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>

#include "fuzz_support.hpp"
#include "support/files.hpp"

namespace {

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the reader, the rest is the file.
  const unsigned reader = data[0] % 8;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  static const char* kExtensions[] = {".yaml", ".ply", ".obj", ".stl", ".pcd", ".png", "", ""};
  const std::string path = nimbrel_fuzz::scratchPath(std::string("reader") + kExtensions[reader]);
  if (reader < 6) writeFile(path, bytes);
  try {
    switch (reader) {
      case 0: {
        const nimbrel_tools::CameraInfo info = nimbrel_tools::loadCameraInfo(path);
        NIMBREL_FUZZ_CHECK(info.width >= 0 && info.height >= 0);
        break;
      }
      case 1:
      case 2:
      case 3: {
        const pcl::PolygonMesh mesh = nimbrel_tools::loadMesh(path);
        // A loaded mesh has vertices and only faces that index them.
        const std::size_t vertices = std::size_t{mesh.cloud.width} * mesh.cloud.height;
        NIMBREL_FUZZ_CHECK(vertices > 0);
        NIMBREL_FUZZ_CHECK(mesh.cloud.data.size() >= vertices * mesh.cloud.point_step);
        for (const pcl::Vertices& face : mesh.polygons) {
          for (const auto index : face.vertices) {
            NIMBREL_FUZZ_CHECK(index >= 0 && static_cast<std::size_t>(index) < vertices);
          }
        }
        break;
      }
      case 4: {
        const nimbrel_tools::CloudPtr cloud = nimbrel_tools::loadCloud(path);
        NIMBREL_FUZZ_CHECK(cloud != nullptr);
        break;
      }
      case 5: {
        const cv::Mat depth = nimbrel_tools::loadDepthImage(path);
        NIMBREL_FUZZ_CHECK(depth.type() == CV_16UC1);
        break;
      }
      case 6:
        nimbrel_tools::parseMatrix(bytes, "matrix");
        break;
      default:
        nimbrel_tools::parseVector3(bytes, "vector");
        break;
    }
  } catch (const nimbrel_tools::ToolError&) {
    // The documented refusal.
  } catch (const std::exception&) {
    // A refusal from a library underneath (PCL's readers throw length and range errors on bad headers);
    // the tool's main reports it as an error line, so it is not a crash of the tool.
  }
  if (reader < 6) std::remove(path.c_str());
  return 0;
}
