/*
 * slowpoll (version 1.0.0.0): for the test of a client that closes while
 * the tick is delivering to it.
 * handleRequest with the request text "slow" (with the quotes) marks that
 * connection slow and replies "ok"; any other request gets no reply (NULL).
 * pollMessages for a slow connection sleeps 500 ms, then returns one message
 * "slept"; for any other connection it returns NULL at once. The mark is
 * never cleared: it stays with the connection handle (which the server may
 * reuse for a later client). The set of slow connections is guarded by a
 * mutex. releaseReply and releaseMessages free.
 */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "launcher_module.h"

enum { kMaxSlow = 64 };

static pthread_mutex_t slowLock = PTHREAD_MUTEX_INITIALIZER;
static LauncherConnection slowConnections[kMaxSlow];
static size_t slowCount = 0;

static char* copyText(const char* text) {
  char* copy = (char*)malloc(strlen(text) + 1);
  if (copy != NULL) memcpy(copy, text, strlen(text) + 1);
  return copy;
}

static int isSlow(LauncherConnection connection) {
  size_t i;
  int found = 0;
  pthread_mutex_lock(&slowLock);
  for (i = 0; i < slowCount && !found; ++i)
    found = slowConnections[i] == connection;
  pthread_mutex_unlock(&slowLock);
  return found;
}

static char* LAUNCHER_CALL handleRequest(LauncherConnection connection,
                                         const char* request) {
  if (strcmp(request, "\"slow\"") != 0) return NULL;
  if (!isSlow(connection)) {
    pthread_mutex_lock(&slowLock);
    if (slowCount < kMaxSlow) slowConnections[slowCount++] = connection;
    pthread_mutex_unlock(&slowLock);
  }
  return copyText("ok");
}

static char** LAUNCHER_CALL pollMessages(LauncherConnection connection) {
  struct timespec delay = {0, 500L * 1000L * 1000L};
  char** array;
  if (!isSlow(connection)) return NULL;
  while (nanosleep(&delay, &delay) != 0) {
  }
  array = (char**)calloc(2, sizeof *array);
  if (array == NULL) return NULL;
  array[0] = copyText("slept");
  if (array[0] == NULL) {
    free(array);
    return NULL;
  }
  return array;
}

static void LAUNCHER_CALL releaseReply(char* reply) { free(reply); }

static void LAUNCHER_CALL releaseMessages(char** messages) {
  char** p;
  for (p = messages; *p != NULL; ++p) free(*p);
  free(messages);
}

static const ModuleHandler handler = {handleRequest, pollMessages, releaseReply,
                                      releaseMessages};

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  return &handler;
}
