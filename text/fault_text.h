// The user's words for why a file or folder stayed: one table from what the
// program was doing and the kind of fault the system reported (tov::FsFault)
// to the text a result, a record or an answer shows. Every place that
// reports a failed deletion, an unopened folder or a failed move to the
// Recycle Bin takes its text from here.
#pragma once

#include <string>

#include "platform/platform.h"

namespace tov {

// What the program was doing when the system refused.
enum class FaultAction {
  DeleteInFolder,    // deleting a file met by the walk of a folder
  DeleteTargetFile,  // deleting a target that is itself one file
  OpenFolder,        // opening a folder a clean walks into
  Recycle,           // moving a file or folder to the Recycle Bin (a clean's user files, the map)
  RemoveDriverPackage,  // asking Windows to remove a third-party driver package
};

// The texts of one action, by kind. A link is refused with the reason of
// the target it was found in, which only the caller knows (linkText below);
// where the table has none, the general text stands.
struct FaultTexts {
  const char* gone;
  const char* inUse;
  const char* denied;
  const char* link;     // nullptr: the caller's link reason
  const char* general;  // Other, and any kind the system did not tell apart
};

// Indexed by FaultAction.
extern const FaultTexts kFaultTexts[5];

// The text for a fault met while doing action. linkText is the reason a
// link gets where the action takes the caller's (a deletion, a folder's
// opening); empty means the general text. A failure without a kind (None)
// gets the general text too.
std::string FaultText(FaultAction action, FsFault fault, const std::string& linkText = "");

}  // namespace tov
