// Runs callbacks on a pool of threads started by spin (stand-in).
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>

#include "rclcpp/executor.hpp"
#include "rclcpp/executor_options.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node.hpp"

namespace rclcpp {
namespace executors {

class MultiThreadedExecutor : public rclcpp::Executor {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS(MultiThreadedExecutor)
  /// @p number_of_threads 0 means the hardware's thread count (at least 1).
  explicit MultiThreadedExecutor(const rclcpp::ExecutorOptions& options = rclcpp::ExecutorOptions(),
                                 std::size_t number_of_threads = 0, bool yield_before_execute = false,
                                 std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));
  ~MultiThreadedExecutor() override;
  RCLCPP_DISABLE_COPY(MultiThreadedExecutor)

  /// Runs callbacks on the calling thread and number_of_threads - 1 more until cancel or shutdown. A
  /// callback's exception ends the process (std::terminate) unless there is only one thread.
  void spin() override;
  std::size_t get_number_of_threads();

 protected:
  void run(std::size_t this_thread_number);

 private:
  std::mutex wait_mutex_;
  std::size_t number_of_threads_;
  bool yield_before_execute_;
  std::chrono::nanoseconds next_exec_timeout_;
};

}  // namespace executors
}  // namespace rclcpp
