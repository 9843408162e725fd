// Top and side views of point clouds.
#include "support/render.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace nimbrel_tools {
namespace {

struct Range {
  double lo = 0.0;
  double hi = 1.0;
  double span() const { return hi - lo; }
};

// The 0.5th and 99.5th percentiles of one coordinate over all layers, padded: a handful of flying pixels
// must not shrink the scene into a corner of the picture.
Range robustRange(const std::vector<RenderLayer>& layers, int axis) {
  std::vector<float> values;
  for (const auto& layer : layers) {
    if (!layer.fitView) continue;
    for (const auto& p : layer.cloud->points) {
      const float v = axis == 0 ? p.x : (axis == 1 ? p.y : p.z);
      if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) values.push_back(v);
    }
  }
  Range r;
  if (values.empty()) return r;
  std::sort(values.begin(), values.end());
  const auto at = [&](double q) {
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
  };
  r.lo = at(0.005);
  r.hi = at(0.995);
  const double pad = std::max(0.05 * (r.hi - r.lo), 0.02);
  r.lo -= pad;
  r.hi += pad;
  return r;
}

}  // namespace

double gridStep(double pixelsPerMetre) {
  // Lines at least this far apart leave room for a label at every other one.
  constexpr double kMinPixels = 35.0;
  const double least = kMinPixels / pixelsPerMetre;
  const double decade = std::pow(10.0, std::floor(std::log10(least)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (m * decade >= least * (1 - 1e-9)) return m * decade;
  }
  return 10.0 * decade;
}

namespace {

const cv::Scalar kInk(40, 40, 40);
const cv::Scalar kGrid(225, 225, 225);

// One panel: horizontal axis x, vertical axis `vAxis` (1 = y, 2 = z), pixel scale `scale` per metre.
void drawPanel(cv::Mat& image, cv::Rect area, const std::vector<RenderLayer>& layers, Range h, Range v,
               double scale, int vAxis, const std::string& title) {
  cv::rectangle(image, area, kInk, 1);
  const auto toPixel = [&](double x, double y) {
    return cv::Point(area.x + static_cast<int>(std::lround((x - h.lo) * scale)),
                     area.y + area.height - 1 - static_cast<int>(std::lround((y - v.lo) * scale)));
  };
  // Grid lines at a 1-2-5 step that keeps them apart whatever the extent, labelled every other line;
  // lines are counted, not summed, so that a long axis does not drift off the round values.
  const double step = gridStep(scale);
  const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(2.0 * step) + 1e-9)));
  const auto label = [&](double value, cv::Point at, bool centred) {
    const std::string text = fmt::format("{:.{}f}", std::abs(value) < step / 2 ? 0.0 : value, decimals);
    int base = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.4, 1, &base);
    const cv::Point corner =
        centred ? cv::Point(at.x - size.width / 2, at.y) : cv::Point(at.x - size.width, at.y);
    cv::putText(image, text, corner, cv::FONT_HERSHEY_SIMPLEX, 0.4, kInk, 1, cv::LINE_AA);
  };
  for (long i = static_cast<long>(std::ceil(h.lo / step)); i * step <= h.hi; ++i) {
    const cv::Point p = toPixel(static_cast<double>(i) * step, v.lo);
    cv::line(image, {p.x, area.y + 1}, {p.x, area.y + area.height - 2}, kGrid, 1);
    if (i % 2 == 0) label(static_cast<double>(i) * step, {p.x, area.y + area.height + 16}, true);
  }
  for (long i = static_cast<long>(std::ceil(v.lo / step)); i * step <= v.hi; ++i) {
    const cv::Point p = toPixel(h.lo, static_cast<double>(i) * step);
    cv::line(image, {area.x + 1, p.y}, {area.x + area.width - 2, p.y}, kGrid, 1);
    if (i % 2 == 0) label(static_cast<double>(i) * step, {area.x - 4, p.y + 4}, false);
  }
  cv::Mat clip = image(area);
  for (const auto& layer : layers) {
    for (const auto& p : layer.cloud->points) {
      if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
      const double vv = vAxis == 1 ? p.y : p.z;
      cv::Point q = toPixel(p.x, vv) - cv::Point(area.x, area.y);
      if (q.x < 0 || q.y < 0 || q.x >= area.width || q.y >= area.height) continue;
      if (layer.dotRadius <= 0) {
        clip.at<cv::Vec3b>(q) =
            cv::Vec3b(static_cast<uchar>(layer.colour[0]), static_cast<uchar>(layer.colour[1]),
                      static_cast<uchar>(layer.colour[2]));
      } else {
        cv::circle(clip, q, layer.dotRadius, layer.colour, cv::FILLED, cv::LINE_8);
      }
    }
  }
  cv::putText(image, title, {area.x, area.y - 8}, cv::FONT_HERSHEY_SIMPLEX, 0.5, kInk, 1, cv::LINE_AA);
}

}  // namespace

cv::Scalar layerColour(std::size_t i) {
  static const cv::Scalar palette[] = {{180, 119, 31},  {14, 127, 255}, {44, 160, 44},   {40, 39, 214},
                                       {189, 103, 148}, {75, 86, 140},  {194, 119, 227}, {127, 127, 127},
                                       {34, 189, 188},  {207, 190, 23}};
  return palette[i % 10];
}

cv::Mat renderViews(const std::vector<RenderLayer>& layers, const RenderOptions& options) {
  const Range rx = robustRange(layers, 0);
  const Range ry = robustRange(layers, 1);
  const Range rz = robustRange(layers, 2);
  const int margin = 50;
  const int plotWidth = std::max(options.width - 2 * margin, 100);
  const double scale = plotWidth / std::max(rx.span(), 1e-6);
  // Keep each panel within a sensible height even for a long, thin scene.
  const auto panelHeight = [&](const Range& r) {
    return std::clamp(static_cast<int>(std::lround(r.span() * scale)), 40, 2 * plotWidth);
  };
  const int topHeight = panelHeight(ry);
  const int sideHeight = panelHeight(rz);
  const int titleHeight = options.title.empty() ? 0 : 30;
  const int legendRows = static_cast<int>(layers.size() + options.notes.size());
  const int height = titleHeight + margin + topHeight + margin + sideHeight + margin + 22 * legendRows + 10;

  cv::Mat image(height, options.width, CV_8UC3, cv::Scalar(255, 255, 255));
  if (!options.title.empty()) {
    cv::putText(image, options.title, {margin, 24}, cv::FONT_HERSHEY_SIMPLEX, 0.65, kInk, 1, cv::LINE_AA);
  }
  const cv::Rect top(margin, titleHeight + margin, plotWidth, topHeight);
  const cv::Rect side(margin, top.y + topHeight + margin, plotWidth, sideHeight);
  // Vertical scales match the horizontal one so that shapes are not distorted.
  const Range vy{ry.lo, ry.lo + topHeight / scale};
  const Range vz{rz.lo, rz.lo + sideHeight / scale};
  drawPanel(image, top, layers, rx, vy, scale, 1, "top view: x to the right, y up (m)");
  drawPanel(image, side, layers, rx, vz, scale, 2, "side view: x to the right, z up (m)");

  int y = side.y + sideHeight + margin;
  for (const auto& layer : layers) {
    cv::rectangle(image, {margin, y - 11, 14, 14}, layer.colour, cv::FILLED);
    cv::putText(image, fmt::format("{} ({} points)", layer.label, layer.cloud->size()), {margin + 22, y},
                cv::FONT_HERSHEY_SIMPLEX, 0.5, kInk, 1, cv::LINE_AA);
    y += 22;
  }
  for (const auto& note : options.notes) {
    cv::putText(image, note, {margin, y}, cv::FONT_HERSHEY_SIMPLEX, 0.5, kInk, 1, cv::LINE_AA);
    y += 22;
  }
  return image;
}

}  // namespace nimbrel_tools
