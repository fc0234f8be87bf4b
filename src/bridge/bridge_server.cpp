// The loopback secure WebSocket server: CivetWeb over mbedTLS.
#include "bridge/bridge_server.h"

#include <civetweb.h>
#include <mbedtls/platform_util.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "bridge/frame_input.h"
#include "bridge/frame_output.h"
#include "bridge/origin_policy.h"
#include "bridge/outgoing_queue.h"
#include "bridge/peer_policy.h"
#include "platform/platform.h"

namespace {

constexpr std::chrono::milliseconds kTickInterval{100};
// How long a stop waits for pages to answer its close before the server
// ends their connections itself.
constexpr std::chrono::milliseconds kCloseWait{300};
// How long a stop waits for the workers and modules to finish.
constexpr unsigned kStopPatienceMs = 2000;

// Rung when queued messages should not wait for the next tick.
std::mutex wakeLock;
std::condition_variable wakeSignal;
bool wakeRung = false;

void ringWake() {
  {
    std::lock_guard<std::mutex> guard(wakeLock);
    wakeRung = true;
  }
  wakeSignal.notify_one();
}
constexpr unsigned kLibraryFeatures = 2 | 16;  // TLS and WebSocket

void lockContext(void* context) {
  mg_lock_context(static_cast<mg_context*>(context));
}
void unlockContext(void* context) {
  mg_unlock_context(static_cast<mg_context*>(context));
}

// While a client's next requests are already here, the replies to them
// leave together: one TLS record and one send instead of one each.
void onInput(mg_connection* connection, int more) {
  holdReplies(connection, more != 0);
}

// Plain requests are claimed and left unanswered: no file is ever served.
int onPlainRequest(mg_connection*, void*) { return 1; }

int onConnect(const mg_connection* connection, void*) {
  // Another user's process is refused before any record of it exists, with
  // no reply: its page's library then tries the next port.
  const mg_request_info* request = mg_get_request_info(connection);
  if (request == nullptr ||
      !peerAllowed(request->remote_addr, request->remote_port,
                   request->server_port))
    return 1;
  // A foreign page is refused before any record of it exists.
  if (!originAllowed(mg_get_header(connection, "Origin"))) {
    mg_printf(const_cast<mg_connection*>(connection), "%s",
              "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n"
              "Connection: close\r\n\r\n");
    return 1;
  }
  BridgeClient* client = registerClient(connection);
  if (client == nullptr) return 1;
  mg_set_user_connection_data(connection, client);
  return 0;
}

void onReady(mg_connection* connection, void*) {
  BridgeClient* client = clientOf(connection);
  // A client without a writer of its own is never ticked.
  if (client != nullptr && startClientOutput(client))
    markClientReady(client, connection);
}

int onData(mg_connection* connection, int bits, char* data, size_t length,
           void* hooksData) {
  BridgeClient* client = clientOf(connection);
  if (client == nullptr || client->connection != connection) return 1;
  const FrameOutcome outcome =
      takeFrame(client->input, bits, data, length, LAUNCHER_MAX_MESSAGE_BYTES);
  if (outcome.kind == FrameOutcome::Close) {
    sendClose(connection, outcome.code);
    return 0;
  }
  if (outcome.kind == FrameOutcome::Nothing) return 1;
  const auto* hooks = static_cast<const BridgeHooks*>(hooksData);
  if (hooks != nullptr && hooks->onMessage != nullptr)
    hooks->onMessage(connection, outcome.data, outcome.length);
  releaseMessage(client->input);
  // A worker that has answered lets the workers of other clients that wait
  // for the processor go first. Otherwise the scheduler can keep it running
  // through one client's next requests for milliseconds while every other
  // client's reply waits: with fifty pages busy on one core, single round
  // trips took 30-85 ms instead of 6-28 ms.
  std::this_thread::yield();
  return 1;
}

void onClose(const mg_connection* connection, void* hooksData) {
  BridgeClient* client = clientOf(connection);
  if (client == nullptr) return;
  // The writer goes first, the record when the tick has let go of it: until
  // then both look it up through the connection.
  stopClientOutput(client);
  ClientOutput* output = client->output;
  unregisterClient(client);
  mg_set_user_connection_data(connection, nullptr);
  freeClientOutput(output);
  const auto* hooks = static_cast<const BridgeHooks*>(hooksData);
  if (hooks != nullptr && hooks->onClosed != nullptr)
    hooks->onClosed(connection);
}

// 1001, going away: the page's library then tries the ports again, and
// finds whichever launcher starts next.
void closeGoingAway(Connection connection) { sendClose(connection, 1001); }

void stopServer(mg_context* context) {
  // The tick's own hand-over, so no close frame crosses a delivery.
  tickClients(BridgeHooks{closeGoingAway, nullptr, nullptr, nullptr, nullptr});
  const auto deadline = std::chrono::steady_clock::now() + kCloseWait;
  while (clientCount() != 0 && std::chrono::steady_clock::now() < deadline)
    platform::sleepMilliseconds(10);
  // A worker inside a module that never returns would hold the join below
  // for ever: past this the process ends regardless, as it was asked to.
  std::thread([] {
    platform::sleepMilliseconds(kStopPatienceMs);
    platform::endProcess(0);
  }).detach();
  // Joins every worker: no module code runs once it returns.
  mg_stop(context);
}

}  // namespace

int startBridgeServer(const char* listeningAddress, const char* tlsIdentity,
                      BridgeHooks hooks) {
  if (mg_init_library(kLibraryFeatures) == 0) return 1;
  if (tlsIdentity == nullptr) return 1;

  // Without no-delay each small reply waits for the peer's delayed
  // acknowledgement, tens of milliseconds per message.
  const char* options[] = {"listening_ports",
                           listeningAddress,
                           "enable_websocket_ping_pong",
                           "yes",
                           "ssl_certificate",
                           tlsIdentity,
                           "tcp_nodelay",
                           "1",
                           nullptr};
  mg_callbacks callbacks{};
  callbacks.websocket_input = onInput;
  mg_context* context = mg_start(&callbacks, nullptr, options);
  if (context == nullptr) return 1;
  // The key is parsed: the server's copy of its text goes (the option is
  // read only at start).
  if (const char* kept = mg_get_option(context, "ssl_certificate"))
    mbedtls_platform_zeroize(const_cast<char*>(kept), std::strlen(kept));
  if (hooks.onListening != nullptr) hooks.onListening();

  setClientRegistryLock(RegistryLock{lockContext, unlockContext, context});
  mg_set_request_handler(context, "", onPlainRequest, nullptr);
  mg_set_websocket_handler(context, "", onConnect, onReady, onData, onClose,
                           &hooks);
  setQueueWakeup(ringWake);
  // Ticks keep their 100 ms pace; an early delivery in between only sends
  // what is queued, from this same thread, so the order stays the queue's.
  BridgeHooks early = hooks;
  early.onTick = hooks.onEarlyDelivery;
  auto nextTick = std::chrono::steady_clock::now() + kTickInterval;
  while (!platform::stopRequested()) {
    bool rung;
    {
      std::unique_lock<std::mutex> guard(wakeLock);
      rung = wakeSignal.wait_until(guard, nextTick, [] { return wakeRung; });
      wakeRung = false;
    }
    if (rung) {
      if (early.onTick != nullptr) tickClients(early);
      continue;
    }
    tickClients(hooks);
    nextTick = std::chrono::steady_clock::now() + kTickInterval;
  }
  stopServer(context);
  return 0;
}
