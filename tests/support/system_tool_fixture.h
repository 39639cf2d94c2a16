// The machinery the tests of Windows' own tools share: an item of the mode,
// its one-item catalogue, and a fixture that scans and cleans it with the
// touches the clean reports kept for the test to read.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine_internal.h"
#include "engine/tamsel_engine.h"
#include "fixture.h"
#include "fixture_test.h"
#include "platform/platform.h"
#include "rules/tamsel_core.h"

namespace testsupport {

inline tamsel::RuleItem ToolItem(const char* id, tamsel::SystemTool tool,
                                 const char* time = "几秒钟") {
  tamsel::RuleItem item =
      tamsel::MkItem(id, id, tamsel::Risk::Medium, tamsel::ItemMode::SystemTool, false, "");
  item.allowDetails = false;
  item.tool = tool;
  item.toolTime = time;
  return item;
}

// ASCII text as the UTF-16LE bytes a tool or an INF file gives, with or
// without the byte-order mark.
inline std::string Utf16(const std::string& ascii, bool bom) {
  std::string out = bom ? "\xff\xfe" : "";
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

inline tamsel::Category Cat(std::vector<tamsel::RuleItem> items) {
  tamsel::Category c;
  c.id = "c";
  c.name = "c";
  c.items = std::move(items);
  return c;
}

struct Touch {
  std::string item;
  tamsel::TouchKind kind;
  uint64_t bytes;
  std::string path, reason;
};

class SystemToolTest : public FixtureTest {
 protected:
  void SetUp() override {
    EnsureDriveC();
    opt_.toolDir = At(L"state");
    ASSERT_TRUE(MakeDir(opt_.toolDir));
    opt_.touched = [this](const std::string& item, tamsel::TouchKind kind, uint64_t bytes,
                          const std::wstring& path, const std::wstring& reason) {
      touches_.push_back({item, kind, bytes, tamsel::W2U(path), tamsel::W2U(reason)});
    };
  }
  void TearDown() override {
    tamsel::SetAdminTest(nullptr);
    FixtureTest::TearDown();
  }
  tamsel::ItemStat Scan(const tamsel::RuleItem& item) {
    tamsel::ResultList out;
    tamsel::ScanItems({Cat({item})}, {item.id}, out, opt_);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? tamsel::ItemStat() : out[0].second;
  }
  tamsel::ItemStat Clean(const tamsel::RuleItem& item, bool dryRun = false) {
    tamsel::ResultList out;
    tamsel::CleanItems({Cat({item})}, {item.id}, dryRun, out, opt_);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? tamsel::ItemStat() : out[0].second;
  }
  tamsel::TaskOptions opt_;
  std::vector<Touch> touches_;
};

}  // namespace testsupport
