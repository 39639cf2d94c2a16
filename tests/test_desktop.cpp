// Desktop integration: browser choice and launch, shortcuts, the shell
// information document and the Explorer helpers.
//
// The same cases run twice: natively over the POSIX stand-in (registry values
// are files under $TAMSEL_ROOT/registry, the shell opener is xdg-open from
// PATH) and as a Windows program under wine (registry values set with
// reg.exe, shortcuts saved by the real shell-link objects, addresses opened by
// winebrowser). Every plant is undone when its test ends, so the cases do not
// depend on their order; each also runs in a process of its own under ctest.
//
// Some cases run a copy of this very executable as a child process (to be
// "on the desktop", or to stand in for explorer.exe). The child's parts are
// plain functions that main runs when the copy is started with one of the
// child switches (kChildOnDesktop, kChildExplorer); they are no tests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "desktop/shell_win.h"
#include "platform/platform.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Each test program gets an emulated machine of its own: support/fixture.cpp.

constexpr bool kWindows =
#ifdef _WIN32
    true;
#else
    false;
#endif

bool UnderWine() {
  return kWindows && std::getenv("WINELOADER") != nullptr;
}

void SetEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
  // _putenv also sets the process environment that child processes inherit;
  // "NAME=" removes the variable.
  _putenv((name + "=" + value).c_str());
#else
  if (value.empty())
    unsetenv(name.c_str());
  else
    setenv(name.c_str(), value.c_str(), 1);
#endif
}

std::string GetEnv(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string U(const std::wstring& w) {
  return tov::WideToUtf8(w);
}
std::wstring W(const std::string& s) {
  return tov::Utf8ToWide(s);
}

// The switches that start a copy of this program as a child, each followed
// by the path of the file the child writes for its parent.
constexpr char kChildOnDesktop[] = "--child-on-desktop";
constexpr char kChildExplorer[] = "--child-explorer";

std::wstring Expand(const std::wstring& s) {
  std::wstring out;
  EXPECT_TRUE(tov::ExpandEnvironmentText(s, &out)) << U(s);
  return out;
}

// JSON string escaping written independently of the program's escaper.
std::string Esc(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string NoCr(std::string s) {
  std::string out;
  for (char c : s)
    if (c != '\r') out += c;
  return out;
}

// One command-line argument, quoted the way CommandLineToArgvW and the C
// runtime read it back.
std::wstring Quote(const std::wstring& arg) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

std::string ReadHost(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A name no other run uses at the same time.
std::string UniqueTag() {
  std::random_device rd;
  auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return std::to_string(static_cast<unsigned long long>(now) % 1000000007ULL) + "-" +
         std::to_string(rd() % 100000);
}

const wchar_t kHttpsChoice[] =
    L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\https\\UserChoice";
const wchar_t kHttpChoice[] =
    L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\http\\UserChoice";
const wchar_t kHttpsCommand[] = L"https\\shell\\open\\command";
const wchar_t kHttpCommand[] = L"http\\shell\\open\\command";
const wchar_t kAppPaths[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
const wchar_t kShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

const wchar_t kEdgeX86[] = L"%ProgramFiles(x86)%\\Microsoft\\Edge\\Application\\msedge.exe";
const wchar_t kEdge[] = L"%ProgramFiles%\\Microsoft\\Edge\\Application\\msedge.exe";
const wchar_t kChrome[] = L"%ProgramFiles%\\Google\\Chrome\\Application\\chrome.exe";
const wchar_t kChromeX86[] = L"%ProgramFiles(x86)%\\Google\\Chrome\\Application\\chrome.exe";
const wchar_t kChromeLocal[] = L"%LOCALAPPDATA%\\Google\\Chrome\\Application\\chrome.exe";

const char kShortcutFailed[] = "创建快捷方式失败（可能被安全软件拦截，或桌面/开始菜单目录不可写）";

// Base of every case: plants files, folders and registry values and undoes
// them, last first, when the test ends.
class Plants : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) (*it)();
    undo_.clear();
  }

  void Undo(std::function<void()> f) { undo_.push_back(std::move(f)); }

  // Creates the host folder and its missing parents; the ones it created
  // are removed again at the end with whatever the case put inside.
  void HostDir(const fs::path& dir) {
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path p = dir; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
      missing.push_back(p);
      if (p == p.parent_path()) break;
    }
    fs::create_directories(dir, ec);
    ASSERT_TRUE(fs::is_directory(dir, ec)) << dir.string();
    // Only folders this case made: nothing that was there before goes.
    Undo([missing] {
      std::error_code e;
      for (const fs::path& p : missing) fs::remove_all(p, e);
    });
  }

  void HostFile(const fs::path& file, const std::string& bytes) {
    HostDir(file.parent_path());
    std::error_code ec;
    bool existed = fs::exists(file, ec);
    ASSERT_FALSE(existed) << "already there: " << file.string();
    {
      std::ofstream out(file, std::ios::binary);
      out << bytes;
      ASSERT_TRUE(out.good()) << file.string();
    }
    Undo([file] {
      std::error_code e;
      fs::remove(file, e);
    });
  }

  void Dir(const std::wstring& winPath) { HostDir(tov::HostPath(winPath)); }
  void File(const std::wstring& winPath, const std::string& bytes = "") {
    HostFile(tov::HostPath(winPath), bytes);
  }
  void CopyFile(const std::wstring& from, const std::wstring& to) {
    HostFile(tov::HostPath(to), ReadHost(tov::HostPath(from)));
  }
  // Removes a file or folder that a case creates through the program.
  void RemoveAtEnd(const std::wstring& winPath) {
    fs::path p = tov::HostPath(winPath);
    Undo([p] {
      std::error_code e;
      fs::remove_all(p, e);
    });
  }

  // ---- Registry ----

  static const wchar_t* RootName(tov::RegRoot root) {
    switch (root) {
      case tov::RegRoot::CurrentUser:
        return L"HKCU";
      case tov::RegRoot::LocalMachine:
        return L"HKLM";
      case tov::RegRoot::ClassesRoot:
        return L"HKCR";
    }
    return L"HKCU";
  }

  static uint32_t RegExe(const std::wstring& args) {
    uint32_t code = 1;
    if (!tov::RunHiddenAndWait(L"reg.exe " + args, 30000, &code)) return 9999;
    return code;
  }

  static bool KeyExists(tov::RegRoot root, const std::wstring& key) {
    return RegExe(L"query " + Quote(std::wstring(RootName(root)) + L"\\" + key)) == 0;
  }

  // Sets a string value; an empty value name is the key's default value.
  void Reg(tov::RegRoot root, const std::wstring& key, const std::wstring& value,
           const std::wstring& data, uint32_t type = tov::kRegSz) {
    if (!kWindows) {
      std::string rootDir = GetEnv("TAMSEL_ROOT");
      ASSERT_FALSE(rootDir.empty());
      std::string k = U(key);
      for (char& c : k)
        if (c == '\\') c = '/';
      fs::path file = fs::path(rootDir) / "registry" / U(RootName(root)) / k /
                      (value.empty() ? std::string("@") : U(value));
      HostFile(file, U(data));
      return;
    }
    // The topmost key that does not exist yet goes again with everything
    // below it; a value that existed gets its old data back.
    std::wstring created;
    std::wstring path;
    size_t start = 0;
    while (start <= key.size()) {
      size_t end = key.find(L'\\', start);
      if (end == std::wstring::npos) end = key.size();
      path = key.substr(0, end);
      if (!KeyExists(root, path)) {
        created = path;
        break;
      }
      start = end + 1;
    }
    const std::wstring full = std::wstring(RootName(root)) + L"\\" + key;
    const std::wstring valueArg = value.empty() ? L" /ve" : L" /v " + Quote(value);
    if (!created.empty()) {
      std::wstring top = std::wstring(RootName(root)) + L"\\" + created;
      Undo([top] { RegExe(L"delete " + Quote(top) + L" /f"); });
    } else {
      std::wstring old;
      uint32_t oldType = 0;
      if (tov::RegReadText(root, key, value, 8192, 16382, &old, &oldType) &&
          (oldType == tov::kRegSz || oldType == tov::kRegExpandSz)) {
        Undo([full, valueArg, old, oldType] {
          RegExe(L"add " + Quote(full) + valueArg +
                 (oldType == tov::kRegExpandSz ? L" /t REG_EXPAND_SZ" : L" /t REG_SZ") + L" /d " +
                 Quote(old) + L" /f");
        });
      } else {
        Undo([full, valueArg] { RegExe(L"delete " + Quote(full) + valueArg + L" /f"); });
      }
    }
    ASSERT_EQ(RegExe(L"add " + Quote(full) + valueArg +
                     (type == tov::kRegExpandSz ? L" /t REG_EXPAND_SZ" : L" /t REG_SZ") + L" /d " +
                     Quote(data) + L" /f"),
              0u)
        << U(full);
  }

  // Wine keeps the resolved shell folders in "Shell Folders" as it reads
  // them; once the settings are back, reading again puts the cache back.
  void RefreshShellFoldersAtEnd() {
    Undo([] {
      tov::KnownFolder(16);
      tov::KnownFolder(2);
    });
  }

  // Removes a string value for the rest of the case. A wine prefix starts
  // with the user choices "http" and "https" and with open commands that
  // name winebrowser; the stand-in's registry starts empty.
  void RegRemove(tov::RegRoot root, const std::wstring& key, const std::wstring& value) {
    std::wstring old;
    uint32_t oldType = 0;
    if (!tov::RegReadText(root, key, value, 8192, 16382, &old, &oldType)) return;
    ASSERT_TRUE(kWindows) << "the stand-in's registry holds only this case's plants";
    ASSERT_TRUE(oldType == tov::kRegSz || oldType == tov::kRegExpandSz);
    const std::wstring full = std::wstring(RootName(root)) + L"\\" + key;
    const std::wstring valueArg = value.empty() ? L" /ve" : L" /v " + Quote(value);
    Undo([full, valueArg, old, oldType] {
      RegExe(L"add " + Quote(full) + valueArg +
             (oldType == tov::kRegExpandSz ? L" /t REG_EXPAND_SZ" : L" /t REG_SZ") + L" /d " +
             Quote(old) + L" /f");
    });
    ASSERT_EQ(RegExe(L"delete " + Quote(full) + valueArg + L" /f"), 0u) << U(full);
  }

  // ---- The shell's address opener ----

  // Makes every address the shell opens land in a file instead of a browser:
  // natively an xdg-open script first on PATH, under wine the command
  // winebrowser runs (HKCU\Software\Wine\WineBrowser, Browsers). Returns the
  // file's host path.
  fs::path FakeOpener() {
    const std::string tag = UniqueTag();
    if (!kWindows) {
      fs::path dir = fs::temp_directory_path() / ("tamsel-desktop-" + tag);
      fs::path out = dir / "opened.txt";
      HostFile(dir / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + out.string() + "'\n");
      fs::permissions(dir / "xdg-open", fs::perms::owner_all | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_read |
                                            fs::perms::others_exec);
      std::string oldPath = GetEnv("PATH");
      SetEnv("PATH", dir.string() + ":" + oldPath);
      Undo([oldPath] { SetEnv("PATH", oldPath); });
      Undo([out] {
        std::error_code e;
        fs::remove(out, e);
      });
      return out;
    }
    if (!UnderWine()) return fs::path();
    // Drive Z: is the Linux root; the script runs on the Linux side.
    const std::string unixDir = "/tmp/tamsel-desktop-" + tag;
    const std::wstring winDir = L"Z:" + W(unixDir);
    std::wstring script = winDir + L"\\opener.sh";
    for (wchar_t& c : script)
      if (c == L'/') c = L'\\';
    File(script, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + unixDir + "/opened.txt'\n");
    fs::path out = fs::path(script).parent_path() / "opened.txt";
    Undo([out] {
      std::error_code e;
      fs::remove(out, e);
    });
    Reg(tov::RegRoot::CurrentUser, L"Software\\Wine\\WineBrowser", L"Browsers",
        W("/bin/sh " + unixDir + "/opener.sh"));
    return out;
  }

  // Waits until the opener wrote something, at most 20 s.
  static std::string WaitOpened(const fs::path& out) {
    for (int i = 0; i < 200; ++i) {
      std::string s = NoCr(ReadHost(out));
      if (!s.empty() && s.back() == '\n') return s;
      std::this_thread::sleep_for(100ms);
    }
    return NoCr(ReadHost(out));
  }

 private:
  std::vector<std::function<void()>> undo_;
};

// What the shell gave the program for the desktop and the Start menu.
std::wstring Desktop() {
  return tov::KnownFolder(16);
}
std::wstring Programs() {
  return tov::KnownFolder(2);
}

// ---- DefaultBrowserIsIE --------------------------------------------------------------

class DesktopBrowserIE : public Plants {};

TEST_F(DesktopBrowserIE, HttpsUserChoiceOfInternetExplorer) {
  Reg(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId", L"IE.HTTPS");
  EXPECT_TRUE(tov::DefaultBrowserIsIE());
}

TEST_F(DesktopBrowserIE, HttpChoiceDecidesWhenHttpsHasNoneAnyCase) {
  RegRemove(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId");
  Reg(tov::RegRoot::CurrentUser, kHttpChoice, L"ProgId", L"iE.hTTP");
  EXPECT_TRUE(tov::DefaultBrowserIsIE());
}

TEST_F(DesktopBrowserIE, EmptyHttpsChoiceIsPassedOver) {
  Reg(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId", L"");
  Reg(tov::RegRoot::CurrentUser, kHttpChoice, L"ProgId", L"IE.HTTP");
  EXPECT_TRUE(tov::DefaultBrowserIsIE());
}

TEST_F(DesktopBrowserIE, TwoCharacterProgIdIsNotInternetExplorer) {
  Reg(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId", L"IE");
  // The choice decides: the open command that names Internet Explorer is
  // never consulted.
  Reg(tov::RegRoot::ClassesRoot, kHttpsCommand, L"",
      L"\"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE\" %1");
  EXPECT_FALSE(tov::DefaultBrowserIsIE());
}

TEST_F(DesktopBrowserIE, FirstSchemeWithAChoiceDecides) {
  Reg(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId", L"ChromeHTML");
  Reg(tov::RegRoot::CurrentUser, kHttpChoice, L"ProgId", L"IE.HTTP");
  EXPECT_FALSE(tov::DefaultBrowserIsIE());
}

TEST_F(DesktopBrowserIE, OpenCommandNamingIexploreInCapitals) {
  RegRemove(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId");
  RegRemove(tov::RegRoot::CurrentUser, kHttpChoice, L"ProgId");
  Reg(tov::RegRoot::ClassesRoot, kHttpsCommand, L"",
      L"\"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE\" -nohome");
  EXPECT_TRUE(tov::DefaultBrowserIsIE());
}

TEST_F(DesktopBrowserIE, HttpsCommandDecidesBeforeHttpCommand) {
  RegRemove(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId");
  RegRemove(tov::RegRoot::CurrentUser, kHttpChoice, L"ProgId");
  Reg(tov::RegRoot::ClassesRoot, kHttpsCommand, L"", L"\"C:\\Apps\\other.exe\" \"%1\"");
  Reg(tov::RegRoot::ClassesRoot, kHttpCommand, L"",
      L"\"C:\\Program Files\\Internet Explorer\\iexplore.exe\" %1");
  EXPECT_FALSE(tov::DefaultBrowserIsIE());
}

TEST_F(DesktopBrowserIE, HttpCommandWhenHttpsHasNone) {
  RegRemove(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId");
  RegRemove(tov::RegRoot::CurrentUser, kHttpChoice, L"ProgId");
  RegRemove(tov::RegRoot::ClassesRoot, kHttpsCommand, L"");
  Reg(tov::RegRoot::ClassesRoot, kHttpCommand, L"",
      L"\"C:\\Program Files\\Internet Explorer\\iexplore.exe\" %1");
  EXPECT_TRUE(tov::DefaultBrowserIsIE());
}

TEST_F(DesktopBrowserIE, NothingPlantedIsNotInternetExplorer) {
  EXPECT_FALSE(tov::DefaultBrowserIsIE());
}

// ---- FindModernBrowser --------------------------------------------------------------

class DesktopModernBrowser : public Plants {};

TEST_F(DesktopModernBrowser, NoneInstalled) {
  EXPECT_EQ(U(tov::FindModernBrowser()), "");
}

TEST_F(DesktopModernBrowser, CandidatesAreTriedInOrder) {
  // Planted from the last candidate to the first: each new plant must take
  // over from the previous one.
  const wchar_t* order[] = {kChromeLocal, kChromeX86, kChrome, kEdge, kEdgeX86};
  for (const wchar_t* cand : order) {
    std::wstring path = Expand(cand);
    File(path);
    EXPECT_EQ(U(tov::FindModernBrowser()), U(path)) << "after planting " << U(cand);
  }
  // The 32-bit program folder's Edge is the first choice: it names the
  // folder with "(x86)".
  EXPECT_NE(U(tov::FindModernBrowser()).find("Program Files (x86)\\Microsoft\\Edge"),
            std::string::npos);
}

TEST_F(DesktopModernBrowser, AFolderNamedLikeTheBrowserIsSkipped) {
  Dir(Expand(kEdgeX86));
  std::wstring edge = Expand(kEdge);
  File(edge);
  EXPECT_EQ(U(tov::FindModernBrowser()), U(edge));
}

TEST_F(DesktopModernBrowser, AppPathsValueIsUsedAsStored) {
  const std::wstring edge = L"C:\\tamsel-t\\browsers\\edge\\msedge.exe";
  const std::wstring chrome = L"C:\\tamsel-t\\browsers\\chrome\\chrome.exe";
  File(edge);
  File(chrome);
  // Quoted: the value names no existing file, the entry is skipped.
  Reg(tov::RegRoot::LocalMachine, std::wstring(kAppPaths) + L"msedge.exe", L"",
      L"\"" + edge + L"\"");
  EXPECT_EQ(U(tov::FindModernBrowser()), "");
  Reg(tov::RegRoot::LocalMachine, std::wstring(kAppPaths) + L"chrome.exe", L"", chrome);
  EXPECT_EQ(U(tov::FindModernBrowser()), U(chrome));
}

TEST_F(DesktopModernBrowser, AppPathsComeAfterTheFolders) {
  const std::wstring edge = L"C:\\tamsel-t\\browsers\\edge\\msedge.exe";
  File(edge);
  Reg(tov::RegRoot::LocalMachine, std::wstring(kAppPaths) + L"msedge.exe", L"", edge);
  EXPECT_EQ(U(tov::FindModernBrowser()), U(edge));
  std::wstring local = Expand(kChromeLocal);
  File(local);
  EXPECT_EQ(U(tov::FindModernBrowser()), U(local));
}

TEST_F(DesktopModernBrowser, AppPathsNamingAMissingFile) {
  Reg(tov::RegRoot::LocalMachine, std::wstring(kAppPaths) + L"msedge.exe", L"",
      L"C:\\tamsel-t\\browsers\\nowhere\\msedge.exe");
  EXPECT_EQ(U(tov::FindModernBrowser()), "");
}

// ---- OpenBrowserUrl ------------------------------------------------------------------

class DesktopOpenUrl : public Plants {
 protected:
  // Runs OpenBrowserUrl and returns what it printed, carriage returns
  // removed (a Windows program writes "\n" as "\r\n").
  std::string Open(const std::string& url, bool* result) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    *result = tov::OpenBrowserUrl(url);
    return NoCr(testing::internal::GetCapturedStdout());
  }

  // A modern browser that really opens what it is given: under wine a copy
  // of winebrowser (which hands the address to the fake opener); natively
  // an empty file, since the stand-in runs no Windows programs.
  std::wstring PlantEdge() {
    std::wstring edge = Expand(kEdgeX86);
    if (kWindows)
      CopyFile(Expand(L"%SystemRoot%\\system32\\winebrowser.exe"), edge);
    else
      File(edge);
    return edge;
  }

  // Makes the shell's own launch of an address fail: the classes' open
  // commands name a program that does not exist. Natively the same happens
  // when no xdg-open is on PATH.
  void BreakShellOpen() {
    if (kWindows) {
      Reg(tov::RegRoot::ClassesRoot, kHttpsCommand, L"",
          L"\"C:\\tamsel-missing\\nothing.exe\" \"%1\"");
      Reg(tov::RegRoot::ClassesRoot, kHttpCommand, L"",
          L"\"C:\\tamsel-missing\\nothing.exe\" \"%1\"");
    } else {
      fs::path empty = fs::temp_directory_path() / ("tamsel-desktop-empty-" + UniqueTag());
      HostDir(empty);
      std::string oldPath = GetEnv("PATH");
      SetEnv("PATH", empty.string());
      Undo([oldPath] { SetEnv("PATH", oldPath); });
    }
  }

  bool CanRun() { return !kWindows || UnderWine(); }
};

TEST_F(DesktopOpenUrl, DefaultHandlerOpensSilently) {
  if (!CanRun()) GTEST_SKIP() << "needs wine's browser hand-over";
  fs::path opened = FakeOpener();
  bool ok = false;
  std::string printed = Open("http://127.0.0.1:4321/", &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(WaitOpened(opened), "http://127.0.0.1:4321/\n");
}

TEST_F(DesktopOpenUrl, TheTokenInTheFragmentReachesTheBrowserIntact) {
  // The program opens its page as http://127.0.0.1:PORT/#token=SECRET; a
  // launcher that dropped or escaped the fragment would leave the page
  // without its token.
  if (!CanRun()) GTEST_SKIP() << "needs wine's browser hand-over";
  fs::path opened = FakeOpener();
  bool ok = false;
  const std::string url = "http://127.0.0.1:4329/#token=0123456789abcdef0123456789abcdef";
  std::string printed = Open(url, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(WaitOpened(opened), url + "\n");
}

TEST_F(DesktopOpenUrl, InternetExplorerWithoutModernBrowserWarnsThenUsesTheShell) {
  if (!CanRun()) GTEST_SKIP() << "needs wine's browser hand-over";
  fs::path opened = FakeOpener();
  Reg(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId", L"IE.HTTPS");
  bool ok = false;
  std::string printed = Open("http://127.0.0.1:4322/", &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(printed, "[!!] 默认浏览器是 IE，且没找到 Edge/Chrome，尝试用系统默认程序打开\n");
  EXPECT_EQ(WaitOpened(opened), "http://127.0.0.1:4322/\n");
}

TEST_F(DesktopOpenUrl, InternetExplorerWithEdgeInstalled) {
  if (!CanRun()) GTEST_SKIP() << "needs wine's browser hand-over";
  fs::path opened = FakeOpener();
  Reg(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId", L"IE.HTTPS");
  std::wstring edge = PlantEdge();
  bool ok = false;
  std::string printed = Open("http://127.0.0.1:4323/x?y=1", &ok);
  EXPECT_TRUE(ok);
  if (kWindows) {
    // Edge took the address.
    EXPECT_EQ(printed, "[ok] 默认浏览器是 IE，已改用：" + U(edge) + "\n");
  } else {
    // The stand-in refuses to run the program: warning, then the shell.
    EXPECT_EQ(printed, "[!!] 默认浏览器是 IE，且没找到 Edge/Chrome，尝试用系统默认程序打开\n");
  }
  EXPECT_EQ(WaitOpened(opened), "http://127.0.0.1:4323/x?y=1\n");
}

TEST_F(DesktopOpenUrl, NothingWorksPrintsTheAddress) {
  if (!CanRun()) GTEST_SKIP() << "needs wine's browser hand-over";
  BreakShellOpen();
  bool ok = true;
  std::string printed = Open("http://127.0.0.1:4324/", &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(printed,
            "[!!] 没找到可用的浏览器。请手动复制下面这个地址到浏览器打开：\n"
            "     http://127.0.0.1:4324/\n");
}

TEST_F(DesktopOpenUrl, ShellFailsThenModernBrowser) {
  if (!CanRun()) GTEST_SKIP() << "needs wine's browser hand-over";
  fs::path opened = FakeOpener();
  BreakShellOpen();
  std::wstring edge = PlantEdge();
  bool ok = false;
  std::string printed = Open("http://127.0.0.1:4325/", &ok);
  if (kWindows) {
    EXPECT_TRUE(ok);
    EXPECT_EQ(printed, "[ok] 系统默认程序失败，已改用：" + U(edge) + "\n");
    EXPECT_EQ(WaitOpened(opened), "http://127.0.0.1:4325/\n");
  } else {
    // Natively the browser cannot run either: the address is printed.
    EXPECT_FALSE(ok);
    EXPECT_EQ(printed,
              "[!!] 没找到可用的浏览器。请手动复制下面这个地址到浏览器打开：\n"
              "     http://127.0.0.1:4325/\n");
  }
}

// ---- Executable path, folders, ExeOnDesktop --------------------------------------------

class DesktopPaths : public Plants {};

TEST_F(DesktopPaths, ExecutablePathAndFolder) {
  const std::wstring exe = tov::ExePathW();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(U(exe), U(tov::ModuleFileName()));
  const std::wstring dir = tov::ExeDirW();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), L'\\');
  EXPECT_NE(dir.back(), L'/');
  ASSERT_LT(dir.size() + 1, exe.size());
  EXPECT_EQ(U(exe.substr(0, dir.size())), U(dir));
  EXPECT_TRUE(exe[dir.size()] == L'\\' || exe[dir.size()] == L'/');
  std::string name = U(exe.substr(dir.size() + 1));
  EXPECT_EQ(name, kWindows ? "test_desktop.exe" : "test_desktop");
}

TEST_F(DesktopPaths, KnownFoldersComeFromTheShell) {
  std::wstring want;
  ASSERT_TRUE(tov::ShellFolderPath(tov::ShellFolder::Desktop, &want));
  EXPECT_EQ(U(Desktop()), U(want));
  ASSERT_TRUE(tov::ShellFolderPath(tov::ShellFolder::Programs, &want));
  EXPECT_EQ(U(Programs()), U(want));
  ASSERT_TRUE(tov::ShellFolderPath(tov::ShellFolder::LocalAppData, &want));
  EXPECT_EQ(U(tov::KnownFolder(28)), U(want));
  EXPECT_EQ(U(tov::DesktopLnkPath("Tamsel")), U(Desktop() + L"\\Tamsel.lnk"));
}

TEST_F(DesktopPaths, NotOnTheDesktopFromTheBuildFolder) {
  EXPECT_FALSE(tov::ExeOnDesktop());
}

// Runs a copy of this program from the desktop, where it checks that it
// knows it is there. The desktop folder as the shell reports it is set by
// the caller (under wine through the user's shell folders).
class DesktopOnDesktop : public Plants {
 protected:
  void RunChildFromDesktop() {
    const std::wstring desktop = Desktop();
    ASSERT_FALSE(desktop.empty());
    const std::wstring child =
        Expand(L"%USERPROFILE%\\Desktop\\tamsel-child-" + W(UniqueTag()) + L".exe");
    CopyFile(tov::ModuleFileName(), child);
    const std::wstring result = Expand(L"%TEMP%\\tamsel-child-result-" + W(UniqueTag()) + L".txt");
    RemoveAtEnd(result);
    uint32_t code = 1;
    bool started = tov::RunHiddenAndWait(
        Quote(child) + L" " + W(kChildOnDesktop) + L" " + Quote(result), 60000, &code);
    ASSERT_TRUE(started);
    EXPECT_EQ(code, 0u);
    std::string report;
    ASSERT_TRUE(tov::ReadWholeFile(result, &report)) << "the child wrote no report";
    // The child's shell document: on the desktop, so it needs no shortcut
    // even though no Tamsel.lnk exists.
    EXPECT_EQ(report, "{\"ok\":true,\"appName\":\"Tamsel\",\"version\":\"1.0.2\",\"exePath\":\"" +
                          Esc(U(child)) +
                          "\",\"exeOnDesktop\":true,\"hasShortcut\":true,\"needShortcut\":false,"
                          "\"browserIE\":false,\"modernBrowser\":\"\"}");
  }
};

TEST_F(DesktopOnDesktop, RunFromTheDesktop) {
  if (!UnderWine())
    GTEST_SKIP() << "the stand-in reports its executable by host path, never on drive C";
  RunChildFromDesktop();
}

TEST_F(DesktopOnDesktop, DesktopWithTrailingBackslashInOtherCase) {
  if (!UnderWine())
    GTEST_SKIP() << "the stand-in reports its executable by host path, never on drive C";
  RefreshShellFoldersAtEnd();
  Reg(tov::RegRoot::CurrentUser, kShellFolders, L"Desktop", L"%USERPROFILE%\\DESKTOP\\",
      tov::kRegExpandSz);
  ASSERT_EQ(U(Desktop()), U(Expand(L"%USERPROFILE%\\DESKTOP\\")))
      << "the shell no longer reports the folder as set";
  RunChildFromDesktop();
}

// ---- Shortcuts ---------------------------------------------------------------------

class DesktopShortcut : public Plants {
 protected:
  void SetUp() override {
    desktop_ = Desktop();
    programs_ = Programs();
    ASSERT_FALSE(desktop_.empty());
    ASSERT_FALSE(programs_.empty());
    desktopLnk_ = desktop_ + L"\\Tamsel.lnk";
    programsLnk_ = programs_ + L"\\Tamsel.lnk";
    ASSERT_FALSE(fs::exists(tov::HostPath(desktopLnk_))) << "left over: " << U(desktopLnk_);
    ASSERT_FALSE(fs::exists(tov::HostPath(programsLnk_))) << "left over: " << U(programsLnk_);
    RemoveAtEnd(desktopLnk_);
    RemoveAtEnd(programsLnk_);
  }

  // The link's file holds what it points to: under wine the shell's binary
  // format, natively the stand-in's text.
  void ExpectLinkToUs(const std::wstring& lnk) {
    std::string bytes;
    ASSERT_TRUE(tov::ReadWholeFile(lnk, &bytes)) << U(lnk);
    const std::wstring description = L"Tamsel · 双击打开";
    if (kWindows) {
      // Header size 0x4C and CLSID_ShellLink {00021401-0000-0000-C000-000000000046}.
      const unsigned char header[] = {0x4C, 0, 0,    0, 0x01, 0x14, 0x02, 0, 0, 0,
                                      0,    0, 0xC0, 0, 0,    0,    0,    0, 0, 0x46};
      ASSERT_GE(bytes.size(), sizeof header);
      EXPECT_EQ(bytes.substr(0, sizeof header),
                std::string(reinterpret_cast<const char*>(header), sizeof header));
      // Description and working folder are stored as UTF-16 strings.
      auto utf16 = [](const std::wstring& s) {
        std::string out;
        for (wchar_t c : s) {
          out += static_cast<char>(c & 0xFF);
          out += static_cast<char>((c >> 8) & 0xFF);
        }
        return out;
      };
      EXPECT_NE(bytes.find(utf16(description)), std::string::npos) << "description missing";
      EXPECT_NE(bytes.find(utf16(tov::ExeDirW())), std::string::npos) << "folder missing";
    } else {
      const std::string exe = U(tov::ModuleFileName());
      EXPECT_EQ(bytes, "target=" + exe + "\nworkdir=" + U(tov::ExeDirW()) +
                           "\ndescription=" + U(description) + "\nicon=" + exe + ",0\n");
    }
  }

  std::wstring desktop_, programs_, desktopLnk_, programsLnk_;
};

TEST_F(DesktopShortcut, CreatesBothShortcuts) {
  Dir(desktop_);
  Dir(programs_);
  EXPECT_FALSE(tov::DesktopHasShortcut("Tamsel"));
  std::string doc = tov::CreateShortcutJson("Tamsel");
  EXPECT_EQ(doc, "{\"ok\":true,\"created\":[\"" + Esc(U(desktopLnk_)) + "\",\"" +
                     Esc(U(programsLnk_)) + "\"],\"hasShortcut\":true}");
  ExpectLinkToUs(desktopLnk_);
  ExpectLinkToUs(programsLnk_);
  EXPECT_TRUE(tov::DesktopHasShortcut("Tamsel"));
  // A second request overwrites the same two files.
  EXPECT_EQ(tov::CreateShortcutJson("Tamsel"), doc);
  ExpectLinkToUs(desktopLnk_);
}

TEST_F(DesktopShortcut, CreateShortcutsListsSavedPaths) {
  Dir(desktop_);
  Dir(programs_);
  std::vector<std::string> created = {"stale entry"};
  EXPECT_TRUE(tov::CreateShortcuts("Tamsel", created));
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(created[0], U(desktopLnk_));
  EXPECT_EQ(created[1], U(programsLnk_));
}

TEST_F(DesktopShortcut, WorksOnAThreadWithoutCom) {
  Dir(desktop_);
  Dir(programs_);
  std::string doc;
  std::thread t([&doc] { doc = tov::CreateShortcutJson("Tamsel"); });
  t.join();
  EXPECT_EQ(doc, "{\"ok\":true,\"created\":[\"" + Esc(U(desktopLnk_)) + "\",\"" +
                     Esc(U(programsLnk_)) + "\"],\"hasShortcut\":true}");
}

TEST_F(DesktopShortcut, LeavesTheCallersComInitialised) {
  if (!kWindows) GTEST_SKIP() << "the stand-in has no COM";
  Dir(desktop_);
  Dir(programs_);
  int32_t first = tov::ShellWinInit();
  ASSERT_TRUE(first == 0 || first == 1) << first;
  EXPECT_NE(tov::CreateShortcutJson("Tamsel").find("\"ok\":true"), std::string::npos);
  // Still initialised: a further initialisation only counts up (S_FALSE).
  EXPECT_EQ(tov::ShellWinInit(), 1);
  tov::ShellWinUninit();
  tov::ShellWinUninit();
}

TEST_F(DesktopShortcut, FolderNamedLikeTheShortcut) {
  Dir(programs_);
  Dir(desktopLnk_);
  EXPECT_FALSE(tov::DesktopHasShortcut("Tamsel"));
  EXPECT_NE(tov::ShellInfoJson("Tamsel", "1.0.2").find(",\"hasShortcut\":false,"),
            std::string::npos);
  // The desktop save fails on the folder; the Start menu's succeeds.
  EXPECT_EQ(tov::CreateShortcutJson("Tamsel"),
            "{\"ok\":true,\"created\":[\"" + Esc(U(programsLnk_)) + "\"],\"hasShortcut\":false}");
  EXPECT_TRUE(fs::is_directory(tov::HostPath(desktopLnk_)));
}

TEST_F(DesktopShortcut, StartMenuMissing) {
  if (kWindows) GTEST_SKIP() << "the Start-menu folder of the wine prefix always exists";
  Dir(desktop_);
  ASSERT_FALSE(fs::exists(tov::HostPath(programs_)));
  EXPECT_EQ(tov::CreateShortcutJson("Tamsel"),
            "{\"ok\":true,\"created\":[\"" + Esc(U(desktopLnk_)) + "\"],\"hasShortcut\":true}");
}

TEST_F(DesktopShortcut, NeitherFolderUsable) {
  if (kWindows) {
    // Point both shell folders at a place that does not exist.
    const std::wstring gone = L"C:\\tamsel-missing-" + W(UniqueTag());
    RemoveAtEnd(gone);  // in case the shell creates what it is pointed at
    RefreshShellFoldersAtEnd();
    Reg(tov::RegRoot::CurrentUser, kShellFolders, L"Desktop", gone + L"\\Desktop",
        tov::kRegExpandSz);
    Reg(tov::RegRoot::CurrentUser, kShellFolders, L"Programs", gone + L"\\Programs",
        tov::kRegExpandSz);
  } else {
    ASSERT_FALSE(fs::exists(tov::HostPath(desktop_)));
    ASSERT_FALSE(fs::exists(tov::HostPath(programs_)));
  }
  std::vector<std::string> created = {"stale entry"};
  EXPECT_FALSE(tov::CreateShortcuts("Tamsel", created));
  EXPECT_TRUE(created.empty());
  EXPECT_EQ(tov::CreateShortcutJson("Tamsel"),
            std::string("{\"ok\":false,\"created\":[],\"message\":\"") + kShortcutFailed +
                "\",\"hasShortcut\":false}");
}

// ---- ShellInfoJson ------------------------------------------------------------------

class DesktopShellInfo : public Plants {};

TEST_F(DesktopShellInfo, InternetExplorerDefaultWithEdge) {
  Reg(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId", L"IE.HTTPS");
  std::wstring edge = Expand(kEdgeX86);
  File(edge);
  File(Expand(kChrome));
  EXPECT_EQ(tov::ShellInfoJson("Tamsel", "1.0.2"),
            "{\"ok\":true,\"appName\":\"Tamsel\",\"version\":\"1.0.2\",\"exePath\":\"" +
                Esc(U(tov::ModuleFileName())) +
                "\",\"exeOnDesktop\":false,\"hasShortcut\":false,\"needShortcut\":true,"
                "\"browserIE\":true,\"modernBrowser\":\"" +
                Esc(U(edge)) + "\"}");
}

TEST_F(DesktopShellInfo, ShortcutPresentNoBrowser) {
  std::wstring lnk = Desktop() + L"\\Tamsel.lnk";
  ASSERT_FALSE(fs::exists(tov::HostPath(lnk)));
  File(lnk, "not really a link; only its presence counts");
  EXPECT_EQ(tov::ShellInfoJson("Tamsel", "1.0.2"),
            "{\"ok\":true,\"appName\":\"Tamsel\",\"version\":\"1.0.2\",\"exePath\":\"" +
                Esc(U(tov::ModuleFileName())) +
                "\",\"exeOnDesktop\":false,\"hasShortcut\":true,\"needShortcut\":false,"
                "\"browserIE\":false,\"modernBrowser\":\"\"}");
}

TEST_F(DesktopShellInfo, NamesAreEscaped) {
  std::string doc = tov::ShellInfoJson("Ta\"m\\sel\t", "1.0.2\n");
  const std::string head =
      "{\"ok\":true,\"appName\":\"Ta\\\"m\\\\sel\\t\",\"version\":\"1.0.2\\n\",\"exePath\":\"";
  EXPECT_EQ(doc.substr(0, head.size()), head);
}

// ---- Explorer ------------------------------------------------------------------------

class DesktopExplorer : public Plants {
 protected:
  // Starts a process named explorer.exe that lives for about 30 s: natively
  // a copy of sleep, under wine a copy of this program running the sleeping
  // child test. Returns false when that is not possible here.
  bool StartFakeExplorer() {
    if (!kWindows) {
      fs::path dir = fs::temp_directory_path() / ("tamsel-desktop-" + UniqueTag());
      fs::path exe = dir / "explorer.exe";
      HostFile(exe, ReadHost("/bin/sleep"));
      fs::permissions(exe, fs::perms::owner_all);
      // Our own child (the shell execs the fake), so that we reap it: an
      // orphan's zombie would keep the name in the process list.
      std::string cmd = "echo $$; exec '" + exe.string() + "' 30";
      FILE* pipe = popen(cmd.c_str(), "r");
      if (!pipe) return false;
      char line[32] = {0};
      std::string pid = fgets(line, sizeof line, pipe) ? line : "";
      while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
      Undo([pipe, pid] {
        if (!pid.empty()) std::system(("kill " + pid + " 2>/dev/null").c_str());
        pclose(pipe);
      });
      if (pid.empty()) return false;
    } else {
      if (!UnderWine()) return false;
      std::wstring exe = Expand(L"%TEMP%\\tamsel-explorer-" + W(UniqueTag()) + L"\\explorer.exe");
      CopyFile(tov::ModuleFileName(), exe);
      heartbeat_ = exe.substr(0, exe.rfind(L'\\')) + L"\\heartbeat";
      RemoveAtEnd(heartbeat_);
      bool started =
          tov::StartProcess(Quote(exe) + L" " + W(kChildExplorer) + L" " + Quote(heartbeat_), true);
      if (!started) return false;
      // Whatever happens to the test, the fake goes again.
      Undo([this] {
        uint32_t code = 0;
        tov::RunHiddenAndWait(L"taskkill.exe /f /im explorer.exe", 10000, &code);
        // Its file can go only once the process has ended.
        for (int i = 0; i < 10 && FakeStillBeats(); ++i) {
        }
      });
    }
    for (int i = 0; i < 100; ++i) {
      std::string beats;
      if (tov::ExplorerIsRunning() &&
          (!kWindows || (tov::ReadWholeFile(heartbeat_, &beats) && !beats.empty())))
        return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  // Under wine the fake beats into a file while it lives. Explorer counts
  // by name, and wine starts an explorer.exe of its own (the desktop
  // process) whenever a program first needs the shell; the heartbeat tells
  // whether our fake in particular is still alive.
  bool FakeStillBeats() {
    std::string a, b;
    tov::ReadWholeFile(heartbeat_, &a);
    std::this_thread::sleep_for(500ms);
    tov::ReadWholeFile(heartbeat_, &b);
    return a != b;
  }

  std::wstring heartbeat_;

  static double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  }
};

// Whether some process on this Linux machine is named explorer.exe, read
// from /proc by the test itself. Wine's desktop process is one: the
// stand-in's process list is the host's, so such a process counts there.
bool HostRunsAnExplorer() {
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::ifstream comm(it->path() / "comm");
    std::string name;
    if (comm && std::getline(comm, name) && name == "explorer.exe") return true;
  }
  return false;
}

TEST_F(DesktopExplorer, NotRunningWithoutAnExplorerProcess) {
  if (kWindows) GTEST_SKIP() << "wine may run its own explorer.exe";
  if (HostRunsAnExplorer()) GTEST_SKIP() << "an explorer.exe (wine's) runs on this machine";
  EXPECT_FALSE(tov::ExplorerIsRunning());
}

TEST_F(DesktopExplorer, StartReturnsAtOnceWhenRunning) {
  // Wine's own desktop process, when it runs, serves as well as the fake.
  if (!(kWindows && tov::ExplorerIsRunning())) {
    ASSERT_TRUE(StartFakeExplorer());
  }
  auto t0 = std::chrono::steady_clock::now();
  tov::ExplorerStart();
  EXPECT_LT(Seconds(t0), 1.0);
  EXPECT_TRUE(tov::ExplorerIsRunning());
}

TEST_F(DesktopExplorer, Stop) {
  if (kWindows && tov::ExplorerIsRunning())
    GTEST_SKIP() << "wine's own explorer.exe runs; it is not ours to stop";
  ASSERT_TRUE(StartFakeExplorer());
  auto t0 = std::chrono::steady_clock::now();
  tov::ExplorerStop();
  double took = Seconds(t0);
  if (kWindows) {
    // taskkill ends it; the stop waits for it to vanish, then 300 ms more.
    EXPECT_FALSE(FakeStillBeats());
    EXPECT_GE(took, 0.3);
    EXPECT_LT(took, 12.0);
  } else {
    // The stand-in cannot kill: the stop gives up after its 30 polls of
    // 100 ms and the final 300 ms, about 3.3 s.
    EXPECT_TRUE(tov::ExplorerIsRunning());
    EXPECT_GE(took, 3.2);
    EXPECT_LT(took, 8.0);
  }
}

TEST_F(DesktopExplorer, StopWithoutExplorerOnlyPauses) {
  if (kWindows) GTEST_SKIP() << "wine may run its own explorer.exe";
  if (HostRunsAnExplorer()) GTEST_SKIP() << "an explorer.exe (wine's) runs on this machine";
  auto t0 = std::chrono::steady_clock::now();
  tov::ExplorerStop();
  double took = Seconds(t0);
  // Far less than the 3 s the stop waits for a running Explorer to vanish.
  EXPECT_GE(took, 0.3);
  EXPECT_LT(took, 2.9);
}

#ifndef _WIN32
size_t ThreadCount() {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/self/task", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}
#endif

TEST_F(DesktopExplorer, WatchdogLivesForItsSeconds) {
#ifdef _WIN32
  GTEST_SKIP() << "counts threads through /proc";
#else
  ASSERT_TRUE(StartFakeExplorer());
  const size_t before = ThreadCount();
  auto t0 = std::chrono::steady_clock::now();
  tov::ExplorerWatchdog(2);
  // Its thread appears (bounded wait; it may have started already)...
  bool appeared = false;
  for (int i = 0; i < 500 && !appeared; ++i) {
    appeared = ThreadCount() == before + 1;
    if (!appeared) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(appeared);
  // ...and ends once its 20 passes of 100 ms are done, not before: with
  // Explorer present there is no restart to make it longer. Only the lower
  // bound is a promise; how much later the thread ends depends on the load.
  while (ThreadCount() > before && Seconds(t0) < 60) std::this_thread::sleep_for(20ms);
  double lived = Seconds(t0);
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_GE(lived, 1.9);
#endif
}

// ---- The seam's desktop calls, the same on both backends ----------------------------------

class DesktopPlatform : public Plants {};

TEST_F(DesktopPlatform, RegistryValueMustFitTheGivenCapacity) {
  const std::wstring key = L"Software\\TamselTest\\Capacity";
  // 518 characters and the terminator fill 1038 bytes exactly; one more
  // character does not fit, as RegQueryValueExW says with ERROR_MORE_DATA.
  Reg(tov::RegRoot::CurrentUser, key, L"Fits", std::wstring(518, L'a'));
  Reg(tov::RegRoot::CurrentUser, key, L"TooLong", std::wstring(519, L'b'));
  std::wstring text;
  uint32_t type = 0;
  ASSERT_TRUE(tov::RegReadText(tov::RegRoot::CurrentUser, key, L"Fits", 520, 1038, &text, &type));
  EXPECT_EQ(U(text), std::string(518, 'a'));
  EXPECT_EQ(type, tov::kRegSz);
  EXPECT_FALSE(
      tov::RegReadText(tov::RegRoot::CurrentUser, key, L"TooLong", 520, 1038, &text, &type));
  EXPECT_TRUE(
      tov::RegReadText(tov::RegRoot::CurrentUser, key, L"TooLong", 1024, 2046, &text, &type));
  EXPECT_EQ(U(text), std::string(519, 'b'));
  EXPECT_FALSE(
      tov::RegReadText(tov::RegRoot::CurrentUser, key, L"Missing", 520, 1038, &text, &type));
  EXPECT_FALSE(tov::RegReadText(tov::RegRoot::CurrentUser, key + L"\\Nowhere", L"Fits", 520, 1038,
                                &text, &type));
}

TEST_F(DesktopPlatform, NonAsciiRegistryText) {
  const std::wstring key = L"Software\\TamselTest\\Text";
  const std::wstring data = L"默认浏览器 · IE";
  Reg(tov::RegRoot::CurrentUser, key, L"", data);
  std::wstring text;
  uint32_t type = 0;
  ASSERT_TRUE(tov::RegReadText(tov::RegRoot::CurrentUser, key, L"", 64, 126, &text, &type));
  EXPECT_EQ(U(text), U(data));
}

TEST_F(DesktopPlatform, ExpandStringProgIdCounts) {
  Reg(tov::RegRoot::CurrentUser, kHttpsChoice, L"ProgId", L"IE.HTTPS", tov::kRegExpandSz);
  EXPECT_TRUE(tov::DefaultBrowserIsIE());
}

TEST_F(DesktopPlatform, CurrentUserNameIsTheProfilesUser) {
  std::wstring name;
  ASSERT_TRUE(tov::CurrentUserName(&name));
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(U(name), U(Expand(L"%USERNAME%")));
}

TEST_F(DesktopPlatform, ProcessListHoldsThisProgram) {
  std::vector<std::wstring> names;
  ASSERT_TRUE(tov::ProcessExeNames(&names));
  std::wstring exe = tov::ModuleFileName();
  std::wstring own = exe.substr(exe.find_last_of(L"\\/") + 1);
  bool found = false;
  for (const std::wstring& n : names) found = found || n == own;
  EXPECT_TRUE(found) << U(own) << " among " << names.size() << " processes";
}

TEST_F(DesktopPlatform, OsVersion) {
  uint32_t major = 0, minor = 0, build = 0;
  if (!kWindows) {
    EXPECT_FALSE(tov::OsVersion(&major, &minor, &build));
    return;
  }
  ASSERT_TRUE(tov::OsVersion(&major, &minor, &build));
  // Wine reports 6.1.7601 unless its prefix is set to Windows 10.
  EXPECT_GE(major, 6u);
  EXPECT_GT(build, 0u);
}

// ---- Child processes ---------------------------------------------------------------------

// Run from a copy on the desktop: writes its shell document to result for
// the parent, which compares it. Exit code 1 when the copy does not know it
// is on the desktop, or sees a shortcut there, or cannot write.
int ChildOnDesktop(const std::string& result) {
  bool ok = tov::ExeOnDesktop();
  ok = !tov::DesktopHasShortcut("Tamsel") && ok;
  ok = tov::WriteWholeFile(W(result), tov::ShellInfoJson("Tamsel", "1.0.2")) && ok;
  return ok ? 0 : 1;
}

// Stands in for explorer.exe for DesktopExplorer: about 30 s, one beat into
// the heartbeat file every 50 ms.
int ChildExplorer(const std::string& heartbeat) {
  for (int i = 0; i < 600; ++i) {
    std::ofstream(fs::path(W(heartbeat)), std::ios::app) << '.';
    std::this_thread::sleep_for(50ms);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == kChildOnDesktop) return ChildOnDesktop(argv[2]);
  if (argc == 3 && std::string(argv[1]) == kChildExplorer) return ChildExplorer(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
