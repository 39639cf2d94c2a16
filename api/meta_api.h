// The program's facts the interface needs and no other document carries:
// name and version, the feedback length limit, the detail-listing limits,
// which catalogue items need administrator rights and the space map's kinds
// of file with their extensions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rules/tamsel_core.h"

namespace tamsel {

// Files one /api/detail answer lists when the request names no limit, and
// the most a request may ask for.
constexpr uint32_t kDefaultDetailFiles = 300;
constexpr uint32_t kMaxDetailFiles = 5000;

// True when cleaning the item needs administrator rights: the hibernation
// switch, or a target inside the Windows directory or a Program Files
// directory of any drive.
bool NeedsAdmin(const RuleItem& item);

// GET /api/meta:
// {"ok":true,"name":..,"version":..,"feedbackMaxChars":N,
//  "detailFiles":{"default":N,"max":N},"adminItems":[ids in catalogue order],
//  "spaceKinds":[{"kind":"视频","extensions":["mp4",...]},...],
//  "userFileItems":[ids of the items that hold the user's own files],
//  "searchItems":[ids of the items that search their folders for caches]}
std::string MetaJson(const std::string& name, const std::string& version,
                     const std::vector<Category>& cats);

}  // namespace tamsel
