// The user's choices as every walk of one item applies them: the age
// filter, the skip list, the protected paths, and the record of what a real
// clean touched.
#include "engine/engine_internal.h"
#include "engine/tamsel_engine.h"
#include "text/text.h"

namespace tamsel {

uint64_t AgeCutoff(uint64_t now, int days) {
  if (days <= 0) return 0;
  uint64_t span = static_cast<uint64_t>(days) * kFileTimeDay;
  return now > span ? now - span : 1;
}

Choice ChoiceFor(const RuleItem& item, const TaskOptions& opt, const SafetyContext& safety,
                 bool record) {
  Choice c;
  c.opt = &opt;
  c.safety = &safety;
  c.item = &item.id;
  c.age = item.mode == "files";
  c.record = record;
  return c;
}

bool LeftOut(const Choice& c, EntryPath* paths, const std::wstring* full, const std::wstring& name,
             uint64_t mtime) {
  if (c.age && c.opt->cutoff != 0 && mtime > c.opt->cutoff) return true;
  bool skipList = c.skip && !c.opt->skip.empty();
  if (!skipList && c.safety->protect.empty()) return false;
  const std::wstring& path = full ? *full : paths->Of(name);
  if (skipList && c.opt->skip.count(tov::LowerAscii(path))) return true;
  return IsProtectedPath(*c.safety, path);
}

void Touched(const Choice& c, bool deleted, uint64_t bytes, const std::wstring& path,
             const std::wstring& reason) {
  if (c.record && c.opt->touched) c.opt->touched(*c.item, deleted, bytes, path, reason);
}

}  // namespace tamsel
