// Private to the stand-in: the errors rcl gives for a context that cannot be used.
#pragma once

#include "rclcpp/context.hpp"
#include "rclcpp/exceptions.hpp"

namespace rclcpp {
namespace detail {

inline void validateContext(const Context::SharedPtr& context) {
  if (context && context->is_valid()) return;
  if (!context || !context->was_initialized()) {
    throw exceptions::RCLInvalidArgument("context argument is null or was never initialized");
  }
  throw exceptions::RCLError(
      "the given context is not valid, either rcl_init() was not called or rcl_shutdown() was called.");
}

}  // namespace detail
}  // namespace rclcpp
