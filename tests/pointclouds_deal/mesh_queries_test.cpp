#include <gtest/gtest.h>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/geometry.hpp"
