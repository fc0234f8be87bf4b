# libcurl for Linux from Debian's curl source package: HTTP and HTTPS only,
# by default over the mbedTLS the bridge already uses. Debian's libcurl brings
# OpenSSL, GnuTLS, Kerberos, LDAP, SSH and RTMP along, which made about 8 MiB
# of the launcher's resident memory at start for nothing it uses. mbedTLS
# 2.28 deciphers AES-GCM at about a tenth of OpenSSL's speed, which shows in
# installs from fast servers; LAUNCHER_CURL_TLS=openssl trades resident
# memory for that. Trust stays the system's: the default bundle and
# directory, as Debian's libcurl has them.
if(NOT EXISTS "${LAUNCHER_THIRD_PARTY}/curl/CMakeLists.txt")
  message(FATAL_ERROR "curl sources missing: run scripts/setup")
endif()
set(LAUNCHER_CURL_TLS mbedtls CACHE STRING "TLS library of libcurl on Linux: mbedtls or openssl")
if(LAUNCHER_CURL_TLS STREQUAL "openssl")
  find_package(OpenSSL REQUIRED)
  set(curl_tls -DCURL_USE_MBEDTLS=OFF -DCURL_USE_OPENSSL=ON)
  set(curl_tls_libraries OpenSSL::SSL OpenSSL::Crypto)
elseif(LAUNCHER_CURL_TLS STREQUAL "mbedtls")
  set(curl_tls -DCURL_USE_MBEDTLS=ON -DCURL_USE_OPENSSL=OFF)
  set(curl_tls_libraries ${MBEDTLS_LIBRARIES})
else()
  message(FATAL_ERROR "LAUNCHER_CURL_TLS must be mbedtls or openssl")
endif()
include(ExternalProject)
set(CURL_PREFIX "${CMAKE_BINARY_DIR}/deps/curl")
set(CURL_STATIC_LIBRARY "${CURL_PREFIX}/lib/libcurl.a")
ExternalProject_Add(curl_build
  SOURCE_DIR "${LAUNCHER_THIRD_PARTY}/curl"
  BINARY_DIR "${CMAKE_BINARY_DIR}/deps/curl-build"
  INSTALL_DIR "${CURL_PREFIX}"
  CMAKE_ARGS
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DCMAKE_INSTALL_LIBDIR=lib
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF
    ${curl_tls} -DHTTP_ONLY=ON
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DUSE_LIBIDN2=OFF
    -DCURL_USE_LIBPSL=OFF -DUSE_NGHTTP2=OFF -DCURL_USE_GSSAPI=OFF
    -DENABLE_MANUAL=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON
    -DCURL_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt
    -DCURL_CA_PATH=/etc/ssl/certs
    -DPICKY_COMPILER=OFF
  BUILD_BYPRODUCTS "${CURL_STATIC_LIBRARY}"
  UPDATE_COMMAND "" PATCH_COMMAND "")
file(MAKE_DIRECTORY "${CURL_PREFIX}/include")
add_library(curl_static STATIC IMPORTED)
set_target_properties(curl_static PROPERTIES IMPORTED_LOCATION "${CURL_STATIC_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${CURL_PREFIX}/include"
  INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
  INTERFACE_LINK_LIBRARIES "${curl_tls_libraries};Threads::Threads")
set(CURL_LIBRARY curl_static)
# Targets that link libcurl wait for its sub-build.
set(LAUNCHER_DEPENDENCY_BUILDS curl_build)
