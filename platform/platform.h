// The seam between the program and the operating system.
//
// Everything the program needs from the OS is declared here, in the program's
// own vocabulary: UTF-8 std::string for text, std::wstring for paths spelled
// the Windows way (C:\Users\...), plain records, plain results. Two backends
// implement it: platform/win32 (the real Windows calls; the product) and
// platform/posix (one Windows machine emulated inside a directory tree; the
// development build). CMake compiles exactly one of them. Nothing outside
// platform/ includes an OS header.
//
// Every function keeps the one-line contract written above it on both
// backends. None of them throws.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tov {

// ---- Text -----------------------------------------------------------------

// UTF-8 to wide and back, the way MultiByteToWideChar/WideCharToMultiByte with
// code page 65001 and flags 0 do it: invalid input becomes U+FFFD instead of
// failing, embedded NUL bytes are converted, an empty input gives an empty
// output. On Windows wide is UTF-16; on POSIX it is UTF-32 (wchar_t).
std::wstring Utf8ToWide(const std::string& s);
std::string WideToUtf8(const std::wstring& s);

// The one lower-casing of the program (platform/common/plain_text.cpp): the
// ASCII letters A-Z become a-z, every other unit (non-ASCII characters, the
// bytes of UTF-8 sequences) stays as it is. No locale is consulted, so the
// answer is the same on every machine and in both builds.
constexpr char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr wchar_t LowerAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}
std::string LowerAscii(std::string s);
std::wstring LowerAscii(std::wstring s);

// Appends the UTF-8 form of one code point to *out, one to four bytes. A
// surrogate half (U+D800-U+DFFF) is written in its own three-byte form, as
// a JSON \u escape decoded alone gives it; a value above U+10FFFF becomes
// U+FFFD. Pure text, the same in both builds.
void AppendUtf8(uint32_t codePoint, std::string* out);

// ---- Process and console -----------------------------------------------------

// The command line as UTF-8 arguments, program name first. On Windows it is
// read from the wide command line, so non-ASCII arguments survive whatever
// the ANSI code page is.
std::vector<std::string> CommandLineArgs(int argc, char** argv);

// When the process has no usable standard output (started from the desktop
// as a GUI program), attach to the parent's console if there is one and
// reopen stdout and stderr on it. Does nothing when stdout already works.
void AttachParentConsoleIfNoStdout();

// Full path of the running executable; empty on failure.
std::wstring ModuleFileName();

// Milliseconds since system start, monotonic (GetTickCount64).
uint64_t TickCount64();

// Fills buf with len bytes from the system's cryptographic random source
// (BCryptGenRandom with the system-preferred generator, bcrypt.dll loaded
// from System32 only; POSIX: getrandom). False, with buf unspecified, when
// the source fails or cannot be reached.
bool SystemRandomBytes(void* buf, size_t len);

// True when the process token is a member of the built-in Administrators
// group (CheckTokenMembership). POSIX: the effective user is root.
bool IsProcessAdmin();

// Runs a command line as a new process without a window, waits at most
// timeoutMs and returns true when it was started; *exitCode receives its exit
// code (STILL_ACTIVE, 259, while it still runs; preset 1). POSIX: only the
// programs the stand-in emulates can run (see platform/posix).
bool RunHiddenAndWait(const std::wstring& cmdline, uint32_t timeoutMs, uint32_t* exitCode);

// Limits where the process loads DLLs from to the system folder, so that a
// DLL planted beside the executable (a Downloads folder) is never loaded
// (SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32), SetDllDirectoryW
// of ""). Call first thing at start. POSIX: nothing to do.
void RestrictDllSearch();

// The full path of a program that ships with Windows, so that it is never
// started by a bare name that the current folder could satisfy: in the system
// folder (GetSystemDirectoryW, C:\Windows\System32) or, with inWindowsDir, in
// the Windows folder (GetWindowsDirectoryW). The result is quoted when it
// holds a space. POSIX: the same spelled under %SystemRoot%.
std::wstring SystemProgram(const std::wstring& exeName, bool inWindowsDir = false);

// What one run of a system program gave (RunSystemTool).
struct ToolRun {
  bool started = false;     // the program was found and started
  uint32_t startError = 0;  // the system's code when it was not (2: no such program)
  uint32_t exitCode = 1;    // its exit code, once it ended
  std::string output;       // its standard output and error as bytes, not decoded
};

// Runs the system program exeName by its full path in the system folder
// (GetSystemDirectoryW, never a name the environment or the current folder
// could satisfy) with the arguments args, without a window, and waits until
// it ends; it is never killed. Its standard output and error go to the file
// outFile (created anew, kept afterwards): a file rather than a pipe, so
// that the program runs on undisturbed should this process end meanwhile.
// While it runs, progress receives its output so far about twice a second
// (may be empty). POSIX: the stand-in's programs, each one present when a
// file of its name is in the emulated system folder; what the file says
// picks a run (platform/posix/programs_posix.cpp).
void RunSystemTool(const std::wstring& exeName, const std::wstring& args,
                   const std::wstring& outFile,
                   const std::function<void(const std::string& output)>& progress, ToolRun* run);

// Whether the data of the file at path is provided by the Windows Overlay
// Filter (WOF: the system's binaries compressed by Compact OS, or WIMBoot):
// *backed receives the answer; false when it cannot be told (no such file,
// no WOF on the system). Windows: FSCTL_GET_EXTERNAL_BACKING on the file
// opened for its attributes, what WofIsExternalFile asks
// (ERROR_OBJECT_NOT_EXTERNALLY_BACKED: not backed). POSIX: while the file
// <root>/compact-os exists (the stand-in's compact.exe /CompactOS:always
// writes it), every existing file below C:\Windows is backed.
bool WofBacked(const std::wstring& path, bool* backed);
// ---- Windows' own stores: restore points and driver packages ----------------
// (platform/*/system_stores_*.cpp). Each call answers as the system did; the
// engine judges the answer.

// One restore point as WMI's root\default class SystemRestore lists it.
struct RestorePoint {
  bool sequenceKnown = false;  // SequenceNumber was a number
  uint32_t sequence = 0;       // SequenceNumber
  std::wstring description;    // Description
  std::wstring creationTime;   // CreationTime as WMI gives it (DMTF "yyyymmddHHMMSS.mmmmmm+UUU")
};
struct RestorePointList {
  // 0 when the restore points were listed; else the HRESULT of the WMI
  // step that failed (CoCreateInstance, ConnectServer, ExecQuery, ...).
  uint32_t error = 0;
  std::vector<RestorePoint> points;
  // UsedSpace of root\cimv2 Win32_ShadowStorage for the volume of C:, when
  // WMI gave it (shadowError: the HRESULT of the query that did not).
  bool shadowKnown = false;
  uint64_t shadowUsed = 0;
  uint32_t shadowError = 0;
};

// Lists the restore points and the shadow storage used on C: through WMI
// (COM initialised on the calling thread for the call; IWbemLocator,
// IWbemServices with CoSetProxyBlanket). POSIX: the stand-in's emulation
// (platform/posix/system_stores_posix.cpp).
void ListRestorePoints(RestorePointList* out);

// SRRemoveRestorePoint(sequence) of srclient.dll, loaded from the system
// folder only (LoadLibraryExW, LOAD_LIBRARY_SEARCH_SYSTEM32). False when the
// DLL or the function is missing (*error: the loader's code, 126 or 127);
// true when it was called (*error: its result, 0 on success).
bool RemoveRestorePoint(uint32_t sequence, uint32_t* error);

// SetupGetInfDriverStoreLocationW of setupapi.dll (loaded from the system
// folder): the full path of the INF in the driver store that the installed
// INF infPath (C:\Windows\INF\oem3.inf) was copied from. False with *error
// (the system's code; 127 when the function is missing) when it has none.
bool DriverStoreLocation(const std::wstring& infPath, std::wstring* storeInf, uint32_t* error);

// SetupUninstallOEMInfW(infName, 0, nullptr) of setupapi.dll: removes the
// third-party driver package of the installed INF infName ("oem3.inf")
// unless a device uses it (never SUOI_FORCEDELETE, so the system refuses a
// package in use). False with *fault (FaultOfSystemCode of the system's code;
// the function missing is Other with 127) when the system refused.
struct FsFault;  // below, with the walk
bool UninstallDriverPackage(const std::wstring& infName, FsFault* fault);

// Runs fn on a new detached thread (Windows: _beginthreadex, the handle
// closed at once). False when no thread could be made; fn has not run then.
bool StartDetachedThread(std::function<void()> fn);

// ---- Environment and shell folders ------------------------------------------

// ExpandEnvironmentStringsW: %NAME% references replaced by the variables'
// values, names matched without regard to case, undefined names left as
// written. Returns false when the system call fails.
bool ExpandEnvironmentText(const std::wstring& in, std::wstring* out);

enum class ShellFolder {
  Desktop,       // CSIDL_DESKTOPDIRECTORY: the user's own desktop folder
  Programs,      // CSIDL_PROGRAMS: the user's Start-menu programs folder
  LocalAppData,  // CSIDL_LOCAL_APPDATA
};

// SHGetFolderPathW with no window, no token, flags 0. False when the shell
// does not answer with success.
bool ShellFolderPath(ShellFolder folder, std::wstring* out);

// ---- Files and directories ---------------------------------------------------

// Windows file attribute bits, as GetFileAttributesW reports them.
constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrHidden = 0x2;
constexpr uint32_t kAttrSystem = 0x4;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kAttrReparsePoint = 0x400;
// A file whose data is not (or not only) on this disk: cloud placeholders
// (OneDrive Files On-Demand and other sync engines) and files such an engine
// manages. Opening one for data downloads it; deleting one deletes the
// cloud copy.
constexpr uint32_t kAttrOffline = 0x1000;
constexpr uint32_t kAttrRecallOnOpen = 0x40000;
constexpr uint32_t kAttrPinned = 0x80000;
constexpr uint32_t kAttrUnpinned = 0x100000;
constexpr uint32_t kAttrRecallOnDataAccess = 0x400000;
constexpr uint32_t kAttrNotLocal =
    kAttrOffline | kAttrRecallOnOpen | kAttrPinned | kAttrUnpinned | kAttrRecallOnDataAccess;

struct FileInfo {
  uint32_t attrs = 0;  // kAttr* bits
  uint64_t size = 0;   // bytes; 0 for directories
  uint64_t mtime = 0;  // last write, FILETIME units (100 ns since 1601-01-01 UTC)
};

// GetFileAttributesW: false when the path does not exist or cannot be read.
// The path itself is examined, never what a link points to.
bool GetAttributes(const std::wstring& path, uint32_t* attrs);

// GetFileAttributesExW with the standard information level.
bool GetFileInfo(const std::wstring& path, FileInfo* info);

// True only when the system says the path is not there: it, or a folder on
// the way, does not exist (GetFileAttributesW failing with
// ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND or ERROR_DELETE_PENDING; lstat
// with ENOENT or ENOTDIR). False when it exists or cannot be examined for
// another reason (no permission, a fault).
bool PathIsGone(const std::wstring& path);

struct DirEntry {
  std::wstring name;   // the entry's own name, never "." or ".."
  uint32_t attrs = 0;  // kAttr* bits; a link to a directory has both directory and reparse bits
  uint64_t size = 0;   // bytes, from the listing itself
  uint64_t mtime = 0;  // last write, FILETIME units
  uint64_t id = 0;     // file id (NTFS file reference, inode); 0 when the listing has none
};

// Lists the entries directly inside dir (FindFirstFileExW on dir + "\*",
// basic information level, large fetch),
// skipping "." and "..", and hands each to visit until visit returns false.
// Returns false when the listing cannot be opened (missing, not a directory,
// access denied); nothing is visited then. Links are reported, never followed.
bool ListDir(const std::wstring& dir, const std::function<bool(const DirEntry&)>& visit);

// The form in which the Windows backend hands a path to the file system, so
// that no call is bound by the 260-character limit: an absolute drive path
// becomes \\?\C:\..., a share \\server\share\... becomes \\?\UNC\server\share\...;
// forward slashes become backslashes, repeated separators and "." elements
// go, ".." takes back one element (never the root), as Windows' own path
// normalisation does. Paths already in \\?\ or \\.\ form, relative paths and
// drive-relative ones ("C:x") are returned as they are. Pure text; the same
// in both builds.
std::wstring LongPathForm(const std::wstring& path);

// The long form of an existing path: GetLongPathNameW, every 8.3 short name
// on the way ("C:\\PROGRA~1") replaced by the name it stands for, letters as
// the directory keeps them. path is a drive path ("C:\\..."); *out is one
// too (never prefixed). False when the path does not exist or cannot be read
// (*out untouched). The stand-in has no short names: every path is its own
// long form, whether it exists or not.
bool LongPathName(const std::wstring& path, std::wstring* out);

// ---- Walking by handle --------------------------------------------------------
//
// A walk that deletes must not be redirected by a folder that is swapped for
// a junction or link while it runs. So a walk opens its root element by
// element from the drive, never through a reparse point, and opens, lists,
// deletes and removes everything below through the handle of the folder it
// is in, never by a full path that could be resolved anew.

// Why a file-system call failed, as far as the system tells the cases apart,
// with the system's own code kept beside the kind. Every kind a backend reads
// from a system code comes from its one translation, FaultOfSystemCode; the
// user's words for each kind are one table above the seam (text/fault_text.h).
// Faults compare by kind alone: the code says where a kind came from.
struct FsFault {
  enum Kind : uint8_t {
    None,
    Gone,    // not there (any more): not found, or deletion already pending
    InUse,   // held by another program: a sharing violation, a lock, a mapped or running file
    Denied,  // no permission
    Link,    // a reparse point, or not the object that was listed, where a real one was expected
    Other,
  };
  Kind kind = None;
  // The system's code the kind was read from (what FaultOfSystemCode takes);
  // 0 where the backend judged by itself (an id that differs from the
  // listing's, the stand-in's emulations).
  uint32_t code = 0;
  constexpr FsFault(Kind k = None, uint32_t c = 0) : kind(k), code(c) {}
};
constexpr bool operator==(FsFault a, FsFault b) {
  return a.kind == b.kind;
}
constexpr bool operator!=(FsFault a, FsFault b) {
  return a.kind != b.kind;
}

// The backend's one translation of a system code into a fault, the code kept
// in it. Windows: a Win32 error code, an NTSTATUS of error severity
// (0xC0000000 and up: a deletion pending, a file deleted under an open
// handle and a running program's image each get their own kind, though the
// Win32 code of all three is ERROR_ACCESS_DENIED) or an HRESULT that carries
// a Win32 code (0x8007xxxx); SetupAPI's ERROR_INF_IN_USE_BY_DEVICES
// (0xE000023D, a driver package a device uses) is InUse. POSIX: an errno value. Any code it does
// not know, 0 included, is Other, never None.
FsFault FaultOfSystemCode(uint32_t code);

// An open directory; kNoDir when there is none.
using DirHandle = std::intptr_t;
constexpr DirHandle kNoDir = -1;

// Opens the directory at an absolute drive path, element by element from the
// drive root, each relative to the one before. Fails with Link when any
// element is a reparse point (checked on the opened handle), Gone when one is
// missing, Denied without access; kNoDir then. Windows: NtCreateFile with
// FILE_OPEN_REPARSE_POINT | FILE_DIRECTORY_FILE. POSIX: openat with
// O_NOFOLLOW | O_DIRECTORY; a mount point counts as a reparse point.
DirHandle OpenWalkDir(const std::wstring& path, FsFault* fault);

// Opens the subdirectory `entry` (as listed in parent) relative to parent.
// Fails with Link when what is there now is a reparse point or another
// directory than the one listed (its id differs from entry.id).
DirHandle OpenSubdir(DirHandle parent, const DirEntry& entry, FsFault* fault);

void CloseDir(DirHandle dir);

// Every entry of the open directory in the order ListDir gives them, "."
// and ".." left out. False when it cannot be read.
bool ListDirAt(DirHandle dir, std::vector<DirEntry>* entries);

// Deletes the file `name` of the open directory: opened relative to it
// without following a link, refused with Link when what is there is a
// reparse point or a directory, read-only cleared on that handle and the file
// deleted (Windows: FileDispositionInfoEx with POSIX semantics and the
// read-only override, else the attributes cleared and FileDispositionInfo).
// When deletion fails the file keeps the attributes it had.
bool DeleteFileAt(DirHandle dir, const std::wstring& name, FsFault* fault);

// Removes the empty subdirectory `name` of the open directory, never a
// reparse point (Link). Its read-only attribute is cleared first and given
// back when removal fails (not empty, in use).
bool RemoveDirAt(DirHandle dir, const std::wstring& name, FsFault* fault);

// Reads a whole file in binary; false when it cannot be opened. This and the
// other whole-file helpers (ReadFileHead, WriteWholeFile) are written once, in
// platform/common/whole_files.cpp.
bool ReadWholeFile(const std::wstring& path, std::string* out);

// SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL): clears read-only, hidden
// and system so that the file can be deleted.
bool SetNormalAttributes(const std::wstring& path);

// DeleteFileW: fails on a read-only file (as Windows does) and on a
// directory. A link is deleted itself, never its target.
bool DeleteFilePath(const std::wstring& path);

// RemoveDirectoryW: succeeds only on an empty directory.
bool RemoveDirectoryPath(const std::wstring& path);

// GetDiskFreeSpaceExW on a drive such as "C:" or "C:\".
bool DiskFreeSpace(const std::wstring& drive, uint64_t* freeToCaller, uint64_t* total,
                   uint64_t* totalFree);

// SHQueryRecycleBinW for all drives: number of items and their total size;
// false when the bin cannot be queried.
bool QueryRecycleBin(uint64_t* items, uint64_t* bytes);

// SHEmptyRecycleBinW for all drives with no confirmation, progress or sound.
// True only when the shell answers S_OK.
bool EmptyRecycleBin();

// Where a Windows path lives on the machine running this build. Windows: the
// path itself. POSIX: the stand-in's mapping (C:\a\b is <root>/c/a/b). Used
// by tests and tools that plant files; the program itself never needs it.
std::filesystem::path HostPath(const std::wstring& path);

// ---- Space map (platform/*/space_*.cpp) -----------------------------------------

// One folder's listing for the space map, reused from folder to folder so
// that a walk of a million files allocates nothing per file.
struct SpaceEntry {
  uint32_t name = 0;     // offset of the UTF-8 name in SpaceListing::names (NUL after it)
  uint32_t nameLen = 0;  // bytes
  uint32_t attrs = 0;    // kAttr* bits; a link to a directory has both directory and reparse bits
  uint64_t size = 0;     // bytes, from the listing; 0 for directories and links
  uint64_t mtime = 0;    // last write, FILETIME units
  uint64_t fileId = 0;   // with links: what is the same file under every name
  uint32_t links = 0;    // names the file has; 0 when the listing does not tell (Windows)
};
struct SpaceListing {
  std::string names;
  std::vector<SpaceEntry> entries;
};

// Lists the folder at the absolute drive path dir, replacing *out's
// content: every entry but "." and "..", in no particular order, sizes and
// times from the listing itself, no call per file (Windows: FindFirstFileExW
// on the long-path form of dir\*, FindExInfoBasic, FIND_FIRST_EX_LARGE_FETCH;
// POSIX: getdents64 on the folder opened without following a link, fstatat
// per entry without following). A reparse point is reported as one
// (kAttrReparsePoint), never entered. False with *fault when the folder
// cannot be listed: Denied (no permission; the stand-in: a folder without its
// owner's read bit, for root too), Gone, Link (dir itself is a link), Other.
bool ListSpaceDir(const std::wstring& dir, SpaceListing* out, FsFault* fault);

// The raw NTFS volume of drive C:, read at byte offsets for the space map's
// reading of its master file table (ntfs/mft.h). Windows: \\.\C: opened
// for reading with FILE_SHARE_READ | FILE_SHARE_WRITE (only an elevated
// process may), FSCTL_GET_NTFS_VOLUME_DATA for its geometry (failing on any
// other file system). The stand-in: the image file <root>/c.ntfs when there
// is one (its geometry from its boot sector), else no NTFS.
enum class VolumeOpen { Ok, Denied, NotNtfs, Failed };
struct VolumeGeometry {
  uint32_t bytesPerCluster = 0;  // 0: not reported
  uint32_t recordBytes = 0;
  uint64_t mftStartLcn = 0;
};
using VolumeHandle = void*;
VolumeOpen OpenSystemVolume(VolumeHandle* out, VolumeGeometry* geometry);
// An image of a volume in a file (tests, the benchmark); null when it
// cannot be opened.
VolumeHandle OpenVolumeImage(const std::filesystem::path& file);
// Reads n bytes at offset, whatever their alignment; false unless all came.
bool ReadVolume(VolumeHandle volume, uint64_t offset, void* buf, size_t n);
void CloseVolume(VolumeHandle volume);

// Moves the file or folder at path to the Recycle Bin, silently, never
// deleting it for good without the system's own warning (Windows:
// IFileOperation with FOFX_RECYCLEONDELETE | FOF_ALLOWUNDO | FOF_NO_UI |
// FOF_WANTNUKEWARNING, else SHFileOperationW with the same flags for a path
// within MAX_PATH). POSIX: renamed into the stand-in's bin C:\$Recycle.Bin,
// where QueryRecycleBin counts it. True only when path is gone afterwards;
// false with *fault (Gone, InUse, Denied, Link, Other) otherwise.
//
// What moves is what path names when the call begins, never what a folder
// swapped in meanwhile would make of it: the folders from the drive root
// down to the item's parent are opened element by element without
// following a reparse point and held until the move is done, and the item
// itself is examined by handle first. A reparse point on the way (a link, a
// junction, a mount point), or an item that is one (for a file: one that
// stands for another name; for a folder: any), fails with Link, nothing
// moved. Windows: the folders are held without FILE_SHARE_DELETE, so that
// nobody can rename or replace them while the shell moves the item by its
// path; the item is not held during the move. POSIX: the item is renamed
// relative to its parent's descriptor (renameat), so a folder renamed on the
// way no longer matters.
bool RecyclePath(const std::wstring& path, FsFault* fault);

// Moves files (not folders) to the Recycle Bin, many in one operation, with
// no UI at all and never deleting one for good: a file the bin cannot take
// (too large, a drive without a bin) stays where it is. Windows:
// IFileOperation with FOFX_RECYCLEONDELETE | FOF_ALLOWUNDO | FOF_NO_UI and a
// progress sink that cancels every deletion the shell would not recycle;
// without IFileOperation (wine), SHFileOperationW of the paths within
// MAX_PATH with FOF_WANTNUKEWARNING. POSIX: one by one, as RecyclePath.
// Pinned as RecyclePath is: the folders on the way of every path are held
// for the whole operation, and each file is examined by handle before: a
// directory, a reparse point, or with ids[i] non-zero a file whose id
// (DirEntry::id) is not ids[i] (another file renamed into its place) stays
// with Link. ids is empty or has one entry per path (0: not known). faults
// gets one entry per path: None when the file is gone from its place
// afterwards, else why it stayed (Gone when it was not there to begin with).
void RecycleFiles(const std::vector<std::wstring>& paths, const std::vector<uint64_t>& ids,
                  std::vector<FsFault>* faults);

// Test seam of RecyclePath and RecycleFiles: called with the path at the
// two moments a swap of a folder on its way matters, Asked when the call
// begins (before anything is opened) and Pinned when the folders on the way
// are held and the item was examined, just before it moves. Null (the
// default) outside tests; set it while no recycle runs.
enum class RecycleMoment { Asked, Pinned };
using RecycleHook = void (*)(RecycleMoment moment, const std::wstring& path);
void SetRecycleHookForTest(RecycleHook hook);

// Opens an Explorer window on the folder holding path, with path selected
// (ILCreateFromPathW, SHOpenFolderAndSelectItems; COM initialised on the
// calling thread for the call). POSIX: there is no Explorer; the request is
// appended as "select <path>\n" to <root>/explorer.log so that a test can
// read it. False when the shell refused.
bool RevealInExplorer(const std::wstring& path);

// ---- Moving folders to another drive (platform/*/move_*.cpp) --------------------

// A file encrypted with EFS (FILE_ATTRIBUTE_ENCRYPTED): its copy on another
// drive could not be read back by the same rules.
constexpr uint32_t kAttrEncrypted = 0x4000;

// A sparse file (FILE_ATTRIBUTE_SPARSE_FILE): only its allocated ranges
// take room on the disk. The stand-in reports a regular file that takes
// fewer blocks than its size as one.
constexpr uint32_t kAttrSparse = 0x200;

// The bytes a file takes on its disk (GetCompressedFileSizeW: for a sparse
// file its allocated ranges). POSIX: st_blocks * 512. False when it cannot
// be read.
bool AllocatedBytes(const std::wstring& path, uint64_t* bytes);

// What a move carries of a folder besides its content: the attributes of
// kFolderStampAttrs (a folder customised by its desktop.ini is read-only or
// system) and its creation and last-write times (FILETIME units).
struct FolderStamp {
  uint32_t attrs = 0;
  uint64_t created = 0;
  uint64_t written = 0;
};
constexpr uint32_t kFolderStampAttrs = kAttrReadOnly | kAttrHidden | kAttrSystem;

// A folder's stamp (GetFileAttributesExW), never through a link. POSIX: the
// read-only bit and the last-write time; there is no creation time (the
// last-write time stands for it).
bool ReadFolderStamp(const std::wstring& path, FolderStamp* stamp);

// Gives the folder at path (never a link) the stamp's attributes and times,
// once nothing more is written into it (writing into a folder changes its
// last-write time): the folder opened with FILE_WRITE_ATTRIBUTES and
// FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT on its long-path
// form, SetFileInformationByHandle(FileBasicInfo) with the creation and
// last-write times and its attributes with those of kFolderStampAttrs
// replaced. POSIX: utimensat of the last-write time (no creation time),
// chmod of the owner's write bit. False with *fault.
bool ApplyFolderStamp(const std::wstring& path, const FolderStamp& stamp, FsFault* fault);

// What a drive is, as the moves judge a target.
enum class DriveKind : uint8_t { Missing, Fixed, Removable, Network, Other };

// GetDriveTypeW and GetVolumeInformationW of the drive "X:\": its kind and
// the file system's name ("NTFS", "FAT32", "exFAT"...), empty when unknown.
// POSIX: a drive is the folder <root>/<letter>; it is Fixed and "NTFS"
// unless the file <root>/<letter>.drive beside it says "<kind> <fs>" (kind
// fixed, removable or network), Missing without the folder.
DriveKind DriveKindOf(const std::wstring& root, std::wstring* fileSystem);

// The letters of the drives present (GetLogicalDrives), "C" first when it is
// there, then in order. POSIX: the one-letter folders under the root.
std::vector<wchar_t> DriveLetters();

// Copies one file to a path that must not exist yet (CopyFileExW with
// COPY_FILE_FAIL_IF_EXISTS, on the long-path forms), keeping its data, its
// last-write time and its attributes (read-only and hidden included). A
// sparse source stays sparse: the copy is made by hand, the target marked
// sparse (FSCTL_SET_SPARSE), its end of file set and only the source's
// allocated ranges (FSCTL_QUERY_ALLOCATED_RANGES) read and written (where
// the ranges cannot be asked for, every range of zeros is left a hole),
// then its times and attributes set as CopyFileExW sets them (alternate
// data streams are not carried on that way).
// progress is called with the bytes copied so far of this file and may
// return false to cancel (a cancelled copy leaves no file behind). Before
// the copy the source is opened for reading without sharing writes, so a
// file another program writes to fails with InUse and is not copied; that
// handle is held while the copy runs. False with *fault otherwise; a partly
// written copy is removed. POSIX: the data ranges (SEEK_DATA, SEEK_HOLE)
// read and written at their offsets, the holes left holes; a drive with a
// capacity file (<letter>.capacity) fails with ENOSPC (Other) once the copy
// would pass its capacity, as a full disk does.
bool CopyFileKeep(const std::wstring& from, const std::wstring& to,
                  const std::function<bool(uint64_t done)>& progress, FsFault* fault);

// Renames a file or folder within its drive, never replacing anything
// (MoveFileExW without flags; renameat2 with RENAME_NOREPLACE).
bool RenamePath(const std::wstring& from, const std::wstring& to, FsFault* fault);

// The reparse data that makes a directory a junction to target (an absolute
// drive path, "D:\x"): IO_REPARSE_TAG_MOUNT_POINT, the data length, then the
// mount-point buffer with the substitute name "\??\D:\x" and the print name
// "D:\x", each NUL-terminated, in UTF-16 little endian. Pure bytes, the same
// in both builds (platform/common/junction_data.cpp); what
// FSCTL_SET_REPARSE_POINT takes.
std::string JunctionReparseData(const std::wstring& target);

// Creates the directory link and makes it a junction to the existing folder
// target (CreateDirectoryW, then the directory opened with
// FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS and
// FSCTL_SET_REPARSE_POINT with JunctionReparseData); the empty directory is
// removed again when that fails. POSIX: a symbolic link to the target's host
// folder, which the stand-in reports as a reparse point.
bool CreateJunction(const std::wstring& link, const std::wstring& target, FsFault* fault);

// The current user's folders that Windows can re-point.
enum class UserFolder : uint8_t { Desktop, Documents, Downloads, Pictures, Videos, Music, Count };

// Where the known folder is now (SHGetKnownFolderPath, KF_FLAG_DONT_VERIFY),
// or with defaultPlace where it is without a move (KF_FLAG_DEFAULT_PATH).
// POSIX: %USERPROFILE%\<English name>, unless the stand-in's store
// <root>/knownfolders/<name> holds another path (UTF-8).
bool UserFolderPath(UserFolder folder, bool defaultPlace, std::wstring* out);

// Re-points the known folder to path for every program that asks Windows
// (IKnownFolder::SetPath with flags 0, what SHSetKnownFolderPath does; COM
// initialised on the calling thread for the call), then tells the shell
// (SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST)). The folder's content
// is not moved. POSIX: written to the store.
bool SetUserFolderPath(UserFolder folder, const std::wstring& path);

// The programs that hold any of the files open (the Restart Manager:
// RmStartSession, RmRegisterResources, RmGetList, RmEndSession from
// rstrtmgr.dll), their names for the user, each once. False when the
// Restart Manager cannot answer (the caller then finds files in use as it
// copies them). POSIX: the lines "<path>\t<program>" of the file
// <root>/rm-holders name the holders.
bool ProgramsHolding(const std::vector<std::wstring>& files, std::vector<std::string>* programs);

// ---- Small files and folders (port file) ---------------------------------------------

// CreateDirectoryW with default security; false when it fails (also when it exists).
bool CreateDir(const std::wstring& path);

// GetTempPathW: the user's temporary folder, with its trailing backslash.
bool TempPath(std::wstring* out);

// Reads at most maxBytes from the start of a file (binary).
bool ReadFileHead(const std::wstring& path, size_t maxBytes, std::string* out);

// Creates or truncates a file and writes the bytes (binary).
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);

// ---- Stored state (settings, records of cleans) -----------------------------------

// The current time as a FILETIME (GetSystemTimeAsFileTime): 100 ns units
// since 1601-01-01 UTC.
uint64_t NowFileTime();

// A FILETIME in local time as "YYYYMMDD-HHMMSS" (FileTimeToSystemTime,
// SystemTimeToTzSpecificLocalTime; POSIX localtime_r); empty on failure.
std::string LocalStamp(uint64_t fileTime);

// The id of the running process (GetCurrentProcessId, getpid).
uint32_t ProcessId();

// The machine's one clean: at most one process at a time holds it, and a
// process that ends (or is killed) lets it go. Windows: the named semaphore
// Global\Tamsel.Clean of count 1 (every session, so an elevated and a normal
// instance, another user's and a scheduled clean in session 0 are kept
// apart; a semaphore, not a mutex, because the clean is claimed on one
// thread and ends on another); one that exists but may not be opened
// (another user's, or an elevated process's) is held by someone. The
// stand-in: flock on the file clean.lock beside the emulated drives. False
// when another process holds it. One holder per process: the caller keeps
// the claim to itself (the engine's task claim).
bool TryHoldMachineClean();
// Lets go of what TryHoldMachineClean took; from any thread.
void ReleaseMachineClean();

// Creates or truncates the file, writes the bytes and flushes them to the
// disk (FlushFileBuffers, fsync) before it closes it; false on any failure.
bool WriteFileDurable(const std::wstring& path, const std::string& bytes);

// Renames from to to in one step, replacing a file at to, written through
// to the disk before it returns (MoveFileExW with MOVEFILE_REPLACE_EXISTING
// | MOVEFILE_WRITE_THROUGH; rename). A reader sees the old or the new file
// whole, never a mix.
bool ReplaceFileWith(const std::wstring& from, const std::wstring& to);

// A file open for writing; kNoFile when there is none.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// Creates a new file for writing, failing when one of that name exists
// (CREATE_NEW; O_CREAT | O_EXCL).
FileHandle CreateNewFile(const std::wstring& path);

// Writes all bytes at the file's end, unbuffered by the program (WriteFile;
// write), so that what was written survives the process being killed.
bool AppendToFile(FileHandle f, const std::string& bytes);

// Writes the bytes at offset without moving the end (positioned WriteFile;
// pwrite).
bool WriteFileAtOffset(FileHandle f, uint64_t offset, const std::string& bytes);

// Flushes what was written to the disk (FlushFileBuffers; fsync).
bool FlushFile(FileHandle f);

void CloseFile(FileHandle f);

// Ends the whole process at once with this exit code; nothing is cleaned up.
[[noreturn]] void ExitProcessNow(uint32_t code);

// ---- Desktop shell (platform/*/desktop_*.cpp) ------------------------------------------

// CoInitializeEx as a single-threaded apartment for the calling thread; the
// HRESULT. POSIX: 0 (S_OK), there is no COM.
int32_t ComInitThread();
void ComUninitThread();

enum class RegRoot { CurrentUser, LocalMachine, ClassesRoot };
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;

// Reads one registry value, opened read-only (RegOpenKeyExW with KEY_READ,
// RegQueryValueExW) into a zero-filled buffer of bufChars wide characters
// whose capacity is given as capacityBytes; an empty value name reads the
// key's default value. The key is closed again at once. False when the key
// or the value cannot be read; *type receives the value's type (kRegSz...).
// POSIX: a registry that holds only what a test planted: the value is the
// UTF-8 text of the file <root>/registry/<HKCU|HKLM|HKCR>/<key, backslashes
// as slashes>/<value name, "@" for the default>, of type kRegSz.
bool RegReadText(RegRoot root, const std::wstring& key, const std::wstring& value, size_t bufChars,
                 size_t capacityBytes, std::wstring* text, uint32_t* type);

// ShellExecuteW(no window, verb, file, params, no folder, SW_SHOWNORMAL). The
// launch is accepted when the result is greater than 32; otherwise
// *lastError receives the thread's last error (1223 when the user declined
// the UAC prompt). POSIX: "open" of an http(s) address runs xdg-open from
// PATH (accepted: 42); anything else is refused with 2 (file not found).
intptr_t ShellExecuteOpen(const std::wstring& verb, const std::wstring& file,
                          const std::wstring& params, uint32_t* lastError);

// Saves a shell link (CLSID_ShellLink, IShellLinkW, IPersistFile::Save) at
// lnkPath pointing to target, overwriting a file of that name. COM must be
// initialised on the calling thread. POSIX: a small text file standing in
// for the link.
bool SaveShellLink(const std::wstring& lnkPath, const std::wstring& target,
                   const std::wstring& workDir, const std::wstring& description,
                   const std::wstring& iconPath, int iconIndex);

// The executable names of all running processes (tool-help snapshot). False
// when the snapshot cannot be taken. POSIX: the names under /proc.
bool ProcessExeNames(std::vector<std::wstring>* names);

// CreateProcessW of a command line without waiting (handles closed at once);
// hidden adds CREATE_NO_WINDOW. POSIX: refused (false), nothing Windows runs.
bool StartProcess(const std::wstring& cmdline, bool hidden);

// GetUserNameW.
bool CurrentUserName(std::wstring* name);

// RtlGetVersion from the loaded ntdll. POSIX: the version the file
// <root>/windows-version gives ("10.0.19045"); false without one.
bool OsVersion(uint32_t* major, uint32_t* minor, uint32_t* build);

// ---- Scheduled tasks (platform/*/tasks_*.cpp) ----------------------------------------

// The definition of the scheduled task `name` (Folder\Task) of the
// current user, as the Task Scheduler's XML in UTF-8; false when there is no
// such task or it cannot be read. Windows: ITaskService::GetFolder, GetTask,
// get_Xml. POSIX: the stand-in's task store, <root>/tasks/Folder/Task.
bool ReadScheduledTaskXml(const std::wstring& name, std::string* xml);

// Registers the scheduled task `name` (Folder\Task) of the current user,
// creating or replacing it, from its definition in memory (the Task
// Scheduler's XML, UTF-8): no file lies between the program and the Task
// Scheduler for anyone to replace. It runs with the token of the user who is
// logged on. Windows: ITaskService, the folder created when missing,
// ITaskFolder::RegisterTask (TASK_CREATE_OR_UPDATE,
// TASK_LOGON_INTERACTIVE_TOKEN). POSIX: written to the stand-in's task store
// as UTF-16. False with the system's error code in *code.
bool RegisterScheduledTask(const std::wstring& name, const std::string& xml, uint32_t* code);

// Deletes the scheduled task `name`; true when it is gone, also when there
// was none. False with the system's error code in *code.
bool DeleteScheduledTask(const std::wstring& name, uint32_t* code);

// ---- HTTPS (platform/*/https_*.cpp) -------------------------------------------------------

// Where a request without an answer failed.
enum class HttpsStage {
  Answered,       // an answer arrived: status (0 if unreadable) and body are set
  InitFailed,     // WinHttpOpen failed
  ConnectFailed,  // WinHttpConnect failed
  OpenFailed,     // WinHttpOpenRequest failed
  SendFailed,     // sending or receiving failed; error holds the WinHTTP error code
};

struct HttpsResult {
  HttpsStage stage = HttpsStage::InitFailed;
  int status = 0;      // HTTP status code when answered
  std::string body;    // received body, cut at the first chunk boundary past maxBody
  uint32_t error = 0;  // WinHTTP error code (12002 time-out, 12007 name not resolved,
                       // 12029 cannot connect, 12175 secure failure, ...)
};

// One synchronous HTTPS request with WinHTTP: user agent "nem-web-shell/1.0",
// default proxy, time-outs resolve 8 s, connect 8 s, send 12 s, receive 12 s,
// header "Content-Type: application/json; charset=utf-8", TLS with the
// system's certificate checks, the body sent in one call. POSIX: libcurl
// with the same time-outs, its failures mapped onto the WinHTTP codes.
HttpsResult HttpsRequest(const std::wstring& host, int port, const std::wstring& path,
                         const std::string& method, const std::string& body, size_t maxBody);

// ---- Sockets -------------------------------------------------------------------
//
// Written once in platform/common/sockets.cpp; start-up, the exclusive bind,
// the time-outs, the gathered send and the address list are the backends'.

using Socket = std::uintptr_t;
constexpr Socket kBadSocket = ~Socket(0);

// WSAStartup 2.2. POSIX: ignores SIGPIPE so that a closed peer cannot end us.
bool NetStartup();

// A new IPv4 stream socket, or kBadSocket.
Socket SockTcp();

// SO_EXCLUSIVEADDRUSE on Windows, so that nobody else can bind our port while
// we hold it. POSIX binds are exclusive already without SO_REUSEADDR.
void SockSetExclusive(Socket s);

// Binds to 127.0.0.1, or to 0.0.0.0 when anyAddress is set.
bool SockBind(Socket s, bool anyAddress, int port);

// The locally bound port, or 0 when it cannot be read.
int SockLocalPort(Socket s);

// The local IPv4 address of a connected socket in dotted form, or empty.
std::string SockLocalAddress(Socket s);

// The IPv4 addresses of this machine other than loopback (127.0.0.0/8), in
// dotted form, each once, in the order the system gives them (Windows: the
// unicast addresses of the adapters that are up, GetAdaptersAddresses from
// System32's iphlpapi.dll; POSIX: getifaddrs).
// Empty when there are none or they cannot be read.
std::vector<std::string> LocalIPv4Addresses();

bool SockListen(Socket s, int backlog);

// Accepts one connection; kBadSocket on failure.
Socket SockAccept(Socket s);

// Receive and send time-outs in milliseconds.
void SockSetTimeouts(Socket s, int ms);

// Connects to 127.0.0.1:port.
bool SockConnectLoopback(Socket s, int port);

// recv/send: bytes moved, 0 when the peer closed, negative on error or time-out.
int SockRecv(Socket s, char* buf, int len);
int SockSend(Socket s, const char* buf, int len);

// Sends two buffers one after the other in a single call (WSASend,
// sendmsg), so that a response's head and body leave together without being
// copied into one buffer first. Bytes moved, negative on error or time-out.
int SockSendTwo(Socket s, const char* first, int firstLen, const char* second, int secondLen);

// Ends our sending side (the peer reads the end of the stream) while we may
// still receive.
void SockShutdownSend(Socket s);

void SockClose(Socket s);

}  // namespace tov
