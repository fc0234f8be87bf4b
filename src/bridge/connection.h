// A client connection as the rest of the launcher sees it: the server
// library's opaque handle, used only as an identity and a write target.
#ifndef LAUNCHER_BRIDGE_CONNECTION_H
#define LAUNCHER_BRIDGE_CONNECTION_H

using Connection = const void*;

#endif
