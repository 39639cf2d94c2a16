// The local web server's public seam: its limits and shared settings, the
// functions its tests and the fuzz harness drive, and the process entry. It
// is a reusable shell around an application, which hands it its endpoints
// and its start-up (ServerConfig) when it calls WebShellMain. The rooms
// behind it: startup.cpp (command line, hand-over, bind, process entry),
// connections.cpp (accept loop), http_request.cpp (reading a request,
// responses), request_gate.cpp (Host, Origin, access token), routes.cpp
// (the router), static_files.cpp (static files, content types, error page),
// self_test.cpp (--selftest).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "server/routes.h"
#include "tamsel_version.h"  // kProductName, kInternalName, kVersion (generated)

namespace tov {

// Limits of one request. The head, its blank line included, must end within
// kMaxHead bytes; a body announced larger than kMaxBody is refused unread.
// The API's bodies are small JSON texts but one: the settings document,
// whose list of files left out for good may hold 100,000 full paths
// (about 15 MB); kMaxBody is sized for it and equals the settings' own limit
// (settings/settings.h, kMaxSettingsBytes). Head and body must both have
// arrived within kRequestDeadlineMs of the connection's start, or it is
// closed without an answer. Each receive and send waits at most
// kIoTimeoutMs; a refused request's remaining input is drained for at most
// kDrainMs. At most kMaxConnections are served at once.
constexpr size_t kMaxHead = 262144;
constexpr size_t kMaxBody = 16u << 20;
constexpr int kIoTimeoutMs = 5000;
constexpr uint64_t kRequestDeadlineMs = 10000;
constexpr uint64_t kDrainMs = 1000;
constexpr int kMaxConnections = 512;

// Folder static files are read from when the embedded resources lack them.
// Set once by WebShellMain before the first connection; read-only after.
// (server/static_files.cpp)
extern std::string g_strWebRoot;
// The per-run secret every /api/ request but /api/env must carry in the
// header kTokenHeader. Drawn by WebShellMain before the socket is bound;
// read-only after. While it is not a well-formed token every such request
// is refused.
extern std::string g_strAccessToken;
constexpr const char kTokenHeader[] = "X-Tamsel-Token";

// True when a request head and target carry the secret the one permitted
// way: exactly one kTokenHeader line whose value equals it (compared in
// constant time), and no "token" parameter in the query string.
bool CarriesAccessToken(const std::string& head, const std::string& target,
                        const std::string& secret);

// Equality of two texts whose time depends only on their lengths.
bool SameSecret(const std::string& a, const std::string& b);

// Serves exactly one request on an accepted connection with the endpoints
// of routes; never closes it.
void HandleOne(Socket s, RouteList routes);

// Sends one complete response (head and body in a single send).
void SendResponse(Socket s, int code, const char* statusText, const std::string& contentType,
                  const std::string& body);

// MIME type by file-name suffix, byte-exact (".JS" is no ".js").
const char* ContentTypeOf(const std::string& name);

// The error page for a missing static file, naming it (escaped for HTML).
std::string ErrorPage(const std::string& name);

// True when a request path, once joined to the static folder, could reach
// outside it (climbing segments, backslashes, drive letters, stream names).
bool IsUnsafeStaticPath(const std::string& path);

// What the application gives the server: every /api/ endpoint it answers
// (any other /api/ path is the JSON 404), and what runs once at start-up,
// before networking starts (null for nothing).
struct ServerConfig {
  RouteList routes;
  void (*onStartup)() = nullptr;
};

// The whole program: start-up, then the accept loop serving config's
// routes. Returns the exit code for help, version, hand-over, self-test and
// start-up failures.
int WebShellMain(const std::vector<std::string>& args, const ServerConfig& config);

}  // namespace tov
