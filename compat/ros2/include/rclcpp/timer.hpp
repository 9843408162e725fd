// Wall timers on the steady clock (stand-in).
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <type_traits>
#include <utility>

#include "rclcpp/macros.hpp"

namespace rclcpp {

class TimerBase {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(TimerBase)
  explicit TimerBase(std::chrono::nanoseconds period);
  virtual ~TimerBase();
  RCLCPP_DISABLE_COPY(TimerBase)

  /// Stops the timer; executors skip it until reset().
  void cancel();
  bool is_canceled();
  /// Re-arms the timer one period from now.
  void reset();
  /// Time left until the next call; zero or negative when due.
  std::chrono::nanoseconds time_until_trigger();
  bool is_ready();
  /// Takes a due call and schedules the next one; false if the timer was cancelled meanwhile.
  virtual bool call();
  /// Runs the user callback.
  virtual void execute_callback() = 0;

 private:
  std::mutex mutex_;
  const std::chrono::nanoseconds period_;
  std::chrono::steady_clock::time_point next_call_;
  bool canceled_ = false;
};

template <typename FunctorT>
class GenericTimer : public TimerBase {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS(GenericTimer)
  GenericTimer(std::chrono::nanoseconds period, FunctorT&& callback)
      : TimerBase(period), callback_(std::forward<FunctorT>(callback)) {}
  ~GenericTimer() override { cancel(); }

  void execute_callback() override {
    if constexpr (std::is_invocable_v<FunctorT&, TimerBase&>) {
      callback_(*this);
    } else {
      static_assert(std::is_invocable_v<FunctorT&>, "timer callback must be void() or void(TimerBase&)");
      callback_();
    }
  }

 private:
  FunctorT callback_;
};

template <typename FunctorT>
class WallTimer : public GenericTimer<FunctorT> {
 public:
  RCLCPP_SMART_PTR_DEFINITIONS(WallTimer)
  WallTimer(std::chrono::nanoseconds period, FunctorT&& callback)
      : GenericTimer<FunctorT>(period, std::forward<FunctorT>(callback)) {}
};

}  // namespace rclcpp
