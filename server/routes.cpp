#include "server/routes.h"

#include "server/http_request.h"
#include "server/static_files.h"
#include "server/web_shell.h"
#include "text/json_writer.h"

namespace tov {
namespace {

// The answer to an /api/ path no row names, written once.
const std::string& NoSuchApiJson() {
  static const std::string doc = JsonWriter()
                                     .BeginObject()
                                     .Key("code")
                                     .Num(404)
                                     .Key("message")
                                     .Str("no such api")
                                     .EndObject()
                                     .Take();
  return doc;
}

}  // namespace

const ApiRoute* FindRoute(RouteList routes, const std::string& path) {
  for (size_t i = 0; i < routes.count; ++i)
    if (path == routes.rows[i].path) return &routes.rows[i];
  return nullptr;
}

void Route(Socket s, const RequestHead& head, const std::string& body, RouteList routes) {
  const std::string& path = head.path;
  if (!StartsWith(path, "/api/")) {
    ServeStatic(s, path);
    return;
  }
  if (const ApiRoute* r = FindRoute(routes, path)) {
    SendResponse(s, 200, "OK", kJsonType, r->answer(ApiCall{head.target, body}));
    if (r->afterAnswer) r->afterAnswer();
    return;
  }
  SendResponse(s, 404, "Not Found", kJsonType, NoSuchApiJson());
}

}  // namespace tov
