# Installation and package files of the library, included once at the end of the top-level CMakeLists.txt.
#
# Inside a ROS 2 workspace, install and export the package the ament way so that other packages can
# find_package(nimbrel_arm_util). Without ROS 2 the installation block further down is used instead. The
# ament package file finds the packages behind every target of the link interface (the same file as the
# plain package uses); rclcpp and tf2_ros come through ament's exported dependencies.
if(NIMBREL_AMENT_INSTALL)
  install(TARGETS nimbrel_arm_util nimbrel_logger EXPORT export_nimbrel_arm_util
    ARCHIVE DESTINATION lib
    LIBRARY DESTINATION lib
    RUNTIME DESTINATION bin
    INCLUDES DESTINATION include)
  install(DIRECTORY include/ DESTINATION include FILES_MATCHING PATTERN "*.hpp")
  install(FILES ${PROJECT_BINARY_DIR}/include/nimbrel_arm_util/version.hpp DESTINATION include/nimbrel_arm_util)
  ament_export_targets(export_nimbrel_arm_util HAS_LIBRARY_TARGET)
  ament_export_dependencies(rclcpp tf2_ros PCL OpenCV Eigen3 spdlog fmt)
  # The scene node's component entry in the ament index (share/ament_index/resource_index/rclcpp_components):
  # the registration macro records it in variables of the directory it runs in, and ament_package() writes
  # it from those of this, the top-level one; registered in node/ it would never reach the index.
  if(TARGET nimbrel_scene_node)
    rclcpp_components_register_nodes(nimbrel_scene_node "nimbrel_arm_util::SceneNode")
  endif()
  ament_package(CONFIG_EXTRAS ${CMAKE_CURRENT_LIST_DIR}/nimbrel_arm_util-dependencies.cmake)
endif()


# Plain CMake build (no ROS 2 workspace): `cmake --install` gives the library, its headers, the tool, a CMake
# package (find_package(nimbrel_arm_util) -> nimbrel_arm_util::nimbrel_arm_util) and a pkg-config file.
# Built against a real rclcpp (sourced, but not a colcon workspace) the library carries the executor threads
# and its package names rclcpp; otherwise it is the ROS-free core: the executor threads' headers are left
# out and nothing of ROS 2 is installed or named (the stand-in in compat/ros2 is for the tests alone).
if(NOT NIMBREL_AMENT_INSTALL)
  include(CMakePackageConfigHelpers)
  set(NIMBREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/nimbrel_arm_util)
  set(_nimbrel_exported nimbrel_arm_util nimbrel_logger)
  set(_nimbrel_header_filter)
  if(NOT NIMBREL_ROS2_FOUND)
    set(_nimbrel_header_filter PATTERN "nimbrel_node_thread.hpp" EXCLUDE PATTERN "nimbrel_node_multi_thread.hpp" EXCLUDE)
  endif()
  # Components, one per Debian package (cmake/nimbrel_packaging.cmake): runtime (the shared library), dev
  # (headers, CMake package, pkg-config file, the library's link name), tool, python.
  install(TARGETS ${_nimbrel_exported}
    EXPORT nimbrel_arm_util_targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
    FILES_MATCHING PATTERN "*.hpp" ${_nimbrel_header_filter})
  install(FILES ${PROJECT_BINARY_DIR}/include/nimbrel_arm_util/version.hpp
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nimbrel_arm_util COMPONENT dev)
  install(EXPORT nimbrel_arm_util_targets
    NAMESPACE nimbrel_arm_util::
    FILE nimbrel_arm_util-targets.cmake
    DESTINATION ${NIMBREL_CMAKE_DIR} COMPONENT dev)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/nimbrel_arm_util-config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util-config.cmake
    INSTALL_DESTINATION ${NIMBREL_CMAKE_DIR})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util-config-version.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util-config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util-config-version.cmake
    ${CMAKE_CURRENT_LIST_DIR}/nimbrel_arm_util-dependencies.cmake
    DESTINATION ${NIMBREL_CMAKE_DIR} COMPONENT dev)
  if(NIMBREL_BUILD_TESTS)
    add_subdirectory(tests/install)
  endif()
endif()

# pkg-config file, for programs built without CMake. It finds its prefix from its own place, so the
# installed tree can be moved. Built against ROS 2 it also names rclcpp and tf2_ros with everything they link.
if(NIMBREL_AMENT_INSTALL)
  set(NIMBREL_PC_LIBDIR lib)
  set(NIMBREL_PC_INCLUDEDIR include)
else()
  set(NIMBREL_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(NIMBREL_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
endif()
set(NIMBREL_PC_ROS2_CFLAGS "")
set(NIMBREL_PC_ROS2_LIBS "")
set(NIMBREL_PC_WITH_ROS2 no)
if(NIMBREL_ROS2_FOUND)
  include(${CMAKE_CURRENT_LIST_DIR}/nimbrel_pkg_config.cmake)
  nimbrel_usage_flags(NIMBREL_PC_ROS2_CFLAGS NIMBREL_PC_ROS2_LIBS rclcpp::rclcpp tf2_ros::tf2_ros)
  set(NIMBREL_PC_WITH_ROS2 yes)
endif()
file(RELATIVE_PATH NIMBREL_PC_TO_PREFIX /prefix/${NIMBREL_PC_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/nimbrel_arm_util.pc.in ${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util.pc DESTINATION ${NIMBREL_PC_LIBDIR}/pkgconfig
  COMPONENT dev)
if(NIMBREL_BUILD_TOOLS)
  install(TARGETS nimbrel_arm_util_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()

if(NOT NIMBREL_AMENT_INSTALL)
  include(${CMAKE_CURRENT_LIST_DIR}/nimbrel_packaging.cmake)
endif()
