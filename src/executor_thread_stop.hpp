// Stopping the background spin of the executor-thread classes (not installed).
#pragma once

#include <chrono>
#include <future>
#include <rclcpp/callback_group.hpp>
#include <rclcpp/executor.hpp>
#include <rclcpp/node_interfaces/node_base_interface.hpp>
#include <thread>

namespace nimbrel_arm_util::detail {

/// Cancels `executor`, waits until the thread function has ended (`finished` ready), then joins `thread`.
///
/// rclcpp forgets a cancel that arrives before spin has started, and that spin would then run forever. So
/// until the thread function has ended, cancel again whenever the executor is seen spinning. A spin that was
/// cancelled reports not spinning at once, so a running spin gets exactly one cancel, and no cancel is left
/// pending for a caller's executor where rclcpp remembers early cancels.
inline void cancelUntilEnded(rclcpp::Executor& executor, std::future<void>& finished, std::thread& thread) {
  constexpr std::chrono::milliseconds kRecheck{1};
  executor.cancel();
  while (finished.wait_for(kRecheck) != std::future_status::ready) {
    if (executor.is_spinning()) executor.cancel();
  }
  thread.join();
}

/// Marks every callback group that the node brought into its executor as free to run again.
///
/// rclcpp's multi-threaded executor, cancelled between a worker taking a callback and running it, drops the
/// callback without handing its group back: a mutually exclusive group then stays marked as taken, and none
/// of its timers would ever run again, in any executor. Call this once spin has returned (its workers have
/// ended, so nothing of this executor runs) and before the node is removed and so free for another executor.
/// Groups that are not added with the node belong to whatever executor the caller gave them to.
inline void releaseCallbackGroups(rclcpp::node_interfaces::NodeBaseInterface& node) {
  node.for_each_callback_group([](rclcpp::CallbackGroup::SharedPtr group) {
    if (group->automatically_add_to_executor_with_node()) group->can_be_taken_from().store(true);
  });
}

}  // namespace nimbrel_arm_util::detail
