// Depth image to point cloud.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace {

bool hasDistortion(const CameraIntrinsic& c) {
  return c.k1 != 0.0f || c.k2 != 0.0f || c.p1 != 0.0f || c.p2 != 0.0f || c.k3 != 0.0f;
}

// For every undistorted pixel, the raw pixel nearest to where the lens imaged it. The float map is rounded
// to whole pixels once, as OpenCV's nearest-neighbour remap rounds it, and then read as it is; it is also
// half the size of the float map.
cv::Mat buildUndistortMap(const CameraIntrinsic& c, cv::Size size) {
  cv::Mat cameraMatrix = cv::Mat::zeros(3, 3, CV_64F);
  cameraMatrix.at<double>(0, 0) = c.fx;
  cameraMatrix.at<double>(0, 2) = c.cx;
  cameraMatrix.at<double>(1, 1) = c.fy;
  cameraMatrix.at<double>(1, 2) = c.cy;
  cameraMatrix.at<double>(2, 2) = 1.0;
  cv::Mat coefficients = (cv::Mat_<double>(1, 5) << c.k1, c.k2, c.p1, c.p2, c.k3);

  cv::Mat positions;
  cv::initUndistortRectifyMap(cameraMatrix, coefficients, cv::noArray(), cameraMatrix, size, CV_32FC2,
                              positions, cv::noArray());
  cv::Mat nearest;
  cv::convertMaps(positions, cv::noArray(), nearest, cv::noArray(), CV_16SC2, true);
  return nearest;
}

// Removes the lens distortion from row v of a depth image. Each output pixel takes the depth of the input
// pixel nearest to where the lens imaged it (the map holds that pixel): blending depths, as bilinear
// interpolation does, would mix a surface with a hole (0) or the two sides of an object's edge into
// points in mid-air. Pixels that come from outside the image get 0, no reading. This is the
// nearest-neighbour remap with a constant border of 0, done row by row so that the rows can be shared out
// with the rest of the work.
void undistortRow(const cv::Mat& raw, const cv::Mat& map, int v, std::uint16_t* dst) {
  const short* at = map.ptr<short>(v);
  const unsigned cols = static_cast<unsigned>(raw.cols);
  const unsigned rows = static_cast<unsigned>(raw.rows);
  const std::uint8_t* data = raw.data;
  const std::size_t step = raw.step[0];
  for (int u = 0; u < map.cols; ++u) {
    // A negative position turns into a huge unsigned one: one comparison per axis.
    const unsigned x = static_cast<unsigned>(at[2 * u]);
    const unsigned y = static_cast<unsigned>(at[2 * u + 1]);
    dst[u] = x < cols && y < rows ? reinterpret_cast<const std::uint16_t*>(data + y * step)[x] : 0;
  }
}

std::size_t readingsIn(const std::uint16_t* row, int cols) {
  std::size_t n = 0;
  // Counted in 16 bits, in pieces that cannot overflow them, so that the compiler can count eight pixels
  // at a time without widening.
  for (int begin = 0; begin < cols;) {
    const int end = cols - begin > 65535 ? begin + 65535 : cols;
    std::uint16_t piece = 0;
    for (int u = begin; u < end; ++u) piece = static_cast<std::uint16_t>(piece + (row[u] != 0));
    n += piece;
    begin = end;
  }
  return n;
}

// Bit i set when pixel i of the sixteen from `pixels` holds a reading.
unsigned readingsMask16(const std::uint16_t* pixels) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels)), zero);
  const __m128i high = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 8)), zero);
  return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high))) & 0xFFFFu;
#else
  unsigned mask = 0;
  for (int i = 0; i < 16; ++i) mask |= static_cast<unsigned>(pixels[i] != 0) << i;
  return mask;
#endif
}

// The per-pixel arithmetic of the back-projection, with what depends only on the column or the row taken
// out of the loop. The pixel offsets are taken in float, as the camera's intrinsics are; the products in
// double, in the order (offset * z) * (1 / f).
struct Projection {
  std::vector<double> dx;  // column u's offset from the principal point
  float cy;
  double invFx;
  double invFy;
  double unitsPerMetre;

  Projection(const CameraIntrinsic& c, int cols, double units)
      : dx(static_cast<std::size_t>(cols)),
        cy(c.cy),
        invFx(1.0 / c.fx),
        invFy(1.0 / c.fy),
        unitsPerMetre(units) {
    for (int u = 0; u < cols; ++u) dx[static_cast<std::size_t>(u)] = static_cast<float>(u) - c.cx;
  }

  // Writes the points of row v into [dst, end), which holds exactly one point per reading of the row.
  void row(const std::uint16_t* pixels, int v, pcl::PointXYZ* dst, pcl::PointXYZ* end) const {
    const double dy = static_cast<float>(v) - cy;
    const double* offsets = dx.data();
    const int cols = static_cast<int>(dx.size());
    const auto point = [&](int u, std::uint16_t units) {
      // Divided, not multiplied by a reciprocal: with 1000 this is exactly the millimetre conversion.
      const double z = units / unitsPerMetre;
      return pcl::PointXYZ(static_cast<float>(offsets[u] * z * invFx), static_cast<float>(dy * z * invFy),
                           static_cast<float>(z));
    };
    if ((end - dst) * 8 >= static_cast<std::ptrdiff_t>(cols) * 7) {
      // A row with few holes: every pixel is written to the next free place, which only a reading takes.
      // No branch to mispredict at each hole; the loop ends at the row's last reading, so no write goes
      // past the row's own points.
      for (int u = 0; dst != end; ++u) {
        const std::uint16_t units = pixels[u];
        *dst = point(u, units);
        dst += units != 0;
      }
    } else {
      // Sixteen pixels at a time, visiting only the readings among them: no branch per hole, and runs of
      // holes are skipped sixteen at once.
      int u = 0;
      for (; cols - u >= 16; u += 16) {
        for (unsigned mask = readingsMask16(pixels + u); mask != 0; mask &= mask - 1) {
          const int at = u + __builtin_ctz(mask);
          *dst++ = point(at, pixels[at]);
        }
      }
      for (; u < cols; ++u) {
        if (pixels[u] != 0) *dst++ = point(u, pixels[u]);
      }
    }
  }
};

#ifdef NIMBREL_WITH_OPENMP
// Below this many pixels the threads cost more than they save.
constexpr long kParallelPixels = 64 * 1024;
#endif

}  // namespace

int PointCloudsDeal::getPointCloudsFromDepthMap(CloudPtr out, cv::Mat& depth, CameraIntrinsic intrinsic) {
  return getPointCloudsFromDepthMap(out, depth, intrinsic, 1000.0);
}

int PointCloudsDeal::getPointCloudsFromDepthMap(CloudPtr out, cv::Mat& depth, CameraIntrinsic intrinsic,
                                                double unitsPerMetre) {
  if (!(unitsPerMetre > 0.0 && std::isfinite(unitsPerMetre))) {
    LOG_INFO(
        "getPointCloudsFromDepthMap: depth scale of {} units per metre refused, expected a positive number",
        unitsPerMetre);
    return -1;
  }
  // Reading another element type as 16-bit values would misread it and run past the end of the data.
  if (!depth.empty() && (depth.type() != CV_16UC1 || depth.dims != 2)) {
    LOG_INFO(
        "getPointCloudsFromDepthMap: depth image of type {} with {} dimensions refused, expected a 2-D "
        "CV_16UC1 image (millimetres)",
        cv::typeToString(depth.type()), depth.dims);
    return -1;
  }

  const int rows = depth.empty() ? 0 : depth.rows;
  const int cols = depth.empty() ? 0 : depth.cols;
  const bool undistort = rows > 0 && hasDistortion(intrinsic);
  // Built on every call: the call keeps nothing between calls and takes no lock.
  const cv::Mat map = undistort ? buildUndistortMap(intrinsic, depth.size()) : cv::Mat();
  cv::Mat image = undistort ? cv::Mat(rows, cols, CV_16UC1) : depth;

  // Each row's points start where the readings of the rows above it end, so rows can be written in any
  // order, or at once, and the points still come in row-major pixel order.
  std::vector<std::size_t> start(static_cast<std::size_t>(rows) + 1, 0);
  const Projection projection(intrinsic, cols, unitsPerMetre);
#ifdef NIMBREL_WITH_OPENMP
  const bool parallel = static_cast<long>(rows) * cols >= kParallelPixels;
#pragma omp parallel for schedule(static) if (parallel)
#endif
  for (int v = 0; v < rows; ++v) {
    if (undistort) undistortRow(depth, map, v, image.ptr<std::uint16_t>(v));
    start[static_cast<std::size_t>(v) + 1] = readingsIn(image.ptr<std::uint16_t>(v), cols);
  }
  for (int v = 0; v < rows; ++v) start[static_cast<std::size_t>(v) + 1] += start[static_cast<std::size_t>(v)];
  const std::size_t count = start.back();

  auto& points = out->points;
  // Sized once, reusing the cloud's storage: no per-point growth and no width update per point.
  points.resize(count);
  pcl::PointXYZ* const first = points.data();
#ifdef NIMBREL_WITH_OPENMP
#pragma omp parallel for schedule(static) if (parallel)
#endif
  for (int v = 0; v < rows; ++v)
    projection.row(image.ptr<std::uint16_t>(v), v, first + start[static_cast<std::size_t>(v)],
                   first + start[static_cast<std::size_t>(v) + 1]);

  out->width = static_cast<std::uint32_t>(count);
  out->height = count == 0 ? 0 : 1;
  return 0;
}

}  // namespace nimbrel_arm_util
