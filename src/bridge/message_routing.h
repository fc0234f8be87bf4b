// The bridge's two hooks: inbound envelopes and the per-tick delivery.
#ifndef LAUNCHER_BRIDGE_MESSAGE_ROUTING_H
#define LAUNCHER_BRIDGE_MESSAGE_ROUTING_H

#include <cstddef>

#include "bridge/connection.h"

void routeMessage(Connection connection, const char* data, std::size_t length);
void deliverToClient(Connection connection);
// What the launcher itself has queued, without polling the modules.
void deliverQueuedToClient(Connection connection);
// Forgets a closed client: no install reports to it and nothing queued for
// it reaches the next client served under the same handle.
void forgetClient(Connection connection);

#endif
