# brevant_add_client(<target> PROPERTY_LIST <file.pipl> SOURCES <source>...)
#
# Builds a client plug-in of Brevant: a shared library (lib<target>.so, <target>.dll) from the
# sources, with the property list made from <file.pipl> embedded (see brevant_add_property_list),
# compiled against Brevant::headers, and exporting only what the sources mark BREVANT_EXPORT
# (the entry point). Works in a project that enabled C, C++ or both. The target is an ordinary
# library target: link more libraries or add options to it as usual.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/PropertyList.cmake)

function(brevant_add_client target)
  cmake_parse_arguments(ARG "" "PROPERTY_LIST" "SOURCES" ${ARGN})
  if(NOT ARG_PROPERTY_LIST OR NOT ARG_SOURCES)
    message(FATAL_ERROR "brevant_add_client(${target}): needs PROPERTY_LIST <file.pipl> and SOURCES <source>...")
  endif()
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "brevant_add_client(${target}): unknown arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  add_library(${target} SHARED ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  if("CXX" IN_LIST languages)
    target_compile_features(${target} PRIVATE cxx_std_17)  # what <brevant/client.hpp> needs
  endif()
  brevant_add_property_list(${target} ${ARG_PROPERTY_LIST})
endfunction()
