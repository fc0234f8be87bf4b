// The secure WebSocket server on one loopback port.
#ifndef LAUNCHER_BRIDGE_BRIDGE_SERVER_H
#define LAUNCHER_BRIDGE_BRIDGE_SERVER_H

#include "bridge/client_registry.h"

// 1 when the server cannot be started. Once it runs this never returns: the
// calling thread becomes the 100 ms tick loop.
int startBridgeServer(const char* listeningAddress, const char* tlsIdentity,
                      BridgeHooks hooks);

#endif
