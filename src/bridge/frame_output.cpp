#include "bridge/frame_output.h"

#include <civetweb.h>

#include <atomic>
#include <cstring>

namespace {

void writeServerFrame(Connection connection, const char* data,
                      std::size_t length) {
  // The server serialises whole frames per connection; the result is not
  // looked at, since a client that has gone simply misses the frame.
  mg_websocket_write(
      const_cast<mg_connection*>(static_cast<const mg_connection*>(connection)),
      MG_WEBSOCKET_OPCODE_TEXT, data, length);
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
                     ? const_cast<mg_connection*>(
                           static_cast<const mg_connection*>(connection))
                     : nullptr;
  if (server != nullptr) mg_websocket_batch(server, 1);
  for (char* const* p = texts; *p != nullptr; ++p) sendText(connection, *p);
  if (server != nullptr) mg_websocket_batch(server, 0);
}
