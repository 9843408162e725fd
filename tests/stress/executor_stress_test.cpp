// Executor-thread objects created and destroyed in quick succession while their nodes' timers fire: every
// destructor must return (cancel never lost, even before spin started), every object that waits for a tick
// must see one (a node handed back unusable fails at once), and under ThreadSanitizer no data race may
// appear between the caller's thread, the spinning thread and the executors' workers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <rclcpp/rclcpp.hpp>
#include <string>
#include <thread>

#include "nimbrel_arm_util/nimbrel_node_multi_thread.hpp"
#include "nimbrel_arm_util/nimbrel_node_thread.hpp"
#include "stress_support.hpp"

namespace {

using nimbrel_arm_util::NimbrelNodeMultiThread;
using nimbrel_arm_util::NimbrelNodeThread;

class ExecutorStress : public ::testing::Test {
 protected:
  void SetUp() override {
    // A ROS domain of this process's own: test processes side by side do not discover each other's nodes.
    setenv("ROS_DOMAIN_ID", std::to_string(1 + getpid() % 100).c_str(), 1);
    rclcpp::init(0, nullptr);
  }
  void TearDown() override { rclcpp::shutdown(); }
};

// Waits (with a deadline, never a fixed sleep) until `count` has advanced by `ticks`. False means the node
// stopped being spun: the test fails there instead of waiting out every later object.
bool awaitTicks(const std::atomic<int>& count, int from, int ticks) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (count.load() < from + ticks) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST_F(ExecutorStress, ThousandObjectsComeAndGoWhileTimersFire) {
  const int objects = static_cast<int>(nimbrel_stress::scaled(1000, 60));
  std::atomic<int> ticks{0};
  auto node = std::make_shared<rclcpp::Node>(
      "stress_timers", rclcpp::NodeOptions().start_parameter_services(false).enable_rosout(false));
  auto timer = node->create_wall_timer(std::chrono::microseconds(200), [&ticks] { ticks.fetch_add(1); });
  for (int i = 0; i < objects; ++i) {
    const int before = ticks.load();
    switch (i % 4) {
      case 0: {
        NimbrelNodeThread spinner(node->get_node_base_interface());
        ASSERT_TRUE(awaitTicks(ticks, before, 1)) << "no tick under a NimbrelNodeThread, object " << i;
        break;
      }
      case 1: {
        NimbrelNodeMultiThread spinner(node->get_node_base_interface());
        ASSERT_TRUE(awaitTicks(ticks, before, 2)) << "no tick under a NimbrelNodeMultiThread, object " << i;
        break;
      }
      case 2: {
        // Destroyed at once, usually before its thread reaches spin.
        NimbrelNodeThread spinner(node->get_node_base_interface());
        break;
      }
      default: {
        auto executor = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
        executor->add_node(node);
        {
          NimbrelNodeMultiThread spinner(executor);
          ASSERT_TRUE(awaitTicks(ticks, before, 1)) << "no tick in the caller's executor, object " << i;
        }
        executor->remove_node(node);
        break;
      }
    }
  }
  // The timer did fire while objects came and went.
  EXPECT_GT(ticks.load(), objects / 4);
}

}  // namespace
