// What the single-threaded executor thread alone promises; what it shares with the multi-threaded one is
// checked for both in nimbrel_node_threads_test.cpp.
#include "nimbrel_arm_util/nimbrel_node_thread.hpp"

#include <gtest/gtest.h>
#include <tf2_ros/create_timer_interface.h>

#include <memory>
#include <rclcpp/rclcpp.hpp>
#include <string>

#include "ros_test_support.hpp"

namespace {

using nimbrel_arm_util::NimbrelNodeThread;
using nimbrel_test::Counter;
using nimbrel_test::inExecutor;
using nimbrel_test::kPeriod;
using nimbrel_test::letPeriodsPass;
using nimbrel_test::waitUntil;

class NimbrelNodeThreadTest : public nimbrel_test::RosTest {};

TEST_F(NimbrelNodeThreadTest, InvalidTimerHandleIsLoggedOnceAndSpinningStops) {
  auto recorder = nimbrel_test::logRecorder();
  recorder->clear();
  auto node = nimbrel_test::makeNode("throwing");
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] {
    fired.bump();
    throw tf2_ros::InvalidTimerHandleException("Invalid timer handle in cancel()");
  });
  auto spinner = std::make_unique<NimbrelNodeThread>(node->get_node_base_interface());
  ASSERT_TRUE(fired.reaches(1));
  ASSERT_TRUE(waitUntil([&] { return !inExecutor(node); }));
  letPeriodsPass(5);
  EXPECT_EQ(fired.value(), 1) << "node spun again after the exception";
  spinner.reset();

  const auto records = recorder->records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, spdlog::level::err);
  EXPECT_EQ(records[0].file, "src/nimbrel_node_thread.cpp");
  EXPECT_EQ(records[0].function, "operator()");
  // A right-aligned message number of three characters, then the tag and the body.
  const std::string& text = records[0].text;
  ASSERT_GT(text.size(), 3u);
  EXPECT_LT(text.find_first_of("0123456789"), 3u);
  EXPECT_EQ(text.substr(3), " [ERROR] ex.what: Invalid timer handle in cancel()");
}

}  // namespace
