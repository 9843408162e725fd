// Node options (stand-in: only the context).
#pragma once

#include "rclcpp/context.hpp"
#include "rclcpp/contexts/default_context.hpp"

namespace rclcpp {

class NodeOptions {
 public:
  NodeOptions() : context_(rclcpp::contexts::get_global_default_context()) {}
  rclcpp::Context::SharedPtr context() const { return context_; }
  NodeOptions& context(rclcpp::Context::SharedPtr context) {
    context_ = std::move(context);
    return *this;
  }

 private:
  rclcpp::Context::SharedPtr context_;
};

}  // namespace rclcpp
