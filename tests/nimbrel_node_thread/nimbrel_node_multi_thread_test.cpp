// What the multi-threaded executor thread alone promises: callbacks on several workers as their groups
// allow, and the node handed back usable. What it shares with the single-threaded one is checked for both in
// nimbrel_node_threads_test.cpp.
#include "nimbrel_arm_util/nimbrel_node_multi_thread.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <rclcpp/rclcpp.hpp>
#include <thread>

#include "ros_test_support.hpp"

namespace {

using nimbrel_arm_util::NimbrelNodeMultiThread;
using nimbrel_test::Counter;
using nimbrel_test::kPeriod;

class NimbrelNodeMultiThreadTest : public nimbrel_test::RosTest {};

TEST_F(NimbrelNodeMultiThreadTest, ReentrantGroupRunsTwoCallbacksAtTheSameTime) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one worker thread only";
  auto node = nimbrel_test::makeNode("reentrant");
  auto group = node->create_callback_group(rclcpp::CallbackGroupType::Reentrant);
  // Each callback runs once and waits for the other: both finish only if they run at the same time.
  std::mutex mutex;
  std::condition_variable arrived;
  int present = 0;
  Counter met;
  auto rendezvous = [&](rclcpp::TimerBase& timer) {
    timer.cancel();
    std::unique_lock<std::mutex> lock(mutex);
    ++present;
    arrived.notify_all();
    if (arrived.wait_for(lock, nimbrel_test::kDeadline, [&] { return present >= 2; })) met.bump();
  };
  auto first = node->create_wall_timer(kPeriod, rendezvous, group);
  auto second = node->create_wall_timer(kPeriod, rendezvous, group);
  NimbrelNodeMultiThread spinner(node->get_node_base_interface());
  EXPECT_TRUE(met.reaches(2));
}

TEST_F(NimbrelNodeMultiThreadTest, DefaultGroupNeverOverlapsTwoCallbacks) {
  auto node = nimbrel_test::makeNode("exclusive");
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  bool overlapped = false;
  Counter firstRuns, secondRuns;
  auto body = [&](Counter& runs) {
    std::unique_lock<std::mutex> lock(mutex);
    ++running;
    overlapped = overlapped || running > 1;
    changed.notify_all();
    // Stay inside for a moment, well within the period so that both timers keep their turn: a second
    // callback started meanwhile would be seen here.
    changed.wait_for(lock, std::chrono::milliseconds(2), [&] { return running > 1; });
    overlapped = overlapped || running > 1;
    --running;
    lock.unlock();
    runs.bump();
  };
  const std::chrono::milliseconds period(10);
  auto first = node->create_wall_timer(period, [&] { body(firstRuns); });
  auto second = node->create_wall_timer(period, [&] { body(secondRuns); });
  {
    NimbrelNodeMultiThread spinner(node->get_node_base_interface());
    ASSERT_TRUE(firstRuns.reaches(10));
    ASSERT_TRUE(secondRuns.reaches(10));
  }
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_FALSE(overlapped);
}

TEST_F(NimbrelNodeMultiThreadTest, NodeIsHandedBackUsableWhateverMomentTheCancelHits) {
  // rclcpp's multi-threaded executor, cancelled between a worker taking the timer and running it, leaves the
  // node's default group marked as taken. A timer that is always due keeps the workers taking, so the
  // destructor's cancel often lands in that gap; each round checks the group, and the node is finally spun
  // by another executor.
  auto node = nimbrel_test::makeNode("handed_back");
  Counter fired;
  auto timer = node->create_wall_timer(std::chrono::nanoseconds(0), [&fired] { fired.bump(); });
  auto group = node->get_node_base_interface()->get_default_callback_group();
  for (int round = 0; round < 300; ++round) {
    const int before = fired.value();
    {
      NimbrelNodeMultiThread spinner(node->get_node_base_interface());
      ASSERT_TRUE(fired.reaches(before + 1)) << "round " << round;
    }
    ASSERT_TRUE(group->can_be_taken_from().load()) << "group left taken in round " << round;
  }
  rclcpp::executors::SingleThreadedExecutor other;
  other.add_node(node);
  const int before = fired.value();
  EXPECT_TRUE(nimbrel_test::spinUntil(other, [&] { return fired.value() > before; }));
}

}  // namespace
