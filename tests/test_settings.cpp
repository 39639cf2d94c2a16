// The settings file: what is read at start from every kind of bad file,
// what a settings document may hold, and saving that never leaves a mixed
// file. Each test works in a folder of its own under C:\tamsel-t.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "settings/settings.h"
#include "support/fixture.h"
#include "support/fixture_test.h"
#include "text/text.h"

using namespace tamsel;
using namespace testsupport;

namespace {

std::vector<Category> Catalogue() {
  Category c;
  c.id = "c";
  c.name = "c";
  c.items = {MkItem("a", "a", Risk::Low, ItemMode::Files, true, ""),
             MkItem("b", "b", Risk::Low, ItemMode::Files, false, ""),
             MkItem("c", "c", Risk::Low, ItemMode::Files, true, ""),
             MkItem("m", "m", Risk::Low, ItemMode::Measure, false, ""),
             MkItem("u", "u", Risk::Medium, ItemMode::Files, false, ""),
             MkItem("t", "t", Risk::Medium, ItemMode::SystemTool, false, "")};
  c.items[4].userFiles = true;  // the user's own files: never cleaned unattended
  return {c};
}

const char kGood[] =
    "{\"version\":1,\"selected\":[\"b\"],\"olderThanDays\":30,\"restartExplorer\":true,"
    "\"protect\":[\"C:\\\\Users\\\\u\\\\Keep\"],"
    "\"excluded\":[[\"u\",\"C:\\\\Users\\\\u\\\\Downloads\\\\WeChatSetup_2.exe\"]],"
    "\"autoItems\":[\"b\"],\"autoOlderThanDays\":7}";

class SettingsFile : public FixtureTest {
 protected:
  const std::wstring& Dir() { return Root(); }
  std::wstring File() { return Join(Dir(), L"settings.json"); }
  std::wstring Bad() { return Join(Dir(), L"settings.json.bad"); }
  void Put(const std::string& bytes) { ASSERT_TRUE(tov::WriteWholeFile(File(), bytes)); }
  std::string Read(const std::wstring& path) {
    std::string text;
    EXPECT_TRUE(tov::ReadWholeFile(path, &text));
    return text;
  }

  // Loads, expecting the defaults and a warning.
  void ExpectDefaults(const char* what) {
    std::string warning;
    Settings s = LoadSettings(Dir(), Catalogue(), &warning);
    EXPECT_EQ(SettingsJson(s), SettingsJson(DefaultSettings(Catalogue()))) << what;
    EXPECT_FALSE(warning.empty()) << what;
  }
};

TEST_F(SettingsFile, DefaultsAreTheCataloguesRecommendedSelection) {
  EXPECT_EQ(SettingsJson(DefaultSettings(Catalogue())),
            "{\"version\":1,\"selected\":[\"a\",\"c\"],\"olderThanDays\":0,"
            "\"restartExplorer\":false,\"protect\":[],\"excluded\":[],"
            "\"autoItems\":[\"a\",\"c\"],\"autoOlderThanDays\":1}");
}

TEST_F(SettingsFile, AGoodFileIsReadAsWrittenAndSavedBackTheSame) {
  Put(kGood);
  std::string warning = "x";
  Settings s = LoadSettings(Dir(), Catalogue(), &warning);
  EXPECT_EQ(warning, "");
  EXPECT_EQ(SettingsJson(s), kGood);
  s.olderThanDays = 7;
  ASSERT_TRUE(SaveSettings(Dir(), s));
  EXPECT_EQ(Read(File()), SettingsJson(s));
  // No temporary file is left beside it.
  Listing l = ListTree(Dir());
  EXPECT_EQ(l.size(), 1u) << l.begin()->first;
}

TEST_F(SettingsFile, AMissingFileGivesTheDefaultsWithoutAWarning) {
  std::string warning = "x";
  Settings s = LoadSettings(Dir(), Catalogue(), &warning);
  EXPECT_EQ(SettingsJson(s), SettingsJson(DefaultSettings(Catalogue())));
  // A first start is no fault: its start-up lines are the usual ones.
  EXPECT_EQ(warning, "");
  EXPECT_FALSE(Exists(File()));
  EXPECT_FALSE(Exists(Bad()));
}

TEST_F(SettingsFile, UnreadableFilesAreRenamedAsideWithAWarning) {
  const std::string good = kGood;
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"truncated", good.substr(0, good.size() / 2)},
      {"not JSON", "selected=a,b"},
      {"an array", "[1,2]"},
      {"wrong type", "{\"version\":1,\"olderThanDays\":\"7\"}"},
      {"out of range", "{\"version\":1,\"olderThanDays\":3651}"},
      {"relative path", "{\"version\":1,\"protect\":[\"Keep\"]}"},
      {"too large",
       "{\"version\":1,\"selected\":[\"" + std::string(kMaxSettingsBytes, 'a') + "\"]}"},
  };
  for (const auto& c : cases) {
    Put(c.second);
    ExpectDefaults(c.first);
    EXPECT_FALSE(Exists(File())) << c.first;
    ASSERT_TRUE(Exists(Bad())) << c.first;
    EXPECT_EQ(Read(Bad()), c.second) << c.first;
    tov::DeleteFilePath(Bad());
  }
}

TEST_F(SettingsFile, AFileOfAnotherVersionIsLeftAsItIs) {
  const std::string other = "{\"version\":2,\"selected\":[\"b\"]}";
  Put(other);
  ExpectDefaults("version 2");
  EXPECT_EQ(Read(File()), other);
  EXPECT_FALSE(Exists(Bad()));
}

TEST(SettingsDocument, UnknownIdsAreDroppedAndEverythingElseIsChecked) {
  Settings s;
  std::string why;
  ASSERT_TRUE(ParseSettings(
      "{\"version\":1,\"selected\":[\"c\",\"zz\",\"a\"],\"protect\":[\"c:\\\\x\\\\\\\\\"]}",
      Catalogue(), &s, &why));
  EXPECT_EQ(s.selected, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(s.protect, std::vector<std::string>{"C:\\x"});
  // Every spelling of one path is kept in its one form: "/" and doubled
  // separators folded, and the same path twice kept once.
  ASSERT_TRUE(ParseSettings(
      R"({"version":1,"protect":["C:/Users//u/Keep/","C:\\Users\\\\u\\keep","c:\\Temp"]})",
      Catalogue(), &s, &why))
      << why;
  EXPECT_EQ(s.protect, (std::vector<std::string>{"C:\\Users\\u\\Keep", "C:\\Temp"}));
  const char* bad[] = {
      "{\"selected\":[]}",                      // no version
      "{\"version\":1,\"selected\":\"a\"}",     // not a list
      "{\"version\":1,\"selected\":[1]}",       // not strings
      "{\"version\":1,\"olderThanDays\":-1}",   // below the range
      "{\"version\":1,\"olderThanDays\":1.5}",  // not whole
      "{\"version\":1,\"restartExplorer\":\"true\"}",
      "{\"version\":1,\"protect\":[\"D:\\\\x\"]}",  // another drive
      "{\"version\":1,\"protect\":[\"C:\\\\a\\\\..\\\\Windows\"]}",
      "{\"version\":1,\"protect\":[\"C:\\\\\"]}",                // the drive's root
      "{\"version\":1,\"protect\":[\"C:/\"]}",                   // the drive's root
      "{\"version\":1,\"protect\":[\"C:\\\\x\\u0000\"]}",        // cut by the system
      "{\"version\":1,\"protect\":[\"C:\\\\x\\\\nul.txt\"]}",    // a device
      "{\"version\":1,\"protect\":[\"C:\\\\x.\"]}",              // trimmed by the system
      "{\"version\":1,\"protect\":[\"\\\\\\\\?\\\\C:\\\\x\"]}",  // no rules
      "{\"version\":1,\"version\":1}",                           // a member twice
  };
  for (const char* text : bad) EXPECT_FALSE(ParseSettings(text, Catalogue(), &s, &why)) << text;
  std::string many = "{\"version\":1,\"protect\":[";
  for (size_t i = 0; i <= kMaxProtectedPaths; ++i)
    many += (i ? ",\"C:\\\\p" : "\"C:\\\\p") + std::to_string(i) + "\"";
  many += "]}";
  EXPECT_FALSE(ParseSettings(many, Catalogue(), &s, &why));
  EXPECT_EQ(why, "不清理的路径最多 1000 个");
}

TEST_F(SettingsFile, TwoWritersAtOnceLeaveOneWholeFile) {
  Settings a = DefaultSettings(Catalogue());
  Settings b = a;
  b.selected = {"b"};
  for (int i = 0; i < 200; ++i) b.protect.push_back("C:\\long\\path\\" + std::to_string(i));
  const std::string ta = SettingsJson(a), tb = SettingsJson(b);
  const std::wstring dir = Dir(), file = File();  // made before the threads share them
  std::atomic<bool> stop{false};
  std::atomic<int> mixed{0}, reads{0};
  std::thread reader([&] {
    while (!stop.load()) {
      std::string text;
      if (tov::ReadWholeFile(file, &text)) {
        ++reads;
        if (text != ta && text != tb) ++mixed;
      }
      // A reader that never lets go would keep Windows from replacing the
      // file at all; real readers read and close.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::thread wa([&] {
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(SaveSettings(dir, a));
  });
  std::thread wb([&] {
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(SaveSettings(dir, b));
  });
  wa.join();
  wb.join();
  stop = true;
  reader.join();
  EXPECT_EQ(mixed.load(), 0) << "of " << reads.load() << " reads";
  std::string last = Read(File());
  EXPECT_TRUE(last == ta || last == tb);
  EXPECT_EQ(ListTree(Dir()).size(), 1u);
}

}  // namespace

namespace {

// The document kGood's members before the automatic clean's, for documents
// that differ only in what follows.
std::string WithChoices(const std::string& tail) {
  return R"({"version":1,"selected":["b"],"olderThanDays":30,"restartExplorer":true,)"
         R"("protect":["C:\\Users\\u\\Keep"])" +
         tail + "}";
}

// n distinct exclusions of item a.
std::string ManyExclusions(size_t n) {
  std::string o = R"(,"excluded":[)";
  for (size_t i = 0; i < n; ++i)
    o += (i ? "," : "") + std::string(R"(["a","C:\\t\\f)") + std::to_string(i) + R"(.tmp"])";
  return o + "]";
}

TEST(SettingsDocument, FilesLeftOutAndTheAutomaticCleanAreReadNormalisedAndWrittenAsPairs) {
  Settings s;
  std::string why;
  // Paths as the protected ones are kept; the same pair twice (any case,
  // any spelling: "/", doubled separators) once; the object form read, the pair form written; the
  // automatic clean's items in catalogue order.
  ASSERT_TRUE(ParseSettings(
      WithChoices(R"(,"excluded":[["a","c:\\Temp\\Big.tmp\\"],{"item":"u","path":"C:\\D\\W.exe"},)"
                  R"(["a","C:\\TEMP\\big.TMP"],["c","C:\\Temp\\Big.tmp"],)"
                  R"(["a","C:/Temp//Big.tmp"],["a","C:\\\\Temp\\\\\\\\big.tmp"]],)"
                  R"("autoItems":["c","a"],"autoOlderThanDays":0)"),
      Catalogue(), &s, &why))
      << why;
  EXPECT_EQ(
      SettingsJson(s),
      WithChoices(R"(,"excluded":[["a","C:\\Temp\\Big.tmp"],["u","C:\\D\\W.exe"],)"
                  R"(["c","C:\\Temp\\Big.tmp"]],"autoItems":["a","c"],"autoOlderThanDays":0)"));
  // A document without them (one of an earlier version of the program)
  // gets the recommended items, nothing left out, and one day.
  ASSERT_TRUE(ParseSettings(WithChoices(""), Catalogue(), &s, &why)) << why;
  EXPECT_EQ(SettingsJson(s), WithChoices(R"(,"excluded":[],"autoItems":["a","c"],)"
                                         R"("autoOlderThanDays":1)"));
  ASSERT_TRUE(ParseSettings(WithChoices(ManyExclusions(kMaxExcludedFiles)), Catalogue(), &s, &why))
      << why;
  EXPECT_EQ(s.excluded.size(), kMaxExcludedFiles);
}

TEST(SettingsDocument, ABadChoiceRefusesTheWholeDocument) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {R"(,"excluded":{})", "excluded 必须是 [项目, 路径] 的数组"},
      {R"(,"excluded":"C:\\x")", "excluded 必须是 [项目, 路径] 的数组"},
      {R"(,"excluded":[["a"]])", "excluded 中有 1 项不是 [项目, C:\\ 开头的完整路径]"},
      {R"(,"excluded":[["a","C:\\x","y"]])", "excluded 中有 1 项不是 [项目, C:\\ 开头的完整路径]"},
      {R"(,"excluded":[["a",1]])", "excluded 中有 1 项不是 [项目, C:\\ 开头的完整路径]"},
      {R"(,"excluded":[["a","x.tmp"]])", "excluded 中有 1 项不是 [项目, C:\\ 开头的完整路径]"},
      {R"(,"excluded":[["a","D:\\x.tmp"]])", "excluded 中有 1 项不是 [项目, C:\\ 开头的完整路径]"},
      {R"(,"excluded":[{"item":"a"}])", "excluded 中有 1 项不是 [项目, C:\\ 开头的完整路径]"},
      {R"(,"excluded":[["zz","C:\\x"]])", "excluded 中有 1 项属于未知的清理项"},
      {ManyExclusions(kMaxExcludedFiles + 1), "excluded 最多 100000 个文件"},
      {R"(,"autoItems":"a")", "autoItems 必须是清理项 ID 的数组"},
      {R"(,"autoItems":[1])", "autoItems 必须是清理项 ID 的数组"},
      {R"(,"autoItems":["a","zz"])", "autoItems 中有未知的清理项：zz"},
      {R"(,"autoItems":["u"])", "自动清理不能包含「u」（u）"},
      {R"(,"autoItems":["m"])", "自动清理不能包含「m」（m）"},
      {R"(,"autoItems":["t"])", "自动清理不能包含「t」（t）"},
      {R"(,"autoOlderThanDays":-1)", "autoOlderThanDays 必须是 0 到 3650 的整数"},
      {R"(,"autoOlderThanDays":3651)", "autoOlderThanDays 必须是 0 到 3650 的整数"},
      {R"(,"autoOlderThanDays":"1")", "autoOlderThanDays 必须是 0 到 3650 的整数"},
      {R"(,"autoOlderThanDays":1.5)", "autoOlderThanDays 必须是 0 到 3650 的整数"},
  };
  for (const auto& c : bad) {
    Settings s;
    s.olderThanDays = 99;
    std::string why;
    std::string text = WithChoices(c.first);
    EXPECT_FALSE(ParseSettings(text, Catalogue(), &s, &why)) << text.substr(0, 200);
    EXPECT_EQ(why, c.second) << text.substr(0, 200);
    EXPECT_EQ(s.olderThanDays, 99) << "nothing is handed back";
  }
}

TEST_F(SettingsFile, WhatIsWrongInTheChoicesIsDroppedAtStartTheRestKeptWithAWarning) {
  const std::vector<std::tuple<const char*, std::string, std::string>> cases = {
      {"a bad pair among good ones",
       R"(,"excluded":[["a","C:\\x.tmp"],["a","x.tmp"],["zz","C:\\y"],["c",2]])",
       R"(,"excluded":[["a","C:\\x.tmp"]],"autoItems":["a","c"],"autoOlderThanDays":1)"},
      {"no list of pairs", R"(,"excluded":5,"autoItems":["c"])",
       R"(,"excluded":[],"autoItems":["c"],"autoOlderThanDays":1)"},
      {"unknown and unattended-unsafe ids", R"(,"autoItems":["u","zz","c","m",3])",
       R"(,"excluded":[],"autoItems":["c"],"autoOlderThanDays":1)"},
      {"no list of ids", R"(,"autoItems":{"a":true},"autoOlderThanDays":3)",
       R"(,"excluded":[],"autoItems":["a","c"],"autoOlderThanDays":3)"},
      {"days out of range", R"(,"autoItems":[],"autoOlderThanDays":9999)",
       R"(,"excluded":[],"autoItems":[],"autoOlderThanDays":1)"},
      {"too many pairs", ManyExclusions(kMaxExcludedFiles + 2), ""},
  };
  for (const auto& c : cases) {
    const std::string text = WithChoices(std::get<1>(c));
    Put(text);
    std::string warning;
    Settings s = LoadSettings(Dir(), Catalogue(), &warning);
    if (std::get<2>(c).empty()) {
      EXPECT_EQ(s.excluded.size(), kMaxExcludedFiles) << std::get<0>(c);
      EXPECT_EQ(s.excluded.back().path, "C:\\t\\f99999.tmp") << std::get<0>(c);
    } else {
      EXPECT_EQ(SettingsJson(s), WithChoices(std::get<2>(c))) << std::get<0>(c);
    }
    // The rest of the file is the user's: kept, and the file left as it is.
    EXPECT_EQ(s.olderThanDays, 30) << std::get<0>(c);
    EXPECT_EQ(s.protect, std::vector<std::string>{"C:\\Users\\u\\Keep"}) << std::get<0>(c);
    EXPECT_EQ(warning.rfind("设置文件 ", 0), 0u) << std::get<0>(c) << ": " << warning;
    EXPECT_NE(warning.find("中有无法使用的内容，已忽略："), std::string::npos) << warning;
    EXPECT_EQ(Read(File()), text) << std::get<0>(c);
    EXPECT_FALSE(Exists(Bad())) << std::get<0>(c);
  }
}

TEST_F(SettingsFile, TemporaryFilesOfSavesThatNeverEndedAreRemovedAtTheNextStart) {
  Put(kGood);
  const uint64_t now = tov::NowFileTime();
  // Names of a killed save, and names that only look alike.
  const std::vector<std::wstring> saves = {L"settings.json.4242-0.tmp", L"settings.json.1-17.tmp"};
  const std::vector<std::wstring> others = {
      L"settings.json.tmp",       L"settings.json.4242-.tmp",   L"settings.json.-1.tmp",
      L"settings.json.42x-0.tmp", L"settings.json.4242-0.tmpx", L"other.json.4242-0.tmp",
      L"settings.json.bad",       L"Settings.JSON.4244-0.tmp"};
  for (const std::wstring& n : saves) EXPECT_TRUE(IsInterruptedSaveName(n)) << W2U(n);
  for (const std::wstring& n : others) EXPECT_FALSE(IsInterruptedSaveName(n)) << W2U(n);
  for (const std::wstring& n : saves) ASSERT_TRUE(PlantFile(Join(Dir(), n), 3));
  for (const std::wstring& n : others) ASSERT_TRUE(PlantFile(Join(Dir(), n), 3));
  ASSERT_TRUE(MakeDir(Join(Dir(), L"settings.json.7-7.tmp")));
  ASSERT_TRUE(PlantFile(Join(Dir(), L"sub\\settings.json.7-8.tmp"), 3));
  Listing before = ListTree(Dir());
  // Just written: a save of another process may be going on.
  EXPECT_EQ(RemoveInterruptedSaves(Dir(), now), 0u);
  EXPECT_EQ(ListTree(Dir()), before);
  // A minute later they are left over; only they go.
  EXPECT_EQ(RemoveInterruptedSaves(Dir(), now + 61 * 10000000ULL), saves.size());
  std::set<std::string> gone;
  for (const std::wstring& n : saves) gone.insert(W2U(n));
  EXPECT_EQ(Gone(before, ListTree(Dir())), gone);
  EXPECT_TRUE(AddedOrChanged(before, ListTree(Dir())).empty());
  // The start's reading of the settings removes them (two minutes old, in
  // whole seconds, which every build can set).
  for (const std::wstring& n : saves)
    ASSERT_TRUE(PlantFile(Join(Dir(), n), 3, false, (now / 10000000ULL - 120) * 10000000ULL));
  std::string warning;
  LoadSettings(Dir(), Catalogue(), &warning);
  EXPECT_EQ(warning, "");
  for (const std::wstring& n : saves) EXPECT_FALSE(Exists(Join(Dir(), n))) << W2U(n);
  for (const std::wstring& n : others) EXPECT_TRUE(Exists(Join(Dir(), n))) << W2U(n);
}

TEST_F(SettingsFile, FilesLeftOutThatAreGoneAreForgottenAndTheSettingsSaved) {
  const std::wstring here = At(L"here.tmp");
  ASSERT_TRUE(tov::WriteWholeFile(here, "x"));
  Settings s = DefaultSettings(Catalogue());
  s.excluded = {{"a", W2U(At(L"gone.tmp"))},
                {"a", W2U(here)},
                {"c", W2U(At(L"no folder\\x.tmp"))},
                {"c", W2U(Root())}};
  const Settings before = CurrentSettings();
  SetCurrentSettings(s);
  ASSERT_TRUE(DropGoneExclusionsAndSave(Dir()));
  const std::vector<std::string> kept = {W2U(here), W2U(Root())};
  std::vector<std::string> now;
  for (const Exclusion& x : CurrentSettings().excluded) now.push_back(x.path);
  EXPECT_EQ(now, kept);
  EXPECT_EQ(Read(File()), SettingsJson(CurrentSettings()));
  // Nothing more to drop: no save.
  ASSERT_TRUE(tov::DeleteFilePath(File()));
  ASSERT_TRUE(DropGoneExclusionsAndSave(Dir()));
  EXPECT_FALSE(Exists(File()));
  SetCurrentSettings(before);
  tov::DeleteFilePath(here);
}

}  // namespace
