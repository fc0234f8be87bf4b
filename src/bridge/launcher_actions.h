// The launcher's own actions: HELLO, INITMC and LOAD.
#ifndef LAUNCHER_BRIDGE_LAUNCHER_ACTIONS_H
#define LAUNCHER_BRIDGE_LAUNCHER_ACTIONS_H

#include "bridge/connection.h"

// The reply as a duplicateText copy, or null for no reply.
char* handleLauncherAction(Connection connection, const char* requestText);

#endif
