// The launcher's process entry and its process-wide texts.
#ifndef LAUNCHER_CORE_LAUNCHER_H
#define LAUNCHER_CORE_LAUNCHER_H

int launcherMain(int argc, char** argv);
void initialiseLauncher();
void shutdownLauncher();
void refetchCatalogue();

const char* launcherVersion();
const char* modulesDirectory();

#endif
