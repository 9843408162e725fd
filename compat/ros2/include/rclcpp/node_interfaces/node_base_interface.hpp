// The node-base interface that executors work with (stand-in: the subset this project uses).
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/guard_condition.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp {
namespace node_interfaces {

class NodeBaseInterface {
 public:
  RCLCPP_SMART_PTR_ALIASES_ONLY(NodeBaseInterface)
  using CallbackGroupFunction = std::function<void(rclcpp::CallbackGroup::SharedPtr)>;

  virtual ~NodeBaseInterface() = default;

  virtual const char* get_name() const = 0;
  virtual const char* get_namespace() const = 0;
  virtual const char* get_fully_qualified_name() const = 0;
  virtual rclcpp::Context::SharedPtr get_context() = 0;
  virtual rclcpp::CallbackGroup::SharedPtr create_callback_group(
      rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true) = 0;
  virtual rclcpp::CallbackGroup::SharedPtr get_default_callback_group() = 0;
  virtual bool callback_group_in_node(rclcpp::CallbackGroup::SharedPtr group) = 0;
  virtual void for_each_callback_group(const CallbackGroupFunction& func) = 0;
  /// True while the node belongs to an executor; an executor refuses a node that already has one.
  virtual std::atomic_bool& get_associated_with_executor_atomic() = 0;
  /// Triggered when the node gains work (a new timer), waking the executor that spins it.
  virtual rclcpp::GuardCondition& get_notify_guard_condition() = 0;
};

}  // namespace node_interfaces
}  // namespace rclcpp
