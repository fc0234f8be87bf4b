// Module library files: paths, versions, the installed check, and
// ModuleLibraryRegistry of loaded libraries.
#ifndef LAUNCHER_MODULES_MODULE_LIBRARIES_H
#define LAUNCHER_MODULES_MODULE_LIBRARIES_H

#include <string>

// Empty when the name cannot be a file name or the path would not fit.
std::string moduleLibraryPath(const std::string& name);
// "major.minor.build", or empty for a file without a version stamp.
std::string fileVersionText(const char* path);
// 0 current, 2 missing, 3 version differs, 4 digest differs.
int checkInstalledModule(const std::string& name);
bool loadModuleLibrary(const std::string& name);
void* findModuleExport(const std::string& name, const char* exportName);
bool unloadModuleLibrary(const std::string& name);

#endif
