// What both executor-thread classes promise alike, checked once for each. What one class alone promises is
// in its own file.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <rclcpp/rclcpp.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "nimbrel_arm_util/nimbrel_node_multi_thread.hpp"
#include "nimbrel_arm_util/nimbrel_node_thread.hpp"
#include "ros_test_support.hpp"

namespace {

using nimbrel_arm_util::NimbrelNodeMultiThread;
using nimbrel_arm_util::NimbrelNodeThread;
using nimbrel_test::Counter;
using nimbrel_test::inExecutor;
using nimbrel_test::kPeriod;
using nimbrel_test::letPeriodsPass;
using nimbrel_test::waitUntil;

// The thread works on the object's own address.
template <typename Spinner>
constexpr bool kPinned = !std::is_copy_constructible_v<Spinner> && !std::is_copy_assignable_v<Spinner> &&
                         !std::is_move_constructible_v<Spinner> && !std::is_move_assignable_v<Spinner>;
static_assert(kPinned<NimbrelNodeThread> && kPinned<NimbrelNodeMultiThread>);

template <typename Spinner>
class NimbrelNodeThreads : public nimbrel_test::RosTest {};

// The other class: a node it spins must be refused by this one.
template <typename Spinner>
using Other =
    std::conditional_t<std::is_same_v<Spinner, NimbrelNodeThread>, NimbrelNodeMultiThread, NimbrelNodeThread>;

// No name generator: CMake's test discovery names a typed test after its type only for GoogleTest's own
// numbered names, giving NimbrelNodeThreads.<Test><nimbrel_arm_util::NimbrelNodeThread> and so on.
using Spinners = ::testing::Types<NimbrelNodeThread, NimbrelNodeMultiThread>;
TYPED_TEST_SUITE(NimbrelNodeThreads, Spinners);

TYPED_TEST(NimbrelNodeThreads, TimerFiresWhileAliveAndNeverAfterDestruction) {
  auto node = nimbrel_test::makeNode("ticking");
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] { fired.bump(); });
  auto spinner = std::make_unique<TypeParam>(node->get_node_base_interface());
  ASSERT_TRUE(fired.reaches(3));
  spinner.reset();
  EXPECT_FALSE(inExecutor(node));
  const int atDestruction = fired.value();
  letPeriodsPass(5);
  EXPECT_EQ(fired.value(), atDestruction);
}

TYPED_TEST(NimbrelNodeThreads, NodeHasLeftTheExecutorWhenDestructorReturns) {
  auto node = nimbrel_test::makeNode("leaving");
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] { fired.bump(); });
  {
    TypeParam spinner(node->get_node_base_interface());
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

TYPED_TEST(NimbrelNodeThreads, ManyObjectsAliveAtOnceAllStop) {
  std::vector<rclcpp::Node::SharedPtr> nodes;
  std::vector<std::unique_ptr<TypeParam>> spinners;
  for (int i = 0; i < 100; ++i) {
    nodes.push_back(nimbrel_test::makeNode("many_" + std::to_string(i)));
    spinners.push_back(std::make_unique<TypeParam>(nodes.back()->get_node_base_interface()));
  }
  spinners.clear();
  for (const auto& node : nodes) ASSERT_FALSE(inExecutor(node)) << node->get_name();
}

TYPED_TEST(NimbrelNodeThreads, DestroyedBeforeSpinStartsDoesNotHang) {
  // Destroying at once usually cancels before the thread has entered spin, a cancel rclcpp forgets. The
  // race is what is repeated, so one node serves every object.
  auto node = nimbrel_test::makeNode("brief");
  for (int i = 0; i < 1000; ++i) {
    { TypeParam spinner(node->get_node_base_interface()); }
    ASSERT_FALSE(inExecutor(node)) << "iteration " << i;
  }
  auto executor = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
  for (int i = 0; i < 1000; ++i) {
    { TypeParam spinner(executor); }
    ASSERT_FALSE(executor->is_spinning()) << "iteration " << i;
  }
}

TYPED_TEST(NimbrelNodeThreads, NodeInAnotherExecutorIsRefusedOnTheCallersThread) {
  auto node = std::make_shared<rclcpp::Node>(
      "taken", "/arm", rclcpp::NodeOptions().start_parameter_services(false).enable_rosout(false));
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] { fired.bump(); });
  rclcpp::executors::SingleThreadedExecutor owner;
  owner.add_node(node);
  // rclcpp's exception reaches the caller; no thread is left behind (one would end the process).
  try {
    TypeParam spinner(node->get_node_base_interface());
    ADD_FAILURE() << "a node of another executor was accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Node '/arm/taken' has already been added to an executor.");
  }
  // The node is still the other executor's, which spins it.
  EXPECT_TRUE(inExecutor(node));
  EXPECT_TRUE(nimbrel_test::spinUntil(owner, [&] { return fired.value() > 0; }));
  EXPECT_NO_THROW(owner.remove_node(node));
}

TYPED_TEST(NimbrelNodeThreads, NodeSpunByAnotherObjectIsRefusedAndKeepsSpinning) {
  auto node = nimbrel_test::makeNode("taken");
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] { fired.bump(); });
  Other<TypeParam> first(node->get_node_base_interface());
  // rclcpp's exception reaches the caller; no thread is left behind (one would end the process).
  try {
    TypeParam second(node->get_node_base_interface());
    ADD_FAILURE() << "a node of another executor was accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Node '/taken' has already been added to an executor.");
  }
  const int before = fired.value();
  EXPECT_TRUE(fired.reaches(before + 3)) << "the first object stopped spinning the node";
}

TYPED_TEST(NimbrelNodeThreads, ShutdownEndsThreadAndDestructorReturnsAtOnce) {
  auto node = nimbrel_test::makeNode("shut");
  Counter fired;
  auto timer = node->create_wall_timer(kPeriod, [&fired] { fired.bump(); });
  auto spinner = std::make_unique<TypeParam>(node->get_node_base_interface());
  ASSERT_TRUE(fired.reaches(1));
  rclcpp::shutdown();
  // The thread removes the node by itself once spin has returned.
  ASSERT_TRUE(waitUntil([&] { return !inExecutor(node); }));
  auto destroyed = std::async(std::launch::async, [&spinner] { spinner.reset(); });
  EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(2)), std::future_status::ready);
}

TYPED_TEST(NimbrelNodeThreads, ExecutorConstructorSpinsCallersExecutorInOneThreadAndLeavesItsNodes) {
  auto executor = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
  auto before = nimbrel_test::makeNode("added_before");
  auto after = nimbrel_test::makeNode("added_after");
  // A reentrant group would spread over several threads in a multi-threaded executor.
  auto group = before->create_callback_group(rclcpp::CallbackGroupType::Reentrant);
  std::mutex threadsMutex;
  std::set<std::thread::id> threads;
  Counter firedBefore, firedAfter;
  auto note = [&](Counter& fired) {
    {
      std::lock_guard<std::mutex> lock(threadsMutex);
      threads.insert(std::this_thread::get_id());
    }
    fired.bump();
  };
  auto timerBefore = before->create_wall_timer(
      kPeriod, [&] { note(firedBefore); }, group);
  auto secondTimerBefore = before->create_wall_timer(
      kPeriod, [&] { note(firedBefore); }, group);
  auto timerAfter = after->create_wall_timer(kPeriod, [&] { note(firedAfter); });
  executor->add_node(before);
  {
    TypeParam spinner(executor);
    executor->add_node(after);  // while the thread spins
    ASSERT_TRUE(firedBefore.reaches(20));
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
