// The record of a real clean, wired to the engine's hooks: whoever starts a
// real clean (the page's API, the command line) hands the task options to
// RecordCleanInto, and the clean then writes its record as it goes.
#pragma once

#include <string>
#include <vector>

#include "engine/tamsel_engine.h"

namespace tamsel {

// What a clean's result says when its record could not be written.
constexpr const char kRecordFailed[] = "清理记录无法写入";

// The record's word for what a clean did with a file: "deleted",
// "recycled" or "skipped".
const char* RecordKindOf(TouchKind kind);

// Sets opt's touched and finished hooks so that the clean of ids writes a
// record in HistoryDir(): begun when the clean first reports (or, when it
// touches nothing, when it ends), so that a clean refused as busy leaves
// none; ended with the totals. A record that cannot be written makes the
// finished hook print a [warn] line and answer kRecordFailed.
void RecordCleanInto(TaskOptions* opt, const std::vector<std::string>& ids);

// The options every clean and scan takes from the settings: the protected
// paths, the files left out for good (in skip, folded, whatever item they
// were left out under), and the age cutoff of olderThanDays (0: every file).
TaskOptions OptionsFromSettings(int olderThanDays);

}  // namespace tamsel
