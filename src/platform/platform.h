// The launcher's only window on the operating system. Everything above this
// header is portable; the build picks *_posix.cpp or *_win32.cpp to implement
// it.
//
// Paths are UTF-8 byte texts on every system, except where a function takes
// UTF-16 units, which is how archive entry names arrive. Windows sees them
// through its wide calls only, never through the ANSI code page, which holds
// few of the characters a user's name (and so a profile folder) may have.
#ifndef LAUNCHER_PLATFORM_PLATFORM_H
#define LAUNCHER_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace platform {

#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
constexpr const char kLibraryExtension[] = ".dll";
// A proxy that asks who is there hears the logged-on user's own credentials
// (Negotiate or NTLM through SSPI), as a browser's would.
constexpr bool kProxyKnowsTheUser = true;
// A launcher's setup is run by the launcher it replaces.
constexpr bool kRunsLauncherSetups = true;
constexpr const char kProgramExtension[] = ".exe";
#else
constexpr char kPathSeparator = '/';
constexpr const char kLibraryExtension[] = ".so";
constexpr bool kProxyKnowsTheUser = false;
// Installing a new launcher is the package manager's.
constexpr bool kRunsLauncherSetups = false;
constexpr const char kProgramExtension[] = "";
#endif

// ---- Process -------------------------------------------------------------

// Claims the flag that only one process of this user started from this
// executable may hold, so that each user of a machine runs one launcher.
// False when another process holds it. The system releases it when the
// process ends, however it ends. Windows: a mutex named after a hash of the
// executable's path in the session's own namespace (one per session, which
// no other session can reach); POSIX: a lock on a file named after the uid
// and that hash in $XDG_RUNTIME_DIR, else /tmp (one per user; a file there
// that another user made first leaves this launcher unflagged).
bool claimSingleInstance();

// Writes the running executable's full path into buffer (NUL-terminated) and
// returns its length; 0 when it cannot be read or does not fit.
std::size_t executablePath(char* buffer, std::size_t size);

// The COM apartment of the calling thread; nothing to do on POSIX.
void enterApartment();
void leaveApartment();

void sleepMilliseconds(unsigned milliseconds);

// Gives the TLS library the system's own locks (Windows: slim locks, as its
// build there has no pthreads; POSIX builds use pthreads as they are).
// Before anything uses TLS.
void setUpTlsLocks();

// A request from outside to stop: SIGTERM or SIGINT on POSIX; on Windows the
// event named "Local\launcher-stop-<process id>" in the session's own
// namespace, which the installer sets before it replaces or removes the
// executable. watchStopRequests starts listening (false when it cannot);
// stopRequested tells whether a request has come since, from any thread.
bool watchStopRequests();
bool stopRequested();

// Ends the process at once with code, running no library's unload code:
// a thread it ends may hold a lock that such code needs (Windows' own
// process exit waits for it for ever).
[[noreturn]] void endProcess(int code);

// ---- Programs ------------------------------------------------------------

// What the system says of a program file's own signature (Authenticode).
enum class CodeSignature {
  Trusted,    // signed, the image unchanged since, by a trusted publisher
  Refused,    // unsigned, changed after signing, or not trusted
  Unchecked,  // the system has no such signatures
};

// Windows: WinVerifyTrust's Authenticode policy (wintrust.dll, taken from
// System32 when first needed; without it, Refused), without any dialog and
// without fetching revocation lists, as the file's digest in the signed
// catalogue is what binds it to the publisher. POSIX: Unchecked.
CodeSignature checkCodeSignature(const char* path);

// Starts the program at path with the arguments, detached from this process
// so that it outlives it: Windows, with no console, inheriting no handle, in
// its own folder, and out of this process's job where the job allows it.
// False when it was not started; always on POSIX, where launchers run no
// setups (kRunsLauncherSetups).
bool startDetachedProgram(const char* path, const char* arguments);

// ---- Network -------------------------------------------------------------

// Writes the proxy that the user's settings choose for url into buffer, as
// libcurl's CURLOPT_PROXY takes it ("http://host:port"; empty for a direct
// connection), and returns true. Windows: the user's Internet Options, that
// is automatic detection, a configuration script, or a fixed proxy and its
// bypass list. False leaves the choice to libcurl: on POSIX, where libcurl
// reads https_proxy and no_proxy itself, and when the answer does not fit.
bool systemProxyFor(const char* url, char* buffer, std::size_t size);

// ---- Connections ---------------------------------------------------------

// A user account: POSIX, its uid; Windows, its SID.
struct UserId {
  std::uint8_t bytes[68];
  std::size_t size;
};

// The user this process runs as; false when it cannot be read.
bool currentUser(UserId& user);

// One end of a TCP connection over IPv4, address and port in host order.
struct TcpEnd {
  std::uint32_t address;
  std::uint16_t port;
};

// Whether the socket at the far end of this process's connection from local
// to remote belongs to user: POSIX asks the kernel's socket table for the
// socket's uid, Windows finds the process owning it and reads its token.
// False when no such socket is found (the peer has gone).
bool connectionPeerIsUser(TcpEnd local, TcpEnd remote, const UserId& user);

// ---- Files ---------------------------------------------------------------

// Whether anything exists at path.
bool pathExists(const char* path);

// std::fopen by a UTF-8 path; the mode is fopen's. Null when it cannot be
// opened (errno says why), also for a path that is not UTF-8 or too long.
std::FILE* openFile(const char* path, const char* mode);

// The four 16-bit parts of a file's version stamp (Windows: its VERSIONINFO
// resource; ELF: the note launcher_module.h describes), read without loading
// the file as a library. False when the file has none or cannot be read.
bool fileVersion(const char* path, std::uint16_t parts[4]);

// Writes the temporary directory, ending in a separator, into buffer and
// returns its length; 0 when there is none or it does not fit.
std::size_t temporaryDirectory(char* buffer, std::size_t size);

bool deleteFile(const char* path);

// ---- Libraries -----------------------------------------------------------

using LibraryHandle = void*;

// Null when the library cannot be loaded.
LibraryHandle loadLibrary(const char* path);
void* findLibraryExport(LibraryHandle library, const char* name);
void unloadLibrary(LibraryHandle library);

// ---- Unpacking -----------------------------------------------------------
// Extraction works on UTF-16 paths (archive names are UTF-16); each call
// converts to the system's own form.

using Utf16 = std::uint16_t;

// Converts a UTF-8 path, terminator included, into out (capacity in units).
// Returns the number of units written including the terminator; 0 when the
// text is not UTF-8 or does not fit.
std::size_t narrowToUtf16(const char* text, Utf16* out, std::size_t capacity);

// Creates one directory level; fails (harmlessly) when it exists.
bool createDirectory(const Utf16* path);

// An output file created anew (an existing one is replaced), opened for
// writing. kNoFile when it cannot be created.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;
FileHandle createOutputFile(const Utf16* path);

// Writes size bytes; false unless all were written.
bool writeFile(FileHandle file, const void* data, std::size_t size);

// Windows file times (100 ns ticks since 1601-01-01 UTC); a null pointer
// leaves that time as the system set it. A time the file system cannot hold
// is dropped.
bool setFileTimes(FileHandle file, const std::uint64_t* creation,
                  const std::uint64_t* modification);

bool closeFile(FileHandle file);

// Removes a file that could not be written whole.
bool removeOutputFile(const Utf16* path);

// Applies an archive's attribute word. Windows takes its low 15 bits. POSIX
// takes the Unix permissions in its high half when 0x8000 flags them (an
// archive made on Unix), without set-id or sticky bits; otherwise only the
// read-only bit (0x1), which removes the write permissions.
// (createOutputFile replaces a read-only file too, as a later package must.)
bool setFileAttributes(const Utf16* path, std::uint32_t attributes);

// Keeps the file at path also under aside (whose directory exists), so that
// it can be put back with replaceFile: a second link on POSIX, where path
// stays in place; on Windows the file is renamed, which a loaded library
// allows where replacing it does not. 1 kept, 0 nothing at path, -1 failed.
int keepAside(const Utf16* path, const Utf16* aside);

// Moves from over to in one step, replacing what is there, and makes the
// move durable (Windows: write-through; POSIX: rename). Windows retries
// sharing violations for a few seconds with growing pauses, as a scanner or
// another process may hold a file briefly.
bool replaceFile(const Utf16* from, const Utf16* to);

// Removes a directory and everything in it, never following links; whatever
// cannot be removed (a file in use) stays. True when nothing is left.
bool removeTree(const Utf16* path);

// Removes an empty directory.
bool removeDirectory(const Utf16* path);

// Calls visit once for each entry of the folder at path (not "." or ".."),
// saying whether it is a folder; a link is never one. False when the folder
// cannot be read. The folder must not change during the call.
using DirectoryVisitor = void (*)(void* context, const Utf16* name,
                                  bool isFolder);
bool listDirectory(const Utf16* path, DirectoryVisitor visit, void* context);

}  // namespace platform

#endif
