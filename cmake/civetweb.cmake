# CivetWeb from Debian's source package, with our patches applied to a copy
# in the build tree so the unpacked sources stay pristine: the TLS identity
# from memory, no output of its own (the launcher writes nothing), inbound
# frames checked from their header, the close handler for a handshake that
# fails after the connect handler accepted it, fewer system calls per
# frame, the reader's news of its input, a bounded TLS handshake, the
# cheapest key exchange browsers offer, sessions that reconnecting pages
# resume, one thread at a time on a session, deadlines for peers, a stop
# flag that is set atomically, and workers only for clients whose hello has
# arrived.
set(CIVETWEB_SRC "${LAUNCHER_THIRD_PARTY}/civetweb")
if(NOT EXISTS "${CIVETWEB_SRC}/src/civetweb.c")
  message(FATAL_ERROR "CivetWeb sources missing: run scripts/setup")
endif()
set(CIVETWEB_PATCHED "${CMAKE_BINARY_DIR}/civetweb")
include(cmake/patched_copy.cmake)
launcher_patched_copy("${CIVETWEB_SRC}" 1.15+dfsg-4 "${CIVETWEB_PATCHED}"
  "${CMAKE_SOURCE_DIR}/patches/civetweb-pem-in-memory.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-silent.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-frame-checks.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-handshake-close.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-read-ahead.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-handshake-blocking.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-reply-batching.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-key-exchange.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-session-cache.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-session-lock.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-deadlines.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-stop-flag.patch;${CMAKE_SOURCE_DIR}/patches/civetweb-hello-first.patch"
  src include)

add_library(civetweb_static STATIC "${CIVETWEB_PATCHED}/src/civetweb.c")
target_include_directories(civetweb_static SYSTEM PUBLIC "${CIVETWEB_PATCHED}/include")
# A stop waits for every server thread to notice it, which each does between
# two polls of at most SOCKET_TIMEOUT_QUANTUM ms (2000 by default): 250 keeps
# the launcher's stop well under a second. The stop flag is then written
# while the threads read it: STOP_FLAG_NEEDS_LOCK (and our patch) make every
# access atomic.
target_compile_definitions(civetweb_static PRIVATE
  USE_MBEDTLS USE_WEBSOCKET NO_CGI NO_FILES NO_CACHING NDEBUG
  MG_MAX_WEBSOCKET_FRAME=${LAUNCHER_MAX_MESSAGE_BYTES} SOCKET_TIMEOUT_QUANTUM=250
  STOP_FLAG_NEEDS_LOCK
  # A peer that takes none of our output for this long, or leaves a frame
  # unfinished for this long, is closed (README, publishers' section).
  MG_WRITE_STALL_SECONDS=5 MG_FRAME_SECONDS=10)
target_compile_options(civetweb_static PRIVATE -w)
target_link_libraries(civetweb_static PUBLIC ${MBEDTLS_LIBRARIES} Threads::Threads ${CMAKE_DL_LIBS})
if(WIN32)
  target_link_libraries(civetweb_static PUBLIC ws2_32)
endif()
