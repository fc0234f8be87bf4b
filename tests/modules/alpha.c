/*
 * alpha (version 1.0.0.0): pollMessages returns a fresh malloc'd array with the
 * one text "alpha" on every call, for every connection; releaseMessages frees
 * it. No handleRequest. With Beta and alpha both registered, a tick sends
 * "Beta" before "alpha" (byte-wise name order: upper case first).
 */
#include <stdlib.h>
#include <string.h>

#include "launcher_module.h"

LAUNCHER_MODULE_VERSION(1, 0, 0, 0);

static char** LAUNCHER_CALL pollMessages(LauncherConnection connection) {
  static const char text[] = "alpha";
  char** array = (char**)calloc(2, sizeof *array);
  (void)connection;
  if (array == NULL) return NULL;
  array[0] = (char*)malloc(sizeof text);
  if (array[0] == NULL) {
    free(array);
    return NULL;
  }
  memcpy(array[0], text, sizeof text);
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
