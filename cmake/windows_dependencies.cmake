# The libraries that Linux takes from Debian's -dev packages, compiled here
# for the Windows target from Debian's source packages (scripts/setup puts
# them in third_party/). Each is cut down to what the launcher uses.
foreach(_dep mbedtls curl jsoncpp)
  if(NOT EXISTS "${LAUNCHER_THIRD_PARTY}/${_dep}/CMakeLists.txt")
    message(FATAL_ERROR "${_dep} sources missing: run scripts/setup --windows")
  endif()
endforeach()

# crypt32 and bcrypt are no KnownDLLs: imported the usual way, Windows would
# load them before main and look for them, and for what they import in turn,
# in the executable's folder first. Delay-loaded, each comes at its first
# call, after the launcher has limited the search to System32
# (process_entry_win32.cpp). Their delay-import libraries are made from the
# toolchain's import libraries.
find_program(LAUNCHER_DLLTOOL ${LAUNCHER_WINDOWS_TRIPLET}-dlltool REQUIRED)
set(_delay_dir "${CMAKE_BINARY_DIR}/delay-imports")
file(MAKE_DIRECTORY "${_delay_dir}")
foreach(_dll crypt32 bcrypt)
  find_library(LAUNCHER_IMPORT_${_dll} NAMES ${_dll} REQUIRED)
  execute_process(COMMAND ${CMAKE_NM} "${LAUNCHER_IMPORT_${_dll}}"
    OUTPUT_VARIABLE _symbols ERROR_QUIET)
  string(REGEX MATCHALL " I __imp_[^\n]+" _imports "${_symbols}")
  list(TRANSFORM _imports REPLACE "^ I __imp_" "")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # i686 decorates C names with a leading underscore.
    list(TRANSFORM _imports REPLACE "^_" "")
  endif()
  list(REMOVE_DUPLICATES _imports)
  list(JOIN _imports "\n" _exports)
  file(WRITE "${_delay_dir}/${_dll}.def.new" "LIBRARY ${_dll}.dll\nEXPORTS\n${_exports}\n")
  configure_file("${_delay_dir}/${_dll}.def.new" "${_delay_dir}/${_dll}.def" COPYONLY)
  set(LAUNCHER_DELAY_${_dll} "${_delay_dir}/lib${_dll}_delay.a")
  add_custom_command(OUTPUT "${LAUNCHER_DELAY_${_dll}}"
    COMMAND ${LAUNCHER_DLLTOOL} -k -d "${_delay_dir}/${_dll}.def"
      -y "${LAUNCHER_DELAY_${_dll}}" -D ${_dll}.dll
    DEPENDS "${_delay_dir}/${_dll}.def" VERBATIM)
endforeach()
add_custom_target(delay_imports DEPENDS "${LAUNCHER_DELAY_crypt32}" "${LAUNCHER_DELAY_bcrypt}")

# mbedTLS: the three libraries in one archive, with threading on. CivetWeb
# brings its own pthread emulation on Windows, so mbedTLS locks with Win32
# slim locks that the launcher hands it (MBEDTLS_THREADING_ALT) rather than
# pthreads.
set(MBEDTLS_SRC "${LAUNCHER_THIRD_PARTY}/mbedtls")
file(GLOB _mbedtls_sources "${MBEDTLS_SRC}/library/*.c")
add_library(mbedtls_windows STATIC ${_mbedtls_sources})
target_include_directories(mbedtls_windows SYSTEM PUBLIC "${MBEDTLS_SRC}/include"
  "${CMAKE_SOURCE_DIR}/cmake")
target_compile_definitions(mbedtls_windows PUBLIC
  MBEDTLS_USER_CONFIG_FILE="mbedtls_windows_config.h")
target_compile_options(mbedtls_windows PRIVATE -w)
target_link_libraries(mbedtls_windows PUBLIC ws2_32 advapi32 "${LAUNCHER_DELAY_bcrypt}")
add_dependencies(mbedtls_windows delay_imports)
set(MBEDTLS_LIBRARIES mbedtls_windows)

# JsonCpp: its three sources.
set(JSONCPP_SRC "${LAUNCHER_THIRD_PARTY}/jsoncpp")
add_library(jsoncpp_windows STATIC "${JSONCPP_SRC}/src/lib_json/json_reader.cpp"
  "${JSONCPP_SRC}/src/lib_json/json_value.cpp" "${JSONCPP_SRC}/src/lib_json/json_writer.cpp")
target_include_directories(jsoncpp_windows SYSTEM PUBLIC "${JSONCPP_SRC}/include")
target_compile_options(jsoncpp_windows PRIVATE -w)
set(JSONCPP_LIBRARY jsoncpp_windows)

# libcurl: HTTP and HTTPS only, TLS through Schannel, so that the Windows
# certificate store is the trust source. Its own CMake build, isolated in a
# sub-build, installed into the build tree. Unicode: the paths it opens (the
# trust bundle) are UTF-8, as every path above the platform layer is.
include(ExternalProject)
set(CURL_PREFIX "${CMAKE_BINARY_DIR}/deps/curl")
set(CURL_STATIC_LIBRARY "${CURL_PREFIX}/lib/libcurl.a")
ExternalProject_Add(curl_windows_build
  SOURCE_DIR "${LAUNCHER_THIRD_PARTY}/curl"
  BINARY_DIR "${CMAKE_BINARY_DIR}/deps/curl-build"
  INSTALL_DIR "${CURL_PREFIX}"
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DCMAKE_INSTALL_LIBDIR=lib
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DHTTP_ONLY=ON
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DUSE_LIBIDN2=OFF
    -DUSE_WIN32_IDN=OFF -DCURL_USE_LIBPSL=OFF -DUSE_NGHTTP2=OFF
    -DENABLE_MANUAL=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON
    -DENABLE_UNICODE=ON -DPICKY_COMPILER=OFF
  BUILD_BYPRODUCTS "${CURL_STATIC_LIBRARY}"
  UPDATE_COMMAND "" PATCH_COMMAND "")
file(MAKE_DIRECTORY "${CURL_PREFIX}/include")
add_library(curl_windows STATIC IMPORTED)
set_target_properties(curl_windows PROPERTIES IMPORTED_LOCATION "${CURL_STATIC_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${CURL_PREFIX}/include"
  INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
  INTERFACE_LINK_LIBRARIES "ws2_32;${LAUNCHER_DELAY_crypt32};secur32;${LAUNCHER_DELAY_bcrypt};advapi32")
set(CURL_LIBRARY curl_windows)
# Targets that link libcurl wait for its sub-build.
set(LAUNCHER_DEPENDENCY_BUILDS curl_windows_build delay_imports)
