// OutgoingQueue: per-connection FIFO of texts that the next tick delivers.
#ifndef LAUNCHER_BRIDGE_OUTGOING_QUEUE_H
#define LAUNCHER_BRIDGE_OUTGOING_QUEUE_H

#include <string>

#include "bridge/connection.h"

void queueMessage(Connection connection, const std::string& text);

// Null-terminated array of heap copies (free with freeMessages), or null
// when nothing is pending.
char** takeMessages(Connection connection);

// Forgets what is pending for a connection that has closed, so a later
// client served under the same handle never receives it.
void dropQueuedMessages(Connection connection);

// Asks for what is queued to go out now rather than at the next tick, for a
// message the page should not wait for. The server installs the wake-up;
// without one this does nothing.
void deliverQueuedSoon();
void setQueueWakeup(void (*wake)());

#endif
