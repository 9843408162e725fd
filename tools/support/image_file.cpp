// Depth images: 16-bit single-channel PNG read with OpenCV; any image written atomically.
#include <fmt/format.h>

#include <opencv2/imgcodecs.hpp>

#include "support/files.hpp"

namespace nimbrel_tools {

namespace {

const char* depthName(int depth) {
  switch (depth) {
    case CV_8U:
      return "8-bit unsigned";
    case CV_8S:
      return "8-bit signed";
    case CV_16U:
      return "16-bit unsigned";
    case CV_16S:
      return "16-bit signed";
    case CV_32S:
      return "32-bit signed";
    case CV_32F:
      return "32-bit float";
    case CV_64F:
      return "64-bit float";
    default:
      return "unknown";
  }
}

}  // namespace

cv::Mat loadDepthImage(const std::string& path) {
  requireFile(path);
  cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
  if (image.empty()) throw ToolError(fmt::format("unreadable image {}: OpenCV cannot decode it", path));
  if (image.type() != CV_16UC1) {
    throw ToolError(fmt::format(
        "wrong image type {}: need a 16-bit single-channel depth image, got {} with {} channel(s)", path,
        depthName(image.depth()), image.channels()));
  }
  return image;
}

void saveImage(const cv::Mat& image, const std::string& path) {
  writeAtomically(path, [&](const std::string& tmp) {
    bool ok = false;
    try {
      ok = cv::imwrite(tmp, image);
    } catch (const cv::Exception& e) {
      throw ToolError(fmt::format("cannot write {}: {}", path, e.what()));
    }
    if (!ok) throw ToolError(fmt::format("cannot write {}", path));
  });
}

}  // namespace nimbrel_tools
