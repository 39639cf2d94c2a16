// The desktop and lifecycle endpoints, each one call into its subsystem.
#include "api/shell_api.h"

#include "desktop/shell_win.h"
#include "feedback/feedback.h"
#include "lifecycle/shell_life.h"
#include "tamsel_version.h"
#include "text/text.h"

namespace tamsel {
namespace {

// Where the web service keeps the update manifest.
constexpr const char kManifestPath[] = "/download/tamsel-version.json";

}  // namespace

std::string ApiFeedback(const std::string& body) {
  return tov::SubmitFeedback(tov::kProductName, tov::kVersion, body);
}

std::string ApiShellInfo() {
  return tov::ShellInfoJson(tov::kProductName, tov::kVersion);
}

std::string ApiShellExit() {
  return tov::OkJson();
}

void ApiShellExitAfterAnswer() {
  tov::ScheduleExit(500);
}

std::string ApiShellUpdate() {
  return tov::CheckUpdateJson(tov::ServiceHost(), kManifestPath, tov::kVersion);
}

std::string ApiShellElevate() {
  return tov::ElevateSelfJson();
}

std::string ApiShellShortcut() {
  return tov::CreateShortcutJson(tov::kProductName);
}

}  // namespace tamsel
