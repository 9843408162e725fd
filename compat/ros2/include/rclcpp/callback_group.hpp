// Callback groups (stand-in): mutually exclusive groups run one callback at a time, reentrant ones any
// number.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "rclcpp/macros.hpp"
#include "rclcpp/timer.hpp"

namespace rclcpp {

enum class CallbackGroupType { MutuallyExclusive, Reentrant };

class CallbackGroup {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS(CallbackGroup)
  explicit CallbackGroup(CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true);
  RCLCPP_DISABLE_COPY(CallbackGroup)

  const CallbackGroupType& type() const { return type_; }
  /// False while an executor runs a callback of a mutually exclusive group.
  std::atomic_bool& can_be_taken_from() { return can_be_taken_from_; }
  std::atomic_bool& get_associated_with_executor_atomic() { return associated_with_executor_; }
  bool automatically_add_to_executor_with_node() const { return automatically_add_; }

  /// Registers a timer; the group holds it weakly, so it lives only while its owner holds it.
  void add_timer(const TimerBase::SharedPtr& timer);
  /// The timers still alive, in the order they were added (stand-in only: executors read them here).
  std::vector<TimerBase::SharedPtr> collect_timers();

 private:
  const CallbackGroupType type_;
  const bool automatically_add_;
  std::atomic_bool can_be_taken_from_{true};
  std::atomic_bool associated_with_executor_{false};
  std::mutex mutex_;
  std::vector<TimerBase::WeakPtr> timers_;
};

}  // namespace rclcpp
