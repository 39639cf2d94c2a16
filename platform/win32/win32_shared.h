// What the files of the Windows backend (platform/win32) share and nothing
// else includes: how a listing is opened, how its numbers are read and how a
// system error code becomes an FsFault.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace tov {

// A 64-bit number from the two halves Windows hands it in.
inline uint64_t Join64(DWORD high, DWORD low) {
  return (static_cast<uint64_t>(high) << 32) | low;
}

// "." or "..", the entries every listing leaves out.
inline bool IsDotEntry(const wchar_t* n) {
  return n[0] == L'.' && (n[1] == 0 || (n[1] == L'.' && n[2] == 0));
}

// Starts the listing of dir: FindFirstFileExW on the long-path form of
// dir\*, the fastest way Windows offers. The basic information level skips
// the 8.3 short name (nobody here reads it), and the large fetch asks the
// file system for many entries per round trip; names, attributes, sizes and
// times are the same as FindFirstFileW reports. INVALID_HANDLE_VALUE, with
// the thread's last error, when it fails.
HANDLE FindFirstIn(const std::wstring& dir, WIN32_FIND_DATAW* fd);

// The fault of the calling thread's last error (GetLastError), through
// FaultOfSystemCode. ERROR_ACCESS_DENIED stands for several statuses that
// are not a matter of permission (a deletion pending, a running program's
// image): for it the thread's last NTSTATUS is read instead, when that is
// the status the error came from, and kept as the fault's code.
FsFault LastFault();

// Loads a DLL from the system folder only, never from beside the program
// (LOAD_LIBRARY_SEARCH_SYSTEM32; on systems without the search flags, by its
// full path in the system folder). Null when it cannot be loaded.
HMODULE LoadSystemDll(const wchar_t* name);

}  // namespace tov
