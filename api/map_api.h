// The space map's part of the JSON API: /api/map (start), /api/map/dir,
// /api/map/top, /api/map/kinds, /api/map/recycle and /api/shell/reveal.
#pragma once

#include <string>

namespace tamsel {

// Answers the request when path is one of the endpoints above: true with
// the document in outBody; false, changing nothing, for any other path.
bool MapHandleApi(const std::string& path, const std::string& target, const std::string& body,
                  std::string& outBody);

}  // namespace tamsel
