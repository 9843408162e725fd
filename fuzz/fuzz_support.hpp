// Decoding of fuzzer bytes into the library's inputs, shared by every fuzz target.
//
// Numbers are drawn mostly from a table of troublesome values (zero, signed zero, NaN, infinities, the
// float limits, denormals, huge and tiny magnitudes) and otherwise from a plain range, so that short inputs
// already reach the corner cases. Every size is capped here: a target must never allocate without bound
// itself, so that an out-of-memory or a timeout always points at the library.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <pcl/PolygonMesh.h>
#include <pcl/conversions.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <unistd.h>

#include <Eigen/Core>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace nimbrel_fuzz {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = Cloud::Ptr;

/// Aborts the run with a message: the fuzzer reports it as a crash and keeps the input.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
#define NIMBREL_FUZZ_CHECK(cond)              \
  do {                                        \
    if (!(cond)) ::nimbrel_fuzz::fail(#cond); \
  } while (0)

/// A double that is often a special value.
inline double fuzzDouble(FuzzedDataProvider& in) {
  static const double kSpecial[] = {0.0,
                                    -0.0,
                                    1.0,
                                    -1.0,
                                    0.5,
                                    0.05,
                                    0.08,
                                    2.0,
                                    1e-7,
                                    std::numeric_limits<double>::quiet_NaN(),
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(),
                                    std::numeric_limits<float>::max(),
                                    -std::numeric_limits<float>::max(),
                                    std::numeric_limits<float>::denorm_min(),
                                    std::numeric_limits<double>::max(),
                                    std::numeric_limits<double>::min(),
                                    1e30,
                                    -1e30,
                                    1e-30,
                                    1e6,
                                    2147483648.0,
                                    1e-12};
  const unsigned pick = in.ConsumeIntegral<unsigned char>();
  if (pick < 2 * (sizeof kSpecial / sizeof kSpecial[0])) {
    return kSpecial[pick / 2];
  }
  if (pick < 224) {
    return in.ConsumeFloatingPointInRange<double>(-3.0, 3.0);
  }
  return in.ConsumeFloatingPoint<double>();
}

inline float fuzzFloat(FuzzedDataProvider& in) { return static_cast<float>(fuzzDouble(in)); }

/// An int that is often a limit or a small value around zero.
inline int fuzzInt(FuzzedDataProvider& in, int smallMin, int smallMax) {
  static const int kSpecial[] = {
      0, -1, 1, std::numeric_limits<int>::max(), std::numeric_limits<int>::min(), 1 << 20};
  const unsigned pick = in.ConsumeIntegral<unsigned char>();
  if (pick < 12) {
    return kSpecial[pick / 2];
  }
  return in.ConsumeIntegralInRange<int>(smallMin, smallMax);
}

inline pcl::PointXYZ fuzzPoint(FuzzedDataProvider& in) {
  const float x = fuzzFloat(in);
  const float y = fuzzFloat(in);
  const float z = fuzzFloat(in);
  return pcl::PointXYZ(x, y, z);
}

inline Eigen::Vector3d fuzzVector3d(FuzzedDataProvider& in) {
  const double x = fuzzDouble(in);
  const double y = fuzzDouble(in);
  const double z = fuzzDouble(in);
  return Eigen::Vector3d(x, y, z);
}

/// A cloud of up to `maxPoints` points with any mix of finite, NaN and infinite coordinates, laid out as
/// one row or as an organized grid, with a density flag that may or may not tell the truth.
inline CloudPtr fuzzCloud(FuzzedDataProvider& in, std::size_t maxPoints) {
  auto cloud = std::make_shared<Cloud>();
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, maxPoints);
  for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    cloud->push_back(fuzzPoint(in));
  }
  const std::size_t n = cloud->size();
  const unsigned layout = in.ConsumeIntegralInRange<unsigned>(0, 3);
  if (layout == 1 && n >= 4 && n % 2 == 0) {
    cloud->width = static_cast<std::uint32_t>(n / 2);
    cloud->height = 2;
  }
  bool finite = true;
  for (const auto& p : cloud->points) {
    finite = finite && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
  }
  // A cloud straight from a sensor driver or the depth conversion keeps its density flag as it was, so the
  // flag may claim density for a cloud with holes: that case is fuzzed as well.
  cloud->is_dense = (layout == 3) ? true : finite;
  return cloud;
}

/// A mesh of up to `maxVertices` vertices and `maxFaces` faces with arbitrary index lists: short faces,
/// long faces, negative and out-of-range indices, repeated corners.
inline pcl::PolygonMesh fuzzMesh(FuzzedDataProvider& in, std::size_t maxVertices, std::size_t maxFaces) {
  Cloud vertices;
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, maxVertices);
  for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    pcl::PointXYZ p = fuzzPoint(in);
    vertices.push_back(p);
  }
  vertices.is_dense = in.ConsumeBool();
  pcl::PolygonMesh mesh;
  pcl::toPCLPointCloud2(vertices, mesh.cloud);
  const int n = static_cast<int>(vertices.size());
  const std::size_t faces = in.ConsumeIntegralInRange<std::size_t>(0, maxFaces);
  for (std::size_t f = 0; f < faces && in.remaining_bytes() > 0; ++f) {
    pcl::Vertices face;
    const unsigned corners = in.ConsumeBool() ? 3u : in.ConsumeIntegralInRange<unsigned>(0, 6);
    for (unsigned c = 0; c < corners; ++c) {
      if (in.ConsumeIntegralInRange<unsigned>(0, 15) == 0) {
        face.vertices.push_back(fuzzInt(in, -2, n + 2));
      } else {
        face.vertices.push_back(n > 0 ? in.ConsumeIntegralInRange<int>(0, n - 1) : 0);
      }
    }
    mesh.polygons.push_back(face);
  }
  return mesh;
}

/// Up to `maxMeshes` meshes of `fuzzMesh`.
inline std::vector<pcl::PolygonMesh> fuzzMeshes(FuzzedDataProvider& in, unsigned maxMeshes,
                                                std::size_t maxVertices, std::size_t maxFaces) {
  std::vector<pcl::PolygonMesh> meshes;
  const unsigned count = in.ConsumeIntegralInRange<unsigned>(0, maxMeshes);
  for (unsigned m = 0; m < count; ++m) meshes.push_back(fuzzMesh(in, maxVertices, maxFaces));
  return meshes;
}

/// Samples a target lets the library draw in one run; bigger meshes are only sampled when they lie far
/// beyond the library's own sample bound, where the call must refuse with std::overflow_error at once.
constexpr double kAffordableSamples = 20000.0;
constexpr double kLibrarySampleBound = 50000000.0;
/// Area that earns one surface sample.
constexpr double kAreaPerSample = 2.5e-5;

/// Total area of the triangles of `mesh` that the sampler gives samples to.
inline double meshArea(const pcl::PolygonMesh& mesh) {
  Cloud vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  double total = 0.0;
  for (const auto& face : mesh.polygons) {
    if (face.vertices.size() < 3) continue;
    bool valid = true;
    for (int k = 0; k < 3; ++k) {
      valid = valid && face.vertices[k] >= 0 && static_cast<std::size_t>(face.vertices[k]) < vertices.size();
    }
    if (!valid) continue;
    const auto& p0 = vertices.points[static_cast<std::size_t>(face.vertices[0])];
    const auto& p1 = vertices.points[static_cast<std::size_t>(face.vertices[1])];
    const auto& p2 = vertices.points[static_cast<std::size_t>(face.vertices[2])];
    const Eigen::Vector3d a(p0.x, p0.y, p0.z);
    const Eigen::Vector3d b(p1.x, p1.y, p1.z);
    const Eigen::Vector3d c(p2.x, p2.y, p2.z);
    const double area = 0.5 * (b - a).cross(c - a).norm();
    // The sampler skips triangles whose area is not a number or below one sample's share.
    if (!std::isnan(area) && area >= 2.5e-5) total += area;
  }
  return total;
}

/// Same points (bit for bit, NaN included) in the same order.
inline bool samePoints(const Cloud& a, const Cloud& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::memcmp(&a.points[i], &b.points[i], sizeof(float) * 3) != 0) return false;
  }
  return true;
}

/// `sub` is `all` with some points left out, order kept (compared bit for bit).
inline bool isSubsequence(const Cloud& sub, const Cloud& all) {
  std::size_t j = 0;
  for (std::size_t i = 0; i < sub.size(); ++i) {
    while (j < all.size() && std::memcmp(&all.points[j], &sub.points[i], sizeof(float) * 3) != 0) ++j;
    if (j == all.size()) return false;
    ++j;
  }
  return true;
}

/// Prints a cloud to standard error when NIMBREL_FUZZ_DUMP is set (for reading a finding).
inline void dump(const char* what, const Cloud& cloud) {
  if (std::getenv("NIMBREL_FUZZ_DUMP") == nullptr) return;
  std::fprintf(stderr, "%s: %zu points, width %u, height %u, dense %d\n", what, cloud.size(), cloud.width,
               cloud.height, cloud.is_dense ? 1 : 0);
  for (const auto& p : cloud.points) std::fprintf(stderr, "  %.9g %.9g %.9g\n", p.x, p.y, p.z);
}

/// A file name of this process for a target's scratch files, in memory (/dev/shm) where it can be.
inline std::string scratchPath(const std::string& name) {
  static const std::string base = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                  "/nimbrel_fuzz_" + std::to_string(getpid()) + "_";
  return base + name;
}

/// Quiets the library's logger for the whole process (messages would only slow the fuzzer down).
inline void quietLogger() {
  setenv("SPDLOG_STDOUT", "false", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "info", 1);
}

}  // namespace nimbrel_fuzz

// libFuzzer's start-up hook, the same for every target. Each target is one source file, which includes
// this header once, so the hook is defined here.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  nimbrel_fuzz::quietLogger();
  return 0;
}
