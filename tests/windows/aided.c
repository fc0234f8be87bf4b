/*
 * aided (version 1.0.0.0): a module whose library imports aid.dll, which
 * its package puts beside it; handleRequest answers with aid's reply.
 */
#include <stdlib.h>
#include <string.h>

#include "launcher_module.h"

__declspec(dllimport) const char* aidReply(void);

static char* LAUNCHER_CALL handleRequest(LauncherConnection connection,
                                         const char* request) {
  const char* text = aidReply();
  char* reply = (char*)malloc(strlen(text) + 1);
  (void)connection;
  (void)request;
  if (reply != NULL) strcpy(reply, text);
  return reply;
}

static void LAUNCHER_CALL releaseReply(char* reply) { free(reply); }

static const ModuleHandler handler = {handleRequest, NULL, releaseReply, NULL};

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  return &handler;
}
