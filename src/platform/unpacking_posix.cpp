// POSIX implementation of the platform layer's unpacking calls. Paths arrive
// as UTF-16 and are handed to the system as UTF-8.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;
constexpr std::uint64_t kTicksPerSecond = 10000000ULL;

void appendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A NUL-terminated UTF-16 path as UTF-8; false for an unpaired surrogate,
// which has no UTF-8 form.
bool toUtf8(const Utf16* path, std::string& out) {
  out.clear();
  for (const Utf16* unit = path; *unit != 0; ++unit) {
    std::uint32_t code = *unit;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      const std::uint32_t low = unit[1];
      if (low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      ++unit;
    }
    appendUtf8(out, code);
  }
  return true;
}

// Decodes one UTF-8 sequence at text; 0 for a malformed, overlong or
// surrogate sequence, otherwise the number of bytes it takes.
std::size_t decodeUtf8(const unsigned char* text, std::uint32_t& code) {
  const unsigned char lead = text[0];
  std::size_t length;
  std::uint32_t minimum;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    minimum = 0x80;
    code = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    minimum = 0x800;
    code = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    minimum = 0x10000;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    // A terminator fails this test too, so the read never passes it.
    if ((text[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (text[i] & 0x3Fu);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  return length;
}

}  // namespace

std::size_t narrowToUtf16(const char* text, Utf16* out, std::size_t capacity) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t written = 0;
  for (;;) {
    std::uint32_t code = 0;
    const std::size_t length = decodeUtf8(bytes, code);
    if (length == 0) return 0;
    bytes += length;
    if (code >= 0x10000) {
      if (capacity - written < 2) return 0;
      code -= 0x10000;
      out[written++] = static_cast<Utf16>(0xD800 | (code >> 10));
      out[written++] = static_cast<Utf16>(0xDC00 | (code & 0x3FF));
      continue;
    }
    if (written == capacity) return 0;
    out[written++] = static_cast<Utf16>(code);
    if (code == 0) return written;
  }
}

bool createDirectory(const Utf16* path) {
  std::string narrow;
  return toUtf8(path, narrow) && mkdir(narrow.c_str(), 0777) == 0;
}

FileHandle createOutputFile(const Utf16* path) {
  std::string narrow;
  if (!toUtf8(path, narrow)) return kNoFile;
  // Replaced by a new file, not rewritten in place: a library that some
  // process has mapped would die of a truncated mapping, a read-only old
  // file could not be opened for writing, and a link would be written
  // through.
  if (unlink(narrow.c_str()) != 0 && errno != ENOENT) return kNoFile;
  const int fd =
      open(narrow.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
           0644);
  return fd < 0 ? kNoFile : fd;
}

bool writeFile(FileHandle file, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size != 0) {
    const ssize_t n = write(static_cast<int>(file), bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool setFileTimes(FileHandle file, const std::uint64_t* /*creation*/,
                  const std::uint64_t* modification) {
  // File systems here keep no creation time, so that one is dropped, and so
  // is a modification time before 1970 or beyond time_t.
  if (modification == nullptr || *modification < kUnixEpochTicks) return true;
  const std::uint64_t ticks = *modification - kUnixEpochTicks;
  const std::uint64_t seconds = ticks / kTicksPerSecond;
  if (seconds >
      static_cast<std::uint64_t>(std::numeric_limits<std::time_t>::max())) {
    return true;
  }
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<std::time_t>(seconds);
  times[1].tv_nsec = static_cast<long>((ticks % kTicksPerSecond) * 100);
  return futimens(static_cast<int>(file), times) == 0;
}

bool closeFile(FileHandle file) { return close(static_cast<int>(file)) == 0; }

bool removeOutputFile(const Utf16* path) {
  std::string narrow;
  return toUtf8(path, narrow) && unlink(narrow.c_str()) == 0;
}

bool setFileAttributes(const Utf16* path, std::uint32_t attributes) {
  constexpr std::uint32_t kReadOnly = 0x1;
  constexpr std::uint32_t kUnixExtension = 0x8000;
  std::string narrow;
  if (!toUtf8(path, narrow)) return false;
  if ((attributes & kUnixExtension) != 0) {
    // No set-id or sticky bits from a package, nobody but the owner may
    // write code the launcher loads (packers often carry 0666 or 0777), and
    // the owner can always read the file, or the launcher could not check
    // its own modules.
    const mode_t mode = static_cast<mode_t>((attributes >> 16) & 0755);
    return chmod(narrow.c_str(), mode | S_IRUSR) == 0;
  }
  if ((attributes & kReadOnly) == 0) return true;
  struct stat st;
  if (stat(narrow.c_str(), &st) != 0) return false;
  return chmod(narrow.c_str(),
               st.st_mode & 07777 & ~mode_t{S_IWUSR | S_IWGRP | S_IWOTH}) == 0;
}

int keepAside(const Utf16* path, const Utf16* aside) {
  std::string from, to;
  if (!toUtf8(path, from) || !toUtf8(aside, to)) return -1;
  struct stat st;
  if (lstat(from.c_str(), &st) != 0) return errno == ENOENT ? 0 : -1;
  if (S_ISDIR(st.st_mode)) return -1;
  // A second link leaves the file in place until rename replaces it. On a
  // file system without links the file moves, as on Windows.
  if (link(from.c_str(), to.c_str()) == 0) return 1;
  if ((errno == EPERM || errno == EOPNOTSUPP) &&
      rename(from.c_str(), to.c_str()) == 0)
    return 1;
  return -1;
}

bool replaceFile(const Utf16* from, const Utf16* to) {
  std::string source, target;
  return toUtf8(from, source) && toUtf8(to, target) &&
         rename(source.c_str(), target.c_str()) == 0;
}

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  // Whatever cannot go stays; the walk goes on.
  (void)remove(path);
  return 0;
}

}  // namespace

bool removeTree(const Utf16* path) {
  std::string narrow;
  if (!toUtf8(path, narrow)) return false;
  // Depth first, links removed as links.
  constexpr int kOpenDirectories = 16;
  (void)nftw(narrow.c_str(), removeEntry, kOpenDirectories,
             FTW_DEPTH | FTW_PHYS);
  struct stat st;
  return lstat(narrow.c_str(), &st) != 0 && errno == ENOENT;
}

bool removeDirectory(const Utf16* path) {
  std::string narrow;
  return toUtf8(path, narrow) && rmdir(narrow.c_str()) == 0;
}

bool listDirectory(const Utf16* path, DirectoryVisitor visit, void* context) {
  std::string narrow;
  if (!toUtf8(path, narrow)) return false;
  DIR* folder = opendir(narrow.c_str());
  if (folder == nullptr) return false;
  std::vector<Utf16> name;
  while (const dirent* entry = readdir(folder)) {
    const std::string_view text = entry->d_name;
    if (text == "." || text == "..") continue;
    struct stat st;
    // A name that is not UTF-8 cannot be one the launcher wrote.
    name.assign(text.size() + 1, 0);
    if (fstatat(dirfd(folder), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        narrowToUtf16(entry->d_name, name.data(), name.size()) == 0)
      continue;
    visit(context, name.data(), S_ISDIR(st.st_mode));
  }
  closedir(folder);
  return true;
}

}  // namespace platform
