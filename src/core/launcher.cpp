// Start-up, single instance and shutdown.
#include "core/launcher.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "bridge/bridge_server.h"
#include "bridge/message_routing.h"
#include "catalogue/http_transfer.h"
#include "catalogue/module_catalogue.h"
#include "core/build_settings.h"
#include "core/tls_identity.h"
#include "install/install_task.h"
#include "install/launcher_update.h"
#include "modules/handler_registry.h"
#include "modules/module_libraries.h"
#include "platform/platform.h"

namespace {

constexpr int kBasePort = 11651;
constexpr int kPortAttempts = 5;
// Paths are UTF-8: a path of Windows' usual 260 units takes at most 780
// bytes here. One that does not fit is refused by every call that forms it.
constexpr std::size_t kPathBuffer = 1024;

// Formed once on the main thread before any other thread starts; read-only
// afterwards.
char modulesDirectoryText[kPathBuffer];
char launcherVersionText[kPathBuffer];

}  // namespace

const char* launcherVersion() { return launcherVersionText; }
const char* modulesDirectory() { return modulesDirectoryText; }

void initialiseLauncher() {
  platform::enterApartment();

  char path[kPathBuffer] = {};
  std::size_t length = platform::executablePath(path, sizeof path);

  std::string version = length == 0 ? std::string() : fileVersionText(path);
  std::snprintf(launcherVersionText, sizeof launcherVersionText, "%s",
                version.c_str());

  // Cut the file name off at the last separator; no separator leaves an
  // empty directory.
  std::size_t cut = 0;
  for (std::size_t i = length; i > 0; --i) {
    if (path[i - 1] == platform::kPathSeparator) {
      cut = i - 1;
      break;
    }
  }
  path[cut] = '\0';
  // Without its own path the launcher has no modules directory at all, so
  // nothing is ever looked up or unpacked at the file system's root.
  int n = length == 0
              ? -1
              : std::snprintf(modulesDirectoryText, sizeof modulesDirectoryText,
                              "%s%cmodules", path, platform::kPathSeparator);
  // A directory that does not fit would name some other place; leave it
  // empty so that no module path is ever formed.
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof modulesDirectoryText)
    modulesDirectoryText[0] = '\0';

  prepareTlsLibrary();
  initialiseHttpTransfer();
  if (kCatalogueTrustBundle[0] != '\0')
    setTransferTrustBundle(kCatalogueTrustBundle);
  // A newer launcher is looked for once per process, after the one load.
  setCatalogueLoadedHook([] { updateLauncher(launcherVersionText); });
  startCatalogueFetch(modulesDirectoryText, kCatalogueUrl);
}

void refetchCatalogue() {
  startCatalogueFetch(modulesDirectoryText, kCatalogueUrl);
}

void shutdownLauncher() {
  unregisterAllModules();
  stopCatalogueFetch();
  platform::leaveApartment();
}

int launcherMain(int argc, char** argv) {
  if (!platform::claimSingleInstance()) return 0;
  platform::setUpTlsLocks();

  // Before any thread starts, so that a request is never missed; without
  // it the system's default ends the process as before.
  platform::watchStopRequests();
  initialiseLauncher();
  clearInstallLeftovers();

  // The command line carries nothing for the launcher.
  if (argc > 1) (void)argv[1];

  BridgeHooks hooks{deliverToClient, routeMessage, forgetClient,
                    deliverQueuedToClient, forgetTlsIdentity};
  for (int i = 0; i < kPortAttempts; ++i) {
    char address[32];
    std::snprintf(address, sizeof address, "127.0.0.1:%ds", kBasePort + i);
    // Returns non-zero when the server could not be started on this port,
    // 0 after it served until asked to stop.
    if (startBridgeServer(address, tlsIdentity(), hooks) == 0) break;
  }
  shutdownLauncher();
  return 0;
}
