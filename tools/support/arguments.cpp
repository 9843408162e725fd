// Command-line arguments: transforms (4x4 matrices or a translation and quaternion), poses, 3-vectors and
// the PCD data format.
#include <fmt/format.h>

#include <Eigen/SVD>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/files.hpp"

namespace nimbrel_tools {
namespace fs = std::filesystem;

namespace {

// The numbers of `text`, separated by blanks, commas, semicolons or newlines (brackets ignored); a token that
// is not a number is refused as a UsageError that starts with `context`.
std::vector<double> numbersOf(const std::string& text, const std::string& context) {
  std::string cleaned = text;
  for (char& c : cleaned) {
    if (c == ',' || c == ';' || c == '[' || c == ']' || c == '\n' || c == '\t' || c == '\r') c = ' ';
  }
  std::istringstream in(cleaned);
  std::vector<double> values;
  std::string token;
  while (in >> token) {
    std::size_t used = 0;
    double v = 0.0;
    try {
      v = std::stod(token, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != token.size()) throw UsageError(fmt::format("{}: '{}' is not a number", context, token));
    values.push_back(v);
  }
  return values;
}

}  // namespace

PcdFormat pcdFormatNamed(const std::string& name) {
  if (name == "ascii") return PcdFormat::ascii;
  if (name == "binary") return PcdFormat::binary;
  if (name == "binary_compressed") return PcdFormat::binaryCompressed;
  throw UsageError(fmt::format("bad --format '{}': ascii, binary or binary_compressed", name));
}

Eigen::Matrix4d poseFromQuaternion(const Eigen::Vector3d& position, const Eigen::Vector4d& xyzw) {
  const Eigen::Quaterniond q(xyzw[3], xyzw[0], xyzw[1], xyzw[2]);
  if (!(q.norm() > 1e-9)) throw ToolError("a quaternion x, y, z, w without length");
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  m.topLeftCorner<3, 3>() = q.normalized().toRotationMatrix();
  m.topRightCorner<3, 1>() = position;
  return m;
}

Eigen::Matrix4d parseMatrix(const std::string& text, const std::string& what) {
  const std::vector<double> v = numbersOf(text, "bad matrix " + what);
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!std::isfinite(v[i]))
      throw UsageError(fmt::format("bad matrix {}: value {} is not finite", what, i + 1));
  }
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  if (v.size() == 7) {
    // x, y, z, qx, qy, qz, qw, as ROS poses and tf print them. Printed quaternions carry a few digits only:
    // one within 1e-3 of unit length is normalised, anything else is not a rotation.
    const Eigen::Quaterniond q(v[6], v[3], v[4], v[5]);
    if (std::abs(q.norm() - 1.0) > 1e-3) {
      throw UsageError(
          fmt::format("bad matrix {}: the quaternion qx,qy,qz,qw has length {:.6g}, not 1", what, q.norm()));
    }
    return poseFromQuaternion({v[0], v[1], v[2]}, {v[3], v[4], v[5], v[6]});
  }
  if (v.size() != 16) {
    throw UsageError(fmt::format(
        "bad matrix {}: need 16 numbers (4x4, row by row) or 7 (x,y,z,qx,qy,qz,qw), got {}", what, v.size()));
  }
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) m(r, c) = v[static_cast<std::size_t>(r * 4 + c)];
  }
  if (m(3, 0) != 0.0 || m(3, 1) != 0.0 || m(3, 2) != 0.0 || m(3, 3) != 1.0) {
    throw UsageError(fmt::format("bad matrix {}: the bottom row must be 0 0 0 1", what));
  }
  return m;
}

Eigen::Matrix4d matrixArgument(const std::string& text, const std::string& what) {
  std::error_code ec;
  if (fs::is_regular_file(text, ec)) {
    std::ifstream in(text);
    std::stringstream all;
    all << in.rdbuf();
    return parseMatrix(all.str(), what + " (" + text + ")");
  }
  return parseMatrix(text, what);
}

Eigen::Matrix4d rigidPose(const Eigen::Matrix4d& m) {
  const Eigen::Matrix3d r = m.topLeftCorner<3, 3>();
  const double determinant = r.determinant();
  const double offOrthonormal = (r.transpose() * r - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff();
  // Written so that a NaN is refused too.
  if (!(offOrthonormal <= kRigidTolerance) || !(determinant > 0.0)) {
    const Eigen::Vector3d scale = r.colwise().norm();
    throw ToolError(fmt::format(
        "not a rigid pose: its axes have lengths {:.6g}, {:.6g}, {:.6g}{}", scale.x(), scale.y(), scale.z(),
        determinant <= 0.0 ? " and it mirrors or flattens"
                           : fmt::format(", or they are not at right angles (R^T R is off the identity by "
                                         "{:.2g}, more than {:g})",
                                         offOrthonormal, kRigidTolerance)));
  }
  // The nearest rotation in the Frobenius norm. R is close to a rotation here, so its singular values are
  // all near 1 and U V^T keeps R's orientation.
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(r, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix4d pose = m;
  pose.topLeftCorner<3, 3>() = svd.matrixU() * svd.matrixV().transpose();
  return pose;
}

Eigen::Matrix4d poseArgument(const std::string& text, const std::string& what) {
  const Eigen::Matrix4d m = matrixArgument(text, what);
  try {
    return rigidPose(m);
  } catch (const ToolError& e) {
    throw UsageError(fmt::format("bad {}: {} (a pose only turns and moves; scale a mesh with --mesh-scale)",
                                 what, e.what()));
  }
}

Eigen::Vector3d parseVector3(const std::string& text, const std::string& what) {
  const std::vector<double> v = numbersOf(text, "bad " + what);
  if (v.size() != 3) throw UsageError(fmt::format("bad {}: need 3 numbers, got {}", what, v.size()));
  for (double x : v) {
    if (!std::isfinite(x)) throw UsageError(fmt::format("bad {}: values must be finite", what));
  }
  return {v[0], v[1], v[2]};
}

}  // namespace nimbrel_tools
