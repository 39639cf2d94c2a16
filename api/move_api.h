// The moves' part of the JSON API: what the rows /api/move, /api/moves,
// /api/move/back, /api/move/drives and /api/move/folders of the API's route
// table (api/tamsel_api.cpp) call (move/move.h does the work).
#pragma once

#include <string>

namespace tamsel {

// POST /api/move {"path":"C:\\...","to":"D:\\..."}: checks the move and
// starts it as the one task; a refusal is a failure document and starts
// nothing. {"ok":true,"started":true,"id":..,"path":..,"to":..,"kind":..,
// "bytes":N,"files":N}.
std::string ApiMoveStart(const std::string& body);

// POST /api/move/back {"id":".."}: the undo of a done move, likewise.
std::string ApiMoveBack(const std::string& body);

// GET /api/moves, /api/move/drives, /api/move/folders.
std::string ApiMoves();
std::string ApiMoveDrives();
std::string ApiMoveFolders();

// The result of the last task when it was a move, else empty.
std::string ApiMoveResultIfLast();

}  // namespace tamsel
