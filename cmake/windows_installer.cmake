# launcher-<version>-setup.exe for the publisher's users: a per-user NSIS
# installer (installer/launcher.nsi) around the i686 launcher and the root of
# its identity. `cmake --build <dir> --target windows_installer`. An x86_64
# build makes a 64-bit installer around its own launcher.
set(LAUNCHER_PRODUCT_NAME "Launcher" CACHE STRING
    "The installed product's name: its folder, Run value and entry in the installed programs")
set(LAUNCHER_PUBLISHER "Example Publisher" CACHE STRING
    "The publisher shown by the installer and in the installed programs")
set(LAUNCHER_INSTALLER_ICON "" CACHE FILEPATH
    "An .ico for the installer and uninstaller; empty keeps the installer's own")
# The name becomes a folder and a registry value; NSIS would read "$" and
# '"' in either as its own syntax.
if(LAUNCHER_PRODUCT_NAME STREQUAL "" OR LAUNCHER_PRODUCT_NAME MATCHES "[\\/:*?\"<>|$]"
   OR LAUNCHER_PRODUCT_NAME MATCHES "^[ .]|[ .]$")
  message(FATAL_ERROR "LAUNCHER_PRODUCT_NAME must be a folder name: none of \\/:*?\"<>|$, "
    "no space or dot at either end")
endif()
if(LAUNCHER_PUBLISHER STREQUAL "" OR LAUNCHER_PUBLISHER MATCHES "[\"$]")
  message(FATAL_ERROR "LAUNCHER_PUBLISHER must be set and hold neither \" nor $")
endif()

find_program(LAUNCHER_MAKENSIS makensis)
set(LAUNCHER_INSTALLER "${CMAKE_BINARY_DIR}/launcher-${PROJECT_VERSION}-setup.exe")
set(_installer_script "${CMAKE_SOURCE_DIR}/installer/launcher.nsi")
set(_installer_defines
  "-DPRODUCT_NAME=${LAUNCHER_PRODUCT_NAME}" "-DPUBLISHER=${LAUNCHER_PUBLISHER}"
  "-DVERSION=${PROJECT_VERSION}" "-DLAUNCHER_EXE=$<TARGET_FILE:launcher>"
  "-DROOT_CERT=${LAUNCHER_PACKAGE_ROOT}" "-DOUTPUT_FILE=${LAUNCHER_INSTALLER}")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  list(APPEND _installer_defines "-DTARGET=amd64-unicode")
endif()
set(_installer_depends launcher "${LAUNCHER_PACKAGE_ROOT}" "${_installer_script}"
  "${LAUNCHER_SIGNING_OPTIONS}")
# makensis runs the command through the shell, after reading it as its own
# string: each word is quoted, and none may hold what either would expand.
set(_installer_sign "")
foreach(word ${LAUNCHER_SIGN_COMMAND})
  if(word MATCHES "[\"'$`\\]")
    message(FATAL_ERROR "the installer cannot be signed from a path holding \", ', $, ` or \\: ${word}")
  endif()
  string(APPEND _installer_sign "\"${word}\" ")
endforeach()
list(APPEND _installer_defines "-DSIGN_COMMAND=${_installer_sign}")
if(LAUNCHER_INSTALLER_ICON)
  list(APPEND _installer_defines "-DICON=${LAUNCHER_INSTALLER_ICON}")
  list(APPEND _installer_depends "${LAUNCHER_INSTALLER_ICON}")
endif()
if(LAUNCHER_MAKENSIS)
  add_custom_command(OUTPUT "${LAUNCHER_INSTALLER}"
    COMMAND "${LAUNCHER_MAKENSIS}" -V2 -WX -INPUTCHARSET UTF8 ${_installer_defines}
      "${_installer_script}"
    DEPENDS ${_installer_depends}
    COMMENT "Making launcher-${PROJECT_VERSION}-setup.exe"
    VERBATIM)
else()
  add_custom_command(OUTPUT "${LAUNCHER_INSTALLER}"
    COMMAND ${CMAKE_COMMAND} -E echo "makensis not found: scripts/setup --windows installs it"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
endif()
add_custom_target(windows_installer DEPENDS "${LAUNCHER_INSTALLER}")
