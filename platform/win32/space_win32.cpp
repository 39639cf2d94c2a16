// Windows side of the space map's platform calls (platform.h, "Space map"):
// the listing of one folder, moving to the Recycle Bin, and showing a path
// in Explorer. The shell moves items by their paths and would follow a
// junction swapped in on the way, so a recycle first holds every folder
// from the drive root down to the item open without delete sharing, each
// checked on its handle, and lets them go when the shell is done.
// windows.h first: the shell headers build on it.
// clang-format off
#include <windows.h>
#include <winioctl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_shared.h"

namespace tov {
namespace {

// A reparse tag that makes the entry stand for another name (symbolic
// link, junction, mount point): bit 29, IsReparseTagNameSurrogate.
bool IsNameSurrogate(DWORD tag) {
  return (tag & 0x20000000u) != 0;
}

// Appends the UTF-8 form of a NUL-ended wide name to the pool.
uint32_t AppendNameUtf8(const wchar_t* name, std::string* pool) {
  int wlen = static_cast<int>(wcslen(name));
  size_t at = pool->size();
  if (wlen == 0) {
    pool->push_back('\0');
    return 0;
  }
  // Three bytes per UTF-16 unit is the most UTF-8 can need.
  pool->resize(at + static_cast<size_t>(wlen) * 3 + 1);
  int n = WideCharToMultiByte(CP_UTF8, 0, name, wlen, &(*pool)[at], wlen * 3, nullptr, nullptr);
  if (n < 0) n = 0;
  pool->resize(at + static_cast<size_t>(n));
  pool->push_back('\0');
  return static_cast<uint32_t>(n);
}

// FOF_NO_UI as the headers spell it, and the warning that a path would be
// destroyed rather than recycled (which overrides FOF_NOCONFIRMATION for
// exactly that case: the only dialog this can show).
constexpr DWORD kRecycleFlags = FOF_ALLOWUNDO | FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI |
                                FOF_NOCONFIRMMKDIR | FOF_WANTNUKEWARNING;

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(LongPathForm(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

RecycleHook g_recycleHook = nullptr;

void AtMoment(RecycleMoment moment, const std::wstring& path) {
  if (g_recycleHook) g_recycleHook(moment, path);
}

// The folders a recycle holds open while the shell moves items by their
// paths: each opened without FILE_SHARE_DELETE, so that nobody can rename,
// delete or replace it (renaming needs DELETE access, which these handles
// do not share) until it is let go. The access must include a kind the
// system checks sharing against (FILE_LIST_DIRECTORY is FILE_READ_DATA); a
// handle that may only read attributes would keep nobody from anything.
struct PinnedWay {
  std::vector<HANDLE> handles;
  std::set<std::wstring> folders;  // long forms held, letters lowered
};

void LetGo(PinnedWay* way) {
  for (HANDLE h : way->handles) CloseHandle(h);
  way->handles.clear();
  way->folders.clear();
}

// Whether the name itself says reparse point. Wine opens a Linux link with
// FILE_FLAG_OPEN_REPARSE_POINT as the folder it points to and shows the link
// only by name; on Windows the handle already told, and once the folder (or
// its parent) is held the name means what was opened.
bool NamesAReparsePoint(const std::wstring& longPath) {
  DWORD attrs = GetFileAttributesW(longPath.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

// Opens and holds the folder longPath (\\?\C:\...), whose parent is held
// already (or which is a drive root), as it is on the disk: never through a
// reparse point. False with *fault when it is missing (Gone), held for
// deletion or renaming by someone (InUse), refused (Denied), a reparse point
// or not a folder (Link).
bool PinFolder(const std::wstring& longPath, PinnedWay* way, FsFault* fault) {
  std::wstring key = LowerAscii(longPath);
  if (way->folders.count(key)) return true;
  HANDLE h = CreateFileW(longPath.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *fault = LastFault();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    *fault = LastFault();
    CloseHandle(h);
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || NamesAReparsePoint(longPath)) {
    *fault = FsFault::Link;
    CloseHandle(h);
    return false;
  }
  way->handles.push_back(h);
  way->folders.insert(key);
  return true;
}

// Holds every folder from the drive root down to folder (a drive path),
// element by element, each opened once its parent is held, so that the
// whole way is the one that was examined.
bool PinWay(const std::wstring& folder, PinnedWay* way, FsFault* fault) {
  std::wstring full = LongPathForm(folder);
  // \\?\C:\ first, then the elements one by one.
  if (full.size() < 6 || full.compare(0, 4, L"\\\\?\\") != 0 || full[5] != L':') {
    *fault = FsFault::Other;
    return false;
  }
  if (full.size() == 6) full.push_back(L'\\');
  if (full[6] != L'\\' || !PinFolder(full.substr(0, 7), way, fault)) {
    if (*fault == FsFault::None) *fault = FsFault::Other;
    return false;
  }
  for (size_t at = 7; at < full.size();) {
    size_t end = full.find(L'\\', at);
    if (end == std::wstring::npos) end = full.size();
    if (end > at && !PinFolder(full.substr(0, end), way, fault)) return false;
    at = end + 1;
  }
  return true;
}

// Examines the item at path by handle, without holding it afterwards (the
// shell must be free to move it): a folder that is a reparse point, a file
// that stands for another name (a symbolic link; a Compact OS or
// deduplicated file is a real file), a folder where only files are taken,
// or a file whose id is not id (when non-zero) fails with Link.
bool ItemIsTheOne(const std::wstring& path, bool filesOnly, uint64_t id, FsFault* fault) {
  HANDLE h =
      CreateFileW(LongPathForm(path).c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *fault = LastFault();
    return false;
  }
  FILE_ATTRIBUTE_TAG_INFO tag;
  BY_HANDLE_FILE_INFORMATION info;
  bool read = GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
              GetFileInformationByHandle(h, &info);
  DWORD err = GetLastError();
  CloseHandle(h);
  if (!read) {
    *fault = FaultOfSystemCode(err);
    return false;
  }
  bool dir = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  bool reparse = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                 (dir && NamesAReparsePoint(LongPathForm(path)));
  if ((dir && (reparse || filesOnly)) || (!dir && reparse && IsNameSurrogate(tag.ReparseTag)) ||
      (id != 0 && Join64(info.nFileIndexHigh, info.nFileIndexLow) != id)) {
    *fault = FsFault::Link;
    return false;
  }
  return true;
}

// The folder that holds path ("C:\" for an item of the root); empty for a
// path that has none (a root itself).
std::wstring FolderOf(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos || cut < 2 || cut + 1 >= path.size()) return std::wstring();
  return path.substr(0, cut == 2 ? 3 : cut);
}

// Holds the way to path and examines the item; false with *fault when
// either fails (what was held stays held in way for the caller to let go).
bool PinItem(const std::wstring& path, bool filesOnly, uint64_t id, PinnedWay* way,
             FsFault* fault) {
  std::wstring folder = FolderOf(path);
  if (folder.empty()) {
    *fault = FsFault::Other;
    return false;
  }
  return PinWay(folder, way, fault) && ItemIsTheOne(path, filesOnly, id, fault);
}

// IFileOperation (Windows Vista and later; FOFX_RECYCLEONDELETE from
// Windows 8): true when the operation ran and nothing was aborted.
bool RecycleWithFileOperation(const std::wstring& path) {
  IFileOperation* op = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FileOperation, nullptr, CLSCTX_ALL, IID_IFileOperation,
                              reinterpret_cast<void**>(&op))))
    return false;
  bool ok = false;
  HRESULT hr = op->SetOperationFlags(kRecycleFlags | FOFX_RECYCLEONDELETE);
  if (FAILED(hr)) hr = op->SetOperationFlags(kRecycleFlags);  // before Windows 8
  IShellItem* item = nullptr;
  if (SUCCEEDED(hr) && SUCCEEDED(SHCreateItemFromParsingName(path.c_str(), nullptr, IID_IShellItem,
                                                             reinterpret_cast<void**>(&item)))) {
    if (SUCCEEDED(op->DeleteItem(item, nullptr)) && SUCCEEDED(op->PerformOperations())) {
      BOOL aborted = FALSE;
      ok = SUCCEEDED(op->GetAnyOperationsAborted(&aborted)) && !aborted;
    }
    item->Release();
  }
  op->Release();
  return ok;
}

// SHFileOperationW does not take \\?\ paths: only a path within MAX_PATH.
bool RecycleWithShFileOperation(const std::wstring& path) {
  if (path.size() >= MAX_PATH) return false;
  std::wstring from = path;
  from.push_back(L'\0');  // the list ends with a second NUL
  SHFILEOPSTRUCTW op = {};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = static_cast<FILEOP_FLAGS>(kRecycleFlags);
  return SHFileOperationW(&op) == 0 && !op.fAnyOperationsAborted;
}

// The progress sink of a batch recycle: it lets a deletion go ahead only
// when the shell is about to recycle it (TSF_DELETE_RECYCLE_IF_POSSIBLE), so
// that a file the Recycle Bin cannot take stays instead of being destroyed,
// and without the dialog FOF_WANTNUKEWARNING would show. Lives on the stack
// of RecycleWithFileOperationBatch: the reference count is not used to free it.
class RecycleOnlySink : public IFileOperationProgressSink {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IFileOperationProgressSink) {
      *out = static_cast<IFileOperationProgressSink*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE StartOperations() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE FinishOperations(HRESULT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PreRenameItem(DWORD, IShellItem*, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PostRenameItem(DWORD, IShellItem*, LPCWSTR, HRESULT,
                                           IShellItem*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PreMoveItem(DWORD, IShellItem*, IShellItem*, LPCWSTR) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PostMoveItem(DWORD, IShellItem*, IShellItem*, LPCWSTR, HRESULT,
                                         IShellItem*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PreCopyItem(DWORD, IShellItem*, IShellItem*, LPCWSTR) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PostCopyItem(DWORD, IShellItem*, IShellItem*, LPCWSTR, HRESULT,
                                         IShellItem*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PreDeleteItem(DWORD flags, IShellItem*) override {
    return (flags & TSF_DELETE_RECYCLE_IF_POSSIBLE) ? S_OK : E_ABORT;
  }
  HRESULT STDMETHODCALLTYPE PostDeleteItem(DWORD, IShellItem*, HRESULT, IShellItem*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PreNewItem(DWORD, IShellItem*, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PostNewItem(DWORD, IShellItem*, LPCWSTR, LPCWSTR, DWORD, HRESULT,
                                        IShellItem*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UpdateProgress(UINT, UINT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ResetTimer() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PauseTimer() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ResumeTimer() override { return S_OK; }
};

// The flags of a batch recycle: no UI of any kind (FOF_NO_UI), undo kept,
// and no nuke warning: the sink refuses what would not be recycled.
constexpr DWORD kBatchRecycleFlags = FOF_ALLOWUNDO | FOF_SILENT | FOF_NOCONFIRMATION |
                                     FOF_NOERRORUI | FOF_NOCONFIRMMKDIR | FOFX_RECYCLEONDELETE;

// One IFileOperation for all the paths; false when the shell offers none
// (the caller falls back). Which files went is read from the disk after.
bool RecycleWithFileOperationBatch(const std::vector<std::wstring>& paths) {
  IFileOperation* op = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FileOperation, nullptr, CLSCTX_ALL, IID_IFileOperation,
                              reinterpret_cast<void**>(&op))))
    return false;
  RecycleOnlySink sink;
  bool queued = false;
  if (SUCCEEDED(op->SetOperationFlags(kBatchRecycleFlags))) {
    for (const std::wstring& path : paths) {
      IShellItem* item = nullptr;
      if (FAILED(SHCreateItemFromParsingName(path.c_str(), nullptr, IID_IShellItem,
                                             reinterpret_cast<void**>(&item))))
        continue;
      if (SUCCEEDED(op->DeleteItem(item, &sink))) queued = true;
      item->Release();
    }
  }
  bool ran = queued && op->PerformOperations() != E_NOTIMPL;
  op->Release();
  return ran;
}

}  // namespace

void SetRecycleHookForTest(RecycleHook hook) {
  g_recycleHook = hook;
}

void RecycleFiles(const std::vector<std::wstring>& paths, const std::vector<uint64_t>& ids,
                  std::vector<FsFault>* faults) {
  faults->assign(paths.size(), FsFault::None);
  // Every folder on the way of every file is held from here until the shell
  // is done and the files are looked at again.
  PinnedWay way;
  std::vector<std::wstring> present;
  for (size_t i = 0; i < paths.size(); ++i) {
    AtMoment(RecycleMoment::Asked, paths[i]);
    if (PinItem(paths[i], true, i < ids.size() ? ids[i] : 0, &way, &(*faults)[i]))
      present.push_back(paths[i]);
    else if ((*faults)[i] == FsFault::None)
      (*faults)[i] = FsFault::Other;
  }
  if (present.empty()) {
    LetGo(&way);
    return;
  }
  for (const std::wstring& p : present) AtMoment(RecycleMoment::Pinned, p);
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  if (!RecycleWithFileOperationBatch(present)) {
    // No IFileOperation (wine): the older call, one list of the short
    // paths, with the warning that keeps it from destroying a file.
    std::wstring from;
    for (const std::wstring& p : present) {
      if (p.size() >= MAX_PATH) continue;
      from += p;
      from.push_back(L'\0');
    }
    if (!from.empty()) {
      from.push_back(L'\0');
      SHFILEOPSTRUCTW op = {};
      op.wFunc = FO_DELETE;
      op.pFrom = from.c_str();
      op.fFlags = static_cast<FILEOP_FLAGS>(kRecycleFlags);
      SHFileOperationW(&op);
    }
  }
  if (SUCCEEDED(init)) CoUninitialize();
  for (size_t i = 0; i < paths.size(); ++i) {
    if ((*faults)[i] != FsFault::None) continue;
    if (!Exists(paths[i])) continue;
    // Still there: held open, no permission, or the bin would not take it.
    HANDLE h = CreateFileW(LongPathForm(paths[i]).c_str(), DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      (*faults)[i] = LastFault();
      if ((*faults)[i] == FsFault::Gone || (*faults)[i] == FsFault::None)
        (*faults)[i] = FsFault::Other;
    } else {
      CloseHandle(h);
      (*faults)[i] = FsFault::Other;
    }
  }
  LetGo(&way);
}

// ---- The raw volume ------------------------------------------------------------

namespace {

// A volume handle reads whole sectors at sector offsets; 4096 covers every
// sector size Windows supports.
constexpr uint64_t kVolumeAlign = 4096;

bool ReadAt(HANDLE h, uint64_t offset, void* buf, DWORD n) {
  OVERLAPPED ov = {};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  return ReadFile(h, buf, n, &got, &ov) && got == n;
}

}  // namespace

VolumeOpen OpenSystemVolume(VolumeHandle* out, VolumeGeometry* geometry) {
  *geometry = VolumeGeometry();
  HANDLE h = CreateFileW(L"\\\\.\\C:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    return err == ERROR_ACCESS_DENIED || err == ERROR_PRIVILEGE_NOT_HELD ? VolumeOpen::Denied
                                                                         : VolumeOpen::Failed;
  }
  NTFS_VOLUME_DATA_BUFFER data = {};
  DWORD got = 0;
  if (!DeviceIoControl(h, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &data, sizeof data, &got,
                       nullptr)) {
    CloseHandle(h);
    return VolumeOpen::NotNtfs;
  }
  geometry->bytesPerCluster = data.BytesPerCluster;
  geometry->recordBytes = data.BytesPerFileRecordSegment;
  geometry->mftStartLcn = static_cast<uint64_t>(data.MftStartLcn.QuadPart);
  *out = h;
  return VolumeOpen::Ok;
}

VolumeHandle OpenVolumeImage(const std::filesystem::path& file) {
  HANDLE h = CreateFileW(file.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool ReadVolume(VolumeHandle volume, uint64_t offset, void* buf, size_t n) {
  HANDLE h = static_cast<HANDLE>(volume);
  char* p = static_cast<char*>(buf);
  // Whole aligned reads go straight into the buffer; the rest through an
  // aligned one of their own.
  while (n > 0) {
    uint64_t from = offset & ~(kVolumeAlign - 1);
    size_t lead = static_cast<size_t>(offset - from);
    if (lead == 0 && n >= kVolumeAlign) {
      size_t whole = std::min<size_t>(n & ~static_cast<size_t>(kVolumeAlign - 1), 16u << 20);
      if (!ReadAt(h, offset, p, static_cast<DWORD>(whole))) return false;
      p += whole;
      n -= whole;
      offset += whole;
      continue;
    }
    std::vector<char> bounce(kVolumeAlign);
    if (!ReadAt(h, from, bounce.data(), static_cast<DWORD>(kVolumeAlign))) return false;
    size_t take = std::min(n, static_cast<size_t>(kVolumeAlign) - lead);
    memcpy(p, bounce.data() + lead, take);
    p += take;
    n -= take;
    offset += take;
  }
  return true;
}

void CloseVolume(VolumeHandle volume) {
  if (volume) CloseHandle(static_cast<HANDLE>(volume));
}

bool ListSpaceDir(const std::wstring& dir, SpaceListing* out, FsFault* fault) {
  out->names.clear();
  out->entries.clear();
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstIn(dir, &fd);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    // An empty folder has no entry at all only at a drive root; elsewhere
    // "." is there. Either way nothing is wrong.
    if (err == ERROR_NO_MORE_FILES) return true;
    *fault = LastFault();
    return false;
  }
  do {
    const wchar_t* n = fd.cFileName;
    if (IsDotEntry(n)) continue;
    SpaceEntry e;
    e.attrs = fd.dwFileAttributes;
    // A file that is a reparse point without standing for another name
    // (Compact OS and deduplicated files) is a real file on this disk.
    if ((e.attrs & kAttrReparsePoint) && !(e.attrs & kAttrDirectory) &&
        !IsNameSurrogate(fd.dwReserved0))
      e.attrs &= ~kAttrReparsePoint;
    e.size = (e.attrs & (kAttrDirectory | kAttrReparsePoint))
                 ? 0
                 : Join64(fd.nFileSizeHigh, fd.nFileSizeLow);
    e.mtime = Join64(fd.ftLastWriteTime.dwHighDateTime, fd.ftLastWriteTime.dwLowDateTime);
    e.name = static_cast<uint32_t>(out->names.size());
    e.nameLen = AppendNameUtf8(n, &out->names);
    out->entries.push_back(e);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return true;
}

bool RecyclePath(const std::wstring& path, FsFault* fault) {
  AtMoment(RecycleMoment::Asked, path);
  PinnedWay way;
  if (!PinItem(path, false, 0, &way, fault)) {
    LetGo(&way);
    return false;
  }
  AtMoment(RecycleMoment::Pinned, path);
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  bool moved = RecycleWithFileOperation(path);
  if (!moved && Exists(path)) moved = RecycleWithShFileOperation(path);
  if (SUCCEEDED(init)) CoUninitialize();
  if (Exists(path)) {
    // Find out why, as far as the system tells: a file held open or a
    // folder without permission.
    HANDLE h = CreateFileW(
        LongPathForm(path).c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      *fault = LastFault();
      if (*fault == FsFault::Gone) *fault = FsFault::Other;
    } else {
      CloseHandle(h);
      *fault = FsFault::Other;
    }
    LetGo(&way);
    return false;
  }
  LetGo(&way);
  // Gone: moved by one of the two, whatever it answered.
  return true;
}

bool RevealInExplorer(const std::wstring& path) {
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  bool ok = false;
  if (PIDLIST_ABSOLUTE pidl = ILCreateFromPathW(path.c_str())) {
    ok = SUCCEEDED(SHOpenFolderAndSelectItems(pidl, 0, nullptr, 0));
    ILFree(pidl);
  }
  if (SUCCEEDED(init)) CoUninitialize();
  return ok;
}

}  // namespace tov
