// Construction and parameters of PointCloudsDeal.
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {

PointCloudsDeal::PointCloudsDeal()
    : rangeXMin(-2.0),
      rangeXMax(2.0),
      rangeYMin(-2.0),
      rangeYMax(2.0),
      rangeZMin(-2.0),
      rangeZMax(2.0),
      meanK(50),
      stddevMulThresh(1.0),
      leafSize(0.005) {}

PointCloudsDeal::~PointCloudsDeal() = default;

void PointCloudsDeal::setFilterRange(double xMin, double xMax, double yMin, double yMax, double zMin,
                                     double zMax) {
  rangeXMin = xMin;
  rangeXMax = xMax;
  rangeYMin = yMin;
  rangeYMax = yMax;
  rangeZMin = zMin;
  rangeZMax = zMax;
}

void PointCloudsDeal::setStatisticalOutlierRemovalPara(int meanK, double stddevMulThresh) {
  this->meanK = meanK;
  this->stddevMulThresh = stddevMulThresh;
}

void PointCloudsDeal::setLeafSize(double leafSize) { this->leafSize = leafSize; }

}  // namespace nimbrel_arm_util
