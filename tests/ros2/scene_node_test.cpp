// The scene node in process against the real middleware: frames, camera_info and TF published to it, its
// cloud compared point for point with FramePipeline on the same frame, and every way a frame can be bad.
#include "nimbrel_arm_util/scene_node.hpp"

#include <gtest/gtest.h>
#include <tf2/buffer_core.h>
#include <tf2_ros/static_transform_broadcaster.h>
#include <tf2_ros/transform_broadcaster.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/camera_info.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <sensor_msgs/msg/point_cloud2.hpp>
#include <std_msgs/msg/string.hpp>
#include <std_srvs/srv/trigger.hpp>
#include <string>
#include <vector>

#include "nimbrel_arm_util/frame_pipeline.hpp"
#include "nimbrel_arm_util/nimbrel_node_multi_thread.hpp"
#include "nimbrel_arm_util/nimbrel_node_thread.hpp"
#include "nimbrel_node_thread/ros_test_support.hpp"
#include "ros_conversions.hpp"
#include "support/files.hpp"
#include "support/geometry.hpp"
#include "support/robot_file.hpp"
#include "support/scene_file.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using geometry_msgs::msg::TransformStamped;
using nimbrel_arm_util::FramePipeline;
using nimbrel_arm_util::SceneNode;
using sensor_msgs::msg::CameraInfo;
using sensor_msgs::msg::Image;
using sensor_msgs::msg::PointCloud2;

constexpr int kWidth = 160, kHeight = 120;

// A camera 1 m above base_link looking straight down, and the tool flange somewhere in its view.
TransformStamped transform(const std::string& parent, const std::string& child, double x, double y, double z,
                           double qx, double qy, double qz, double qw,
                           builtin_interfaces::msg::Time stamp = builtin_interfaces::msg::Time()) {
  TransformStamped t;
  t.header.frame_id = parent;
  t.header.stamp = stamp;
  t.child_frame_id = child;
  t.transform.translation.x = x;
  t.transform.translation.y = y;
  t.transform.translation.z = z;
  t.transform.rotation.x = qx;
  t.transform.rotation.y = qy;
  t.transform.rotation.z = qz;
  t.transform.rotation.w = qw;
  return t;
}
const TransformStamped kCamera = transform("base_link", "camera", 0, 0, 1, -M_SQRT1_2, M_SQRT1_2, 0, 0);
TransformStamped toolAt(builtin_interfaces::msg::Time stamp) {
  return transform("base_link", "tool0", -0.1, -0.1, 0.0, 0, 0, 0.1736482, 0.9848078, stamp);
}

CameraInfo cameraInfo(double fx = 200.0, const std::string& model = "plumb_bob") {
  CameraInfo c;
  c.header.frame_id = "camera";
  c.width = kWidth;
  c.height = kHeight;
  c.k = {fx, 0, 79.5, 0, 200.0, 59.5, 0, 0, 1};
  c.distortion_model = model;
  c.d = {-0.03, 0.01, 0.0005, -0.0003, 0.0};
  return c;
}

Image imageOf(const cv::Mat& depth, const std::string& encoding, builtin_interfaces::msg::Time stamp) {
  Image image;
  image.header.stamp = stamp;
  image.header.frame_id = "camera";
  image.encoding = encoding;
  image.width = static_cast<std::uint32_t>(depth.cols);
  image.height = static_cast<std::uint32_t>(depth.rows);
  image.step = static_cast<std::uint32_t>(depth.step[0]);
  image.data.assign(depth.data, depth.data + depth.step[0] * static_cast<std::size_t>(depth.rows));
  return image;
}

builtin_interfaces::msg::Time stampAt(int seconds, std::uint32_t nanoseconds = 123456789) {
  builtin_interfaces::msg::Time t;
  t.sec = seconds;
  t.nanosec = nanoseconds;
  return t;
}

const char* kScene = R"(
tool: {frame: tool0, pose: {position: [0, 0, 0.05]}, half_size: [0.04, 0.05, 0.06], margin: 0.01}
boxes:
  - {name: crate, pose: {position: [0.1, 0.1, 0.0]}, size: [0.1, 0.08, 0.05], margin: 0.01}
meshes:
  - {name: cube, file: cube.ply, method: plain, pose: {position: [0.15, -0.05, 0.0]}}
)";

// A small arm on the floor in the camera's view: a box, a cylinder and a mesh link (the scene's cube.ply),
// each hung from base_link by a floating joint, so that TF alone places them.
std::string armUrdf(const std::string& meshPath) {
  return R"(<robot name="arm">
  <link name="base_link"/>
  <link name="box_link"><collision><geometry><box size="0.1 0.12 0.2"/></geometry></collision></link>
  <link name="rod_link"><collision><geometry><cylinder radius="0.05" length="0.2"/></geometry></collision></link>
  <link name="hand_link"><collision><geometry><mesh filename="file://)" +
         meshPath + R"("/></geometry></collision></link>
  <joint name="box_joint" type="floating"><parent link="base_link"/><child link="box_link"/></joint>
  <joint name="rod_joint" type="floating"><parent link="base_link"/><child link="rod_link"/></joint>
  <joint name="hand_joint" type="floating"><parent link="base_link"/><child link="hand_link"/></joint>
</robot>)";
}
// The arm's links in frame `i` of a move, stamped `stamp`.
std::vector<TransformStamped> armAt(int i, builtin_interfaces::msg::Time stamp) {
  const double x = -0.15 + 0.1 * i, turn = 0.15 * i;
  return {transform("base_link", "box_link", x, 0.25, 0, 0, 0, 0, 1, stamp),
          transform("base_link", "rod_link", x, -0.25, 0, 0, 0, 0, 1, stamp),
          transform("base_link", "hand_link", -0.22, 0.05 + 0.04 * i, 0, 0, 0, std::sin(turn), std::cos(turn),
                    stamp)};
}

// A scene node under test with a peer node that plays camera driver, TF publisher and cloud consumer.
class SceneNodeTest : public nimbrel_test::RosTest {
 protected:
  void SetUp() override {
    RosTest::SetUp();
    nimbrel_tools::saveMesh(
        nimbrel_test::makeCube(nimbrel_test::Diagonal::kMain, 0.1f, Eigen::Vector3f(-0.05f, -0.05f, -0.05f)),
        path("cube.ply"));
    write("scene.yaml", kScene);
    // Test processes that share a ROS domain still see only their own topics.
    namespace_ = "/scene_node_test_" + std::to_string(::getpid());
    peer_ = std::make_shared<rclcpp::Node>(
        "camera_driver", namespace_,
        rclcpp::NodeOptions().start_parameter_services(false).enable_rosout(false));
    images_ = peer_->create_publisher<Image>("depth/image_raw", rclcpp::SensorDataQoS());
    infos_ = peer_->create_publisher<CameraInfo>("depth/camera_info", rclcpp::SensorDataQoS());
    tf_ = std::make_shared<tf2_ros::TransformBroadcaster>(*peer_);
    staticTf_ = std::make_shared<tf2_ros::StaticTransformBroadcaster>(*peer_);
    points_ = peer_->create_subscription<PointCloud2>("points", rclcpp::QoS(10),
                                                      [this](PointCloud2::ConstSharedPtr m) {
                                                        std::lock_guard<std::mutex> lock(mutex_);
                                                        clouds_.push_back(m);
                                                      });
    peerSpinner_ = std::make_unique<nimbrel_arm_util::NimbrelNodeThread>(peer_->get_node_base_interface());
    staticTf_->sendTransform(kCamera);
  }
  void TearDown() override {
    stopNode();
    peerSpinner_.reset();
    points_.reset();
    peer_.reset();
    RosTest::TearDown();
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void write(const std::string& name, const std::string& text) const { std::ofstream(path(name)) << text; }

  void startNode(std::vector<rclcpp::Parameter> parameters = {}) {
    parameters.emplace_back("scene_file", path("scene.yaml"));
    parameters.emplace_back("crop_box", std::vector<double>{-1, 1, -1, 1, 0.5, 1.5});
    parameters.emplace_back("leaf_size", 0.01);
    parameters.emplace_back("outlier_mean_k", 10);
    node_ = std::make_shared<SceneNode>(rclcpp::NodeOptions()
                                            .parameter_overrides(parameters)
                                            .arguments({"--ros-args", "-r", "__ns:=" + namespace_}));
    spinner_ = std::make_unique<nimbrel_arm_util::NimbrelNodeMultiThread>(node_->get_node_base_interface());
    ASSERT_TRUE(nimbrel_test::waitUntil([&] {
      return images_->get_subscription_count() > 0 && infos_->get_subscription_count() > 0 &&
             points_->get_publisher_count() > 0;
    }));
  }
  void stopNode() {
    spinner_.reset();
    node_.reset();
  }

  // Publishes camera_info until the node holds one: both sides are best-effort.
  void sendCameraInfo(const CameraInfo& info) {
    infos_->publish(info);
    nimbrel_test::letPeriodsPass(20);
  }
  std::size_t cloudCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return clouds_.size();
  }
  PointCloud2::ConstSharedPtr waitForCloud(std::size_t count) {
    if (!nimbrel_test::waitUntil([&] { return cloudCount() >= count; })) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    return clouds_[count - 1];
  }
  std::uint64_t dropped(const std::string& reason) const {
    const auto counts = node_->counts();
    const auto it = counts.dropped.find(reason);
    return it == counts.dropped.end() ? 0 : it->second;
  }
  bool waitForDrop(const std::string& reason, std::uint64_t count = 1) {
    return nimbrel_test::waitUntil([&] { return dropped(reason) >= count; });
  }

  // What FramePipeline gives for this frame, with the transforms resolved as tf2 resolves them.
  // With `arm`, the arm is cut as it stands in that frame of its move.
  FramePipeline::Cloud expected(const cv::Mat& depth, const CameraInfo& info, double unitsPerMetre,
                                const builtin_interfaces::msg::Time& stamp, std::optional<int> arm = {},
                                nimbrel_arm_util::FrameReport* report = nullptr) {
    nimbrel_arm_util::FramePipelineConfig config;
    if (arm) config.robot = nimbrel_tools::parseRobot(armUrdf(path("cube.ply")), dir_.string());
    config.cropBox = {-1, 1, -1, 1, 0.5, 1.5};
    config.leafSize = 0.01;
    config.meanK = 10;
    config.scene = nimbrel_tools::loadScene(path("scene.yaml"));
    const FramePipeline pipeline(config);
    tf2::BufferCore core;
    core.setTransform(kCamera, "test", true);
    core.setTransform(toolAt(stamp), "test", false);
    if (arm) {
      for (const auto& t : armAt(*arm, stamp)) core.setTransform(t, "test", false);
    }
    const auto at = tf2::TimePoint(std::chrono::seconds(stamp.sec) + std::chrono::nanoseconds(stamp.nanosec));
    const auto camera =
        nimbrel_arm_util::transformMatrix(core.lookupTransform("base_link", "camera", at).transform);
    auto poses = pipeline.configuredPoses();
    poses.tool = nimbrel_arm_util::transformMatrix(core.lookupTransform("base_link", "tool0", at).transform) *
                 pipeline.config().scene.tool->pose;
    if (arm) {
      for (const auto& link : pipeline.robotBody()->links())
        poses.links[link] =
            nimbrel_arm_util::transformMatrix(core.lookupTransform("base_link", link, at).transform);
    }
    nimbrel_arm_util::CameraModel model;
    EXPECT_FALSE(nimbrel_arm_util::cameraModelFrom(info, model));
    FramePipeline::CloudPtr cloud(new FramePipeline::Cloud);
    EXPECT_EQ(pipeline.process(depth, model, unitsPerMetre, camera, poses, cloud, report), 0);
    return *cloud;
  }

  static bool sameCloud(const FramePipeline::Cloud& expected, const PointCloud2& msg) {
    if (msg.width != expected.size() || msg.data.size() != 12u * expected.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      float xyz[3];
      std::memcpy(xyz, &msg.data[12 * i], sizeof(xyz));
      if (!(xyz[0] == expected[i].x && xyz[1] == expected[i].y && xyz[2] == expected[i].z)) return false;
    }
    return true;
  }
  static void expectSameCloud(const FramePipeline::Cloud& expected, const PointCloud2& msg) {
    ASSERT_EQ(msg.width, expected.size());
    ASSERT_EQ(msg.data.size(), 12u * expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      float xyz[3];
      std::memcpy(xyz, &msg.data[12 * i], sizeof(xyz));
      ASSERT_TRUE(xyz[0] == expected[i].x && xyz[1] == expected[i].y && xyz[2] == expected[i].z)
          << "point " << i;
    }
  }

  nimbrel_test::TempDir temp_{"nimbrel_scene_node_test"};
  const fs::path& dir_ = temp_.dir();
  std::string namespace_;
  rclcpp::Node::SharedPtr peer_;
  rclcpp::Publisher<Image>::SharedPtr images_;
  rclcpp::Publisher<CameraInfo>::SharedPtr infos_;
  std::shared_ptr<tf2_ros::TransformBroadcaster> tf_;
  std::shared_ptr<tf2_ros::StaticTransformBroadcaster> staticTf_;
  rclcpp::Subscription<PointCloud2>::SharedPtr points_;
  std::unique_ptr<nimbrel_arm_util::NimbrelNodeThread> peerSpinner_;
  std::shared_ptr<SceneNode> node_;
  std::unique_ptr<nimbrel_arm_util::NimbrelNodeMultiThread> spinner_;
  std::mutex mutex_;
  std::vector<PointCloud2::ConstSharedPtr> clouds_;
};

// The node's cloud is FramePipeline's on the same frame, for millimetres and for metres in floats, with the
// image's stamp to the nanosecond and the base frame.
TEST_F(SceneNodeTest, PublishesThePipelineCloudPointForPoint) {
  startNode({rclcpp::Parameter("tf_timeout", 5.0)});
  CameraInfo rational = cameraInfo(200.0, "rational_polynomial");
  rational.d = {-0.03, 0.01, 0.0005, -0.0003, 0.0, 0.001, 0.0, 0.0};
  sendCameraInfo(rational);
  const cv::Mat millimetres = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  const auto stamp = stampAt(100);
  tf_->sendTransform(toolAt(stamp));
  images_->publish(imageOf(millimetres, "16UC1", stamp));
  auto cloud = waitForCloud(1);
  ASSERT_TRUE(cloud);
  EXPECT_EQ(cloud->header.stamp, stamp);
  EXPECT_EQ(cloud->header.frame_id, "base_link");
  const FramePipeline::Cloud first = expected(millimetres, rational, 1000.0, stamp);
  EXPECT_GT(first.size(), 1000u);
  expectSameCloud(first, *cloud);

  cv::Mat metres;
  millimetres.convertTo(metres, CV_32FC1, 0.001);
  const auto later = stampAt(101, 5);
  tf_->sendTransform(toolAt(later));
  images_->publish(imageOf(metres, "32FC1", later));
  cloud = waitForCloud(2);
  ASSERT_TRUE(cloud);
  EXPECT_EQ(cloud->header.stamp, later);
  expectSameCloud(expected(metres, rational, 1.0, later), *cloud);
}

// TF that comes after the image but within tf_timeout lets the frame through; TF that never comes drops it
// after the timeout, and the node goes on.
TEST_F(SceneNodeTest, WaitsForLateTransformsUpToTheTimeout) {
  startNode({rclcpp::Parameter("tf_timeout", 1.5)});
  sendCameraInfo(cameraInfo());
  const cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  const auto stamp = stampAt(200);
  images_->publish(imageOf(depth, "16UC1", stamp));
  nimbrel_test::letPeriodsPass(50);
  EXPECT_EQ(cloudCount(), 0u);
  tf_->sendTransform(toolAt(stamp));
  ASSERT_TRUE(waitForCloud(1));
  EXPECT_EQ(dropped("missing_transform"), 0u);

  // The tool's frame is known only at 200 s: at 300 s it never becomes available.
  images_->publish(imageOf(depth, "16UC1", stampAt(300)));
  ASSERT_TRUE(waitForDrop("missing_transform"));
  EXPECT_EQ(cloudCount(), 1u);
  tf_->sendTransform(toolAt(stampAt(301)));
  images_->publish(imageOf(depth, "16UC1", stampAt(301)));
  ASSERT_TRUE(waitForCloud(2));
}

// One transform frees several waiting frames at once, and tf2 calls them back out of stamp order: the clouds
// still go out with rising stamps, the newest frame's among them, and every frame is accounted for.
TEST_F(SceneNodeTest, PublishesInStampOrderWhenOneTransformFreesSeveralFrames) {
  startNode({rclcpp::Parameter("tf_timeout", 20.0)});
  sendCameraInfo(cameraInfo());
  const cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  const int frames = static_cast<int>(SceneNode::kMaxWaitingFrames);
  for (int i = 0; i < frames; ++i) {
    images_->publish(imageOf(depth, "16UC1", stampAt(700 + i)));
    ASSERT_TRUE(nimbrel_test::waitUntil([&] { return node_->counts().waiting == std::size_t(i + 1); }));
  }
  tf_->sendTransform(toolAt(stampAt(699)));
  tf_->sendTransform(toolAt(stampAt(700 + frames)));  // every frame lies between the two
  ASSERT_TRUE(nimbrel_test::waitUntil([&] {
    const auto counts = node_->counts();
    std::uint64_t drops = 0;
    for (const auto& [reason, n] : counts.dropped) drops += n;
    return counts.framesIn == std::uint64_t(frames) && counts.framesOut + drops == counts.framesIn &&
           cloudCount() == counts.framesOut;
  }));
  EXPECT_EQ(dropped("missing_transform"), 0u);
  std::lock_guard<std::mutex> lock(mutex_);
  ASSERT_FALSE(clouds_.empty());
  for (std::size_t i = 1; i < clouds_.size(); ++i) {
    EXPECT_LT(rclcpp::Time(clouds_[i - 1]->header.stamp), rclcpp::Time(clouds_[i]->header.stamp)) << i;
  }
  EXPECT_EQ(clouds_.back()->header.stamp, stampAt(700 + frames - 1));
}

// With TF gone and a long tf_timeout, a 30 Hz camera's frames do not pile up: a few wait, the oldest give way
// and are counted, and the node never holds more.
TEST_F(SceneNodeTest, BoundsTheFramesWaitingForTf) {
  startNode({rclcpp::Parameter("tf_timeout", 60.0)});
  sendCameraInfo(cameraInfo());
  const cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  const std::size_t bound = SceneNode::kMaxWaitingFrames, frames = 4 * bound;
  for (std::size_t i = 0; i < frames; ++i) {
    images_->publish(imageOf(depth, "16UC1", stampAt(800 + static_cast<int>(i))));
    ASSERT_TRUE(nimbrel_test::waitUntil([&] { return node_->counts().framesIn == i + 1; }));
    EXPECT_LE(node_->counts().waiting, bound);
  }
  EXPECT_TRUE(nimbrel_test::waitUntil([&] { return dropped("tf_backlog") == frames - bound; }))
      << dropped("tf_backlog");
  const auto counts = node_->counts();
  EXPECT_EQ(counts.waiting, bound);
  EXPECT_EQ(counts.waitingPeak, bound);
  EXPECT_EQ(cloudCount(), 0u);
}

// Every kind of bad input is dropped under its own reason, and the good frame after it still goes through.
TEST_F(SceneNodeTest, CountsEveryBadInputAndServesTheNextFrame) {
  startNode({rclcpp::Parameter("tf_timeout", 2.0)});
  const cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  int second = 400;
  const auto send = [&](Image image) {
    image.header.stamp = stampAt(second);
    tf_->sendTransform(toolAt(image.header.stamp));
    ++second;
    images_->publish(image);
  };
  const Image good = imageOf(depth, "16UC1", builtin_interfaces::msg::Time());
  send(good);
  ASSERT_TRUE(waitForDrop("no_camera_info"));

  const auto expectDrop = [&](const std::string& reason, Image image) {
    const std::size_t before = cloudCount();
    send(std::move(image));
    EXPECT_TRUE(waitForDrop(reason)) << reason;
    send(good);
    EXPECT_TRUE(waitForCloud(before + 1)) << "no frame after " << reason;
  };
  sendCameraInfo(cameraInfo());
  Image bad = good;
  bad.encoding = "rgb8";
  expectDrop("unsupported_encoding", bad);
  bad = good;
  bad.is_bigendian = 1;
  expectDrop("big_endian", bad);
  bad = good;
  bad.step = kWidth;
  expectDrop("step_too_short", bad);
  bad = good;
  bad.data.resize(bad.data.size() / 2);
  expectDrop("data_too_short", bad);
  bad = imageOf(depth(cv::Rect(0, 0, kWidth / 2, kHeight / 2)).clone(), "16UC1",
                builtin_interfaces::msg::Time());
  expectDrop("image_size_mismatch", bad);
  bad = good;
  bad.header.frame_id = "nowhere";
  expectDrop("missing_transform", bad);

  // camera_info faults: the frame after the fault is dropped, a good camera_info mends it.
  for (const auto& [info, reason] : {std::pair{cameraInfo(0.0), "bad_focal_length"},
                                     std::pair{cameraInfo(std::nan("")), "bad_focal_length"},
                                     std::pair{cameraInfo(200.0, "fisheye62"), "unknown_distortion_model"}}) {
    const std::uint64_t dropsBefore = dropped(reason);
    sendCameraInfo(info);
    send(good);
    EXPECT_TRUE(waitForDrop(reason, dropsBefore + 1)) << reason;
    const std::size_t before = cloudCount();
    sendCameraInfo(cameraInfo());
    send(good);
    EXPECT_TRUE(waitForCloud(before + 1)) << "no frame after " << reason;
  }
  EXPECT_EQ(dropped("bad_focal_length"), 2u);
  // Every frame that came in is either published or counted under a reason.
  EXPECT_TRUE(nimbrel_test::waitUntil([&] {
    const auto counts = node_->counts();
    std::uint64_t drops = 0;
    for (const auto& [reason, n] : counts.dropped) drops += n;
    return counts.framesIn == counts.framesOut + drops;
  }));
}

// A bad parameter stops the node at start with one line naming it, and is refused with its reason on change;
// a good change takes effect.
TEST_F(SceneNodeTest, ValidatesParametersAtStartAndOnChange) {
  try {
    SceneNode refused(rclcpp::NodeOptions().parameter_overrides({rclcpp::Parameter("depth_scale", -1.0)}));
    ADD_FAILURE() << "started with depth_scale -1";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("depth_scale"), std::string::npos) << e.what();
  }
  startNode();
  auto result = node_->set_parameter(rclcpp::Parameter("crop_box", std::vector<double>{1, -1, -1, 1, 0, 2}));
  EXPECT_FALSE(result.successful);
  EXPECT_NE(result.reason.find("crop_box"), std::string::npos) << result.reason;
  result = node_->set_parameter(rclcpp::Parameter("scene_file", path("missing.yaml")));
  EXPECT_FALSE(result.successful);
  EXPECT_NE(result.reason.find("missing.yaml"), std::string::npos) << result.reason;
  EXPECT_EQ(node_->get_parameter("scene_file").as_string(), path("scene.yaml"));
  EXPECT_FALSE(node_->set_parameter(rclcpp::Parameter("leaf_size", 0.0)).successful);
  EXPECT_TRUE(node_->set_parameter(rclcpp::Parameter("leaf_size", 0.02)).successful);
  EXPECT_DOUBLE_EQ(node_->get_parameter("leaf_size").as_double(), 0.02);
}

// ~/reload_scene: a broken file answers false with the reason and the scene stays; a good one takes over.
TEST_F(SceneNodeTest, ReloadsTheSceneOrKeepsItWithTheReason) {
  startNode({rclcpp::Parameter("tf_timeout", 5.0)});
  sendCameraInfo(cameraInfo());
  auto client = peer_->create_client<std_srvs::srv::Trigger>(namespace_ + "/scene_node/reload_scene");
  ASSERT_TRUE(client->wait_for_service(nimbrel_test::kDeadline));
  const auto reload = [&] {
    auto future = client->async_send_request(std::make_shared<std_srvs::srv::Trigger::Request>());
    EXPECT_EQ(future.wait_for(nimbrel_test::kDeadline), std::future_status::ready);
    return future.get();
  };
  const cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  const auto frame = [&](int second) {
    const std::size_t before = cloudCount();
    tf_->sendTransform(toolAt(stampAt(second)));
    images_->publish(imageOf(depth, "16UC1", stampAt(second)));
    return waitForCloud(before + 1);
  };

  write("scene.yaml", "boxes:\n  - {size: [0.1, 0.1]}\n");
  auto answer = reload();
  EXPECT_FALSE(answer->success);
  EXPECT_NE(answer->message.find("boxes[0].size"), std::string::npos) << answer->message;
  // A file the YAML parser itself trips over (a key that is a map), on reload and as the parameter: the node
  // lives on, keeps its scene and says why.
  write("scene.yaml", "? [a, b] : 1\n");
  answer = reload();
  EXPECT_FALSE(answer->success);
  EXPECT_EQ(answer->message.rfind("scene kept: ", 0), 0u) << answer->message;
  write("odd.yaml", "? [a, b] : 1\n");
  const auto result = node_->set_parameter(rclcpp::Parameter("scene_file", path("odd.yaml")));
  EXPECT_FALSE(result.successful);
  EXPECT_EQ(result.reason.rfind("scene_file: ", 0), 0u) << result.reason;
  EXPECT_EQ(node_->get_parameter("scene_file").as_string(), path("scene.yaml"));
  auto cloud = frame(500);
  ASSERT_TRUE(cloud);
  write("scene.yaml", kScene);  // what the node still cuts
  expectSameCloud(expected(depth, cameraInfo(), 1000.0, stampAt(500)), *cloud);

  write("scene.yaml", "tool: {frame: tool0, half_size: [0.2, 0.2, 0.2]}\n");
  answer = reload();
  EXPECT_TRUE(answer->success) << answer->message;
  cloud = frame(501);
  ASSERT_TRUE(cloud);
  expectSameCloud(expected(depth, cameraInfo(), 1000.0, stampAt(501)), *cloud);
}

// The arm moves from frame to frame: each frame is cut with the links where TF puts them at that image's
// stamp, not where they were last heard of (frame 0 comes when frame 1's transforms are already in), and a
// frame whose link transforms come late waits for them. What the arm cut goes out on ~/robot_points.
TEST_F(SceneNodeTest, CutsTheArmWhereTfPutsItAtEachImagesStamp) {
  startNode({rclcpp::Parameter("tf_timeout", 5.0),
             rclcpp::Parameter("robot_description", armUrdf(path("cube.ply")))});
  std::mutex robotMutex;
  std::vector<PointCloud2::ConstSharedPtr> robotClouds;
  const auto robotSub = peer_->create_subscription<PointCloud2>(
      namespace_ + "/scene_node/robot_points", rclcpp::QoS(10), [&](PointCloud2::ConstSharedPtr m) {
        std::lock_guard<std::mutex> lock(robotMutex);
        robotClouds.push_back(m);
      });
  ASSERT_TRUE(nimbrel_test::waitUntil([&] {
    return robotSub->get_publisher_count() > 0 &&
           node_->count_subscribers(namespace_ + "/scene_node/robot_points") > 0;
  }));
  sendCameraInfo(cameraInfo());
  const cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  const auto sendTf = [&](int i) {
    tf_->sendTransform(toolAt(stampAt(600 + i)));
    tf_->sendTransform(armAt(i, stampAt(600 + i)));
  };
  sendTf(0);
  sendTf(1);
  nimbrel_test::letPeriodsPass(20);
  for (int i = 0; i < 3; ++i) {
    const auto stamp = stampAt(600 + i);
    images_->publish(imageOf(depth, "16UC1", stamp));
    if (i == 2) sendTf(2);
    const auto cloud = waitForCloud(static_cast<std::size_t>(i + 1));
    ASSERT_TRUE(cloud) << "frame " << i;
    nimbrel_arm_util::FrameReport report;
    const FramePipeline::Cloud cut = expected(depth, cameraInfo(), 1000.0, stamp, i, &report);
    expectSameCloud(cut, *cloud);
    if (i > 0) {
      EXPECT_FALSE(sameCloud(expected(depth, cameraInfo(), 1000.0, stamp, i - 1), *cloud)) << i;
    }
    // Nothing is left inside the box link's box at this frame's pose.
    const Eigen::Vector3f centre(static_cast<float>(-0.15 + 0.1 * i), 0.25f, 0.0f), half(0.05f, 0.06f, 0.1f);
    for (std::size_t k = 0; k < cloud->width; ++k) {
      Eigen::Vector3f p;
      std::memcpy(p.data(), &cloud->data[12 * k], 12);
      ASSERT_FALSE(((p - centre).cwiseAbs().array() < half.array()).all()) << "frame " << i << " point " << k;
    }
    const auto step = std::find_if(report.steps.begin(), report.steps.end(),
                                   [](const auto& s) { return s.name == "RobotBody::filter"; });
    ASSERT_NE(step, report.steps.end());
    EXPECT_GT(step->pointsIn, step->pointsOut);
    ASSERT_TRUE(nimbrel_test::waitUntil([&] {
      std::lock_guard<std::mutex> lock(robotMutex);
      return robotClouds.size() == static_cast<std::size_t>(i + 1);
    }));
    std::lock_guard<std::mutex> lock(robotMutex);
    EXPECT_EQ(robotClouds.back()->header.stamp, stamp);
    EXPECT_EQ(robotClouds.back()->width, step->pointsIn - step->pointsOut);
  }
}

// Without the parameter the arm comes from the robot_description topic, kept for late subscribers as
// robot_state_publisher keeps it; a description that cannot be used leaves the arm the node has, and a bad
// robot parameter is refused with its name.
TEST_F(SceneNodeTest, TakesTheArmFromTheDescriptionTopicAndKeepsItOnABadOne) {
  const auto descriptions = peer_->create_publisher<std_msgs::msg::String>(
      namespace_ + "/robot_description", rclcpp::QoS(1).reliable().transient_local());
  std_msgs::msg::String description;
  description.data = armUrdf(path("cube.ply"));
  descriptions->publish(description);
  startNode({rclcpp::Parameter("tf_timeout", 5.0)});
  sendCameraInfo(cameraInfo());
  const cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  const auto cutAsTheArmSays = [&](int second) {
    tf_->sendTransform(toolAt(stampAt(second)));
    tf_->sendTransform(armAt(1, stampAt(second)));
    const std::size_t before = cloudCount();
    images_->publish(imageOf(depth, "16UC1", stampAt(second)));
    const auto cloud = waitForCloud(before + 1);
    return cloud && sameCloud(expected(depth, cameraInfo(), 1000.0, stampAt(second), 1), *cloud);
  };
  // The description arrives on its own schedule: the first frames may come before it.
  bool cut = false;
  for (int second = 800; second < 830 && !cut; ++second) cut = cutAsTheArmSays(second);
  ASSERT_TRUE(cut);

  description.data = armUrdf(path("missing.ply"));
  descriptions->publish(description);
  nimbrel_test::letPeriodsPass(20);
  EXPECT_TRUE(cutAsTheArmSays(900));

  auto result = node_->set_parameter(rclcpp::Parameter("robot_padding", -0.01));
  EXPECT_FALSE(result.successful);
  EXPECT_NE(result.reason.find("robot_padding"), std::string::npos) << result.reason;
  result = node_->set_parameter(
      rclcpp::Parameter("robot_ignored_links", std::vector<std::string>{"no_such_link"}));
  EXPECT_FALSE(result.successful);
  EXPECT_EQ(result.reason.rfind("robot: ", 0), 0u) << result.reason;
  result = node_->set_parameter(rclcpp::Parameter("robot_description", armUrdf(path("missing.ply"))));
  EXPECT_FALSE(result.successful);
  EXPECT_NE(result.reason.find("robot_description"), std::string::npos) << result.reason;
  EXPECT_TRUE(cutAsTheArmSays(901));
}

}  // namespace
