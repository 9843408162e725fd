// Every filter, box and transform operation on clouds with any mix of finite, NaN and infinite points,
// with arbitrary parameters (inverted boxes, zero, negative, NaN and tiny leaf sizes, any neighbour count)
// and with the same cloud passed as input and output.
#include <pcl/search/kdtree.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "fuzz_support.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

using nimbrel_fuzz::Cloud;
using nimbrel_fuzz::CloudPtr;

namespace {

bool finitePoint(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// Every finite coordinate of the cloud is at most `limit` in magnitude.
bool finiteWithin(const Cloud& cloud, float limit) {
  for (const auto& p : cloud.points) {
    if (finitePoint(p) && (std::fabs(p.x) > limit || std::fabs(p.y) > limit || std::fabs(p.z) > limit)) {
      return false;
    }
  }
  return true;
}

// Coordinates small enough that sums of a few hundred of them cannot overflow a float.
bool moderate(const Cloud& cloud) { return finiteWithin(cloud, 1e30f); }

// Coordinates whose squared distances a float search tree can still hold (|c| <= 1e18).
bool searchable(const Cloud& cloud) { return finiteWithin(cloud, 1e18f); }

CloudPtr copyOf(const CloudPtr& cloud) { return std::make_shared<Cloud>(*cloud); }

// The output of a call: the input itself when `alias`, otherwise a fresh cloud holding some old points.
CloudPtr outputFor(FuzzedDataProvider& in, const CloudPtr& input, bool alias) {
  return alias ? input : nimbrel_fuzz::fuzzCloud(in, 4);
}

Eigen::Matrix4d fuzzPose(FuzzedDataProvider& in) {
  Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
  const unsigned entries = in.ConsumeIntegralInRange<unsigned>(0, 16);
  for (unsigned k = 0; k < entries; ++k) {
    pose(in.ConsumeIntegralInRange<int>(0, 3), in.ConsumeIntegralInRange<int>(0, 3)) =
        nimbrel_fuzz::fuzzDouble(in);
  }
  return pose;
}

void filters(nimbrel_arm_util::PointCloudsDeal& deal, FuzzedDataProvider& in, const CloudPtr& source) {
  const unsigned operation = in.ConsumeIntegralInRange<unsigned>(0, 9);
  const bool alias = in.ConsumeBool();
  CloudPtr input = copyOf(source);
  CloudPtr out = outputFor(in, input, alias);
  const Cloud before = *input;
  switch (operation) {
    case 0: {
      const double lo = nimbrel_fuzz::fuzzDouble(in), hi = nimbrel_fuzz::fuzzDouble(in);
      deal.rangeFilterPointClouds(input, out, lo, hi, lo, hi, -hi, hi);
      NIMBREL_FUZZ_CHECK(nimbrel_fuzz::isSubsequence(*out, before));
      for (const auto& p : out->points) NIMBREL_FUZZ_CHECK(finitePoint(p));
      if (!alias) NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*input, before));
      break;
    }
    case 1:
      deal.rangeFilterPointClouds(input);
      NIMBREL_FUZZ_CHECK(nimbrel_fuzz::isSubsequence(*input, before));
      for (const auto& p : input->points) NIMBREL_FUZZ_CHECK(finitePoint(p));
      break;
    case 2: {
      const double zMin = nimbrel_fuzz::fuzzDouble(in), zMax = nimbrel_fuzz::fuzzDouble(in);
      deal.rangeInZFilterPointClouds(*input, *out, zMin, zMax);
      for (const auto& p : out->points) NIMBREL_FUZZ_CHECK(p.z > zMin && p.z < zMax);
      NIMBREL_FUZZ_CHECK(nimbrel_fuzz::isSubsequence(*out, before));
      break;
    }
    case 3:
      deal.removeInfinatePointClouds(input, out);
      for (const auto& p : out->points) NIMBREL_FUZZ_CHECK(finitePoint(p));
      NIMBREL_FUZZ_CHECK(nimbrel_fuzz::isSubsequence(*out, before));
      break;
    case 4:
      nimbrel_fuzz::dump("outlier removal input", *input);
      deal.removeOutlierPointClouds(input, out);
      NIMBREL_FUZZ_CHECK(out->size() <= before.size());
      break;
    case 5:
      deal.voxelGridfilterPointClouds(input, out);
      NIMBREL_FUZZ_CHECK(out->size() <= before.size());
      break;
    case 6:
      deal.processPointClouds(input, out);
      if (!alias) NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*input, before));
      if (moderate(before)) {
        for (const auto& p : out->points) NIMBREL_FUZZ_CHECK(finitePoint(p));
      }
      NIMBREL_FUZZ_CHECK(out->size() <= before.size() || alias);
      break;
    case 7: {
      // Concatenation, each cloud also as its own partner or output.
      CloudPtr second = in.ConsumeBool() ? input : nimbrel_fuzz::fuzzCloud(in, 16);
      const Cloud secondBefore = *second;
      if (in.ConsumeBool()) {
        deal.addTwoPointClouds(input, second, out);
        NIMBREL_FUZZ_CHECK(out->size() == before.size() + secondBefore.size());
        NIMBREL_FUZZ_CHECK(out->width * out->height == out->size());
        for (std::size_t i = 0; i < before.size(); ++i) {
          NIMBREL_FUZZ_CHECK(std::memcmp(&out->points[i], &before.points[i], 12) == 0);
        }
      } else {
        deal.addTwoPointClouds(input, second);
        NIMBREL_FUZZ_CHECK(input->size() == before.size() + secondBefore.size());
        for (std::size_t i = 0; i < secondBefore.size(); ++i) {
          NIMBREL_FUZZ_CHECK(std::memcmp(&input->points[before.size() + i], &secondBefore.points[i], 12) ==
                             0);
        }
      }
      break;
    }
    case 8: {
      Eigen::Matrix4f transform = fuzzPose(in).cast<float>();
      deal.TransformToRobot(*input, out, transform);
      NIMBREL_FUZZ_CHECK(out->size() == before.size());
      // The layout is kept; PCL gives an empty cloud height 1 rather than 0.
      NIMBREL_FUZZ_CHECK(before.empty() || (out->width == before.width && out->height == before.height));
      const Eigen::Vector3d offset = nimbrel_fuzz::fuzzVector3d(in);
      CloudPtr moved = outputFor(in, input, in.ConsumeBool());
      deal.translatePointCloud(input, moved, offset);
      NIMBREL_FUZZ_CHECK(moved->size() == input->size());
      const Cloud keep = *input;
      deal.rotatePointCloud(input, moved, offset);
      NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*input, keep));
      break;
    }
    default: {
      // Proximity through a kd-tree over the cloud's points, whatever the density flag claims.
      if (input->empty()) break;
      // The caller builds this tree; it is given a truthful density flag, since a tree over non-finite
      // points flagged dense fails inside FLANN before the library is called.
      input->is_dense = std::all_of(input->points.begin(), input->points.end(), finitePoint);
      if (!searchable(*input)) break;
      auto tree = std::make_shared<pcl::search::KdTree<pcl::PointXYZ>>(true);
      tree->setInputCloud(input);
      pcl::PointXYZ query = nimbrel_fuzz::fuzzPoint(in);
      // A non-finite query must be near nothing (the search tree itself would abort on it).
      const bool near = deal.isPointNearObj(query, tree, nimbrel_fuzz::fuzzDouble(in));
      NIMBREL_FUZZ_CHECK(!near || finitePoint(query));
      break;
    }
  }
}

void boxes(nimbrel_arm_util::PointCloudsDeal& deal, FuzzedDataProvider& in, const CloudPtr& source) {
  Eigen::Matrix4d pose = fuzzPose(in);
  double size[3] = {nimbrel_fuzz::fuzzDouble(in), nimbrel_fuzz::fuzzDouble(in), nimbrel_fuzz::fuzzDouble(in)};
  const double scale = nimbrel_fuzz::fuzzDouble(in);
  const double margin = nimbrel_fuzz::fuzzDouble(in);
  const Eigen::Matrix4d poseBefore = pose;
  if (!source->empty()) deal.isInObbRange(pose, size, source->points[0], scale, margin);

  const bool alias = in.ConsumeBool();
  CloudPtr input = copyOf(source);
  CloudPtr out = outputFor(in, input, alias);
  const Cloud before = *input;
  if (in.ConsumeBool()) {
    deal.removeObbPointClouds(input, out, pose, size, scale, margin);
  } else {
    Eigen::Matrix4d toolPose = fuzzPose(in);
    double toolSize[3] = {nimbrel_fuzz::fuzzDouble(in), nimbrel_fuzz::fuzzDouble(in),
                          nimbrel_fuzz::fuzzDouble(in)};
    deal.removeObbAndToolPointClouds(input, out, pose, size, scale, margin, toolPose, toolSize,
                                     nimbrel_fuzz::fuzzDouble(in));
  }
  NIMBREL_FUZZ_CHECK(nimbrel_fuzz::isSubsequence(*out, before));
  if (!alias) NIMBREL_FUZZ_CHECK(nimbrel_fuzz::samePoints(*input, before));

  double maxZ = 0.0, minZ = 0.0;
  const double top = deal.getMaxMinZofOBB(pose, size, maxZ, minZ);
  NIMBREL_FUZZ_CHECK(std::memcmp(&top, &maxZ, sizeof top) == 0);
  NIMBREL_FUZZ_CHECK(!(maxZ < minZ));
  NIMBREL_FUZZ_CHECK(!(deal.getObbBottom(pose, size) > 1.0));
  NIMBREL_FUZZ_CHECK(std::memcmp(pose.data(), poseBefore.data(), sizeof(double) * 16) == 0);
}

void savePcd(nimbrel_arm_util::PointCloudsDeal& deal, const CloudPtr& cloud) {
  static const std::string path = nimbrel_fuzz::scratchPath("cloud.pcd");
  const bool written = deal.savePcdFile(cloud, path);
  NIMBREL_FUZZ_CHECK(!written || (!cloud->empty() && cloud->width * cloud->height == cloud->size()));
  NIMBREL_FUZZ_CHECK(written == (access(path.c_str(), F_OK) == 0));
  std::remove(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  nimbrel_arm_util::PointCloudsDeal deal;
  if (in.ConsumeBool()) {
    const double a = nimbrel_fuzz::fuzzDouble(in), b = nimbrel_fuzz::fuzzDouble(in);
    deal.setFilterRange(a, b, a, b, -b, b);
  }
  if (in.ConsumeBool())
    deal.setStatisticalOutlierRemovalPara(nimbrel_fuzz::fuzzInt(in, -2, 40), nimbrel_fuzz::fuzzDouble(in));
  if (in.ConsumeBool()) deal.setLeafSize(nimbrel_fuzz::fuzzDouble(in));

  const CloudPtr cloud = nimbrel_fuzz::fuzzCloud(in, 256);
  const unsigned rounds = in.ConsumeIntegralInRange<unsigned>(1, 4);
  for (unsigned r = 0; r < rounds && in.remaining_bytes() > 0; ++r) {
    switch (in.ConsumeIntegralInRange<unsigned>(0, 4)) {
      case 0:
        boxes(deal, in, cloud);
        break;
      case 1:
        savePcd(deal, cloud);
        break;
      default:
        filters(deal, in, cloud);
        break;
    }
  }
  return 0;
}
