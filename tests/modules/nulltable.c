/*
 * nulltable (version 1.0.0.0): registerHandler returns NULL, refusing
 * registration (code 3; the library is unloaded again).
 */
#include <stddef.h>

#include "launcher_module.h"

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  return NULL;
}
