// The TLS library's locks on Windows: slim reader/writer locks, which need
// no clean-up and cannot fail.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <mbedtls/threading.h>
#include <windows.h>

#include "platform/platform.h"

namespace platform {

namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRW lock is a pointer");

PSRWLOCK slimLock(mbedtls_threading_mutex_t* mutex) {
  return reinterpret_cast<PSRWLOCK>(&mutex->lock);
}

void initialiseLock(mbedtls_threading_mutex_t* mutex) {
  if (mutex == nullptr) return;
  ::InitializeSRWLock(slimLock(mutex));
  mutex->is_valid = 1;
}

void freeLock(mbedtls_threading_mutex_t* mutex) {
  if (mutex != nullptr) mutex->is_valid = 0;
}

int acquireLock(mbedtls_threading_mutex_t* mutex) {
  if (mutex == nullptr || !mutex->is_valid)
    return MBEDTLS_ERR_THREADING_BAD_INPUT_DATA;
  ::AcquireSRWLockExclusive(slimLock(mutex));
  return 0;
}

int releaseLock(mbedtls_threading_mutex_t* mutex) {
  if (mutex == nullptr || !mutex->is_valid)
    return MBEDTLS_ERR_THREADING_BAD_INPUT_DATA;
  ::ReleaseSRWLockExclusive(slimLock(mutex));
  return 0;
}

}  // namespace

void setUpTlsLocks() {
  mbedtls_threading_set_alt(initialiseLock, freeLock, acquireLock, releaseLock);
}

}  // namespace platform
