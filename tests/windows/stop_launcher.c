/*
 * stop_launcher PATH: asks every process started from the launcher
 * executable at PATH to stop, as the installer does, through the event
 * that each one watches. Exits with 0 when it asked at least one.
 */
#include <windows.h>

/* After <windows.h>, which <tlhelp32.h> needs. */
#include <stdio.h>
#include <string.h>
#include <tlhelp32.h>

int main(int argc, char** argv) {
  HANDLE snapshot;
  PROCESSENTRY32 entry;
  BOOL more;
  int asked = 0;
  if (argc != 2) return 2;
  snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 1;
  entry.dwSize = sizeof entry;
  for (more = Process32First(snapshot, &entry); more;
       more = Process32Next(snapshot, &entry)) {
    char image[MAX_PATH];
    char name[64];
    DWORD size = sizeof image;
    BOOL named;
    HANDLE event;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                 entry.th32ProcessID);
    if (process == NULL) continue;
    named = QueryFullProcessImageNameA(process, 0, image, &size);
    CloseHandle(process);
    if (!named || _stricmp(image, argv[1]) != 0) continue;
    snprintf(name, sizeof name, "Local\\launcher-stop-%lu",
             (unsigned long)entry.th32ProcessID);
    event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    if (event == NULL) continue;
    if (SetEvent(event)) ++asked;
    CloseHandle(event);
  }
  CloseHandle(snapshot);
  return asked > 0 ? 0 : 1;
}
