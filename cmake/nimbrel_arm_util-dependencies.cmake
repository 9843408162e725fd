# Finds every package whose targets the link interfaces of nimbrel_arm_util::nimbrel_arm_util and
# nimbrel_arm_util::nimbrel_logger name. Included by the plain CMake package file and, in a ROS 2 workspace,
# by the ament one (rclcpp and tf2_ros are then found through ament's exported dependencies).
#
# Each target is looked for itself rather than trusting a package's _FOUND flag: PCL's configuration, for
# one, sets Eigen3_FOUND without creating Eigen3::Eigen.
include(CMakeFindDependencyMacro)
# PCL's configuration pulls VTK, whose MPI part needs the C language.
get_property(_nimbrel_languages GLOBAL PROPERTY ENABLED_LANGUAGES)
if(NOT "C" IN_LIST _nimbrel_languages)
  enable_language(C)
endif()
unset(_nimbrel_languages)

find_dependency(PCL 1.12 COMPONENTS common io filters surface search kdtree)
if(NOT TARGET opencv_core)
  find_dependency(OpenCV 4 COMPONENTS core)
endif()
if(NOT TARGET Eigen3::Eigen)
  find_dependency(Eigen3 3.3 NO_MODULE)
endif()
if(NOT TARGET spdlog::spdlog)
  find_dependency(spdlog)
endif()
if(NOT TARGET fmt::fmt)
  find_dependency(fmt)
endif()
if(NOT TARGET Threads::Threads)
  find_dependency(Threads)
endif()
if(NOT TARGET PkgConfig::SYSTEMD)
  find_dependency(PkgConfig)
  pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
endif()
# A plain package built against ROS 2 names rclcpp and tf2_ros in its link interface.
if(nimbrel_arm_util_WITH_ROS2)
  if(NOT TARGET rclcpp::rclcpp)
    find_dependency(rclcpp)
  endif()
  if(NOT TARGET tf2_ros::tf2_ros)
    find_dependency(tf2_ros)
  endif()
endif()
