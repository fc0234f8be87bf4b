#include "bridge/frame_output.h"

#include <civetweb.h>

#include <atomic>
#include <cstring>

#include "bridge/client_registry.h"

namespace {

mg_connection* serverConnection(Connection connection) {
  return const_cast<mg_connection*>(
      static_cast<const mg_connection*>(connection));
}

// Under the connection's lock (the server's, and recursive).
bool closing(mg_connection* connection) {
  const auto* client =
      static_cast<const BridgeClient*>(mg_get_user_connection_data(connection));
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

}  // namespace

void setFrameWriter(FrameWriter writer) {
  frameWriter.store(writer != nullptr ? writer : writeServerFrame);
}

void sendText(Connection connection, const char* text) {
  if (text == nullptr) return;
  frameWriter.load()(connection, text, std::strlen(text));
}

void sendTexts(Connection connection, char* const* texts) {
  if (texts == nullptr) return;
  // The server sends a tick's frames for a client in as few writes as fit;
  // a writer that tests put in place sees them one by one.
  auto* server = frameWriter.load() == writeServerFrame
                     ? serverConnection(connection)
                     : nullptr;
  // Held throughout, so that a closing frame cannot come between them.
  mg_lock_connection(server);
  if (server != nullptr) mg_websocket_batch(server, 1);
  for (char* const* p = texts; *p != nullptr; ++p) sendText(connection, *p);
  if (server != nullptr) mg_websocket_batch(server, 0);
  mg_unlock_connection(server);
}

void sendClose(Connection connection, std::uint16_t code) {
  mg_connection* server = serverConnection(connection);
  const char payload[2] = {static_cast<char>(code >> 8),
                           static_cast<char>(code & 0xFF)};
  mg_lock_connection(server);
  if (!closing(server)) {
    mg_websocket_write(server, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, payload,
                       code != 0 ? sizeof(payload) : 0);
    auto* client =
        static_cast<BridgeClient*>(mg_get_user_connection_data(server));
    if (client != nullptr) client->closing = true;
  }
  mg_unlock_connection(server);
}
