// Moving a folder of the user's off drive C to another local drive, and
// back again, with a journal (move/move_journal.h) that says at every
// moment where the data is.
//
// A known folder of the user (Desktop, Documents, Downloads, Pictures,
// Videos, Music) is copied and then re-pointed through the shell; any other
// folder below the home folder is copied, renamed aside, replaced by a
// junction to the copy, read through the junction, and only then is the
// renamed original removed. Nothing on C: is removed before its copy was
// verified (every file by size and last-write time, a sample by content).
// A cancel or a fault before the switch deletes the copy and leaves the
// source as it was; a journal left at a step by a killed program is rolled
// back (before the switch) or finished (after it) at the next start.
//
// Ownership: this file owns the result of the last move task and its lock;
// the engine owns the task (StartTaskOf, phase "move").
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "move/move_journal.h"
#include "space/space_refusal.h"

namespace tamsel {

// Free space a target must keep beyond the folder's size.
constexpr uint64_t kMoveSpareBytes = 1ULL << 30;

// The folder below the target drive's root where moves land by default:
// X:\Tamsel 搬家\<the path below the home folder>.
extern const wchar_t kMoveFolderName[];

// What a running move reads and publishes.
struct MoveFeed {
  const std::atomic<int32_t>* cancel = nullptr;  // nonzero: stop before the switch
  std::atomic<uint64_t>* files = nullptr;        // copied so far
  std::atomic<uint64_t>* bytes = nullptr;
};

// Checks a move asked for (UTF-8 paths as the request gives them): path a
// folder on C: below the home folder that may move (guard's refusals and
// the move's own: a junction, links or junctions, cloud placeholders or
// EFS files inside, a program holding a file open, a folder moved before),
// to a drive root ("D:\", the folder then lands at the default place) or a
// folder on a local fixed NTFS drive other than C: that does not exist yet,
// with room for the folder and kMoveSpareBytes. The journal to run (step
// planned, not yet written), or false with the user's reason; nothing on
// the disk changes either way.
// dir: the journals' folder (MovesDir()), where earlier moves are looked up.
bool PlanMove(const std::string& path, const std::string& to, const SpaceGuard& guard,
              const std::wstring& dir, MoveJournal* plan, std::string* message);

// Checks the undo of the done move id: the journal to run, or false with
// the user's reason.
bool PlanMoveBack(const std::string& id, const std::wstring& dir, MoveJournal* plan,
                  std::string* message);

// Where the test seam stops a move, as if the program were killed there:
// right after the journal says planned, halfway through the copy, right
// after copied, after the switch but before the journal says switched,
// right after switched, halfway through the removal of the original.
enum class MoveStop : uint8_t {
  None,
  AfterPlanned,
  MidCopy,
  AfterCopied,
  MidSwitch,
  AfterSwitched,
  MidRemove
};
// With cancel, a cancel is asked at that point instead (after the switch
// it comes too late and the move ends as done).
void SetMoveStopForTest(MoveStop stop, bool cancel = false);

// What a move ended with.
struct MoveOutcome {
  bool done = false;     // the folder is at its new place
  bool stopped = false;  // the test seam stopped it (the journal is left as it was)
  std::string message;   // for the user: what happened
};

// Runs a planned move or undo to its end on the calling thread, writing its
// journal into dir at every step, and its history record.
MoveOutcome RunMove(MoveJournal& j, const std::wstring& dir, const MoveFeed& feed);

// Finishes or rolls back every journal of dir left before done or rolled
// back (the step decides which); one text per journal for the user.
std::vector<std::string> RecoverMoves(const std::wstring& dir);

// The recovery at start: when journals of MovesDir() are left before done
// or rolled back, and no other process holds the machine's clean (a move of
// a running instance holds it, as a clean does), starts RecoverMoves as the
// engine's one task (phase "move"; the current path the source of the
// journal it takes up) and returns true at once, holding the machine's
// clean until it ends: the server answers meanwhile, and moves, scans and
// cleans are refused as busy. At its end the texts are printed as
// warnings, kept for RecoveredAtStart, and the task's result
// (MoveResultDoc) is that of a move for the newest journal it took up,
// with all the texts as its message and "recovery":true appended. False
// when nothing was started.
bool RecoverMovesAtStart();
// The texts of the recovery at this start, for the page (empty until it
// has ended).
std::vector<std::string> RecoveredAtStart();
// True while the recovery at start runs.
bool MovesRecovering();
// Returns once the recovery at start has ended (at once when none runs):
// a start that ends early (a hand-over to the running instance) lets it
// finish first.
void WaitForRecoveryAtStart();
// Test seam: called by RecoverMoves before it takes up each journal (on
// the task's thread), e.g. to hold the recovery while a test looks.
void SetMoveRecoveryHoldForTest(std::function<void()> hold);

// Starts a planned move as the engine's one task (phase "move"), holding
// the machine's clean as a clean does. False, nothing started, while a task
// or another process's clean runs.
bool StartMove(const MoveJournal& plan);

// The engine task serial of the last move task (0 before any), and its
// result document: {"ok":true,"kind":"move","id":..,"path":..,"to":..,
// "back":B,"done":B,"message":..,"bytes":N,"files":N,"freeBefore":N,
// "freeAfter":N}.
uint64_t LastMoveSerial();
std::string MoveResultDoc();

// {"ok":true,"moves":[{"id","path","to","kind","step","time","bytes",
// "files","back","undoOf","undone","note"}...],"recovered":[texts],
// "recovering":B} newest first; recovering while the recovery at start runs.
std::string MovesDoc(const std::wstring& dir);

// ---- What the page offers (move/move_folders.cpp) -------------------------------

// The drives a folder may move to: {"ok":true,"drives":[{"drive":"D:",
// "free":N,"total":N,"fileSystem":"NTFS","usable":B,"reason":".."}...]},
// every drive but C:, reason "" for a usable one.
std::string MoveDrivesDoc();

// The folders the 搬家 panel lists: the six known folders and the big
// app-data folders found (WeChat, QQ, WeCom, Jianying), each
// {"name":..,"path":..,"now":..,"bytes":N,"files":N,"moved":B,"id":..,
// "refuse":..}: path its place on C:, now where it is now, id the done
// move that took it (for 搬回 C 盘, "" when none), refuse why it cannot
// move ("" when it can). {"ok":true,"folders":[...]}.
std::string MoveFoldersDoc(const SpaceGuard& guard);

}  // namespace tamsel
