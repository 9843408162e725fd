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
# package (find_package(nimbrel_arm_util) -> nimbrel_arm_util::nimbrel_arm_util) and a pkg-config file. The
# ROS 2 stand-in the library was linked against is installed privately beside it (lib/nimbrel_arm_util/,
# include/nimbrel_arm_util/ros2_standin/), never under ROS 2's own names or paths. In a ROS 2 workspace the
# ament block above installs the library instead, and the pkg-config file names the real rclcpp.
if(NOT NIMBREL_AMENT_INSTALL)
  include(CMakePackageConfigHelpers)
  set(NIMBREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/nimbrel_arm_util)
  set(NIMBREL_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/nimbrel_arm_util)
  set(_nimbrel_exported nimbrel_arm_util nimbrel_logger)
  if(TARGET nimbrel_ros2_standin)
    set_target_properties(nimbrel_ros2_standin PROPERTIES EXPORT_NAME ros2_standin)
    set_target_properties(nimbrel_tf2_ros_standin PROPERTIES EXPORT_NAME tf2_ros_standin)
    target_include_directories(nimbrel_ros2_standin PUBLIC
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/nimbrel_arm_util/ros2_standin>)
    install(TARGETS nimbrel_ros2_standin nimbrel_tf2_ros_standin
      EXPORT nimbrel_arm_util_targets
      LIBRARY DESTINATION ${NIMBREL_PRIVATE_LIBDIR})
    install(DIRECTORY compat/ros2/include/
      DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nimbrel_arm_util/ros2_standin)
    set_property(TARGET nimbrel_arm_util APPEND PROPERTY INSTALL_RPATH "$ORIGIN/nimbrel_arm_util")
  endif()
  install(TARGETS ${_nimbrel_exported}
    EXPORT nimbrel_arm_util_targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.hpp")
  install(EXPORT nimbrel_arm_util_targets
    NAMESPACE nimbrel_arm_util::
    FILE nimbrel_arm_util-targets.cmake
    DESTINATION ${NIMBREL_CMAKE_DIR})
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/nimbrel_arm_util-config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util-config.cmake
    INSTALL_DESTINATION ${NIMBREL_CMAKE_DIR})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util-config-version.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util-config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util-config-version.cmake
    ${CMAKE_CURRENT_LIST_DIR}/nimbrel_arm_util-dependencies.cmake
    DESTINATION ${NIMBREL_CMAKE_DIR})
  if(NIMBREL_BUILD_TESTS)
    add_subdirectory(tests/install)
  endif()
endif()

# pkg-config file, for programs built without CMake. It finds its prefix from its own place, so the
# installed tree can be moved. Besides the library it names the ROS 2 side that the public headers include:
# the privately installed stand-in, or the real rclcpp and tf2_ros with everything they link.
if(NIMBREL_AMENT_INSTALL)
  set(NIMBREL_PC_LIBDIR lib)
  set(NIMBREL_PC_INCLUDEDIR include)
  include(${CMAKE_CURRENT_LIST_DIR}/nimbrel_pkg_config.cmake)
  nimbrel_usage_flags(NIMBREL_PC_ROS2_CFLAGS NIMBREL_PC_ROS2_LIBS rclcpp::rclcpp tf2_ros::tf2_ros)
else()
  set(NIMBREL_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(NIMBREL_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  set(NIMBREL_PC_ROS2_CFLAGS "")
  set(NIMBREL_PC_ROS2_LIBS "")
  if(TARGET nimbrel_ros2_standin)
    # The stand-in lives in a directory of its own, which no loader searches: the program gets a run path.
    set(NIMBREL_PC_ROS2_CFLAGS "-I\${includedir}/nimbrel_arm_util/ros2_standin")
    set(NIMBREL_PC_ROS2_LIBS
      "-L\${libdir}/nimbrel_arm_util -lnimbrel_ros2_standin -Wl,-rpath,\${libdir}/nimbrel_arm_util")
  endif()
endif()
file(RELATIVE_PATH NIMBREL_PC_TO_PREFIX /prefix/${NIMBREL_PC_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/nimbrel_arm_util.pc.in ${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nimbrel_arm_util.pc DESTINATION ${NIMBREL_PC_LIBDIR}/pkgconfig)
if(NIMBREL_BUILD_TOOLS)
  install(TARGETS nimbrel_arm_util_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
