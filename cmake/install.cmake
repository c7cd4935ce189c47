# What `cmake --install` puts in place on Linux and what `cpack -G DEB` packs: the versioned
# library, its header, the tool and its manual page, and the pkg-config and CMake package files.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MOLDRIN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Moldrin)
# Installing and packing take what is built; they do not build the tests and benchmarks first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS moldrin EXPORT MoldrinTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/include/moldrin.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS moldrin_ops EXPORT MoldrinTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/include/moldrin_ops.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS moldrin_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/moldrin.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(EXPORT MoldrinTargets NAMESPACE Moldrin:: DESTINATION ${MOLDRIN_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/MoldrinConfig.cmake.in
  ${CMAKE_BINARY_DIR}/MoldrinConfig.cmake INSTALL_DESTINATION ${MOLDRIN_CMAKE_DIR})
# Same major version: 3.x programs keep working with any 3.y library, as the SONAME says.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/MoldrinConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/MoldrinConfig.cmake ${CMAKE_BINARY_DIR}/MoldrinConfigVersion.cmake
  DESTINATION ${MOLDRIN_CMAKE_DIR})

# The .pc file finds the prefix from where it lies, so the same file serves an install
# under any --prefix and the Debian package.
set(MOLDRIN_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH MOLDRIN_PC_TO_PREFIX /prefix/${MOLDRIN_PC_DIR} /prefix)
string(REGEX REPLACE "/$" "" MOLDRIN_PC_TO_PREFIX "${MOLDRIN_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/moldrin.pc.in ${CMAKE_BINARY_DIR}/moldrin.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/moldrin.pc DESTINATION ${MOLDRIN_PC_DIR})

set(CPACK_PACKAGE_NAME moldrin)
set(CPACK_PACKAGE_VENDOR "Moldrin")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Fiscal printer (ECF) driver library, its tool and printer simulator")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Moldrin developers <moldrin@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
