#include "peer/embree_inside.hpp"

#include <embree3/rtcore.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace nimbrel_bench {
namespace {

// A direction that no axis-aligned face or edge of the test objects runs along, so that rays rarely graze
// an edge and count one crossing twice.
constexpr float kDir[3] = {0.5773f, 0.5779f, 0.5768f};

class Scene {
 public:
  explicit Scene(const std::vector<PlainMesh>& meshes) {
    device_ = rtcNewDevice("threads=1");
    if (device_ == nullptr) throw std::runtime_error("Embree device could not be created");
    scene_ = rtcNewScene(device_);
    for (const PlainMesh& mesh : meshes) {
      RTCGeometry geometry = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_TRIANGLE);
      auto* vertices =
          static_cast<float*>(rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                                      3 * sizeof(float), mesh.vertices.size() / 3));
      std::copy(mesh.vertices.begin(), mesh.vertices.end(), vertices);
      auto* indices =
          static_cast<unsigned*>(rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                                         3 * sizeof(unsigned), mesh.triangles.size() / 3));
      std::copy(mesh.triangles.begin(), mesh.triangles.end(), indices);
      rtcCommitGeometry(geometry);
      rtcAttachGeometry(scene_, geometry);
      rtcReleaseGeometry(geometry);
    }
    rtcCommitScene(scene_);
  }
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;
  ~Scene() {
    rtcReleaseScene(scene_);
    rtcReleaseDevice(device_);
  }

  // Number of crossings of the ray from `p`, per geometry, folded into "odd for some mesh".
  bool insideAny(const pcl::PointXYZ& p, std::vector<unsigned>& parity) const {
    std::fill(parity.begin(), parity.end(), 0u);
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    float tnear = 0.0f;
    for (;;) {
      RTCRayHit rh;
      rh.ray.org_x = p.x;
      rh.ray.org_y = p.y;
      rh.ray.org_z = p.z;
      rh.ray.dir_x = kDir[0];
      rh.ray.dir_y = kDir[1];
      rh.ray.dir_z = kDir[2];
      rh.ray.tnear = tnear;
      rh.ray.tfar = std::numeric_limits<float>::infinity();
      rh.ray.time = 0.0f;
      rh.ray.mask = 0xFFFFFFFFu;  // every geometry is visible: a mask of 0 would hide them all
      rh.ray.id = 0;
      rh.ray.flags = 0;
      rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
      rh.hit.primID = RTC_INVALID_GEOMETRY_ID;
      rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
      rtcIntersect1(scene_, &context, &rh);
      if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) break;
      parity[rh.hit.geomID] ^= 1u;
      // Continue just past this crossing.
      tnear = rh.ray.tfar + 1e-6f * std::max(1.0f, rh.ray.tfar);
    }
    for (unsigned odd : parity) {
      if (odd != 0u) return true;
    }
    return false;
  }

 private:
  RTCDevice device_ = nullptr;
  RTCScene scene_ = nullptr;
};

}  // namespace

std::vector<pcl::PointXYZ> keepOutsideWithEmbree(const Cloud& in, const std::vector<PlainMesh>& meshes) {
  const Scene scene(meshes);
  std::vector<unsigned> parity(meshes.size());
  std::vector<pcl::PointXYZ> kept;
  kept.reserve(in.size());
  for (const pcl::PointXYZ& p : in.points) {
    if (!scene.insideAny(p, parity)) kept.push_back(p);
  }
  return kept;
}

}  // namespace nimbrel_bench
