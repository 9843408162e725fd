// init, ok and shutdown on the default context (stand-in; no signal handlers are installed).
#pragma once

#include <functional>
#include <string>

#include "rclcpp/context.hpp"

namespace rclcpp {

class InitOptions {
 public:
  InitOptions() = default;
};

enum class SignalHandlerOptions { All, SigInt, SigTerm, None };

/// Initialises the global default context; throws ContextAlreadyInitialized if it is still valid.
void init(int argc, char const* const* argv, const InitOptions& init_options = InitOptions(),
          SignalHandlerOptions signal_handler_options = SignalHandlerOptions::All);
/// Whether @p context (the default one if null) is valid; never throws.
bool ok(rclcpp::Context::SharedPtr context = nullptr);
/// Shuts @p context (the default one if null) down, waking every executor on it.
bool shutdown(rclcpp::Context::SharedPtr context = nullptr,
              const std::string& reason = "user called rclcpp::shutdown()");
void on_shutdown(std::function<void()> callback, rclcpp::Context::SharedPtr context = nullptr);

}  // namespace rclcpp
