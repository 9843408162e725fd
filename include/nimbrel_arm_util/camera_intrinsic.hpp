#pragma once

namespace nimbrel_arm_util {

/// Pinhole intrinsics and lens distortion of a depth camera, in pixels. Note the field order: the x axis's
/// focal length and principal point come first, then the y axis's; the five distortion coefficients follow
/// in OpenCV's order (k1, k2, p1, p2, k3). Both focal lengths must be positive and finite: the depth
/// conversion refuses any other (returns -1, logs, leaves the cloud untouched).
struct CameraIntrinsic {
  float fx;  ///< focal length along the image columns, positive
  float cx;  ///< principal point column
  float fy;  ///< focal length along the image rows, positive
  float cy;  ///< principal point row
  float k1;  ///< radial distortion 1
  float k2;  ///< radial distortion 2
  float p1;  ///< tangential distortion 1
  float p2;  ///< tangential distortion 2
  float k3;  ///< radial distortion 3
};

}  // namespace nimbrel_arm_util
