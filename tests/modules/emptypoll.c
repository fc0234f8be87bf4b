/*
 * emptypoll (version 1.0.0.0): pollMessages returns, on every call, a fresh
 * array whose first entry is NULL (so nothing is sent); releaseMessages frees
 * it and counts the call. handleRequest replies with that count as decimal
 * text (e.g. "3"), whatever the request; releaseReply frees the reply.
 */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "launcher_module.h"

static atomic_ulong releasedArrays;

static char* LAUNCHER_CALL handleRequest(LauncherConnection connection,
                                         const char* request) {
  char text[32];
  char* reply;
  (void)connection;
  (void)request;
  snprintf(text, sizeof text, "%lu",
           (unsigned long)atomic_load(&releasedArrays));
  reply = (char*)malloc(strlen(text) + 1);
  if (reply != NULL) memcpy(reply, text, strlen(text) + 1);
  return reply;
}

static char** LAUNCHER_CALL pollMessages(LauncherConnection connection) {
  (void)connection;
  return (char**)calloc(1, sizeof(char*));
}

static void LAUNCHER_CALL releaseReply(char* reply) { free(reply); }

static void LAUNCHER_CALL releaseMessages(char** messages) {
  free(messages);
  atomic_fetch_add(&releasedArrays, 1);
}

static const ModuleHandler handler = {handleRequest, pollMessages, releaseReply,
                                      releaseMessages};

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  return &handler;
}
