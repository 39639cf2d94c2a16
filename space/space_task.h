// The process's space map: the map task on the engine's one task thread,
// the last finished map, and what the API reads from it and does to it.
//
// Ownership: this file owns the current map and its lock. The task builds a
// new map aside and puts it in place when it finished; a cancelled task
// leaves the previous map as it was. Readers format their document under the
// lock (well under a millisecond for any folder).
#pragma once

#include <string>
#include <vector>

#include "rules/tamsel_core.h"
#include "space/space_map.h"

namespace tamsel {

// The texts of the map's documents.
extern const char kSpaceNoMap[];  // the failure message before any map: 还没有空间分析结果

// Checks a root the user asked for (UTF-8; empty means C:\) and gives its
// spelling for the map: its one form on drive C (paths/paths.h), a folder
// that exists and is no link and has none on its way. False with the user's
// message otherwise: a path of no drive, another drive, a share or a
// \\?\ form is "只能分析 C 盘上的文件夹", any other path without that form
// (a control character, "." or "..", a device name...) the path module's
// reason.
bool CheckSpaceRoot(const std::string& asked, std::wstring* root, std::string* message);

// The folders the catalogue's items clean ("files" and "dir" items, and the
// recycle bin), in catalogue order.
std::vector<SpaceTarget> SpaceTargetsOf(const std::vector<Category>& cats);

// Starts the map task of root (checked) on the engine; false while another
// task holds the engine. The map of the drive root C:\ is read from the
// volume's master file table when the process may read the raw volume and
// it is NTFS (ntfs/mft.h), unless walk asks for the walk folder by folder;
// any other root, a volume that cannot be read so and a table the reader
// refuses are walked. The map's method, ms and methodText say which it was
// and the time it took.
bool StartSpaceMap(const std::wstring& root, std::vector<SpaceTarget> targets, bool walk = false);

// The documents of the current map, or kSpaceNoMap before any; guard
// gives the refusals of their rows. path: UTF-8 in any spelling of its one
// form (paths/paths.h), empty for the root.
std::string SpaceDirDoc(const std::string& path, const SpaceGuard& guard);
std::string SpaceTopDoc(size_t n, const SpaceGuard& guard);
std::string SpaceKindsDoc();
std::string SpaceInfoDoc();

// Moves each path to the Recycle Bin that has its one form on drive C (else
// the path module's reason, before anything asks the system), that the
// guard does not refuse (the
// documents' own refusals, with the same texts), has no link on its way
// and is in the current map (not its root), and takes what left out of the
// map: {"ok":true,"results":[{"path":P,"ok":B,"message":M},...],"bytes":N}.
// A refused path is left as it is, whatever else the request names.
std::string SpaceRecycleDoc(const std::vector<std::string>& paths, const SpaceGuard& guard);

// Test seam: replaces the current map (an empty root removes it).
void SetSpaceMapForTest(SpaceMap map);

}  // namespace tamsel
