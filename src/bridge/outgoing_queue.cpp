// OutgoingQueue: what the launcher has to say to each client on its next
// tick. queueLock is innermost of the launcher's locks and never held while
// anything is copied into frames or written.
#include "bridge/outgoing_queue.h"

#include <atomic>
#include <cstdlib>
#include <list>
#include <map>
#include <mutex>

#include "bridge/message_texts.h"

namespace {
std::mutex queueLock;
std::map<Connection, std::list<std::string>> outgoingQueue;
std::atomic<void (*)()> queueWakeup{nullptr};
}  // namespace

void setQueueWakeup(void (*wake)()) { queueWakeup.store(wake); }

void deliverQueuedSoon() {
  if (void (*wake)() = queueWakeup.load()) wake();
}

void queueMessage(Connection connection, const std::string& text) {
  std::lock_guard<std::mutex> guard(queueLock);
  outgoingQueue[connection].push_back(text);
}

char** takeMessages(Connection connection) {
  std::list<std::string> pending;
  {
    std::lock_guard<std::mutex> guard(queueLock);
    auto it = outgoingQueue.find(connection);
    if (it == outgoingQueue.end()) return nullptr;
    pending.swap(it->second);
    outgoingQueue.erase(it);
  }
  if (pending.empty()) return nullptr;
  auto** array =
      static_cast<char**>(std::calloc(pending.size() + 1, sizeof(char*)));
  if (array == nullptr) return nullptr;
  std::size_t i = 0;
  for (const std::string& text : pending) {
    // What cannot be copied is lost; what was copied still goes.
    if ((array[i] = duplicateText(text.c_str())) == nullptr) break;
    ++i;
  }
  return array;
}

void dropQueuedMessages(Connection connection) {
  std::lock_guard<std::mutex> guard(queueLock);
  outgoingQueue.erase(connection);
}
