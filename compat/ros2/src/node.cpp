#include "rclcpp/node.hpp"

#include <algorithm>
#include <cctype>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/node_interfaces/node_base.hpp"
#include "rclcpp/timer.hpp"
#include "validate_context.hpp"

namespace rclcpp {

TimerBase::TimerBase(std::chrono::nanoseconds period)
    : period_(period), next_call_(std::chrono::steady_clock::now() + period) {}

TimerBase::~TimerBase() = default;

void TimerBase::cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  canceled_ = true;
}

bool TimerBase::is_canceled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return canceled_;
}

void TimerBase::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  canceled_ = false;
  next_call_ = std::chrono::steady_clock::now() + period_;
}

std::chrono::nanoseconds TimerBase::time_until_trigger() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::chrono::duration_cast<std::chrono::nanoseconds>(next_call_ - std::chrono::steady_clock::now());
}

bool TimerBase::is_ready() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !canceled_ && next_call_ <= std::chrono::steady_clock::now();
}

bool TimerBase::call() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (canceled_) return false;
  const auto now = std::chrono::steady_clock::now();
  // Calls missed while the executor was busy are skipped, keeping the phase of the period.
  if (period_.count() == 0) {
    next_call_ = now;
  } else {
    next_call_ += period_;
    if (next_call_ <= now) next_call_ += ((now - next_call_) / period_ + 1) * period_;
  }
  return true;
}

CallbackGroup::CallbackGroup(CallbackGroupType group_type, bool automatically_add_to_executor_with_node)
    : type_(group_type), automatically_add_(automatically_add_to_executor_with_node) {}

void CallbackGroup::add_timer(const TimerBase::SharedPtr& timer) {
  std::lock_guard<std::mutex> lock(mutex_);
  timers_.push_back(timer);
}

std::vector<TimerBase::SharedPtr> CallbackGroup::collect_timers() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<TimerBase::SharedPtr> alive;
  std::vector<TimerBase::WeakPtr> kept;
  for (const auto& weak : timers_) {
    if (auto timer = weak.lock()) {
      alive.push_back(std::move(timer));
      kept.push_back(weak);
    }
  }
  timers_.swap(kept);
  return alive;
}

namespace node_interfaces {

namespace {
std::string fullyQualified(const std::string& name, const std::string& ns) {
  if (ns.empty() || ns == "/") return "/" + name;
  return ns + "/" + name;
}
}  // namespace

NodeBase::NodeBase(const std::string& node_name, const std::string& namespace_, Context::SharedPtr context)
    : name_(node_name),
      namespace_(namespace_.empty() ? "/" : (namespace_[0] == '/' ? namespace_ : "/" + namespace_)),
      fqn_(fullyQualified(node_name, this->namespace_)),
      context_(std::move(context)),
      default_group_(std::make_shared<CallbackGroup>(CallbackGroupType::MutuallyExclusive)) {
  groups_.push_back(default_group_);
}

CallbackGroup::SharedPtr NodeBase::create_callback_group(CallbackGroupType group_type,
                                                         bool automatically_add_to_executor_with_node) {
  auto group = std::make_shared<CallbackGroup>(group_type, automatically_add_to_executor_with_node);
  std::lock_guard<std::mutex> lock(mutex_);
  groups_.push_back(group);
  return group;
}

bool NodeBase::callback_group_in_node(CallbackGroup::SharedPtr group) {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(groups_.begin(), groups_.end(),
                     [&group](const CallbackGroup::WeakPtr& weak) { return weak.lock() == group; });
}

void NodeBase::for_each_callback_group(const CallbackGroupFunction& func) {
  std::vector<CallbackGroup::SharedPtr> groups;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& weak : groups_) {
      if (auto group = weak.lock()) groups.push_back(std::move(group));
    }
  }
  for (const auto& group : groups) func(group);
}

}  // namespace node_interfaces

namespace {
void validateNodeName(const std::string& name) {
  const bool valid = !name.empty() && std::isdigit(static_cast<unsigned char>(name[0])) == 0 &&
                     std::all_of(name.begin(), name.end(), [](char c) {
                       return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
                     });
  if (!valid) throw exceptions::InvalidNodeNameError("Invalid node name: '" + name + "'");
}

}  // namespace

Node::Node(const std::string& node_name, const NodeOptions& options) : Node(node_name, "", options) {}

Node::Node(const std::string& node_name, const std::string& namespace_, const NodeOptions& options) {
  validateNodeName(node_name);
  detail::validateContext(options.context());
  node_base_ = std::make_shared<node_interfaces::NodeBase>(node_name, namespace_, options.context());
}

}  // namespace rclcpp
