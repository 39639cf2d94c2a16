// The journal of the moves: one file per move or undo,
// %LOCALAPPDATA%\tamsel\moves\<id>.json, rewritten whole and atomically
// (written beside as <id>.json.tmp, flushed, then renamed over the old one)
// at every step, so that whatever moment the program is stopped at, the
// file says where the folder's data is.
//
// A move goes planned -> copying -> copied -> switched -> done, or from
// any step before switched to rolling-back -> rolled-back. Before switched
// the data's place is the source (the copy may be partial); from switched
// on it is the target, and only the original is left to remove.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tamsel {

enum class MoveStep : uint8_t { Planned, Copying, Copied, Switched, Done, RollingBack, RolledBack };

// How the folder is re-pointed: a known folder of the user through the
// shell, any other folder by a junction left at its place.
enum class MoveKind : uint8_t { Known, Junction };

struct MoveJournal {
  std::string id;     // the file's name without .json (IsMoveId)
  std::wstring path;  // the folder on C: (where it was before the move, and is again after an undo)
  std::wstring to;    // its place on the other drive
  MoveKind kind = MoveKind::Junction;
  int folder = -1;      // the known folder (tov::UserFolder) of a Known move
  bool back = false;    // an undo: the data goes from `to` back to `path`
  std::string undoOf;   // the move an undo takes back
  bool undone = false;  // a done move that was moved back since
  MoveStep step = MoveStep::Planned;
  uint64_t time = 0;   // Unix milliseconds when it was planned
  uint64_t bytes = 0;  // of the folder's files
  uint64_t files = 0;
  std::string note;  // why it rolled back, or what the recovery at start did
};

// The step's name in the file and the documents: "planned", "copying",
// "copied", "switched", "done", "rolling-back", "rolled-back".
const char* MoveStepName(MoveStep step);
// "known" or "junction".
const char* MoveKindName(MoveKind kind);

// %LOCALAPPDATA%\tamsel\moves (not created); empty without a state folder.
std::wstring MovesDir();

// A journal id as NewMoveId makes them: 8 digits, "-", 6 digits, "-", 1 to
// 10 digits; no other name reaches a file.
bool IsMoveId(const std::string& id);

// A fresh id from the local time and a counter, free in dir.
std::string NewMoveId(const std::wstring& dir);

// The journal as its file's text, and back. False for a text that is not a
// whole journal (any member missing or of the wrong type, an unknown step).
std::string MoveJournalJson(const MoveJournal& j);
bool ParseMoveJournal(const std::string& text, MoveJournal* j);

// Writes the journal atomically into dir (created when missing); false
// when it could not be written whole.
bool SaveMoveJournal(const std::wstring& dir, const MoveJournal& j);

// Every journal of dir, newest first (by time, then id). Files that are no
// journal are left alone and not listed.
std::vector<MoveJournal> LoadMoveJournals(const std::wstring& dir);

// The time now in Unix milliseconds, as journals keep it.
uint64_t MoveNowMs();

}  // namespace tamsel
