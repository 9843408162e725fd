// rclcpp::Node (stand-in): a name, callback groups and wall timers.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <ratio>
#include <stdexcept>
#include <string>
#include <utility>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node_interfaces/node_base.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"
#include "rclcpp/node_options.hpp"
#include "rclcpp/timer.hpp"

namespace rclcpp {

class Node : public std::enable_shared_from_this<Node> {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS(Node)

  /// Throws InvalidNodeNameError for a bad name, and RCLInvalidArgument / RCLError without a valid context.
  explicit Node(const std::string& node_name, const NodeOptions& options = NodeOptions());
  explicit Node(const std::string& node_name, const std::string& namespace_,
                const NodeOptions& options = NodeOptions());
  virtual ~Node() = default;
  RCLCPP_DISABLE_COPY(Node)

  const char* get_name() const { return node_base_->get_name(); }
  const char* get_namespace() const { return node_base_->get_namespace(); }
  const char* get_fully_qualified_name() const { return node_base_->get_fully_qualified_name(); }

  rclcpp::CallbackGroup::SharedPtr create_callback_group(
      rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true) {
    return node_base_->create_callback_group(group_type, automatically_add_to_executor_with_node);
  }

  /// Creates a timer on the steady clock in @p group (the default group if null). The node keeps it only
  /// weakly: it fires while the caller holds the returned pointer.
  template <typename DurationRepT = int64_t, typename DurationT = std::milli, typename CallbackT>
  typename rclcpp::WallTimer<CallbackT>::SharedPtr create_wall_timer(
      std::chrono::duration<DurationRepT, DurationT> period, CallbackT callback,
      rclcpp::CallbackGroup::SharedPtr group = nullptr) {
    if (period < std::chrono::duration<DurationRepT, DurationT>::zero()) {
      throw std::invalid_argument("timer period cannot be negative");
    }
    if (std::chrono::duration_cast<std::chrono::duration<long double, std::nano>>(period).count() >=
        static_cast<long double>(std::chrono::nanoseconds::max().count())) {
      throw std::invalid_argument("timer period must be less than std::chrono::nanoseconds::max()");
    }
    if (!group) {
      group = node_base_->get_default_callback_group();
    } else if (!node_base_->callback_group_in_node(group)) {
      throw std::runtime_error("Cannot create timer, group not in node.");
    }
    auto timer = std::make_shared<rclcpp::WallTimer<CallbackT>>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(period), std::move(callback));
    group->add_timer(timer);
    node_base_->get_notify_guard_condition().trigger();
    return timer;
  }

  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr get_node_base_interface() { return node_base_; }

 private:
  rclcpp::node_interfaces::NodeBase::SharedPtr node_base_;
};

}  // namespace rclcpp
