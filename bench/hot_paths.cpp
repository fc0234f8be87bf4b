// Prints the cost of the launcher's per-message and per-tick paths, measured
// in-process with a frame writer that only counts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bridge/frame_output.h"
#include "bridge/message_routing.h"
#include "bridge/outgoing_queue.h"
#include "bridge/peer_policy.h"
#include "install/file_digest.h"

namespace {

std::size_t framesWritten = 0;
std::size_t bytesWritten = 0;
void countFrame(Connection, const char*, std::size_t length) {
  ++framesWritten;
  bytesWritten += length;
}

template <typename F>
double nanosecondsPer(std::size_t rounds, F&& f) {
  auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < rounds; ++i) f(i);
  std::chrono::duration<double, std::nano> spent =
      std::chrono::steady_clock::now() - start;
  return spent.count() / static_cast<double>(rounds);
}

// A loopback connection of this process's: the port it listens on and the
// port it connects from, or zeros.
void loopbackPair(int& serverPort, int& clientPort) {
  serverPort = clientPort = 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  auto* any = reinterpret_cast<sockaddr*>(&address);
  if (bind(listener, any, length) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, any, &length) != 0 ||
      connect(client, any, length) != 0)
    return;
  serverPort = ntohs(address.sin_port);
  getsockname(client, any, &length);
  clientPort = ntohs(address.sin_port);
  // Both stay open until the process ends.
}

long peakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main() {
  setFrameWriter(countFrame);
  auto* client = reinterpret_cast<Connection>(std::uintptr_t{0x1000});

  const std::string hello = R"({"request":{"act":"HELLO"}})";
  double helloNs = nanosecondsPer(200000, [&](std::size_t) {
    routeMessage(client, hello.data(), hello.size());
  });
  std::printf("route HELLO envelope        %8.0f ns/message\n", helloNs);

  const std::string junk = R"({"request":{"act":"HELLO"}} trailing)";
  double junkNs = nanosecondsPer(200000, [&](std::size_t) {
    routeMessage(client, junk.data(), junk.size());
  });
  std::printf("reject non-strict envelope  %8.0f ns/message\n", junkNs);

  std::string deep(1001, '[');
  deep += std::string(1001, ']');
  double deepNs = nanosecondsPer(2000, [&](std::size_t) {
    routeMessage(client, deep.data(), deep.size());
  });
  std::printf("reject 1001-deep envelope   %8.0f ns/message\n", deepNs);

  double idleTickNs =
      nanosecondsPer(1000000, [&](std::size_t) { deliverToClient(client); });
  std::printf("tick, nothing to deliver    %8.0f ns/client\n", idleTickNs);

  const std::string progress =
      "{\n\t\"act\" : \"LOAD\",\n\t\"result\" : 2,\n\t\"size\" : 123456,"
      "\n\t\"total\" : 987654\n}";
  double queuedNs = nanosecondsPer(100000, [&](std::size_t) {
    for (int k = 0; k < 10; ++k) queueMessage(client, progress);
    deliverToClient(client);
  });
  std::printf("tick delivering 10 queued   %8.0f ns/client\n", queuedNs);

  int serverPort = 0;
  int clientPort = 0;
  loopbackPair(serverPort, clientPort);
  bool own = true;
  double peerNs = nanosecondsPer(20000, [&](std::size_t) {
    own = own && peerAllowed("127.0.0.1", clientPort, serverPort);
  });
  std::printf("peer's user (%s)       %8.0f ns/connection\n",
              own ? "own  " : "other", peerNs);

  const char* path = "/tmp/launcher-bench-digest";
  if (std::FILE* f = std::fopen(path, "wb")) {
    std::vector<char> block(1 << 20, 'x');
    for (int i = 0; i < 64; ++i) std::fwrite(block.data(), 1, block.size(), f);
    std::fclose(f);
    unsigned char digest[64];
    double digestNs =
        nanosecondsPer(4, [&](std::size_t) { fileSha512(path, digest); });
    std::printf("SHA-512 of a 64 MiB file    %8.1f MiB/s\n",
                64.0 / (digestNs / 1e9));
    std::remove(path);
  }

  std::printf("frames written %zu (%zu bytes), peak RSS %ld KiB\n",
              framesWritten, bytesWritten, peakKilobytes());
  return 0;
}
