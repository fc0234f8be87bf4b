// Program files: their Authenticode signatures, and setups started so that
// they outlive the launcher they replace.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// After <windows.h>, which they need.
#include <softpub.h>
#include <wintrust.h>

#include <string>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr std::size_t kPathUnits = 1024;

// A UTF-8 text in UTF-16; empty when it is not UTF-8 or too long.
std::wstring wide(const char* text) {
  Utf16 units[kPathUnits];
  if (narrowToUtf16(text, units, kPathUnits) == 0) return std::wstring();
  return std::wstring(reinterpret_cast<const wchar_t*>(units));
}

using VerifyTrust = LONG(WINAPI*)(HWND, GUID*, LPVOID);

// wintrust.dll is no KnownDLL: imported, Windows would look for it in the
// executable's folder first, before main runs. Taken from System32 when
// first needed instead.
VerifyTrust verifyTrustCall() {
  static const VerifyTrust call = [] {
    HMODULE library = ::LoadLibraryExW(L"wintrust.dll", /*hFile=*/nullptr,
                                       LOAD_LIBRARY_SEARCH_SYSTEM32);
    return library == nullptr
               ? nullptr
               : reinterpret_cast<VerifyTrust>(reinterpret_cast<void*>(
                     ::GetProcAddress(library, "WinVerifyTrust")));
  }();
  return call;
}

}  // namespace

CodeSignature checkCodeSignature(const char* path) {
  const VerifyTrust verify = verifyTrustCall();
  const std::wstring file = wide(path);
  if (verify == nullptr || file.empty()) return CodeSignature::Refused;
  WINTRUST_FILE_INFO fileInfo = {};
  fileInfo.cbStruct = sizeof fileInfo;
  fileInfo.pcwszFilePath = file.c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID policy = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  // INVALID_HANDLE_VALUE: no window may be shown.
  const LONG status =
      verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &policy, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &policy, &data);
  return status == ERROR_SUCCESS ? CodeSignature::Trusted
                                 : CodeSignature::Refused;
}

bool startDetachedProgram(const char* path, const char* arguments) {
  const std::wstring program = wide(path);
  const std::wstring extra = wide(arguments);
  if (program.empty() || (arguments[0] != '\0' && extra.empty())) return false;
  std::wstring commandLine = L"\"" + program + L"\" " + extra;
  const std::wstring folder = program.substr(0, program.rfind(L'\\'));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
  auto start = [&](DWORD more) {
    return ::CreateProcessW(program.c_str(), &commandLine[0],
                            /*lpProcessAttributes=*/nullptr,
                            /*lpThreadAttributes=*/nullptr,
                            /*bInheritHandles=*/FALSE, flags | more,
                            /*lpEnvironment=*/nullptr, folder.c_str(), &startup,
                            &process) != 0;
  };
  // A job that forbids breaking away refuses the flag; the setup then stays
  // in it, which ends it only if the job is closed with the launcher.
  if (!start(CREATE_BREAKAWAY_FROM_JOB) &&
      (::GetLastError() != ERROR_ACCESS_DENIED || !start(0)))
    return false;
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return true;
}

}  // namespace platform
