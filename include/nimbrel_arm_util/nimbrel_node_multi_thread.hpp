// Spins a ROS 2 node with a multi-threaded executor, or a caller's executor, while the object lives.
#pragma once

#include <future>
#include <memory>
#include <rclcpp/executor.hpp>
#include <rclcpp/executors/single_threaded_executor.hpp>
#include <rclcpp/node_interfaces/node_base_interface.hpp>
#include <thread>

namespace nimbrel_arm_util {

/// Spins with a multi-threaded executor (callbacks on its worker threads) from construction to destruction.
///
/// Not copyable or movable: the thread works on the object itself.
class NimbrelNodeMultiThread {
 public:
  /// Adds @p node to a multi-threaded executor of its own (one worker per hardware thread) and spins it; the
  /// node leaves the executor when spinning ends. With more than one worker an exception from a callback
  /// ends the process, as rclcpp's multi-threaded executor does; with one, a
  /// tf2_ros::InvalidTimerHandleException is logged and ends spinning. The node's callback groups are
  /// handed back free to run, whenever the cancel came. Throws rclcpp's std::runtime_error, and starts
  /// nothing, if @p node is already in an executor.
  explicit NimbrelNodeMultiThread(std::shared_ptr<rclcpp::node_interfaces::NodeBaseInterface> node);
  /// Spins the caller's single-threaded @p executor (not null) in the one background thread. Its nodes are
  /// the caller's to add and remove, before or after; exceptions leaving its spin are not caught.
  explicit NimbrelNodeMultiThread(std::shared_ptr<rclcpp::executors::SingleThreadedExecutor> executor);
  /// Cancels the executor and returns once the thread has ended, also when it had not started spinning.
  ~NimbrelNodeMultiThread();

  NimbrelNodeMultiThread(const NimbrelNodeMultiThread&) = delete;
  NimbrelNodeMultiThread& operator=(const NimbrelNodeMultiThread&) = delete;
  NimbrelNodeMultiThread(NimbrelNodeMultiThread&&) = delete;
  NimbrelNodeMultiThread& operator=(NimbrelNodeMultiThread&&) = delete;

 private:
  std::shared_ptr<rclcpp::node_interfaces::NodeBaseInterface> node;
  std::unique_ptr<std::thread> thread;
  std::shared_ptr<rclcpp::Executor> executor;
  /// Ready once the thread function has returned; lets the destructor repeat a cancel that came too early.
  std::future<void> finished;
};

}  // namespace nimbrel_arm_util
