// Default API hook: no API, so every /api/ path ends in the JSON 404.
#include "server/web_shell.h"

bool TovHandleApi(const std::string&, const std::string&, const std::string&, std::string&,
                  std::string&) {
  return false;
}
