// Helpers for tests that spin ROS 2 nodes: a context per test on a ROS domain of the process's own, light
// nodes, whether a node is in an executor, waits with a deadline, timer counters, a witness that lets a few
// timer periods pass, and a record of what the library logs.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <rclcpp/rclcpp.hpp>
#include <string>
#include <thread>

#include "support/log_recorder.hpp"

namespace nimbrel_test {

/// Longest any condition in these tests may take; far above what a loaded machine needs.
constexpr std::chrono::seconds kDeadline{30};
/// Period of the tests' timers.
constexpr std::chrono::milliseconds kPeriod{2};

/// Puts this test process on a ROS domain of its own, so that test processes running side by side do not
/// discover (and slow down) each other's nodes. Read by rclcpp::init; a stand-in ignores it.
inline void useOwnRosDomain() { setenv("ROS_DOMAIN_ID", std::to_string(1 + getpid() % 100).c_str(), 1); }

/// A node as cheap as a real one gets: no parameter services and no rosout publisher, which the tests never
/// use and which a real node would otherwise create and announce.
inline rclcpp::Node::SharedPtr makeNode(const std::string& name) {
  return std::make_shared<rclcpp::Node>(
      name, rclcpp::NodeOptions().start_parameter_services(false).enable_rosout(false));
}

/// True while @p node belongs to an executor.
inline bool inExecutor(const rclcpp::Node::SharedPtr& node) {
  return node->get_node_base_interface()->get_associated_with_executor_atomic().load();
}

/// Polls @p condition until it holds or @p limit passes; returns its last value.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::steady_clock::duration limit = kDeadline) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

/// Counts timer calls from any thread; tests wait on it.
class Counter {
 public:
  void bump() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++count_;
    }
    changed_.notify_all();
  }
  int value() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  /// True once the count reached @p target within the deadline.
  bool reaches(int target, std::chrono::steady_clock::duration limit = kDeadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return count_ >= target; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

/// Lets at least @p periods timer periods pass, measured by a timer of another node and executor, so that
/// a test can check that something did not happen meanwhile without a fixed sleep.
inline void letPeriodsPass(int periods) {
  auto node = makeNode("witness");
  Counter ticks;
  auto timer = node->create_wall_timer(kPeriod, [&ticks] { ticks.bump(); });
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  std::thread spinner([&executor] { executor.spin(); });
  const bool passed = ticks.reaches(periods + 1);
  // The timer fired inside spin, so spin is running and this cancel is not lost.
  executor.cancel();
  spinner.join();
  ASSERT_TRUE(passed) << "witness timer did not fire";
}

/// Spins @p executor on the calling thread until @p condition holds or the deadline passes. A single
/// spin_once may return without work (for instance after a node was added), so it is repeated.
template <typename Condition>
bool spinUntil(rclcpp::Executor& executor, Condition condition) {
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  while (!condition() && std::chrono::steady_clock::now() < end) {
    executor.spin_once(std::chrono::milliseconds(10));
  }
  return condition();
}

/// Each test runs in a freshly initialised default context, shut down again afterwards.
class RosTest : public ::testing::Test {
 protected:
  void SetUp() override {
    useOwnRosDomain();
    rclcpp::init(0, nullptr);
  }
  void TearDown() override { rclcpp::shutdown(); }
};

/// A recorder that lives as long as the process, attached on first use (before any thread of a test logs).
/// The logger is configured quiet and at the default level so that the record does not depend on the caller's
/// environment.
inline std::shared_ptr<LogRecorder> logRecorder() {
  static std::shared_ptr<LogRecorder> recorder = [] {
    setenv("SPDLOG_STDOUT", "false", 1);
    setenv("SPDLOG_SYSTEMD", "false", 1);
    setenv("SPDLOG_LEVEL", "info", 1);
    return std::make_shared<LogRecorder>();
  }();
  return recorder;
}

}  // namespace nimbrel_test
