// Test support: small file trees on drive C: for the engine's tests.
//
// Everything is created with std::filesystem on tov::HostPath(winPath), so a
// test plants files where the program looks for them: on Windows (and under
// wine) the path itself, on the POSIX stand-in <root>/c/... . The engine then
// sees the same files through the platform seam.
//
// Deletion is what the engine under test does, so every cleaning test takes a
// listing of its whole fixture tree before and after and compares the two:
// exactly the expected entries may disappear, nothing may change or appear.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace testsupport {

// Makes sure drive C exists (the native build's stand-in starts with none).
void EnsureDriveC();

// C:\tamsel-t\<name>, removed with everything inside and created again empty.
std::wstring FreshFixture(const std::string& name);

// a + "\" + b.
std::wstring Join(const std::wstring& a, const std::wstring& b);

// The Windows path without its last element (C:\a\b gives C:\a).
std::wstring Parent(const std::wstring& path);

// Creates a folder and its parents.
bool MakeDir(const std::wstring& winPath);

// Plants a file of `size` bytes (sparse where the file system allows),
// creating its parents. With mtime non-zero the file's last-write time is set
// to that FILETIME value (100 ns units since 1601) and checked through the
// seam. readOnly clears the write permission (the read-only attribute).
bool PlantFile(const std::wstring& winPath, uint64_t size, bool readOnly = false,
               uint64_t mtime = 0);

// Plants a directory link at `link` that points at the folder `target`.
// Under wine, whose Windows side cannot make links, a Linux symbolic link is
// made by running the host's ln (wine starts Linux programs too). False,
// with the reason in *why, when that fails too; the caller then skips its
// test.
bool PlantDirLink(const std::wstring& link, const std::wstring& target, std::string* why);

// Puts a directory link at `path` in place of what is there (the old entry is
// moved aside to path + ".moved"), as an attacker would between a walk's
// listing and its descent. False with the reason when links cannot be made.
bool SwapForDirLink(const std::wstring& path, const std::wstring& target, std::string* why);

// Plants a file that the program must see as a cloud placeholder (not on
// the disk: kAttrNotLocal bits). The stand-in marks it with the sticky bit;
// Windows takes FILE_ATTRIBUTE_OFFLINE. False with the reason where the
// system keeps no such attribute (wine).
bool PlantPlaceholder(const std::wstring& winPath, uint64_t size, std::string* why);

// Makes a folder read-only (clears the owner's write bit on the stand-in,
// sets FILE_ATTRIBUTE_READONLY on Windows) and says whether the program now
// sees it so.
bool MakeReadOnlyDir(const std::wstring& winPath);

// Writes bytes into an existing file at offset, leaving the rest of it as
// it is (a hole stays a hole). False when it could not be written.
bool WriteAt(const std::wstring& winPath, uint64_t offset, const std::string& bytes);

// The bytes of a file at offset, "" when they cannot be read.
std::string ReadAt(const std::wstring& winPath, uint64_t offset, size_t length);

// What the system does with the calls that keep a file sparse, for a
// test's note: on a new file beside winPath (removed again), the result of
// FSCTL_SET_SPARSE, whether the file then reports FILE_ATTRIBUTE_SPARSE_FILE,
// and the result of FSCTL_QUERY_ALLOCATED_RANGES on it (each "ok" or
// "error N"). Empty on the stand-in.
std::string SparseCallsProbe(const std::wstring& winPath);

// Gives a folder attributes (kAttrReadOnly, kAttrHidden, kAttrSystem) and a
// last-write time (FILETIME units), as a folder customised by its
// desktop.ini has them: Windows sets them on the folder opened with
// FILE_FLAG_BACKUP_SEMANTICS; the stand-in keeps the read-only bit (the
// owner's write bit) and the time only. False when a call failed.
bool StampDir(const std::wstring& winPath, uint32_t attrs, uint64_t mtime);

// Holds a file open the way a running program does, so that it cannot be
// deleted (Windows: opened without FILE_SHARE_DELETE; the stand-in: an
// exclusive flock, its emulation of "in use"). Released by the destructor.
class HeldOpen {
 public:
  explicit HeldOpen(const std::wstring& winPath);
  ~HeldOpen();
  bool ok() const { return handle_ != -1; }
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;

 private:
  intptr_t handle_ = -1;
};

// The stand-in only: from now on no file of this process may grow beyond
// bytes (RLIMIT_FSIZE, with SIGXFSZ ignored, so that a write past it fails
// as on a full disk); 0 lifts the limit again. False (and nothing changed)
// where it cannot be done, on Windows.
bool LimitFileSizes(uint64_t bytes);

// Whether the path exists (a link counts by itself, never by its target).
bool Exists(const std::wstring& winPath);

// Removes a tree: write permissions restored first so read-only files go,
// links removed themselves and never followed.
void RemoveTree(const std::wstring& winPath);

// Every entry below winPath, keyed by its relative name with forward slashes:
// "dir", "link", or "file <size>" plus " ro" for a read-only file. Links are
// listed, never followed.
using Listing = std::map<std::string, std::string>;
Listing ListTree(const std::wstring& winPath);

// The names that are in `before` but not in `after`. Empty when nothing went.
std::set<std::string> Gone(const Listing& before, const Listing& after);

// Entries of `after` that are new or changed compared with `before`.
std::set<std::string> AddedOrChanged(const Listing& before, const Listing& after);

}  // namespace testsupport
