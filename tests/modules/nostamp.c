/*
 * nostamp: a module WITHOUT a version stamp (its version text is empty).
 * handleRequest replies, whatever the request, with the number of
 * registerHandler calls so far as decimal text; releaseReply frees it.
 */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher_module.h"

static atomic_ulong registrations;

static char* LAUNCHER_CALL handleRequest(LauncherConnection connection,
                                         const char* request) {
  char* reply = (char*)malloc(32);
  (void)connection;
  (void)request;
  if (reply != NULL)
    snprintf(reply, 32, "%lu", (unsigned long)atomic_load(&registrations));
  return reply;
}

static void LAUNCHER_CALL releaseReply(char* reply) { free(reply); }

static const ModuleHandler handler = {handleRequest, NULL, releaseReply, NULL};

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  atomic_fetch_add(&registrations, 1);
  return &handler;
}
