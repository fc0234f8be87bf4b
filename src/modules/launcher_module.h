/*
 * The interface between the launcher and a module library. Module authors
 * build against this header alone; it needs nothing but a C compiler.
 *
 * A module library exports one function, registerHandler, which returns a
 * table of four callbacks. The launcher loads the library when a page asks
 * for the module, calls registerHandler once and keeps the table's address
 * for as long as the process runs. The library is never unloaded after a
 * successful registration, except when the launcher is asked to stop: once
 * no callback runs any more it unloads every module library (so DllMain or
 * destructors run) and exits. Threads a module started must end there.
 *
 *   handleRequest    a request the page addressed to this module: the
 *                    request member of its message as JSON text ("null"
 *                    when absent). Return the reply text, or NULL for none.
 *                    Runs on the thread serving that page's connection;
 *                    several pages' requests can run at once.
 *   pollMessages     called every 100 ms for every connected page, on the
 *                    launcher's main thread. Return a NULL-terminated array
 *                    of texts to send to that page, or NULL. Answer quickly.
 *   releaseReply     gets back each reply of handleRequest once it is sent.
 *   releaseMessages  gets back each array of pollMessages once its texts are
 *                    sent (also when its first entry is NULL).
 *
 * Ownership: the request text is the launcher's and valid only during the
 * call. Replies, arrays and their texts stay the module's; the launcher only
 * reads them and hands each back exactly once through the release slot (or
 * leaves it alone when that slot is NULL). Texts are NUL-terminated UTF-8 and
 * go out unchanged as one WebSocket text frame each.
 *
 * Any slot may be NULL. handleRequest can run while pollMessages runs, so
 * state shared between callbacks needs the module's own lock. A connection
 * value identifies one page for as long as it stays connected; compare it,
 * never dereference it. Modules hear nothing of connects and disconnects.
 *
 * The library's version: the launcher compares its first three parts with
 * the catalogue's "latest" (1.2.3.4 reads as 1.2.3). On Windows it is the
 * DLL's VERSIONINFO resource; on ELF systems a note that
 * LAUNCHER_MODULE_VERSION, used in one source file, adds. The CMake function
 * add_launcher_module (cmake/launcher_module.cmake) makes either from its
 * VERSION argument.
 */
#ifndef LAUNCHER_MODULE_H
#define LAUNCHER_MODULE_H

/* Laid out for C readers. */
/* clang-format off */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define LAUNCHER_CALL __cdecl
#define LAUNCHER_EXPORT __declspec(dllexport)
#else
#define LAUNCHER_CALL
#define LAUNCHER_EXPORT __attribute__((visibility("default")))
#endif

/* One page's connection; opaque to modules. */
typedef const void *LauncherConnection;

/* Four pointer-wide slots, in this order, nothing else: an external layout. */
typedef struct ModuleHandler {
  char *(LAUNCHER_CALL *handleRequest)(LauncherConnection connection,
                                       const char *request);
  char **(LAUNCHER_CALL *pollMessages)(LauncherConnection connection);
  void(LAUNCHER_CALL *releaseReply)(char *reply);
  void(LAUNCHER_CALL *releaseMessages)(char **messages);
} ModuleHandler;

/* The one export; return NULL to refuse registration. */
typedef const ModuleHandler *(LAUNCHER_CALL *RegisterHandlerFunction)(void);
LAUNCHER_EXPORT const ModuleHandler *LAUNCHER_CALL registerHandler(void);

/*
 * The version stamp. On ELF systems it is a note in the library file
 * (owner "MODVER", type 1, four 16-bit parts) that the launcher reads from
 * the file without loading it. On Windows the stamp is the library's
 * VERSIONINFO resource and this macro adds nothing.
 */
#define LAUNCHER_VERSION_NOTE_OWNER "MODVER"
#define LAUNCHER_VERSION_NOTE_TYPE 1u

typedef struct LauncherVersionNote {
  uint32_t ownerSize;       /* strlen(owner) + 1 */
  uint32_t descriptionSize; /* sizeof parts */
  uint32_t type;
  char owner[8];
  uint16_t parts[4]; /* major, minor, build, revision */
} LauncherVersionNote;

#if defined(__ELF__)
#define LAUNCHER_MODULE_VERSION(major, minor, build, revision)              \
  __attribute__((section(".note.module.version"), aligned(4), used))       \
  static const LauncherVersionNote launcherVersionNote = {                 \
      7u, 8u, LAUNCHER_VERSION_NOTE_TYPE, LAUNCHER_VERSION_NOTE_OWNER,      \
      {(uint16_t)(major), (uint16_t)(minor), (uint16_t)(build),            \
       (uint16_t)(revision)}}
#else
#define LAUNCHER_MODULE_VERSION(major, minor, build, revision) \
  typedef int launcherVersionNoteUnused
#endif

#ifdef __cplusplus
}
#endif

/* clang-format on */

#endif
