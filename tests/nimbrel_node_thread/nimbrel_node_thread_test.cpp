#include "nimbrel_arm_util/nimbrel_node_thread.hpp"

#include <gtest/gtest.h>
#include <tf2_ros/create_timer_interface.h>

#include <future>
#include <memory>
#include <rclcpp/rclcpp.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "ros_test_support.hpp"

namespace {

using nimbrel_arm_util::NimbrelNodeThread;
using nimbrel_test::Counter;
using nimbrel_test::kPeriod;
using nimbrel_test::letPeriodsPass;
using nimbrel_test::waitUntil;

// The thread works on the object's own address.
static_assert(!std::is_copy_constructible_v<NimbrelNodeThread> &&
              !std::is_copy_assignable_v<NimbrelNodeThread>);
static_assert(!std::is_move_constructible_v<NimbrelNodeThread> &&
              !std::is_move_assignable_v<NimbrelNodeThread>);

class NimbrelNodeThreadTest : public nimbrel_test::RosTest {};

bool inExecutor(const rclcpp::Node::SharedPtr& node) {
  return node->get_node_base_interface()->get_associated_with_executor_atomic().load();
}

TEST_F(NimbrelNodeThreadTest, TimerFiresWhileAliveAndNeverAfterDestruction) {
  auto node = nimbrel_test::makeNode("ticking");
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] { fired.bump(); });
  auto spinner = std::make_unique<NimbrelNodeThread>(node->get_node_base_interface());
  ASSERT_TRUE(fired.reaches(3));
  spinner.reset();
  const int atDestruction = fired.value();
  letPeriodsPass(5);
  EXPECT_EQ(fired.value(), atDestruction);
}

TEST_F(NimbrelNodeThreadTest, NodeHasLeftTheExecutorWhenDestructorReturns) {
  auto node = nimbrel_test::makeNode("leaving");
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] { fired.bump(); });
  {
    NimbrelNodeThread spinner(node->get_node_base_interface());
    ASSERT_TRUE(fired.reaches(1));
    EXPECT_TRUE(inExecutor(node));
  }
  EXPECT_FALSE(inExecutor(node));
  // Free for another executor, which then spins it.
  rclcpp::executors::SingleThreadedExecutor other;
  EXPECT_NO_THROW(other.add_node(node));
  const int before = fired.value();
  EXPECT_TRUE(nimbrel_test::spinUntil(other, [&] { return fired.value() > before; }));
}

TEST_F(NimbrelNodeThreadTest, ManyObjectsAliveAtOnceAllStop) {
  std::vector<rclcpp::Node::SharedPtr> nodes;
  std::vector<std::unique_ptr<NimbrelNodeThread>> spinners;
  for (int i = 0; i < 100; ++i) {
    nodes.push_back(nimbrel_test::makeNode("many_" + std::to_string(i)));
    spinners.push_back(std::make_unique<NimbrelNodeThread>(nodes.back()->get_node_base_interface()));
  }
  spinners.clear();
  for (const auto& node : nodes) ASSERT_FALSE(inExecutor(node)) << node->get_name();
}

TEST_F(NimbrelNodeThreadTest, DestroyedBeforeSpinStartsDoesNotHang) {
  // Destroying at once usually cancels before the thread has entered spin, a cancel rclcpp forgets. The
  // race is what is repeated, so one node serves every object.
  auto node = nimbrel_test::makeNode("brief");
  for (int i = 0; i < 1000; ++i) {
    { NimbrelNodeThread spinner(node->get_node_base_interface()); }
    ASSERT_FALSE(inExecutor(node)) << "iteration " << i;
  }
  auto executor = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
  for (int i = 0; i < 1000; ++i) {
    { NimbrelNodeThread spinner(executor); }
    ASSERT_FALSE(executor->is_spinning()) << "iteration " << i;
  }
}

TEST_F(NimbrelNodeThreadTest, NodeInAnotherExecutorIsRefusedOnTheCallersThread) {
  auto node = std::make_shared<rclcpp::Node>(
      "taken", "/arm", rclcpp::NodeOptions().start_parameter_services(false).enable_rosout(false));
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] { fired.bump(); });
  rclcpp::executors::SingleThreadedExecutor owner;
  owner.add_node(node);
  // rclcpp's exception reaches the caller; no thread is left behind (one would end the process).
  try {
    NimbrelNodeThread spinner(node->get_node_base_interface());
    ADD_FAILURE() << "a node of another executor was accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Node '/arm/taken' has already been added to an executor.");
  }
  // The node is still the other executor's, which spins it.
  EXPECT_TRUE(inExecutor(node));
  EXPECT_TRUE(nimbrel_test::spinUntil(owner, [&] { return fired.value() > 0; }));
  EXPECT_NO_THROW(owner.remove_node(node));
}

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

TEST_F(NimbrelNodeThreadTest, ShutdownEndsThreadAndDestructorReturnsAtOnce) {
  auto node = nimbrel_test::makeNode("shut");
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] { fired.bump(); });
  auto spinner = std::make_unique<NimbrelNodeThread>(node->get_node_base_interface());
  ASSERT_TRUE(fired.reaches(1));
  rclcpp::shutdown();
  // The thread removes the node by itself once spin has returned.
  ASSERT_TRUE(waitUntil([&] { return !inExecutor(node); }));
  auto destroyed = std::async(std::launch::async, [&spinner] { spinner.reset(); });
  EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(2)), std::future_status::ready);
}

TEST_F(NimbrelNodeThreadTest, ExecutorConstructorSpinsCallersExecutorAndLeavesItsNodes) {
  auto executor = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
  auto before = nimbrel_test::makeNode("added_before");
  auto after = nimbrel_test::makeNode("added_after");
  std::mutex threadsMutex;
  std::set<std::thread::id> threads;
  Counter firedBefore, firedAfter;
  auto note = [&] {
    std::lock_guard<std::mutex> lock(threadsMutex);
    threads.insert(std::this_thread::get_id());
  };
  auto timerBefore = before->create_wall_timer(kPeriod, [&] {
    note();
    firedBefore.bump();
  });
  auto timerAfter = after->create_wall_timer(kPeriod, [&] {
    note();
    firedAfter.bump();
  });
  executor->add_node(before);
  {
    NimbrelNodeThread spinner(executor);
    executor->add_node(after);  // while the thread spins
    ASSERT_TRUE(firedBefore.reaches(3));
    ASSERT_TRUE(firedAfter.reaches(3));
  }
  {
    std::lock_guard<std::mutex> lock(threadsMutex);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
  }
  // Both nodes are still the caller's, in the caller's executor, which the caller can spin again.
  EXPECT_TRUE(inExecutor(before));
  EXPECT_TRUE(inExecutor(after));
  EXPECT_FALSE(executor->is_spinning());
  EXPECT_NO_THROW(executor->remove_node(before));
  const int afterCount = firedAfter.value();
  EXPECT_TRUE(nimbrel_test::spinUntil(*executor, [&] { return firedAfter.value() > afterCount; }));
}

}  // namespace
