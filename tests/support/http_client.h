// Test support: a loopback server that runs HandleOne for each connection,
// and a raw client that sends bytes and reads the whole answer.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "server/routes.h"

namespace testsupport {

struct LoopServer {
  tov::Socket listener = tov::kBadSocket;
  int port = 0;
  std::atomic<bool> stop{false};
  std::thread thread;
};

// Listens on a free loopback port and serves every connection with HandleOne
// and routes on a thread of its own, as the program does.
void StartLoopServer(LoopServer* s, tov::RouteList routes);
void StopLoopServer(LoopServer* s);

// Sends the request in one piece (then, after pauseMs, the rest if given) and
// reads until the server closes. Empty when nothing came back.
std::string Exchange(int port, const std::string& request, const std::string& rest = "",
                     int pauseMs = 0);

struct Response {
  std::string statusLine;  // "HTTP/1.1 200 OK"
  std::string head;        // everything before the blank line
  std::string body;
};
Response Split(const std::string& raw);

}  // namespace testsupport
