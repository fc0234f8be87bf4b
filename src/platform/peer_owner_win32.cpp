// Win32: the user of a loopback connection's far end, from the TCP table's
// owning process and that process's token.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
// After <winsock2.h>, which they need.
#include <iphlpapi.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

// iphlpapi is no KnownDLL: imported, Windows would look for it in the
// executable's folder first, before main runs. Taken from System32
// instead, when first needed.
decltype(&::GetExtendedTcpTable) tcpTableCall() {
  static const auto call = [] {
    HMODULE library = ::LoadLibraryExW(L"iphlpapi.dll", /*hFile=*/nullptr,
                                       LOAD_LIBRARY_SEARCH_SYSTEM32);
    return library == nullptr
               ? nullptr
               : reinterpret_cast<decltype(&::GetExtendedTcpTable)>(
                     reinterpret_cast<void*>(
                         ::GetProcAddress(library, "GetExtendedTcpTable")));
  }();
  return call;
}

// The table's ports are in network order in the low 16 bits.
bool matches(DWORD address, DWORD port, TcpEnd end) {
  return address == ::htonl(end.address) &&
         static_cast<u_short>(port) == ::htons(end.port);
}

// The process owning the TCP connection from from to to; 0 when there is
// none. The table holds every connection of the machine, so its size is
// asked first, and again if it grew in between.
DWORD owningProcess(TcpEnd from, TcpEnd to) {
  const auto getTable = tcpTableCall();
  if (getTable == nullptr) return 0;
  std::vector<unsigned char> buffer(sizeof(MIB_TCPTABLE_OWNER_PID));
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto size = static_cast<DWORD>(buffer.size());
    const DWORD result =
        getTable(buffer.data(), &size, /*bOrder=*/FALSE, AF_INET,
                 TCP_TABLE_OWNER_PID_CONNECTIONS, /*Reserved=*/0);
    if (result == ERROR_INSUFFICIENT_BUFFER) {
      buffer.resize(size);
      continue;
    }
    if (result != NO_ERROR) return 0;
    const auto* table =
        reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& row = table->table[i];
      if (matches(row.dwLocalAddr, row.dwLocalPort, from) &&
          matches(row.dwRemoteAddr, row.dwRemotePort, to))
        return row.dwOwningPid;
    }
    return 0;
  }
  return 0;
}

// The user SID in a token, into user.
bool tokenUser(HANDLE token, UserId& user) {
  alignas(TOKEN_USER) unsigned char
      buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
    return false;
  PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer)->User.Sid;
  const DWORD length = ::GetLengthSid(sid);
  if (length > sizeof user.bytes) return false;
  std::memcpy(user.bytes, sid, length);
  user.size = length;
  return true;
}

// The user a process runs as. Another user's process lets its token be read
// only by administrators, so a foreign process mostly fails here.
bool processUser(HANDLE process, UserId& user) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
  const bool read = tokenUser(token, user);
  ::CloseHandle(token);
  return read;
}

}  // namespace

bool currentUser(UserId& user) {
  return processUser(::GetCurrentProcess(), user);
}

bool connectionPeerIsUser(TcpEnd local, TcpEnd remote, const UserId& user) {
  const DWORD pid = owningProcess(remote, local);
  if (pid == 0) return false;
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION,
                                 /*bInheritHandle=*/FALSE, pid);
  if (process == nullptr) return false;
  UserId owner{};
  const bool read = processUser(process, owner);
  ::CloseHandle(process);
  // Both are SIDs this process read itself (user's is checked for size).
  return read && user.size == owner.size &&
         ::EqualSid(const_cast<std::uint8_t*>(user.bytes), owner.bytes);
}

}  // namespace platform
