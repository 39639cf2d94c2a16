// The cleaning API as the program's entry hands it to the web server: its
// route table and its start-up.
#pragma once

#include "server/routes.h"

namespace tamsel {

// Every /api/ endpoint of the program, one row each (api/tamsel_api.cpp).
tov::RouteList ApiRoutes();

// Start-up, before the server binds: the engine's Explorer hooks, and the
// remembered settings or the defaults with a warning line.
void ApiStartup();

}  // namespace tamsel
