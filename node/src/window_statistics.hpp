// Samples of one quantity over a reporting window, summarised as median, 95th percentile and maximum.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace nimbrel_arm_util {

class WindowStatistics {
 public:
  struct Summary {
    std::size_t count = 0;
    double median = 0.0;
    double p95 = 0.0;
    double max = 0.0;
  };

  void add(double value) { samples_.push_back(value); }
  void clear() { samples_.clear(); }
  bool empty() const { return samples_.empty(); }

  /// Nearest-rank percentiles of the samples; all zero without samples.
  Summary summary() const {
    Summary s;
    s.count = samples_.size();
    if (samples_.empty()) return s;
    std::vector<double> sorted = samples_;
    std::sort(sorted.begin(), sorted.end());
    const auto rank = [&](double p) {
      const auto r = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
      return sorted[std::min(sorted.size(), std::max<std::size_t>(r, 1)) - 1];
    };
    s.median = rank(0.5);
    s.p95 = rank(0.95);
    s.max = sorted.back();
    return s;
  }

 private:
  std::vector<double> samples_;
};

}  // namespace nimbrel_arm_util
