// The settings file: what is read at start from every kind of bad file,
// what a settings document may hold, and saving that never leaves a mixed
// file. Each test works in a folder of its own under C:\tamsel-t.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "settings/settings.h"
#include "support/fixture.h"
#include "support/fixture_test.h"

using namespace tamsel;
using namespace testsupport;

namespace {

std::vector<Category> Catalogue() {
  Category c;
  c.id = "c";
  c.name = "c";
  c.items = {MkItem("a", "a", "low", "files", true, ""),
             MkItem("b", "b", "low", "files", false, ""),
             MkItem("c", "c", "low", "files", true, "")};
  return {c};
}

const char kGood[] =
    "{\"version\":1,\"selected\":[\"b\"],\"olderThanDays\":30,\"restartExplorer\":true,"
    "\"protect\":[\"C:\\\\Users\\\\u\\\\Keep\"]}";

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
            "\"restartExplorer\":false,\"protect\":[]}");
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
      {"10 MB", "{\"version\":1,\"selected\":[\"" + std::string(10 << 20, 'a') + "\"]}"},
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
  const char* bad[] = {
      "{\"selected\":[]}",                      // no version
      "{\"version\":1,\"selected\":\"a\"}",     // not a list
      "{\"version\":1,\"selected\":[1]}",       // not strings
      "{\"version\":1,\"olderThanDays\":-1}",   // below the range
      "{\"version\":1,\"olderThanDays\":1.5}",  // not whole
      "{\"version\":1,\"restartExplorer\":\"true\"}",
      "{\"version\":1,\"protect\":[\"D:\\\\x\"]}",  // another drive
      "{\"version\":1,\"protect\":[\"C:\\\\a\\\\..\\\\Windows\"]}",
      "{\"version\":1,\"protect\":[\"C:\\\\\"]}",  // the drive's root
      "{\"version\":1,\"protect\":[\"C:/x\"]}",
      "{\"version\":1,\"version\":1}",  // a member twice
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
