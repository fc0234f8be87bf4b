// Win32 implementation of the platform layer (process, files, libraries).
// Paths arrive as UTF-8 and go to the wide calls only: the ANSI ones would
// see a user's name through the system's code page, often as "?".
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// After <windows.h>, which they need.
#include <objbase.h>
#include <winver.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/platform.h"

namespace platform {

namespace {

// Set by whoever asks this process to stop; never closed, the process's end
// closes it.
HANDLE stopEvent = nullptr;

// Paths are formed in 1024-byte buffers, and no UTF-8 byte makes more than
// one UTF-16 unit: their wide forms fit here. What the system answers in
// more units than that is refused rather than cut.
constexpr std::size_t kPathUnits = 1024;

static_assert(sizeof(wchar_t) == sizeof(Utf16), "UTF-16 wide characters");

// A UTF-8 path in the form the wide calls take; not ok() when the text is
// not UTF-8 or too long, and then the calls are not made at all.
class WidePath {
 public:
  explicit WidePath(const char* path)
      : ok_(narrowToUtf16(path, units_, kPathUnits) != 0) {}
  bool ok() const { return ok_; }
  const wchar_t* get() const {
    return reinterpret_cast<const wchar_t*>(units_);
  }

 private:
  Utf16 units_[kPathUnits];
  bool ok_;
};

int intSize(std::size_t size) {
  return size > static_cast<std::size_t>(std::numeric_limits<int>::max())
             ? std::numeric_limits<int>::max()
             : static_cast<int>(size);
}

// A path the system gave, units long, as UTF-8 with its terminator in
// buffer; returns its length in bytes. 0 (and an empty buffer) when it does
// not fit or holds an unpaired surrogate, which has no UTF-8 form: a path
// that would come back different is no path at all.
std::size_t fromWide(const wchar_t* text, DWORD units, char* buffer,
                     std::size_t size) {
  const int bytes = ::WideCharToMultiByte(
      CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(units), buffer,
      intSize(size), /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
  if (bytes <= 0 || static_cast<std::size_t>(bytes) >= size) {
    buffer[0] = '\0';
    return 0;
  }
  buffer[bytes] = '\0';
  return static_cast<std::size_t>(bytes);
}

}  // namespace

bool claimSingleInstance() {
  // A named mutex in the session's own namespace: a launcher of another
  // user's session, started from the same all-users install, has its own.
  // The name hashes the executable's path (FNV-1a, letters folded, as
  // Windows paths are), so a copy elsewhere is another launcher. The handle
  // stays open for the life of the process, whose end releases the name.
  wchar_t path[kPathUnits];
  const DWORD length =
      ::GetModuleFileNameW(/*hModule=*/nullptr, path, kPathUnits);
  if (length == 0 || length >= kPathUnits) return true;
  std::uint64_t hash = 14695981039346656037ULL;
  for (DWORD i = 0; i < length; ++i) {
    wchar_t unit = path[i];
    if (unit >= L'a' && unit <= L'z') unit = static_cast<wchar_t>(unit - 32);
    hash ^= static_cast<std::uint16_t>(unit);
    hash *= 1099511628211ULL;
  }
  char narrow[64];
  std::snprintf(narrow, sizeof narrow, "Local\\launcher-%016llx",
                static_cast<unsigned long long>(hash));
  wchar_t name[64];
  std::size_t i = 0;
  for (; narrow[i] != '\0'; ++i) name[i] = static_cast<wchar_t>(narrow[i]);
  name[i] = L'\0';
  HANDLE mutex = ::CreateMutexW(/*lpMutexAttributes=*/nullptr,
                                /*bInitialOwner=*/FALSE, name);
  // No mutex at all (another user's object of that name, which this one may
  // not open) runs the launcher unflagged rather than not at all.
  if (mutex == nullptr) return true;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return false;
  }
  return true;
}

std::size_t executablePath(char* buffer, std::size_t size) {
  if (size == 0) return 0;
  wchar_t path[kPathUnits];
  const DWORD n = ::GetModuleFileNameW(/*hModule=*/nullptr, path, kPathUnits);
  // A path that fills the buffer has been cut short.
  if (n == 0 || n >= kPathUnits) {
    buffer[0] = '\0';
    return 0;
  }
  return fromWide(path, n, buffer, size);
}

bool watchStopRequests() {
  // One event per process in the session's namespace: the installer finds
  // the processes of the executable it replaces and sets each one's by its
  // id, and launchers of other sessions or other folders are not touched.
  // The name's form is the installer's too (installer/launcher.nsi).
  char narrow[64];
  std::snprintf(narrow, sizeof narrow, "Local\\launcher-stop-%lu",
                static_cast<unsigned long>(::GetCurrentProcessId()));
  wchar_t name[64];
  std::size_t i = 0;
  for (; narrow[i] != '\0'; ++i) name[i] = static_cast<wchar_t>(narrow[i]);
  name[i] = L'\0';
  stopEvent =
      ::CreateEventW(/*lpEventAttributes=*/nullptr,
                     /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, name);
  return stopEvent != nullptr;
}

void endProcess(int code) {
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
  // Never reached; TerminateProcess is not marked as not returning.
  std::abort();
}

bool stopRequested() {
  return stopEvent != nullptr &&
         ::WaitForSingleObject(stopEvent, /*dwMilliseconds=*/0) ==
             WAIT_OBJECT_0;
}

namespace {

template <typename Call>
void findCall(HMODULE library, const char* name, Call& call) {
  call = library == nullptr ? nullptr
                            : reinterpret_cast<Call>(reinterpret_cast<void*>(
                                  ::GetProcAddress(library, name)));
}

// ole32 is taken at run time too: Windows would take it from System32 (a
// KnownDLL), but what it imports in turn is not always known (under wine it
// reaches version.dll), and every import of the executable is resolved
// before the search is limited.
decltype(&::CoUninitialize) uninitialize = nullptr;

}  // namespace

void enterApartment() {
  HMODULE library = ::LoadLibraryExW(L"ole32.dll", /*hFile=*/nullptr,
                                     LOAD_LIBRARY_SEARCH_SYSTEM32);
  decltype(&::CoInitializeEx) initialize = nullptr;
  findCall(library, "CoInitializeEx", initialize);
  findCall(library, "CoUninitialize", uninitialize);
  // Its result is of no consequence: nothing here depends on COM.
  if (initialize != nullptr)
    (void)initialize(/*pvReserved=*/nullptr, COINIT_APARTMENTTHREADED);
}

void leaveApartment() {
  if (uninitialize != nullptr) uninitialize();
}

void sleepMilliseconds(unsigned milliseconds) { ::Sleep(milliseconds); }

bool pathExists(const char* path) {
  const WidePath wide(path);
  return wide.ok() &&
         ::GetFileAttributesW(wide.get()) != INVALID_FILE_ATTRIBUTES;
}

std::FILE* openFile(const char* path, const char* mode) {
  const WidePath wide(path);
  wchar_t wideMode[8];
  std::size_t i = 0;
  for (; mode[i] != '\0' && i + 1 < sizeof wideMode / sizeof *wideMode; ++i)
    wideMode[i] = static_cast<wchar_t>(static_cast<unsigned char>(mode[i]));
  wideMode[i] = L'\0';
  if (!wide.ok() || mode[i] != '\0') {
    errno = EINVAL;
    return nullptr;
  }
  return ::_wfopen(wide.get(), wideMode);
}

namespace {

// version.dll is no KnownDLL: imported, Windows would look for it in the
// executable's folder first, before main runs. Taken from System32 instead,
// when first needed.
struct VersionCalls {
  decltype(&::GetFileVersionInfoSizeW) infoSize = nullptr;
  decltype(&::GetFileVersionInfoW) info = nullptr;
  decltype(&::VerQueryValueW) query = nullptr;
};

const VersionCalls* versionCalls() {
  static const VersionCalls calls = [] {
    VersionCalls found;
    HMODULE library = ::LoadLibraryExW(L"version.dll", /*hFile=*/nullptr,
                                       LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library != nullptr) {
      findCall(library, "GetFileVersionInfoSizeW", found.infoSize);
      findCall(library, "GetFileVersionInfoW", found.info);
      findCall(library, "VerQueryValueW", found.query);
    }
    return found;
  }();
  return calls.infoSize != nullptr && calls.info != nullptr &&
                 calls.query != nullptr
             ? &calls
             : nullptr;
}

}  // namespace

bool fileVersion(const char* path, std::uint16_t parts[4]) {
  const VersionCalls* calls = versionCalls();
  const WidePath wide(path);
  if (calls == nullptr || !wide.ok()) return false;
  DWORD ignored = 0;
  const DWORD size = calls->infoSize(wide.get(), &ignored);
  if (size == 0) return false;
  void* block = std::calloc(size, 1);
  if (block == nullptr) return false;
  bool found = false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoLength = 0;
  if (calls->info(wide.get(), /*dwHandle=*/0, size, block) &&
      calls->query(block, L"\\", reinterpret_cast<void**>(&info),
                   &infoLength) &&
      info != nullptr && infoLength >= sizeof *info) {
    parts[0] = HIWORD(info->dwFileVersionMS);
    parts[1] = LOWORD(info->dwFileVersionMS);
    parts[2] = HIWORD(info->dwFileVersionLS);
    parts[3] = LOWORD(info->dwFileVersionLS);
    found = true;
  }
  std::free(block);
  return found;
}

std::size_t temporaryDirectory(char* buffer, std::size_t size) {
  if (size == 0) return 0;
  wchar_t path[kPathUnits];
  const DWORD n = ::GetTempPathW(kPathUnits, path);
  // Too small a buffer gets the needed size back and no path.
  if (n == 0 || n >= kPathUnits) {
    buffer[0] = '\0';
    return 0;
  }
  return fromWide(path, n, buffer, size);
}

bool deleteFile(const char* path) {
  const WidePath wide(path);
  return wide.ok() && ::DeleteFileW(wide.get()) != FALSE;
}

LibraryHandle loadLibrary(const char* path) {
  const WidePath wide(path);
  if (!wide.ok()) return nullptr;
  const wchar_t* widePath = wide.get();
  // The libraries a module imports come from its own folder, where its
  // package put them, or from System32; never from the current folder or
  // PATH.
  HMODULE library = ::LoadLibraryExW(
      widePath, /*hFile=*/nullptr,
      LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Windows 7 without KB2533623 knows no such flags; this one also looks in
  // the module's folder first.
  if (library == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER)
    library = ::LoadLibraryExW(widePath, /*hFile=*/nullptr,
                               LOAD_WITH_ALTERED_SEARCH_PATH);
  return reinterpret_cast<LibraryHandle>(library);
}

void* findLibraryExport(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(
      ::GetProcAddress(static_cast<HMODULE>(library), name));
}

void unloadLibrary(LibraryHandle library) {
  if (library != nullptr) ::FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace platform
