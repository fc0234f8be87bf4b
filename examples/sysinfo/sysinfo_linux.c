/* The sysinfo module's view of a Linux system. */
#define _GNU_SOURCE /* sysinfo and getloadavg */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include "sysinfo_platform.h"

static void copyText(char* to, size_t size, const char* from) {
  snprintf(to, size, "%s", from);
}

int systemFacts(SystemFacts* facts) {
  struct utsname names;
  struct sysinfo info;
  if (uname(&names) != 0 || sysinfo(&info) != 0) return 0;
  copyText(facts->host, sizeof facts->host, names.nodename);
  copyText(facts->os, sizeof facts->os, names.sysname);
  copyText(facts->release, sizeof facts->release, names.release);
  copyText(facts->version, sizeof facts->version, names.version);
  copyText(facts->machine, sizeof facts->machine, names.machine);
  facts->cpus = sysconf(_SC_NPROCESSORS_ONLN);
  unsigned long long unit = info.mem_unit ? info.mem_unit : 1;
  facts->memoryTotal = (unsigned long long)info.totalram * unit;
  facts->memoryFree = (unsigned long long)info.freeram * unit;
  facts->uptime = info.uptime;
  return 1;
}

long long systemMonotonicMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int systemUtcTime(time_t seconds, struct tm* utc) {
  return gmtime_r(&seconds, utc) != NULL;
}

int systemLoad(double load[3]) { return getloadavg(load, 3) == 3; }

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

void systemLock(void) { pthread_mutex_lock(&lock); }

void systemUnlock(void) { pthread_mutex_unlock(&lock); }
