// The process entry on POSIX systems.

#include "build_config.h"
#include "core/launcher.h"
#include "modules/launcher_module.h"
#include "platform/platform.h"

// The launcher carries the same version stamp as module libraries, so that
// it reads its own version from its file like any other.
LAUNCHER_MODULE_VERSION(LAUNCHER_VERSION_MAJOR, LAUNCHER_VERSION_MINOR,
                        LAUNCHER_VERSION_BUILD, LAUNCHER_VERSION_REVISION);

int main(int argc, char** argv) {
  int code = launcherMain(argc, argv);
  // A detached catalogue fetch may still be running; the registries it uses
  // must outlive it, so the process ends without destroying them.
  platform::endProcess(code);
}
