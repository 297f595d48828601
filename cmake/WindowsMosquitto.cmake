# libmosquitto's client library for the Windows build. Debian ships it for Linux only, so it is
# built here from Debian's own source package, which scripts/setup.sh fetches with
# `apt-get source mosquitto` into build/debian-sources/ (outside any one build folder). It is
# built as an external project into this build folder: static, with posix threads (MinGW-w64's
# winpthreads), without TLS (Debian has no TLS library built for MinGW-w64), and without the
# broker, the clients, the apps and the plug-ins. LIBMOSQUITTO_STATIC on both sides keeps
# libmosquitto's functions out of the export table of the DLL it is linked into.
#
# Defines brevant_mosquitto_static, to link against.
include_guard(GLOBAL)
include(ExternalProject)

set(BREVANT_MOSQUITTO_SOURCE "" CACHE PATH
  "mosquitto's Debian source package, unpacked (default: the one scripts/setup.sh fetched)")
set(source ${BREVANT_MOSQUITTO_SOURCE})
if(NOT source)
  file(GLOB source LIST_DIRECTORIES true ${PROJECT_SOURCE_DIR}/build/debian-sources/mosquitto-*)
  list(FILTER source INCLUDE REGEX "/mosquitto-[0-9][^/]*$")
endif()
list(LENGTH source count)
if(NOT count EQUAL 1 OR NOT EXISTS ${source}/lib/CMakeLists.txt OR NOT EXISTS ${source}/debian/changelog)
  message(FATAL_ERROR "mosquitto's Debian source package is missing (or there is more than one) in "
    "${PROJECT_SOURCE_DIR}/build/debian-sources/: run scripts/setup.sh, or set BREVANT_MOSQUITTO_SOURCE")
endif()
# "mosquitto (2.0.11-1.2+deb12u2) bookworm; urgency=medium": the version that is built.
file(STRINGS ${source}/debian/changelog release LIMIT_COUNT 1)
string(REGEX MATCH "^mosquitto \\(([^)]+)\\) ([a-z0-9-]+)" release "${release}")
message(STATUS "libmosquitto for Windows: Debian's mosquitto ${CMAKE_MATCH_1} (${CMAKE_MATCH_2}), from ${source}")

# Everything of it (stamps, logs, objects, the library) in one folder of the build folder.
set(prefix ${CMAKE_BINARY_DIR}/mosquitto)
set(binary ${prefix}/build)
set(library ${binary}/lib/libmosquitto_static.a)
ExternalProject_Add(brevant_mosquitto_build
  PREFIX ${prefix}
  SOURCE_DIR ${source}
  BINARY_DIR ${binary}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
    -DWITH_STATIC_LIBRARIES=ON -DWITH_PIC=ON -DWITH_THREADING=ON
    -DWITH_TLS=OFF -DWITH_TLS_PSK=OFF -DWITH_EC=OFF -DWITH_SOCKS=OFF -DWITH_SRV=OFF -DWITH_CJSON=OFF
    -DWITH_BROKER=OFF -DWITH_CLIENTS=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF -DWITH_LIB_CPP=OFF
    -DDOCUMENTATION=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${binary} --target libmosquitto_static
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${library}
  LOG_CONFIGURE ON LOG_BUILD ON LOG_OUTPUT_ON_FAILURE ON)

add_library(brevant_mosquitto_static INTERFACE)
target_include_directories(brevant_mosquitto_static SYSTEM INTERFACE ${source}/include)
target_compile_definitions(brevant_mosquitto_static INTERFACE LIBMOSQUITTO_STATIC)
target_link_libraries(brevant_mosquitto_static INTERFACE ${library} ws2_32)
add_dependencies(brevant_mosquitto_static brevant_mosquitto_build)
