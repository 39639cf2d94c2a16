// The self-test (--selftest): the program requests its own page from its
// own listening socket and prints what came back.
#pragma once

#include "platform/platform.h"
#include "server/routes.h"

namespace tov {

// Requests "/index.html" and "/" from listener (bound to port, not yet
// serving), serving each on this thread with routes, prints one line per
// request and a verdict, and closes listener. Returns 0 when both answers
// were a 200 with a body, 1 otherwise.
int RunSelfTest(Socket listener, int port, RouteList routes);

}  // namespace tov
