// POSIX implementation of the platform layer (process, files, libraries).
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "modules/launcher_module.h"
#include "platform/platform.h"

namespace platform {

std::size_t executablePath(char* buffer, std::size_t size) {
  if (size == 0) return 0;
  ssize_t n = readlink("/proc/self/exe", buffer, size);
  // A path that fills the buffer may have been cut short.
  if (n <= 0 || static_cast<std::size_t>(n) >= size) {
    buffer[0] = '\0';
    return 0;
  }
  buffer[n] = '\0';
  return static_cast<std::size_t>(n);
}

namespace {

// FNV-1a: names an executable's path in a few characters.
std::uint64_t pathHash(const char* path) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (; *path != '\0'; ++path) {
    hash ^= static_cast<unsigned char>(*path);
    hash *= 1099511628211ULL;
  }
  return hash;
}

}  // namespace

bool claimSingleInstance() {
  // A lock on a file of this user's, named after the executable's path, so
  // a copy elsewhere is another launcher; the kernel drops the lock when the
  // process ends, and the descriptor stays open, unseen, until then. The
  // session's runtime directory is the user's alone; without one the file
  // goes to /tmp, where another user may have made it first: then this
  // launcher runs unflagged rather than not at all.
  char path[4096];
  if (executablePath(path, sizeof path) == 0) return true;
  const char* directory = std::getenv("XDG_RUNTIME_DIR");
  if (directory == nullptr || directory[0] != '/') directory = "/tmp";
  char lockPath[4096];
  const int n =
      std::snprintf(lockPath, sizeof lockPath, "%s/launcher-%lu-%016llx.lock",
                    directory, static_cast<unsigned long>(::geteuid()),
                    static_cast<unsigned long long>(pathHash(path)));
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof lockPath) return true;
  const int fd =
      ::open(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return true;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_uid != ::geteuid()) {
    ::close(fd);
    return true;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  return true;
}

namespace {

// Lock-free, so the handler may set it; read by the tick on another thread.
std::atomic<bool> stopSignalled{false};
static_assert(decltype(stopSignalled)::is_always_lock_free,
              "set from a signal handler");

extern "C" void onStopSignal(int) { stopSignalled.store(true); }

}  // namespace

bool watchStopRequests() {
  // A handler rather than a blocked signal and a waiting thread: a blocked
  // mask would pass to every program a module starts, which could then not
  // be ended with SIGTERM either.
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // A second signal takes the default action: it ends a launcher whose stop
  // is stuck.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  return sigaction(SIGTERM, &action, nullptr) == 0 &&
         sigaction(SIGINT, &action, nullptr) == 0;
}

bool stopRequested() { return stopSignalled.load(); }

void endProcess(int code) { ::_exit(code); }

void enterApartment() {}
void leaveApartment() {}

void sleepMilliseconds(unsigned milliseconds) {
  timespec t{static_cast<time_t>(milliseconds / 1000),
             static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

bool pathExists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

std::FILE* openFile(const char* path, const char* mode) {
  return std::fopen(path, mode);
}

std::size_t temporaryDirectory(char* buffer, std::size_t size) {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
  std::size_t n = std::strlen(dir);
  bool needsSeparator = dir[n - 1] != kPathSeparator;
  if (n + (needsSeparator ? 1 : 0) + 1 > size) return 0;
  std::memcpy(buffer, dir, n);
  if (needsSeparator) buffer[n++] = kPathSeparator;
  buffer[n] = '\0';
  return n;
}

bool deleteFile(const char* path) { return unlink(path) == 0; }

LibraryHandle loadLibrary(const char* path) {
  // RTLD_LOCAL keeps one module's symbols from resolving another's.
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* findLibraryExport(LibraryHandle library, const char* name) {
  return library == nullptr ? nullptr : dlsym(library, name);
}

void unloadLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

// ---- Version notes -------------------------------------------------------
// The stamp is an ELF note (see launcher_module.h). It is read with bounded
// reads of the file only, so a damaged or hostile file can at worst yield no
// version.

namespace {

bool readAt(int fd, std::uint64_t offset, void* out, std::size_t size) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  auto* p = static_cast<char*>(out);
  while (size > 0) {
    ssize_t n = pread(fd, p, size, static_cast<off_t>(offset));
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    p += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Walks the notes of one note area of the file, within what is left of the
// file's budget of note bytes.
bool findVersionNote(int fd, std::uint64_t offset, std::uint64_t size,
                     std::uint64_t& budget, std::uint16_t parts[4]) {
  if (size > budget) size = budget;
  budget -= size;
  std::uint64_t pos = 0;
  while (pos + 12 <= size) {
    std::uint32_t header[3];
    if (!readAt(fd, offset + pos, header, sizeof header)) return false;
    std::uint64_t nameSize = (header[0] + 3ull) & ~3ull;
    std::uint64_t descSize = (header[1] + 3ull) & ~3ull;
    std::uint64_t next = pos + 12 + nameSize + descSize;
    if (next > size) return false;
    if (header[0] == sizeof LAUNCHER_VERSION_NOTE_OWNER && header[1] == 8 &&
        header[2] == LAUNCHER_VERSION_NOTE_TYPE) {
      char owner[8];
      if (readAt(fd, offset + pos + 12, owner, sizeof owner) &&
          std::memcmp(owner, LAUNCHER_VERSION_NOTE_OWNER,
                      sizeof LAUNCHER_VERSION_NOTE_OWNER) == 0) {
        return readAt(fd, offset + pos + 12 + nameSize, parts,
                      4 * sizeof(std::uint16_t));
      }
    }
    pos = next;
  }
  return false;
}

// Walks a table of headers; noteArea gives a header's note area, if any.
template <typename Header, typename NoteArea>
bool versionInTable(int fd, std::uint64_t tableOffset, unsigned count,
                    unsigned entrySize, NoteArea noteArea,
                    std::uint64_t& budget, std::uint16_t parts[4]) {
  if (entrySize != sizeof(Header)) return false;
  for (unsigned i = 0; i < count; ++i) {
    Header header;
    if (!readAt(fd, tableOffset + std::uint64_t{i} * sizeof header, &header,
                sizeof header))
      return false;
    std::uint64_t offset = 0, size = 0;
    if (noteArea(header, offset, size) &&
        findVersionNote(fd, offset, size, budget, parts))
      return true;
  }
  return false;
}

template <typename Ehdr, typename Shdr, typename Phdr>
bool versionFromElf(int fd, std::uint16_t parts[4]) {
  Ehdr eh;
  if (!readAt(fd, 0, &eh, sizeof eh)) return false;
  auto sectionNotes = [](const Shdr& h, std::uint64_t& offset,
                         std::uint64_t& size) {
    offset = h.sh_offset;
    size = h.sh_size;
    return h.sh_type == SHT_NOTE;
  };
  // A file stripped of its section table still has its note segments.
  auto segmentNotes = [](const Phdr& h, std::uint64_t& offset,
                         std::uint64_t& size) {
    offset = h.p_offset;
    size = h.p_filesz;
    return h.p_type == PT_NOTE;
  };
  // Every header may name the same large area: one budget for the whole
  // file keeps the walk short. Real libraries hold a few small notes.
  std::uint64_t budget = std::uint64_t{1} << 20;
  return versionInTable<Shdr>(fd, eh.e_shoff, eh.e_shnum, eh.e_shentsize,
                              sectionNotes, budget, parts) ||
         versionInTable<Phdr>(fd, eh.e_phoff, eh.e_phnum, eh.e_phentsize,
                              segmentNotes, budget, parts);
}

}  // namespace

bool fileVersion(const char* path, std::uint16_t parts[4]) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char ident[EI_NIDENT];
  bool found = false;
  if (readAt(fd, 0, ident, sizeof ident) &&
      std::memcmp(ident, ELFMAG, SELFMAG) == 0 &&
      ident[EI_DATA] == ELFDATA2LSB) {
    if (ident[EI_CLASS] == ELFCLASS64)
      found = versionFromElf<Elf64_Ehdr, Elf64_Shdr, Elf64_Phdr>(fd, parts);
    else if (ident[EI_CLASS] == ELFCLASS32)
      found = versionFromElf<Elf32_Ehdr, Elf32_Shdr, Elf32_Phdr>(fd, parts);
  }
  close(fd);
  return found;
}

}  // namespace platform
