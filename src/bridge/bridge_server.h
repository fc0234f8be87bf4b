// The secure WebSocket server on one loopback port.
#ifndef LAUNCHER_BRIDGE_BRIDGE_SERVER_H
#define LAUNCHER_BRIDGE_BRIDGE_SERVER_H

#include "bridge/client_registry.h"

struct BridgeServer;

// Serves the bridge on the given address without a tick; null when it cannot
// be started. The hooks must outlive the server.
BridgeServer* openBridgeServer(const char* listeningAddress,
                               const char* tlsIdentity,
                               const BridgeHooks* hooks);
// The bound port, which an address of port 0 leaves to the system.
int bridgeServerPort(const BridgeServer* server);
// Stops serving; every client's close has run when it returns.
void closeBridgeServer(BridgeServer* server);

// 1 when the server cannot be started. Once it runs this never returns: the
// calling thread becomes the 100 ms tick loop.
int startBridgeServer(const char* listeningAddress, const char* tlsIdentity,
                      BridgeHooks hooks);

#endif
