// rclcpp::Executor (stand-in): collects the timers of its nodes and runs them when they are due.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/executor_options.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"
#include "rclcpp/timer.hpp"

namespace rclcpp {

class Node;

namespace detail {
struct ExecutorCore;
}  // namespace detail

class Executor {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(Executor)

  /// Throws RCLInvalidArgument before init and RCLError after shutdown of the options' context.
  explicit Executor(const rclcpp::ExecutorOptions& options = rclcpp::ExecutorOptions());
  /// Frees every node it still holds for another executor.
  virtual ~Executor();
  RCLCPP_DISABLE_COPY(Executor)

  virtual void spin() = 0;

  /// Adds a node; throws std::runtime_error if the node already belongs to an executor. Thread-safe.
  virtual void add_node(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify = true);
  virtual void add_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify = true);
  /// Removes a node of this executor; throws std::runtime_error for any other node. Thread-safe.
  virtual void remove_node(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                           bool notify = true);
  virtual void remove_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify = true);

  /// Runs the work that is due now, for at most @p max_duration (0: no limit).
  virtual void spin_some(std::chrono::nanoseconds max_duration = std::chrono::nanoseconds(0));
  /// Waits up to @p timeout (negative: without limit) for one piece of work and runs it.
  virtual void spin_once(std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));

  /// Makes a running spin return after its current callback. A cancel before spin starts is lost.
  void cancel();
  bool is_spinning();

 protected:
  /// One taken callback: while it runs, its mutually exclusive group gives out no other callback. Taken but
  /// never run (dropped, or left by an exception), it hands its group back when destroyed.
  struct AnyExecutable {
    AnyExecutable() = default;
    AnyExecutable(const AnyExecutable&) = delete;
    AnyExecutable& operator=(const AnyExecutable&) = delete;
    ~AnyExecutable();

    rclcpp::TimerBase::SharedPtr timer;
    rclcpp::CallbackGroup::SharedPtr callback_group;
  };

  /// Waits up to @p timeout for due work and takes it; false on timeout, wake-up, cancel or shutdown.
  bool get_next_executable(AnyExecutable& any_executable,
                           std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));
  /// Runs a taken callback and releases its group. Cancelled meanwhile, it returns at once and leaves the
  /// group to the AnyExecutable's destructor, as rclcpp does.
  void execute_any_executable(AnyExecutable& any_executable);

  std::atomic_bool spinning;
  rclcpp::Context::SharedPtr context_;

 private:
  std::shared_ptr<detail::ExecutorCore> core_;
  rclcpp::Context::OnShutdownCallbackHandle shutdown_handle_;
};

}  // namespace rclcpp
