// Uses an installed nimbrel_arm_util: crops a small cloud and, when the library was built against ROS 2,
// spins a node whose timer must fire. Exits 0 when the expected points remain (and the timer fired).
#include <cstdio>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "nimbrel_arm_util/version.hpp"

#if NIMBREL_ARM_UTIL_WITH_ROS2
#include <chrono>
#include <future>
#include <memory>
#include <rclcpp/rclcpp.hpp>

#include "nimbrel_arm_util/nimbrel_node_thread.hpp"

namespace {

bool timerFires() {
  auto node = std::make_shared<rclcpp::Node>(
      "consumer", rclcpp::NodeOptions().start_parameter_services(false).enable_rosout(false));
  std::promise<void> fired;
  bool once = false;
  auto timer = node->create_wall_timer(std::chrono::milliseconds(10), [&] {
    if (!once) fired.set_value();
    once = true;
  });
  nimbrel_arm_util::NimbrelNodeThread spinner(node->get_node_base_interface());
  return fired.get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

}  // namespace
#endif

int main() {
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;
  Cloud::Ptr cloud(new Cloud);
  for (int i = 0; i < 10; ++i) cloud->push_back(pcl::PointXYZ(0.1f * static_cast<float>(i), 0.0f, 0.5f));

  nimbrel_arm_util::PointCloudsDeal deal;
  deal.setFilterRange(0.0, 0.45, -1.0, 1.0, 0.0, 1.0);
  deal.rangeFilterPointClouds(cloud);
  LOG_INFO("{} points inside the box", cloud->size());
  std::printf("consumer: nimbrel_arm_util %s, %zu points\n", NIMBREL_ARM_UTIL_VERSION, cloud->size());
  bool fired = true;
#if NIMBREL_ARM_UTIL_WITH_ROS2
  rclcpp::init(0, nullptr);
  fired = timerFires();
  rclcpp::shutdown();
  std::printf("consumer: timer %s\n", fired ? "fired" : "never fired");
#else
  std::printf("consumer: ROS-free build\n");
#endif
  return cloud->size() == 5 && fired ? 0 : 1;
}
