// The bridge's two hooks: inbound envelopes and the per-tick delivery.
#ifndef LAUNCHER_BRIDGE_MESSAGE_ROUTING_H
#define LAUNCHER_BRIDGE_MESSAGE_ROUTING_H

#include <cstddef>

#include "bridge/connection.h"

void routeMessage(Connection connection, const char* data, std::size_t length);
void deliverToClient(Connection connection);

#endif
