/*
 * noexport (version 1.0.0.0): a loadable library without the export
 * registerHandler. Its only export is notRegisterHandler, which returns 42.
 * Registration fails with code 2 and the library is unloaded again.
 */
#include "launcher_module.h"

LAUNCHER_EXPORT int notRegisterHandler(void);
LAUNCHER_EXPORT int notRegisterHandler(void) { return 42; }
