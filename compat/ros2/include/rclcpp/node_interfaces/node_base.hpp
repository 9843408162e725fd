// The node base behind rclcpp::Node (stand-in).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "rclcpp/node_interfaces/node_base_interface.hpp"

namespace rclcpp {
namespace node_interfaces {

class NodeBase : public NodeBaseInterface {
 public:
  RCLCPP_SMART_PTR_ALIASES_ONLY(NodeBase)
  NodeBase(const std::string& node_name, const std::string& namespace_, rclcpp::Context::SharedPtr context);
  ~NodeBase() override = default;
  RCLCPP_DISABLE_COPY(NodeBase)

  const char* get_name() const override { return name_.c_str(); }
  const char* get_namespace() const override { return namespace_.c_str(); }
  const char* get_fully_qualified_name() const override { return fqn_.c_str(); }
  rclcpp::Context::SharedPtr get_context() override { return context_; }
  rclcpp::CallbackGroup::SharedPtr create_callback_group(
      rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node) override;
  rclcpp::CallbackGroup::SharedPtr get_default_callback_group() override { return default_group_; }
  bool callback_group_in_node(rclcpp::CallbackGroup::SharedPtr group) override;
  void for_each_callback_group(const CallbackGroupFunction& func) override;
  std::atomic_bool& get_associated_with_executor_atomic() override { return associated_with_executor_; }
  rclcpp::GuardCondition& get_notify_guard_condition() override { return notify_guard_condition_; }

 private:
  const std::string name_;
  const std::string namespace_;
  const std::string fqn_;
  const rclcpp::Context::SharedPtr context_;
  const rclcpp::CallbackGroup::SharedPtr default_group_;
  std::mutex mutex_;
  std::vector<rclcpp::CallbackGroup::WeakPtr> groups_;
  std::atomic_bool associated_with_executor_{false};
  rclcpp::GuardCondition notify_guard_condition_;
};

}  // namespace node_interfaces
}  // namespace rclcpp
