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

#include "bridge/client_registry.h"

// A client's output. What the tick sends waits in pending for the client's
// own writer, so that a client that reads slowly or not at all holds up no
// one else; replies wait in held while the server's reader has more of
// the client's input at hand, so that the replies to it leave together.
struct ClientOutput {
  std::mutex lock;  // a leaf: nothing else is locked while it is held
  std::condition_variable wake;
  std::string pending;  // whole frames
  std::size_t writingBytes = 0;
  bool stop = false;
  bool overflowed = false;
  std::thread writer;
  // Under the connection's lock.
  std::string held;
  bool holding = false;
};

namespace {

// Unsent output a client may have before it is closed with 1008.
constexpr std::size_t kMaxUnsentBytes = 8 * 1024 * 1024;
constexpr std::uint16_t kPolicyViolation = 1008;
// Held replies leave once they fill a TLS record's payload.
constexpr std::size_t kRecordBytes = 16384;
// A buffer's room kept for the next frames; a larger one is given back.
constexpr std::size_t kKeptBytes = 64 * 1024;
constexpr int kText = 1, kClose = 8;

mg_connection* serverConnection(Connection connection) {
  return const_cast<mg_connection*>(
      static_cast<const mg_connection*>(connection));
}

std::size_t headerBytes(std::size_t length) {
  return length < 126 ? 2 : length <= 0xFFFF ? 4 : 10;
}

// An unmasked frame's header for a payload of length bytes.
void appendHeader(std::string& out, int opcode, std::size_t length) {
  unsigned char header[10];
  const std::size_t size = headerBytes(length);
  header[0] = static_cast<unsigned char>(0x80 | opcode);
  if (size == 2) {
    header[1] = static_cast<unsigned char>(length);
  } else if (size == 4) {
    header[1] = 126;
    header[2] = static_cast<unsigned char>(length >> 8);
    header[3] = static_cast<unsigned char>(length & 0xFF);
  } else {
    header[1] = 127;
    const auto wide = static_cast<std::uint64_t>(length);
    for (int i = 0; i < 8; ++i)
      header[2 + i] = static_cast<unsigned char>(wide >> (56 - 8 * i));
  }
  out.append(reinterpret_cast<const char*>(header), size);
}

void appendFrame(std::string& out, int opcode, const char* data,
                 std::size_t length) {
  appendHeader(out, opcode, length);
  out.append(data, length);
}

void emptyBuffer(std::string& buffer) {
  if (buffer.capacity() > kKeptBytes)
    std::string().swap(buffer);
  else
    buffer.clear();
}

// Under the connection's lock. A write that fails or falls short leaves
// the session's records broken: nothing more goes out, and the shut socket
// ends the connection.
bool writeBytes(mg_connection* server, BridgeClient* client, const char* bytes,
                std::size_t length) {
  if (length == 0) return true;
  if (mg_write(server, bytes, length) == static_cast<int>(length)) return true;
  if (client != nullptr) client->closing = true;
  mg_websocket_end(server);
  return false;
}

// Under the connection's lock.
bool sendHeld(mg_connection* server, BridgeClient* client, ClientOutput* out) {
  const bool sent =
      writeBytes(server, client, out->held.data(), out->held.size());
  emptyBuffer(out->held);
  return sent;
}

// A frame of the server's own, after the replies held before it; a close
// is the last frame the connection carries.
void sendFrame(Connection connection, int opcode, const char* data,
               std::size_t length) {
  mg_connection* server = serverConnection(connection);
  BridgeClient* client = clientOf(connection);
  ClientOutput* out = client != nullptr ? client->output : nullptr;
  mg_lock_connection(server);
  if (client == nullptr || !client->closing) {
    std::string frame;
    std::string& buffer = out != nullptr ? out->held : frame;
    // Header and payload leave together, in one TLS record up to its
    // size; a larger payload's rest goes straight from the caller's text.
    // Held replies fill records without passing one.
    const std::size_t room = kRecordBytes - headerBytes(length);
    const std::size_t first = length < room ? length : room;
    const bool roomy =
        out == nullptr || out->held.empty() ||
        out->held.size() + headerBytes(length) + first <= kRecordBytes;
    try {
      if (roomy || sendHeld(server, client, out)) {
        appendHeader(buffer, opcode, length);
        buffer.append(data, first);
        if (out == nullptr) {
          if (writeBytes(server, client, frame.data(), frame.size()))
            writeBytes(server, client, data + first, length - first);
        } else if (!out->holding || opcode == kClose || first < length ||
                   out->held.size() == kRecordBytes) {
          if (sendHeld(server, client, out))
            writeBytes(server, client, data + first, length - first);
        }
      }
    } catch (const std::bad_alloc&) {
      // A frame that cannot be made is a frame lost: the client must not
      // see the ones after it.
      if (client != nullptr) client->closing = true;
      mg_websocket_end(server);
    }
    if (opcode == kClose && client != nullptr) client->closing = true;
  }
  mg_unlock_connection(server);
}

void writeServerFrame(Connection connection, const char* data,
                      std::size_t length) {
  // The result is not looked at, since a client that has gone simply
  // misses the frame.
  sendFrame(connection, kText, data, length);
}

std::atomic<FrameWriter> frameWriter{writeServerFrame};

// Writes what the tick queued, each batch in one write under one hold of
// the connection's lock. A write to a client that takes nothing fails
// after the server's stall time, which ends the connection.
void runOutput(ClientOutput* out, BridgeClient* client, mg_connection* server) {
  std::string writing;
  std::unique_lock<std::mutex> guard(out->lock);
  for (;;) {
    out->wake.wait(guard, [out] {
      return out->stop || out->overflowed || !out->pending.empty();
    });
    if (out->stop) return;
    if (out->overflowed) {
      guard.unlock();
      // Written when the session can still take it: not after a write
      // has failed.
      sendClose(server, kPolicyViolation);
      mg_websocket_end(server);
      return;
    }
    writing.swap(out->pending);
    out->writingBytes = writing.size();
    guard.unlock();
    mg_lock_connection(server);
    if (!client->closing && sendHeld(server, client, out))
      writeBytes(server, client, writing.data(), writing.size());
    mg_unlock_connection(server);
    emptyBuffer(writing);
    guard.lock();
    out->writingBytes = 0;
  }
}

// Under the output's lock: false once the client is over its bound.
bool queueFrames(ClientOutput* out, char* const* texts) {
  if (out->overflowed) return false;
  for (char* const* p = texts; *p != nullptr; ++p) {
    const std::size_t length = std::strlen(*p);
    if (out->pending.size() + out->writingBytes + length > kMaxUnsentBytes)
      return false;
    try {
      appendFrame(out->pending, kText, *p, length);
    } catch (const std::bad_alloc&) {
      return false;
    }
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
    out->writer = std::thread(runOutput, out, client,
                              serverConnection(client->connection));
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

void holdReplies(Connection connection, bool hold) {
  BridgeClient* client = clientOf(connection);
  ClientOutput* out = client != nullptr ? client->output : nullptr;
  if (out == nullptr) return;
  mg_connection* server = serverConnection(connection);
  mg_lock_connection(server);
  out->holding = hold;
  if (!hold && !client->closing) sendHeld(server, client, out);
  mg_unlock_connection(server);
}

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
      std::string().swap(out->pending);
    }
  }
  out->wake.notify_one();
}

void sendClose(Connection connection, std::uint16_t code) {
  const char payload[2] = {static_cast<char>(code >> 8),
                           static_cast<char>(code & 0xFF)};
  sendFrame(connection, kClose, payload, code != 0 ? sizeof(payload) : 0);
}
