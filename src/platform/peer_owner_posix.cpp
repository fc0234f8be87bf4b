// POSIX: the user of a loopback connection's far end, from the kernel's
// socket table through sock_diag.
#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

// The reply to one exact lookup: a header and one inet_diag_msg, with room
// for the attributes the kernel may append.
constexpr std::size_t kReplyBytes = 1024;

// The uid owning the TCP socket bound to from and connected to to. One exact
// lookup by address pair rather than a walk of /proc/net/tcp: its cost does
// not grow with the machine's connections.
bool socketOwner(TcpEnd from, TcpEnd to, uid_t& owner) {
  const int fd =
      ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return false;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  // The socket's own end is the source.
  message.request.id.idiag_sport = htons(from.port);
  message.request.id.idiag_dport = htons(to.port);
  message.request.id.idiag_src[0] = htonl(from.address);
  message.request.id.idiag_dst[0] = htonl(to.address);
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  bool found = false;
  alignas(nlmsghdr) unsigned char reply[kReplyBytes];
  if (::send(fd, &message, sizeof message, 0) ==
      static_cast<ssize_t>(sizeof message)) {
    const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
    const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
    // Not found comes back as an NLMSG_ERROR.
    if (n >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(inet_diag_msg))) &&
        header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
        header->nlmsg_len <= static_cast<std::uint32_t>(n)) {
      const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
      owner = diag->idiag_uid;
      found = true;
    }
  }
  ::close(fd);
  return found;
}

}  // namespace

bool currentUser(UserId& user) {
  const uid_t uid = ::geteuid();
  static_assert(sizeof uid <= sizeof user.bytes, "a uid fits");
  std::memcpy(user.bytes, &uid, sizeof uid);
  user.size = sizeof uid;
  return true;
}

bool connectionPeerIsUser(TcpEnd local, TcpEnd remote, const UserId& user) {
  uid_t owner = 0;
  if (user.size != sizeof owner || !socketOwner(remote, local, owner))
    return false;
  return std::memcmp(&owner, user.bytes, sizeof owner) == 0;
}

}  // namespace platform
