// `clean`: crop to a box, drop non-finite points, voxel down-sample and remove outliers.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "commands/command_output.hpp"
#include "commands/commands.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/fields.hpp"

namespace nimbrel_tools {

namespace {

using nimbrel_arm_util::PointCloudsDeal;

struct CleanArgs {
  std::string input, output, box = "-2,2,-2,2,-2,2", format = "binary", shift;
  double leaf = 0.005;
  int meanK = 50;
  double stddev = 1.0;
};

int runClean(const CleanArgs& a) {
  std::vector<double> b;
  {
    std::string text = a.box;
    std::replace(text.begin(), text.end(), ',', ' ');
    std::istringstream in(text);
    double v;
    while (in >> v) b.push_back(v);
    if (!in.eof() || b.size() != 6)
      throw UsageError("bad --box: need 6 numbers xmin,xmax,ymin,ymax,zmin,zmax");
  }
  for (int axis = 0; axis < 3; ++axis) {
    const double low = b[static_cast<std::size_t>(2 * axis)],
                 high = b[static_cast<std::size_t>(2 * axis + 1)];
    if (!(low <= high)) {
      throw UsageError(
          fmt::format("bad --box: {} minimum {} is above its maximum {} (the order is "
                      "xmin,xmax,ymin,ymax,zmin,zmax)",
                      "xyz"[axis], low, high));
    }
  }
  if (!(a.leaf > 0.0 && std::isfinite(a.leaf)))
    throw UsageError("bad --leaf: must be a positive length in metres");
  if (a.meanK < 1) throw UsageError("bad --mean-k: must be at least 1");
  if (!std::isfinite(a.stddev)) throw UsageError("bad --stddev: must be a finite number");
  const auto [format, shift, file] = readCloudCommandInput(a.input, a.output, a.format, a.shift);
  const CloudPtr& in = file.xyz;
  PointCloudsDeal deal;
  deal.setFilterRange(b[0], b[1], b[2], b[3], b[4], b[5]);
  deal.setLeafSize(a.leaf);
  deal.setStatisticalOutlierRemovalPara(a.meanK, a.stddev);
  CloudPtr out(new Cloud);
  deal.processPointClouds(in, out);
  if (out->empty())
    std::cerr << "nimbrel_arm_util: warning: no point of " << a.input << " is left inside the box\n";
  keepViewpoint(*in, *out);
  saveCloud(*out, a.output, format);
  report("clean", a.output, in->size(), out->size());
  sayDroppedFields("clean", otherFields(file.points), "the voxel grid makes new points");
  if (!quiet) {
    // The steps' own counts, from the same public steps the cleaning runs: the crop (finite points inside
    // the box), then the grid on what it kept.
    const std::size_t finite =
        static_cast<std::size_t>(std::count_if(in->begin(), in->end(), [](const auto& p) {
          return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
        }));
    CloudPtr inside(new Cloud), grid(new Cloud);
    deal.rangeFilterPointClouds(in, inside, b[0], b[1], b[2], b[3], b[4], b[5]);
    std::size_t merged = 0;
    if (!inside->empty()) {
      deal.voxelGridfilterPointClouds(inside, grid);
      merged = inside->size() - std::min(inside->size(), grid->size());
    }
    const std::size_t kept = inside->size() - merged;
    summary("clean", in->size(), out->size(),
            {{finite - inside->size(), "outside the box"},
             {in->size() - finite, "non-finite"},
             {merged, "merged by the grid"},
             {kept - std::min(kept, out->size()), "outliers"}},
            shiftNote(shift));
  }
  return 0;
}

CleanArgs clean;

}  // namespace

void addCleanCommand(CLI::App& app, RunCommand& run) {
  auto* c = app.add_subcommand("clean",
                               "Crop to a box, drop non-finite points, voxel down-sample, remove outliers");
  c->add_option("input", clean.input,
                "Input cloud (.pcd or .ply); fields besides x, y, z are dropped, said in a line")
      ->required();
  c->add_option("-o,--output", clean.output, "Output cloud (.pcd or .ply)")->required();
  c->add_option("--box", clean.box,
                "Workspace box xmin,xmax,ymin,ymax,zmin,zmax in metres (min <= max, closed); the default "
                "keeps only 2 m around the origin, the summary line says how many points it cropped")
      ->capture_default_str();
  c->add_option("--leaf", clean.leaf,
                "Voxel edge length in metres (too small for the cloud's extent: no down-sampling, "
                "said under -v)")
      ->capture_default_str();
  c->add_option("--mean-k", clean.meanK, "Neighbours for the outlier statistics (a count)")
      ->capture_default_str();
  c->add_option("--stddev", clean.stddev,
                "Outlier threshold: a point goes when its mean neighbour distance exceeds the mean of all by "
                "this many standard deviations (no unit)")
      ->capture_default_str();
  addShiftOption(c, clean.shift);
  addFormatOption(c, clean.format);
  c->callback([&] { run = [] { return runClean(clean); }; });
}

}  // namespace nimbrel_tools
