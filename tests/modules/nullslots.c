/*
 * nullslots (version 1.0.0.0): registerHandler returns a table whose four
 * slots are all NULL. It registers, gets no requests and is never polled.
 */
#include <stddef.h>

#include "launcher_module.h"

static const ModuleHandler handler = {NULL, NULL, NULL, NULL};

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  return &handler;
}
