// The scene node as a component, the way a container loads it: looked up in the ament index by package and
// class name, its library loaded by rclcpp_components, the node made by the factory it registered. The
// library is found where the workspace installed it, so this test runs with the install's setup sourced;
// it does not link the node library itself, which the class loader opens.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <rclcpp/rclcpp.hpp>
#include <rclcpp_components/component_manager.hpp>
#include <string>
#include <vector>

#include "nimbrel_node_thread/ros_test_support.hpp"

namespace {

using SceneNodeComponent = nimbrel_test::RosTest;

TEST_F(SceneNodeComponent, LoadsByNameIntoAContainer) {
  auto executor = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
  auto manager = std::make_shared<rclcpp_components::ComponentManager>(
      executor, "container",
      rclcpp::NodeOptions().start_parameter_services(false).start_parameter_event_publisher(false));
  std::vector<rclcpp_components::ComponentManager::ComponentResource> resources;
  try {
    resources = manager->get_component_resources("nimbrel_arm_util");
  } catch (const std::exception& e) {
    FAIL() << "no component of nimbrel_arm_util in the ament index: " << e.what();
  }
  const auto resource = std::find_if(resources.begin(), resources.end(),
                                     [](const auto& r) { return r.first == "nimbrel_arm_util::SceneNode"; });
  ASSERT_NE(resource, resources.end()) << resources.size() << " components, none nimbrel_arm_util::SceneNode";
  const auto factory = manager->create_component_factory(*resource);
  ASSERT_TRUE(factory);
  {
    rclcpp_components::NodeInstanceWrapper node = factory->create_node_instance(
        rclcpp::NodeOptions().start_parameter_services(false).enable_rosout(false));
    const auto base = node.get_node_base_interface();
    ASSERT_TRUE(base);
    EXPECT_STREQ(base->get_name(), "scene_node");
    executor->add_node(base);
    executor->spin_some();
    executor->remove_node(base);
  }
}

}  // namespace
