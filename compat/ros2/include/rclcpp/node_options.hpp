// Node options (stand-in: the context, and the two switches that make a real node cheap to create).
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
  /// Kept for the caller; a stand-in node has neither parameter services nor a rosout publisher.
  bool start_parameter_services() const { return start_parameter_services_; }
  NodeOptions& start_parameter_services(bool start_parameter_services) {
    start_parameter_services_ = start_parameter_services;
    return *this;
  }
  bool enable_rosout() const { return enable_rosout_; }
  NodeOptions& enable_rosout(bool enable_rosout) {
    enable_rosout_ = enable_rosout;
    return *this;
  }

 private:
  rclcpp::Context::SharedPtr context_;
  bool start_parameter_services_ = true;
  bool enable_rosout_ = true;
};

}  // namespace rclcpp
