// Everything that is not /api/: the embedded interface, files of the static
// folder, and the error page for what is neither. ContentTypeOf, ErrorPage,
// IsUnsafeStaticPath and g_strWebRoot are declared in server/web_shell.h.
#pragma once

#include <string>

#include "platform/platform.h"

namespace tov {

// Answers a request for path (the target without its query): an embedded
// resource ("/" is "/index.html", "/static/x" also "/x"), else a file of
// g_strWebRoot that IsUnsafeStaticPath lets through, else the error page
// with 404.
void ServeStatic(Socket s, const std::string& path);

}  // namespace tov
