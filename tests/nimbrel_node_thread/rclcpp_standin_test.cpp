// Behaviours of rclcpp that the executor-thread classes and their tests rely on, checked on the stand-in
// that replaces rclcpp when no ROS 2 workspace is sourced.
#include <gtest/gtest.h>
#include <tf2_ros/create_timer_interface.h>

#include <future>
#include <memory>
#include <rclcpp/rclcpp.hpp>
#include <stdexcept>
#include <string>
#include <thread>

#include "ros_test_support.hpp"

namespace {

using nimbrel_test::Counter;
using nimbrel_test::kPeriod;

class RclcppStandIn : public nimbrel_test::RosTest {};

template <typename Call>
std::string thrownMessage(Call call) {
  try {
    call();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

TEST_F(RclcppStandIn, ContextLifecycle) {
  EXPECT_TRUE(rclcpp::ok());
  EXPECT_THROW(rclcpp::init(0, nullptr), rclcpp::ContextAlreadyInitialized);
  EXPECT_TRUE(rclcpp::shutdown());
  EXPECT_FALSE(rclcpp::ok());
  EXPECT_FALSE(rclcpp::shutdown());
  EXPECT_THROW(rclcpp::Node("late"), std::runtime_error);
  EXPECT_THROW(rclcpp::executors::SingleThreadedExecutor(), std::runtime_error);
  EXPECT_THROW(rclcpp::Node("9lives"), std::invalid_argument);
}

TEST_F(RclcppStandIn, CancelBeforeSpinIsLost) {
  auto node = std::make_shared<rclcpp::Node>("early");
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] { fired.bump(); });
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.cancel();
  std::thread spinner([&executor] { executor.spin(); });
  // Still spinning several periods after the early cancel; a cancel during spin ends it.
  EXPECT_TRUE(fired.reaches(5));
  EXPECT_TRUE(executor.is_spinning());
  executor.cancel();
  spinner.join();
}

TEST_F(RclcppStandIn, MisuseThrowsWithRclcppMessages) {
  auto node = std::make_shared<rclcpp::Node>("once", "/arm");
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] { fired.bump(); });
  rclcpp::executors::SingleThreadedExecutor executor, other;
  executor.add_node(node);
  EXPECT_EQ(thrownMessage([&] { other.add_node(node); }),
            "Node '/arm/once' has already been added to an executor.");
  EXPECT_EQ(thrownMessage([&] { other.remove_node(node); }),
            "Node needs to be associated with this executor.");
  std::thread spinner([&executor] { executor.spin(); });
  ASSERT_TRUE(fired.reaches(1));
  EXPECT_EQ(thrownMessage([&] { executor.spin(); }), "spin() called while already spinning");
  EXPECT_EQ(thrownMessage([&] { executor.spin_some(); }), "spin_some() called while already spinning");
  const int before = fired.value();
  EXPECT_TRUE(fired.reaches(before + 2)) << "the first spin was disturbed";
  executor.cancel();
  spinner.join();
  executor.remove_node(node);
  EXPECT_EQ(thrownMessage([&] { executor.remove_node(node); }),
            "Node needs to be associated with an executor.");
  EXPECT_THROW(node->create_wall_timer(std::chrono::milliseconds(-1), [] {}), std::invalid_argument);
}

TEST_F(RclcppStandIn, CallbackExceptionLeavesSingleThreadedSpinWhichRunsAgain) {
  auto node = std::make_shared<rclcpp::Node>("thrower");
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] {
    fired.bump();
    throw tf2_ros::InvalidTimerHandleException("Invalid timer handle in reset()");
  });
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  EXPECT_THROW(executor.spin(), std::runtime_error);
  EXPECT_FALSE(executor.is_spinning());
  EXPECT_THROW(executor.spin(), tf2_ros::InvalidTimerHandleException);
  EXPECT_EQ(fired.value(), 2);
}

TEST_F(RclcppStandIn, DroppedTimerStopsAndShutdownEndsSpin) {
  auto node = std::make_shared<rclcpp::Node>("weak");
  Counter dropped, kept;
  auto gone = node->create_wall_timer(kPeriod, [&dropped] { dropped.bump(); });
  gone.reset();
  auto timer = node->create_wall_timer(kPeriod, [&kept] { kept.bump(); });
  rclcpp::executors::MultiThreadedExecutor executor;
  executor.add_node(node);
  auto spun = std::async(std::launch::async, [&executor] { executor.spin(); });
  ASSERT_TRUE(kept.reaches(5));
  rclcpp::shutdown();
  spun.get();
  EXPECT_EQ(dropped.value(), 0);
  executor.spin();  // returns at once on a shut-down context
}

TEST_F(RclcppStandIn, MultiThreadedCancelBetweenTakingAndRunningLeavesGroupTaken) {
  // A timer that is always due keeps the workers taking it, so some cancel lands between a take and the run.
  auto node = std::make_shared<rclcpp::Node>("dropped");
  Counter fired;
  auto timer = node->create_wall_timer(std::chrono::nanoseconds(0), [&fired] { fired.bump(); });
  auto group = node->get_node_base_interface()->get_default_callback_group();
  bool leftTaken = false;
  for (int round = 0; round < 300 && !leftTaken; ++round) {
    rclcpp::executors::MultiThreadedExecutor executor(rclcpp::ExecutorOptions(), 2);
    executor.add_node(node);
    const int before = fired.value();
    std::thread spinner([&executor] { executor.spin(); });
    ASSERT_TRUE(fired.reaches(before + 1));
    executor.cancel();
    spinner.join();
    leftTaken = !group->can_be_taken_from().load();
    executor.remove_node(node);
  }
  ASSERT_TRUE(leftTaken) << "no cancel left the group taken";
  // The node's timers are then dead in any executor.
  rclcpp::executors::SingleThreadedExecutor other;
  other.add_node(node);
  const int before = fired.value();
  other.spin_some();
  EXPECT_EQ(fired.value(), before);
}

#ifndef __SANITIZE_THREAD__
TEST_F(RclcppStandIn, MultiThreadedCallbackExceptionEndsProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto node = std::make_shared<rclcpp::Node>("fatal");
        auto timer = node->create_wall_timer(kPeriod, [] { throw std::runtime_error("callback failed"); });
        rclcpp::executors::MultiThreadedExecutor executor(rclcpp::ExecutorOptions(), 2);
        executor.add_node(node);
        executor.spin();
      },
      "");
}
#endif

}  // namespace
