// Windows backend of the programs the platform starts (platform.h,
// RunHiddenAndWait, SystemProgram, RestrictDllSearch, RunSystemTool,
// WofBacked): a program of the system is started by its full path in the
// system folder, without a window, and DLLs load from System32 only.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

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

namespace {

// The system folder (GetSystemDirectoryW), without a trailing backslash.
std::wstring SystemFolder() {
  wchar_t buf[MAX_PATH + 1] = {0};
  UINT n = GetSystemDirectoryW(buf, MAX_PATH);
  std::wstring dir =
      (n == 0 || n > MAX_PATH) ? std::wstring(L"C:\\Windows\\System32") : std::wstring(buf, n);
  if (!dir.empty() && dir.back() == L'\\') dir.pop_back();
  return dir;
}

// How often a run's output is read for its progress.
constexpr DWORD kToolPollMs = 500;

}  // namespace

void RunSystemTool(const std::wstring& exeName, const std::wstring& args,
                   const std::wstring& outFile,
                   const std::function<void(const std::string& output)>& progress, ToolRun* run) {
  *run = ToolRun();
  const std::wstring exe = SystemFolder() + L"\\" + exeName;
  // Only the two handles below reach the program (PROC_THREAD_ATTRIBUTE_
  // HANDLE_LIST): never the server's sockets, which would keep the port
  // bound while a long tool runs on after this process ended.
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileW(LongPathForm(outFile).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    run->startError = GetLastError();
    return;
  }
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                          OPEN_EXISTING, 0, nullptr);
  HANDLE inherit[2] = {out, in};
  DWORD handles = in == INVALID_HANDLE_VALUE ? 1 : 2;
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> attrs(size ? size : 1);
  auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrs.data());
  bool listed = InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                          handles * sizeof(HANDLE), nullptr, nullptr);
  STARTUPINFOEXW si;
  ZeroMemory(&si, sizeof si);
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdOutput = out;
  si.StartupInfo.hStdError = out;
  si.StartupInfo.hStdInput = in == INVALID_HANDLE_VALUE ? nullptr : in;
  si.lpAttributeList = list;
  std::wstring cmdline = L"\"" + exe + L"\" " + args;  // CreateProcessW may write into it
  PROCESS_INFORMATION pi;
  ZeroMemory(&pi, sizeof pi);
  BOOL ok = listed && CreateProcessW(exe.c_str(), &cmdline[0], nullptr, nullptr, TRUE,
                                     CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                     nullptr, &si.StartupInfo, &pi);
  run->startError = ok ? 0 : GetLastError();
  if (listed) DeleteProcThreadAttributeList(list);
  CloseHandle(out);
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  if (!ok) return;
  run->started = true;
  CloseHandle(pi.hThread);
  while (WaitForSingleObject(pi.hProcess, kToolPollMs) == WAIT_TIMEOUT) {
    std::string soFar;
    if (progress && ReadWholeFile(outFile, &soFar)) progress(soFar);
  }
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  run->exitCode = code;
  CloseHandle(pi.hProcess);
  ReadWholeFile(outFile, &run->output);
}

// FSCTL_GET_EXTERNAL_BACKING (Windows 10), which the headers hide below
// _WIN32_WINNT 0x0A00.
constexpr DWORD kGetExternalBacking =
    CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 196, METHOD_BUFFERED, FILE_ANY_ACCESS);

bool WofBacked(const std::wstring& path, bool* backed) {
  *backed = false;
  // The control code WofIsExternalFile (wofutil.dll) sends itself, asked
  // directly: the same answer with no DLL to load (wine's wofutil.dll
  // exports WofIsExternalFile as a stub that ends the process).
  HANDLE h = CreateFileW(LongPathForm(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  unsigned char out[1024];
  DWORD got = 0;
  BOOL ok = DeviceIoControl(h, kGetExternalBacking, nullptr, 0, out, sizeof out, &got, nullptr);
  DWORD err = ok ? 0 : GetLastError();
  CloseHandle(h);
  if (ok || err == ERROR_MORE_DATA || err == ERROR_INSUFFICIENT_BUFFER) {
    *backed = true;
    return true;
  }
  if (err == ERROR_OBJECT_NOT_EXTERNALLY_BACKED) return true;
  return false;
}

}  // namespace tov
