#include "http_client.h"

#include <chrono>

#include "server/web_shell.h"

namespace testsupport {

void StartLoopServer(LoopServer* s, tov::RouteList routes) {
  tov::NetStartup();
  s->listener = tov::SockTcp();
  tov::SockBind(s->listener, false, 0);
  tov::SockListen(s->listener, 64);
  s->port = tov::SockLocalPort(s->listener);
  s->thread = std::thread([s, routes] {
    for (;;) {
      tov::Socket c = tov::SockAccept(s->listener);
      if (s->stop) {
        if (c != tov::kBadSocket) tov::SockClose(c);
        return;
      }
      if (c == tov::kBadSocket) continue;
      tov::SockSetTimeouts(c, tov::kIoTimeoutMs);
      // The program's own way of starting a connection thread: under wine a
      // detached std::thread now and then never runs.
      tov::StartDetachedThread([c, routes] {
        tov::HandleOne(c, routes);
        tov::SockClose(c);
      });
    }
  });
}

void StopLoopServer(LoopServer* s) {
  s->stop = true;
  tov::Socket wake = tov::SockTcp();
  tov::SockConnectLoopback(wake, s->port);
  tov::SockClose(wake);
  s->thread.join();
  tov::SockClose(s->listener);
}

std::string Exchange(int port, const std::string& request, const std::string& rest, int pauseMs) {
  tov::Socket c = tov::SockTcp();
  if (!tov::SockConnectLoopback(c, port)) {
    tov::SockClose(c);
    return "";
  }
  tov::SockSetTimeouts(c, 15000);
  size_t sent = 0;
  while (sent < request.size()) {
    int n = tov::SockSend(c, request.data() + sent, static_cast<int>(request.size() - sent));
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  if (!rest.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    tov::SockSend(c, rest.data(), static_cast<int>(rest.size()));
  }
  std::string out;
  char buf[8192];
  int n;
  while ((n = tov::SockRecv(c, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  tov::SockClose(c);
  return out;
}

Response Split(const std::string& raw) {
  Response r;
  size_t end = raw.find("\r\n\r\n");
  r.head = raw.substr(0, end);
  r.statusLine = raw.substr(0, raw.find("\r\n"));
  if (end != std::string::npos) r.body = raw.substr(end + 4);
  return r;
}

}  // namespace testsupport
