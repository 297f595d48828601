# `cmake --install`, in two components, each a Debian package (packaging/CMakeLists.txt):
#   sdk        the SDK (headers, CMake package, pkg-config file), the plug-in, brevant-host with
#              the stand-in host's two libraries (the core, libbrevant_host, and the simulator on
#              top of it), the shipped clients and the example job files, so that a client author
#              builds a client against the prefix and runs it through a simulated render;
#   dashboard  brevant-dashboard and its page.
# The libraries are private to brevant-host (unversioned; no other program links them): they live
# in lib/brevant/, and the CMake package and brevant.pc, in the usual places, point there.
include(CMakePackageConfigHelpers)

set(BREVANT_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/brevant)
set(BREVANT_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/brevant)
set(BREVANT_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Brevant)
set(BREVANT_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/brevant DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sdk)
# The example client's sources, to copy and start from.
set(example_client ${PROJECT_SOURCE_DIR}/examples/frame_progress)
install(FILES ${example_client}/frame_progress.cpp ${example_client}/frame_progress.pipl
  ${example_client}/CMakeLists.txt ${example_client}/Makefile
  DESTINATION ${BREVANT_INSTALL_DATADIR}/examples/frame_progress COMPONENT sdk)
install(TARGETS brevant_headers EXPORT BrevantTargets COMPONENT sdk)
install(EXPORT BrevantTargets NAMESPACE Brevant:: DESTINATION ${BREVANT_INSTALL_CMAKEDIR} COMPONENT sdk)

# The installed programs find their libraries beside them or in the library folder, wherever the
# prefix is moved.
file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${BREVANT_INSTALL_LIBDIR})
set_target_properties(brevant_simulator brevant PROPERTIES INSTALL_RPATH "$ORIGIN")
# The clients beside the plug-in, where brevant-host finds them by name (--client event_log).
install(TARGETS brevant_host brevant_simulator brevant console_monitor event_log farm_publisher
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sdk
  LIBRARY DESTINATION ${BREVANT_INSTALL_LIBDIR} COMPONENT sdk
  ARCHIVE DESTINATION ${BREVANT_INSTALL_LIBDIR} COMPONENT sdk)
if(TARGET brevant-host)
  set_target_properties(brevant-host PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  # Its default plug-in: beside it in a build tree, in the library folder when installed.
  target_compile_definitions(brevant-host PRIVATE
    BREVANT_PLUGIN_FILE_NAME="$<TARGET_FILE_NAME:brevant>"
    BREVANT_BIN_TO_LIB="${bin_to_lib}")
  install(TARGETS brevant-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sdk)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/examples/README.md DESTINATION ${BREVANT_INSTALL_DATADIR}/examples COMPONENT sdk)
file(GLOB example_jobs ${PROJECT_SOURCE_DIR}/examples/*.json)
install(FILES ${example_jobs} DESTINATION ${BREVANT_INSTALL_DATADIR}/examples COMPONENT sdk)

# brevant-dashboard finds its page from where it runs, so that a moved or unpacked prefix works.
if(TARGET brevant-dashboard)
  set(BREVANT_INSTALL_DASHBOARD_WEBDIR ${BREVANT_INSTALL_DATADIR}/dashboard/web)
  file(RELATIVE_PATH bin_to_web ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${BREVANT_INSTALL_DASHBOARD_WEBDIR})
  target_compile_definitions(brevant-dashboard PRIVATE BREVANT_DASHBOARD_BIN_TO_WEB="${bin_to_web}")
  install(TARGETS brevant-dashboard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dashboard)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/farm/dashboard/web/ DESTINATION ${BREVANT_INSTALL_DASHBOARD_WEBDIR}
          COMPONENT dashboard)
  # The alert rules, for the studio's Prometheus to load (rule_files).
  install(FILES ${PROJECT_SOURCE_DIR}/farm/dashboard/prometheus/brevant-rules.yml
          DESTINATION ${BREVANT_INSTALL_DATADIR}/prometheus COMPONENT dashboard)
endif()

# The package: its version, the function for clients, and the paths of what was installed. Both
# files name the plug-in and brevant-host by generator expression, evaluated after configuring.
configure_package_config_file(cmake/BrevantConfig.cmake.in ${PROJECT_BINARY_DIR}/BrevantConfig.cmake.in.gen
  INSTALL_DESTINATION ${BREVANT_INSTALL_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_BINDIR BREVANT_INSTALL_LIBDIR BREVANT_INSTALL_DATADIR)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/BrevantConfig.cmake
  INPUT ${PROJECT_BINARY_DIR}/BrevantConfig.cmake.in.gen)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/BrevantConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/BrevantConfig.cmake
  ${PROJECT_BINARY_DIR}/BrevantConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/BrevantClient.cmake
  ${PROJECT_SOURCE_DIR}/cmake/PropertyList.cmake
  DESTINATION ${BREVANT_INSTALL_CMAKEDIR} COMPONENT sdk)

file(RELATIVE_PATH BREVANT_PC_PREFIX_FROM_PCDIR
  ${CMAKE_INSTALL_PREFIX}/${BREVANT_INSTALL_PKGCONFIGDIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" BREVANT_PC_PREFIX_FROM_PCDIR "${BREVANT_PC_PREFIX_FROM_PCDIR}")
configure_file(cmake/brevant.pc.in ${PROJECT_BINARY_DIR}/brevant.pc.gen @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/brevant.pc INPUT ${PROJECT_BINARY_DIR}/brevant.pc.gen)
install(FILES ${PROJECT_BINARY_DIR}/brevant.pc DESTINATION ${BREVANT_INSTALL_PKGCONFIGDIR} COMPONENT sdk)
