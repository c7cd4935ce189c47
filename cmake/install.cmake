# What `cmake --install` puts in place on Linux and what `cpack -G DEB` packs: the versioned
# library, its header, the tool and its manual page, the pkg-config and CMake package files,
# the Pascal unit and the C# source under share/moldrin, the manual and the licence.
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

# The layers of the other languages are source files the application builds with itself.
set(MOLDRIN_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/moldrin)
install(FILES ${CMAKE_SOURCE_DIR}/bindings/pascal/Moldrin.pas ${CMAKE_SOURCE_DIR}/bindings/pascal/example.pas
  DESTINATION ${MOLDRIN_SHARE_DIR}/pascal)
install(FILES ${CMAKE_SOURCE_DIR}/bindings/csharp/Moldrin.cs ${CMAKE_SOURCE_DIR}/bindings/csharp/Example.cs
  DESTINATION ${MOLDRIN_SHARE_DIR}/csharp)
# The manual, and the licence where Debian looks for a package's copyright.
set(MOLDRIN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/moldrin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${MOLDRIN_DOC_DIR} FILES_MATCHING PATTERN "*.md")
configure_file(${CMAKE_SOURCE_DIR}/cmake/copyright.in ${CMAKE_BINARY_DIR}/copyright COPYONLY)
install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION ${MOLDRIN_DOC_DIR})

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
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Fiscal printer (ECF) driver library, its tool and printer simulator
 libmoldrin drives a Brazilian fiscal printer on a serial port for point-of-sale
 applications, keeps the fiscal capture and makes the signed fiscal files.
 License: MIT.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Moldrin developers <moldrin@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
