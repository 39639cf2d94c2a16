// The desktop and lifecycle endpoints of the API: what the rows
// /api/feedback and /api/shell/info, exit, update, elevate and shortcut of
// the API's route table (api/tamsel_api.cpp) call. Each calls one function
// of desktop/, lifecycle/ or feedback/ and answers its document.
#pragma once

#include <string>

namespace tamsel {

// POST /api/feedback: sends the body's feedback to the web service.
std::string ApiFeedback(const std::string& body);

// /api/shell/info: the program's name, version and the desktop's state.
std::string ApiShellInfo();

// /api/shell/exit: answers {"ok":true}; ApiShellExitAfterAnswer then ends
// the program in a moment.
std::string ApiShellExit();
void ApiShellExitAfterAnswer();

// /api/shell/update: the update manifest's verdict.
std::string ApiShellUpdate();

// /api/shell/elevate: restarts the program as administrator.
std::string ApiShellElevate();

// /api/shell/shortcut: a shortcut to the program on the desktop.
std::string ApiShellShortcut();

}  // namespace tamsel
