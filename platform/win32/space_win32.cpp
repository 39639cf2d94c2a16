// Windows side of the space map's platform calls (platform.h, "Space map"):
// the listing of one folder, moving to the Recycle Bin, and showing a path
// in Explorer.
// windows.h first: the shell headers build on it.
// clang-format off
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
// clang-format on

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

void RecycleFiles(const std::vector<std::wstring>& paths, std::vector<FsFault>* faults) {
  faults->assign(paths.size(), FsFault::None);
  std::vector<std::wstring> present;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (Exists(paths[i]))
      present.push_back(paths[i]);
    else
      (*faults)[i] = FsFault::Gone;
  }
  if (present.empty()) return;
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
    if ((*faults)[i] == FsFault::Gone) continue;
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
  if (!Exists(path)) {
    *fault = FsFault::Gone;
    return false;
  }
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
    return false;
  }
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
