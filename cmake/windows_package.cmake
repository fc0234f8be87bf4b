# launcher-<version>-win32.zip for publishers: the executable, the root
# certificate that users' machines must trust for the bridge's identity, and
# what to do with them. `cmake --build <dir> --target windows_package`.
set(LAUNCHER_PACKAGE_NAME "launcher-${PROJECT_VERSION}-win32")
set(LAUNCHER_PACKAGE_DIR "${CMAKE_BINARY_DIR}/${LAUNCHER_PACKAGE_NAME}")
set(LAUNCHER_PACKAGE_ZIP "${CMAKE_BINARY_DIR}/${LAUNCHER_PACKAGE_NAME}.zip")
set(LAUNCHER_PACKAGE_ROOT "${LAUNCHER_IDENTITY_DIR}/root.pem")
add_custom_command(OUTPUT "${LAUNCHER_PACKAGE_ZIP}"
  COMMAND ${CMAKE_COMMAND} -E rm -rf "${LAUNCHER_PACKAGE_DIR}" "${LAUNCHER_PACKAGE_ZIP}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${LAUNCHER_PACKAGE_DIR}"
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:launcher> "${LAUNCHER_PACKAGE_DIR}/launcher.exe"
  COMMAND ${CMAKE_COMMAND} -E copy "${LAUNCHER_PACKAGE_ROOT}" "${LAUNCHER_PACKAGE_DIR}/root.crt"
  COMMAND ${CMAKE_COMMAND} -E copy "${CMAKE_SOURCE_DIR}/src/platform/README-windows.txt"
    "${LAUNCHER_PACKAGE_DIR}/README.txt"
  COMMAND ${CMAKE_COMMAND} -E chdir "${LAUNCHER_PACKAGE_DIR}"
    ${CMAKE_COMMAND} -E tar cf "${LAUNCHER_PACKAGE_ZIP}" --format=zip
    launcher.exe root.crt README.txt
  DEPENDS launcher "${LAUNCHER_PACKAGE_ROOT}" "${CMAKE_SOURCE_DIR}/src/platform/README-windows.txt"
  COMMENT "Packing ${LAUNCHER_PACKAGE_NAME}.zip")
add_custom_target(windows_package DEPENDS "${LAUNCHER_PACKAGE_ZIP}")
