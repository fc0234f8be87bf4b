// HandlerRegistry: registered modules' tables, published as snapshots.
#include "modules/handler_registry.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "modules/module_libraries.h"

namespace {

// byName for lookups, ordered (the same tables by name) for the tick.
struct HandlerSnapshot {
  std::map<std::string, const ModuleHandler*> byName;
  HandlerList ordered;
};

// handlerLock guards the published snapshot and the names being registered.
// It is never held while a module runs: a second LOAD of a name that is
// being registered waits on the condition instead.
std::mutex handlerLock;
std::condition_variable registrationEnded;
std::shared_ptr<const HandlerSnapshot> handlerRegistry =
    std::make_shared<HandlerSnapshot>();
std::set<std::string> registering;

std::shared_ptr<const HandlerSnapshot> currentSnapshot() {
  std::lock_guard<std::mutex> guard(handlerLock);
  return handlerRegistry;
}

// Called with handlerLock held; a null table removes the name.
void publish(const std::string& name, const ModuleHandler* table) {
  auto next = std::make_shared<HandlerSnapshot>(*handlerRegistry);
  if (table != nullptr)
    next->byName[name] = table;
  else
    next->byName.erase(name);
  next->ordered.clear();
  for (const auto& entry : next->byName) next->ordered.push_back(entry.second);
  handlerRegistry = std::move(next);
}

}  // namespace

const ModuleHandler* findHandler(const std::string& name) {
  std::shared_ptr<const HandlerSnapshot> snapshot = currentSnapshot();
  auto it = snapshot->byName.find(name);
  return it == snapshot->byName.end() ? nullptr : it->second;
}

std::shared_ptr<const HandlerList> registeredHandlers() {
  std::shared_ptr<const HandlerSnapshot> snapshot = currentSnapshot();
  // Shares the snapshot's ownership, so the list lives as long as the walk.
  return std::shared_ptr<const HandlerList>(snapshot, &snapshot->ordered);
}

int registerModule(const std::string& name) {
  {
    std::unique_lock<std::mutex> lock(handlerLock);
    registrationEnded.wait(lock, [&] { return registering.count(name) == 0; });
    if (handlerRegistry->byName.count(name) != 0) return 0;
    registering.insert(name);
  }

  int code = 0;
  const ModuleHandler* table = nullptr;
  if (!loadModuleLibrary(name)) {
    code = 1;
  } else {
    auto entry = reinterpret_cast<RegisterHandlerFunction>(
        findModuleExport(name, "registerHandler"));
    if (entry == nullptr) {
      code = 2;
    } else if ((table = entry()) == nullptr) {
      code = 3;
    }
    if (code != 0) unregisterModule(name);
  }

  {
    std::lock_guard<std::mutex> guard(handlerLock);
    if (code == 0) publish(name, table);
    registering.erase(name);
  }
  registrationEnded.notify_all();
  return code;
}

void registerHandlerTable(const std::string& name, const ModuleHandler* table) {
  std::lock_guard<std::mutex> guard(handlerLock);
  publish(name, table);
}

void unregisterModule(const std::string& name) {
  {
    std::lock_guard<std::mutex> guard(handlerLock);
    if (handlerRegistry->byName.count(name) != 0) publish(name, nullptr);
  }
  unloadModuleLibrary(name);
}

void unregisterAllModules() {
  std::vector<std::string> names;
  for (const auto& entry : currentSnapshot()->byName)
    names.push_back(entry.first);
  for (const std::string& name : names) unregisterModule(name);
}
