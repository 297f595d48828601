# Dependencies of the Windows build. Debian ships none of them built for MinGW-w64, so the targets
# that the rest of the build links against are made here under the names that find_package gives
# them on Linux:
#  - Boost's mutex and lock, nlohmann-json and CLI11 are header-only for this use: Debian's
#    headers, one folder each, through links in the build tree (all of /usr/include would bring
#    glibc's headers to the MinGW compiler);
#  - GoogleTest is built from the sources that Debian's googletest package installs;
#  - libjpeg-turbo has no MinGW build: the stand-in host compresses with stb_image_write instead
#    (host/Frames.cpp), and the tests read JPEG headers with stb_image.
set(brevant_debian_headers ${CMAKE_BINARY_DIR}/debian-headers)
function(brevant_header_only_target target)
  foreach(folder IN LISTS ARGN)
    if(NOT IS_DIRECTORY /usr/include/${folder})
      message(FATAL_ERROR "/usr/include/${folder} is missing: run scripts/setup.sh")
    endif()
    file(MAKE_DIRECTORY ${brevant_debian_headers})
    file(CREATE_LINK /usr/include/${folder} ${brevant_debian_headers}/${folder} SYMBOLIC)
  endforeach()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${target} SYSTEM INTERFACE ${brevant_debian_headers})
endfunction()

# Boost.Thread's Windows mutex is built on Win32 events and needs no compiled library; Boost.System
# is header-only since 1.69.
brevant_header_only_target(Boost::thread boost)
add_library(Boost::system INTERFACE IMPORTED GLOBAL)
brevant_header_only_target(nlohmann_json::nlohmann_json nlohmann)
brevant_header_only_target(CLI11::CLI11 CLI)
brevant_header_only_target(brevant_stb stb)

if(BREVANT_BUILD_TESTS)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(library gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${library})
      add_library(GTest::${library} ALIAS ${library})
    endif()
  endforeach()
endif()

# Test lists are read when ctest runs, under the Wine server that scripts/test-windows.sh starts,
# rather than by Wine processes in the middle of the build.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
