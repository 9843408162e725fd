#include "rclcpp/context.hpp"

#include <algorithm>
#include <utility>

#include "rclcpp/contexts/default_context.hpp"
#include "rclcpp/guard_condition.hpp"
#include "rclcpp/memory_strategies.hpp"
#include "rclcpp/utilities.hpp"

namespace rclcpp {

void Context::init(int /*argc*/, char const* const* /*argv*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (valid_) throw ContextAlreadyInitialized();
  valid_ = true;
  initialized_ = true;
  shutdown_reason_.clear();
}

bool Context::is_valid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return valid_;
}

bool Context::was_initialized() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return initialized_;
}

bool Context::shutdown(const std::string& reason) {
  std::vector<std::shared_ptr<OnShutdownCallback>> callbacks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_) return false;
    valid_ = false;
    shutdown_reason_ = reason;
    callbacks = callbacks_;
  }
  // Run outside the lock: a callback may wake an executor whose thread is about to remove its own callback.
  for (const auto& callback : callbacks) (*callback)();
  return true;
}

std::string Context::shutdown_reason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shutdown_reason_;
}

Context::OnShutdownCallback Context::on_shutdown(OnShutdownCallback callback) {
  add_on_shutdown_callback(callback);
  return callback;
}

Context::OnShutdownCallbackHandle Context::add_on_shutdown_callback(OnShutdownCallback callback) {
  auto stored = std::make_shared<OnShutdownCallback>(std::move(callback));
  std::lock_guard<std::mutex> lock(mutex_);
  callbacks_.push_back(stored);
  return OnShutdownCallbackHandle{stored};
}

bool Context::remove_on_shutdown_callback(const OnShutdownCallbackHandle& handle) {
  auto callback = handle.callback.lock();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find(callbacks_.begin(), callbacks_.end(), callback);
  if (!callback || it == callbacks_.end()) return false;
  callbacks_.erase(it);
  return true;
}

namespace contexts {
DefaultContext::SharedPtr get_global_default_context() {
  static DefaultContext::SharedPtr context = std::make_shared<DefaultContext>();
  return context;
}
}  // namespace contexts

namespace memory_strategies {
memory_strategy::MemoryStrategy::SharedPtr create_default_strategy() {
  return std::make_shared<memory_strategy::MemoryStrategy>();
}
}  // namespace memory_strategies

void init(int argc, char const* const* argv, const InitOptions& /*init_options*/,
          SignalHandlerOptions /*signal_handler_options*/) {
  contexts::get_global_default_context()->init(argc, argv);
}

bool ok(Context::SharedPtr context) {
  if (!context) context = contexts::get_global_default_context();
  return context->is_valid();
}

bool shutdown(Context::SharedPtr context, const std::string& reason) {
  if (!context) context = contexts::get_global_default_context();
  return context->shutdown(reason);
}

void on_shutdown(std::function<void()> callback, Context::SharedPtr context) {
  if (!context) context = contexts::get_global_default_context();
  context->on_shutdown(std::move(callback));
}

void GuardCondition::trigger() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (on_trigger_) {
    on_trigger_(1);
  } else {
    ++unread_;
  }
}

void GuardCondition::set_on_trigger_callback(std::function<void(std::size_t)> callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  on_trigger_ = std::move(callback);
  if (on_trigger_ && unread_ > 0) {
    on_trigger_(unread_);
    unread_ = 0;
  }
}

}  // namespace rclcpp
