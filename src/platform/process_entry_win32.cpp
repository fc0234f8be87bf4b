// The process entry on Windows: a GUI-subsystem program that opens no
// window and has no console. Its version is its VERSIONINFO resource.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>

#include "core/launcher.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/,
                   LPSTR /*commandLine*/, int /*showCommand*/) {
  int code = launcherMain(__argc, __argv);
  // A detached catalogue fetch may still be running; the registries it uses
  // must outlive it, so the process ends without destroying them.
  std::_Exit(code);
}
