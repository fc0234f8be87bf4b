/*
 * ticker (version 1.0.0.0): pollMessages returns, on every call and for every
 * connection, one message {"seq":N}, where N is a process-wide counter
 * (atomic) that starts at 1 and grows by one per call; so the order in which
 * clients are polled within a tick is visible. releaseMessages frees.
 * No handleRequest.
 */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher_module.h"

LAUNCHER_MODULE_VERSION(1, 0, 0, 0);

static atomic_ulong sequence;

static char** LAUNCHER_CALL pollMessages(LauncherConnection connection) {
  char** array = (char**)calloc(2, sizeof *array);
  (void)connection;
  if (array == NULL) return NULL;
  array[0] = (char*)malloc(32);
  if (array[0] == NULL) {
    free(array);
    return NULL;
  }
  snprintf(array[0], 32, "{\"seq\":%lu}",
           (unsigned long)(atomic_fetch_add(&sequence, 1) + 1));
  return array;
}

static void LAUNCHER_CALL releaseMessages(char** messages) {
  char** p;
  for (p = messages; *p != NULL; ++p) free(*p);
  free(messages);
}

static const ModuleHandler handler = {NULL, pollMessages, NULL,
                                      releaseMessages};

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  return &handler;
}
