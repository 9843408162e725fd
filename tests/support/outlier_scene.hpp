// A depth-camera-like scene for outlier removal tests and benchmarks: a 640x480 depth frame of a table
// with objects in front of a wall, with depth noise, millimetre quantisation, missing pixels and flying
// pixels at depth edges, back-projected to a cloud and optionally down-sampled on a voxel grid.
#pragma once

#include <pcl/filters/voxel_grid.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace nimbrel_test {

/// `scale` moves the whole scene away from the camera (depths scale with it, the image stays the same):
/// 0.85 gives about 63,000 points at a 5 mm leaf; 1.0 gives the full view, about 113,000.
inline pcl::PointCloud<pcl::PointXYZ>::Ptr makeDepthScene(double scale = 0.85, std::uint32_t seed = 3) {
  const int width = 640, height = 480;
  const double f = 525.0, cx = 319.5, cy = 239.5;
  struct Sphere {
    double x, y, z, r;
  };
  struct Box {
    double lo[3], hi[3];
  };
  const Sphere spheres[] = {{-0.2, 0.15, 0.8, 0.1}, {0.15, 0.18, 0.95, 0.07}, {0.05, 0.2, 0.65, 0.05}};
  const Box boxes[] = {{{0.1, 0.05, 0.7}, {0.3, 0.25, 0.85}},
                       {{-0.1, 0.1, 1.0}, {0.05, 0.25, 1.1}},
                       {{-0.45, -0.05, 0.95}, {-0.3, 0.25, 1.1}}};
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> depth(static_cast<std::size_t>(width) * height, 0.0);
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      const double d[3] = {(u - cx) / f, (v - cy) / f, 1.0};
      double t = inf;
      for (const Sphere& s : spheres) {  // |t d - c|^2 = r^2
        const double b = d[0] * s.x + d[1] * s.y + d[2] * s.z;
        const double a = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
        const double c = s.x * s.x + s.y * s.y + s.z * s.z - s.r * s.r;
        const double disc = b * b - a * c;
        if (disc >= 0.0) t = std::min(t, (b - std::sqrt(disc)) / a);
      }
      for (const Box& bx : boxes) {  // slab test
        double t0 = 0.0, t1 = inf;
        for (int k = 0; k < 3; ++k) {
          const double ta = (bx.lo[k]) / d[k], tb = (bx.hi[k]) / d[k];
          t0 = std::max(t0, std::min(ta, tb));
          t1 = std::min(t1, std::max(ta, tb));
        }
        if (t0 <= t1) t = std::min(t, t0);
      }
      if (d[1] > 0.0) {  // table top y = 0.25
        const double tt = 0.25 / d[1];
        if (std::abs(tt * d[0]) < 0.6 && tt > 0.45 && tt < 1.2) t = std::min(t, tt);
      }
      t = std::min(t, 1.25);  // wall
      depth[static_cast<std::size_t>(v) * width + u] = t * scale;
    }
  }
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto cloud = pcl::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      const std::size_t i = static_cast<std::size_t>(v) * width + u;
      double z = depth[i];
      if (unit(rng) < 0.02) continue;  // missing pixel
      if (u + 1 < width && std::abs(depth[i + 1] - z) > 0.05 && unit(rng) < 0.6) {
        z += (depth[i + 1] - z) * unit(rng);  // flying pixel between two surfaces
      }
      z += noise(rng) * (0.0006 + 0.0012 * (z - 0.4) * (z - 0.4));
      z = std::round(z * 1000.0) / 1000.0;  // millimetre depth
      cloud->push_back(pcl::PointXYZ(static_cast<float>((u - cx) * z / f),
                                     static_cast<float>((v - cy) * z / f), static_cast<float>(z)));
    }
  }
  return cloud;
}

/// The scene down-sampled with the library's voxel grid at `leaf`.
inline pcl::PointCloud<pcl::PointXYZ>::Ptr voxelised(const pcl::PointCloud<pcl::PointXYZ>::Ptr& cloud,
                                                     float leaf) {
  pcl::VoxelGrid<pcl::PointXYZ> grid;
  grid.setInputCloud(cloud);
  grid.setLeafSize(leaf, leaf, leaf);
  auto out = pcl::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  grid.filter(*out);
  return out;
}

/// A camera-sized plane (1.5 m square at z = 1 with 1 mm noise) of `count` points and three stray points
/// `stray`, 2 `stray` and 3 `stray` metres in front of it, as flying pixels and reflections leave them.
inline pcl::PointCloud<pcl::PointXYZ>::Ptr makePlaneWithStrays(std::size_t count, float stray,
                                                               std::uint32_t seed = 5) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> side(-0.75f, 0.75f);
  std::normal_distribution<float> noise(0.0f, 0.001f);
  auto cloud = pcl::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  cloud->reserve(count + 3);
  for (std::size_t i = 0; i < count; ++i)
    cloud->push_back(pcl::PointXYZ(side(rng), side(rng), 1.0f + noise(rng)));
  cloud->push_back(pcl::PointXYZ(0.1f, 0.2f, 1.0f - stray));
  cloud->push_back(pcl::PointXYZ(-0.4f, 0.3f, 1.0f - 2.0f * stray));
  cloud->push_back(pcl::PointXYZ(0.5f, -0.6f, 1.0f - 3.0f * stray));
  return cloud;
}

/// `count` points spread uniformly in the cube [0, edge]^3.
inline pcl::PointCloud<pcl::PointXYZ>::Ptr makeTinyCube(std::size_t count, float edge,
                                                        std::uint32_t seed = 6) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  auto cloud = pcl::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  cloud->reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    cloud->push_back(pcl::PointXYZ(unit(rng) * edge, unit(rng) * edge, unit(rng) * edge));
  }
  return cloud;
}

/// A copy of `cloud` moved by `offset` on every axis (map or survey coordinates); float rounding at that
/// magnitude turns the cloud into a coarse lattice with many equal points.
inline pcl::PointCloud<pcl::PointXYZ>::Ptr offsetCloud(const pcl::PointCloud<pcl::PointXYZ>& cloud,
                                                       float offset) {
  auto moved = pcl::make_shared<pcl::PointCloud<pcl::PointXYZ>>(cloud);
  for (pcl::PointXYZ& p : moved->points) {
    p.x += offset;
    p.y += offset;
    p.z += offset;
  }
  return moved;
}

/// A copy of `cloud` followed by `copies` points that repeat, in turn, `distinct` of its points lying
/// within a centimetre of its first point: a dense cluster of duplicates, as a sensor stuck on one
/// reading or a merged cloud leaves them.
inline pcl::PointCloud<pcl::PointXYZ>::Ptr withDuplicateCluster(const pcl::PointCloud<pcl::PointXYZ>& cloud,
                                                                std::size_t copies, std::size_t distinct) {
  auto out = pcl::make_shared<pcl::PointCloud<pcl::PointXYZ>>(cloud);
  std::vector<pcl::PointXYZ> cluster;
  const pcl::PointXYZ& centre = cloud[0];
  for (const pcl::PointXYZ& p : cloud.points) {
    if (cluster.size() == distinct) break;
    if (std::abs(p.x - centre.x) < 0.01f && std::abs(p.y - centre.y) < 0.01f &&
        std::abs(p.z - centre.z) < 0.01f) {
      cluster.push_back(p);
    }
  }
  for (std::size_t i = 0; i < copies; ++i) out->push_back(cluster[i % cluster.size()]);
  return out;
}

}  // namespace nimbrel_test
