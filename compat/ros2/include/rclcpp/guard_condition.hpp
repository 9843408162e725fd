// rclcpp::GuardCondition (stand-in): a trigger that wakes whoever waits on it.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>

#include "rclcpp/context.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp {

class GuardCondition {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(GuardCondition)
  GuardCondition() = default;
  virtual ~GuardCondition() = default;
  RCLCPP_DISABLE_COPY(GuardCondition)

  /// Wakes the waiter; a trigger with no waiter is remembered until one is set.
  void trigger();
  /// Sets (or with an empty function clears) the waiter, called with the number of triggers.
  void set_on_trigger_callback(std::function<void(std::size_t)> callback);

 private:
  std::mutex mutex_;
  std::function<void(std::size_t)> on_trigger_;
  std::size_t unread_ = 0;
};

}  // namespace rclcpp
