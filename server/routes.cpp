#include "server/routes.h"

#include "desktop/shell_win.h"
#include "feedback/feedback.h"
#include "lifecycle/shell_life.h"
#include "server/http_request.h"
#include "server/static_files.h"
#include "server/web_shell.h"

namespace tov {
namespace {

constexpr const char kManifestPath[] = "/download/tamsel-version.json";
constexpr const char kNoSuchApi[] = "{\"code\":404,\"message\":\"no such api\"}";

// An endpoint of the server's own, and what runs once its answer is sent.
struct ShellRoute {
  const char* path;
  std::string (*answer)(const ApiCall& call);
  void (*afterAnswer)();
};

// The desktop and lifecycle endpoints belong to the server itself, so they
// are there whatever API the application supplies. Each calls one function
// and sends its document; the exit endpoint answers before it ends us.
const ShellRoute kShellRoutes[] = {
    {"/api/feedback",
     [](const ApiCall& c) { return SubmitFeedback(kProductName, kVersion, c.body); }, nullptr},
    {"/api/shell/info", [](const ApiCall&) { return ShellInfoJson(kProductName, kVersion); },
     nullptr},
    {"/api/shell/exit", [](const ApiCall&) { return std::string("{\"ok\":true}"); },
     [] { ScheduleExit(500); }},
    {"/api/shell/update",
     [](const ApiCall&) { return CheckUpdateJson(ServiceHost(), kManifestPath, kVersion); },
     nullptr},
    {"/api/shell/elevate", [](const ApiCall&) { return ElevateSelfJson(); }, nullptr},
    {"/api/shell/shortcut", [](const ApiCall&) { return CreateShortcutJson(kProductName); },
     nullptr},
};

}  // namespace

void Route(Socket s, const RequestHead& head, const std::string& body) {
  const std::string& target = head.target;
  const std::string& path = head.path;
  if (!StartsWith(path, "/api/")) {
    ServeStatic(s, path);
    return;
  }
  if (const ShellRoute* r = FindRoute(kShellRoutes, path)) {
    SendResponse(s, 200, "OK", kJsonType, r->answer(ApiCall{target, body}));
    if (r->afterAnswer) r->afterAnswer();
    return;
  }
  std::string out, type;
  if (TovHandleApi(path, target, body, out, type)) {
    SendResponse(s, 200, "OK", type.empty() ? std::string(kJsonType) : type, out);
  } else {
    SendResponse(s, 404, "Not Found", kJsonType, kNoSuchApi);
  }
}

}  // namespace tov
