/*
 * twoone (version 2.0.1.7, version text "2.0.1"): a minimal valid module.
 * handleRequest replies "twoone" (a malloc'd text) to every request;
 * releaseReply frees it; no pollMessages or releaseMessages.
 */
#include <stdlib.h>
#include <string.h>

#include "launcher_module.h"

static char* LAUNCHER_CALL handleRequest(LauncherConnection connection,
                                         const char* request) {
  static const char text[] = "twoone";
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
