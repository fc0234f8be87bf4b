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
// One frame per text, in order, up to the null entry: from the tick, so the
// frames wait for the client's own writer, which sends them together. A
// client whose unsent frames would pass 8 MiB is closed with 1008 instead.
void sendTexts(Connection connection, char* const* texts);

struct BridgeClient;
struct ClientOutput;
// The client record the server keeps with a connection; null before the
// connection has one.
BridgeClient* clientOf(Connection connection);
// The client's writer, from when it is ready until it closes; start is
// false when no writer could be made. After stop the tick may still queue
// frames, which go nowhere; free once the client has been unregistered.
bool startClientOutput(BridgeClient* client);
void stopClientOutput(BridgeClient* client);
void freeClientOutput(ClientOutput* output);
// The server's closing frame with code (none for 0); nothing is sent to
// the connection after it.
void sendClose(Connection connection, std::uint16_t code);
// From the server's reader: while more of the client's input is already
// here, replies wait to leave together with those to it; released, what
// waits goes.
void holdReplies(Connection connection, bool hold);

#endif
