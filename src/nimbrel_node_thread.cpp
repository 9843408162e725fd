#include "nimbrel_arm_util/nimbrel_node_thread.hpp"

#include <tf2_ros/create_timer_interface.h>

#include <chrono>
#include <rclcpp/executor_options.hpp>
#include <utility>

#include "nimbrel/logger.hpp"

namespace nimbrel_arm_util {

namespace {
// How often the destructor checks whether a spin that started after its first cancel needs another one.
constexpr std::chrono::milliseconds kCancelRecheck{1};
}  // namespace

NimbrelNodeThread::NimbrelNodeThread(std::shared_ptr<rclcpp::node_interfaces::NodeBaseInterface> node)
    : node(std::move(node)) {
  executor = std::make_shared<rclcpp::executors::SingleThreadedExecutor>(rclcpp::ExecutorOptions());
  std::promise<void> ended;
  finished = ended.get_future();
  thread = std::make_unique<std::thread>([this, ended = std::move(ended)]() mutable {
    executor->add_node(this->node, true);
    try {
      executor->spin();
    } catch (const tf2_ros::InvalidTimerHandleException& ex) {
      LOG_ERROR("ex.what: {}", ex.what());
    }
    executor->remove_node(this->node, true);
    ended.set_value();
  });
}

NimbrelNodeThread::NimbrelNodeThread(std::shared_ptr<rclcpp::executors::SingleThreadedExecutor> executor)
    : node(), executor(std::move(executor)) {
  std::promise<void> ended;
  finished = ended.get_future();
  thread = std::make_unique<std::thread>([this, ended = std::move(ended)]() mutable {
    this->executor->spin();
    ended.set_value();
  });
}

NimbrelNodeThread::~NimbrelNodeThread() {
  executor->cancel();
  // rclcpp forgets a cancel that arrives before spin has started, and that spin would then run forever.
  // So until the thread function has ended, cancel again whenever the executor is seen spinning. A spin
  // that was cancelled reports not spinning at once, so a running spin gets exactly one cancel, and no
  // cancel is left pending for a caller's executor where rclcpp remembers early cancels.
  while (finished.wait_for(kCancelRecheck) != std::future_status::ready) {
    if (executor->is_spinning()) executor->cancel();
  }
  thread->join();
  executor.reset();
  thread.reset();
  node.reset();
}

}  // namespace nimbrel_arm_util
