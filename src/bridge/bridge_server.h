// The secure WebSocket server on one loopback port.
#ifndef LAUNCHER_BRIDGE_BRIDGE_SERVER_H
#define LAUNCHER_BRIDGE_BRIDGE_SERVER_H

#include "bridge/client_registry.h"

// 1 when the server cannot be started. Once it runs the calling thread
// becomes the 100 ms tick loop, until a stop is requested (platform.h): then
// every client is closed with 1001, the server ends and the result is 0.
int startBridgeServer(const char* listeningAddress, const char* tlsIdentity,
                      BridgeHooks hooks);

#endif
