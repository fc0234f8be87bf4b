#include "bridge/frame_input.h"

#include <new>

namespace {

constexpr int kContinuation = 0, kText = 1, kBinary = 2, kClose = 8;
constexpr std::uint16_t kProtocolError = 1002, kInvalidText = 1007,
                        kTooBig = 1009, kInternalError = 1011;
constexpr std::size_t kKeptBytes = 64 * 1024;

FrameOutcome closeWith(std::uint16_t code) {
  return {FrameOutcome::Close, nullptr, 0, code};
}
constexpr FrameOutcome kNothing{FrameOutcome::Nothing, nullptr, 0, 0};

// Codes a peer may send: the protocol's own that are meant to appear on
// the wire, and those left to applications and libraries.
bool sendableCode(unsigned code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
         (code >= 3000 && code <= 4999);
}

// A peer's close is answered with its own code, or with none when it gave
// none; a payload that cannot be a close's closes with an error instead.
FrameOutcome answerClose(const char* data, std::size_t length) {
  if (length == 0) return closeWith(0);
  if (length == 1) return closeWith(kProtocolError);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  const unsigned code = (bytes[0] << 8) | bytes[1];
  if (!sendableCode(code)) return closeWith(kProtocolError);
  if (!validUtf8(data + 2, length - 2)) return closeWith(kInvalidText);
  return closeWith(static_cast<std::uint16_t>(code));
}

FrameOutcome finish(int opcode, const char* data, std::size_t length) {
  if (opcode != kText) return kNothing;  // binary messages are not served
  if (!validUtf8(data, length)) return closeWith(kInvalidText);
  return {FrameOutcome::Message, data, length, 0};
}

}  // namespace

bool validUtf8(const char* data, std::size_t length) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const auto* end = p + length;
  while (p < end) {
    const unsigned lead = *p++;
    if (lead < 0x80) continue;
    // The range of the first continuation byte excludes overlong forms,
    // surrogates and code points past U+10FFFF.
    unsigned more, low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < more) return false;
    if (*p < low || *p > high) return false;
    for (unsigned i = 1; i < more; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += more;
  }
  return true;
}

FrameOutcome takeFrame(MessageAssembly& assembly, int bits, const char* data,
                       std::size_t length, std::size_t cap) {
  const int opcode = bits & 0x0F;
  const bool final = (bits & 0x80) != 0;
  if (opcode == kClose) return answerClose(data, length);
  if (opcode != kContinuation && opcode != kText && opcode != kBinary)
    return kNothing;  // pings and pongs are the server library's
  // A continuation needs a message under way, a new message none.
  if ((opcode == kContinuation) != (assembly.opcode != 0))
    return closeWith(kProtocolError);
  if (opcode != kContinuation) {
    if (final) return finish(opcode, data, length);
    releaseMessage(assembly);
    assembly.opcode = opcode;
    assembly.length = 0;
  }
  if (length > cap - assembly.length) return closeWith(kTooBig);
  assembly.length += length;
  if (assembly.opcode == kText) {
    try {
      assembly.text.append(data, length);
    } catch (const std::bad_alloc&) {
      return closeWith(kInternalError);
    }
  }
  if (!final) return kNothing;
  const int whole = assembly.opcode;
  assembly.opcode = 0;
  return finish(whole, assembly.text.data(), assembly.text.size());
}

void releaseMessage(MessageAssembly& assembly) {
  // A small buffer is kept for the next fragmented message, a large one
  // is not held by an idle connection.
  if (assembly.text.capacity() > kKeptBytes)
    std::string().swap(assembly.text);
  else
    assembly.text.clear();
}
