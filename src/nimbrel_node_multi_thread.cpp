#include "nimbrel_arm_util/nimbrel_node_multi_thread.hpp"

#include <tf2_ros/create_timer_interface.h>

#include <chrono>
#include <rclcpp/executor_options.hpp>
#include <rclcpp/executors/multi_threaded_executor.hpp>
#include <utility>

#include "executor_thread_stop.hpp"
#include "nimbrel/logger.hpp"

namespace nimbrel_arm_util {

NimbrelNodeMultiThread::NimbrelNodeMultiThread(
    std::shared_ptr<rclcpp::node_interfaces::NodeBaseInterface> node)
    : node(std::move(node)) {
  // 0 threads: one worker per hardware thread; no yield before executing; workers wait without timeout.
  executor = std::make_shared<rclcpp::executors::MultiThreadedExecutor>(rclcpp::ExecutorOptions(), 0, false,
                                                                        std::chrono::nanoseconds(-1));
  // Added here, on the caller's thread, so that a node already in an executor is refused with rclcpp's
  // exception before any thread starts.
  executor->add_node(this->node, true);
  std::promise<void> ended;
  finished = ended.get_future();
  thread = std::make_unique<std::thread>([this, ended = std::move(ended)]() mutable {
    try {
      executor->spin();
    } catch (const tf2_ros::InvalidTimerHandleException& ex) {
      LOG_ERROR("ex.what: {}", ex.what());
    }
    detail::releaseCallbackGroups(*this->node);
    executor->remove_node(this->node, true);
    ended.set_value();
  });
}

NimbrelNodeMultiThread::NimbrelNodeMultiThread(
    std::shared_ptr<rclcpp::executors::SingleThreadedExecutor> executor)
    : node(), executor(std::move(executor)) {
  std::promise<void> ended;
  finished = ended.get_future();
  thread = std::make_unique<std::thread>([this, ended = std::move(ended)]() mutable {
    this->executor->spin();
    ended.set_value();
  });
}

NimbrelNodeMultiThread::~NimbrelNodeMultiThread() {
  detail::cancelUntilEnded(*executor, finished, *thread);
  executor.reset();
  thread.reset();
  node.reset();
}

}  // namespace nimbrel_arm_util
