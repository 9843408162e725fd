// The default memory strategy (stand-in).
#pragma once

#include "rclcpp/memory_strategy.hpp"

namespace rclcpp {
namespace memory_strategies {

memory_strategy::MemoryStrategy::SharedPtr create_default_strategy();

}  // namespace memory_strategies
}  // namespace rclcpp
