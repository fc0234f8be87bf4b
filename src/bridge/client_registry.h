// clientRegistry: the connected clients in connection order, with the
// delivery state that hands a client over between the tick and its close.
#ifndef LAUNCHER_BRIDGE_CLIENT_REGISTRY_H
#define LAUNCHER_BRIDGE_CLIENT_REGISTRY_H

#include <cstddef>
#include <cstdint>

#include "bridge/connection.h"
#include "bridge/frame_input.h"

enum ClientState : std::int32_t {
  Closed = 0,
  Connected = 1,
  Ready = 2,
  Busy = 3
};

struct BridgeClient {
  Connection connection;
  std::int32_t state;
  // Once a closing frame has gone out, or a write has failed, nothing else
  // may: under the connection's write lock.
  bool closing = false;
  MessageAssembly input;                  // the connection's worker's alone
  struct ClientOutput* output = nullptr;  // frame_output's
};

struct BridgeHooks {
  void (*onTick)(Connection connection);
  void (*onMessage)(Connection connection, const char* data,
                    std::size_t length);
  // After a client has been removed: its handle may come back for another
  // client, so whatever is kept under it must go.
  void (*onClosed)(Connection connection);
  // Between ticks, when something queued should not wait for the next one;
  // modules are polled only by onTick.
  void (*onEarlyDelivery)(Connection connection);
  // Once the server listens: the TLS identity's text is no longer needed.
  void (*onListening)();
};

// The lock that guards the registry and every state: the server's context
// lock in the launcher, a plain mutex in tests.
struct RegistryLock {
  void (*lock)(void* context);
  void (*unlock)(void* context);
  void* context;
};
void setClientRegistryLock(RegistryLock lock);

// A new Connected record, appended; null when it cannot be made.
BridgeClient* registerClient(Connection connection);
void markClientReady(BridgeClient* client, Connection connection);
// Waits while the tick is delivering to the client, then removes and
// deletes it.
void unregisterClient(BridgeClient* client);

// One pass: each Ready client goes Busy, gets onTick without any lock held,
// and goes back to Ready.
void tickClients(const BridgeHooks& hooks);

std::size_t clientCount();

#endif
