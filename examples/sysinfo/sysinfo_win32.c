/* The sysinfo module's view of a Windows system. Plain Win32 throughout, a
 * slim lock rather than pthreads too, so the library imports nothing that
 * Windows does not ship. */
#include <stdio.h>
#include <windows.h>

#include "sysinfo_platform.h"

typedef LONG(WINAPI* RtlGetVersionFunction)(OSVERSIONINFOW*);

/* GetVersionExW reports 6.2 to any program whose manifest does not list
 * the newer Windows versions, and a module cannot choose its host's
 * manifest. RtlGetVersion tells the truth; only the driver kit's headers
 * declare it, hence the look-up. */
static int readVersion(OSVERSIONINFOW* version) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  FARPROC found = ntdll ? GetProcAddress(ntdll, "RtlGetVersion") : NULL;
  if (found == NULL) return 0;
  RtlGetVersionFunction getVersion =
      (RtlGetVersionFunction)(void (*)(void))found;
  ZeroMemory(version, sizeof *version);
  version->dwOSVersionInfoSize = sizeof *version;
  return getVersion(version) == 0;
}

/* The DNS host name, which is what uname gives elsewhere; the NetBIOS name
 * is capitalised and cut to 15 characters. */
static int readHostName(char* host, int size) {
  WCHAR name[256];
  DWORD length = sizeof name / sizeof name[0];
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &length)) return 0;
  return WideCharToMultiByte(CP_UTF8, 0, name, -1, host, size, NULL, NULL) > 0;
}

static const char* machineName(WORD architecture) {
  switch (architecture) {
    case PROCESSOR_ARCHITECTURE_INTEL:
      return "x86";
    case PROCESSOR_ARCHITECTURE_AMD64:
      return "x86_64";
    case PROCESSOR_ARCHITECTURE_ARM:
      return "arm";
    case PROCESSOR_ARCHITECTURE_ARM64:
      return "arm64";
    case PROCESSOR_ARCHITECTURE_IA64:
      return "ia64";
    default:
      return "unknown";
  }
}

int systemFacts(SystemFacts* facts) {
  OSVERSIONINFOW version;
  MEMORYSTATUSEX memory;
  SYSTEM_INFO system;
  memory.dwLength = sizeof memory;
  if (!readVersion(&version) || !GlobalMemoryStatusEx(&memory) ||
      !readHostName(facts->host, (int)sizeof facts->host))
    return 0;
  /* The machine's own processor, also for a 32-bit library under WOW64. */
  GetNativeSystemInfo(&system);
  snprintf(facts->os, sizeof facts->os, "Windows");
  snprintf(facts->release, sizeof facts->release, "%lu.%lu",
           (unsigned long)version.dwMajorVersion,
           (unsigned long)version.dwMinorVersion);
  snprintf(facts->version, sizeof facts->version, "%lu",
           (unsigned long)version.dwBuildNumber);
  snprintf(facts->machine, sizeof facts->machine, "%s",
           machineName(system.wProcessorArchitecture));
  facts->cpus = (long)system.dwNumberOfProcessors;
  facts->memoryTotal = memory.ullTotalPhys;
  facts->memoryFree = memory.ullAvailPhys;
  facts->uptime = (long long)(GetTickCount64() / 1000);
  return 1;
}

long long systemMonotonicMs(void) { return (long long)GetTickCount64(); }

/* The C runtime keeps gmtime's result per thread. */
int systemUtcTime(time_t seconds, struct tm* utc) {
  struct tm* converted = gmtime(&seconds);
  if (converted == NULL) return 0;
  *utc = *converted;
  return 1;
}

/* Windows keeps no load averages. */
int systemLoad(double load[3]) {
  (void)load;
  return 0;
}

static SRWLOCK lock = SRWLOCK_INIT;

void systemLock(void) { AcquireSRWLockExclusive(&lock); }

void systemUnlock(void) { ReleaseSRWLockExclusive(&lock); }
