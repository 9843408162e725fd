// Stopping the background spin of the executor-thread classes (not installed).
#pragma once

#include <chrono>
#include <future>
#include <rclcpp/executor.hpp>
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

}  // namespace nimbrel_arm_util::detail
