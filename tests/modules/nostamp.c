/*
 * nostamp: a minimal valid module WITHOUT a version stamp (its version text
 * is empty). handleRequest replies "nostamp" (a malloc'd text) to every
 * request; releaseReply frees it; no pollMessages or releaseMessages.
 */
#include <stdlib.h>
#include <string.h>

#include "launcher_module.h"

static char* LAUNCHER_CALL handleRequest(LauncherConnection connection,
                                         const char* request) {
  static const char text[] = "nostamp";
  char* reply = (char*)malloc(sizeof text);
  (void)connection;
  (void)request;
  if (reply != NULL) memcpy(reply, text, sizeof text);
  return reply;
}

static void LAUNCHER_CALL releaseReply(char* reply) { free(reply); }

static const ModuleHandler handler = {handleRequest, NULL, releaseReply, NULL};

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  return &handler;
}
