// The gate every request passes before it is routed: the Host name must be
// ours, an /api/ request must come from our own page (Origin,
// Sec-Fetch-Site) and, but for the one open path, carry the per-run secret.
// CarriesAccessToken and SameSecret are declared in server/web_shell.h.
#pragma once

#include <string>

#include "platform/platform.h"
#include "server/http_request.h"

namespace tov {

// True with --lan: the address the peer connected to is one of our names
// too. Set once at start-up; read-only afterwards.
extern bool g_lanMode;

// Why the request must be refused with 403 (the message of the refusal),
// or nullptr when it may be routed. Decided on the head alone, before any
// of the body is read.
const char* GateRefusal(Socket s, const RequestHead& head);

}  // namespace tov
