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

#if defined(_WIN32)
#include <wchar.h>
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  /* Wide: the temporary folder is in a profile whose name the ANSI code
     page may not hold. */
  wchar_t path[MAX_PATH + 32];
  FILE* mark;
  (void)instance;
  /* A null reserved: FreeLibrary, not the process's end. */
  if (reason == DLL_PROCESS_DETACH && reserved == NULL &&
      GetTempPathW(MAX_PATH + 1, path) != 0) {
    wcscat(path, L"farewell.unloaded");
    mark = _wfopen(path, L"wb");
    if (mark != NULL) fclose(mark);
  }
  return TRUE;
}
#else
__attribute__((destructor)) static void unloaded(void) {
  const char* directory = getenv("TMPDIR");
  char path[4096];
  FILE* mark;
  if (snprintf(path, sizeof path, "%s/farewell.unloaded",
               directory != NULL ? directory : "/tmp") >= (int)sizeof path)
    return;
  mark = fopen(path, "wb");
  if (mark != NULL) fclose(mark);
}
#endif
