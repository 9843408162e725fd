// The process-wide default context (stand-in).
#pragma once

#include "rclcpp/context.hpp"

namespace rclcpp {
namespace contexts {

class DefaultContext : public rclcpp::Context {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS(DefaultContext)
  DefaultContext() = default;
};

/// The context used wherever none is given.
DefaultContext::SharedPtr get_global_default_context();

}  // namespace contexts
}  // namespace rclcpp
