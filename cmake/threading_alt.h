/* mbedTLS's lock type for the Windows build: a slim reader/writer lock
 * (SRWLOCK), held as the pointer-sized value it is so that mbedTLS's
 * headers need no <windows.h>. The launcher hands mbedTLS the functions
 * over it at start (src/platform/tls_locks_win32.cpp). */
#ifndef LAUNCHER_MBEDTLS_THREADING_ALT_H
#define LAUNCHER_MBEDTLS_THREADING_ALT_H

typedef struct mbedtls_threading_mutex_t {
  void* lock;
  char is_valid;
} mbedtls_threading_mutex_t;

#endif
