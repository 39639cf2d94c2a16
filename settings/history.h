// The record of every real clean: one file per clean, named
// %LOCALAPPDATA%\tamsel\history\YYYYMMDD-HHMMSS.tsv (local time of the clean's start; "-2", "-3",
// ... added when a second clean starts within the same second).
//
// A record is text, one line each, fields separated by tabs:
//   the first line  time=YYYYMMDD-HHMMSS  ms=<Unix time in ms>  done=0|1
//                   bytes=N  files=F  skipped=S  items=id,id,...
//                   (the totals have a fixed width and are filled in when the
//                   clean ends; done=0 marks a clean that never ended)
//   then one line per file or folder the clean touched:
//                   deleted|recycled|skipped  item id  bytes  path  reason
//                   (recycled: moved to the Recycle Bin, counted as freed like deleted)
//   A move of a folder to another drive, or its undo, leaves a record of
//   its own: items=move (or move-back), one line "moved" (or "skipped" when
//   it was rolled back) with the folder's bytes, its path on C: and, as
//   the reason, where it went or why it did not.
// Lines are written as the clean goes, straight to the system (a killed
// program loses at most the line it was about to write) and flushed to the
// disk at least every kHistoryFlushMs and at the end. Characters below 0x20,
// which no Windows name holds, are written as "?".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tamsel {

constexpr size_t kMaxHistoryRecords = 100;
constexpr uint64_t kMaxHistoryBytes = 50ULL << 20;
constexpr uint64_t kHistoryFlushMs = 1000;
constexpr uint32_t kMaxHistoryPage = 5000;  // lines per request
constexpr uint32_t kDefaultHistoryPage = 500;

// %LOCALAPPDATA%\tamsel\history (not created); empty without a state folder.
std::wstring HistoryDir();

// One record being written. Used by one thread at a time.
struct HistoryWriter {
  tov::FileHandle file = tov::kNoFile;
  std::wstring dir;
  std::string id;          // the name without .tsv
  uint64_t lastFlush = 0;  // TickCount64 of the last flush
  uint64_t totalsAt = 0;   // offset of the first line's done= field
  bool failed = false;     // a write failed: the record is incomplete
};

// Creates the folder and a new record for a clean that started at now
// (FILETIME) over these items, its first line written. False when it cannot
// (folder not writable, disk full); the clean must not start then.
bool BeginRecord(const std::wstring& dir, uint64_t now, const std::vector<std::string>& items,
                 HistoryWriter* w);

// One line for a file or folder deleted, recycled, moved or refused; kind is
// "deleted", "recycled", "moved" or "skipped".
void RecordLine(HistoryWriter& w, const char* kind, const std::string& item, uint64_t bytes,
                const std::wstring& path, const std::wstring& reason);

// Fills in the totals (done=1 only when every write succeeded), flushes and
// closes; then drops the oldest records beyond kMaxHistoryRecords and
// kMaxHistoryBytes (never this one). False when any write of the record
// failed.
bool EndRecord(HistoryWriter& w, uint64_t bytes, uint64_t files, uint64_t skipped);

// Drops the oldest records until at most kMaxHistoryRecords are left and
// they hold at most kMaxHistoryBytes together; keepId is never dropped.
void PruneHistory(const std::wstring& dir, const std::string& keepId);

// A record id as BeginRecord makes them (so that no other name can reach a
// file): 8 digits, "-", 6 digits, optionally "-" and 1 to 4 digits.
bool IsRecordId(const std::string& id);

// {"ok":true,"records":[{"id":..,"time":T,"items":[..],"bytes":B,"files":F,
// "skipped":S,"complete":C}, ...]} newest first; T in Unix milliseconds. C is
// false for a record whose clean never ended, was stopped, or whose writes
// failed (done=0): its totals are summed from its lines.
std::string HistoryListJson(const std::wstring& dir);

// One record's lines from offset, at most limit of them (1..kMaxHistoryPage),
// only those containing query (ASCII letters without regard to case) when
// it is not empty: {"ok":true,"id":..,"time":T,"items":[..],"bytes":B,
// "files":F,"skipped":S,"complete":B,"total":N,"offset":K,"lines":[{"kind":
// "deleted"|"recycled"|"skipped","item":..,"bytes":N,"path":..,"reason":..},...]},
// total counting the lines that match. {"ok":false,"message":..} for an
// unknown id.
std::string HistoryRecordJson(const std::wstring& dir, const std::string& id, uint64_t offset,
                              uint32_t limit, const std::string& query);

// The full path of a record's file; empty for an id that is no record's.
std::wstring RecordPath(const std::wstring& dir, const std::string& id);

}  // namespace tamsel
