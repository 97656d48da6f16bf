include(CMakePackageConfigHelpers)

install(TARGETS kwplatform kwErrorHandle Nubra kwcore
  EXPORT kwcoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/kwcore DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The sample host module serving proxy masters, with its source: hosts load it
# (kwcore::kwhostmasters gives its path and the directory of kwHostMasters.h).
install(TARGETS kwhostmasters
  EXPORT kwcoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/kwcore/examples)
install(FILES
  examples/host-masters/kwHostMasters.h
  examples/host-masters/kwHostMasters.cpp
  DESTINATION ${CMAKE_INSTALL_DATADIR}/kwcore/examples/host-masters)
# The chapters example as a project of its own, built against the installed
# package (scripts/check-consumer.sh does).
install(FILES
  examples/chapters/CMakeLists.txt
  examples/chapters/chapters.ini
  examples/chapters/kwChapters.h
  examples/chapters/kwChapters.cpp
  examples/chapters/kwChaptersHost.cpp
  DESTINATION ${CMAKE_INSTALL_DATADIR}/kwcore/examples/chapters)
install(EXPORT kwcoreTargets
  NAMESPACE kwcore::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kwcore)
configure_package_config_file(cmake/kwcoreConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kwcoreConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kwcore)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kwcoreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/kwcoreConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/kwcoreConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kwcore)

# pkg-config, for builds without CMake. The libraries are not on the default
# search path under most prefixes: such hosts add an rpath from
# `pkg-config --variable=libdir kwcore`.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  file(RELATIVE_PATH KWCORE_PC_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH KWCORE_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
endif()
string(REGEX REPLACE "/$" "" KWCORE_PC_TO_PREFIX "${KWCORE_PC_TO_PREFIX}")
configure_file(cmake/kwcore.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kwcore.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kwcore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
