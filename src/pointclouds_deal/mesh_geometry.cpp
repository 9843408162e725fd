#include "pointclouds_deal/mesh_geometry.hpp"
