// Which processes may open the bridge: those of the user the launcher runs
// as. Loopback ports are shared by every user of a machine, so another
// user's page can reach this launcher first; it is refused, and its library
// moves on to the next port, where its own user's launcher serves it.
#ifndef LAUNCHER_BRIDGE_PEER_POLICY_H
#define LAUNCHER_BRIDGE_PEER_POLICY_H

// True when the process at remoteAddress (dotted IPv4) and remotePort,
// connected to this server's localPort on 127.0.0.1, runs as this
// process's user.
bool peerAllowed(const char* remoteAddress, int remotePort, int localPort);

#endif
