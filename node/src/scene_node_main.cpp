// scene_node: runs nimbrel_arm_util::SceneNode in its own process, spun by NimbrelNodeMultiThread so that TF,
// parameter, service and diagnostic callbacks run side by side. Parameters come from the command line
// (--ros-args -p name:=value, --params-file FILE); an invalid one stops the program with one line.
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <rclcpp/rclcpp.hpp>

#include "nimbrel_arm_util/nimbrel_node_multi_thread.hpp"
#include "nimbrel_arm_util/scene_node.hpp"

int main(int argc, char** argv) {
  rclcpp::init(argc, argv);
  std::mutex mutex;
  std::condition_variable stopped;
  bool down = false;
  rclcpp::contexts::get_global_default_context()->add_on_shutdown_callback([&] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      down = true;
    }
    stopped.notify_all();
  });
  std::shared_ptr<nimbrel_arm_util::SceneNode> node;
  try {
    node = std::make_shared<nimbrel_arm_util::SceneNode>();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scene_node: %s\n", e.what());
    rclcpp::shutdown();
    return 1;
  }
  {
    nimbrel_arm_util::NimbrelNodeMultiThread spinner(node->get_node_base_interface());
    std::unique_lock<std::mutex> lock(mutex);
    stopped.wait(lock, [&] { return down; });  // Ctrl-C or a shutdown request
  }
  node.reset();
  rclcpp::shutdown();
  return 0;
}
