// The record of a real clean, wired to the engine's hooks: whoever starts a
// real clean (the page's API, the command line) hands the task options to
// RecordCleanInto, and the clean then writes its record as it goes.
#pragma once

#include <string>
#include <vector>

#include "engine/tamsel_engine.h"

namespace tamsel {

// What a clean's result says when its record could not be written: at the
// end (its totals), before it began (the clean did not start), or on the
// way (the clean stopped there).
constexpr const char kRecordFailed[] = "清理记录无法写入";
constexpr const char kRecordNotBegun[] = "清理记录无法写入，清理没有开始，没有删除任何文件";
constexpr const char kRecordStopped[] = "清理记录无法写入，清理已停止，之后的文件没有删除";

// The record's word for what a clean did with a file: "deleted",
// "recycled" or "skipped".
const char* RecordKindOf(TouchKind kind);

// Sets opt's begin, touched and finished hooks so that the clean of ids
// writes a record in HistoryDir(): begun once the clean holds the engine
// and before it touches anything, so that a clean refused as busy leaves
// none; ended with the totals. A record that cannot be begun refuses the
// clean with kRecordNotBegun; a line that cannot be written stops the clean
// at once (CancelTask: nothing further is deleted) and the finished hook
// answers kRecordStopped; totals that cannot be written make it answer
// kRecordFailed; either of these two prints a [warn] line with it.
void RecordCleanInto(TaskOptions* opt, const std::vector<std::string>& ids);
// The same with the record in dir.
void RecordCleanIn(const std::wstring& dir, TaskOptions* opt, const std::vector<std::string>& ids);

// The options every clean and scan takes from the settings: the protected
// paths, the files left out for good (in skip, folded, whatever item they
// were left out under), the age cutoff of olderThanDays (0: every file),
// and the settings folder as the folder of the system tools' output.
TaskOptions OptionsFromSettings(int olderThanDays);

}  // namespace tamsel
