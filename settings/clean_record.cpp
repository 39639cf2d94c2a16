#include "settings/clean_record.h"

#include <cstdio>
#include <memory>

#include "platform/platform.h"
#include "settings/history.h"
#include "settings/settings.h"
#include "text/text.h"

namespace tamsel {
namespace {

// The record of one real clean, begun before the clean touches anything
// (the engine's begin hook), so that a clean refused as busy leaves no
// record.
struct CleanRecord {
  std::wstring dir;
  uint64_t start = 0;
  std::vector<std::string> items;
  HistoryWriter writer;
  bool begun = false;
  bool ok = true;
  bool stopped = false;  // a line could not be written: the clean was stopped

  void Begin() {
    if (begun) return;
    begun = true;
    ok = BeginRecord(dir, start, items, &writer);
  }
};

}  // namespace

const char* RecordKindOf(TouchKind kind) {
  switch (kind) {
    case TouchKind::Deleted:
      return "deleted";
    case TouchKind::Recycled:
      return "recycled";
    default:
      return "skipped";
  }
}

void RecordCleanInto(TaskOptions* opt, const std::vector<std::string>& ids) {
  RecordCleanIn(HistoryDir(), opt, ids);
}

void RecordCleanIn(const std::wstring& dir, TaskOptions* opt, const std::vector<std::string>& ids) {
  auto rec = std::make_shared<CleanRecord>();
  rec->dir = dir;
  rec->start = tov::NowFileTime();
  rec->items = ids;
  opt->begin = [rec]() -> std::string {
    // Whoever started the clean says why it did not start.
    rec->Begin();
    return rec->ok ? std::string() : kRecordNotBegun;
  };
  opt->touched = [rec](const std::string& item, TouchKind kind, uint64_t bytes,
                       const std::wstring& path, const std::wstring& reason) {
    rec->Begin();
    if (!rec->ok || rec->stopped) return;
    RecordLine(rec->writer, RecordKindOf(kind), item, bytes, path, reason);
    // What the clean deletes from here on could not be told: it stops.
    if (rec->writer.failed) {
      rec->stopped = true;
      CancelTask();
    }
  };
  opt->finished = [rec](const ResultList& result) -> std::string {
    rec->Begin();
    uint64_t bytes = 0, files = 0, skipped = 0;
    for (const auto& kv : result) {
      bytes += kv.second.bytes;
      files += kv.second.files;
      skipped += kv.second.skipped;
    }
    bool ok = rec->ok && EndRecord(rec->writer, bytes, files, skipped);
    const char* note = rec->stopped ? kRecordStopped : ok ? "" : kRecordFailed;
    if (*note) printf("[warn] %s\n", note);
    fflush(stdout);
    return note;
  };
}

TaskOptions OptionsFromSettings(int olderThanDays) {
  TaskOptions opt;
  Settings s = CurrentSettings();
  opt.protect = ProtectedPathsOf(s);
  // A file left out under one item is left out by every item.
  for (const Exclusion& x : s.excluded) opt.skip.insert(tov::LowerAscii(U2W(x.path)));
  if (olderThanDays > 0) opt.cutoff = AgeCutoff(tov::NowFileTime(), olderThanDays);
  // Windows' own tools write their output, and the mark of one running, here.
  opt.toolDir = StateDir();
  return opt;
}

}  // namespace tamsel
