// Inbound frames to whole messages under the WebSocket protocol's rules.
// The server library refuses what a single frame's header shows to be
// wrong (no mask, reserved bits or opcodes, a long or fragmented control
// frame, a frame over the cap); what takes more than one frame, or the
// payload, is decided here.
#ifndef LAUNCHER_BRIDGE_FRAME_INPUT_H
#define LAUNCHER_BRIDGE_FRAME_INPUT_H

#include <cstddef>
#include <cstdint>
#include <string>

// A connection's message under way; its worker's alone.
struct MessageAssembly {
  int opcode = 0;  // of the unfinished message; 0 when there is none
  std::size_t length = 0;
  std::string text;  // a text message's fragments so far
};

struct FrameOutcome {
  enum Kind { Nothing, Message, Close } kind;
  // Message: the whole text message, valid until releaseMessage.
  const char* data;
  std::size_t length;
  // Close: the code the closing frame carries; 0 for one without a code,
  // the answer to a peer's close that gave none.
  std::uint16_t code;
};

// One frame as the server library passes it on: bits is its first byte
// (FIN, reserved bits, opcode). Messages larger than cap close with 1009.
FrameOutcome takeFrame(MessageAssembly& assembly, int bits, const char* data,
                       std::size_t length, std::size_t cap);

// After a Message has been handled.
void releaseMessage(MessageAssembly& assembly);

bool validUtf8(const char* data, std::size_t length);

#endif
