// Windows backend of the programs the platform starts (platform.h,
// RunHiddenAndWait, SystemProgram, RestrictDllSearch): a program of the
// system is started by its full path in the system folder, without a window,
// and DLLs load from System32 only.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace tov {

bool RunHiddenAndWait(const std::wstring& cmdline, uint32_t timeoutMs, uint32_t* exitCode) {
  *exitCode = 1;
  std::wstring writable = cmdline;  // CreateProcessW may write into it
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  ZeroMemory(&pi, sizeof pi);
  if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &si, &pi))
    return false;
  WaitForSingleObject(pi.hProcess, timeoutMs);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  *exitCode = code;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

void RestrictDllSearch() {
  // Resolved by name: older systems without the update that brought it
  // still get SetDllDirectoryW, which takes the current folder out.
  using SetDefaultDirs = BOOL(WINAPI*)(DWORD);
  HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
  auto setDefault = k32 ? reinterpret_cast<SetDefaultDirs>(reinterpret_cast<void*>(
                              GetProcAddress(k32, "SetDefaultDllDirectories")))
                        : nullptr;
  if (setDefault) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");
}

std::wstring SystemProgram(const std::wstring& exeName, bool inWindowsDir) {
  wchar_t buf[MAX_PATH + 1] = {0};
  UINT n = inWindowsDir ? GetWindowsDirectoryW(buf, MAX_PATH) : GetSystemDirectoryW(buf, MAX_PATH);
  std::wstring dir = (n == 0 || n > MAX_PATH)
                         ? std::wstring(inWindowsDir ? L"C:\\Windows" : L"C:\\Windows\\System32")
                         : std::wstring(buf, n);
  if (!dir.empty() && dir.back() == L'\\') dir.pop_back();
  std::wstring full = dir + L"\\" + exeName;
  if (full.find(L' ') != std::wstring::npos) full = L"\"" + full + L"\"";
  return full;
}

}  // namespace tov
