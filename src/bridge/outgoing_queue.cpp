// OutgoingQueue: what the launcher has to say to each client on its next
// tick. queueLock is innermost of the launcher's locks and never held while
// anything is copied into frames or written.
#include "bridge/outgoing_queue.h"

#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <mutex>

namespace {
std::mutex queueLock;
std::map<Connection, std::list<std::string>> outgoingQueue;
}  // namespace

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
    auto* copy = static_cast<char*>(std::calloc(text.size() + 1, 1));
    if (copy == nullptr) break;  // what is lost is lost; the rest still goes
    std::memcpy(copy, text.data(), text.size());
    array[i++] = copy;
  }
  return array;
}

void dropQueuedMessages(Connection connection) {
  std::lock_guard<std::mutex> guard(queueLock);
  outgoingQueue.erase(connection);
}
