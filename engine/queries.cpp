// The small synchronous queries the API answers without a task: the size and
// free space of a drive, and what the recycle bin holds.
#include <cstdio>

#include "engine/tamsel_engine.h"
#include "platform/platform.h"
#include "text/text.h"

namespace tamsel {

std::string DiskInfoJson(const std::string& drive) {
  // Only a short drive name such as "C:" is meaningful here.
  std::string name = drive.substr(0, 6);
  uint64_t avail = 0, total = 0, totalFree = 0;
  if (!tov::DiskFreeSpace(U2W(name), &avail, &total, &totalFree)) return "{\"ok\":false}";
  return "{\"ok\":true,\"drive\":\"" + tov::JEsc(name) + "\",\"total\":" + tov::Num(total) +
         ",\"free\":" + tov::Num(avail) + "}";
}

std::string RecycleBinInfoJson() {
  uint64_t items = 0, bytes = 0;
  if (!tov::QueryRecycleBin(&items, &bytes)) return "{\"ok\":false}";
  char buf[96];
  snprintf(buf, sizeof buf, "{\"ok\":true,\"items\":%llu,\"bytes\":%llu}",
           static_cast<unsigned long long>(items), static_cast<unsigned long long>(bytes));
  return buf;
}

}  // namespace tamsel
