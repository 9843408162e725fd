#include <gtest/gtest.h>
#include <pcl/io/pcd_io.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"
#include "support/log_recorder.hpp"

using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_test::Cloud;
using nimbrel_test::CloudPtr;
using nimbrel_test::LogRecorder;
using nimbrel_test::makeCloud;
using nimbrel_test::makeOrganizedCloud;

namespace fs = std::filesystem;

namespace {

// A fresh directory per test, removed afterwards.
class PcdOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("nimbrel_pcd_" + std::to_string(::getpid()) + "_" + std::string(info->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // What PCL's own ASCII writer produces for `cloud`.
  std::string writtenByPcl(const Cloud& cloud) {
    const std::string reference = path("reference.pcd");
    pcl::PCDWriter writer;
    EXPECT_EQ(writer.writeASCII(reference, cloud, 8), 0);
    return contents(reference);
  }

  static std::string contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path dir_;
};

void expectOneWriteError(const LogRecorder& log) {
  const auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, spdlog::level::info);
  EXPECT_EQ(records[0].function, "savePcdFile");
  // Every refusal, whether the writer's own or the checks made before it, reads as the writer's
  // exception text does (which starts with ": ").
  EXPECT_EQ(records[0].body.rfind("write pcd error: : [pcl::PCDWriter::writeASCII] ", 0), 0u)
      << records[0].body;
}

}  // namespace

TEST_F(PcdOutput, WritesTheAsciiFormat) {
  PointCloudsDeal deal;
  const std::string file = path("three.pcd");
  EXPECT_TRUE(
      deal.savePcdFile(makeCloud({{1, 2, 3}, {0.5f, -0.25f, 0}, {0.123456789f, 1e-9f, 12345678.9f}}), file));
  EXPECT_EQ(contents(file),
            "# .PCD v0.7 - Point Cloud Data file format\n"
            "VERSION 0.7\n"
            "FIELDS x y z\n"
            "SIZE 4 4 4\n"
            "TYPE F F F\n"
            "COUNT 1 1 1\n"
            "WIDTH 3\n"
            "HEIGHT 1\n"
            "VIEWPOINT 0 0 0 1 0 0 0\n"
            "POINTS 3\n"
            "DATA ascii\n"
            "1 2 3\n"
            "0.5 -0.25 0\n"
            "0.12345679 9.9999997e-10 12345679\n");
}

TEST_F(PcdOutput, MatchesPclByteForByte) {
  PointCloudsDeal deal;
  CloudPtr organized = makeOrganizedCloud(5, 3, 0.0123456789f, 1.0f / 3.0f, {0, 7});
  organized->points[3].y = -std::numeric_limits<float>::max();
  organized->points[4].z = std::numeric_limits<float>::denorm_min();
  organized->points[7].x = 1.0f;  // a partly NaN point
  organized->sensor_origin_ = Eigen::Vector4f(0.1f, -2, 3.5f, 0);
  organized->sensor_orientation_ =
      Eigen::Quaternionf(Eigen::AngleAxisf(0.3f, Eigen::Vector3f(1, 2, 3).normalized()));
  const std::string file = path("organized.pcd");
  ASSERT_TRUE(deal.savePcdFile(organized, file));
  const std::string written = contents(file);
  EXPECT_EQ(written, writtenByPcl(*organized));
  EXPECT_NE(written.find("WIDTH 5\nHEIGHT 3\n"), std::string::npos);
  EXPECT_NE(written.find("DATA ascii\nnan nan nan\n"), std::string::npos) << written;
  EXPECT_NE(written.find("\n1 nan nan\n"), std::string::npos) << written;
}

TEST_F(PcdOutput, SecondWriteReplacesTheFile) {
  PointCloudsDeal deal;
  const std::string file = path("twice.pcd");
  ASSERT_TRUE(deal.savePcdFile(makeOrganizedCloud(10, 10), file));
  const CloudPtr small = makeCloud({{1, 1, 1}, {2, 2, 2}});
  ASSERT_TRUE(deal.savePcdFile(small, file));
  EXPECT_EQ(contents(file), writtenByPcl(*small));
}

TEST_F(PcdOutput, RefusedCloudsLeaveFilesAlone) {
  PointCloudsDeal deal;
  {
    LogRecorder log;
    EXPECT_FALSE(deal.savePcdFile(makeCloud({}), path("empty.pcd")));
    expectOneWriteError(log);
    EXPECT_FALSE(fs::exists(path("empty.pcd")));
  }

  const std::string file = path("kept.pcd");
  ASSERT_TRUE(deal.savePcdFile(makeCloud({{1, 2, 3}}), file));
  const std::string before = contents(file);
  CloudPtr mismatched = makeCloud({{4, 5, 6}, {7, 8, 9}, {1, 1, 1}});
  mismatched->width = 2;
  {
    LogRecorder log;
    EXPECT_FALSE(deal.savePcdFile(mismatched, file));
    expectOneWriteError(log);
    EXPECT_NE(log.records()[0].body.find("width * height"), std::string::npos);
  }
  // 0xAAAAAAAB * 9 wraps to 3 in 32 bits: the header would claim billions of points.
  mismatched->width = 0xAAAAAAABu;
  mismatched->height = 9;
  {
    LogRecorder log;
    EXPECT_FALSE(deal.savePcdFile(mismatched, file));
    expectOneWriteError(log);
  }
  EXPECT_EQ(contents(file), before);
}

TEST_F(PcdOutput, MissingDirectoryIsReported) {
  PointCloudsDeal deal;
  const std::string file = path("no/such/dir/cloud.pcd");
  LogRecorder log;
  EXPECT_FALSE(deal.savePcdFile(makeCloud({{1, 2, 3}}), file));
  expectOneWriteError(log);
  EXPECT_NE(log.records()[0].body.find("Could not open file for writing"), std::string::npos);
  EXPECT_FALSE(fs::exists(path("no")));
}

// A write that the system cuts short (here a file size limit of 4 KiB, as a full disk would) must not be
// reported as success; the file then holds only part of the points.
TEST_F(PcdOutput, WriteCutShortIsReported) {
  const std::string file = path("cut.pcd");
  const auto saveUnderLimit = [&](CloudPtr cloud) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    LogRecorder log;
    const bool saved = PointCloudsDeal().savePcdFile(cloud, file);
    const auto records = log.records();
    const bool reported = records.size() == 1 && records[0].function == "savePcdFile" &&
                          records[0].body.rfind("write pcd error: ", 0) == 0 &&
                          records[0].body.find("incomplete") != std::string::npos;
    std::_Exit(saved ? 1 : reported ? 0 : 2);
  };
  EXPECT_EXIT(saveUnderLimit(makeOrganizedCloud(40, 30)), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(fs::file_size(file), 4096u);
  // The same limit leaves a small cloud whole.
  EXPECT_EXIT(saveUnderLimit(makeCloud({{1, 2, 3}, {4, 5, 6}})), ::testing::ExitedWithCode(1), "");
}
