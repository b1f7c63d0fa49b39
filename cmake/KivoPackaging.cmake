# Installation of what is not a build target of its own directory, and the Debian package:
#   - the interactive command kivo, when this tree builds it;
#   - kivo.pc for pkg-config and the CMake package Kivo (find_package(Kivo) -> Kivo::kvolib);
#   - the manual pages;
#   - CPack's settings for `cpack -G DEB` (only when Kivo is the top-level project).
# Everything installed is relocatable: cmake --install --prefix anywhere works.
include(CMakePackageConfigHelpers)

if(TARGET kivo)
  install(TARGETS kivo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# pkg-config: the prefix is found from the .pc file's own place, so the file is written once at
# configure time (no generator expression, nothing rewritten by concurrent builds).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KIVO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KIVO_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH KIVO_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  set(KIVO_PC_PREFIX "\${pcfiledir}/${KIVO_PC_UP}")
  set(KIVO_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KIVO_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(KIVO_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/kivo.pc.in ${PROJECT_BINARY_DIR}/kivo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kivo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The CMake package: KivoConfig.cmake, its version file (any 2.x satisfies a request for 2.y
# with y <= x) and the exported target Kivo::kvolib.
set(KIVO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kivo)
install(EXPORT KivoTargets NAMESPACE Kivo:: DESTINATION ${KIVO_CMAKE_DIR} FILE KivoTargets.cmake)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KivoConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KivoConfig.cmake INSTALL_DESTINATION ${KIVO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KivoConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KivoConfig.cmake ${PROJECT_BINARY_DIR}/KivoConfigVersion.cmake
        DESTINATION ${KIVO_CMAKE_DIR})

# Manual pages, one per installed command.
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/kv2.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET kivo)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/kivo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The Debian package "kivo": commands, runtime, plug-in, headers and the files for pkg-config
# and CMake, under /usr. Its run-time dependencies come from dpkg-shlibdeps.
if(PROJECT_IS_TOP_LEVEL)
  set(KIVO_PACKAGE_MAINTAINER "Kivo developers <kivo@example.org>" CACHE STRING
      "Maintainer field of the Debian package")
  set(CPACK_PACKAGE_NAME kivo)
  set(CPACK_PACKAGE_VENDOR "Kivo developers")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small embeddable scripting language")
  set(CPACK_PACKAGE_DESCRIPTION
      "Kivo is a small dynamically typed, class-based scripting language with C-like syntax. This package holds the command-line programs, the runtime library libkvolib with its native class plug-in, and the headers and files for building hosts with pkg-config or CMake.")
  set(CPACK_PACKAGE_CONTACT "${KIVO_PACKAGE_MAINTAINER}")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KIVO_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION interpreters)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # libkvolib comes with the package: dpkg-shlibdeps looks for it there, and the package
  # declares it (a shlibs file) for packages built against it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/bin)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_GENERATOR DEB)
  set(CPACK_SOURCE_GENERATOR "")
  include(CPack)
endif()
