/*
 * pollorder (version 1.0.0.0): shows the order in which a tick polls the
 * clients. pollMessages records each connection it is called for (the last
 * 64) and returns NULL. handleRequest answers "whoami" (with the quotes)
 * with the asking connection's handle as a decimal number, and "order" with
 * a JSON array of the recorded handles, oldest first. releaseReply frees.
 */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "launcher_module.h"

enum { kRecorded = 64 };

static pthread_mutex_t orderLock = PTHREAD_MUTEX_INITIALIZER;
static uintptr_t polled[kRecorded];
static size_t pollCount = 0;

static char** LAUNCHER_CALL pollMessages(LauncherConnection connection) {
  pthread_mutex_lock(&orderLock);
  polled[pollCount++ % kRecorded] = (uintptr_t)connection;
  pthread_mutex_unlock(&orderLock);
  return NULL;
}

static char* LAUNCHER_CALL handleRequest(LauncherConnection connection,
                                         const char* request) {
  char* reply = (char*)malloc(kRecorded * 24 + 4);
  size_t at = 0, i, first;
  if (reply == NULL) return NULL;
  if (strcmp(request, "\"whoami\"") == 0) {
    snprintf(reply, 24, "%llu", (unsigned long long)(uintptr_t)connection);
    return reply;
  }
  if (strcmp(request, "\"order\"") != 0) {
    free(reply);
    return NULL;
  }
  pthread_mutex_lock(&orderLock);
  first = pollCount > kRecorded ? pollCount - kRecorded : 0;
  reply[at++] = '[';
  for (i = first; i < pollCount; ++i)
    at += (size_t)snprintf(reply + at, 24, "%s%llu", i == first ? "" : ",",
                           (unsigned long long)polled[i % kRecorded]);
  pthread_mutex_unlock(&orderLock);
  reply[at++] = ']';
  reply[at] = '\0';
  return reply;
}

static void LAUNCHER_CALL releaseReply(char* reply) { free(reply); }

static const ModuleHandler handler = {handleRequest, pollMessages, releaseReply,
                                      NULL};

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  return &handler;
}
