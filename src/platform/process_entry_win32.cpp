// The process entry on Windows: a GUI-subsystem program that opens no
// window and has no console. Its version is its VERSIONINFO resource.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>

#include "core/launcher.h"
#include "platform/platform.h"

namespace {

// Before anything loads a library by name: from then on such names are
// looked up in System32 alone, not in the executable's folder (which may be
// Downloads, holding a planted version.dll), the current folder or PATH.
// Windows 7 without KB2533623 lacks the call and keeps its old order.
void restrictLibrarySearch() {
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const auto setDirectories =
      reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(::GetProcAddress(
          ::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDirectories != nullptr) setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/,
                   LPSTR /*commandLine*/, int /*showCommand*/) {
  // A process without a window has nobody to answer the system's error
  // dialogs: a module that cannot load fails its load instead of stalling
  // the worker that loads it.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  restrictLibrarySearch();
  int code = launcherMain(__argc, __argv);
  // A detached catalogue fetch may still be running; the registries it uses
  // must outlive it, so the process ends without destroying them.
  platform::endProcess(code);
}
