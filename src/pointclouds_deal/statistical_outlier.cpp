#include "pointclouds_deal/statistical_outlier.hpp"
