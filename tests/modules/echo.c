/*
 * echo (version 1.2.3.4): a module that shows what it was given.
 *
 * handleRequest returns a malloc'd copy of the request text it got, except:
 *  - a request text of exactly "stats" (with the quotes) is answered with
 *    {"arrays":M,"replies":N}: the number of releaseMessages and releaseReply
 *    calls made so far (the stats reply itself is counted once released);
 *  - a request text of the form "push:TEXT" (starting with `"push:` and
 *    ending with `"`) is echoed as usual and also queues TEXT (the bytes
 *    between, as the launcher wrote them, so JSON escapes stay escaped) as a
 *    poll message for that connection.
 * pollMessages returns a malloc'd NULL-terminated array of that connection's
 * queued texts, oldest first, and clears its queue; NULL when nothing is
 * queued. The per-connection queues are guarded by a mutex, since
 * handleRequest and pollMessages run on different threads.
 * releaseReply and releaseMessages free what they get and count the calls.
 */
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "launcher_module.h"

typedef struct Pending {
  LauncherConnection connection;
  char* text;
  struct Pending* next;
} Pending;

static pthread_mutex_t queueLock = PTHREAD_MUTEX_INITIALIZER;
static Pending* queueHead = NULL; /* oldest first, all connections */
static Pending* queueTail = NULL;
static atomic_ulong releasedArrays;
static atomic_ulong releasedReplies;

static char* copyBytes(const char* bytes, size_t length) {
  char* copy = (char*)malloc(length + 1);
  if (copy == NULL) return NULL;
  memcpy(copy, bytes, length);
  copy[length] = '\0';
  return copy;
}

static void queueText(LauncherConnection connection, const char* bytes,
                      size_t length) {
  Pending* entry = (Pending*)malloc(sizeof *entry);
  if (entry == NULL) return;
  entry->connection = connection;
  entry->text = copyBytes(bytes, length);
  entry->next = NULL;
  if (entry->text == NULL) {
    free(entry);
    return;
  }
  pthread_mutex_lock(&queueLock);
  if (queueTail == NULL)
    queueHead = entry;
  else
    queueTail->next = entry;
  queueTail = entry;
  pthread_mutex_unlock(&queueLock);
}

static char* LAUNCHER_CALL handleRequest(LauncherConnection connection,
                                         const char* request) {
  static const char pushPrefix[] = "\"push:";
  const size_t prefixLength = sizeof pushPrefix - 1;
  size_t length = strlen(request);
  if (strcmp(request, "\"stats\"") == 0) {
    char text[96];
    snprintf(text, sizeof text, "{\"arrays\":%lu,\"replies\":%lu}",
             (unsigned long)atomic_load(&releasedArrays),
             (unsigned long)atomic_load(&releasedReplies));
    return copyBytes(text, strlen(text));
  }
  if (length > prefixLength &&
      strncmp(request, pushPrefix, prefixLength) == 0 &&
      request[length - 1] == '"')
    queueText(connection, request + prefixLength, length - prefixLength - 1);
  return copyBytes(request, length);
}

static char** LAUNCHER_CALL pollMessages(LauncherConnection connection) {
  size_t count = 0;
  size_t i = 0;
  Pending* entry;
  Pending** link;
  char** array;
  pthread_mutex_lock(&queueLock);
  for (entry = queueHead; entry != NULL; entry = entry->next)
    if (entry->connection == connection) ++count;
  if (count == 0) {
    pthread_mutex_unlock(&queueLock);
    return NULL;
  }
  array = (char**)calloc(count + 1, sizeof *array);
  if (array == NULL) {
    pthread_mutex_unlock(&queueLock);
    return NULL;
  }
  link = &queueHead;
  queueTail = NULL;
  while (*link != NULL) {
    entry = *link;
    if (entry->connection == connection) {
      array[i++] = entry->text;
      *link = entry->next;
      free(entry);
    } else {
      queueTail = entry;
      link = &entry->next;
    }
  }
  pthread_mutex_unlock(&queueLock);
  return array;
}

static void LAUNCHER_CALL releaseReply(char* reply) {
  free(reply);
  atomic_fetch_add(&releasedReplies, 1);
}

static void LAUNCHER_CALL releaseMessages(char** messages) {
  char** p;
  for (p = messages; *p != NULL; ++p) free(*p);
  free(messages);
  atomic_fetch_add(&releasedArrays, 1);
}

static const ModuleHandler handler = {handleRequest, pollMessages, releaseReply,
                                      releaseMessages};

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  return &handler;
}
