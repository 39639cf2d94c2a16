// POSIX stand-in of the programs the platform starts (platform.h,
// RunHiddenAndWait, SystemProgram, RestrictDllSearch), over the emulated
// machine of platform_posix.cpp. Only "powercfg.exe /hibernate off|on" runs,
// by its full path in the system folder; it removes or recreates
// C:\hiberfil.sys and needs administrator rights (the effective user is
// root). Every other command line is a program that could not be started.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "platform/posix/stand_in.h"

namespace tov {

bool RunHiddenAndWait(const std::wstring& cmdline, uint32_t, uint32_t* exitCode) {
  *exitCode = 1;
  const std::wstring kOff = SystemProgram(L"powercfg.exe") + L" /hibernate off";
  const std::wstring kOn = SystemProgram(L"powercfg.exe") + L" /hibernate on";
  if (!EqualsNoCase(cmdline, kOff) && !EqualsNoCase(cmdline, kOn)) return false;
  if (!IsProcessAdmin()) return true;  // started, refused: exit code 1
  std::string file = RootDir() + "/c/hiberfil.sys";
  g_deletions.fetch_add(1);
  if (EqualsNoCase(cmdline, kOff)) {
    if (unlink(file.c_str()) == 0 || errno == ENOENT) *exitCode = 0;
  } else {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) {
      // A sparse file stands in for memory-sized hibernation data.
      if (ftruncate(fd, 1LL << 30) == 0) *exitCode = 0;
      close(fd);
    }
  }
  return true;
}

void RestrictDllSearch() {}

std::wstring SystemProgram(const std::wstring& exeName, bool inWindowsDir) {
  std::wstring root;
  if (!LookupVariable(L"SystemRoot", &root)) root = L"C:\\Windows";
  std::wstring full = root + (inWindowsDir ? L"\\" : L"\\System32\\") + exeName;
  if (full.find(L' ') != std::wstring::npos) full = L"\"" + full + L"\"";
  return full;
}

}  // namespace tov
