// Depth image to point cloud.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engines/parallel.hpp"
#include "engines/point_helpers.hpp"
#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/camera_model.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {

const char* CameraModel::modelName(DistortionModel model) {
  switch (model) {
    case DistortionModel::kRationalPolynomial:
      return "rational_polynomial";
    case DistortionModel::kEquidistant:
      return "equidistant";
    case DistortionModel::kPlumbBob:
      break;
  }
  return "plumb_bob";
}

bool CameraModel::modelFromName(const std::string& name, DistortionModel& model) {
  for (DistortionModel m :
       {DistortionModel::kPlumbBob, DistortionModel::kRationalPolynomial, DistortionModel::kEquidistant}) {
    if (name == modelName(m)) {
      model = m;
      return true;
    }
  }
  return false;
}

const char* CameraModel::coefficientCounts(DistortionModel model) {
  switch (model) {
    case DistortionModel::kRationalPolynomial:
      return "8, 12 or 14";
    case DistortionModel::kEquidistant:
      return "4";
    case DistortionModel::kPlumbBob:
      break;
  }
  return "5";
}

bool CameraModel::takesCoefficientCount(DistortionModel model, std::size_t count) {
  switch (model) {
    case DistortionModel::kRationalPolynomial:
      return count == 0 || count == 8 || count == 12 || count == 14;
    case DistortionModel::kEquidistant:
      return count == 0 || count == 4;
    case DistortionModel::kPlumbBob:
      break;
  }
  return count == 0 || count == 5;
}

namespace {

bool hasDistortion(const std::vector<double>& coefficients) {
  return std::any_of(coefficients.begin(), coefficients.end(), [](double k) { return k != 0.0; });
}

// For every undistorted pixel, the raw pixel nearest to where the lens imaged it. The float map is rounded
// to whole pixels once, as OpenCV's nearest-neighbour remap rounds it, and then read as it is; it is also
// half the size of the float map. The undistorted image keeps the camera matrix.
cv::Mat buildUndistortMap(const cv::Matx33d& cameraMatrix, DistortionModel model,
                          const std::vector<double>& coefficients, cv::Size size) {
  const cv::Mat k(cameraMatrix);
  const cv::Mat d(coefficients, true);
  cv::Mat x;
  cv::Mat y;
  cv::Mat nearest;
  if (model == DistortionModel::kEquidistant) {
    cv::fisheye::initUndistortRectifyMap(k, d, cv::Matx33d::eye(), k, size, CV_32FC1, x, y);
    cv::convertMaps(x, y, nearest, cv::noArray(), CV_16SC2, true);
  } else {
    cv::initUndistortRectifyMap(k, d.reshape(1, 1), cv::noArray(), k, size, CV_32FC2, x, cv::noArray());
    cv::convertMaps(x, cv::noArray(), nearest, cv::noArray(), CV_16SC2, true);
  }
  return nearest;
}

// Removes the lens distortion from row v of a depth image. Each output pixel takes the depth of the input
// pixel nearest to where the lens imaged it (the map holds that pixel): blending depths, as bilinear
// interpolation does, would mix a surface with a hole (0) or the two sides of an object's edge into
// points in mid-air. Pixels that come from outside the image get 0, no reading. This is the
// nearest-neighbour remap with a constant border of 0, done row by row so that the rows can be shared out
// with the rest of the work.
template <typename Pixel>
void undistortRow(const cv::Mat& raw, const cv::Mat& map, int v, Pixel* dst) {
  const short* at = map.ptr<short>(v);
  const unsigned cols = static_cast<unsigned>(raw.cols);
  const unsigned rows = static_cast<unsigned>(raw.rows);
  const std::uint8_t* data = raw.data;
  const std::size_t step = raw.step[0];
  for (int u = 0; u < map.cols; ++u) {
    // A negative position turns into a huge unsigned one: one comparison per axis.
    const unsigned x = static_cast<unsigned>(at[2 * u]);
    const unsigned y = static_cast<unsigned>(at[2 * u + 1]);
    dst[u] = x < cols && y < rows ? reinterpret_cast<const Pixel*>(data + y * step)[x] : Pixel(0);
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

std::size_t readingsIn(const float* row, int cols) {
  return static_cast<std::size_t>(std::count_if(row, row + cols, [](float z) { return z != 0.0f; }));
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

unsigned readingsMask16(const float* pixels) {
  unsigned mask = 0;
  for (int i = 0; i < 16; ++i) mask |= static_cast<unsigned>(pixels[i] != 0.0f) << i;
  return mask;
}

// The per-pixel arithmetic of the back-projection, with what depends only on the column or the row taken
// out of the loop; the products in double, in the order (offset * z) * (1 / f).
struct Projection {
  std::vector<double> dx;  // column u's offset from the principal point
  std::vector<double> dy;  // row v's offset from the principal point
  double invFx;
  double invFy;
  double unitsPerMetre;
  double widestDx = 0.0;  // largest |dx|
  double widestDy = 0.0;  // largest |dy|

  // The pixel offsets taken in float, as the record's intrinsics are.
  Projection(const CameraIntrinsic& c, cv::Size size, double units)
      : dx(static_cast<std::size_t>(size.width)),
        dy(static_cast<std::size_t>(size.height)),
        invFx(1.0 / c.fx),
        invFy(1.0 / c.fy),
        unitsPerMetre(units) {
    for (int u = 0; u < size.width; ++u) dx[static_cast<std::size_t>(u)] = static_cast<float>(u) - c.cx;
    for (int v = 0; v < size.height; ++v) dy[static_cast<std::size_t>(v)] = static_cast<float>(v) - c.cy;
  }

  // The pixel offsets taken in double, as the camera matrix is.
  Projection(const cv::Matx33d& k, cv::Size size, double units)
      : dx(static_cast<std::size_t>(size.width)),
        dy(static_cast<std::size_t>(size.height)),
        invFx(1.0 / k(0, 0)),
        invFy(1.0 / k(1, 1)),
        unitsPerMetre(units) {
    for (int u = 0; u < size.width; ++u) dx[static_cast<std::size_t>(u)] = u - k(0, 2);
    for (int v = 0; v < size.height; ++v) dy[static_cast<std::size_t>(v)] = v - k(1, 2);
    for (double d : dx) widestDx = std::max(widestDx, std::fabs(d));
    for (double d : dy) widestDy = std::max(widestDy, std::fabs(d));
  }

  // True when a point no farther than `z` metres may have an x or y beyond float's range. Compared with
  // half the float range, so that rounding in the products cannot slip past.
  bool mayOverflow(double z) const {
    const double half = 0.5 * std::numeric_limits<float>::max();
    return !(widestDx * z * invFx <= half && widestDy * z * invFy <= half);
  }

  // Writes the points of row v into [dst, end), which has room for one point per reading counted in the
  // row, and returns the end of what it wrote. Both the row and the room bound every loop: the caller's
  // image may be written by another thread between the count and this pass, and then a row holds more or
  // fewer readings than counted.
  template <typename Pixel>
  pcl::PointXYZ* row(const Pixel* pixels, int v, pcl::PointXYZ* dst, pcl::PointXYZ* end) const {
    const double rowOffset = dy[static_cast<std::size_t>(v)];
    const double* offsets = dx.data();
    const int cols = static_cast<int>(dx.size());
    const auto point = [&](int u, Pixel units) {
      // Divided, not multiplied by a reciprocal: with 1000 this is exactly the millimetre conversion.
      const double z = units / unitsPerMetre;
      return pcl::PointXYZ(static_cast<float>(offsets[u] * z * invFx),
                           static_cast<float>(rowOffset * z * invFy), static_cast<float>(z));
    };
    if ((end - dst) * 8 >= static_cast<std::ptrdiff_t>(cols) * 7) {
      // A row with few holes: every pixel is written to the next free place, which only a reading takes.
      // No branch to mispredict at each hole; the loop ends at the row's last counted reading, so no write
      // goes past the row's own points.
      for (int u = 0; u < cols && dst != end; ++u) {
        const Pixel units = pixels[u];
        *dst = point(u, units);
        dst += units != Pixel(0);
      }
    } else {
      // Sixteen pixels at a time, visiting only the readings among them: no branch per hole, and runs of
      // holes are skipped sixteen at once.
      int u = 0;
      for (; cols - u >= 16; u += 16) {
        for (unsigned mask = readingsMask16(pixels + u); mask != 0; mask &= mask - 1) {
          if (dst == end) return dst;
          // Read once and tested again: the pixel may have changed since the mask was taken.
          const int at = u + __builtin_ctz(mask);
          const Pixel units = pixels[at];
          if (units != Pixel(0)) *dst++ = point(at, units);
        }
      }
      for (; u < cols && dst != end; ++u) {
        const Pixel units = pixels[u];
        if (units != Pixel(0)) *dst++ = point(u, units);
      }
    }
    return dst;
  }
};

// Which readings count. The camera-model call keeps depths within [minZ, maxZ] metres and takes a 16-bit
// image's largest value, the no-reading marker of several drivers, and a float image's NaN, infinities and
// negative values for holes; the record call keeps every non-zero pixel as it always has.
struct Readings {
  double minZ = 0.0;
  double maxZ = std::numeric_limits<double>::infinity();
  bool screen = false;  // false: every non-zero pixel is a reading

  // Sets the holes of one row to 0, so that the counting and the projection see only readings. A depth that
  // rounds to 0 or to infinity in float (a scale far from the pixels' units) is a hole as well.
  void screenRow(std::uint16_t* row, int cols, double unitsPerMetre) const {
    const double low = std::max(minZ, kNearest);
    const double high = std::min(maxZ, kFarthest);
    for (int u = 0; u < cols; ++u) {
      const double z = row[u] / unitsPerMetre;
      if (row[u] == 0xFFFF || !(z >= low && z <= high)) row[u] = 0;
    }
  }
  void screenRow(float* row, int cols, double unitsPerMetre) const {
    const double low = std::max(minZ, kNearest);
    const double high = std::min(maxZ, kFarthest);
    for (int u = 0; u < cols; ++u) {
      const double z = row[u] / unitsPerMetre;
      if (!std::isfinite(row[u]) || !(z >= low && z <= high)) row[u] = 0.0f;
    }
  }

  // The farthest depth a kept reading of this pixel type can have.
  double farthest(int type, double unitsPerMetre) const {
    const double largest = type == CV_32FC1 ? std::numeric_limits<float>::max() : 65534.0;
    return std::min({maxZ, kFarthest, largest / unitsPerMetre});
  }

  // The nearest and farthest depths whose float is positive and finite.
  static constexpr double kNearest = std::numeric_limits<float>::denorm_min();
  static constexpr double kFarthest = std::numeric_limits<float>::max();
};

// Undistorts (when `map` is not empty), screens and back-projects `depth` into `out`, in row-major pixel
// order.
template <typename Pixel>
void convertDepth(const cv::Mat& depth, const cv::Mat& map, const Projection& projection,
                  const Readings& readings, pcl::PointCloud<pcl::PointXYZ>& out) {
  const int rows = depth.empty() ? 0 : depth.rows;
  const int cols = depth.empty() ? 0 : depth.cols;
  const bool undistort = rows > 0 && !map.empty();
  const bool copy = undistort || readings.screen;
  cv::Mat image = copy ? cv::Mat(rows, cols, depth.type()) : depth;

  // Each row's points start where the readings of the rows above it end, so rows can be written in any
  // order, or at once, and the points still come in row-major pixel order.
  std::vector<std::size_t> start(static_cast<std::size_t>(rows) + 1, 0);
  detail::ThreadBudget budget;
  const int threads =
      budget.team(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols), detail::kMinDepthPixels);
  detail::forEachStatic(rows, threads, 0, [&](long r) {
    const int v = static_cast<int>(r);
    Pixel* row = image.ptr<Pixel>(v);
    if (undistort) {
      undistortRow(depth, map, v, row);
    } else if (copy) {
      std::copy_n(depth.ptr<Pixel>(v), cols, row);
    }
    if (readings.screen) readings.screenRow(row, cols, projection.unitsPerMetre);
    start[static_cast<std::size_t>(v) + 1] = readingsIn(row, cols);
  });
  for (int v = 0; v < rows; ++v) start[static_cast<std::size_t>(v) + 1] += start[static_cast<std::size_t>(v)];
  std::size_t count = start.back();

  auto& points = out.points;
  // Sized once, reusing the cloud's storage: no per-point growth and no width update per point.
  points.resize(count);
  pcl::PointXYZ* const first = points.data();
  // Where each row's points end; short of the next row's start only when the image changed meanwhile.
  std::vector<std::size_t> filled(static_cast<std::size_t>(rows));
  detail::forEachStatic(rows, threads, 0, [&](long r) {
    const int v = static_cast<int>(r);
    const std::size_t at = static_cast<std::size_t>(r);
    const pcl::PointXYZ* end =
        projection.row(image.ptr<Pixel>(v), v, first + start[at], first + start[at + 1]);
    filled[at] = static_cast<std::size_t>(end - first);
  });
  if (!std::equal(filled.begin(), filled.end(), start.begin() + 1)) {
    // Close the gaps that rows with fewer readings than counted left, so that every point is one read.
    std::size_t kept = 0;
    for (std::size_t v = 0; v < filled.size(); ++v) {
      if (kept != start[v]) std::copy(first + start[v], first + filled[v], first + kept);
      kept += filled[v] - start[v];
    }
    points.resize(kept);
    count = kept;
  }

  // A far reading seen by an extreme camera (a tiny focal length, a principal point far outside the image)
  // may lie beyond float's range sideways; such points are holes, like readings beyond the depth range.
  // Checked only when the camera and the depths allow it at all.
  if (readings.screen && count > 0 &&
      projection.mayOverflow(readings.farthest(depth.type(), projection.unitsPerMetre))) {
    detail::keepPoints(
        out, out, [&](std::size_t i) { return std::isfinite(points[i].x) && std::isfinite(points[i].y); });
    return;
  }
  out.width = static_cast<std::uint32_t>(count);
  out.height = count == 0 ? 0 : 1;
}

bool scaleAccepted(double unitsPerMetre) {
  if (unitsPerMetre > 0.0 && std::isfinite(unitsPerMetre)) return true;
  LOG_INFO(
      "getPointCloudsFromDepthMap: depth scale of {} units per metre refused, expected a positive number",
      unitsPerMetre);
  return false;
}

// Why focal lengths fx and fy cannot be used, or an empty string. Points are scaled by 1 / f: a focal
// length that is not positive and finite, or so small that 1 / f is infinite, gives NaN or infinite
// coordinates.
std::string focalLengthFault(double fx, double fy) {
  if (!(fx > 0.0 && fy > 0.0 && std::isfinite(fx) && std::isfinite(fy)))
    return fmt::format("its focal lengths {} and {} are not both positive and finite", fx, fy);
  if (!std::isfinite(1.0 / fx) || !std::isfinite(1.0 / fy))
    return fmt::format("its focal lengths {} and {} are too small to divide by", fx, fy);
  return {};
}

// Why the camera model cannot be used, or an empty string.
std::string cameraModelFault(const CameraModel& camera) {
  const cv::Matx33d& k = camera.cameraMatrix;
  for (int i = 0; i < 9; ++i) {
    if (!std::isfinite(k.val[i])) return "its camera matrix holds a value that is not finite";
  }
  std::string focal = focalLengthFault(k(0, 0), k(1, 1));
  if (!focal.empty()) return focal;
  if (k(0, 1) != 0.0 || k(1, 0) != 0.0 || k(2, 0) != 0.0 || k(2, 1) != 0.0 || k(2, 2) != 1.0)
    return "its camera matrix is not of the form fx 0 cx / 0 fy cy / 0 0 1";
  const std::size_t n = camera.coefficients.size();
  if (!CameraModel::takesCoefficientCount(camera.distortionModel, n))
    return fmt::format("the {} model takes {} coefficients, not {}",
                       CameraModel::modelName(camera.distortionModel),
                       CameraModel::coefficientCounts(camera.distortionModel), n);
  for (double c : camera.coefficients) {
    if (!std::isfinite(c)) return "a distortion coefficient is not finite";
  }
  return {};
}

}  // namespace

int PointCloudsDeal::getPointCloudsFromDepthMap(CloudPtr out, cv::Mat& depth, CameraIntrinsic intrinsic) {
  return getPointCloudsFromDepthMap(out, depth, intrinsic, 1000.0);
}

int PointCloudsDeal::getPointCloudsFromDepthMap(CloudPtr out, cv::Mat& depth, CameraIntrinsic intrinsic,
                                                double unitsPerMetre) {
  if (!scaleAccepted(unitsPerMetre)) return -1;
  // The record is checked as the plumb_bob camera it describes: one rule for both calls.
  const std::string fault = cameraModelFault(CameraModel::fromIntrinsic(intrinsic));
  if (!fault.empty()) {
    LOG_INFO("getPointCloudsFromDepthMap: camera intrinsics refused: {}", fault);
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
  const std::vector<double> coefficients{intrinsic.k1, intrinsic.k2, intrinsic.p1, intrinsic.p2,
                                         intrinsic.k3};
  cv::Matx33d k = cv::Matx33d::eye();
  k(0, 0) = intrinsic.fx;
  k(0, 2) = intrinsic.cx;
  k(1, 1) = intrinsic.fy;
  k(1, 2) = intrinsic.cy;
  // Built on every call: the call keeps nothing between calls and takes no lock.
  const cv::Mat map = !depth.empty() && hasDistortion(coefficients)
                          ? buildUndistortMap(k, DistortionModel::kPlumbBob, coefficients, depth.size())
                          : cv::Mat();
  convertDepth<std::uint16_t>(depth, map, Projection(intrinsic, depth.size(), unitsPerMetre), Readings(),
                              *out);
  return 0;
}

int PointCloudsDeal::getPointCloudsFromDepthMap(CloudPtr out, const cv::Mat& depth, const CameraModel& camera,
                                                double unitsPerMetre, double minDepth, double maxDepth) {
  if (!scaleAccepted(unitsPerMetre)) return -1;
  const std::string fault = cameraModelFault(camera);
  if (!fault.empty()) {
    LOG_INFO("getPointCloudsFromDepthMap: camera model refused: {}", fault);
    return -1;
  }
  if (!(minDepth >= 0.0 && maxDepth >= minDepth)) {
    LOG_INFO("getPointCloudsFromDepthMap: depth range {} to {} m refused, expected 0 <= minimum <= maximum",
             minDepth, maxDepth);
    return -1;
  }
  if (!depth.empty() && ((depth.type() != CV_16UC1 && depth.type() != CV_32FC1) || depth.dims != 2)) {
    LOG_INFO(
        "getPointCloudsFromDepthMap: depth image of type {} with {} dimensions refused, expected a 2-D "
        "CV_16UC1 or CV_32FC1 image",
        cv::typeToString(depth.type()), depth.dims);
    return -1;
  }
  const cv::Mat map =
      !depth.empty() && hasDistortion(camera.coefficients)
          ? buildUndistortMap(camera.cameraMatrix, camera.distortionModel, camera.coefficients, depth.size())
          : cv::Mat();
  const Projection projection(camera.cameraMatrix, depth.size(), unitsPerMetre);
  Readings readings;
  readings.minZ = minDepth;
  readings.maxZ = maxDepth;
  readings.screen = true;
  if (depth.type() == CV_32FC1) {
    convertDepth<float>(depth, map, projection, readings, *out);
  } else {
    convertDepth<std::uint16_t>(depth, map, projection, readings, *out);
  }
  return 0;
}

}  // namespace nimbrel_arm_util
