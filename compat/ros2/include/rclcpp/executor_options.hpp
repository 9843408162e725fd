// Options shared by every executor.
#pragma once

#include <cstddef>

#include "rclcpp/context.hpp"
#include "rclcpp/contexts/default_context.hpp"
#include "rclcpp/memory_strategies.hpp"
#include "rclcpp/memory_strategy.hpp"

namespace rclcpp {

struct ExecutorOptions {
  ExecutorOptions()
      : memory_strategy(rclcpp::memory_strategies::create_default_strategy()),
        context(rclcpp::contexts::get_global_default_context()),
        max_conditions(0) {}

  rclcpp::memory_strategy::MemoryStrategy::SharedPtr memory_strategy;
  rclcpp::Context::SharedPtr context;
  std::size_t max_conditions;
};

}  // namespace rclcpp
