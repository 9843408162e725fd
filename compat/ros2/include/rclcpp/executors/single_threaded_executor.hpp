// Runs every callback on the thread that calls spin (stand-in).
#pragma once

#include "rclcpp/executor.hpp"
#include "rclcpp/executor_options.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node.hpp"

namespace rclcpp {
namespace executors {

class SingleThreadedExecutor : public rclcpp::Executor {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS(SingleThreadedExecutor)
  explicit SingleThreadedExecutor(const rclcpp::ExecutorOptions& options = rclcpp::ExecutorOptions());
  ~SingleThreadedExecutor() override;
  RCLCPP_DISABLE_COPY(SingleThreadedExecutor)

  /// Runs callbacks until cancel or shutdown; throws std::runtime_error if already spinning. A callback's
  /// exception leaves spin, which may then be called again.
  void spin() override;
};

}  // namespace executors
}  // namespace rclcpp
