// Executor-thread objects created and destroyed in quick succession while their nodes' timers fire: every
// destructor must return (cancel never lost, even before spin started), and under ThreadSanitizer no data
// race may appear between the caller's thread, the spinning thread and the executors' workers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <rclcpp/rclcpp.hpp>

#include "nimbrel_arm_util/nimbrel_node_multi_thread.hpp"
#include "nimbrel_arm_util/nimbrel_node_thread.hpp"
#include "stress_support.hpp"

namespace {

using nimbrel_arm_util::NimbrelNodeMultiThread;
using nimbrel_arm_util::NimbrelNodeThread;

class ExecutorStress : public ::testing::Test {
 protected:
  void SetUp() override { rclcpp::init(0, nullptr); }
  void TearDown() override { rclcpp::shutdown(); }
};

// Waits (with a deadline, never a fixed sleep) until `count` has advanced by `ticks`, or gives up quietly:
// the objects must also survive being destroyed before their first tick.
void awaitTicks(const std::atomic<int>& count, int from, int ticks) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (count.load() < from + ticks && std::chrono::steady_clock::now() < end) {
    std::this_thread::yield();
  }
}

TEST_F(ExecutorStress, ThousandObjectsComeAndGoWhileTimersFire) {
  const int objects = static_cast<int>(nimbrel_stress::scaled(1000, 60));
  std::atomic<int> ticks{0};
  auto node = std::make_shared<rclcpp::Node>("stress_timers");
  auto timer = node->create_wall_timer(std::chrono::microseconds(200), [&ticks] { ticks.fetch_add(1); });
  for (int i = 0; i < objects; ++i) {
    const int before = ticks.load();
    switch (i % 4) {
      case 0: {
        NimbrelNodeThread spinner(node->get_node_base_interface());
        awaitTicks(ticks, before, 1);
        break;
      }
      case 1: {
        NimbrelNodeMultiThread spinner(node->get_node_base_interface());
        awaitTicks(ticks, before, 2);
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
          awaitTicks(ticks, before, 1);
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
