// Route tables: each endpoint is one row, {path, handler}, and a path that
// no row names is the table's miss. The server's own endpoints are a table
// in server/routes.cpp; the application's API (TovHandleApi) keeps a table
// of the same rows. A row answers its path whatever the method and the
// query; an endpoint that reads and writes tells the two apart by its body.
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

// One endpoint: the path it answers, compared exactly, and the function
// that makes its JSON document.
struct ApiRoute {
  const char* path;
  std::string (*answer)(const ApiCall& call);
};

// The row of the table whose path is path, or nullptr (the miss). Works for
// any row type with a path member.
template <typename Row, size_t N>
const Row* FindRoute(const Row (&table)[N], const std::string& path) {
  for (const Row& row : table)
    if (path == row.path) return &row;
  return nullptr;
}

// Routes one request that passed the gate and whose body has been read:
// /api/ paths to the server's own table, the application hook or the JSON
// 404, everything else to the static files.
void Route(Socket s, const RequestHead& head, const std::string& body);

}  // namespace tov
