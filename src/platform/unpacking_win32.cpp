// Win32 implementation of the platform layer's unpacking calls. Paths are
// UTF-16 already, as the wide calls take them.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <limits>

#include "platform/platform.h"

namespace platform {

namespace {

static_assert(sizeof(wchar_t) == sizeof(Utf16), "UTF-16 wide characters");

const wchar_t* wide(const Utf16* path) {
  return reinterpret_cast<const wchar_t*>(path);
}

HANDLE handleOf(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FILETIME fileTime(std::uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

HANDLE createReplacing(const Utf16* path) {
  // Others may read the file while it is written; nobody else may write.
  const DWORD shareMode = FILE_SHARE_READ;
  return ::CreateFileW(wide(path), GENERIC_WRITE, shareMode,
                       /*lpSecurityAttributes=*/nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr);
}

}  // namespace

std::size_t narrowToUtf16(const char* text, Utf16* out, std::size_t capacity) {
  // With no room the call would only report the size it needs.
  if (capacity == 0) return 0;
  const int units =
      capacity > static_cast<std::size_t>(std::numeric_limits<int>::max())
          ? std::numeric_limits<int>::max()
          : static_cast<int>(capacity);
  // Code page 0 is the system's ANSI code page; -1 takes the terminator too.
  const int n = ::MultiByteToWideChar(/*CodePage=*/0, /*dwFlags=*/0, text,
                                      /*cbMultiByte=*/-1,
                                      reinterpret_cast<wchar_t*>(out), units);
  return n <= 0 ? 0 : static_cast<std::size_t>(n);
}

bool createDirectory(const Utf16* path) {
  return ::CreateDirectoryW(wide(path), /*lpSecurityAttributes=*/nullptr) !=
         FALSE;
}

FileHandle createOutputFile(const Utf16* path) {
  HANDLE file = createReplacing(path);
  // An earlier package may have left the file read-only, hidden or system,
  // which refuses its replacement for good and would keep the module from
  // ever being updated; such a file loses those bits and is replaced.
  constexpr DWORD kRefusing =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
    const DWORD attributes = ::GetFileAttributesW(wide(path));
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        (attributes & kRefusing) != 0 &&
        ::SetFileAttributesW(wide(path), attributes & ~kRefusing)) {
      file = createReplacing(path);
    }
  }
  return file == INVALID_HANDLE_VALUE ? kNoFile
                                      : reinterpret_cast<FileHandle>(file);
}

bool writeFile(FileHandle file, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size != 0) {
    const DWORD chunk = size > std::numeric_limits<DWORD>::max()
                            ? std::numeric_limits<DWORD>::max()
                            : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(handleOf(file), bytes, chunk, &written,
                     /*lpOverlapped=*/nullptr) ||
        written == 0) {
      return false;
    }
    bytes += written;
    size -= written;
  }
  return true;
}

bool setFileTimes(FileHandle file, const std::uint64_t* creation,
                  const std::uint64_t* modification) {
  FILETIME created{};
  FILETIME modified{};
  if (creation != nullptr) created = fileTime(*creation);
  if (modification != nullptr) modified = fileTime(*modification);
  return ::SetFileTime(handleOf(file), creation ? &created : nullptr,
                       /*lpLastAccessTime=*/nullptr,
                       modification ? &modified : nullptr) != FALSE;
}

bool closeFile(FileHandle file) {
  return ::CloseHandle(handleOf(file)) != FALSE;
}

bool removeOutputFile(const Utf16* path) {
  return ::DeleteFileW(wide(path)) != FALSE;
}

bool setFileAttributes(const Utf16* path, std::uint32_t attributes) {
  return ::SetFileAttributesW(wide(path), attributes) != FALSE;
}

}  // namespace platform
