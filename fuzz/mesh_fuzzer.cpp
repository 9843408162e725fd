// Mesh queries, convex hulls and surface sampling on arbitrary meshes: any vertex count, arbitrary index
// lists (short, long, negative, out of range), NaN, infinite and huge coordinates, degenerate triangles.
#include <limits>
#include <stdexcept>

#include "fuzz_support.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

using nimbrel_fuzz::Cloud;
using nimbrel_fuzz::CloudPtr;

namespace {

using nimbrel_fuzz::kAffordableSamples;
using nimbrel_fuzz::kAreaPerSample;
using nimbrel_fuzz::kLibrarySampleBound;

void sampleMesh(nimbrel_arm_util::PointCloudsDeal& deal, pcl::PolygonMesh& mesh, FuzzedDataProvider& in) {
  const double samples = nimbrel_fuzz::meshArea(mesh) / kAreaPerSample;
  const bool refused = samples > 2.0 * kLibrarySampleBound;
  if (!refused && !(samples <= kAffordableSamples)) {
    return;
  }
  Cloud vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  auto out = nimbrel_fuzz::fuzzCloud(in, 8);
  const Cloud before = *out;
  try {
    NIMBREL_FUZZ_CHECK(deal.upSampleMesh(mesh, out) == 0);
    NIMBREL_FUZZ_CHECK(!refused);
  } catch (const std::overflow_error&) {
    NIMBREL_FUZZ_CHECK(refused);
    NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*out, before));
    return;
  }
  // Earlier points stay in front, then every vertex, then the samples.
  NIMBREL_FUZZ_CHECK(out->size() >= before.size() + vertices.size());
  NIMBREL_FUZZ_CHECK(out->width == out->size() || out->size() == before.size());
  for (std::size_t i = 0; i < vertices.size(); ++i) {
    NIMBREL_FUZZ_CHECK(std::memcmp(&out->points[before.size() + i], &vertices.points[i], 12) == 0);
  }
  NIMBREL_FUZZ_CHECK(static_cast<double>(out->size() - before.size() - vertices.size()) <=
                     samples + 0.5 * static_cast<double>(mesh.polygons.size()) + 1.0);
}

void hulls(nimbrel_arm_util::PointCloudsDeal& deal, std::vector<pcl::PolygonMesh>& meshes) {
  for (const pcl::PolygonMesh& mesh : meshes) {
    Cloud vertices;
    pcl::fromPCLPointCloud2(mesh.cloud, vertices);
    nimbrel_fuzz::dump("hull input", vertices);
  }
  std::vector<pcl::PolygonMesh> result(1);  // one mesh already there: hulls are appended behind it
  const int code = deal.convertToConvexHull(meshes, result);
  if (meshes.empty()) {
    NIMBREL_FUZZ_CHECK(code == -1 && result.size() == 1);
    return;
  }
  // -2: a mesh of three vertices or fewer; -3: a flat or degenerate one. Hulls made before it stay.
  NIMBREL_FUZZ_CHECK(code == 0 || code == -2 || code == -3);
  NIMBREL_FUZZ_CHECK(result.size() <= meshes.size() + 1);
  if (code == 0) NIMBREL_FUZZ_CHECK(result.size() == meshes.size() + 1);
  for (std::size_t m = 1; m < result.size(); ++m) {
    const std::size_t points = std::size_t{result[m].cloud.width} * result[m].cloud.height;
    for (const pcl::Vertices& face : result[m].polygons) {
      for (const auto index : face.vertices) {
        NIMBREL_FUZZ_CHECK(index >= 0 && static_cast<std::size_t>(index) < points);
      }
    }
  }
}

// A copy of `source` whose vertex data does not match the cloud's declared layout (data too short or too
// long, or a coordinate field reaching past the point record): every operation must see no vertices.
void malformed(nimbrel_arm_util::PointCloudsDeal& deal, const pcl::PolygonMesh& source,
               FuzzedDataProvider& in) {
  pcl::PolygonMesh mesh = source;
  if (in.ConsumeBool() || mesh.cloud.fields.empty()) {
    std::size_t size = in.ConsumeIntegralInRange<std::size_t>(0, 2 * mesh.cloud.data.size() + 64);
    if (size == mesh.cloud.data.size()) ++size;
    mesh.cloud.data.resize(size);
  } else {
    pcl::PCLPointField& field =
        mesh.cloud.fields[in.ConsumeIntegralInRange<std::size_t>(0, mesh.cloud.fields.size() - 1)];
    field.offset = mesh.cloud.point_step - in.ConsumeIntegralInRange<std::uint32_t>(0, 3);
  }
  const pcl::PointXYZ point = nimbrel_fuzz::fuzzPoint(in);
  double dist = -3.0;
  NIMBREL_FUZZ_CHECK(deal.findNearestTriangles(point, mesh, dist) == -1 && dist == -3.0);
  std::vector<pcl::PolygonMesh> list = {mesh};
  NIMBREL_FUZZ_CHECK(!deal.isPointInsideMeshs(point, list));
  std::vector<pcl::PolygonMesh> hullsOut;
  NIMBREL_FUZZ_CHECK(deal.convertToConvexHull(list, hullsOut) == -2 && hullsOut.empty());
  auto out = std::make_shared<Cloud>();
  NIMBREL_FUZZ_CHECK(deal.upSampleMesh(mesh, out) == 0 && out->empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  nimbrel_arm_util::PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = nimbrel_fuzz::fuzzMeshes(in, 3, 48, 64);
  const std::vector<pcl::PolygonMesh> original = meshes;

  const unsigned queries = in.ConsumeIntegralInRange<unsigned>(1, 4);
  for (unsigned q = 0; q < queries; ++q) {
    const pcl::PointXYZ point = nimbrel_fuzz::fuzzPoint(in);
    const pcl::PointXYZ direction = nimbrel_fuzz::fuzzPoint(in);
    for (pcl::PolygonMesh& mesh : meshes) {
      auto vertices = std::make_shared<Cloud>();
      pcl::fromPCLPointCloud2(mesh.cloud, *vertices);
      for (const pcl::Vertices& face : mesh.polygons) {
        pcl::PointXYZ hit(7.0f, 7.0f, 7.0f);
        deal.rayIntersectsTriangle(vertices, point, direction, face, hit);
        double dist = -3.0;
        const int code = deal.calMinDistToTriangle(vertices, point, face, dist);
        NIMBREL_FUZZ_CHECK(code == 0 || code == -1);
        NIMBREL_FUZZ_CHECK(code == 0 || dist == -3.0);
        NIMBREL_FUZZ_CHECK(code != 0 || !(dist < 0.0));
      }
      deal.isPointInsideMesh(point, vertices, mesh.polygons);
      double dist = -3.0;
      const int code = deal.findNearestTriangles(point, mesh, dist);
      NIMBREL_FUZZ_CHECK(code == 0 || code == -1 || code == -2);
      if (code == -1) NIMBREL_FUZZ_CHECK(vertices->size() < 3 && dist == -3.0);
      if (code == 0) NIMBREL_FUZZ_CHECK(!(dist < 0.0));
    }
    deal.isPointInsideMeshs(point, meshes);
  }

  const Eigen::Vector3d a = nimbrel_fuzz::fuzzVector3d(in);
  const Eigen::Vector3d b = nimbrel_fuzz::fuzzVector3d(in);
  const Eigen::Vector3d c = nimbrel_fuzz::fuzzVector3d(in);
  NIMBREL_FUZZ_CHECK(!(deal.calTriangleArea(a, b, c) < 0.0));
  deal.randomPointInTriangle(a, b, c);

  hulls(deal, meshes);
  for (pcl::PolygonMesh& mesh : meshes) {
    sampleMesh(deal, mesh, in);
  }
  if (!meshes.empty() && in.ConsumeBool()) malformed(deal, meshes.front(), in);

  // Every operation takes its meshes by non-const reference, yet none may change them.
  NIMBREL_FUZZ_CHECK(meshes.size() == original.size());
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    NIMBREL_FUZZ_CHECK(meshes[m].cloud.data == original[m].cloud.data);
    NIMBREL_FUZZ_CHECK(meshes[m].polygons.size() == original[m].polygons.size());
    for (std::size_t f = 0; f < meshes[m].polygons.size(); ++f) {
      NIMBREL_FUZZ_CHECK(meshes[m].polygons[f].vertices == original[m].polygons[f].vertices);
    }
  }
  return 0;
}
