/*
 * farewell (version 1.0.0.0): registers a table with no callbacks, and
 * leaves the file "farewell.unloaded" in the temporary directory when its
 * library is unloaded. The launcher ends its process without running
 * library end code, so the file says that the launcher unloaded it.
 */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher_module.h"

static const ModuleHandler handler = {NULL, NULL, NULL, NULL};

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  return &handler;
}

static void leaveMark(const char* directory, const char* separator) {
  char path[4096];
  FILE* mark;
  if (snprintf(path, sizeof path, "%s%sfarewell.unloaded", directory,
               separator) >= (int)sizeof path)
    return;
  mark = fopen(path, "wb");
  if (mark != NULL) fclose(mark);
}

#if defined(_WIN32)
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  char directory[MAX_PATH + 1];
  (void)instance;
  /* A null reserved: FreeLibrary, not the process's end. */
  if (reason == DLL_PROCESS_DETACH && reserved == NULL &&
      GetTempPathA(sizeof directory, directory) != 0)
    leaveMark(directory, "");
  return TRUE;
}
#else
__attribute__((destructor)) static void unloaded(void) {
  const char* directory = getenv("TMPDIR");
  leaveMark(directory != NULL ? directory : "/tmp", "/");
}
#endif
