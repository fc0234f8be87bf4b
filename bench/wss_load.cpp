// A WSS client over TLS 1.2 that drives an echo or relay server and prints
// one line of JSON figures. Each request carries a number, "n": ID, that the
// reply must carry back; a reply with another number counts as misrouted.
//
//   wss_load PORT ORIGIN TARGET seq ROUNDS
//   wss_load PORT ORIGIN TARGET pipe COUNT WINDOW
//   wss_load PORT ORIGIN TARGET fan CLIENTS ROUNDS
//   wss_load PORT ORIGIN TARGET fan-resumed CLIENTS ROUNDS
//     (every client resumes the TLS session of one that came before)
//
// TARGET is the module name the launcher relays to, or "-" for a plain echo.
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double microsecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start)
      .count();
}

struct Settings {
  std::string port;
  std::string origin;
  std::string target;
};

class Client {
 public:
  explicit Client(const Settings& settings) : settings_(settings) {
    mbedtls_net_init(&net_);
    mbedtls_ssl_init(&ssl_);
    mbedtls_ssl_config_init(&conf_);
    mbedtls_ctr_drbg_init(&drbg_);
    mbedtls_entropy_init(&entropy_);
  }
  ~Client() {
    mbedtls_ssl_close_notify(&ssl_);
    mbedtls_net_free(&net_);
    mbedtls_ssl_free(&ssl_);
    mbedtls_ssl_config_free(&conf_);
    mbedtls_ctr_drbg_free(&drbg_);
    mbedtls_entropy_free(&entropy_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Resumes session when one is given, as a browser's further tabs do.
  bool open(const mbedtls_ssl_session* session = nullptr) {
    if (mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, nullptr,
                              0) != 0 ||
        mbedtls_net_connect(&net_, "127.0.0.1", settings_.port.c_str(),
                            MBEDTLS_NET_PROTO_TCP) != 0)
      return false;
    int one = 1;
    setsockopt(net_.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    mbedtls_ssl_config_defaults(&conf_, MBEDTLS_SSL_IS_CLIENT,
                                MBEDTLS_SSL_TRANSPORT_STREAM,
                                MBEDTLS_SSL_PRESET_DEFAULT);
    mbedtls_ssl_conf_max_version(&conf_, MBEDTLS_SSL_MAJOR_VERSION_3,
                                 MBEDTLS_SSL_MINOR_VERSION_3);
    // Figures, not trust: the servers are this machine's own.
    mbedtls_ssl_conf_authmode(&conf_, MBEDTLS_SSL_VERIFY_NONE);
    mbedtls_ssl_conf_rng(&conf_, mbedtls_ctr_drbg_random, &drbg_);
    // What browsers offer, in their order; each server picks among these by
    // its own preference, as it would for a page.
    static const mbedtls_ecp_group_id browserCurves[] = {
        MBEDTLS_ECP_DP_CURVE25519, MBEDTLS_ECP_DP_SECP256R1,
        MBEDTLS_ECP_DP_SECP384R1, MBEDTLS_ECP_DP_NONE};
    mbedtls_ssl_conf_curves(&conf_, browserCurves);
    if (mbedtls_ssl_setup(&ssl_, &conf_) != 0) return false;
    if (session != nullptr) mbedtls_ssl_set_session(&ssl_, session);
    mbedtls_ssl_set_bio(&ssl_, &net_, mbedtls_net_send, mbedtls_net_recv,
                        nullptr);
    int rc;
    while ((rc = mbedtls_ssl_handshake(&ssl_)) != 0)
      if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE)
        return false;
    std::string upgrade =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + settings_.port +
        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\nOrigin: " +
        settings_.origin + "\r\n\r\n";
    if (!writeAll(upgrade.data(), upgrade.size())) return false;
    // The 101 response ends at the first blank line; frames may follow it.
    for (;;) {
      std::size_t end = buffered_.find("\r\n\r\n");
      if (end != std::string::npos) {
        bool switched = buffered_.compare(0, 12, "HTTP/1.1 101") == 0;
        buffered_.erase(0, end + 4);
        return switched;
      }
      if (!fill()) return false;
    }
  }

  bool keepSession(mbedtls_ssl_session* session) const {
    return mbedtls_ssl_get_session(&ssl_, session) == 0;
  }

  // The request text for number id.
  std::string request(unsigned long id) const {
    std::string body = "{\"n\":" + std::to_string(id) + "}";
    if (settings_.target == "-") return body;
    return "{\"target\":\"" + settings_.target + "\",\"request\":" + body + "}";
  }

  // Appends one masked text frame (a zero mask: the payload reads as is).
  static void appendFrame(std::string& out, const std::string& payload) {
    out += static_cast<char>(0x81);
    if (payload.size() < 126) {
      out += static_cast<char>(0x80 | payload.size());
    } else {
      out += static_cast<char>(0x80 | 126);
      out += static_cast<char>(payload.size() >> 8);
      out += static_cast<char>(payload.size() & 0xFF);
    }
    out.append(4, '\0');
    out += payload;
  }

  bool send(const std::string& frames) {
    return writeAll(frames.data(), frames.size());
  }

  // The next text frame's payload; false when the connection failed.
  bool receive(std::string& payload) {
    for (;;) {
      int got = takeFrame(payload);
      if (got != 0) return got > 0;
      if (!fill()) return false;
    }
  }

  // For an event loop: reads stop at WANT_READ instead of waiting.
  void makeNonBlocking() { mbedtls_net_set_nonblock(&net_); }
  int socket() const { return net_.fd; }

  // A whole text frame from what has arrived: 1 when taken, 0 when none is
  // whole yet, -1 when the server closed.
  int takeFrame(std::string& payload) {
    for (;;) {
      if (buffered_.size() >= 2) {
        auto byte = [&](std::size_t i) {
          return static_cast<unsigned char>(buffered_[i]);
        };
        std::size_t length = byte(1) & 0x7F;
        std::size_t header = 2;
        if (length == 126 && buffered_.size() >= 4) {
          length = (std::size_t{byte(2)} << 8) | byte(3);
          header = 4;
        } else if (length == 127 && buffered_.size() >= 10) {
          length = 0;
          for (std::size_t i = 2; i < 10; ++i) length = (length << 8) | byte(i);
          header = 10;
        } else if (length >= 126) {
          length = SIZE_MAX / 2;
        }
        if (buffered_.size() >= header + length) {
          const int opcode = byte(0) & 0x0F;
          payload.assign(buffered_, header, length);
          buffered_.erase(0, header + length);
          if (opcode == 1) return 1;
          if (opcode == 8) return -1;
          continue;  // pings and pongs
        }
      }
      return 0;
    }
  }

  // Appends one read's worth, waiting for it; or, with drain on a
  // non-blocking connection, everything that has arrived, records mbedTLS
  // holds included. False when the connection failed.
  bool fill(bool drain = false) {
    unsigned char chunk[16384];
    for (;;) {
      int n = mbedtls_ssl_read(&ssl_, chunk, sizeof chunk);
      if (n == MBEDTLS_ERR_SSL_WANT_READ && drain) return true;
      if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE)
        continue;
      if (n <= 0) return false;
      buffered_.append(reinterpret_cast<char*>(chunk),
                       static_cast<std::size_t>(n));
      if (!drain) return true;
    }
  }

 private:
  bool writeAll(const char* data, std::size_t size) {
    while (size != 0) {
      int n = mbedtls_ssl_write(
          &ssl_, reinterpret_cast<const unsigned char*>(data), size);
      if (n == MBEDTLS_ERR_SSL_WANT_WRITE || n == MBEDTLS_ERR_SSL_WANT_READ)
        continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  const Settings& settings_;
  mbedtls_net_context net_;
  mbedtls_ssl_context ssl_;
  mbedtls_ssl_config conf_;
  mbedtls_ctr_drbg_context drbg_;
  mbedtls_entropy_context entropy_;
  std::string buffered_;
};

// The number after "n" in a reply, whatever spacing the writer used.
long replyNumber(const std::string& reply) {
  std::size_t at = reply.find("\"n\"");
  if (at == std::string::npos) return -1;
  at += 3;
  while (at < reply.size() && (reply[at] == ' ' || reply[at] == ':' ||
                               reply[at] == '\t' || reply[at] == '\n'))
    ++at;
  return std::strtol(reply.c_str() + at, nullptr, 10);
}

double percentile(std::vector<double>& values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t index =
      static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
  return values[index];
}

int sequential(const Settings& settings, unsigned long rounds) {
  Client client(settings);
  if (!client.open()) return 1;
  std::vector<double> times;
  unsigned long wrong = 0;
  std::string reply;
  for (unsigned long id = 0; id < rounds; ++id) {
    std::string frame;
    Client::appendFrame(frame, client.request(id));
    auto start = Clock::now();
    if (!client.send(frame) || !client.receive(reply)) return 1;
    times.push_back(microsecondsSince(start));
    if (replyNumber(reply) != static_cast<long>(id)) ++wrong;
  }
  std::printf(
      "{\"median_us\": %.1f, \"p99_us\": %.1f, \"worst_us\": %.1f, "
      "\"wrong\": %lu}\n",
      percentile(times, 0.5), percentile(times, 0.99), percentile(times, 1.0),
      wrong);
  return 0;
}

int pipelined(const Settings& settings, unsigned long count,
              unsigned long window) {
  Client client(settings);
  if (!client.open()) return 1;
  unsigned long sent = 0;
  unsigned long received = 0;
  unsigned long wrong = 0;
  std::string reply;
  auto start = Clock::now();
  while (received < count) {
    // Tops the window up in one write, so the client's own cost stays small.
    std::string frames;
    while (sent < count && sent - received < window)
      Client::appendFrame(frames, client.request(sent++));
    if (!frames.empty() && !client.send(frames)) return 1;
    if (!client.receive(reply)) return 1;
    if (replyNumber(reply) != static_cast<long>(received)) ++wrong;
    ++received;
  }
  double seconds = microsecondsSince(start) / 1e6;
  std::printf("{\"rate\": %.0f, \"wrong\": %lu}\n",
              static_cast<double>(count) / seconds, wrong);
  return 0;
}

// Clients connect at once, each on a thread of its own, and each starts its
// round trips as soon as its own handshake is done, as pages do when many
// open together, so round trips meet the handshakes of the later clients.
// One thread runs every round trip in an event loop, so a reply is seen as
// soon as it arrives: fifty client threads would add their own turns on the
// processor to the figures.
int fanOut(const Settings& settings, unsigned clients, unsigned long rounds,
           bool resumed) {
  mbedtls_ssl_session session;
  mbedtls_ssl_session_init(&session);
  if (resumed) {
    Client first(settings);
    if (!first.open() || !first.keepSession(&session)) {
      mbedtls_ssl_session_free(&session);
      return 1;
    }
  }
  int wake[2];
  if (pipe(wake) != 0) return 1;

  struct Fan {
    std::unique_ptr<Client> client;
    unsigned index = 0;
    unsigned long round = 0;
    Clock::time_point sentAt;
  };
  std::mutex joinLock;
  std::vector<Fan> joined;
  unsigned failed = 0;
  std::vector<std::thread> openers;
  for (unsigned c = 0; c < clients; ++c) {
    openers.emplace_back([&, c] {
      auto client = std::make_unique<Client>(settings);
      bool opened = client->open(resumed ? &session : nullptr);
      if (opened) client->makeNonBlocking();
      {
        std::lock_guard<std::mutex> guard(joinLock);
        if (opened)
          joined.push_back(Fan{std::move(client), c, 0, {}});
        else
          ++failed;
      }
      char one = 1;
      (void)!write(wake[1], &one, 1);
    });
  }

  std::vector<std::vector<double>> times(clients);
  std::vector<Clock::time_point> began(clients, Clock::time_point::max());
  std::vector<Clock::time_point> ended(clients, Clock::time_point::min());
  unsigned long wrong = 0;
  unsigned finished = 0;
  unsigned dropped = 0;
  std::vector<Fan> active;
  auto sendNext = [&](Fan& fan) {
    // Numbers unique across clients, so a reply for another is seen.
    std::string frame;
    Client::appendFrame(frame,
                        fan.client->request(fan.index * rounds + fan.round));
    fan.sentAt = Clock::now();
    return fan.client->send(frame);
  };
  // Takes the fan's arrived replies, sending the next request after each;
  // false when its connection failed.
  auto answer = [&](Fan& fan) {
    if (!fan.client->fill(true)) return false;
    std::string reply;
    for (;;) {
      int got = fan.client->takeFrame(reply);
      if (got == 0) return true;
      if (got < 0) return false;
      times[fan.index].push_back(microsecondsSince(fan.sentAt));
      if (replyNumber(reply) !=
          static_cast<long>(fan.index * rounds + fan.round))
        ++wrong;
      if (++fan.round == rounds) {
        ended[fan.index] = Clock::now();
        ++finished;
        return true;
      }
      if (!sendNext(fan)) return false;
    }
  };
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(joinLock);
      for (Fan& fan : joined) {
        began[fan.index] = Clock::now();
        times[fan.index].reserve(rounds);
        if (sendNext(fan))
          active.push_back(std::move(fan));
        else
          ++dropped;
      }
      joined.clear();
      if (finished + dropped + failed == clients) break;
    }
    std::vector<pollfd> watched{{wake[0], POLLIN, 0}};
    for (const Fan& fan : active)
      watched.push_back({fan.client->socket(), POLLIN, 0});
    if (poll(watched.data(), watched.size(), -1) < 0) break;
    if (watched[0].revents != 0) {
      char drain[64];
      (void)!read(wake[0], drain, sizeof drain);
    }
    std::vector<Fan> still;
    for (std::size_t i = 0; i < active.size(); ++i) {
      Fan& fan = active[i];
      bool alive = watched[i + 1].revents == 0 || answer(fan);
      if (!alive) ++dropped;
      if (alive && fan.round < rounds) still.push_back(std::move(fan));
    }
    active.swap(still);
  }
  for (std::thread& t : openers) t.join();
  close(wake[0]);
  close(wake[1]);
  mbedtls_ssl_session_free(&session);
  double seconds = std::chrono::duration<double>(
                       *std::max_element(ended.begin(), ended.end()) -
                       *std::min_element(began.begin(), began.end()))
                       .count();
  std::vector<double> all;
  for (auto& list : times) all.insert(all.end(), list.begin(), list.end());
  std::size_t lost = static_cast<std::size_t>(clients) * rounds - all.size();
  std::printf(
      "{\"rate\": %.0f, \"median_us\": %.1f, \"p999_us\": %.1f, "
      "\"worst_us\": %.1f, \"lost\": %zu, \"wrong\": %lu, "
      "\"failed\": %u}\n",
      static_cast<double>(all.size()) / seconds, percentile(all, 0.5),
      percentile(all, 0.999), percentile(all, 1.0), lost, wrong,
      failed + dropped);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: wss_load PORT ORIGIN TARGET seq ROUNDS | pipe COUNT "
                 "WINDOW | fan CLIENTS ROUNDS | fan-resumed CLIENTS ROUNDS\n");
    return 2;
  }
  Settings settings{argv[1], argv[2], argv[3]};
  std::string mode = argv[4];
  unsigned long first = std::strtoul(argv[5], nullptr, 10);
  unsigned long second = argc > 6 ? std::strtoul(argv[6], nullptr, 10) : 0;
  if (mode == "seq") return sequential(settings, first);
  if (mode == "pipe") return pipelined(settings, first, second);
  if (mode == "fan" || mode == "fan-resumed")
    return fanOut(settings, static_cast<unsigned>(first), second,
                  mode == "fan-resumed");
  return 2;
}
