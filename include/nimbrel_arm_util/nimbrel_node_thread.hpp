// Spins a ROS 2 node, or a caller's executor, in a background thread for as long as the object lives.
#pragma once

#include <future>
#include <memory>
#include <rclcpp/executor.hpp>
#include <rclcpp/executors/single_threaded_executor.hpp>
#include <rclcpp/node_interfaces/node_base_interface.hpp>
#include <thread>

namespace nimbrel_arm_util {

/// Spins with a single-threaded executor in one background thread, from construction to destruction.
///
/// Not copyable or movable: the thread works on the object itself.
class NimbrelNodeThread {
 public:
  /// Adds @p node to an executor of its own and spins it; the node leaves the executor when spinning
  /// ends (destruction, ROS 2 shutdown, or a tf2_ros::InvalidTimerHandleException, which is logged).
  /// Throws rclcpp's std::runtime_error, and starts nothing, if @p node is already in an executor.
  explicit NimbrelNodeThread(std::shared_ptr<rclcpp::node_interfaces::NodeBaseInterface> node);
  /// Spins the caller's @p executor (not null). Its nodes are the caller's to add and remove, before or
  /// after; exceptions leaving its spin are not caught.
  explicit NimbrelNodeThread(std::shared_ptr<rclcpp::executors::SingleThreadedExecutor> executor);
  /// Cancels the executor and returns once the thread has ended, also when it had not started spinning.
  ~NimbrelNodeThread();

  NimbrelNodeThread(const NimbrelNodeThread&) = delete;
  NimbrelNodeThread& operator=(const NimbrelNodeThread&) = delete;
  NimbrelNodeThread(NimbrelNodeThread&&) = delete;
  NimbrelNodeThread& operator=(NimbrelNodeThread&&) = delete;

 private:
  std::shared_ptr<rclcpp::node_interfaces::NodeBaseInterface> node;
  std::unique_ptr<std::thread> thread;
  std::shared_ptr<rclcpp::Executor> executor;
  /// Ready once the thread function has returned; lets the destructor repeat a cancel that came too early.
  std::future<void> finished;
};

}  // namespace nimbrel_arm_util
