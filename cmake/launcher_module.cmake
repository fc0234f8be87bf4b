# add_launcher_module(<name> [VERSION a.b.c.d] SOURCES <files>...
#                     [TARGET <target>] [OUTPUT_DIRECTORY <dir>])
#
# Builds the module library <name> for the platform at hand (<name>.dll on
# Windows, <name>.so elsewhere) against the public header alone, and stamps
# its version: a VERSIONINFO resource on Windows, the version note on ELF
# systems. The launcher compares the first three parts with the catalogue's
# "latest". Without VERSION the library has no version at all. A Windows
# library is signed as the build's images are (cmake/code_signing.cmake).
set(LAUNCHER_MODULE_HEADER_DIR "${CMAKE_CURRENT_LIST_DIR}/../src/modules")
set(LAUNCHER_VERSION_INFO_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/version_info.rc.in")

# launcher_version_parts(<out> <a.b.c.d> <who>): the four parts of a version,
# each checked to fit the 16 bits a file version holds.
function(launcher_version_parts out version who)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "${who}: VERSION must be a.b.c.d")
  endif()
  set(parts ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
  foreach(part ${parts})
    if(part GREATER 65535)
      message(FATAL_ERROR "${who}: ${part} does not fit 16 bits")
    endif()
  endforeach()
  set(${out} ${parts} PARENT_SCOPE)
endfunction()

# launcher_version_resource(<output .rc> <name> <file name> <VFT_APP|VFT_DLL>
#                           <a.b.c.d>): a Windows VERSIONINFO resource.
function(launcher_version_resource output name file_name file_type version)
  launcher_version_parts(parts "${version}" "${name}")
  string(REPLACE ";" "," VERSION_COMMAS "${parts}")
  set(VERSION_NAME "${name}")
  set(VERSION_FILE_NAME "${file_name}")
  set(VERSION_FILE_TYPE "${file_type}")
  set(VERSION_TEXT "${version}")
  configure_file("${LAUNCHER_VERSION_INFO_TEMPLATE}" "${output}" @ONLY)
endfunction()

function(add_launcher_module name)
  cmake_parse_arguments(PARSE_ARGV 1 MODULE "" "VERSION;TARGET;OUTPUT_DIRECTORY" "SOURCES")
  if(NOT MODULE_SOURCES)
    message(FATAL_ERROR "add_launcher_module(${name}): no SOURCES")
  endif()
  set(target ${name})
  if(MODULE_TARGET)
    set(target ${MODULE_TARGET})
  endif()
  set(stamp_dir "${CMAKE_CURRENT_BINARY_DIR}/module_stamps")
  set(stamp "")
  if(DEFINED MODULE_VERSION)
    if(WIN32)
      set(stamp "${stamp_dir}/${name}_version.rc")
      launcher_version_resource("${stamp}" ${name} ${name}.dll VFT_DLL ${MODULE_VERSION})
    else()
      launcher_version_parts(parts "${MODULE_VERSION}" "add_launcher_module(${name})")
      string(REPLACE ";" "," commas "${parts}")
      set(stamp "${stamp_dir}/${name}_version.c")
      file(CONFIGURE OUTPUT "${stamp}" CONTENT
"#include \"launcher_module.h\"
LAUNCHER_MODULE_VERSION(${commas});
")
    endif()
  endif()

  add_library(${target} MODULE ${MODULE_SOURCES} ${stamp})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name}
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden)
  if(MODULE_OUTPUT_DIRECTORY)
    set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${MODULE_OUTPUT_DIRECTORY})
  endif()
  target_include_directories(${target} PRIVATE "${LAUNCHER_MODULE_HEADER_DIR}")
  if(WIN32)
    # The library must load on any Windows: no compiler runtime DLLs.
    target_link_options(${target} PRIVATE -static -static-libgcc)
    if(COMMAND launcher_sign_target)
      launcher_sign_target(${target})
    endif()
  endif()
endfunction()
