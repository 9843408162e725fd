#include <benchmark/benchmark.h>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"

BENCHMARK_MAIN();
