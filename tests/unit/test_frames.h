// A frame writer for unit tests: records every text frame that the launcher
// writes, with its connection, instead of writing to a server connection.
// Tests that send anything (routeMessage, deliverToClient) to made-up
// connection handles install it first with installFrameRecorder(); it stays
// installed for the rest of the process, since the server's own writer
// would dereference the made-up handles.
#ifndef LAUNCHER_TESTS_UNIT_TEST_FRAMES_H
#define LAUNCHER_TESTS_UNIT_TEST_FRAMES_H

#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bridge/connection.h"
#include "bridge/frame_output.h"

struct RecordedFrame {
  Connection connection;
  std::string text;
};

inline std::mutex& recordedFramesLock() {
  static std::mutex lock;
  return lock;
}
inline std::vector<RecordedFrame>& recordedFrames() {
  static std::vector<RecordedFrame> frames;
  return frames;
}

inline void recordFrame(Connection connection, const char* data,
                        std::size_t length) {
  std::lock_guard<std::mutex> guard(recordedFramesLock());
  recordedFrames().push_back(
      RecordedFrame{connection, std::string(data, length)});
}

inline void installFrameRecorder() { setFrameWriter(recordFrame); }

// Takes (and forgets) the frames written to one connection so far, in order.
inline std::vector<std::string> takeFrames(Connection connection) {
  std::lock_guard<std::mutex> guard(recordedFramesLock());
  std::vector<std::string> texts;
  std::vector<RecordedFrame> others;
  for (RecordedFrame& frame : recordedFrames()) {
    if (frame.connection == connection)
      texts.push_back(std::move(frame.text));
    else
      others.push_back(std::move(frame));
  }
  recordedFrames().swap(others);
  return texts;
}

#endif
