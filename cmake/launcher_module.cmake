# add_launcher_module(<name> [VERSION a.b.c.d] SOURCES <files>...
#                     [TARGET <target>] [OUTPUT_DIRECTORY <dir>])
#
# Builds the module library <name> for the platform at hand (<name>.dll on
# Windows, <name>.so elsewhere) against the public header alone, and stamps
# its version: a VERSIONINFO resource on Windows, the version note on ELF
# systems. The launcher compares the first three parts with the catalogue's
# "latest". Without VERSION the library has no version at all.
set(LAUNCHER_MODULE_HEADER_DIR "${CMAKE_CURRENT_LIST_DIR}/../src/modules")

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
    if(NOT MODULE_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
      message(FATAL_ERROR "add_launcher_module(${name}): VERSION must be a.b.c.d")
    endif()
    set(parts ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
    foreach(part ${parts})
      if(part GREATER 65535)
        message(FATAL_ERROR "add_launcher_module(${name}): ${part} does not fit 16 bits")
      endif()
    endforeach()
    string(REPLACE ";" "," commas "${parts}")
    if(WIN32)
      set(stamp "${stamp_dir}/${name}_version.rc")
      file(CONFIGURE OUTPUT "${stamp}" CONTENT
"#include <winver.h>
1 VERSIONINFO
FILEVERSION ${commas}
PRODUCTVERSION ${commas}
FILEFLAGSMASK VS_FFI_FILEFLAGSMASK
FILEFLAGS 0
FILEOS VOS_NT_WINDOWS32
FILETYPE VFT_DLL
FILESUBTYPE VFT2_UNKNOWN
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"040904b0\"
    BEGIN
      VALUE \"FileVersion\", \"${MODULE_VERSION}\"
      VALUE \"InternalName\", \"${name}\"
      VALUE \"OriginalFilename\", \"${name}.dll\"
    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x409, 1200
  END
END
")
    else()
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
  endif()
endfunction()
