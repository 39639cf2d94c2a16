// The accept loop: one detached thread per accepted connection, at most
// kMaxConnections at once.
#pragma once

#include "platform/platform.h"
#include "server/routes.h"

namespace tov {

// Accepts connections on listener for ever, serving each with HandleOne and
// routes on a thread of its own (on this one when no thread can be had).
// Beyond kMaxConnections live connections a new one is closed at once.
[[noreturn]] void AcceptLoop(Socket listener, RouteList routes);

}  // namespace tov
