// rclcpp::Context (stand-in): validity between init and shutdown, and on-shutdown callbacks.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "rclcpp/macros.hpp"

namespace rclcpp {

/// Thrown by a second init of a context that is still valid.
class ContextAlreadyInitialized : public std::runtime_error {
 public:
  ContextAlreadyInitialized() : std::runtime_error("context is already initialized") {}
};

class Context : public std::enable_shared_from_this<Context> {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS(Context)
  using OnShutdownCallback = std::function<void()>;
  struct OnShutdownCallbackHandle {
    std::weak_ptr<OnShutdownCallback> callback;
  };

  Context() = default;
  virtual ~Context() = default;
  RCLCPP_DISABLE_COPY(Context)

  /// Makes the context valid; throws ContextAlreadyInitialized if it already is.
  virtual void init(int argc, char const* const* argv);
  /// True between init and shutdown.
  bool is_valid() const;
  /// True once init has been called, even if the context was shut down since.
  bool was_initialized() const;
  /// Invalidates the context and runs the on-shutdown callbacks; false if it was not valid.
  virtual bool shutdown(const std::string& reason);
  std::string shutdown_reason() const;

  OnShutdownCallback on_shutdown(OnShutdownCallback callback);
  OnShutdownCallbackHandle add_on_shutdown_callback(OnShutdownCallback callback);
  bool remove_on_shutdown_callback(const OnShutdownCallbackHandle& handle);

 private:
  mutable std::mutex mutex_;
  bool valid_ = false;
  bool initialized_ = false;
  std::string shutdown_reason_;
  std::vector<std::shared_ptr<OnShutdownCallback>> callbacks_;
};

}  // namespace rclcpp
