# How a launcher executable is made: its settings and its image. The build
# makes the publisher's launcher from the build options; the test tree makes
# one more from the test servers' settings.
include(${CMAKE_CURRENT_LIST_DIR}/catalogue_keys.cmake)

# launcher_settings(<target> URL <url> CA <bundle> STALL <seconds>
#                   ORIGINS <space-separated> ALLOW_NO_ORIGIN <0|1>
#                   IDENTITY <base64> [KEYS <pem file>] [ANY_USER <0|1>])
# An object library with one executable's build settings. Without KEYS the
# catalogue is taken unsigned.
function(launcher_settings target)
  cmake_parse_arguments(S "" "URL;CA;STALL;ORIGINS;ALLOW_NO_ORIGIN;IDENTITY;KEYS;ANY_USER" "" ${ARGN})
  foreach(name URL CA ORIGINS)
    string(REPLACE "\\" "\\\\" S_${name} "${S_${name}}")
    string(REPLACE "\"" "\\\"" S_${name} "${S_${name}}")
  endforeach()
  set(SETTINGS_CATALOGUE_URL "${S_URL}")
  set(SETTINGS_CATALOGUE_CA "${S_CA}")
  set(SETTINGS_STALL_SECONDS "${S_STALL}")
  set(SETTINGS_ORIGINS "${S_ORIGINS}")
  if(S_ALLOW_NO_ORIGIN)
    set(SETTINGS_ALLOW_NO_ORIGIN true)
  else()
    set(SETTINGS_ALLOW_NO_ORIGIN false)
  endif()
  if(S_ANY_USER)
    set(SETTINGS_ANY_USER true)
  else()
    set(SETTINGS_ANY_USER false)
  endif()
  set(SETTINGS_IDENTITY_BASE64 "${S_IDENTITY}")
  set(SETTINGS_CATALOGUE_KEYS "")
  if(S_KEYS)
    launcher_catalogue_keys("${S_KEYS}" SETTINGS_CATALOGUE_KEYS)
  endif()
  set(source "${CMAKE_BINARY_DIR}/generated/${target}.cpp")
  configure_file("${CMAKE_SOURCE_DIR}/src/core/build_settings.cpp.in" "${source}" @ONLY)
  add_library(${target} OBJECT "${source}")
  target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}/src")
endfunction()

# add_launcher_executable(<target> <settings target> <directory>
#                         [<version resource>]): a launcher named
# launcher(.exe) in <directory>, with the Windows resources; the version
# resource is the project's unless another is given.
function(add_launcher_executable target settings directory)
  set(version_rc "${CMAKE_BINARY_DIR}/generated/launcher_version.rc")
  if(ARGC GREATER 3)
    set(version_rc "${ARGV3}")
  endif()
  add_executable(${target} WIN32
    "${CMAKE_SOURCE_DIR}/src/platform/process_entry_${LAUNCHER_PLATFORM}.cpp")
  set_target_properties(${target} PROPERTIES OUTPUT_NAME launcher
    RUNTIME_OUTPUT_DIRECTORY "${directory}")
  target_compile_options(${target} PRIVATE ${LAUNCHER_WARNINGS})
  target_link_libraries(${target} PRIVATE launcher_core ${settings})
  if(WIN32)
    target_sources(${target} PRIVATE "${CMAKE_BINARY_DIR}/generated/launcher_resources.rc"
      "${version_rc}")
    target_link_options(${target} PRIVATE ${LAUNCHER_STATIC_RUNTIME} $<$<CONFIG:Release>:-s>)
    launcher_sign_target(${target})
  endif()
endfunction()
