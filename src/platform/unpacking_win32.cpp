// Win32 implementation of the platform layer's unpacking calls. Paths are
// UTF-16 already, as the wide calls take them.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <limits>
#include <new>
#include <string>
#include <string_view>

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

// What a file may carry that refuses its replacement or removal for good.
constexpr DWORD kRefusing =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Clears those bits on a file (not a folder) that has any; false when there
// were none to clear, so that a caller does not try again for nothing.
bool clearRefusing(const wchar_t* path) {
  const DWORD attributes = ::GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (attributes & kRefusing) != 0 &&
         ::SetFileAttributesW(path, attributes & ~kRefusing) != FALSE;
}

// A scanner that opens a new file, or another process that has a library
// open, holds it for a moment: worth waiting for, within limits.
constexpr DWORD kFirstPause = 25;
constexpr DWORD kLongestPause = 500;
constexpr DWORD kPatience = 4000;

bool isPassing(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

bool moveRetrying(const Utf16* from, const Utf16* to, DWORD flags) {
  DWORD pause = kFirstPause;
  DWORD waited = 0;
  bool cleared = false;
  for (;;) {
    if (::MoveFileExW(wide(from), wide(to), flags)) return true;
    const DWORD error = ::GetLastError();
    if (!isPassing(error)) return false;
    // A read-only, hidden or system file in the way refuses for good.
    if (!cleared && (flags & MOVEFILE_REPLACE_EXISTING) != 0 &&
        error == ERROR_ACCESS_DENIED && clearRefusing(wide(to))) {
      cleared = true;
      continue;
    }
    if (waited >= kPatience) return false;
    ::Sleep(pause);
    waited += pause;
    pause = pause * 2 > kLongestPause ? kLongestPause : pause * 2;
  }
}

bool removeTreeAt(std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    if (::DeleteFileW(path.c_str())) return true;
    return clearRefusing(path.c_str()) && ::DeleteFileW(path.c_str());
  }
  // A junction or a directory link goes as a link; what it names stays.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    const std::size_t length = path.size();
    path += L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW(path.c_str(), &found);
    path.resize(length);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        path += L'\\';
        path += name;
        (void)removeTreeAt(path);
        path.resize(length);
      } while (::FindNextFileW(search, &found));
      ::FindClose(search);
    }
  }
  return ::RemoveDirectoryW(path.c_str()) != FALSE;
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
  // Strict: a malformed sequence fails rather than becoming U+FFFD, which
  // would name another file. -1 takes the terminator too.
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text,
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
  if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED &&
      clearRefusing(wide(path))) {
    file = createReplacing(path);
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
  return ::DeleteFileW(wide(path)) != FALSE ||
         (clearRefusing(wide(path)) && ::DeleteFileW(wide(path)) != FALSE);
}

bool setFileAttributes(const Utf16* path, std::uint32_t attributes) {
  // The high half and 0x8000 are another system's (Unix modes).
  constexpr std::uint32_t kWindowsAttributes = 0x7FFF;
  return ::SetFileAttributesW(wide(path), attributes & kWindowsAttributes) !=
         FALSE;
}

int keepAside(const Utf16* path, const Utf16* aside) {
  const DWORD attributes = ::GetFileAttributesW(wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0
                                                                          : -1;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return -1;
  // A loaded library, or a file others opened sharing its deletion, can be
  // renamed though it cannot be replaced or written.
  return moveRetrying(path, aside, MOVEFILE_WRITE_THROUGH) ? 1 : -1;
}

bool replaceFile(const Utf16* from, const Utf16* to) {
  return moveRetrying(from, to,
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool removeTree(const Utf16* path) {
  try {
    std::wstring text(wide(path));
    return removeTreeAt(text);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool removeDirectory(const Utf16* path) {
  return ::RemoveDirectoryW(wide(path)) != FALSE;
}

bool listDirectory(const Utf16* path, DirectoryVisitor visit, void* context) {
  std::wstring pattern = wide(path);
  pattern += L"\\*";
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    // A junction or a directory link is not a folder of the tree.
    const bool isFolder =
        (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    visit(context, reinterpret_cast<const Utf16*>(found.cFileName), isFolder);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return true;
}

}  // namespace platform
