// The Windows calls for moving folders to another drive: drive facts, the
// copy of one file with its times and attributes, the rename, the junction,
// the known folders and the Restart Manager. Every path reaches the file
// system in its long form (\\?\), so no call stops at 260 characters.
#include <windows.h>
// After windows.h, whose types they use.
#include <restartmanager.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_shared.h"

namespace tov {
namespace {

// FOLDERID_Desktop, _Documents, _Downloads, _Pictures, _Videos and _Music,
// in the order of UserFolder.
const GUID kUserFolderIds[static_cast<size_t>(UserFolder::Count)] = {
    {0xb4bfcc3a, 0xdb2c, 0x424c, {0xb0, 0x29, 0x7f, 0xe9, 0x9a, 0x87, 0xc6, 0x41}},
    {0xfdd39ad0, 0x238f, 0x46af, {0xad, 0xb4, 0x6c, 0x85, 0x48, 0x03, 0x69, 0xc7}},
    {0x374de290, 0x123f, 0x4565, {0x91, 0x64, 0x39, 0xc4, 0x92, 0x5e, 0x46, 0x7b}},
    {0x33e28130, 0x4e1e, 0x4676, {0x83, 0x5a, 0x98, 0x39, 0x5c, 0x3b, 0xc3, 0xbb}},
    {0x18989b1d, 0x99b5, 0x455b, {0x84, 0x1c, 0xab, 0x7c, 0x74, 0xe4, 0xdd, 0xfc}},
    {0x4bd8d571, 0x6d19, 0x48d3, {0xbe, 0x97, 0x42, 0x22, 0x20, 0x08, 0x0e, 0x43}},
};

struct CopyProgress {
  const std::function<bool(uint64_t)>* progress;
};

DWORD CALLBACK OnCopyProgress(LARGE_INTEGER, LARGE_INTEGER transferred, LARGE_INTEGER,
                              LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE, LPVOID data) {
  auto* p = static_cast<CopyProgress*>(data);
  if (p->progress && *p->progress && !(*p->progress)(static_cast<uint64_t>(transferred.QuadPart)))
    return PROGRESS_CANCEL;
  return PROGRESS_CONTINUE;
}

// The Restart Manager's calls, from System32's rstrtmgr.dll only (it is no
// KnownDLL: a copy beside the program must never be loaded).
struct RestartManager {
  decltype(&RmStartSession) start = nullptr;
  decltype(&RmRegisterResources) add = nullptr;
  decltype(&RmGetList) list = nullptr;
  decltype(&RmEndSession) end = nullptr;
};

const RestartManager& Rm() {
  static const RestartManager rm = [] {
    RestartManager r;
    HMODULE m = LoadSystemDll(L"rstrtmgr.dll");
    if (!m) return r;
    r.start = reinterpret_cast<decltype(&RmStartSession)>(
        reinterpret_cast<void*>(GetProcAddress(m, "RmStartSession")));
    r.add = reinterpret_cast<decltype(&RmRegisterResources)>(
        reinterpret_cast<void*>(GetProcAddress(m, "RmRegisterResources")));
    r.list = reinterpret_cast<decltype(&RmGetList)>(
        reinterpret_cast<void*>(GetProcAddress(m, "RmGetList")));
    r.end = reinterpret_cast<decltype(&RmEndSession)>(
        reinterpret_cast<void*>(GetProcAddress(m, "RmEndSession")));
    return r;
  }();
  return rm;
}

// At most this many files per registration: the Restart Manager keeps them
// all in its session.
constexpr size_t kRmBatch = 1000;

}  // namespace

DriveKind DriveKindOf(const std::wstring& root, std::wstring* fileSystem) {
  fileSystem->clear();
  std::wstring r = root.substr(0, 2) + L"\\";
  UINT type = GetDriveTypeW(r.c_str());
  DriveKind kind = DriveKind::Other;
  switch (type) {
    case DRIVE_FIXED:
      kind = DriveKind::Fixed;
      break;
    case DRIVE_REMOVABLE:
      kind = DriveKind::Removable;
      break;
    case DRIVE_REMOTE:
      kind = DriveKind::Network;
      break;
    case DRIVE_NO_ROOT_DIR:
    case DRIVE_UNKNOWN:
      return DriveKind::Missing;
    default:
      break;
  }
  wchar_t fs[MAX_PATH + 1] = {0};
  // No error box for a drive without a medium.
  UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS);
  if (GetVolumeInformationW(r.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fs, MAX_PATH + 1))
    *fileSystem = fs;
  SetErrorMode(oldMode);
  return kind;
}

std::vector<wchar_t> DriveLetters() {
  std::vector<wchar_t> letters;
  DWORD mask = GetLogicalDrives();
  for (int i = 0; i < 26; ++i)
    if (mask & (1u << i)) letters.push_back(static_cast<wchar_t>(L'A' + i));
  return letters;
}

bool CopyFileKeep(const std::wstring& from, const std::wstring& to,
                  const std::function<bool(uint64_t done)>& progress, FsFault* fault) {
  std::wstring src = LongPathForm(from), dst = LongPathForm(to);
  // Held without FILE_SHARE_WRITE for the copy: a file another program
  // writes to fails here (ERROR_SHARING_VIOLATION), and nobody starts
  // writing to it while it is copied.
  HANDLE hold = CreateFileW(src.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (hold == INVALID_HANDLE_VALUE) {
    *fault = LastFault();
    return false;
  }
  CopyProgress p{&progress};
  BOOL cancel = FALSE;
  BOOL ok =
      CopyFileExW(src.c_str(), dst.c_str(), OnCopyProgress, &p, &cancel, COPY_FILE_FAIL_IF_EXISTS);
  if (!ok) *fault = LastFault();
  CloseHandle(hold);
  if (!ok) {
    // CopyFileExW removes a cancelled copy itself; a failed one may stay.
    SetFileAttributesW(dst.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(dst.c_str());
  }
  return ok != FALSE;
}

bool RenamePath(const std::wstring& from, const std::wstring& to, FsFault* fault) {
  if (MoveFileExW(LongPathForm(from).c_str(), LongPathForm(to).c_str(), 0)) return true;
  *fault = LastFault();
  return false;
}

bool CreateJunction(const std::wstring& link, const std::wstring& target, FsFault* fault) {
  std::wstring l = LongPathForm(link);
  if (!CreateDirectoryW(l.c_str(), nullptr)) {
    *fault = LastFault();
    return false;
  }
  HANDLE h = CreateFileW(l.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  bool ok = false;
  if (h != INVALID_HANDLE_VALUE) {
    std::string data = JunctionReparseData(target);
    DWORD returned = 0;
    ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &data[0], static_cast<DWORD>(data.size()),
                         nullptr, 0, &returned, nullptr) != FALSE;
    if (!ok) *fault = LastFault();
    CloseHandle(h);
  } else {
    *fault = LastFault();
  }
  if (!ok) RemoveDirectoryW(l.c_str());
  return ok;
}

bool UserFolderPath(UserFolder folder, bool defaultPlace, std::wstring* out) {
  size_t i = static_cast<size_t>(folder);
  if (i >= static_cast<size_t>(UserFolder::Count)) return false;
  PWSTR path = nullptr;
  DWORD flags = static_cast<DWORD>(KF_FLAG_DONT_VERIFY) |
                (defaultPlace ? static_cast<DWORD>(KF_FLAG_DEFAULT_PATH) : 0u);
  HRESULT hr = SHGetKnownFolderPath(kUserFolderIds[i], flags, nullptr, &path);
  bool ok = SUCCEEDED(hr) && path;
  if (ok) *out = path;
  CoTaskMemFree(path);
  return ok;
}

bool SetUserFolderPath(UserFolder folder, const std::wstring& path) {
  size_t i = static_cast<size_t>(folder);
  if (i >= static_cast<size_t>(UserFolder::Count)) return false;
  // Through the known-folder manager, what SHSetKnownFolderPath does too
  // (wine 8 has the manager's SetPath but only a stub of that export).
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IKnownFolderManager* manager = nullptr;
  IKnownFolder* known = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_KnownFolderManager, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IKnownFolderManager, reinterpret_cast<void**>(&manager));
  if (SUCCEEDED(hr)) hr = manager->GetFolder(kUserFolderIds[i], &known);
  if (SUCCEEDED(hr)) hr = known->SetPath(0, path.c_str());
  if (known) known->Release();
  if (manager) manager->Release();
  if (SUCCEEDED(init)) CoUninitialize();
  if (FAILED(hr)) return false;
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return true;
}

bool ProgramsHolding(const std::vector<std::wstring>& files, std::vector<std::string>* programs) {
  programs->clear();
  const RestartManager& rm = Rm();
  if (!rm.start || !rm.add || !rm.list || !rm.end) return false;
  bool answered = true;
  for (size_t at = 0; at < files.size() && answered; at += kRmBatch) {
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {0};
    if (rm.start(&session, 0, key) != ERROR_SUCCESS) return false;
    std::vector<std::wstring> batch;
    std::vector<LPCWSTR> names;
    for (size_t i = at; i < files.size() && i < at + kRmBatch; ++i)
      batch.push_back(LongPathForm(files[i]));
    for (const std::wstring& b : batch) names.push_back(b.c_str());
    if (rm.add(session, static_cast<UINT>(names.size()), names.data(), 0, nullptr, 0, nullptr) !=
        ERROR_SUCCESS) {
      rm.end(session);
      return false;
    }
    std::vector<RM_PROCESS_INFO> apps(16);
    UINT needed = 0, count = static_cast<UINT>(apps.size());
    DWORD reasons = 0;
    DWORD r = rm.list(session, &needed, &count, apps.data(), &reasons);
    if (r == ERROR_MORE_DATA) {
      apps.resize(needed + 4);
      count = static_cast<UINT>(apps.size());
      r = rm.list(session, &needed, &count, apps.data(), &reasons);
    }
    rm.end(session);
    if (r != ERROR_SUCCESS) return false;
    for (UINT k = 0; k < count; ++k) {
      std::string name = WideToUtf8(apps[k].strAppName);
      if (name.empty()) continue;
      bool known = false;
      for (const std::string& p : *programs) known = known || p == name;
      if (!known) programs->push_back(name);
    }
  }
  return answered;
}

}  // namespace tov
