# `cmake --install`: the library, its headers, the korval tool, a CMake package (find_package(Korval)
# gives the imported target Korval::korval) and korval.pc for pkg-config. Both package files find the
# installation relative to themselves, so an installed tree can be moved or installed with --prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(korval_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Korval)

install(TARGETS korval EXPORT KorvalTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The installed library is stripped; its debug information is kept apart, in .debug/ beside it, where
# debuggers look for it (the library names it in a .gnu_debuglink section). A distribution's packaging
# strips on its own (Debian's -dbgsym packages): KORVAL_STRIP_INSTALLED=OFF leaves that to it.
option(KORVAL_STRIP_INSTALLED "Strip the installed library, its debug information kept in .debug/" ON)
if(NOT WIN32 AND CMAKE_OBJCOPY AND KORVAL_STRIP_INSTALLED)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/strip_installed.cmake.in ${PROJECT_BINARY_DIR}/strip_installed.cmake @ONLY)
  install(SCRIPT ${PROJECT_BINARY_DIR}/strip_installed.cmake)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/korval DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET korval_tool)
  install(TARGETS korval_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The remote-board client, beside the library, which loads it from there when a server is named.
if(TARGET korval_remote)
  install(TARGETS korval_remote LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

install(EXPORT KorvalTargets NAMESPACE Korval:: FILE KorvalTargets.cmake DESTINATION ${korval_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KorvalConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KorvalConfig.cmake INSTALL_DESTINATION ${korval_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KorvalConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KorvalConfig.cmake ${PROJECT_BINARY_DIR}/KorvalConfigVersion.cmake
  DESTINATION ${korval_cmake_dir})

# korval.pc names its prefix from its own directory (${pcfiledir}), as pkgconf and pkg-config allow.
file(RELATIVE_PATH korval_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" korval_pc_to_prefix "${korval_pc_to_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/korval.pc.in ${PROJECT_BINARY_DIR}/korval.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/korval.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
