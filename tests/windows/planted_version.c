/*
 * version.dll as someone might plant it beside the launcher: the calls a
 * program imports from it, failing, and the file "planted.loaded" in the
 * temporary directory as soon as it is loaded. planted_version.def exports
 * them under version.dll's names.
 */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  /* Wide: the temporary folder is in a profile whose name the ANSI code
     page may not hold, and then the mark would never be left. */
  wchar_t path[MAX_PATH + 32];
  FILE* mark;
  (void)instance;
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH || GetTempPathW(MAX_PATH + 1, path) == 0)
    return TRUE;
  wcscat(path, L"planted.loaded");
  mark = _wfopen(path, L"wb");
  if (mark != NULL) fclose(mark);
  return TRUE;
}

DWORD plantedInfoSize(const wchar_t* path, DWORD* handle) {
  (void)path;
  if (handle != NULL) *handle = 0;
  return 0;
}

BOOL plantedInfo(const wchar_t* path, DWORD handle, DWORD size, void* data) {
  (void)path;
  (void)handle;
  (void)size;
  (void)data;
  return FALSE;
}

BOOL plantedQuery(const void* block, const wchar_t* name, void** value,
                  UINT* length) {
  (void)block;
  (void)name;
  (void)value;
  (void)length;
  return FALSE;
}
