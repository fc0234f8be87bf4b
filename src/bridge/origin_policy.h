// Which pages may open the bridge: the publisher's origins, fixed at build
// time. A WebSocket is not bound by the browser's same-origin policy, and
// its Origin header is the one thing a page cannot forge.
#ifndef LAUNCHER_BRIDGE_ORIGIN_POLICY_H
#define LAUNCHER_BRIDGE_ORIGIN_POLICY_H

#include <string>
#include <vector>

// True when a handshake with this Origin (null when it has none) may go on.
// An empty list accepts every origin.
bool originAllowed(const char* origin);

// The same decision over a given list, for tests.
bool originInList(const char* origin, const std::vector<std::string>& allowed,
                  bool allowMissing);

#endif
