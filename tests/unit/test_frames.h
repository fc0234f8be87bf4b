// A frame writer that records what the launcher sends, by connection.
// Tests that send to made-up connection handles install it first; it stays
// for the rest of the process, since the server's writer would dereference
// those handles.
#ifndef LAUNCHER_TESTS_UNIT_TEST_FRAMES_H
#define LAUNCHER_TESTS_UNIT_TEST_FRAMES_H

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/frame_output.h"

inline std::mutex recordedFramesLock;
inline std::map<Connection, std::vector<std::string>> recordedFrames;

inline void installFrameRecorder() {
  setFrameWriter([](Connection connection, const char* data, std::size_t n) {
    std::lock_guard<std::mutex> guard(recordedFramesLock);
    recordedFrames[connection].emplace_back(data, n);
  });
}

// Takes (and forgets) the frames written to one connection so far, in order.
inline std::vector<std::string> takeFrames(Connection connection) {
  std::lock_guard<std::mutex> guard(recordedFramesLock);
  std::vector<std::string> texts;
  texts.swap(recordedFrames[connection]);
  return texts;
}

#endif
