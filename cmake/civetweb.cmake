# CivetWeb from Debian's source package, with our patch applied to a copy in
# the build tree so the unpacked sources stay pristine.
set(CIVETWEB_SRC "${LAUNCHER_THIRD_PARTY}/civetweb")
if(NOT EXISTS "${CIVETWEB_SRC}/src/civetweb.c")
  message(FATAL_ERROR "CivetWeb sources missing: run scripts/setup")
endif()
set(CIVETWEB_PATCHED "${CMAKE_BINARY_DIR}/civetweb")
set(CIVETWEB_PATCH "${CMAKE_SOURCE_DIR}/patches/civetweb-pem-in-memory.patch")
file(SHA256 "${CIVETWEB_PATCH}" _civetweb_patch_hash)
if(NOT EXISTS "${CIVETWEB_PATCHED}/.patched-${_civetweb_patch_hash}")
  file(REMOVE_RECURSE "${CIVETWEB_PATCHED}")
  file(COPY "${CIVETWEB_SRC}/src" "${CIVETWEB_SRC}/include" DESTINATION "${CIVETWEB_PATCHED}")
  execute_process(COMMAND patch -p1 -i "${CIVETWEB_PATCH}"
    WORKING_DIRECTORY "${CIVETWEB_PATCHED}" RESULT_VARIABLE _patch_rc)
  if(NOT _patch_rc EQUAL 0)
    message(FATAL_ERROR "applying ${CIVETWEB_PATCH} failed")
  endif()
  file(WRITE "${CIVETWEB_PATCHED}/.patched-${_civetweb_patch_hash}" "")
endif()

add_library(civetweb_static STATIC "${CIVETWEB_PATCHED}/src/civetweb.c")
target_include_directories(civetweb_static SYSTEM PUBLIC "${CIVETWEB_PATCHED}/include")
target_compile_definitions(civetweb_static PRIVATE
  USE_MBEDTLS USE_WEBSOCKET NO_CGI NO_FILES NO_CACHING NDEBUG)
target_compile_options(civetweb_static PRIVATE -w)
target_link_libraries(civetweb_static PUBLIC ${MBEDTLS_LIBRARIES} Threads::Threads ${CMAKE_DL_LIBS})
