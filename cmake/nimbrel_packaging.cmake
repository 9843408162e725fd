# Debian packages of a plain build, made by CPack from the install components (`make packages`, or
# `cpack -G DEB` in the build directory). Configure with -DCMAKE_INSTALL_PREFIX=/usr for packages that
# install into the system's own places (the Python module then lands in /usr/lib/python3/dist-packages):
#   libnimbrel-arm-util<major>    the shared library
#   libnimbrel-arm-util-dev       headers, CMake package, pkg-config file; pulls the -dev packages its
#                                 headers include
#   nimbrel-arm-util-tools        the nimbrel_arm_util command-line tool
#   python3-nimbrel-arm-util      the Python module
# `apt install ./<file>.deb` resolves every dependency from the Debian archive.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbrel-arm-util)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "nimbrel_arm_util developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Point-cloud utilities for a robot arm's perception")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_STRIP_FILES ON)
# Run-time dependencies of the binaries from dpkg-shlibdeps; the library's own from the runtime package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

set(_nimbrel_runtime libnimbrel-arm-util${PROJECT_VERSION_MAJOR})
set(_nimbrel_exact "${_nimbrel_runtime} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_nimbrel_runtime})
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "shared library: cleaning, moving and cutting depth-camera point clouds")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libnimbrel-arm-util-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE amd64)
set(CPACK_COMPONENT_DEV_DESCRIPTION "development files: headers, CMake package and pkg-config file")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "${_nimbrel_exact}, libpcl-dev, libopencv-dev, libeigen3-dev, libspdlog-dev, libfmt-dev, libsystemd-dev, pkg-config")
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME nimbrel-arm-util-tools)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "the nimbrel_arm_util command-line tool")
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${_nimbrel_exact}")
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-nimbrel-arm-util)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "the nimbrel_arm_util Python module (NumPy arrays in and out)")

set(CPACK_COMPONENTS_ALL runtime dev)
if(NIMBREL_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
if(NIMBREL_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
  # The module is built for one Python minor version.
  math(EXPR _nimbrel_next_minor "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${_nimbrel_exact}, python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), \
python3 (<< ${Python3_VERSION_MAJOR}.${_nimbrel_next_minor}), python3-numpy")
endif()
include(CPack)
