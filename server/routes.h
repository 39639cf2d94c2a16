// The router: each endpoint is one row, {path, handler}, of a table the
// program's entry hands the server (tov::ServerConfig), and a path that no
// row names is the JSON 404. A row answers its path whatever the method and
// the query; an endpoint that reads and writes tells the two apart by its
// body.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"
#include "server/http_request.h"

namespace tov {

// What an endpoint is given: the request target (path and query) and the
// body.
struct ApiCall {
  const std::string& target;
  const std::string& body;
};

// One endpoint: the path it answers, compared exactly, the function that
// makes its JSON document, and what runs once that document is sent (the
// exit endpoint answers before it ends the program; null for nothing).
struct ApiRoute {
  const char* path;
  std::string (*answer)(const ApiCall& call);
  void (*afterAnswer)() = nullptr;
};

// The rows a server answers, in the order they are looked up: a table that
// lives as long as the program.
struct RouteList {
  const ApiRoute* rows = nullptr;
  size_t count = 0;
};

template <size_t N>
RouteList RoutesOf(const ApiRoute (&table)[N]) {
  return RouteList{table, N};
}

// The row whose path is path, or nullptr (the miss).
const ApiRoute* FindRoute(RouteList routes, const std::string& path);

// Routes one request that passed the gate and whose body has been read:
// /api/ paths to their row or the JSON 404, everything else to the static
// files.
void Route(Socket s, const RequestHead& head, const std::string& body, RouteList routes);

}  // namespace tov
