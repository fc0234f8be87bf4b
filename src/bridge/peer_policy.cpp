#include "bridge/peer_policy.h"

#include "core/build_settings.h"
#include "platform/platform.h"

namespace {

// The server listens on 127.0.0.1 alone.
constexpr std::uint32_t kLoopback = 0x7F000001;

// Dotted IPv4 in host order; false for anything else (IPv6 never arrives).
bool parseIpv4(const char* text, std::uint32_t& address) {
  address = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *text++ != '.') return false;
    if (*text < '0' || *text > '9') return false;
    unsigned value = 0;
    for (int digits = 0; *text >= '0' && *text <= '9'; ++digits, ++text) {
      value = value * 10 + static_cast<unsigned>(*text - '0');
      if (digits == 3 || value > 255) return false;
    }
    address = address << 8 | value;
  }
  return *text == '\0';
}

bool validPort(int port) { return port > 0 && port <= 0xFFFF; }

}  // namespace

bool peerAllowed(const char* remoteAddress, int remotePort, int localPort) {
  if (kServeAnyUser) return true;
  // Read once: the process's user does not change.
  static const platform::UserId own = [] {
    platform::UserId user{};
    if (!platform::currentUser(user)) user.size = 0;
    return user;
  }();
  platform::TcpEnd remote{};
  if (own.size == 0 || remoteAddress == nullptr ||
      !parseIpv4(remoteAddress, remote.address) || !validPort(remotePort) ||
      !validPort(localPort))
    return false;
  remote.port = static_cast<std::uint16_t>(remotePort);
  const platform::TcpEnd local{kLoopback,
                               static_cast<std::uint16_t>(localPort)};
  return platform::connectionPeerIsUser(local, remote, own);
}
