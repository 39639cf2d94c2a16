// The two items that are not files to walk: the recycle bin, sized by its
// own query and emptied whole, and the hibernation file, which goes when
// hibernation is switched off.
#include "engine/engine_internal.h"
#include "engine/tamsel_engine.h"
#include "platform/platform.h"
#include "text/text.h"

namespace tamsel {
namespace {

const wchar_t kRecycleBinEntry[] = L"回收站";

// How long powercfg.exe may take to switch hibernation off.
constexpr uint32_t kPowerCfgTimeoutMs = 30000;

// %SystemDrive%\hiberfil.sys, as one target.
Target HibernationFileTarget() {
  Target t;
  t.path = ExpandEnvW(L"%SystemDrive%\\hiberfil.sys");
  t.recursive = false;
  t.allowSystem = true;
  return t;
}

bool RunPowerCfgHibernate(bool on) {
  uint32_t code = 1;
  std::wstring cmd = tov::SystemProgram(L"powercfg.exe") + L" /hibernate " + (on ? L"on" : L"off");
  if (!tov::RunHiddenAndWait(cmd, kPowerCfgTimeoutMs, &code)) return false;
  return code == 0;
}

// A special item the clean could not take: nothing freed, one refusal with
// its text for the result and its reason for the record.
void NotTaken(ItemStat& stat, const Choice& c, const char* error, uint64_t bytes,
              const std::wstring& entry, const wchar_t* reason) {
  stat.skipped++;
  stat.errors.push_back(error);
  stat.bytes = 0;
  stat.files = 0;
  Touched(c, TouchKind::Skipped, bytes, entry, reason);
}

}  // namespace

void ScanHibernation(ItemStat& stat, const Choice& c) {
  ScanCtx ctx;
  ctx.stat = &stat;
  ScanTarget(HibernationFileTarget(), ctx, c);
}

void CleanRecycleBin(ItemStat& stat, bool dryRun, const Choice& c) {
  uint64_t items = 0, bytes = 0;
  if (tov::QueryRecycleBin(&items, &bytes)) {
    stat.bytes = bytes;
    stat.files = items;
  }
  if (dryRun) return;
  if (!tov::EmptyRecycleBin()) {
    NotTaken(stat, c, "清空回收站失败（可能已被清空或权限不足）", 0, kRecycleBinEntry,
             L"清空回收站失败");
    return;
  }
  Touched(c, TouchKind::Deleted, stat.bytes, kRecycleBinEntry, std::wstring());
}

// Switching hibernation off removes the hibernation file. It is not switched
// back on: that would recreate the file at once, and the space reported as
// freed would not be free. What is reported is what actually left the disk.
void CleanHibernation(ItemStat& stat, bool dryRun, const Choice& c) {
  std::wstring file = HibernationFileTarget().path;
  tov::FileInfo before;
  if (!tov::GetFileInfo(file, &before) || before.size == 0) return;
  stat.bytes = before.size;
  stat.files = 1;
  if (dryRun) return;
  if (!RunPowerCfgHibernate(false)) {
    NotTaken(stat, c, "关闭休眠失败（需要管理员权限）", before.size, file, L"关闭休眠失败");
    return;
  }
  tov::FileInfo after;
  if (tov::GetFileInfo(file, &after)) {
    stat.bytes = before.size > after.size ? before.size - after.size : 0;
    stat.files = 0;
  }
  Touched(c, TouchKind::Deleted, stat.bytes, file, std::wstring());
}

}  // namespace tamsel
