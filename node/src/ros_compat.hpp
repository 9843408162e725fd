// The few rclcpp calls whose form differs between the ROS 2 distributions the node is built for.
#pragma once

#include <rclcpp/version.h>

#include <rclcpp/rclcpp.hpp>
#include <string>
#include <utility>

namespace nimbrel_arm_util {

/// A service with the default services QoS in `group`: rclcpp 21 (Iron) and later take an rclcpp::QoS,
/// Humble an rmw profile.
template <typename ServiceT, typename CallbackT>
typename rclcpp::Service<ServiceT>::SharedPtr createService(rclcpp::Node& node, const std::string& name,
                                                            CallbackT&& callback,
                                                            rclcpp::CallbackGroup::SharedPtr group) {
#if RCLCPP_VERSION_MAJOR >= 21
  return node.create_service<ServiceT>(name, std::forward<CallbackT>(callback), rclcpp::ServicesQoS(), group);
#else
  return node.create_service<ServiceT>(name, std::forward<CallbackT>(callback),
                                       rmw_qos_profile_services_default, group);
#endif
}

}  // namespace nimbrel_arm_util
