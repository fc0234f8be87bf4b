// HandlerRegistry: the callback tables of registered modules, by name.
#ifndef LAUNCHER_MODULES_HANDLER_REGISTRY_H
#define LAUNCHER_MODULES_HANDLER_REGISTRY_H

#include <memory>
#include <string>
#include <vector>

#include "modules/launcher_module.h"

const ModuleHandler* findHandler(const std::string& name);
// 0 registered (now or before), 1 load failed, 2 no registerHandler,
// 3 registerHandler returned null.
int registerModule(const std::string& name);
void unregisterModule(const std::string& name);
// At a stop, once nothing can call a module any more: every library goes,
// so each module's own end code runs.
void unregisterAllModules();
// Registers a table that no library provides: an in-process module, as the
// fuzz targets use. The table must live for the process.
void registerHandlerTable(const std::string& name, const ModuleHandler* table);

// The tables in ascending byte-wise name order, for the tick's walk: an
// unchanging snapshot, replaced whole when a module registers, so a walk
// never meets the registry in change and takes no lock while it calls out.
using HandlerList = std::vector<const ModuleHandler*>;
std::shared_ptr<const HandlerList> registeredHandlers();

#endif
