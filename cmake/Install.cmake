# Installation: the shared library with its SONAME, the public header, the
# quorvel host with its colour table, a CMake package (imported target quorvel::quorvel) and a
# pkg-config file.  Nothing internal is installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(quorvel PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  PUBLIC_HEADER ${CMAKE_SOURCE_DIR}/include/quorvel.h)
target_include_directories(quorvel INTERFACE
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
add_library(quorvel::quorvel ALIAS quorvel)

install(TARGETS quorvel EXPORT quorvelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET quorvel_cli)
  install(TARGETS quorvel_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The colour table the host finds by default (../share/quorvel/color/otd.cvt
# beside bin/quorvel).
install(FILES ${CMAKE_SOURCE_DIR}/samples/color/otd.cvt DESTINATION ${CMAKE_INSTALL_DATADIR}/quorvel/color)

set(QUORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvel)
install(EXPORT quorvelTargets NAMESPACE quorvel:: DESTINATION ${QUORVEL_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/quorvelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/quorvelConfig.cmake INSTALL_DESTINATION ${QUORVEL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/quorvelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/quorvelConfig.cmake ${CMAKE_BINARY_DIR}/quorvelConfigVersion.cmake
  DESTINATION ${QUORVEL_CMAKE_DIR})

# The .pc file finds its prefix from its own place, so the installed tree can
# be moved: one "/.." per component of LIBDIR/pkgconfig.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  message(FATAL_ERROR "quorvel.pc needs a relative CMAKE_INSTALL_LIBDIR")
endif()
string(REGEX REPLACE "[^/]+" ".." QUORVEL_PC_UP "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${CMAKE_SOURCE_DIR}/cmake/quorvel.pc.in ${CMAKE_BINARY_DIR}/quorvel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/quorvel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
