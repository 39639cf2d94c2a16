// What the space map never moves to the Recycle Bin, and why, in the
// user's words.
//
// The map shows every folder of the drive, and anything it shows could be
// ticked; these refusals keep the folders whose loss would break Windows,
// the installed programs, a user's account or Tamsel itself out of reach:
// the drive's root, the Windows and program-files folders and everything in
// them, ProgramData, the Users folder, each user's home folder and its
// AppData (with Local, LocalLow and Roaming), Tamsel's own data folder,
// the Recycle Bin itself, links, and whatever the clean's safety gate
// refuses (the desktop, the protected paths). A folder that holds one of
// these is refused too: it would take it along.
//
// The folder documents and the largest files carry the reason of each row,
// and the recycle request refuses the same paths with the same texts, so
// the page never offers what the program would refuse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rules/tamsel_core.h"

namespace tamsel {

// The cases of refusal, each with one fixed text in kSpaceRefusalTexts.
enum class SpaceRefuse : uint8_t {
  None,
  DriveRoot,
  Windows,         // the Windows folder and everything in it
  Programs,        // a program-files folder and everything in it
  ProgramData,     // the folder itself
  Users,           // the folder of all users' home folders
  Home,            // a user's home folder
  AppData,         // a user's AppData, and its Local, LocalLow and Roaming
  OwnData,         // Tamsel's data folder and everything in it
  RecycleBin,      // the Recycle Bin's folder and everything in it
  Desktop,         // the desktop folder and everything in it
  Protected,       // a path the user keeps, and everything in it
  Link,            // a link, junction or cloud folder, or a path through one
  HoldsSystem,     // holds the Windows, a program-files or the ProgramData folder
  HoldsHome,       // holds a home folder, the Users folder or an AppData folder
  HoldsOwnData,    // holds Tamsel's data folder
  HoldsDesktop,    // holds the desktop folder
  HoldsProtected,  // holds a protected path
  Guarded,         // refused by the safety gate for a reason not named above
  Count
};

// The texts, indexed by SpaceRefuse; "" for None.
extern const char* const kSpaceRefusalTexts[static_cast<size_t>(SpaceRefuse::Count)];

// A folder the refusals compare with: folded, no trailing backslash.
struct SpaceFixedFolder {
  std::wstring path;
  SpaceRefuse self;    // the folder itself
  SpaceRefuse inside;  // anything inside it; None when that may go
  SpaceRefuse holds;   // a folder that holds it
};

// What the refusals compare with, taken once for a document or a request:
// the gate's context (desktop, system folders, home, protected paths) and
// the fixed folders of the environment of the moment.
struct SpaceGuard {
  SafetyContext safety;
  std::vector<SpaceFixedFolder> fixed;  // in the order they are tried
  std::vector<std::wstring> users;      // folded folders of home folders ("c:\users")
};

// The guard of the moment: safety is the context the clean would use (with
// the user's protected paths), ownData Tamsel's data folder (empty when
// there is none).
SpaceGuard MakeSpaceGuard(SafetyContext safety, const std::wstring& ownData);

// Why the map never moves path (backslashes, no trailing one), or None.
// flags: the map's kSpaceDir and kSpaceLink of it (0 for a file). Compares
// texts only; asks the disk nothing.
SpaceRefuse SpaceRefusalOf(const SpaceGuard& g, const std::wstring& path, uint32_t flags);

// The same as its text ("" when it may go).
const char* SpaceRefusal(const SpaceGuard& g, const std::wstring& path, uint32_t flags);

}  // namespace tamsel
