// Umbrella header of the rclcpp stand-in: the subset of rclcpp this project builds against when no ROS 2
// workspace is sourced.
#pragma once

#include "rclcpp/context.hpp"
#include "rclcpp/contexts/default_context.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/executor.hpp"
#include "rclcpp/executors.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/timer.hpp"
#include "rclcpp/utilities.hpp"
