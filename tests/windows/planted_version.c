/*
 * version.dll as someone might plant it beside the launcher: the calls a
 * program imports from it, failing, and the file "planted.loaded" in the
 * temporary directory as soon as it is loaded. planted_version.def exports
 * them under version.dll's names.
 */
#include <stdio.h>
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  char directory[MAX_PATH + 1];
  char path[MAX_PATH + 32];
  FILE* mark;
  (void)instance;
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH ||
      GetTempPathA(sizeof directory, directory) == 0)
    return TRUE;
  snprintf(path, sizeof path, "%splanted.loaded", directory);
  mark = fopen(path, "wb");
  if (mark != NULL) fclose(mark);
  return TRUE;
}

DWORD plantedInfoSize(const char* path, DWORD* handle) {
  (void)path;
  if (handle != NULL) *handle = 0;
  return 0;
}

BOOL plantedInfo(const char* path, DWORD handle, DWORD size, void* data) {
  (void)path;
  (void)handle;
  (void)size;
  (void)data;
  return FALSE;
}

BOOL plantedQuery(const void* block, const char* name, void** value,
                  UINT* length) {
  (void)block;
  (void)name;
  (void)value;
  (void)length;
  return FALSE;
}
