#include "nimbrel_arm_util/scene_node.hpp"

#include <fmt/format.h>
#include <pcl/conversions.h>
#include <tf2/exceptions.h>
#include <tf2_ros/buffer.h>
#include <tf2_ros/create_timer_ros.h>
#include <tf2_ros/transform_listener.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <geometry_msgs/msg/transform_stamped.hpp>
#include <mutex>
#include <optional>
#include <rclcpp/rclcpp.hpp>
#include <rclcpp_components/register_node_macro.hpp>
#include <sensor_msgs/msg/camera_info.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <sensor_msgs/msg/point_cloud2.hpp>
#include <set>
#include <std_msgs/msg/string.hpp>
#include <std_srvs/srv/trigger.hpp>
#include <thread>
#include <visualization_msgs/msg/marker_array.hpp>

#include "nimbrel_arm_util/frame_pipeline.hpp"
#include "robot_description_source.hpp"
#include "ros_compat.hpp"
#include "ros_conversions.hpp"
#include "support/files.hpp"
#include "support/scene_file.hpp"
#include "window_statistics.hpp"

namespace nimbrel_arm_util {

namespace {

using Clock = std::chrono::steady_clock;
using sensor_msgs::msg::CameraInfo;
using sensor_msgs::msg::Image;
using sensor_msgs::msg::PointCloud2;

// Seconds between two warnings about frames dropped for the same reason.
constexpr double kWarningPeriod = 5.0;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Everything the parameters decide, validated as a whole.
struct Settings {
  std::string baseFrame = "base_link";
  double depthScale = 1000.0;
  double tfTimeout = 0.1;
  std::string sceneFile;
  std::string robotXml;                        // the robot_description parameter
  std::optional<RobotDescription> topicRobot;  // the last usable one from the robot_description topic
  FramePipelineConfig pipeline;  // its scene comes from sceneFile; its robot from robotXml, or the topic
};

// Applies one parameter to `s`; returns why it cannot be used, or "".
std::string apply(const rclcpp::Parameter& p, Settings& s) {
  const std::string& name = p.get_name();
  if (name == "base_frame") {
    s.baseFrame = p.as_string();
    if (s.baseFrame.empty()) return "base_frame: must name a TF frame";
    if (s.baseFrame.front() == '/') return "base_frame: a TF frame name has no leading '/'";
  } else if (name == "depth_scale") {
    s.depthScale = p.as_double();
    if (!(s.depthScale > 0.0 && std::isfinite(s.depthScale)))
      return fmt::format("depth_scale {}: units per metre must be positive and finite (1000 for millimetres)",
                         s.depthScale);
  } else if (name == "tf_timeout") {
    s.tfTimeout = p.as_double();
    if (!(s.tfTimeout >= 0.0 && s.tfTimeout <= 60.0))
      return fmt::format("tf_timeout {}: seconds, from 0 to 60", s.tfTimeout);
  } else if (name == "scene_file") {
    s.sceneFile = p.as_string();
  } else if (name == "crop_box") {
    const std::vector<double> box = p.as_double_array();
    if (box.size() != 6)
      return fmt::format("crop_box: need 6 numbers xmin, xmax, ymin, ymax, zmin, zmax, got {}", box.size());
    for (int axis = 0; axis < 3; ++axis) {
      const double lo = box[static_cast<std::size_t>(2 * axis)],
                   hi = box[static_cast<std::size_t>(2 * axis + 1)];
      if (!(std::isfinite(lo) && std::isfinite(hi) && lo <= hi))
        return fmt::format("crop_box: {} range [{}, {}] must be finite with its minimum first", "xyz"[axis],
                           lo, hi);
    }
    std::copy(box.begin(), box.end(), s.pipeline.cropBox.begin());
  } else if (name == "leaf_size") {
    s.pipeline.leafSize = p.as_double();
    if (!(s.pipeline.leafSize > 0.0 && std::isfinite(s.pipeline.leafSize)))
      return fmt::format("leaf_size {}: metres, must be positive", s.pipeline.leafSize);
  } else if (name == "outlier_mean_k") {
    const std::int64_t k = p.as_int();
    if (k < 1 || k > 10000) return fmt::format("outlier_mean_k {}: from 1 to 10000 neighbours", k);
    s.pipeline.meanK = static_cast<int>(k);
  } else if (name == "outlier_stddev") {
    s.pipeline.stddevMulThresh = p.as_double();
    if (!std::isfinite(s.pipeline.stddevMulThresh))
      return fmt::format("outlier_stddev {}: must be finite", s.pipeline.stddevMulThresh);
  } else if (name == "mesh_method") {
    const std::string m = p.as_string();
    if (m != "plain" && m != "fast") return fmt::format("mesh_method '{}': plain or fast", m);
    s.pipeline.meshMethod = m == "plain" ? MeshMethod::kPlain : MeshMethod::kFast;
  } else if (name == "robot_description") {
    s.robotXml = p.as_string();
    if (s.robotXml.empty()) {
      s.pipeline.robot = s.topicRobot;
    } else {
      try {
        s.pipeline.robot = robotFromUrdf(s.robotXml);
      } catch (const std::exception& e) {
        return fmt::format("robot_description: {}", e.what());
      }
    }
  } else {
    return applyRobotParameter(p, s.pipeline);
  }
  return "";
}

// The pipeline for `s`, with the scene file read; throws for a broken file: nimbrel_tools::ToolError, or
// whatever else the reading lets out, which the callers treat alike.
std::shared_ptr<const FramePipeline> pipelineFor(Settings s) {
  if (!s.sceneFile.empty()) s.pipeline.scene = nimbrel_tools::loadScene(s.sceneFile);
  return std::make_shared<const FramePipeline>(std::move(s.pipeline));
}

// Marker of a box as it is cut: half extents `half` (margin included), the z half extent never under 0.1.
visualization_msgs::msg::Marker boxMarker(const Eigen::Matrix4d& pose, Eigen::Vector3d half) {
  visualization_msgs::msg::Marker m;
  m.type = visualization_msgs::msg::Marker::CUBE;
  half.z() = std::max(half.z(), 0.1);
  m.pose = poseMessage(pose);
  m.scale.x = 2.0 * std::max(half.x(), 0.0);
  m.scale.y = 2.0 * std::max(half.y(), 0.0);
  m.scale.z = 2.0 * half.z();
  return m;
}

}  // namespace

// One depth image on its way through the node.
struct Frame {
  Image::ConstSharedPtr image;
  cv::Mat depth;  // a view of image->data
  CameraModel camera;
  double unitsPerMetre = 1.0;
  std::shared_ptr<const FramePipeline> pipeline;
  std::string baseFrame;
  tf2::TimePoint stamp;  // the image's
  Clock::time_point received;
  Clock::time_point ready;
  double checkMs = 0.0;  // time spent on the image callback's checks
  // Transforms into the base frame, one per frame name the frame needs; filled as TF answers.
  std::mutex mutex;
  std::map<std::string, Eigen::Matrix4d> transforms;
  std::vector<tf2::TransformableRequestHandle> requests;
  std::string failure;
  int outstanding = 0;
};

class SceneNode::Impl {
 public:
  explicit Impl(SceneNode& node) : node_(node) {}

  void start();
  void stop();
  Counts counts() const {
    Counts c;
    {
      std::lock_guard<std::mutex> lock(countsMutex_);
      c = counts_;
    }
    std::lock_guard<std::mutex> lock(waitingMutex_);
    c.waiting = waiting_.size();
    c.waitingPeak = waitingPeak_;
    return c;
  }

 private:
  void onImage(Image::ConstSharedPtr image);
  void onTransform(const std::shared_ptr<Frame>& frame, const std::string& source,
                   const tf2_ros::TransformStampedFuture& future);
  void finishWaiting(const std::shared_ptr<Frame>& frame);
  void cancelWaits(const std::vector<std::shared_ptr<Frame>>& frames);
  void work();
  void process(Frame& frame);
  void drop(const std::string& reason, const std::string& detail);
  void publishDiagnostics();
  void publishMarkers(const Frame& frame, const FramePoses& poses);
  void publishRobot(const Frame& frame, const FramePoses& poses, const FrameReport& report);
  void onRobotDescription(const std_msgs::msg::String& message);
  rcl_interfaces::msg::SetParametersResult onParameters(const std::vector<rclcpp::Parameter>& parameters);

  SceneNode& node_;
  rclcpp::CallbackGroup::SharedPtr inputGroup_, tfGroup_, serviceGroup_, diagnosticsGroup_;
  std::shared_ptr<tf2_ros::Buffer> buffer_;
  std::shared_ptr<tf2_ros::TransformListener> listener_;
  rclcpp::Subscription<Image>::SharedPtr imageSub_;
  rclcpp::Subscription<CameraInfo>::SharedPtr infoSub_;
  rclcpp::Publisher<PointCloud2>::SharedPtr pointsPub_, removedPub_;
  rclcpp::Publisher<visualization_msgs::msg::MarkerArray>::SharedPtr markersPub_, robotMarkersPub_;
  rclcpp::Publisher<PointCloud2>::SharedPtr robotPointsPub_;
  rclcpp::Subscription<std_msgs::msg::String>::SharedPtr robotDescriptionSub_;
  rclcpp::Publisher<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr diagnosticsPub_;
  rclcpp::Service<std_srvs::srv::Trigger>::SharedPtr reloadService_;
  rclcpp::TimerBase::SharedPtr diagnosticsTimer_;
  rclcpp::node_interfaces::OnSetParametersCallbackHandle::SharedPtr parametersHandle_;

  // What the parameters and the scene file decide; replaced as a whole on a change or a reload, which take
  // changeMutex_ so that a reload and a parameter change never undo each other.
  std::mutex changeMutex_;
  mutable std::mutex stateMutex_;
  Settings settings_;
  std::shared_ptr<const FramePipeline> pipeline_;
  CameraInfo::ConstSharedPtr cameraInfo_;

  // Frames waiting for TF, by identity, so that stop() can cancel their requests; at most kMaxWaitingFrames.
  mutable std::mutex waitingMutex_;
  std::set<std::shared_ptr<Frame>> waiting_;
  std::size_t waitingPeak_ = 0;

  // The worker's one-frame slot: it holds the newest ready frame; a ready frame older than the one in it is
  // dropped instead of replacing it.
  std::mutex workMutex_;
  std::condition_variable workReady_;
  std::shared_ptr<Frame> next_;
  bool stopping_ = false;
  std::thread worker_;
  std::optional<tf2::TimePoint> lastPublished_;  // the worker's alone

  mutable std::mutex countsMutex_;
  Counts counts_;
  std::map<std::string, Clock::time_point> lastWarning_;
  std::uint64_t windowIn_ = 0, windowOut_ = 0, windowDropped_ = 0;
  std::map<std::string, WindowStatistics> stepMs_;
  std::map<std::string, std::pair<std::size_t, std::size_t>> stepPoints_;  // the last frame's
  std::vector<std::string> stepOrder_;
  WindowStatistics tfWaitMs_, latencyMs_, overheadMs_, queueMs_;
};

void SceneNode::Impl::start() {
  rclcpp::Node& n = node_;
  n.declare_parameter("base_frame", settings_.baseFrame);
  n.declare_parameter("depth_scale", settings_.depthScale);
  n.declare_parameter("tf_timeout", settings_.tfTimeout);
  n.declare_parameter("scene_file", settings_.sceneFile);
  const auto& box = settings_.pipeline.cropBox;
  n.declare_parameter("crop_box", std::vector<double>(box.begin(), box.end()));
  n.declare_parameter("leaf_size", settings_.pipeline.leafSize);
  n.declare_parameter("outlier_mean_k", settings_.pipeline.meanK);
  n.declare_parameter("outlier_stddev", settings_.pipeline.stddevMulThresh);
  n.declare_parameter("mesh_method", std::string("fast"));
  declareRobotParameters(n, settings_.pipeline);
  std::vector<std::string> names = {"base_frame",     "depth_scale",    "tf_timeout",
                                    "scene_file",     "crop_box",       "leaf_size",
                                    "outlier_mean_k", "outlier_stddev", "mesh_method"};
  names.insert(names.end(), robotParameterNames().begin(), robotParameterNames().end());
  for (const auto& name : names) {
    const std::string why = apply(n.get_parameter(name), settings_);
    if (!why.empty()) throw std::runtime_error("invalid parameter " + why);
  }
  try {
    pipeline_ = pipelineFor(settings_);
  } catch (const std::exception& e) {  // the scene file, or a robot its body settings do not fit
    throw std::runtime_error(fmt::format("invalid parameter scene_file or robot_*: {}", e.what()));
  }
  parametersHandle_ = n.add_on_set_parameters_callback(
      [this](const std::vector<rclcpp::Parameter>& p) { return onParameters(p); });

  inputGroup_ = n.create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);
  tfGroup_ = n.create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);
  serviceGroup_ = n.create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);
  diagnosticsGroup_ = n.create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);

  // TF arrives on the listener's own thread; the timeouts of waits run as timers of this node.
  buffer_ = std::make_shared<tf2_ros::Buffer>(n.get_clock());
  buffer_->setCreateTimerInterface(std::make_shared<tf2_ros::CreateTimerROS>(
      n.get_node_base_interface(), n.get_node_timers_interface(), tfGroup_));
  listener_ = std::make_shared<tf2_ros::TransformListener>(*buffer_, &n, true);

  rclcpp::PublisherOptions publisherOptions;
  publisherOptions.qos_overriding_options = rclcpp::QosOverridingOptions::with_default_policies();
  pointsPub_ = n.create_publisher<PointCloud2>("points", rclcpp::QoS(5), publisherOptions);
  removedPub_ = n.create_publisher<PointCloud2>("points_removed", rclcpp::QoS(5));
  markersPub_ = n.create_publisher<visualization_msgs::msg::MarkerArray>("scene_markers", rclcpp::QoS(5));
  robotPointsPub_ = n.create_publisher<PointCloud2>("~/robot_points", rclcpp::QoS(5));
  robotMarkersPub_ =
      n.create_publisher<visualization_msgs::msg::MarkerArray>("~/robot_markers", rclcpp::QoS(5));
  diagnosticsPub_ =
      n.create_publisher<diagnostic_msgs::msg::DiagnosticArray>("/diagnostics", rclcpp::QoS(10));

  worker_ = std::thread([this] { work(); });

  rclcpp::SubscriptionOptions inputOptions;
  inputOptions.callback_group = inputGroup_;
  inputOptions.qos_overriding_options = rclcpp::QosOverridingOptions::with_default_policies();
  infoSub_ = n.create_subscription<CameraInfo>(
      "depth/camera_info", rclcpp::SensorDataQoS(),
      [this](CameraInfo::ConstSharedPtr info) {
        std::lock_guard<std::mutex> lock(stateMutex_);
        cameraInfo_ = std::move(info);
      },
      inputOptions);
  imageSub_ = n.create_subscription<Image>(
      "depth/image_raw", rclcpp::SensorDataQoS(),
      [this](Image::ConstSharedPtr image) {
        try {
          onImage(std::move(image));
        } catch (const std::exception& e) {  // an image never takes the executor's thread down
          drop("processing_failed", e.what());
        }
      },
      inputOptions);

  reloadService_ = createService<std_srvs::srv::Trigger>(
      n, "~/reload_scene",
      [this](const std::shared_ptr<std_srvs::srv::Trigger::Request>,
             std::shared_ptr<std_srvs::srv::Trigger::Response> response) {
        std::lock_guard<std::mutex> change(changeMutex_);
        Settings s;
        {
          std::lock_guard<std::mutex> lock(stateMutex_);
          s = settings_;
        }
        try {
          auto pipeline = pipelineFor(s);
          const auto& scene = pipeline->config().scene;
          response->message =
              fmt::format("scene reloaded from '{}': {} tool, {} boxes, {} meshes", s.sceneFile,
                          scene.tool ? 1 : 0, scene.boxes.size(), scene.meshes.size());
          std::lock_guard<std::mutex> lock(stateMutex_);
          pipeline_ = std::move(pipeline);
          response->success = true;
        } catch (const std::exception& e) {  // whatever the file does, the node keeps its scene
          response->success = false;
          response->message = fmt::format("scene kept: {}", e.what());
        } catch (...) {
          response->success = false;
          response->message = fmt::format("scene kept: reading '{}' failed", s.sceneFile);
        }
        RCLCPP_INFO(node_.get_logger(), "reload_scene: %s", response->message.c_str());
      },
      serviceGroup_);

  // As robot_state_publisher publishes it: once, kept for late subscribers. Used while the parameter is
  // empty; the last usable one is kept for when the parameter is emptied later.
  rclcpp::SubscriptionOptions descriptionOptions;
  descriptionOptions.callback_group = serviceGroup_;
  robotDescriptionSub_ = n.create_subscription<std_msgs::msg::String>(
      "robot_description", rclcpp::QoS(1).reliable().transient_local(),
      [this](std_msgs::msg::String::ConstSharedPtr m) { onRobotDescription(*m); }, descriptionOptions);

  diagnosticsTimer_ = n.create_wall_timer(
      std::chrono::seconds(1), [this] { publishDiagnostics(); }, diagnosticsGroup_);
}

void SceneNode::Impl::stop() {
  // No new frames, no TF answers, then no worker; a timeout timer that still fires finds no frame waiting.
  imageSub_.reset();
  listener_.reset();
  std::vector<std::shared_ptr<Frame>> waiting;
  {
    std::lock_guard<std::mutex> lock(waitingMutex_);
    waiting.assign(waiting_.begin(), waiting_.end());
    waiting_.clear();
  }
  cancelWaits(waiting);
  {
    std::lock_guard<std::mutex> lock(workMutex_);
    stopping_ = true;
  }
  workReady_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void SceneNode::Impl::cancelWaits(const std::vector<std::shared_ptr<Frame>>& frames) {
  // Called with the frames already out of waiting_ and outside its lock: a timeout that fires meanwhile calls
  // back into onTransform, which then finds its frame no longer waiting.
  std::vector<tf2::TransformableRequestHandle> pending;
  for (const auto& frame : frames) {
    std::lock_guard<std::mutex> frameLock(frame->mutex);
    pending.insert(pending.end(), frame->requests.begin(), frame->requests.end());
  }
  for (const auto handle : pending) buffer_->cancelTransformableRequest(handle);
}

rcl_interfaces::msg::SetParametersResult SceneNode::Impl::onParameters(
    const std::vector<rclcpp::Parameter>& parameters) {
  rcl_interfaces::msg::SetParametersResult result;
  std::lock_guard<std::mutex> change(changeMutex_);
  Settings s;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    s = settings_;
  }
  bool sceneChanged = false;
  for (const auto& p : parameters) {
    std::string why;
    try {
      why = apply(p, s);
    } catch (const std::exception& e) {  // a value of another type than the parameter's
      why = fmt::format("{}: {}", p.get_name(), e.what());
    }
    if (!why.empty()) {
      result.successful = false;
      result.reason = why;
      return result;
    }
    sceneChanged = sceneChanged || p.get_name() == "scene_file";
  }
  std::shared_ptr<const FramePipeline> pipeline;
  try {
    if (sceneChanged) {
      pipeline = pipelineFor(s);
    } else {
      std::lock_guard<std::mutex> lock(stateMutex_);
      Settings withScene = s;
      withScene.pipeline.scene = pipeline_->config().scene;
      pipeline = std::make_shared<const FramePipeline>(withScene.pipeline);
    }
  } catch (const std::exception& e) {  // whatever the file does, the node keeps its scene
    result.successful = false;
    // Without a new scene, what the pipeline refused is the robot's body under its new settings.
    result.reason = fmt::format("{}: {}", sceneChanged ? "scene_file" : "robot", e.what());
    return result;
  } catch (...) {
    result.successful = false;
    result.reason = fmt::format("scene_file: reading '{}' failed", s.sceneFile);
    return result;
  }
  std::lock_guard<std::mutex> lock(stateMutex_);
  settings_ = std::move(s);
  pipeline_ = std::move(pipeline);
  result.successful = true;
  return result;
}

void SceneNode::Impl::onRobotDescription(const std_msgs::msg::String& message) {
  std::lock_guard<std::mutex> change(changeMutex_);
  Settings s;
  std::shared_ptr<const FramePipeline> current;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    s = settings_;
    current = pipeline_;
  }
  std::shared_ptr<const FramePipeline> pipeline = current;
  try {
    s.topicRobot = robotFromUrdf(message.data);
    if (s.robotXml.empty()) {
      s.pipeline.robot = s.topicRobot;
      FramePipelineConfig withScene = s.pipeline;  // the settings keep only the file's name
      withScene.scene = current->config().scene;
      pipeline = std::make_shared<const FramePipeline>(std::move(withScene));
    }
  } catch (const std::exception& e) {  // whatever the description does, the node keeps its robot
    RCLCPP_ERROR(node_.get_logger(), "robot_description topic: robot kept: %s", e.what());
    return;
  }
  RCLCPP_INFO(node_.get_logger(), "robot_description topic: robot '%s' with %zu links%s",
              s.topicRobot->name.c_str(), s.topicRobot->links.size(),
              s.robotXml.empty() ? "" : ", unused while the robot_description parameter is set");
  std::lock_guard<std::mutex> lock(stateMutex_);
  settings_ = std::move(s);
  pipeline_ = std::move(pipeline);
}

void SceneNode::Impl::drop(const std::string& reason, const std::string& detail) {
  bool warn = false;
  {
    std::lock_guard<std::mutex> lock(countsMutex_);
    ++counts_.dropped[reason];
    ++windowDropped_;
    const auto now = Clock::now();
    auto it = lastWarning_.find(reason);
    if (it == lastWarning_.end() ||
        std::chrono::duration<double>(now - it->second).count() >= kWarningPeriod) {
      lastWarning_[reason] = now;
      warn = true;
    }
  }
  if (warn) {
    RCLCPP_WARN(node_.get_logger(), "frame dropped (%s): %s [at most one such warning per %.0f s]",
                reason.c_str(), detail.c_str(), kWarningPeriod);
  }
}

void SceneNode::Impl::onImage(Image::ConstSharedPtr image) {
  const auto received = Clock::now();
  {
    std::lock_guard<std::mutex> lock(countsMutex_);
    ++counts_.framesIn;
    ++windowIn_;
  }
  auto frame = std::make_shared<Frame>();
  CameraInfo::ConstSharedPtr info;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    info = cameraInfo_;
    frame->pipeline = pipeline_;
    frame->baseFrame = settings_.baseFrame;
    frame->unitsPerMetre = settings_.depthScale;
  }
  if (!info)
    return drop("no_camera_info",
                "no camera_info received yet on " + std::string(infoSub_->get_topic_name()));
  if (auto problem = cameraModelFrom(*info, frame->camera)) return drop(problem.reason, problem.detail);
  if (auto problem = depthImageView(*image, frame->depth)) return drop(problem.reason, problem.detail);
  if ((info->width != 0 && info->width != image->width) ||
      (info->height != 0 && info->height != image->height)) {
    return drop("image_size_mismatch", fmt::format("image of {}x{} pixels, camera_info of {}x{}",
                                                   image->width, image->height, info->width, info->height));
  }
  if (image->header.frame_id.empty()) return drop("empty_frame_id", "the image names no frame");
  if (frame->depth.type() == CV_32FC1) frame->unitsPerMetre = 1.0;  // 32FC1 holds metres
  frame->image = image;
  frame->received = received;

  // Every frame this image needs in the base frame: the camera's and those the scene's objects are given in.
  std::set<std::string> sources = {image->header.frame_id};
  const auto& scene = frame->pipeline->config().scene;
  if (scene.tool && !scene.tool->frame.empty()) sources.insert(scene.tool->frame);
  for (const auto& b : scene.boxes) {
    if (!b.frame.empty()) sources.insert(b.frame);
  }
  for (const auto& m : scene.meshes) {
    if (!m.frame.empty()) sources.insert(m.frame);
  }
  // The arm's links at the image's stamp too: the latest transforms would cut a moving arm a frame late.
  if (const RobotBody* body = frame->pipeline->robotBody())
    sources.insert(body->links().begin(), body->links().end());
  double timeout = 0.0;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    timeout = settings_.tfTimeout;
  }
  frame->stamp = tf2_ros::fromMsg(image->header.stamp);
  const auto wait = std::chrono::duration_cast<tf2::Duration>(std::chrono::duration<double>(timeout));
  frame->checkMs = msSince(received);
  {
    std::lock_guard<std::mutex> lock(frame->mutex);
    frame->outstanding = static_cast<int>(sources.size()) + 1;  // +1 until every request is out
  }
  // A bounded number of frames waits: with TF gone and a long tf_timeout, images would pile up at the
  // camera's rate. The oldest one, by stamp, gives way.
  std::shared_ptr<Frame> pushedOut;
  {
    std::lock_guard<std::mutex> lock(waitingMutex_);
    if (waiting_.size() >= SceneNode::kMaxWaitingFrames) {
      const auto oldest = std::min_element(waiting_.begin(), waiting_.end(),
                                           [](const auto& a, const auto& b) { return a->stamp < b->stamp; });
      if (frame->stamp < (*oldest)->stamp) {
        pushedOut = frame;
      } else {
        pushedOut = *oldest;
        waiting_.erase(oldest);
      }
    }
    if (pushedOut != frame) {
      waiting_.insert(frame);
      waitingPeak_ = std::max(waitingPeak_, waiting_.size());
    }
  }
  if (pushedOut) {
    if (pushedOut != frame) cancelWaits({pushedOut});
    drop("tf_backlog", fmt::format("{} frames wait for TF already; the oldest gives way (object frames need "
                                   "TF at the camera's rate, or static)",
                                   SceneNode::kMaxWaitingFrames));
    if (pushedOut == frame) return;
  }
  const tf2::TimePoint stamp = frame->stamp;
  for (const auto& source : sources) {
    try {
      const auto future = buffer_->waitForTransform(
          frame->baseFrame, source, stamp, wait,
          [this, frame, source](const tf2_ros::TransformStampedFuture& f) { onTransform(frame, source, f); });
      std::lock_guard<std::mutex> lock(frame->mutex);
      frame->requests.push_back(future.getHandle());
    } catch (const std::exception& e) {  // a frame name tf2 refuses outright
      std::lock_guard<std::mutex> lock(frame->mutex);
      if (frame->failure.empty())
        frame->failure = fmt::format("{} -> {}: {}", source, frame->baseFrame, e.what());
      --frame->outstanding;
    }
  }
  finishWaiting(frame);
}

void SceneNode::Impl::onTransform(const std::shared_ptr<Frame>& frame, const std::string& source,
                                  const tf2_ros::TransformStampedFuture& future) {
  {
    std::lock_guard<std::mutex> lock(frame->mutex);
    try {
      frame->transforms[source] = transformMatrix(future.get().transform);
    } catch (const std::exception& e) {
      if (frame->failure.empty())
        frame->failure = fmt::format("{} -> {} at the image's stamp: {}", source, frame->baseFrame, e.what());
    }
  }
  finishWaiting(frame);
}

void SceneNode::Impl::finishWaiting(const std::shared_ptr<Frame>& frame) {
  {
    std::lock_guard<std::mutex> lock(frame->mutex);
    if (--frame->outstanding > 0) return;
  }
  {
    std::lock_guard<std::mutex> lock(waitingMutex_);
    if (waiting_.erase(frame) == 0) return;  // stop() took it
  }
  frame->ready = Clock::now();
  if (!frame->failure.empty()) return drop("missing_transform", frame->failure);
  // TF frees waiting frames in no particular order: the slot keeps the newest stamp.
  std::shared_ptr<Frame> superseded;
  {
    std::lock_guard<std::mutex> lock(workMutex_);
    if (stopping_) return;
    if (next_ && frame->stamp < next_->stamp) {
      superseded = frame;
    } else {
      superseded = std::move(next_);
      next_ = frame;
    }
  }
  if (superseded != frame) workReady_.notify_one();
  if (superseded) drop("superseded", "a newer frame was ready before this one could be processed");
}

void SceneNode::Impl::work() {
  for (;;) {
    std::shared_ptr<Frame> frame;
    {
      std::unique_lock<std::mutex> lock(workMutex_);
      workReady_.wait(lock, [this] { return stopping_ || next_; });
      if (stopping_) return;
      frame = std::move(next_);
    }
    // Clouds go out in stamp order: a frame that became ready after a newer one was published is dropped.
    if (lastPublished_ && frame->stamp <= *lastPublished_) {
      drop("superseded", "a newer frame was published before this one became ready");
      continue;
    }
    // Whatever a frame does, the worker lives on to take the next one.
    try {
      process(*frame);
    } catch (const std::exception& e) {
      drop("processing_failed", e.what());
    }
  }
}

void SceneNode::Impl::process(Frame& frame) {
  const auto started = Clock::now();
  const FramePipeline& pipeline = *frame.pipeline;
  const auto& scene = pipeline.config().scene;
  const auto inBase = [&](const std::string& f, const Eigen::Matrix4d& pose) {
    return f.empty() ? pose : Eigen::Matrix4d(frame.transforms.at(f) * pose);
  };
  FramePoses poses = pipeline.configuredPoses();
  if (scene.tool) poses.tool = inBase(scene.tool->frame, scene.tool->pose);
  for (std::size_t i = 0; i < scene.boxes.size(); ++i)
    poses.boxes[i] = inBase(scene.boxes[i].frame, scene.boxes[i].pose);
  for (std::size_t i = 0; i < scene.meshes.size(); ++i)
    poses.meshes[i] = inBase(scene.meshes[i].frame, scene.meshes[i].pose);
  if (const RobotBody* body = pipeline.robotBody()) {
    for (const auto& link : body->links()) poses.links[link] = frame.transforms.at(link);
  }
  const Eigen::Matrix4d cameraToBase = frame.transforms.at(frame.image->header.frame_id);

  const bool wantRobotPoints = pipeline.robotBody() && robotPointsPub_->get_subscription_count() > 0;
  const bool wantRemoved = removedPub_->get_subscription_count() > 0;
  FramePipeline::CloudPtr cloud(new FramePipeline::Cloud);
  FrameReport report;
  const auto pipelineStart = Clock::now();
  const int code = pipeline.process(frame.depth, frame.camera, frame.unitsPerMetre, cameraToBase, poses,
                                    cloud, &report, wantRemoved || wantRobotPoints);
  const double pipelineMs = msSince(pipelineStart);
  if (code != 0) return drop("processing_failed", report.error);

  auto msg = std::make_unique<PointCloud2>();
  if (!fillPointCloud2(*cloud, *msg))
    return drop("processing_failed", "the cloud is too large for a PointCloud2");
  msg->header.stamp = frame.image->header.stamp;
  msg->header.frame_id = frame.baseFrame;
  pointsPub_->publish(std::move(msg));
  lastPublished_ = frame.stamp;
  const double latencyMs = (node_.now() - rclcpp::Time(frame.image->header.stamp)).seconds() * 1000.0;
  const double overheadMs = frame.checkMs + msSince(started) - pipelineMs;

  if (wantRemoved && report.stages.size() > 2) {
    // Everything the cuts took out of the cleaned cloud in the base frame.
    const auto& before = *report.stages[2];
    const std::vector<bool> kept = FramePipeline::keptMask(before, *cloud);
    FramePipeline::Cloud removed;
    for (std::size_t i = 0; i < before.size(); ++i) {
      if (!kept[i]) removed.push_back(before[i]);
    }
    auto removedMsg = std::make_unique<PointCloud2>();
    if (fillPointCloud2(removed, *removedMsg)) {
      removedMsg->header.stamp = frame.image->header.stamp;
      removedMsg->header.frame_id = frame.baseFrame;
      removedPub_->publish(std::move(removedMsg));
    }
  }
  if (markersPub_->get_subscription_count() > 0) publishMarkers(frame, poses);
  if (pipeline.robotBody()) publishRobot(frame, poses, report);

  std::lock_guard<std::mutex> lock(countsMutex_);
  ++counts_.framesOut;
  ++windowOut_;
  for (const auto& step : report.steps) {
    if (stepMs_.find(step.name) == stepMs_.end()) stepOrder_.push_back(step.name);
    stepMs_[step.name].add(step.milliseconds);
    stepPoints_[step.name] = {step.pointsIn, step.pointsOut};
  }
  tfWaitMs_.add(std::chrono::duration<double, std::milli>(frame.ready - frame.received).count());
  queueMs_.add(std::chrono::duration<double, std::milli>(started - frame.ready).count());
  latencyMs_.add(latencyMs);
  overheadMs_.add(overheadMs);
}

void SceneNode::Impl::publishMarkers(const Frame& frame, const FramePoses& poses) {
  const auto& scene = frame.pipeline->config().scene;
  visualization_msgs::msg::MarkerArray array;
  visualization_msgs::msg::Marker clear;
  clear.action = visualization_msgs::msg::Marker::DELETEALL;
  array.markers.push_back(clear);
  const auto add = [&](visualization_msgs::msg::Marker m, float r, float g, float b) {
    m.header.stamp = frame.image->header.stamp;
    m.header.frame_id = frame.baseFrame;
    m.ns = "scene";
    m.id = static_cast<int>(array.markers.size());
    m.action = visualization_msgs::msg::Marker::ADD;
    m.color.r = r;
    m.color.g = g;
    m.color.b = b;
    m.color.a = 0.5f;
    array.markers.push_back(std::move(m));
  };
  if (scene.tool) {
    // The library grows the tool box with scale 2 on its half extents.
    add(boxMarker(poses.tool, scene.tool->halfSize + Eigen::Vector3d::Constant(scene.tool->margin)), 1.0f,
        0.6f, 0.0f);
  }
  for (std::size_t i = 0; i < scene.boxes.size(); ++i) {
    add(boxMarker(poses.boxes[i],
                  0.5 * scene.boxes[i].size + Eigen::Vector3d::Constant(scene.boxes[i].margin)),
        0.0f, 0.5f, 1.0f);
  }
  for (std::size_t i = 0; i < scene.meshes.size(); ++i) {
    const pcl::PolygonMesh placed = frame.pipeline->placedMesh(i, poses.meshes[i]);
    const FramePipeline::CloudPtr vertices(new FramePipeline::Cloud);
    pcl::fromPCLPointCloud2(placed.cloud, *vertices);
    visualization_msgs::msg::Marker m;
    m.type = visualization_msgs::msg::Marker::TRIANGLE_LIST;
    m.pose.orientation.w = 1.0;
    m.scale.x = m.scale.y = m.scale.z = 1.0;
    for (const auto& polygon : placed.polygons) {
      if (polygon.vertices.size() < 3) continue;
      for (int corner = 0; corner < 3; ++corner) {
        const auto index = static_cast<std::size_t>(polygon.vertices[static_cast<std::size_t>(corner)]);
        if (index >= vertices->size()) break;
        geometry_msgs::msg::Point p;
        p.x = (*vertices)[index].x;
        p.y = (*vertices)[index].y;
        p.z = (*vertices)[index].z;
        m.points.push_back(p);
      }
      m.points.resize(m.points.size() - m.points.size() % 3);  // a face with a bad index adds nothing
    }
    add(std::move(m), 0.8f, 0.2f, 0.8f);
  }
  markersPub_->publish(array);
}

void SceneNode::Impl::publishRobot(const Frame& frame, const FramePoses& poses, const FrameReport& report) {
  std_msgs::msg::Header header;
  header.stamp = frame.image->header.stamp;
  header.frame_id = frame.baseFrame;
  if (robotMarkersPub_->get_subscription_count() > 0)
    robotMarkersPub_->publish(robotMarkers(frame.pipeline->config(), poses.links, header));
  if (robotPointsPub_->get_subscription_count() == 0 || report.stages.size() != report.steps.size()) return;
  // The step's cloud against the one before it; the stages were kept only if someone listened at the start.
  const auto step = std::find_if(report.steps.begin(), report.steps.end(),
                                 [](const FrameStep& s) { return s.name == "RobotBody::filter"; });
  const auto index = static_cast<std::size_t>(step - report.steps.begin());
  if (index == 0 || index >= report.steps.size()) return;
  const auto& before = *report.stages[index - 1];
  const std::vector<bool> kept = FramePipeline::keptMask(before, *report.stages[index]);
  FramePipeline::Cloud removed;
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (!kept[i]) removed.push_back(before[i]);
  }
  auto msg = std::make_unique<PointCloud2>();
  if (!fillPointCloud2(removed, *msg)) return;
  msg->header = header;
  robotPointsPub_->publish(std::move(msg));
}

void SceneNode::Impl::publishDiagnostics() {
  diagnostic_msgs::msg::DiagnosticArray array;
  array.header.stamp = node_.now();
  diagnostic_msgs::msg::DiagnosticStatus status;
  status.name = std::string(node_.get_fully_qualified_name()) + ": scene";
  status.hardware_id = node_.get_fully_qualified_name();
  const auto value = [&](const std::string& key, const std::string& v) {
    diagnostic_msgs::msg::KeyValue kv;
    kv.key = key;
    kv.value = v;
    status.values.push_back(kv);
  };
  const auto summary = [&](const std::string& key, WindowStatistics& w) {
    const auto s = w.summary();
    value(key + " ms (median / p95 / max)", fmt::format("{:.2f} / {:.2f} / {:.2f}", s.median, s.p95, s.max));
    w.clear();
  };
  std::size_t waiting = 0;
  {
    std::lock_guard<std::mutex> lock(waitingMutex_);
    waiting = waiting_.size();
  }
  {
    std::lock_guard<std::mutex> lock(countsMutex_);
    status.level = windowDropped_ > 0 ? diagnostic_msgs::msg::DiagnosticStatus::WARN
                                      : diagnostic_msgs::msg::DiagnosticStatus::OK;
    status.message = fmt::format("last second: {} frames in, {} published, {} dropped", windowIn_, windowOut_,
                                 windowDropped_);
    value("frames in", std::to_string(counts_.framesIn));
    value("frames out", std::to_string(counts_.framesOut));
    std::uint64_t dropped = 0;
    for (const auto& [reason, n] : counts_.dropped) dropped += n;
    value("frames dropped", std::to_string(dropped));
    value("frames waiting for tf", std::to_string(waiting));
    for (const auto& [reason, n] : counts_.dropped) value("dropped: " + reason, std::to_string(n));
    for (const auto& name : stepOrder_) {
      summary(name, stepMs_[name]);
      const auto& points = stepPoints_[name];
      value(name + " points (in -> out)", fmt::format("{} -> {}", points.first, points.second));
    }
    summary("tf wait", tfWaitMs_);
    summary("queue wait", queueMs_);
    summary("node overhead", overheadMs_);
    summary("latency", latencyMs_);
    windowIn_ = windowOut_ = windowDropped_ = 0;
  }
  array.status.push_back(std::move(status));
  diagnosticsPub_->publish(array);
}

SceneNode::SceneNode(const rclcpp::NodeOptions& options)
    : rclcpp::Node("scene_node", options), impl_(std::make_unique<Impl>(*this)) {
  try {
    impl_->start();
  } catch (...) {
    impl_->stop();
    throw;
  }
}

SceneNode::~SceneNode() { impl_->stop(); }

SceneNode::Counts SceneNode::counts() const { return impl_->counts(); }

}  // namespace nimbrel_arm_util

RCLCPP_COMPONENTS_REGISTER_NODE(nimbrel_arm_util::SceneNode)
