// Windows backend of the desktop-shell part of platform.h: registry reads,
// ShellExecuteW, shell links through COM, the process snapshot, process
// creation, the user name, COM apartment set-up and the OS version. Each
// function makes the one system call its contract names; handles, keys and
// COM objects are released before it returns.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: the shell and COM headers build on its types.
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace tov {
namespace {

HKEY RootKey(RegRoot root) {
  switch (root) {
    case RegRoot::CurrentUser:
      return HKEY_CURRENT_USER;
    case RegRoot::LocalMachine:
      return HKEY_LOCAL_MACHINE;
    case RegRoot::ClassesRoot:
      return HKEY_CLASSES_ROOT;
  }
  return HKEY_CURRENT_USER;
}

}  // namespace

int32_t ComInitThread() {
  return static_cast<int32_t>(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}

void ComUninitThread() {
  CoUninitialize();
}

bool RegReadText(RegRoot root, const std::wstring& key, const std::wstring& value, size_t bufChars,
                 size_t capacityBytes, std::wstring* text, uint32_t* type) {
  if (bufChars == 0) return false;
  // A capacity larger than the buffer would let the registry write past it;
  // the caller's capacity normally leaves room for a terminator already.
  size_t maxBytes = bufChars * sizeof(wchar_t);
  if (capacityBytes > maxBytes) capacityBytes = maxBytes;
  HKEY k = nullptr;
  if (RegOpenKeyExW(RootKey(root), key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  std::vector<wchar_t> buf(bufChars, L'\0');
  DWORD t = 0;
  DWORD cb = static_cast<DWORD>(capacityBytes);
  LONG r = RegQueryValueExW(k, value.empty() ? nullptr : value.c_str(), nullptr, &t,
                            reinterpret_cast<BYTE*>(buf.data()), &cb);
  RegCloseKey(k);
  if (r != ERROR_SUCCESS) return false;
  size_t n = 0;
  while (n < bufChars && buf[n] != L'\0') ++n;
  *text = std::wstring(buf.data(), n);
  *type = t;
  return true;
}

intptr_t ShellExecuteOpen(const std::wstring& verb, const std::wstring& file,
                          const std::wstring& params, uint32_t* lastError) {
  HINSTANCE h = ShellExecuteW(nullptr, verb.c_str(), file.c_str(),
                              params.empty() ? nullptr : params.c_str(), nullptr, SW_SHOWNORMAL);
  intptr_t r = reinterpret_cast<intptr_t>(h);
  // Read at once: any later call may overwrite the thread's last error.
  if (r <= 32 && lastError) *lastError = GetLastError();
  return r;
}

bool SaveShellLink(const std::wstring& lnkPath, const std::wstring& target,
                   const std::wstring& workDir, const std::wstring& description,
                   const std::wstring& iconPath, int iconIndex) {
  IShellLinkW* link = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link));
  if (FAILED(hr) || !link) return false;
  link->SetPath(target.c_str());
  link->SetWorkingDirectory(workDir.c_str());
  link->SetDescription(description.c_str());
  link->SetIconLocation(iconPath.c_str(), iconIndex);
  bool saved = false;
  IPersistFile* file = nullptr;
  hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (SUCCEEDED(hr) && file) {
    saved = SUCCEEDED(file->Save(lnkPath.c_str(), TRUE));
    file->Release();
  }
  link->Release();
  return saved;
}

bool ProcessExeNames(std::vector<std::wstring>* names) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return false;
  names->clear();
  PROCESSENTRY32W pe;
  ZeroMemory(&pe, sizeof pe);
  pe.dwSize = sizeof pe;
  if (Process32FirstW(snap, &pe)) {
    do {
      names->push_back(pe.szExeFile);
    } while (Process32NextW(snap, &pe));
  }
  CloseHandle(snap);
  return true;
}

bool StartProcess(const std::wstring& cmdline, bool hidden) {
  std::wstring writable = cmdline;  // CreateProcessW may write into it
  writable.push_back(L'\0');
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  ZeroMemory(&pi, sizeof pi);
  if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, hidden ? CREATE_NO_WINDOW : 0,
                      nullptr, nullptr, &si, &pi))
    return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

bool CurrentUserName(std::wstring* name) {
  wchar_t buf[256] = {0};
  DWORD size = 255;
  if (!GetUserNameW(buf, &size)) return false;
  *name = buf;
  return true;
}

bool OsVersion(uint32_t* major, uint32_t* minor, uint32_t* build) {
  // RtlGetVersion is not subject to the compatibility shims that make
  // GetVersionEx report an older Windows to programs without a manifest entry.
  using RtlGetVersionFn = LONG(WINAPI*)(PRTL_OSVERSIONINFOW);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return false;
  FARPROC proc = GetProcAddress(ntdll, "RtlGetVersion");
  if (!proc) return false;
  RtlGetVersionFn fn;
  static_assert(sizeof fn == sizeof proc, "function pointer sizes");
  std::memcpy(&fn, &proc, sizeof fn);
  RTL_OSVERSIONINFOW info;
  ZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (fn(&info) != 0) return false;
  *major = info.dwMajorVersion;
  *minor = info.dwMinorVersion;
  *build = info.dwBuildNumber;
  return true;
}

}  // namespace tov
