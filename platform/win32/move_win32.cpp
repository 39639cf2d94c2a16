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

#include <algorithm>
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

// The attributes a copy carries over (what SetFileInformationByHandle and
// SetFileAttributesW set; the rest come from what is done to the file).
constexpr DWORD kSettableAttrs = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                 FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;

// Ranges asked for at a time, and the block a range is copied by.
constexpr size_t kRangesAtOnce = 64;
constexpr DWORD kSparseBlock = 1 << 20;

bool AllZero(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

bool ReadAt(HANDLE h, char* buf, DWORD want, uint64_t at, DWORD* got) {
  OVERLAPPED o = {};
  o.Offset = static_cast<DWORD>(at);
  o.OffsetHigh = static_cast<DWORD>(at >> 32);
  return ReadFile(h, buf, want, got, &o) != FALSE;
}

bool WriteAt(HANDLE h, const char* buf, DWORD n, uint64_t at) {
  OVERLAPPED o = {};
  o.Offset = static_cast<DWORD>(at);
  o.OffsetHigh = static_cast<DWORD>(at >> 32);
  DWORD put = 0;
  return WriteFile(h, buf, n, &put, &o) != FALSE && put == n;
}

// Copies the range [from, to) of in to out at the same offsets; with
// skipZeros a block of zeros is left a hole. False with the thread's last
// error set.
bool CopyRange(HANDLE in, HANDLE out, uint64_t from, uint64_t to, bool skipZeros,
               std::vector<char>& buf, const std::function<bool(uint64_t)>& progress) {
  for (uint64_t at = from; at < to;) {
    DWORD want = static_cast<DWORD>(std::min<uint64_t>(to - at, kSparseBlock)), got = 0;
    if (!ReadAt(in, buf.data(), want, at, &got)) return false;
    if (got == 0) return true;  // the file shrank meanwhile: its verification tells
    if (!(skipZeros && AllZero(buf.data(), got)) && !WriteAt(out, buf.data(), got, at))
      return false;
    at += got;
    if (progress && !progress(at)) {
      SetLastError(ERROR_REQUEST_ABORTED);
      return false;
    }
  }
  return true;
}

// Copies the sparse file open for reading in `in` to the new file dst,
// sparse too: its end of file set, only the allocated ranges written, then
// its times and attributes. A copy that fails is deleted.
bool CopySparse(HANDLE in, const std::wstring& dst, const std::function<bool(uint64_t)>& progress,
                FsFault* fault) {
  FILE_BASIC_INFO basic = {};
  LARGE_INTEGER size = {};
  if (!GetFileInformationByHandleEx(in, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileSizeEx(in, &size)) {
    *fault = LastFault();
    return false;
  }
  HANDLE out = CreateFileW(dst.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    *fault = LastFault();
    return false;
  }
  DWORD got = 0;
  FILE_END_OF_FILE_INFO eof = {};
  eof.EndOfFile = size;
  bool ok = DeviceIoControl(out, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr) &&
            SetFileInformationByHandle(out, FileEndOfFileInfo, &eof, sizeof eof);
  std::vector<char> buf(kSparseBlock);
  std::vector<FILE_ALLOCATED_RANGE_BUFFER> ranges(kRangesAtOnce);
  const uint64_t end = static_cast<uint64_t>(size.QuadPart);
  for (uint64_t from = 0; ok && from < end;) {
    FILE_ALLOCATED_RANGE_BUFFER query = {};
    query.FileOffset.QuadPart = static_cast<LONGLONG>(from);
    query.Length.QuadPart = static_cast<LONGLONG>(end - from);
    DWORD bytes = 0;
    BOOL all =
        DeviceIoControl(in, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, ranges.data(),
                        static_cast<DWORD>(ranges.size() * sizeof ranges[0]), &bytes, nullptr);
    DWORD error = all ? ERROR_SUCCESS : GetLastError();
    if (!all && error != ERROR_MORE_DATA) {
      if (error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED &&
          error != ERROR_INVALID_PARAMETER) {
        ok = false;
        break;
      }
      // The file system cannot say: the rest is read whole, zeros left holes.
      ok = CopyRange(in, out, from, end, true, buf, progress);
      break;
    }
    size_t n = bytes / sizeof ranges[0];
    for (size_t i = 0; ok && i < n; ++i) {
      uint64_t at = static_cast<uint64_t>(ranges[i].FileOffset.QuadPart);
      uint64_t to = std::min<uint64_t>(end, at + static_cast<uint64_t>(ranges[i].Length.QuadPart));
      ok = CopyRange(in, out, std::max<uint64_t>(at, from), to, false, buf, progress);
      from = std::max<uint64_t>(from, to);
    }
    if (all || n == 0) break;
  }
  if (ok) {
    // Times and attributes as CopyFileExW leaves them; set last, so that
    // no write after them changes the last-write time.
    FILE_BASIC_INFO set = basic;
    set.ChangeTime.QuadPart = 0;
    set.FileAttributes = basic.FileAttributes & kSettableAttrs;
    if (!set.FileAttributes) set.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ok = SetFileInformationByHandle(out, FileBasicInfo, &set, sizeof set) != FALSE;
  }
  if (!ok) {
    *fault = LastFault();
    FILE_DISPOSITION_INFO gone = {};
    gone.DeleteFile = TRUE;
    SetFileInformationByHandle(out, FileDispositionInfo, &gone, sizeof gone);
  }
  CloseHandle(out);
  return ok;
}

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
  BY_HANDLE_FILE_INFORMATION held = {};
  if (GetFileInformationByHandle(hold, &held) &&
      (held.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE)) {
    bool copied = CopySparse(hold, dst, progress, fault);
    CloseHandle(hold);
    return copied;
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

bool AllocatedBytes(const std::wstring& path, uint64_t* bytes) {
  DWORD high = 0;
  SetLastError(NO_ERROR);
  DWORD low = GetCompressedFileSizeW(LongPathForm(path).c_str(), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  *bytes = Join64(high, low);
  return true;
}

bool ReadFolderStamp(const std::wstring& path, FolderStamp* stamp) {
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  if (!GetFileAttributesExW(LongPathForm(path).c_str(), GetFileExInfoStandard, &d) ||
      !(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return false;
  stamp->attrs = d.dwFileAttributes & kFolderStampAttrs;
  stamp->created = Join64(d.ftCreationTime.dwHighDateTime, d.ftCreationTime.dwLowDateTime);
  stamp->written = Join64(d.ftLastWriteTime.dwHighDateTime, d.ftLastWriteTime.dwLowDateTime);
  return true;
}

bool ApplyFolderStamp(const std::wstring& path, const FolderStamp& stamp, FsFault* fault) {
  HANDLE h =
      CreateFileW(LongPathForm(path).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *fault = LastFault();
    return false;
  }
  FILE_BASIC_INFO now = {};
  bool ok = GetFileInformationByHandleEx(h, FileBasicInfo, &now, sizeof now) != FALSE;
  if (ok && (!(now.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
             (now.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(h);
    *fault = FsFault(FsFault::Link, 0);
    return false;
  }
  if (ok) {
    // Zero leaves a time as it is.
    FILE_BASIC_INFO set = {};
    set.CreationTime.QuadPart = static_cast<LONGLONG>(stamp.created);
    set.LastWriteTime.QuadPart = static_cast<LONGLONG>(stamp.written);
    set.FileAttributes = (now.FileAttributes & kSettableAttrs & ~kFolderStampAttrs) |
                         (stamp.attrs & kFolderStampAttrs);
    if (!set.FileAttributes) set.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ok = SetFileInformationByHandle(h, FileBasicInfo, &set, sizeof set) != FALSE;
  }
  if (!ok) *fault = LastFault();
  CloseHandle(h);
  return ok;
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
