// The voxel grid against the library's own filter, which is the reference: same points in the same order,
// padding included, same header, sensor pose, width, height and density flag, bit for bit.
#include "engines/voxel_grid.hpp"

#include <gtest/gtest.h>
#include <pcl/filters/voxel_grid.h>

#include <cstring>
#include <limits>
#include <string>

#include "support/geometry.hpp"
#include "support/outlier_scene.hpp"

namespace {

using nimbrel_arm_util::detail::voxelGridFilter;
using nimbrel_arm_util::detail::VoxelGridStatus;
using nimbrel_test::Cloud;
using nimbrel_test::CloudPtr;

Cloud libraryGrid(const CloudPtr& in, float leaf) {
  pcl::VoxelGrid<pcl::PointXYZ> grid;
  grid.setInputCloud(in);
  grid.setLeafSize(leaf, leaf, leaf);
  Cloud out;
  grid.filter(out);
  return out;
}

void expectIdentical(const Cloud& actual, const Cloud& expected, const std::string& what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(actual.size(), expected.size());
  EXPECT_EQ(std::memcmp(actual.points.data(), expected.points.data(), actual.size() * sizeof(pcl::PointXYZ)),
            0);
  EXPECT_EQ(actual.width, expected.width);
  EXPECT_EQ(actual.height, expected.height);
  EXPECT_EQ(actual.is_dense, expected.is_dense);
  EXPECT_EQ(actual.header.frame_id, expected.header.frame_id);
  EXPECT_EQ(actual.header.stamp, expected.header.stamp);
  EXPECT_EQ(actual.sensor_origin_, expected.sensor_origin_);
  EXPECT_EQ(actual.sensor_orientation_.coeffs(), expected.sensor_orientation_.coeffs());
}

void expectMatchesLibrary(const CloudPtr& in, float leaf, const std::string& what) {
  Cloud ours;
  ASSERT_EQ(voxelGridFilter(*in, leaf, ours), VoxelGridStatus::kDone) << what;
  expectIdentical(ours, libraryGrid(in, leaf), what);
}

// A camera frame at the leaves callers use and at a fine and a coarse one (one point per voxel, long runs
// of equal indices), and shapes that stress the index and the sort: negative coordinates, points on voxel
// faces, thousands of duplicates, non-finite points in a cloud flagged as holding them, and the result
// written over its input.
TEST(VoxelGrid, MatchesTheLibraryBitForBit) {
  CloudPtr frame = nimbrel_test::makeDepthScene(1.0);
  frame->header.frame_id = "camera_depth_optical_frame";
  frame->header.stamp = 99;
  frame->sensor_origin_ = Eigen::Vector4f(0.1f, -0.2f, 0.3f, 1.0f);
  for (const float leaf : {0.005f, 0.01f, 0.002f, 0.2f}) expectMatchesLibrary(frame, leaf, "frame");
  // One point per voxel, already in the order of the voxels: nothing for the sort to move.
  expectMatchesLibrary(pcl::make_shared<Cloud>(libraryGrid(frame, 0.01f)), 0.01f, "sorted");

  CloudPtr mixed = nimbrel_test::makeRandomCloud(40000, {-2.0f, -1.0f, -0.5f}, {1.0f, 2.0f, 0.5f}, 11);
  for (int i = 0; i < 2000; ++i) {  // exactly on voxel faces, and signed zeros
    mixed->push_back(
        pcl::PointXYZ(0.25f * static_cast<float>(i % 9 - 4), -0.0f, 0.125f * static_cast<float>(i % 5)));
  }
  for (int i = 0; i < 8000; ++i) mixed->push_back(pcl::PointXYZ(0.3f, 0.3f, 0.3f));
  mixed->width = static_cast<std::uint32_t>(mixed->size());
  expectMatchesLibrary(mixed, 0.05f, "mixed");
  expectMatchesLibrary(mixed, 0.013f, "mixed, fine");

  CloudPtr holes(new Cloud(*frame));
  const float kNaN = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t i = 0; i < holes->size(); i += 97)
    holes->points[i].y = i % 2 ? kNaN : std::numeric_limits<float>::infinity();
  holes->is_dense = false;
  expectMatchesLibrary(holes, 0.005f, "non-finite points");

  const Cloud expected = libraryGrid(frame, 0.005f);
  CloudPtr same(new Cloud(*frame));
  ASSERT_EQ(voxelGridFilter(*same, 0.005f, *same), VoxelGridStatus::kDone);
  expectIdentical(*same, expected, "in place");
}

// The padding float after x, y and z is no mean of the inputs': the library leaves `out`'s own value at
// the positions `out` already held and 1 beyond them, and 1 everywhere when filtering in place.
TEST(VoxelGrid, PaddingIsWhatTheLibraryLeaves) {
  CloudPtr in = nimbrel_test::makeRandomCloud(5000, {0, 0, 0}, {1, 1, 1}, 3);
  for (std::size_t i = 0; i < in->size(); ++i) in->points[i].data[3] = static_cast<float>(i % 7) - 2.5f;
  for (const std::size_t held : {std::size_t{0}, std::size_t{40}, std::size_t{100000}}) {
    Cloud ours(held, 1, pcl::PointXYZ(9, 9, 9));
    Cloud theirs(ours);
    for (std::size_t i = 0; i < held; ++i) ours.points[i].data[3] = theirs.points[i].data[3] = 4.0f + i;
    ASSERT_EQ(voxelGridFilter(*in, 0.1f, ours), VoxelGridStatus::kDone);
    pcl::VoxelGrid<pcl::PointXYZ> grid;
    grid.setInputCloud(in);
    grid.setLeafSize(0.1f, 0.1f, 0.1f);
    grid.filter(theirs);
    expectIdentical(ours, theirs, "out held " + std::to_string(held) + " points");
  }
  CloudPtr same(new Cloud(*in));
  ASSERT_EQ(voxelGridFilter(*same, 0.1f, *same), VoxelGridStatus::kDone);
  expectIdentical(*same, libraryGrid(in, 0.1f), "in place");
}

// Inputs the library's filter keeps for itself, with `out` left as it was.
TEST(VoxelGrid, LeavesOutUntouchedWhereTheLibraryDecides) {
  Cloud out;
  out.push_back(pcl::PointXYZ(7.0f, 7.0f, 7.0f));
  const auto untouched = [&out] { return out.size() == 1 && out.points[0].x == 7.0f; };

  EXPECT_EQ(voxelGridFilter(Cloud(), 0.01f, out), VoxelGridStatus::kDeclined);
  CloudPtr flagged = nimbrel_test::makeCloud({{0, 0, 0}, {std::numeric_limits<float>::quiet_NaN(), 0, 0}});
  flagged->is_dense = true;
  EXPECT_EQ(voxelGridFilter(*flagged, 0.01f, out), VoxelGridStatus::kDeclined);
  CloudPtr allNaN = nimbrel_test::makeCloud({{std::numeric_limits<float>::quiet_NaN(), 0, 0}});
  allNaN->is_dense = false;
  EXPECT_EQ(voxelGridFilter(*allNaN, 0.01f, out), VoxelGridStatus::kDeclined);
  // Far from the origin: voxel coordinates beyond the int range, and beyond float's exact integers.
  EXPECT_EQ(voxelGridFilter(*nimbrel_test::makeCloud({{1e9f, 0, 0}, {1e9f, 1, 0}}), 1e-3f, out),
            VoxelGridStatus::kDeclined);
  EXPECT_EQ(voxelGridFilter(*nimbrel_test::makeCloud({{0, 0, 0}, {3e7f, 0, 0}}), 1.0f, out),
            VoxelGridStatus::kDeclined);
  EXPECT_EQ(voxelGridFilter(*nimbrel_test::makeCloud({{0, 0, 0}, {2000, 2000, 2000}}), 1e-3f, out),
            VoxelGridStatus::kIndicesOverflow);
  EXPECT_TRUE(untouched());
}

}  // namespace
