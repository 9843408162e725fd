// Timer-interface exceptions of tf2_ros (stand-in: the types only).
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "rclcpp/rclcpp.hpp"

namespace tf2_ros {

using TimerHandle = uint64_t;
using TimerCallbackType = std::function<void(const TimerHandle&)>;

class CreateTimerInterfaceException : public std::runtime_error {
 public:
  explicit CreateTimerInterfaceException(const std::string& description) : std::runtime_error(description) {}
};

/// Thrown for a timer handle that a timer interface does not know.
class InvalidTimerHandleException : public std::runtime_error {
 public:
  explicit InvalidTimerHandleException(const std::string& description) : std::runtime_error(description) {}
};

}  // namespace tf2_ros
