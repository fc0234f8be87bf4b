// clientRegistry and the Busy hand-over between the tick and a closing client.
#include "bridge/client_registry.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace {

std::mutex fallbackLock;
void lockFallback(void*) { fallbackLock.lock(); }
void unlockFallback(void*) { fallbackLock.unlock(); }

RegistryLock registryLock{lockFallback, unlockFallback, nullptr};
std::vector<BridgeClient*> clientRegistry;

struct RegistryGuard {
  RegistryGuard() { registryLock.lock(registryLock.context); }
  ~RegistryGuard() { registryLock.unlock(registryLock.context); }
  RegistryGuard(const RegistryGuard&) = delete;
  RegistryGuard& operator=(const RegistryGuard&) = delete;
};

bool stillRegistered(const BridgeClient* client) {
  return std::find(clientRegistry.begin(), clientRegistry.end(), client) !=
         clientRegistry.end();
}

}  // namespace

void setClientRegistryLock(RegistryLock lock) { registryLock = lock; }

BridgeClient* registerClient(Connection connection) {
  RegistryGuard guard;
  auto* client = new (std::nothrow)
      BridgeClient{connection, Connected, false, {}, nullptr};
  if (client == nullptr) return nullptr;
  try {
    clientRegistry.push_back(client);
  } catch (const std::bad_alloc&) {
    delete client;
    return nullptr;
  }
  return client;
}

void markClientReady(BridgeClient* client, Connection connection) {
  RegistryGuard guard;
  if (client != nullptr && client->connection == connection &&
      stillRegistered(client))
    client->state = Ready;
}

void unregisterClient(BridgeClient* client) {
  if (client == nullptr) return;
  registryLock.lock(registryLock.context);
  // While the tick delivers to it the connection must stay valid.
  while (client->state == Busy) {
    registryLock.unlock(registryLock.context);
    platform::sleepMilliseconds(100);
    registryLock.lock(registryLock.context);
  }
  client->state = Closed;
  client->connection = nullptr;
  auto it = std::find(clientRegistry.begin(), clientRegistry.end(), client);
  if (it != clientRegistry.end()) {
    clientRegistry.erase(it);
    delete client;
  }
  registryLock.unlock(registryLock.context);
}

void tickClients(const BridgeHooks& hooks) {
  // A copy to walk; any record not Busy may be deleted whenever the lock is
  // free, so each is confirmed under the lock before it is touched.
  std::vector<BridgeClient*> snapshot;
  {
    RegistryGuard guard;
    snapshot = clientRegistry;
  }
  for (BridgeClient* client : snapshot) {
    Connection connection = nullptr;
    {
      RegistryGuard guard;
      if (!stillRegistered(client) || client->state != Ready) continue;
      client->state = Busy;
      connection = client->connection;
    }
    if (hooks.onTick != nullptr) hooks.onTick(connection);
    RegistryGuard guard;
    client->state = Ready;
  }
}

std::size_t clientCount() {
  RegistryGuard guard;
  return clientRegistry.size();
}
