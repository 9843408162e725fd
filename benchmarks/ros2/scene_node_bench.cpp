// The scene node at camera rate through the real middleware, beside the same frames through FramePipeline
// called directly in one process.
//
//   pipeline/in_process     FramePipeline::process on a 640x480 frame (leaf 0.01, tool, a box, a fast mesh)
//   node/30Hz               the same frames published at 30 Hz to a SceneNode spun by NimbrelNodeMultiThread
//                           in this process, through DDS; counters: latency from stamp to the cloud's arrival
//                           (median, p95), frames dropped, the node's own overhead per frame (median, from
//                           its diagnostics) and end-to-end minus the in-process pipeline (median)
//
// NIMBREL_BENCH_FRAMES sets the number of frames sent (default 150, five seconds).
#include <benchmark/benchmark.h>
#include <tf2_ros/static_transform_broadcaster.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/camera_info.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <sensor_msgs/msg/point_cloud2.hpp>
#include <string>
#include <thread>
#include <vector>

#include "nimbrel_arm_util/frame_pipeline.hpp"
#include "nimbrel_arm_util/nimbrel_node_multi_thread.hpp"
#include "nimbrel_arm_util/nimbrel_node_thread.hpp"
#include "nimbrel_arm_util/scene_node.hpp"
#include "ros_conversions.hpp"
#include "support/files.hpp"
#include "support/geometry.hpp"
#include "support/scene_file.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using sensor_msgs::msg::CameraInfo;
using sensor_msgs::msg::Image;
using sensor_msgs::msg::PointCloud2;

constexpr int kWidth = 640, kHeight = 480;

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[(v.size() - 1) / 2];
}
double p95(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(0.95 * static_cast<double>(v.size())))];
}

// The bench's scene: a camera 1 m above base_link looking down, the tool and a box in view, a ball mesh.
struct Setup {
  fs::path dir;
  CameraInfo info;
  cv::Mat depth = nimbrel_test::makeFloorDepthImage(kWidth, kHeight);
  geometry_msgs::msg::TransformStamped camera;

  Setup() {
    dir = fs::temp_directory_path() / ("nimbrel_scene_bench_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    nimbrel_tools::saveMesh(nimbrel_test::makeIcosphere(3, 0.07f), (dir / "ball.ply").string());
    std::ofstream(dir / "scene.yaml")
        << "tool: {pose: {position: [-0.1, -0.1, 0.05]}, half_size: [0.04, 0.05, 0.06], margin: 0.02}\n"
           "boxes:\n  - {pose: {position: [0.2, 0.1, 0.0]}, size: [0.2, 0.12, 0.1], margin: 0.015}\n"
           "meshes:\n  - {file: ball.ply, method: fast, pose: {position: [-0.2, 0.25, 0.0]}}\n";
    info.header.frame_id = "camera";
    info.width = kWidth;
    info.height = kHeight;
    info.k = {525.0, 0, 319.5, 0, 525.0, 239.5, 0, 0, 1};
    info.distortion_model = "plumb_bob";
    info.d = {-0.04, 0.012, 0.0006, -0.0004, 0.0};
    camera.header.frame_id = "base_link";
    camera.child_frame_id = "camera";
    camera.transform.translation.z = 1.0;
    camera.transform.rotation.x = -M_SQRT1_2;
    camera.transform.rotation.y = M_SQRT1_2;
  }
  ~Setup() { fs::remove_all(dir); }

  nimbrel_arm_util::FramePipelineConfig config() const {
    nimbrel_arm_util::FramePipelineConfig c;
    c.cropBox = {-1.5, 1.5, -1.5, 1.5, 0.3, 2.0};
    c.leafSize = 0.01;
    c.meanK = 30;
    c.stddevMulThresh = 2.0;
    c.scene = nimbrel_tools::loadScene((dir / "scene.yaml").string());
    return c;
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

double pipelineMedianMs = 0.0;

void BM_PipelineInProcess(benchmark::State& state) {
  const nimbrel_arm_util::FramePipeline pipeline(setup().config());
  nimbrel_arm_util::CameraModel camera;
  nimbrel_arm_util::cameraModelFrom(setup().info, camera);
  const Eigen::Matrix4d cameraToBase = nimbrel_arm_util::transformMatrix(setup().camera.transform);
  nimbrel_arm_util::FramePipeline::CloudPtr out(new nimbrel_arm_util::FramePipeline::Cloud);
  std::vector<double> ms;
  for (auto _ : state) {
    const auto start = Clock::now();
    pipeline.process(setup().depth, camera, 1000.0, cameraToBase, pipeline.configuredPoses(), out);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  pipelineMedianMs = median(ms);
  state.counters["points"] = static_cast<double>(out->size());
  state.counters["median_ms"] = pipelineMedianMs;
}
BENCHMARK(BM_PipelineInProcess)->Name("pipeline/in_process")->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_SceneNodeAt30Hz(benchmark::State& state) {
  const char* env = std::getenv("NIMBREL_BENCH_FRAMES");
  const int frames = env != nullptr ? std::max(1, std::atoi(env)) : 150;
  Setup& s = setup();
  std::vector<rclcpp::Parameter> parameters = {
      {"scene_file", (s.dir / "scene.yaml").string()},
      {"crop_box", std::vector<double>{-1.5, 1.5, -1.5, 1.5, 0.3, 2.0}},
      {"leaf_size", 0.01},
      {"outlier_mean_k", 30},
      {"outlier_stddev", 2.0},
      {"tf_timeout", 0.5}};
  for (auto _ : state) {
    auto node =
        std::make_shared<nimbrel_arm_util::SceneNode>(rclcpp::NodeOptions().parameter_overrides(parameters));
    nimbrel_arm_util::NimbrelNodeMultiThread nodeSpinner(node->get_node_base_interface());
    auto peer = std::make_shared<rclcpp::Node>("camera_driver");
    auto images = peer->create_publisher<Image>("depth/image_raw", rclcpp::SensorDataQoS());
    auto infos = peer->create_publisher<CameraInfo>("depth/camera_info", rclcpp::SensorDataQoS());
    tf2_ros::StaticTransformBroadcaster staticTf(*peer);
    std::mutex mutex;
    std::map<std::int64_t, Clock::time_point> sent;
    std::vector<double> latencyMs, endToEndMs, overheadMs;
    auto points =
        peer->create_subscription<PointCloud2>("points", rclcpp::QoS(10), [&](PointCloud2::ConstSharedPtr m) {
          const auto now = Clock::now();
          std::lock_guard<std::mutex> lock(mutex);
          const auto it = sent.find(rclcpp::Time(m->header.stamp).nanoseconds());
          if (it == sent.end()) return;
          endToEndMs.push_back(std::chrono::duration<double, std::milli>(now - it->second).count());
          latencyMs.push_back((peer->now() - rclcpp::Time(m->header.stamp)).seconds() * 1000.0);
        });
    auto diagnostics = peer->create_subscription<diagnostic_msgs::msg::DiagnosticArray>(
        "/diagnostics", rclcpp::QoS(10), [&](diagnostic_msgs::msg::DiagnosticArray::ConstSharedPtr a) {
          for (const auto& status : a->status) {
            for (const auto& kv : status.values) {
              if (kv.key.rfind("node overhead", 0) == 0 && kv.value.rfind("0.00 / 0.00", 0) != 0) {
                std::lock_guard<std::mutex> lock(mutex);
                overheadMs.push_back(std::stod(kv.value));
              }
            }
          }
        });
    nimbrel_arm_util::NimbrelNodeThread peerSpinner(peer->get_node_base_interface());
    staticTf.sendTransform(s.camera);
    while (images->get_subscription_count() == 0 || infos->get_subscription_count() == 0 ||
           points->get_publisher_count() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Image image;
    image.header.frame_id = "camera";
    image.encoding = "16UC1";
    image.width = kWidth;
    image.height = kHeight;
    image.step = kWidth * 2;
    image.data.assign(s.depth.data, s.depth.data + s.depth.total() * 2);

    const auto period = std::chrono::nanoseconds(1000000000 / 30);
    auto next = Clock::now();
    const auto start = next;
    for (int i = 0; i < frames; ++i) {
      std::this_thread::sleep_until(next);
      next += period;
      const auto stamp = peer->now();
      s.info.header.stamp = stamp;
      infos->publish(s.info);
      image.header.stamp = stamp;
      {
        std::lock_guard<std::mutex> lock(mutex);
        sent[stamp.nanoseconds()] = Clock::now();
      }
      images->publish(image);
    }
    // Let the last frames and one more diagnostics message through.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    const auto counts = node->counts();
    std::lock_guard<std::mutex> lock(mutex);
    state.counters["frames_sent"] = frames;
    state.counters["frames_in"] = static_cast<double>(counts.framesIn);
    state.counters["frames_out"] = static_cast<double>(counts.framesOut);
    state.counters["dropped"] = static_cast<double>(frames) - static_cast<double>(endToEndMs.size());
    for (const auto& [reason, n] : counts.dropped)
      state.counters["dropped_" + reason] = static_cast<double>(n);
    state.counters["latency_median_ms"] = median(latencyMs);
    state.counters["latency_p95_ms"] = p95(latencyMs);
    state.counters["node_overhead_median_ms"] = median(overheadMs);
    state.counters["e2e_minus_pipeline_median_ms"] = median(endToEndMs) - pipelineMedianMs;
  }
}
BENCHMARK(BM_SceneNodeAt30Hz)
    ->Name("node/30Hz")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  rclcpp::init(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  rclcpp::shutdown();
  return 0;
}
