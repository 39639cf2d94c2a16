#include "server/connections.h"

#include <atomic>

#include "server/web_shell.h"

namespace tov {
namespace {

// Connection threads alive now. Beyond kMaxConnections a new connection is
// closed at once, so that a flood of idle connections costs a bounded number
// of threads and the program keeps answering its own page.
std::atomic<int> g_liveConnections{0};

void ConnThread(Socket c, RouteList routes) {
  HandleOne(c, routes);
  SockClose(c);
  g_liveConnections.fetch_sub(1);
}

}  // namespace

[[noreturn]] void AcceptLoop(Socket listener, RouteList routes) {
  for (;;) {
    Socket c = SockAccept(listener);
    if (c == kBadSocket) continue;
    if (g_liveConnections.load() >= kMaxConnections) {
      SockClose(c);
      continue;
    }
    SockSetTimeouts(c, kIoTimeoutMs);
    g_liveConnections.fetch_add(1);
    // No thread to be had: serve it here rather than drop it.
    if (!StartDetachedThread([c, routes] { ConnThread(c, routes); })) ConnThread(c, routes);
  }
}

}  // namespace tov
