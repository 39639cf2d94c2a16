// The space map's part of the JSON API: what the rows /api/map (start),
// /api/map/dir, /api/map/top, /api/map/kinds, /api/map/recycle and
// /api/shell/reveal of the API's route table (api/tamsel_api.cpp) call
// besides the space map's own documents (space/space_task.h).
#pragma once

#include <cstddef>
#include <string>

#include "space/space_refusal.h"

namespace tamsel {

// POST /api/map: starts the walk of the body's "root" (drive C when absent).
std::string ApiMapStart(const std::string& body);

// The rows' refusals of the map's documents and of a recycle request, as
// they are now: the clean's gate with the user's protected paths, and
// Tamsel's data folder.
SpaceGuard MapGuard();

// GET /api/map/dir?path=P and /api/map/top?n=N.
std::string ApiMapDir(const std::string& target);
std::string ApiMapTop(const std::string& target);

// The n of /api/map/top's query as the detail listing reads its limit: a
// number from 1 to the most, anything else the default.
size_t MapTopCount(const std::string& target);

// POST /api/map/recycle: moves the body's "paths" to the recycle bin.
std::string ApiMapRecycle(const std::string& body);

// POST /api/shell/reveal: opens Explorer on the body's "path", selected.
std::string ApiReveal(const std::string& body);

}  // namespace tamsel
