// Both mesh removals on arbitrary meshes (as in the mesh fuzzer) and arbitrary scene clouds, with the
// scene also passed as the output.
#include <stdexcept>

#include "fuzz_support.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

using nimbrel_fuzz::Cloud;
using nimbrel_fuzz::CloudPtr;
using nimbrel_fuzz::kAffordableSamples;
using nimbrel_fuzz::kAreaPerSample;
using nimbrel_fuzz::kLibrarySampleBound;

// Meshes between what the target can afford to sample and twice the library's bound are not given to the
// fast removal.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  nimbrel_arm_util::PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> meshes = nimbrel_fuzz::fuzzMeshes(in, 3, 32, 48);
  bool affordable = true;
  bool refused = false;
  for (const pcl::PolygonMesh& mesh : meshes) {
    const double samples = nimbrel_fuzz::meshArea(mesh) / kAreaPerSample;
    // Only the meshes before the first refused one are sampled.
    if (!refused) {
      affordable = affordable && samples <= kAffordableSamples;
      refused = samples > 2.0 * kLibrarySampleBound;
    }
  }
  const CloudPtr scene = nimbrel_fuzz::fuzzCloud(in, 64);
  const Cloud sceneBefore = *scene;
  const bool alias = in.ConsumeBool();
  const bool fast = in.ConsumeBool();
  CloudPtr out = alias ? scene : nimbrel_fuzz::fuzzCloud(in, 4);
  const Cloud outBefore = *out;

  int code = 0;
  if (fast) {
    if (!affordable && !refused) return 0;
    try {
      code = deal.fastRemovePointsFromMeshs(scene, meshes, out);
    } catch (const std::overflow_error&) {
      NIMBREL_FUZZ_CHECK(refused);
      NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*out, outBefore));
      return 0;
    }
    NIMBREL_FUZZ_CHECK(code == 0 || code == -1 || code == -2 || code == -3);
    NIMBREL_FUZZ_CHECK((code == -1) == sceneBefore.empty());
    if (!sceneBefore.empty()) NIMBREL_FUZZ_CHECK((code == -2) == meshes.empty());
  } else {
    code = deal.removePointsFromMeshs(scene, meshes, out);
    NIMBREL_FUZZ_CHECK(code == 0 || code == -1);
    NIMBREL_FUZZ_CHECK((code == -1) == sceneBefore.empty());
    if (code == 0 && meshes.empty() && !alias)
      NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*out, sceneBefore));
  }
  if (code != 0) {
    NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*out, outBefore));
    NIMBREL_FUZZ_CHECK(out->width == outBefore.width && out->height == outBefore.height);
  } else if (!alias) {
    // The kept points are points of the scene, in the scene's order; the scene is only read.
    NIMBREL_FUZZ_CHECK(nimbrel_fuzz::isSubsequence(*out, sceneBefore));
    NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*scene, sceneBefore));
  }
  return 0;
}
