#pragma once

#include <cstddef>
#include <opencv2/core/matx.hpp>
#include <string>
#include <vector>

#include "nimbrel_arm_util/camera_intrinsic.hpp"

namespace nimbrel_arm_util {

/// Lens distortion models, under the names ROS camera_info messages give them.
enum class DistortionModel {
  kPlumbBob,            ///< "plumb_bob": k1, k2, p1, p2, k3 (5 coefficients)
  kRationalPolynomial,  ///< "rational_polynomial": k1, k2, p1, p2, k3, k4, k5, k6 (8), then s1..s4 (12),
                        ///< then tauX, tauY (14), in OpenCV's order
  kEquidistant,         ///< "equidistant", the fisheye model: k1, k2, k3, k4 (4 coefficients)
};

/// A depth camera's pinhole matrix and lens distortion, as a ROS camera_info message carries them (`k`,
/// `distortion_model`, `d`).
struct CameraModel {
  /// fx 0 cx / 0 fy cy / 0 0 1, in pixels; fx and fy positive, no skew.
  cv::Matx33d cameraMatrix = cv::Matx33d::eye();
  DistortionModel distortionModel = DistortionModel::kPlumbBob;  ///< which lens model `coefficients` follow
  /// The model's coefficients in the order above; empty (or all zero) means no distortion.
  std::vector<double> coefficients;

  /// The plumb_bob camera of a CameraIntrinsic record (its floats widened to double), for the camera-model
  /// calls: one conversion for every caller that holds a record.
  static CameraModel fromIntrinsic(const CameraIntrinsic& intrinsic) {
    CameraModel camera;
    camera.cameraMatrix =
        cv::Matx33d(intrinsic.fx, 0.0, intrinsic.cx, 0.0, intrinsic.fy, intrinsic.cy, 0.0, 0.0, 1.0);
    camera.distortionModel = DistortionModel::kPlumbBob;
    camera.coefficients = {intrinsic.k1, intrinsic.k2, intrinsic.p1, intrinsic.p2, intrinsic.k3};
    return camera;
  }

  /// The model's ROS name, "plumb_bob", "rational_polynomial" or "equidistant".
  static const char* modelName(DistortionModel model);
  /// Reads a ROS model name into `model`; false, leaving `model` alone, for a name not listed above.
  static bool modelFromName(const std::string& name, DistortionModel& model);
  /// The coefficient counts a model takes besides none at all, in words: "5", "8, 12 or 14", "4".
  static const char* coefficientCounts(DistortionModel model);
  /// True when `count` coefficients suit `model` (0 always does).
  static bool takesCoefficientCount(DistortionModel model, std::size_t count);
  /// Why `k`, a camera_info's 3x3 matrix, cannot serve as cameraMatrix, or "" when it can: finite, fx and fy
  /// positive, rows fx s cx / 0 fy cy / 0 0 1, and a skew s that moves no pixel by more than half a pixel
  /// over `imageHeight` rows (0 when unknown: about 2 cy). Such a small skew is dropped by the caller.
  static std::string cameraMatrixProblem(const cv::Matx33d& k, double imageHeight);
};

}  // namespace nimbrel_arm_util
