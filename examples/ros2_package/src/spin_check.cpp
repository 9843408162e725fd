// Spins one node with each executor-thread class of nimbrel_arm_util and checks that each node's timer
// fires while its object lives. Exits 0 when both fired.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <rclcpp/rclcpp.hpp>
#include <string>
#include <thread>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/nimbrel_node_multi_thread.hpp"
#include "nimbrel_arm_util/nimbrel_node_thread.hpp"

namespace {

constexpr int kTicks = 5;
constexpr std::chrono::seconds kDeadline{30};

/// Creates a node with a 10 ms timer, spins it with a `Spinner` and waits for kTicks ticks.
template <typename Spinner>
bool timerFires(const std::string& name) {
  auto node = std::make_shared<rclcpp::Node>(name);
  std::atomic<int> ticks{0};
  auto timer = node->create_wall_timer(std::chrono::milliseconds(10), [&ticks] { ticks.fetch_add(1); });
  {
    Spinner spinner(node->get_node_base_interface());
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (ticks.load() < kTicks && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  const bool fired = ticks.load() >= kTicks;
  LOG_INFO("{}: {} ticks", name, ticks.load());
  std::printf("%s: timer %s\n", name.c_str(), fired ? "fired" : "did not fire");
  return fired;
}

}  // namespace

int main(int argc, char** argv) {
  rclcpp::init(argc, argv);
  const bool single = timerFires<nimbrel_arm_util::NimbrelNodeThread>("single_threaded");
  const bool multi = timerFires<nimbrel_arm_util::NimbrelNodeMultiThread>("multi_threaded");
  rclcpp::shutdown();
  return single && multi ? 0 : 1;
}
