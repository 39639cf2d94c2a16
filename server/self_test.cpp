#include "server/self_test.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "server/web_res.h"
#include "server/web_shell.h"

namespace tov {
namespace {

// Requests one path from our own listening socket, on this one thread: the
// request is small enough to sit in the socket buffers until we accept it.
int SelfTestOnce(Socket listener, int port, RouteList routes, const char* path) {
  Socket c = SockTcp();
  if (c == kBadSocket) {
    printf("[selftest] socket 失败\n");
    return 1;
  }
  if (!SockConnectLoopback(c, port)) {
    printf("[selftest] 连不上 127.0.0.1:%d\n", port);
    SockClose(c);
    return 1;
  }
  char req[256];
  snprintf(req, sizeof req, "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
           path);
  SockSend(c, req, static_cast<int>(strlen(req)));
  Socket served = SockAccept(listener);
  if (served != kBadSocket) {
    SockSetTimeouts(served, kIoTimeoutMs);
    HandleOne(served, routes);
    SockClose(served);
  }
  std::string resp;
  char buf[8192];
  int n;
  while ((n = SockRecv(c, buf, sizeof buf)) > 0) resp.append(buf, static_cast<size_t>(n));
  SockClose(c);
  bool ok200 = resp.compare(0, 12, "HTTP/1.1 200") == 0;
  size_t headEnd = resp.find("\r\n\r\n");
  unsigned long bodySize = headEnd == std::string::npos ? 0 : resp.size() - headEnd - 4;
  printf("[selftest] GET %-12s -> %s  %lu 字节\n", path, ok200 ? "200" : "非200", bodySize);
  return ok200 && bodySize > 0 ? 0 : 1;
}

}  // namespace

int RunSelfTest(Socket listener, int port, RouteList routes) {
  int failed = SelfTestOnce(listener, port, routes, "/index.html");
  failed |= SelfTestOnce(listener, port, routes, "/");
  if (WebResAvailable())
    printf("[selftest] 内嵌资源 %u 项\n", WebResCount());
  else
    printf("[selftest] 未内嵌资源（开发模式，读磁盘 %s）\n", g_strWebRoot.c_str());
  printf("[selftest] %s\n", failed ? "FAIL" : "PASS");
  fflush(stdout);
  SockClose(listener);
  return failed ? 1 : 0;
}

}  // namespace tov
