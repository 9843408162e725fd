// The camera matrix check that both readers of camera_info, the node's messages and the tool's files, apply.
#include "nimbrel_arm_util/camera_model.hpp"

#include <fmt/format.h>

#include <cmath>

namespace nimbrel_arm_util {

std::string CameraModel::cameraMatrixProblem(const cv::Matx33d& k, double imageHeight) {
  for (int i = 0; i < 9; ++i) {
    if (!std::isfinite(k.val[i])) return "the camera matrix holds a value that is not finite";
  }
  if (!(k(0, 0) > 0.0 && k(1, 1) > 0.0))
    return fmt::format("focal lengths fx {} and fy {} must be positive", k(0, 0), k(1, 1));
  if (k(1, 0) != 0.0 || k(2, 0) != 0.0 || k(2, 1) != 0.0 || k(2, 2) != 1.0)
    return "the camera matrix is not fx s cx / 0 fy cy / 0 0 1";
  // A calibrator's fisheye fit leaves a tiny skew s (0.06 for fx 322, say). Over the image's height it moves
  // a pixel by s * height / fy: below half a pixel, what the nearest-pixel undistortion rounds anyway, it
  // may be dropped; above, the model, which has no skew, would place points wrongly.
  const double height = imageHeight > 0.0 ? imageHeight : 2.0 * std::abs(k(1, 2)) + 1.0;  // about 2 cy
  const double skewShift = std::abs(k(0, 1)) * height / k(1, 1);
  if (skewShift > 0.5) {
    return fmt::format("the camera matrix has a skew of {} (moves pixels by up to {:.2f} px; not supported)",
                       k(0, 1), skewShift);
  }
  return "";
}

}  // namespace nimbrel_arm_util
