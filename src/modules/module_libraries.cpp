// Module library files and ModuleLibraryRegistry.
#include "modules/module_libraries.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "catalogue/module_catalogue.h"
#include "catalogue/module_names.h"
#include "install/file_digest.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kPathBuffer = 1024;

// Guards the map only; libraries are loaded and released outside it, since
// that runs the module's own start and end code.
std::mutex libraryLock;
std::map<std::string, platform::LibraryHandle> moduleLibraryRegistry;

}  // namespace

std::string moduleLibraryPath(const std::string& name) {
  const char* directory = recordedModulesDirectory();
  if (directory[0] == '\0' || !isPlainModuleName(name)) return std::string();
  char path[kPathBuffer];
  int n = std::snprintf(path, sizeof path, "%s%c%s%s", directory,
                        platform::kPathSeparator, name.c_str(),
                        platform::kLibraryExtension);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) return std::string();
  return std::string(path, static_cast<std::size_t>(n));
}

std::string fileVersionText(const char* path) {
  std::uint16_t parts[4];
  if (path == nullptr || path[0] == '\0' || !platform::fileVersion(path, parts))
    return std::string();
  char text[24];
  std::snprintf(text, sizeof text, "%u.%u.%u", unsigned{parts[0]},
                unsigned{parts[1]}, unsigned{parts[2]});
  return text;
}

int checkInstalledModule(const std::string& name) {
  std::string path = moduleLibraryPath(name);
  if (path.empty() || !platform::pathExists(path.c_str())) return 2;
  if (fileVersionText(path.c_str()) != latestVersion(name)) return 3;
  return libraryMatchesCatalogue(path.c_str(), name) ? 0 : 4;
}

bool loadModuleLibrary(const std::string& name) {
  std::string path = moduleLibraryPath(name);
  if (path.empty()) return false;
  platform::LibraryHandle handle = platform::loadLibrary(path.c_str());
  if (handle == nullptr) return false;
  bool surplus;
  {
    std::lock_guard<std::mutex> guard(libraryLock);
    surplus = !moduleLibraryRegistry.emplace(name, handle).second;
  }
  // A name already recorded keeps its handle; this load only raised the
  // library's reference count.
  if (surplus) platform::unloadLibrary(handle);
  return true;
}

void* findModuleExport(const std::string& name, const char* exportName) {
  platform::LibraryHandle handle;
  {
    std::lock_guard<std::mutex> guard(libraryLock);
    auto it = moduleLibraryRegistry.find(name);
    if (it == moduleLibraryRegistry.end()) return nullptr;
    handle = it->second;
  }
  return platform::findLibraryExport(handle, exportName);
}

bool unloadModuleLibrary(const std::string& name) {
  platform::LibraryHandle handle;
  {
    std::lock_guard<std::mutex> guard(libraryLock);
    auto it = moduleLibraryRegistry.find(name);
    if (it == moduleLibraryRegistry.end()) return false;
    handle = it->second;
    moduleLibraryRegistry.erase(it);
  }
  platform::unloadLibrary(handle);
  return true;
}
