// Renders point clouds into one picture: a top view (x to the right, y up) above a side view (x to the
// right, z up), on a shared metric grid, with a legend. Later layers are drawn over earlier ones.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

namespace nimbrel_tools {

struct RenderLayer {
  const pcl::PointCloud<pcl::PointXYZ>* cloud = nullptr;
  cv::Scalar colour;  ///< BGR
  std::string label;
  int dotRadius = 1;
  bool fitView = true;  ///< false: drawn, but not used to choose the picture's extent
};

struct RenderOptions {
  std::string title;
  std::vector<std::string> notes;  ///< lines written under the legend
  int width = 1000;                ///< picture width in pixels; the height follows from the scene's extent
};

/// The grid's spacing in metres for a view of `pixelsPerMetre`: 1, 2 or 5 times a power of ten, lines at
/// least 35 pixels apart (labelled every other line).
double gridStep(double pixelsPerMetre);

/// A qualitative colour for layer `i` (cycles after ten).
cv::Scalar layerColour(std::size_t i);

/// Draws the layers; non-finite points are skipped. The view covers the layers' points (robust to a few
/// far outliers). Returns a CV_8UC3 image.
cv::Mat renderViews(const std::vector<RenderLayer>& layers, const RenderOptions& options);

}  // namespace nimbrel_tools
