#include "bridge/frame_output.h"

#include <civetweb.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bridge/client_registry.h"

// What the tick sends a client waits here for the client's own writer, so
// that a client that reads slowly or not at all holds up no one else.
struct ClientOutput {
  std::mutex lock;  // a leaf: nothing else is locked while it is held
  std::condition_variable wake;
  std::vector<std::string> frames;
  std::size_t queuedBytes = 0;
  std::size_t writingBytes = 0;
  bool stop = false;
  bool overflowed = false;
  std::thread writer;
};

namespace {

// Unsent output a client may have before it is closed with 1008.
constexpr std::size_t kMaxUnsentBytes = 8 * 1024 * 1024;
constexpr std::uint16_t kPolicyViolation = 1008;

mg_connection* serverConnection(Connection connection) {
  return const_cast<mg_connection*>(
      static_cast<const mg_connection*>(connection));
}

// Under the connection's lock (the server's, and recursive).
bool closing(Connection connection) {
  const BridgeClient* client = clientOf(connection);
  return client != nullptr && client->closing;
}

void writeServerFrame(Connection connection, const char* data,
                      std::size_t length) {
  // The result is not looked at, since a client that has gone simply
  // misses the frame.
  mg_connection* server = serverConnection(connection);
  mg_lock_connection(server);
  if (!closing(server))
    mg_websocket_write(server, MG_WEBSOCKET_OPCODE_TEXT, data, length);
  mg_unlock_connection(server);
}

std::atomic<FrameWriter> frameWriter{writeServerFrame};

// Writes a batch at a time, in one write where they fit. A write to a
// client that takes nothing fails after the server's stall time, which
// ends the connection.
void runOutput(ClientOutput* out, mg_connection* server) {
  std::vector<std::string> batch;
  std::unique_lock<std::mutex> guard(out->lock);
  for (;;) {
    out->wake.wait(guard, [out] {
      return out->stop || out->overflowed || !out->frames.empty();
    });
    if (out->stop) return;
    if (out->overflowed) {
      guard.unlock();
      sendClose(server, kPolicyViolation);
      mg_websocket_end(server);
      return;
    }
    batch.swap(out->frames);
    out->writingBytes = out->queuedBytes;
    out->queuedBytes = 0;
    guard.unlock();
    mg_lock_connection(server);
    mg_websocket_batch(server, 1);
    for (const std::string& frame : batch)
      writeServerFrame(server, frame.data(), frame.size());
    mg_websocket_batch(server, 0);
    mg_unlock_connection(server);
    batch.clear();
    guard.lock();
    out->writingBytes = 0;
  }
}

// Under the output's lock: false once the client is over its bound.
bool queueFrames(ClientOutput* out, char* const* texts) {
  if (out->overflowed) return false;
  for (char* const* p = texts; *p != nullptr; ++p) {
    const std::size_t length = std::strlen(*p);
    if (out->queuedBytes + out->writingBytes + length > kMaxUnsentBytes)
      return false;
    try {
      out->frames.emplace_back(*p, length);
    } catch (const std::bad_alloc&) {
      return false;
    }
    out->queuedBytes += length;
  }
  return true;
}

}  // namespace

BridgeClient* clientOf(Connection connection) {
  return static_cast<BridgeClient*>(
      mg_get_user_connection_data(serverConnection(connection)));
}

bool startClientOutput(BridgeClient* client) {
  if (frameWriter.load() != writeServerFrame) return true;
  auto* out = new (std::nothrow) ClientOutput;
  if (out == nullptr) return false;
  try {
    out->writer =
        std::thread(runOutput, out, serverConnection(client->connection));
  } catch (const std::system_error&) {
    delete out;
    return false;
  }
  client->output = out;
  return true;
}

void stopClientOutput(BridgeClient* client) {
  ClientOutput* out = client->output;
  if (out == nullptr || !out->writer.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(out->lock);
    out->stop = true;
  }
  out->wake.notify_one();
  out->writer.join();
}

void freeClientOutput(ClientOutput* output) { delete output; }

void setFrameWriter(FrameWriter writer) {
  frameWriter.store(writer != nullptr ? writer : writeServerFrame);
}

void sendText(Connection connection, const char* text) {
  if (text == nullptr) return;
  frameWriter.load()(connection, text, std::strlen(text));
}

void sendTexts(Connection connection, char* const* texts) {
  if (texts == nullptr) return;
  // A writer that tests put in place sees the frames one by one.
  if (frameWriter.load() != writeServerFrame) {
    for (char* const* p = texts; *p != nullptr; ++p) sendText(connection, *p);
    return;
  }
  const BridgeClient* client = clientOf(connection);
  ClientOutput* out = client != nullptr ? client->output : nullptr;
  if (out == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(out->lock);
    if (!queueFrames(out, texts)) {
      out->overflowed = true;
      out->frames.clear();
      out->queuedBytes = 0;
    }
  }
  out->wake.notify_one();
}

void sendClose(Connection connection, std::uint16_t code) {
  mg_connection* server = serverConnection(connection);
  const char payload[2] = {static_cast<char>(code >> 8),
                           static_cast<char>(code & 0xFF)};
  mg_lock_connection(server);
  if (!closing(server)) {
    mg_websocket_write(server, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, payload,
                       code != 0 ? sizeof(payload) : 0);
    BridgeClient* client = clientOf(connection);
    if (client != nullptr) client->closing = true;
  }
  mg_unlock_connection(server);
}
