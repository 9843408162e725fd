// The grid-based outlier removal against the library's own filter, which is the reference: same kept
// points in the same order, same header, sensor pose, width, height and density flag, bit for bit.
#include <gtest/gtest.h>
#include <pcl/common/point_tests.h>
#include <pcl/filters/statistical_outlier_removal.h>
#include <pcl/search/kdtree.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#ifdef NIMBREL_WITH_OPENMP
#include <omp.h>
#endif

#include "engines/outlier_core.hpp"
#include "engines/statistical_outlier.hpp"
#include "support/geometry.hpp"
#include "support/outlier_scene.hpp"

namespace {

using nimbrel_arm_util::detail::statisticalOutlierRemoval;
using nimbrel_test::Cloud;
using nimbrel_test::CloudPtr;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

void stamp(Cloud& cloud) {
  cloud.header.frame_id = "camera_depth_optical_frame";
  cloud.header.stamp = 1234567;
  cloud.header.seq = 42;
  cloud.sensor_origin_ = Eigen::Vector4f(0.1f, -0.2f, 0.3f, 1.0f);
  cloud.sensor_orientation_ = Eigen::Quaternionf(0.9f, 0.1f, 0.3f, 0.3f).normalized();
}

Cloud libraryFilter(const CloudPtr& in, int meanK, double mul) {
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> filter;
  filter.setInputCloud(in);
  filter.setMeanK(meanK);
  filter.setStddevMulThresh(mul);
  Cloud out;
  filter.filter(out);
  return out;
}

void expectSameCloud(const Cloud& expected, const Cloud& actual) {
  EXPECT_EQ(expected.header.frame_id, actual.header.frame_id);
  EXPECT_EQ(expected.header.stamp, actual.header.stamp);
  EXPECT_EQ(expected.header.seq, actual.header.seq);
  EXPECT_EQ(expected.width, actual.width);
  EXPECT_EQ(expected.height, actual.height);
  EXPECT_EQ(expected.is_dense, actual.is_dense);
  EXPECT_EQ(expected.sensor_origin_, actual.sensor_origin_);
  EXPECT_EQ(expected.sensor_orientation_.coeffs(), actual.sensor_orientation_.coeffs());
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    // Byte comparison: NaN coordinates must match too, and nothing may be merely close.
    if (std::memcmp(&expected[i], &actual[i], sizeof(pcl::PointXYZ)) != 0) {
      ADD_FAILURE() << "point " << i << " differs: " << expected[i] << " vs " << actual[i];
      return;
    }
  }
}

// Runs both filters; `out` starts with stale contents that must all be replaced.
void expectMatchesLibrary(const CloudPtr& in, int meanK, double mul) {
  stamp(*in);
  const Cloud expected = libraryFilter(in, meanK, mul);
  Cloud actual;
  actual.push_back(pcl::PointXYZ(9.0f, 9.0f, 9.0f));
  actual.header.frame_id = "stale";
  actual.is_dense = !in->is_dense;
  ASSERT_TRUE(statisticalOutlierRemoval(*in, actual, meanK, mul));
  expectSameCloud(expected, actual);
}

// Per-point mean distances as the library's filter computes them from its unsorted kd-tree: the k + 1
// nearest including the query, the first skipped, square roots of the float distances taken in double
// (as the compiled filter does), summed in the tree's ascending order, divided by meanK.
std::vector<float> libraryMeanDistances(const CloudPtr& cloud, int meanK) {
  pcl::search::KdTree<pcl::PointXYZ> tree(false);
  tree.setInputCloud(cloud);
  std::vector<float> distances(cloud->size(), 0.0f);
  pcl::Indices indices;
  std::vector<float> squared;
  for (std::size_t i = 0; i < cloud->size(); ++i) {
    if (!pcl::isFinite((*cloud)[i])) continue;
    const int found = tree.nearestKSearch(static_cast<int>(i), meanK + 1, indices, squared);
    double sum = 0.0;
    for (int k = 1; k < found; ++k) sum += std::sqrt(static_cast<double>(squared[k]));
    distances[i] = static_cast<float>(sum / meanK);
  }
  return distances;
}

void expectSameMeanDistances(const CloudPtr& cloud, int meanK,
                             const nimbrel_arm_util::detail::OutlierKernels& kernels, bool treeOnly = false) {
  const std::vector<float> expected = libraryMeanDistances(cloud, meanK);
  std::vector<float> actual(cloud->size(), -1.0f);
  nimbrel_arm_util::detail::outlierMeanDistances(reinterpret_cast<const float*>(cloud->points.data()),
                                                 cloud->size(), 4, meanK, actual.data(), kernels, treeOnly);
  std::size_t differing = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    differing += std::memcmp(&expected[i], &actual[i], sizeof(float)) != 0;
  }
  EXPECT_EQ(differing, 0u) << "of " << expected.size() << " points, kernels " << kernels.name;
}

CloudPtr frame(float leaf, double scale = 0.85) {
  static const CloudPtr nearScene = nimbrel_test::makeDepthScene(0.85);
  return nimbrel_test::voxelised(scale == 0.85 ? nearScene : nimbrel_test::makeDepthScene(scale), leaf);
}

TEST(StatisticalOutlier, DepthFramesMatchLibrary) {
  const CloudPtr fine = frame(0.005f);
  ASSERT_GT(fine->size(), 50000u);
  expectMatchesLibrary(fine, 50, 1.0);
  expectMatchesLibrary(frame(0.01f), 50, 1.0);
}

TEST(StatisticalOutlier, ExtremeNeighbourCountsMatchLibrary) {
  const CloudPtr coarse = frame(0.01f);
  expectMatchesLibrary(coarse, 1, 1.0);
  expectMatchesLibrary(coarse, 200, 0.5);
}

TEST(StatisticalOutlier, UniformCubeMatchesLibrary) {
  expectMatchesLibrary(nimbrel_test::makeRandomCloud(20000, Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones()),
                       30, 0.2);
}

TEST(StatisticalOutlier, DuplicatedPointsMatchLibrary) {
  // Every third point twice more, and one point 80 times: its nearest 51 are all at distance 0.
  const CloudPtr coarse = frame(0.01f);
  auto cloud = pcl::make_shared<Cloud>();
  for (std::size_t i = 0; i < coarse->size(); ++i) {
    cloud->push_back((*coarse)[i]);
    if (i % 3 == 0) {
      cloud->push_back((*coarse)[i]);
      cloud->push_back((*coarse)[i]);
    }
    if (i == 500) {
      for (int r = 0; r < 80; ++r) cloud->push_back((*coarse)[i]);
    }
  }
  expectMatchesLibrary(cloud, 50, 1.0);
  expectMatchesLibrary(cloud, 2, 1.0);
}

TEST(StatisticalOutlier, NonFinitePointsStayAndCountAsZero) {
  CloudPtr cloud =
      nimbrel_test::makeRandomCloud(3000, Eigen::Vector3f(-1, -1, 0), Eigen::Vector3f(1, 1, 2), 11);
  for (std::size_t i = 0; i < cloud->size(); i += 37) (*cloud)[i].x = kNaN;
  for (std::size_t i = 5; i < cloud->size(); i += 101) (*cloud)[i].z = kInf;
  (*cloud)[7].y = -kInf;
  cloud->is_dense = false;
  expectMatchesLibrary(cloud, 20, 1.0);
  // A density flag that wrongly claims finite points changes nothing but is copied.
  cloud->is_dense = true;
  expectMatchesLibrary(cloud, 20, 1.0);
}

TEST(StatisticalOutlier, ExtremeScalesMatchLibrary) {
  // Denormal squared distances: a cluster 1e-20 wide next to one 1e-3 wide.
  auto tiny =
      nimbrel_test::makeRandomCloud(150, Eigen::Vector3f::Zero(), Eigen::Vector3f::Constant(1e-20f), 8);
  *tiny += *nimbrel_test::makeRandomCloud(150, Eigen::Vector3f::Zero(), Eigen::Vector3f::Constant(1e-3f), 9);
  expectMatchesLibrary(tiny, 20, 0.5);
  expectSameMeanDistances(tiny, 20, nimbrel_arm_util::detail::bestOutlierKernels());
  // Squared distances up to about 1e36 stay finite in float.
  CloudPtr cloud = nimbrel_test::makeRandomCloud(200, Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones(), 5);
  cloud->push_back(pcl::PointXYZ(5e17f, 0.0f, 0.0f));
  cloud->push_back(pcl::PointXYZ(-5e17f, 1.0f, 0.0f));
  cloud->push_back(pcl::PointXYZ(0.0f, 2e17f, -2e17f));
  expectMatchesLibrary(cloud, 10, 1.0);
  expectMatchesLibrary(cloud, 300, 1.0);
}

TEST(StatisticalOutlier, FewerFinitePointsThanNeighbours) {
  for (const std::size_t count : {1u, 2u, 3u, 10u, 51u, 52u}) {
    SCOPED_TRACE(count);
    expectMatchesLibrary(
        nimbrel_test::makeRandomCloud(count, Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones(),
                                      static_cast<std::uint32_t>(count)),
        50, 0.1);
  }
  // A single finite point among non-finite ones: the threshold is NaN, all points stay.
  auto cloud = nimbrel_test::makeCloud({{kNaN, 0, 0}, {0, kNaN, 0}});
  cloud->is_dense = false;
  cloud->push_back(pcl::PointXYZ(1.0f, 2.0f, 3.0f));
  expectMatchesLibrary(cloud, 5, 1.0);
}

TEST(StatisticalOutlier, SmallRandomCloudsMatchLibrary) {
  std::mt19937 rng(2024);
  std::uniform_int_distribution<int> sizes(1, 160);
  std::uniform_int_distribution<int> ks(1, 60);
  std::uniform_real_distribution<double> muls(-1.0, 3.0);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(trial);
    const int kind = trial % 5;
    auto cloud = pcl::make_shared<Cloud>();
    const int n = sizes(rng);
    for (int i = 0; i < n; ++i) {
      pcl::PointXYZ p;
      if (kind == 0) {  // uniform box
        p = pcl::PointXYZ(unit(rng), unit(rng), unit(rng));
      } else if (kind == 1) {  // two clusters far apart, with stragglers
        const float c = (i % 2) ? 50.0f : 0.0f;
        p = pcl::PointXYZ(c + 0.1f * gauss(rng), 0.1f * gauss(rng), (i % 17 == 0) ? 20.0f * unit(rng) : 0.0f);
      } else if (kind == 2) {  // millimetre lattice: many equal distances
        p = pcl::PointXYZ(std::round(unit(rng) * 8.0f) * 0.001f, std::round(unit(rng) * 8.0f) * 0.001f, 1.0f);
      } else if (kind == 3) {  // plane with noise and a few far points
        p = pcl::PointXYZ(unit(rng), unit(rng), 0.002f * gauss(rng) + ((i % 23 == 0) ? 3.0f : 0.0f));
      } else {  // large coordinates and occasional NaN
        p = pcl::PointXYZ(1000.0f + unit(rng), -500.0f + unit(rng), (i % 13 == 12) ? kNaN : unit(rng));
        cloud->is_dense = false;
      }
      cloud->push_back(p);
    }
    if (kind == 4) cloud->is_dense = false;
    expectMatchesLibrary(cloud, ks(rng), muls(rng));
    if (HasFailure()) return;
  }
}

TEST(StatisticalOutlier, WorstCaseShapesMatchLibrary) {
  // Far strays in front of a plane, a cloud 1e-16 wide, map coordinates, a cluster of duplicates and a
  // dense cluster inside a sparse cloud: shapes that defeat a grid laid over the bounding box.
  for (const float stray : {0.5f, 20.0f, 60.0f}) {
    SCOPED_TRACE(stray);
    expectMatchesLibrary(nimbrel_test::makePlaneWithStrays(20000, stray), 50, 1.0);
  }
  const CloudPtr tiny = nimbrel_test::makeTinyCube(4000, 1e-16f);
  expectMatchesLibrary(tiny, 50, 1.0);
  expectSameMeanDistances(tiny, 50, nimbrel_arm_util::detail::bestOutlierKernels());
  expectSameMeanDistances(tiny, 50, nimbrel_arm_util::detail::bestOutlierKernels(), true);
  expectMatchesLibrary(nimbrel_test::offsetCloud(*frame(0.01f), 1e6f), 50, 1.0);
  const CloudPtr duplicates = nimbrel_test::withDuplicateCluster(*frame(0.01f), 4000, 20);
  expectMatchesLibrary(duplicates, 50, 1.0);
  expectSameMeanDistances(duplicates, 50, nimbrel_arm_util::detail::bestOutlierKernels());
  // A plane the grid serves, with a sparse layer 0.9 in front of it that no few rings of cells reach.
  CloudPtr layered = nimbrel_test::makePlaneWithStrays(30000, 0.0f);
  for (int i = 0; i < 400; ++i) {
    layered->push_back(pcl::PointXYZ(-1.5f + 0.15f * static_cast<float>(i % 20),
                                     -1.5f + 0.15f * static_cast<float>(i / 20), 0.1f));
  }
  expectSameMeanDistances(layered, 50, nimbrel_arm_util::detail::bestOutlierKernels());
  expectMatchesLibrary(layered, 50, 1.0);
  CloudPtr mixed = nimbrel_test::makeRandomCloud(3000, Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones(), 21);
  *mixed += *nimbrel_test::offsetCloud(*nimbrel_test::makeTinyCube(3000, 1e-5f), 0.5f);
  expectMatchesLibrary(mixed, 50, 1.0);
}

TEST(StatisticalOutlier, CoordinatesBeyondTheSearchLimitCountAsNonFinite) {
  // The library's kd-tree cannot be built over such coordinates; they are kept and left out of every
  // neighbourhood and of the statistics, exactly as the library treats a NaN point.
  CloudPtr cloud = nimbrel_test::makeRandomCloud(400, Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones(), 4);
  cloud->push_back(pcl::PointXYZ(5e18f, 0.0f, 0.0f));
  cloud->push_back(pcl::PointXYZ(0.5f, -2e30f, 0.5f));
  cloud->push_back(pcl::PointXYZ(3.0f, 3.0f, 3.0f));
  auto masked = pcl::make_shared<Cloud>(*cloud);
  masked->is_dense = false;
  for (pcl::PointXYZ& p : masked->points) {
    if (std::fabs(p.x) > 1e18f || std::fabs(p.y) > 1e18f || std::fabs(p.z) > 1e18f) p.x = p.y = p.z = kNaN;
  }
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> filter;
  filter.setInputCloud(masked);
  filter.setMeanK(20);
  filter.setStddevMulThresh(1.0);
  pcl::Indices kept;
  filter.filter(kept);
  Cloud actual;
  ASSERT_TRUE(statisticalOutlierRemoval(*cloud, actual, 20, 1.0));
  ASSERT_EQ(actual.size(), kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(0,
              std::memcmp(&actual[i], &(*cloud)[static_cast<std::size_t>(kept[i])], sizeof(pcl::PointXYZ)));
  }
  EXPECT_EQ(actual.size(), cloud->size() - 1);  // only the point at (3, 3, 3) goes
}

TEST(StatisticalOutlier, InPlaceEqualsSeparateOutput) {
  const CloudPtr cloud = frame(0.01f);
  stamp(*cloud);
  const Cloud expected = libraryFilter(cloud, 50, 1.0);
  ASSERT_TRUE(statisticalOutlierRemoval(*cloud, *cloud, 50, 1.0));
  expectSameCloud(expected, *cloud);
}

TEST(StatisticalOutlier, NothingRemovedIsAFullCopy) {
  // A huge multiplier keeps every point: the result is the input as it stands, width and height too.
  auto cloud = nimbrel_test::makeRandomCloud(500, Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones());
  cloud->width = 250;
  cloud->height = 1;  // inconsistent but unorganized: copied as it is, like the library does
  expectMatchesLibrary(cloud, 10, 1e9);
}

TEST(StatisticalOutlier, RefusesWhatTheLibraryMustHandle) {
  Cloud out;
  out.push_back(pcl::PointXYZ(1.0f, 2.0f, 3.0f));
  const CloudPtr organized = nimbrel_test::makeOrganizedCloud(8, 6);
  EXPECT_FALSE(statisticalOutlierRemoval(*organized, out, 5, 1.0));
  const CloudPtr cloud = nimbrel_test::makeRandomCloud(50, Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones());
  EXPECT_FALSE(statisticalOutlierRemoval(*cloud, out, 0, 1.0));
  EXPECT_FALSE(statisticalOutlierRemoval(*cloud, out, -4, 1.0));
  EXPECT_FALSE(statisticalOutlierRemoval(Cloud(), out, 5, 1.0));
  EXPECT_FALSE(
      statisticalOutlierRemoval(*nimbrel_test::makeCloud({{kNaN, 0, 0}, {0, kInf, 0}}), out, 5, 1.0));
  // Coordinates beyond the search limit count as non-finite: here no searchable point is left.
  auto wide = nimbrel_test::makeCloud({{3e38f, 0, 0}, {-3e38f, 0, 0}, {0, 2e18f, 0}});
  EXPECT_FALSE(statisticalOutlierRemoval(*wide, out, 1, 1.0));
  ASSERT_EQ(out.size(), 1u);  // untouched
  EXPECT_EQ(out[0].x, 1.0f);
}

TEST(StatisticalOutlier, MeanDistancesAreBitIdentical) {
  // The filter's output only shows the distances near the threshold; compare every one of them.
  using nimbrel_arm_util::detail::bestOutlierKernels;
  const CloudPtr fine = frame(0.005f);
  expectSameMeanDistances(fine, 50, bestOutlierKernels());
  expectSameMeanDistances(fine, 50, bestOutlierKernels(), true);  // on the kd-tree alone
  const CloudPtr coarse = frame(0.01f);
  expectSameMeanDistances(coarse, 7, bestOutlierKernels());
  expectSameMeanDistances(coarse, 7, bestOutlierKernels(), true);
  expectSameMeanDistances(coarse, 200, bestOutlierKernels());
  CloudPtr small = nimbrel_test::makeRandomCloud(30, Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones());
  (*small)[3].y = kNaN;
  expectSameMeanDistances(small, 50, bestOutlierKernels());  // fewer points than neighbours
}

TEST(StatisticalOutlier, PortableAndSimdKernelsAgree) {
  using namespace nimbrel_arm_util::detail;
  const CloudPtr cloud = frame(0.005f);
  const float* xyz = reinterpret_cast<const float*>(cloud->points.data());
  std::vector<float> portable(cloud->size()), best(cloud->size());
  const std::size_t a =
      outlierMeanDistances(xyz, cloud->size(), 4, 50, portable.data(), genericOutlierKernels());
  const std::size_t b = outlierMeanDistances(xyz, cloud->size(), 4, 50, best.data(), bestOutlierKernels());
  EXPECT_EQ(a, b);
  EXPECT_EQ(0, std::memcmp(portable.data(), best.data(), portable.size() * sizeof(float)))
      << "kernels " << bestOutlierKernels().name;
}

#ifdef NIMBREL_WITH_OPENMP
TEST(StatisticalOutlier, ThreadCountDoesNotChangeTheResult) {
  const CloudPtr cloud = frame(0.005f);
  for (const int threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    omp_set_num_threads(threads);
    expectMatchesLibrary(cloud, 50, 1.0);
  }
}
#endif

}  // namespace
