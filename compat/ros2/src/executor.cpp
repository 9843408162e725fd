#include "rclcpp/executor.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "rclcpp/executors/multi_threaded_executor.hpp"
#include "rclcpp/executors/single_threaded_executor.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/utilities.hpp"
#include "validate_context.hpp"

namespace rclcpp {
namespace detail {

// The executor's wait set: its nodes, and one condition that timers, node changes, cancel and shutdown
// wake. Node guard conditions and the context's shutdown callback hold it weakly, so one that fires while
// the executor is being destroyed finds it gone instead of dangling.
struct ExecutorCore {
  std::mutex mutex;
  std::condition_variable wake_up;
  // Set by a guard trigger (cancel, add/remove with notify, a node's new timer, shutdown) and consumed by
  // the next wait, which then returns without work, as a guard condition does in an rcl wait set.
  bool interrupted = false;
  std::vector<node_interfaces::NodeBaseInterface::WeakPtr> nodes;

  void wake(bool interrupt) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (interrupt) interrupted = true;
    }
    wake_up.notify_all();
  }
};

}  // namespace detail

namespace {
struct ResetOnExit {
  std::atomic_bool& flag;
  ~ResetOnExit() { flag.store(false); }
};

void watchNode(const node_interfaces::NodeBaseInterface::SharedPtr& node,
               const std::weak_ptr<detail::ExecutorCore>& core) {
  node->get_notify_guard_condition().set_on_trigger_callback([core](std::size_t) {
    if (auto locked = core.lock()) locked->wake(true);
  });
}
}  // namespace

Executor::Executor(const ExecutorOptions& options)
    : spinning(false), context_(options.context), core_(std::make_shared<detail::ExecutorCore>()) {
  detail::validateContext(context_);
  std::weak_ptr<detail::ExecutorCore> core = core_;
  shutdown_handle_ = context_->add_on_shutdown_callback([core] {
    if (auto locked = core.lock()) locked->wake(true);
  });
}

Executor::~Executor() {
  context_->remove_on_shutdown_callback(shutdown_handle_);
  std::vector<node_interfaces::NodeBaseInterface::WeakPtr> nodes;
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    nodes.swap(core_->nodes);
  }
  for (const auto& weak : nodes) {
    if (auto node = weak.lock()) {
      node->get_notify_guard_condition().set_on_trigger_callback(nullptr);
      node->get_associated_with_executor_atomic().store(false);
    }
  }
}

void Executor::add_node(node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify) {
  if (node_ptr->get_associated_with_executor_atomic().exchange(true)) {
    throw std::runtime_error(std::string("Node '") + node_ptr->get_fully_qualified_name() +
                             "' has already been added to an executor.");
  }
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->nodes.push_back(node_ptr);
  }
  watchNode(node_ptr, core_);
  if (notify) core_->wake(true);
}

void Executor::add_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify) {
  add_node(node_ptr->get_node_base_interface(), notify);
}

void Executor::remove_node(node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify) {
  if (!node_ptr->get_associated_with_executor_atomic().load()) {
    throw std::runtime_error("Node needs to be associated with an executor.");
  }
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    auto& nodes = core_->nodes;
    auto it = std::find_if(nodes.begin(), nodes.end(), [&node_ptr](const auto& weak) {
      return !weak.owner_before(node_ptr) && !node_ptr.owner_before(weak);
    });
    if (it == nodes.end()) throw std::runtime_error("Node needs to be associated with this executor.");
    nodes.erase(it);
  }
  node_ptr->get_notify_guard_condition().set_on_trigger_callback(nullptr);
  node_ptr->get_associated_with_executor_atomic().store(false);
  if (notify) core_->wake(true);
}

void Executor::remove_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify) {
  remove_node(node_ptr->get_node_base_interface(), notify);
}

void Executor::spin_some(std::chrono::nanoseconds max_duration) {
  if (spinning.exchange(true)) throw std::runtime_error("spin_some() called while already spinning");
  ResetOnExit reset{spinning};
  const auto start = std::chrono::steady_clock::now();
  while (rclcpp::ok(context_) && spinning.load()) {
    if (max_duration.count() > 0 && std::chrono::steady_clock::now() - start >= max_duration) break;
    AnyExecutable any;
    if (!get_next_executable(any, std::chrono::nanoseconds(0))) break;
    execute_any_executable(any);
  }
}

void Executor::spin_once(std::chrono::nanoseconds timeout) {
  if (spinning.exchange(true)) throw std::runtime_error("spin_once() called while already spinning");
  ResetOnExit reset{spinning};
  AnyExecutable any;
  if (get_next_executable(any, timeout)) execute_any_executable(any);
}

void Executor::cancel() {
  spinning.store(false);
  core_->wake(true);
}

bool Executor::is_spinning() { return spinning.load(); }

bool Executor::get_next_executable(AnyExecutable& any_executable, std::chrono::nanoseconds timeout) {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> deadline;
  if (timeout.count() >= 0) deadline = Clock::now() + timeout;

  std::unique_lock<std::mutex> lock(core_->mutex);
  for (;;) {
    if (!spinning.load() || !rclcpp::ok(context_)) return false;

    // Look for a due timer whose group may run now; otherwise note when the next one falls due.
    std::optional<std::chrono::nanoseconds> next_due;
    auto& nodes = core_->nodes;
    nodes.erase(std::remove_if(nodes.begin(), nodes.end(), [](const auto& weak) { return weak.expired(); }),
                nodes.end());
    for (const auto& weak : nodes) {
      auto node = weak.lock();
      if (!node) continue;
      std::vector<CallbackGroup::SharedPtr> groups;
      node->for_each_callback_group([&groups](CallbackGroup::SharedPtr group) {
        if (group->automatically_add_to_executor_with_node()) groups.push_back(std::move(group));
      });
      for (const auto& group : groups) {
        const bool exclusive = group->type() == CallbackGroupType::MutuallyExclusive;
        if (exclusive && !group->can_be_taken_from().load()) continue;
        for (const auto& timer : group->collect_timers()) {
          if (timer->is_canceled()) continue;
          const auto left = timer->time_until_trigger();
          if (left.count() <= 0 && timer->call()) {
            if (exclusive) group->can_be_taken_from().store(false);
            any_executable.timer = timer;
            any_executable.callback_group = group;
            return true;
          }
          if (!next_due || left < *next_due) next_due = left;
        }
      }
    }

    if (core_->interrupted) {
      core_->interrupted = false;
      return false;
    }
    const auto now = Clock::now();
    if (deadline && now >= *deadline) return false;
    std::optional<Clock::time_point> until = deadline;
    if (next_due) {
      const auto due = now + *next_due;
      if (!until || due < *until) until = due;
    }
    if (until) {
      core_->wake_up.wait_until(lock, *until);
    } else {
      core_->wake_up.wait(lock);
    }
  }
}

Executor::AnyExecutable::~AnyExecutable() {
  if (callback_group) callback_group->can_be_taken_from().store(true);
}

void Executor::execute_any_executable(AnyExecutable& any_executable) {
  // Work taken before a cancel is dropped without releasing its group here, as rclcpp does.
  if (!spinning.load()) return;
  if (!any_executable.timer) return;
  any_executable.timer->execute_callback();
  // Reached only when the callback returned; after an exception the AnyExecutable releases the group.
  any_executable.callback_group->can_be_taken_from().store(true);
  core_->wake(false);
}

namespace executors {

SingleThreadedExecutor::SingleThreadedExecutor(const ExecutorOptions& options) : Executor(options) {}

SingleThreadedExecutor::~SingleThreadedExecutor() = default;

void SingleThreadedExecutor::spin() {
  if (spinning.exchange(true)) throw std::runtime_error("spin() called while already spinning");
  ResetOnExit reset{spinning};
  while (rclcpp::ok(context_) && spinning.load()) {
    AnyExecutable any;
    if (get_next_executable(any)) execute_any_executable(any);
  }
}

MultiThreadedExecutor::MultiThreadedExecutor(const ExecutorOptions& options, std::size_t number_of_threads,
                                             bool yield_before_execute, std::chrono::nanoseconds timeout)
    : Executor(options),
      number_of_threads_(number_of_threads),
      yield_before_execute_(yield_before_execute),
      next_exec_timeout_(timeout) {
  if (number_of_threads_ == 0) number_of_threads_ = std::max(1u, std::thread::hardware_concurrency());
}

MultiThreadedExecutor::~MultiThreadedExecutor() = default;

std::size_t MultiThreadedExecutor::get_number_of_threads() { return number_of_threads_; }

void MultiThreadedExecutor::spin() {
  if (spinning.exchange(true)) throw std::runtime_error("spin() called while already spinning");
  ResetOnExit reset{spinning};
  // An exception leaving run() on the calling thread unwinds past joinable threads, and one leaving a
  // worker escapes its thread function: both end the process, as with rclcpp's multi-threaded executor.
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> wait_lock(wait_mutex_);
    for (std::size_t i = 1; i < number_of_threads_; ++i) threads.emplace_back([this, i] { run(i); });
  }
  run(0);
  for (auto& thread : threads) thread.join();
}

void MultiThreadedExecutor::run(std::size_t /*this_thread_number*/) {
  while (rclcpp::ok(context_) && spinning.load()) {
    AnyExecutable any;
    {
      // One thread at a time waits for work; the others run what was taken.
      std::lock_guard<std::mutex> wait_lock(wait_mutex_);
      if (!rclcpp::ok(context_) || !spinning.load()) return;
      if (!get_next_executable(any, next_exec_timeout_)) continue;
    }
    if (yield_before_execute_) std::this_thread::yield();
    execute_any_executable(any);
    // As in rclcpp, the group is not handed back by the AnyExecutable here. So a cancel that lands between
    // taking a callback and running it leaves a mutually exclusive group marked as taken: its callbacks never
    // run again, in this executor or any other, until the group is marked available again.
    any.callback_group.reset();
  }
}

}  // namespace executors
}  // namespace rclcpp
