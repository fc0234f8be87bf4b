/*
 * What the sysinfo module asks of the operating system. Each platform has
 * its own implementation (sysinfo_linux.c, sysinfo_win32.c); the build
 * compiles the one that fits, so sysinfo.c stays the same everywhere.
 */
#ifndef SYSINFO_PLATFORM_H
#define SYSINFO_PLATFORM_H

#include <time.h>

/* Texts are NUL-terminated UTF-8. */
typedef struct {
  char host[256], os[256], release[256], version[256], machine[256];
  long cpus;
  unsigned long long memoryTotal, memoryFree; /* bytes */
  long long uptime;                           /* seconds */
} SystemFacts;

/* Fills facts; 0 when the system would not tell. */
int systemFacts(SystemFacts* facts);

/* Milliseconds on a clock that never steps back. */
long long systemMonotonicMs(void);

/* seconds as UTC calendar time, safe on any thread; 0 on failure. */
int systemUtcTime(time_t seconds, struct tm* utc);

/* The 1, 5 and 15 minute load averages; 0 where the system keeps none. */
int systemLoad(double load[3]);

/* The module's one lock, for state its callbacks share across threads. */
void systemLock(void);
void systemUnlock(void);

#endif
