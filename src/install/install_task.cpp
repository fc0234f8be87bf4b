// InstallTask: one thread per module being installed, with the clients that
// asked for it. Locks nest installLock, subscriberLock, then the queue's.
#include "install/install_task.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "bridge/json_text.h"
#include "bridge/outgoing_queue.h"
#include "catalogue/module_catalogue.h"
#include "catalogue/module_names.h"
#include "install/package_download.h"
#include "install/package_extraction.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kPathBuffer = 1024;

std::mutex installLock;
std::map<std::string, std::thread> installRegistry;

std::mutex subscriberLock;
std::map<std::string, std::vector<Connection>> installSubscribers;

// Progress and final messages alike answer the LOAD that started the task.
Json::Value installMessage() {
  Json::Value message(Json::objectValue);
  message["act"] = "LOAD";
  message["result"] = 2;
  return message;
}

std::string finalMessage(InstallError error) {
  Json::Value message = installMessage();
  message["error"] = static_cast<int>(error);
  return writeJsonText(message);
}

// The modules directory in UTF-16 and its length in units; 0 when there is
// none, since an empty directory would name wherever the process runs.
std::size_t modulesDirectoryUtf16(platform::Utf16 (&directory)[kPathBuffer]) {
  const char* modules = recordedModulesDirectory();
  if (modules[0] == '\0') return 0;
  const std::size_t units =
      platform::narrowToUtf16(modules, directory, kPathBuffer);
  return units == 0 ? 0 : units - 1;
}

InstallError unpackPackage(const char* packagePath) {
  platform::Utf16 directory[kPathBuffer];
  const std::size_t length = modulesDirectoryUtf16(directory);
  if (length == 0) return UnpackFailed;
  return extractPackage(packagePath, directory, length) == 0 ? Ok
                                                             : UnpackFailed;
}

InstallError installPackage(const std::string& moduleName) {
  char path[kPathBuffer] = {};
  std::size_t length = platform::temporaryDirectory(path, sizeof path);
  if (length == 0) return NoTempDir;
  // A name that is not a plain file name cannot become a package path.
  if (length + moduleName.size() >= kPathBuffer ||
      !isPlainModuleName(moduleName))
    return PathTooLong;
  moduleName.copy(path + length, moduleName.size());

  ProgressContext context{moduleName, 0, 0};
  InstallError fetched =
      downloadPackage(path, installUrl(moduleName), packageSize(moduleName),
                      packageDigest(moduleName), &context);
  if (fetched != Ok) return fetched;
  InstallError outcome = unpackPackage(path);
  if (outcome == Ok) platform::deleteFile(path);
  return outcome;
}

}  // namespace

void clearInstallLeftovers() {
  platform::Utf16 directory[kPathBuffer];
  const std::size_t length = modulesDirectoryUtf16(directory);
  if (length != 0) removeUnpackLeftovers(directory, length);
}

void subscribeClient(const std::string& moduleName, Connection connection) {
  std::lock_guard<std::mutex> guard(subscriberLock);
  std::vector<Connection>& list = installSubscribers[moduleName];
  if (std::find(list.begin(), list.end(), connection) == list.end())
    list.push_back(connection);
}

void notifySubscribers(const std::string& moduleName, const std::string& text) {
  std::lock_guard<std::mutex> guard(subscriberLock);
  auto it = installSubscribers.find(moduleName);
  if (it == installSubscribers.end()) return;
  for (Connection connection : it->second) queueMessage(connection, text);
}

void dropSubscribers(const std::string& moduleName) {
  std::lock_guard<std::mutex> guard(subscriberLock);
  installSubscribers.erase(moduleName);
}

void unsubscribeClient(Connection connection) {
  std::lock_guard<std::mutex> guard(subscriberLock);
  for (auto& entry : installSubscribers) {
    std::vector<Connection>& list = entry.second;
    list.erase(std::remove(list.begin(), list.end(), connection), list.end());
  }
}

void startInstall(const std::string& moduleName, Connection connection) {
  std::lock_guard<std::mutex> guard(installLock);
  subscribeClient(moduleName, connection);
  if (installRegistry.count(moduleName) != 0) return;
  try {
    installRegistry.emplace(moduleName, std::thread(installWorker, moduleName));
  } catch (const std::system_error&) {
    // No thread: nobody else can be subscribed without a running task, so
    // the asking client alone is told, and the page never waits for nothing.
    dropSubscribers(moduleName);
    queueMessage(connection, finalMessage(DownloadFailed));
  }
}

void installWorker(std::string moduleName) {
  InstallError outcome = installPackage(moduleName);

  std::lock_guard<std::mutex> guard(installLock);
  notifySubscribers(moduleName, finalMessage(outcome));
  deliverQueuedSoon();
  dropSubscribers(moduleName);
  auto it = installRegistry.find(moduleName);
  if (it != installRegistry.end()) {
    it->second.detach();
    installRegistry.erase(it);
  }
}

int reportProgress(void* context, std::int64_t totalExpected,
                   std::int64_t received, std::int64_t, std::int64_t) {
  if (totalExpected == 0 && received == 0) return 0;
  auto* progress = static_cast<ProgressContext*>(context);
  if (progress == nullptr || received <= progress->lastNow) return 0;
  progress->lastNow = received;
  Json::Value message = installMessage();
  message["size"] = Json::Int64{progress->base + received};
  message["total"] = Json::Int64{progress->base + totalExpected};
  notifySubscribers(progress->moduleName, writeJsonText(message));
  return 0;
}

bool installRunning(const std::string& moduleName) {
  std::lock_guard<std::mutex> guard(installLock);
  return installRegistry.count(moduleName) != 0;
}

bool anyInstallRunning() {
  std::lock_guard<std::mutex> guard(installLock);
  return !installRegistry.empty();
}
