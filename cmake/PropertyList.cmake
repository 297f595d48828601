# A plug-in's property list has one source, a text file of "key value" lines. From it are made:
#  - on Windows, a resource script (the host reads resource 16000 of type PiPL);
#  - elsewhere, a source that places the same lines in the library's ".brevant_pipl" ELF
#    section with <brevant/pipl.h>, which the stand-in host reads from the file before it loads
#    the library. The source is C++ when the project enabled C++, else C, so that a project of
#    either language alone gets its list; a project with neither is told so.
# Part of the installed CMake package (find_package(Brevant)) and used by this repository alike;
# the target gets Brevant::headers.
function(brevant_add_property_list target source)
  get_filename_component(src "${source}" ABSOLUTE)
  file(STRINGS "${src}" lines)
  set(text "")
  set(rc_body "")
  set(resource_id 16000)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    if(NOT line MATCHES "^([a-z]+)[ \t]+(.+)$")
      message(FATAL_ERROR "${src}: not a 'key value' line: ${line}")
    endif()
    set(key "${CMAKE_MATCH_1}")
    set(value "${CMAKE_MATCH_2}")
    if(key STREQUAL "resource")
      set(resource_id "${value}")
    endif()
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\\\"" value "${value}")
    string(APPEND text "${key} ${value}\\n")
    string(APPEND rc_body "    \"${key}\", \"${value}\\0\",\n")
  endforeach()
  set(out_dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_pipl")
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  # Written through a scratch file and copied only when it changed: every configure makes the
  # source again, and a new timestamp would relink the library each time.
  if(WIN32)
    set(out "${out_dir}/${target}.rc")
    file(WRITE "${out}.new"
      "// Made from ${source}; edit that file instead.\n"
      "${resource_id} PiPL\nBEGIN\n${rc_body}END\n")
  else()
    if("CXX" IN_LIST languages)
      set(out "${out_dir}/${target}_pipl.cpp")
    elseif("C" IN_LIST languages)
      set(out "${out_dir}/${target}_pipl.c")
    else()
      message(FATAL_ERROR "brevant_add_property_list(${target}): the project enables neither C nor CXX, "
                          "so the property list cannot be compiled; add CXX to project(... LANGUAGES)")
    endif()
    file(WRITE "${out}.new"
      "/* Made from ${source}; edit that file instead. */\n"
      "#include <brevant/pipl.h>\n"
      "BREVANT_PROPERTY_LIST(\"${text}\");\n")
  endif()
  file(COPY_FILE "${out}.new" "${out}" ONLY_IF_DIFFERENT)
  file(REMOVE "${out}.new")
  target_sources(${target} PRIVATE "${out}")
  target_link_libraries(${target} PRIVATE Brevant::headers)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${src}")
endfunction()
