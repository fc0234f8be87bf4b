// InstallTask: one module's package brought onto disk on its own thread,
// reported to every client that asked for it.
#ifndef LAUNCHER_INSTALL_INSTALL_TASK_H
#define LAUNCHER_INSTALL_INSTALL_TASK_H

#include <cstdint>
#include <string>

#include "bridge/connection.h"

enum InstallError : int {
  Ok = 0,
  NoTempDir = 1,
  PathTooLong = 2,
  DownloadFailed = 3,
  DigestMismatch = 4,
  UnpackFailed = 5,
};

struct ProgressContext {
  const std::string& moduleName;
  std::int64_t base;
  std::int64_t lastNow;
};

void startInstall(const std::string& moduleName, Connection connection);
void subscribeClient(const std::string& moduleName, Connection connection);
void notifySubscribers(const std::string& moduleName, const std::string& text);
void dropSubscribers(const std::string& moduleName);
// Withdraws a closed client from every install's audience.
void unsubscribeClient(Connection connection);
void installWorker(std::string moduleName);
int reportProgress(void* context, std::int64_t totalExpected,
                   std::int64_t received, std::int64_t uploadTotal,
                   std::int64_t uploaded);

// At start, before any install: removes what earlier installs left in the
// modules directory (files replaced while in use, an unpack cut short).
void clearInstallLeftovers();

// Whether any module's install is running.
bool anyInstallRunning();

// Seam for tests: whether an install for the name is running.
bool installRunning(const std::string& moduleName);

#endif
