#include "nimbrel_arm_util/robot_body.hpp"

#include <pcl/conversions.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "engines/mesh_geometry.hpp"
#include "engines/mesh_index.hpp"
#include "engines/parallel.hpp"
#include "engines/point_helpers.hpp"

namespace nimbrel_arm_util {

namespace {

using Kind = RobotShape::Kind;

// Golden-section steps for the shadow test of a box or cylinder: the bracket shrinks to 0.618^90 (about
// 1e-19) of the segment, below double rounding of any point on it.
constexpr int kShadowSteps = 90;

// Cells of a mesh shape's grid at most, and along its longest side.
constexpr double kMaxGridCells = 262144.0;
constexpr double kGridCellsAlong = 96.0;

// What a grid cell tells about every point in it.
enum CellState : std::uint8_t { kDecideExactly = 0, kAllClaimed = 1, kNoneClaimed = 2 };

// A mesh shape: its scaled triangles in the shape's frame and their index. The index's near distance is
// the double just above the padding, so that its strict test is "distance <= padding" exactly (a padding
// of 0 still claims the points on the surface).
//
// A grid over the padded box answers most points without a face: a cell whose centre has a face nearer
// than the padding less the cell's reach (half diagonal and rounding) is claimed throughout; one whose
// centre has no face within the padding plus its reach lies wholly on one side of the surface, so that
// its centre's inside answer holds for all of it (closed meshes only: an open part's winding number
// changes away from its faces too). Other cells, along the surface's padding band, go to the exact tests.
struct ShapeMesh {
  ShapeMesh(pcl::PolygonMesh scaled, double padding, const Eigen::Vector3d& boxLo,
            const Eigen::Vector3d& boxHi)
      : mesh(std::move(scaled)),
        index(mesh, std::nextafter(padding, std::numeric_limits<double>::infinity())),
        lo(boxLo) {
    const Eigen::Vector3d span = boxHi - boxLo;
    edge = std::max(span.maxCoeff() / kGridCellsAlong, std::cbrt(span.prod() / kMaxGridCells));
    if (!(edge > 0.0) || !std::isfinite(edge)) return;
    inverseEdge = 1.0 / edge;
    for (int k = 0; k < 3; ++k) cells[k] = static_cast<int>(std::ceil(span[k] / edge)) + 1;
    // A point of a cell lies within `reach` of the cell's centre as the float the tests take.
    const double magnitude = std::max(boxLo.cwiseAbs().maxCoeff(), boxHi.cwiseAbs().maxCoeff());
    const double reach = 0.5 * std::sqrt(3.0) * edge * (1.0 + 1e-9) + 1e-6 * magnitude;
    const double innerDistance = padding - reach;
    std::optional<detail::MeshIndex> inner;
    if (innerDistance > 0.0) inner.emplace(mesh, innerDistance);
    const detail::MeshIndex outer(mesh, padding + reach);
    const bool closed = index.closed();
    detail::MeshIndex::Scratch scratch;
    state.assign(static_cast<std::size_t>(cells[0]) * cells[1] * cells[2], kDecideExactly);
    std::size_t at = 0;
    for (int z = 0; z < cells[2]; ++z) {
      for (int y = 0; y < cells[1]; ++y) {
        for (int x = 0; x < cells[0]; ++x, ++at) {
          const Eigen::Vector3d c = lo + edge * Eigen::Vector3d(x + 0.5, y + 0.5, z + 0.5);
          const pcl::PointXYZ centre(static_cast<float>(c.x()), static_cast<float>(c.y()),
                                     static_cast<float>(c.z()));
          if (inner && inner->nearFaces(centre)) {
            state[at] = kAllClaimed;
          } else if (closed && !outer.nearFaces(centre)) {
            state[at] = index.inside(centre, scratch) ? kAllClaimed : kNoneClaimed;
          }
        }
      }
    }
    markClearCells();
  }
  ShapeMesh(const ShapeMesh&) = delete;
  ShapeMesh& operator=(const ShapeMesh&) = delete;

  // The cell's state for q (the point as the tests take it); points outside the grid are decided exactly.
  CellState cellOf(const Eigen::Vector3d& q) const {
    if (state.empty()) return kDecideExactly;
    std::size_t at = 0;
    std::size_t stride = 1;
    for (int k = 0; k < 3; ++k) {
      const double t = std::floor((q[k] - lo[k]) * inverseEdge);
      if (!(t >= 0.0 && t < cells[k])) return kDecideExactly;
      at += static_cast<std::size_t>(t) * stride;
      stride *= static_cast<std::size_t>(cells[k]);
    }
    return static_cast<CellState>(state[at]);
  }

  // What the grid says about the segment a–b (inside the grid's box), sampled every half cell: kAllClaimed
  // when a sample lies in a cell claimed throughout (the segment passes within the padding);
  // kNoneClaimed when every sample's cell and its neighbours claim nothing (every point of the segment
  // lies within a quarter cell of a sample, so in one of those cells); else kDecideExactly.
  CellState segmentState(const Eigen::Vector3d& a, const Eigen::Vector3d& b) const {
    if (state.empty()) return kDecideExactly;
    const double steps = std::ceil((b - a).norm() / (0.5 * edge));
    if (!(steps < 1e7)) return kDecideExactly;
    const auto n = static_cast<int>(steps);
    bool clear = true;
    for (int i = 0; i <= n; ++i) {
      const double t = n == 0 ? 0.0 : static_cast<double>(i) / n;
      const Eigen::Vector3d q = a + t * (b - a);
      const CellState cell = cellOf(q);
      if (cell == kAllClaimed) return kAllClaimed;
      clear = clear && cell != kDecideExactly && clearAround(q);
    }
    return clear ? kNoneClaimed : kDecideExactly;
  }

  // Marks the cells that claim nothing and whose neighbours claim nothing (cells beyond the grid lie
  // outside the padded box and claim nothing).
  void markClearCells() {
    clearCells.assign(state.size(), 0);
    std::size_t at = 0;
    for (int z = 0; z < cells[2]; ++z) {
      for (int y = 0; y < cells[1]; ++y) {
        for (int x = 0; x < cells[0]; ++x, ++at) {
          bool clear = true;
          for (int dz = -1; dz <= 1 && clear; ++dz) {
            for (int dy = -1; dy <= 1 && clear; ++dy) {
              for (int dx = -1; dx <= 1 && clear; ++dx) {
                const int nx = x + dx, ny = y + dy, nz = z + dz;
                if (nx < 0 || ny < 0 || nz < 0 || nx >= cells[0] || ny >= cells[1] || nz >= cells[2])
                  continue;
                const std::size_t neighbour =
                    (static_cast<std::size_t>(nz) * cells[1] + static_cast<std::size_t>(ny)) * cells[0] +
                    static_cast<std::size_t>(nx);
                clear = state[neighbour] == kNoneClaimed;
              }
            }
          }
          clearCells[at] = clear ? 1 : 0;
        }
      }
    }
  }

  // True when q's cell is marked clear (markClearCells).
  bool clearAround(const Eigen::Vector3d& q) const {
    std::size_t at = 0;
    std::size_t stride = 1;
    for (int k = 0; k < 3; ++k) {
      const double t = std::floor((q[k] - lo[k]) * inverseEdge);
      if (!(t >= 0.0 && t < cells[k])) return false;
      at += static_cast<std::size_t>(t) * stride;
      stride *= static_cast<std::size_t>(cells[k]);
    }
    return clearCells[at] != 0;
  }

  pcl::PolygonMesh mesh;  // the index reads it: declared first, so built first
  detail::MeshIndex index;
  Eigen::Vector3d lo;
  double edge = 0.0;
  double inverseEdge = 0.0;  // a point's cell may be off by one at a border: within the reach's slack
  int cells[3] = {0, 0, 0};
  std::vector<std::uint8_t> state;
  std::vector<std::uint8_t> clearCells;  // per cell: it and its neighbours claim nothing
};

// One collision shape, prepared: everything but its pose in the cloud's frame.
struct Shape {
  Kind kind = Kind::kBox;
  std::size_t link = 0;                                  // index into links()
  Eigen::Matrix4d origin = Eigen::Matrix4d::Identity();  // shape frame in the link's frame
  Eigen::Vector3d half = Eigen::Vector3d::Zero();        // box: half edges; cylinder (r, r, half length)
  double padding = 0.0;
  Eigen::Vector3d lo = Eigen::Vector3d::Zero();  // padded box of the shape in its own frame
  Eigen::Vector3d hi = Eigen::Vector3d::Zero();
  std::unique_ptr<const ShapeMesh> mesh;
};

// Distance from q (shape frame) to a box, cylinder or sphere; 0 inside.
double primitiveDistance(const Shape& s, const Eigen::Vector3d& q) {
  switch (s.kind) {
    case Kind::kBox: {
      const Eigen::Vector3d out = (q.cwiseAbs() - s.half).cwiseMax(0.0);
      return out.norm();
    }
    case Kind::kCylinder: {
      const double radial = std::max(std::sqrt(q.x() * q.x() + q.y() * q.y()) - s.half.x(), 0.0);
      const double axial = std::max(std::abs(q.z()) - s.half.z(), 0.0);
      return std::sqrt(radial * radial + axial * axial);
    }
    case Kind::kSphere:
      return std::max(q.norm() - s.half.x(), 0.0);
    case Kind::kMesh:
      break;
  }
  return std::numeric_limits<double>::infinity();
}

// True when the segment a–b meets the box lo..hi (slab test, closed).
bool segmentMeetsBox(const Eigen::Vector3d& a, const Eigen::Vector3d& b, const Eigen::Vector3d& lo,
                     const Eigen::Vector3d& hi) {
  double t0 = 0.0;
  double t1 = 1.0;
  for (int k = 0; k < 3; ++k) {
    const double d = b[k] - a[k];
    if (d == 0.0) {
      if (a[k] < lo[k] || a[k] > hi[k]) return false;
      continue;
    }
    double enter = (lo[k] - a[k]) / d;
    double leave = (hi[k] - a[k]) / d;
    if (enter > leave) std::swap(enter, leave);
    t0 = std::max(t0, enter);
    t1 = std::min(t1, leave);
    if (t0 > t1) return false;
  }
  return true;
}

// Cuts the segment a–b down to its part inside the box lo..hi; false when it misses the box.
bool clipToBox(Eigen::Vector3d& a, Eigen::Vector3d& b, const Eigen::Vector3d& lo, const Eigen::Vector3d& hi) {
  double t0 = 0.0;
  double t1 = 1.0;
  const Eigen::Vector3d d = b - a;
  for (int k = 0; k < 3; ++k) {
    if (d[k] == 0.0) {
      if (a[k] < lo[k] || a[k] > hi[k]) return false;
      continue;
    }
    double enter = (lo[k] - a[k]) / d[k];
    double leave = (hi[k] - a[k]) / d[k];
    if (enter > leave) std::swap(enter, leave);
    t0 = std::max(t0, enter);
    t1 = std::min(t1, leave);
    if (t0 > t1) return false;
  }
  const Eigen::Vector3d start = a;
  a = start + t0 * d;
  b = start + t1 * d;
  return true;
}

// True when the segment a–b (shape frame) passes within the padding of the shape, its inside included.
bool segmentClaimed(const Shape& s, const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  if (!segmentMeetsBox(a, b, s.lo, s.hi)) return false;
  switch (s.kind) {
    case Kind::kMesh: {
      // Only the part of the segment inside the padded box can come near a face.
      Eigen::Vector3d from = a, to = b;
      if (!clipToBox(from, to, s.lo, s.hi)) return false;
      const CellState grid = s.mesh->segmentState(from, to);
      if (grid != kDecideExactly) return grid == kAllClaimed;
      return s.mesh->index.nearSegment(a, b);
    }
    case Kind::kSphere:
      return detail::segmentSegmentDistance(a, b, Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero()) <=
             s.half.x() + s.padding;
    case Kind::kBox:
    case Kind::kCylinder:
      break;
  }
  // The distance from a point moving along the segment to a convex body is convex in the point's
  // parameter: golden-section search finds its smallest value.
  const auto at = [&](double t) { return primitiveDistance(s, a + t * (b - a)); };
  constexpr double kRatio = 0.6180339887498949;
  double lo = 0.0;
  double hi = 1.0;
  double x1 = hi - kRatio * (hi - lo);
  double x2 = lo + kRatio * (hi - lo);
  double f1 = at(x1);
  double f2 = at(x2);
  for (int step = 0; step < kShadowSteps; ++step) {
    if (std::min(f1, f2) <= s.padding) return true;
    if (f1 <= f2) {
      hi = x2;
      x2 = x1;
      f2 = f1;
      x1 = hi - kRatio * (hi - lo);
      f1 = at(x1);
    } else {
      lo = x1;
      x1 = x2;
      f1 = f2;
      x2 = lo + kRatio * (hi - lo);
      f2 = at(x2);
    }
  }
  return std::min({f1, f2, at(0.0), at(1.0)}) <= s.padding;
}

// True when the shape claims q (shape frame): inside it, or within its padding.
bool pointClaimed(const Shape& s, const Eigen::Vector3d& q, detail::MeshIndex::Scratch& scratch) {
  // Outside the padded box in the shape's own frame: beyond the padding of every face.
  if (!((q.array() >= s.lo.array()).all() && (q.array() <= s.hi.array()).all())) return false;
  if (s.kind == Kind::kMesh) {
    const pcl::PointXYZ local(static_cast<float>(q.x()), static_cast<float>(q.y()),
                              static_cast<float>(q.z()));
    const CellState cell = s.mesh->cellOf(detail::widen(local));
    if (cell != kDecideExactly) return cell == kAllClaimed;
    // Near first: points on a link's surface (most of what a camera sees of it) are decided by the first
    // face found within the padding, without the rays. Both tests are free of side effects.
    return s.mesh->index.nearFaces(local) || s.mesh->index.inside(local, scratch);
  }
  return primitiveDistance(s, q) <= s.padding;
}

double checkedLength(double value, const char* what, const std::string& link) {
  if (!std::isfinite(value) || value < 0.0) {
    throw std::invalid_argument(std::string("RobotBody: ") + what + " of link '" + link +
                                "' is negative or not finite");
  }
  return value;
}

// A pose in the cloud's frame that filter() can move points with: finite, rigid, its last row (0 0 0 1).
bool usablePose(const Eigen::Matrix4d& pose) {
  return pose.allFinite() && detail::isRigidPose(pose) && pose.row(3) == Eigen::RowVector4d(0, 0, 0, 1);
}

}  // namespace

struct RobotBody::Impl {
  std::vector<std::string> links;
  std::vector<Shape> shapes;
};

RobotBody::RobotBody(const RobotDescription& description, RobotBodyConfig config) {
  auto impl = std::make_unique<Impl>();
  const auto known = [&](const std::string& name) {
    return std::any_of(description.links.begin(), description.links.end(),
                       [&](const RobotLink& l) { return l.name == name; });
  };
  const auto refuseUnknown = [&](const std::string& name, const char* where) {
    if (!known(name)) {
      throw std::invalid_argument(std::string("RobotBody: ") + where + " names link '" + name +
                                  "', which the robot does not have");
    }
  };
  checkedLength(config.padding, "the padding", "(all)");
  checkedLength(config.scale, "the scale", "(all)");
  for (const auto& [name, value] : config.linkPadding) {
    refuseUnknown(name, "the link padding");
    checkedLength(value, "the padding", name);
  }
  for (const auto& [name, value] : config.linkScale) {
    refuseUnknown(name, "the link scale");
    checkedLength(value, "the scale", name);
  }
  for (const std::string& name : config.ignoredLinks) refuseUnknown(name, "the ignored links");

  for (const RobotLink& link : description.links) {
    if (link.collisions.empty()) continue;
    if (std::find(config.ignoredLinks.begin(), config.ignoredLinks.end(), link.name) !=
        config.ignoredLinks.end()) {
      continue;
    }
    const auto padIt = config.linkPadding.find(link.name);
    const auto scaleIt = config.linkScale.find(link.name);
    const double padding = padIt != config.linkPadding.end() ? padIt->second : config.padding;
    const double scale = scaleIt != config.linkScale.end() ? scaleIt->second : config.scale;
    const std::size_t linkIndex = impl->links.size();
    impl->links.push_back(link.name);
    for (const RobotShape& shape : link.collisions) {
      if (!usablePose(shape.origin)) {
        throw std::invalid_argument("RobotBody: a collision origin of link '" + link.name +
                                    "' is not a finite rigid pose");
      }
      Shape s;
      s.kind = shape.kind;
      s.link = linkIndex;
      s.origin = shape.origin;
      s.padding = padding;
      pcl::PolygonMesh scaled;
      if (shape.kind == Kind::kMesh) {
        pcl::PointCloud<pcl::PointXYZ> vertices;
        detail::readVertices(shape.mesh, vertices);
        Eigen::Vector3d lo = Eigen::Vector3d::Constant(std::numeric_limits<double>::infinity());
        Eigen::Vector3d hi = -lo;
        for (pcl::PointXYZ& v : vertices.points) {
          v = pcl::PointXYZ(static_cast<float>(scale * v.x), static_cast<float>(scale * v.y),
                            static_cast<float>(scale * v.z));
          if (!detail::isFinitePoint(v)) continue;
          lo = lo.cwiseMin(detail::widen(v));
          hi = hi.cwiseMax(detail::widen(v));
        }
        if (!(lo.array() <= hi.array()).all()) continue;  // no finite vertex: claims nothing
        scaled.polygons = shape.mesh.polygons;
        pcl::toPCLPointCloud2(vertices, scaled.cloud);
        s.lo = lo;
        s.hi = hi;
      } else {
        const Eigen::Vector3d size = shape.size;
        for (int k = 0; k < 3; ++k) checkedLength(size[k], "a shape's size", link.name);
        switch (shape.kind) {
          case Kind::kBox:
            s.half = 0.5 * scale * size;
            break;
          case Kind::kCylinder:
            s.half = Eigen::Vector3d(scale * size.x(), scale * size.x(), 0.5 * scale * size.z());
            break;
          default:
            s.half = Eigen::Vector3d::Constant(scale * size.x());
            break;
        }
        s.hi = s.half;
        s.lo = -s.half;
      }
      // The padded box, with a slack for rounding: the per-frame cull must never reject a claimed point.
      const double magnitude = std::max(s.lo.cwiseAbs().maxCoeff(), s.hi.cwiseAbs().maxCoeff());
      const double grow = padding + 1e-6 * (padding + magnitude);
      s.lo.array() -= grow;
      s.hi.array() += grow;
      if (shape.kind == Kind::kMesh) {
        s.mesh = std::make_unique<const ShapeMesh>(std::move(scaled), padding, s.lo, s.hi);
      }
      impl->shapes.push_back(std::move(s));
    }
  }
  impl_ = std::move(impl);
}

RobotBody::~RobotBody() = default;
RobotBody::RobotBody(RobotBody&&) noexcept = default;
RobotBody& RobotBody::operator=(RobotBody&&) noexcept = default;

const std::vector<std::string>& RobotBody::links() const { return impl_->links; }

int RobotBody::filter(const Cloud& in, const std::map<std::string, Eigen::Matrix4d>& linkPoses, Cloud& out,
                      const std::optional<Eigen::Vector3d>& sensorOrigin,
                      std::vector<std::uint8_t>* removed) const {
  std::vector<Eigen::Matrix4d> poses;
  poses.reserve(impl_->links.size());
  for (const std::string& name : impl_->links) {
    const auto it = linkPoses.find(name);
    if (it == linkPoses.end() || !usablePose(it->second)) return -1;
    poses.push_back(it->second);
  }
  if (sensorOrigin && !sensorOrigin->allFinite()) return -1;

  // Per shape and frame: the map from the cloud's frame into the shape's, the box in the cloud's frame
  // that holds the padded shape (the box of its padded box's corners, grown for rounding: points outside
  // it are not claimed), and the sensor in the shape's frame when the shape casts a shadow.
  struct Placed {
    Eigen::Matrix3d toShape;
    Eigen::Vector3d origin;
    Eigen::Vector3d lo, hi;
    Eigen::Vector3d sensor;
    bool shadow = false;
  };
  const std::vector<Shape>& shapes = impl_->shapes;
  std::vector<Placed> placed(shapes.size());
  detail::MeshIndex::Scratch scratch;
  for (std::size_t k = 0; k < shapes.size(); ++k) {
    const Shape& s = shapes[k];
    Placed& p = placed[k];
    const Eigen::Matrix4d pose = poses[s.link] * s.origin;
    p.toShape = pose.topLeftCorner<3, 3>().transpose();
    p.origin = pose.topRightCorner<3, 1>();
    detail::placedBoxBounds(pose, s.lo, s.hi, p.lo, p.hi);
    const double magnitude = std::max(p.lo.cwiseAbs().maxCoeff(), p.hi.cwiseAbs().maxCoeff());
    p.lo.array() -= 1e-6 * magnitude;
    p.hi.array() += 1e-6 * magnitude;
    if (sensorOrigin) {
      p.sensor = p.toShape * (*sensorOrigin - p.origin);
      // A shape that holds the sensor (a camera inside a link's padded body) would hide everything: it
      // casts no shadow.
      p.shadow = !pointClaimed(s, p.sensor, scratch);
    }
  }

  // The box of all shapes' boxes: most points of a frame lie outside it and need no other test.
  Eigen::Vector3d allLo = Eigen::Vector3d::Constant(std::numeric_limits<double>::infinity());
  Eigen::Vector3d allHi = -allLo;
  for (const Placed& p : placed) {
    allLo = allLo.cwiseMin(p.lo);
    allHi = allHi.cwiseMax(p.hi);
  }

  const std::size_t n = in.points.size();
  std::vector<std::uint8_t> cut(n, 0);
  const auto inBox = [](const Eigen::Vector3d& q, const Eigen::Vector3d& lo, const Eigen::Vector3d& hi) {
    return q.x() >= lo.x() && q.x() <= hi.x() && q.y() >= lo.y() && q.y() <= hi.y() && q.z() >= lo.z() &&
           q.z() <= hi.z();
  };
  const auto decide = [&](detail::MeshIndex::Scratch& local, long at) {
    const pcl::PointXYZ& point = in.points[static_cast<std::size_t>(at)];
    if (!detail::isFinitePoint(point)) return;
    const Eigen::Vector3d p = detail::widen(point);
    for (std::size_t k = 0; k < shapes.size() && inBox(p, allLo, allHi); ++k) {
      const Placed& pl = placed[k];
      if (!inBox(p, pl.lo, pl.hi)) continue;
      if (pointClaimed(shapes[k], pl.toShape * (p - pl.origin), local)) {
        cut[static_cast<std::size_t>(at)] = 1;
        return;
      }
    }
    if (!sensorOrigin) return;
    const Eigen::Vector3d segLo = p.cwiseMin(*sensorOrigin);
    const Eigen::Vector3d segHi = p.cwiseMax(*sensorOrigin);
    for (std::size_t k = 0; k < shapes.size(); ++k) {
      const Placed& pl = placed[k];
      if (!pl.shadow || (segLo.array() > pl.hi.array()).any() || (segHi.array() < pl.lo.array()).any()) {
        continue;
      }
      if (segmentClaimed(shapes[k], pl.toShape * (p - pl.origin), pl.sensor)) {
        cut[static_cast<std::size_t>(at)] = 1;
        return;
      }
    }
  };
  // Each point is decided on its own against shapes that are only read; each thread has its own scratch.
  detail::ThreadBudget budget;
  std::vector<detail::MeshIndex::Scratch> states(
      static_cast<std::size_t>(budget.team(n, detail::kMinNearTestPoints)));
  detail::forEachDynamic(static_cast<long>(n), states, static_cast<int>(detail::kNearTestChunk), decide);

  if (removed != nullptr) removed->assign(cut.begin(), cut.end());
  if (&in != &out) {
    out.header = in.header;
    out.sensor_origin_ = in.sensor_origin_;
    out.sensor_orientation_ = in.sensor_orientation_;
  }
  detail::keepPoints(in, out, [&](std::size_t i) { return cut[i] == 0; });
  return 0;
}

}  // namespace nimbrel_arm_util
