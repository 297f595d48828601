# A plug-in's property list has one source, a text file of "key value" lines. The host reads the
# same text, "key value" lines up to a NUL, from where the platform keeps it:
#  - on Windows, resource 16000 (or the list's "resource" value) of type PIPL, compiled by the
#    resource compiler from a generated script; the library's exports are named in a generated
#    module-definition file (the entry point only) unless the target brings its own .def;
#  - elsewhere, the library's ".brevant_pipl" ELF section, from a generated source that uses
#    <brevant/pipl.h>, which the stand-in host reads from the file before it loads the library.
#    The source is C++ when the project enabled C++, else C, so that a project of either
#    language alone gets its list; a project with neither is told so.
# Part of the installed CMake package (find_package(Brevant)) and used by this repository alike;
# the target gets Brevant::headers.
function(brevant_add_property_list target source)
  get_filename_component(src "${source}" ABSOLUTE)
  file(STRINGS "${src}" lines)
  set(text "")
  set(rc_body "")
  set(resource_id 16000)
  set(entry "")
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
    elseif(key STREQUAL "entry")
      set(entry "${value}")
    endif()
    # A resource script writes a quote as "" inside a string; C and C++ as \".
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\"\"" rc_line "${key} ${value}")
    string(APPEND rc_body "    \"${rc_line}\\n\"\n")
    string(REPLACE "\"" "\\\"" value "${value}")
    string(APPEND text "${key} ${value}\\n")
  endforeach()
  set(out_dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_pipl")
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  # Written through a scratch file and copied only when it changed: every configure makes the
  # source again, and a new timestamp would relink the library each time.
  if(WIN32)
    set(out "${out_dir}/${target}.rc")
    file(WRITE "${out}.new"
      "// Made from ${source}; edit that file instead.\n"
      "${resource_id} PIPL\nBEGIN\n${rc_body}    \"\\0\"\nEND\n")
    get_target_property(sources ${target} SOURCES)
    if(entry AND NOT sources MATCHES "\\.def(;|$)")
      file(WRITE "${out_dir}/${target}.def.new" "; Made from ${source}: the entry point only.\nEXPORTS\n    ${entry}\n")
      file(COPY_FILE "${out_dir}/${target}.def.new" "${out_dir}/${target}.def" ONLY_IF_DIFFERENT)
      file(REMOVE "${out_dir}/${target}.def.new")
      target_sources(${target} PRIVATE "${out_dir}/${target}.def")
    endif()
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
