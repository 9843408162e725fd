// Memory strategy placeholder (stand-in: executors here allocate nothing through it).
#pragma once

#include "rclcpp/macros.hpp"

namespace rclcpp {
namespace memory_strategy {

class MemoryStrategy {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(MemoryStrategy)
  MemoryStrategy() = default;
  virtual ~MemoryStrategy() = default;
};

}  // namespace memory_strategy
}  // namespace rclcpp
