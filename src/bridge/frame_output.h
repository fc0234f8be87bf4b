// Writing text frames to clients.
#ifndef LAUNCHER_BRIDGE_FRAME_OUTPUT_H
#define LAUNCHER_BRIDGE_FRAME_OUTPUT_H

#include <cstddef>
#include <cstdint>

#include "bridge/connection.h"

// One text frame of length bytes. The server's writer by default; tests put
// their own in place.
using FrameWriter = void (*)(Connection connection, const char* data,
                             std::size_t length);
void setFrameWriter(FrameWriter writer);

// A null text sends nothing.
void sendText(Connection connection, const char* text);
// One frame per text, in order, up to the null entry; the server sends them
// together.
void sendTexts(Connection connection, char* const* texts);
// The server's closing frame with code (none for 0); nothing is sent to
// the connection after it.
void sendClose(Connection connection, std::uint16_t code);

#endif
