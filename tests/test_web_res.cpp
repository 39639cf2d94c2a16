// The embedded resources: what the generator scrambles, the lookup gives back
// byte for byte, for every small size and for the real interface files.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "server/web_res.h"

using namespace tov;

namespace {

// Must match test_size_bytes() in webui/gen_webres.py.
std::string SizeBytes(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>((i * 131 + n * 7 + 3) & 0xFF));
  return s;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
std::string ReadSource(const char* name) {
  return ReadFile(std::string(WEBUI_DIR) + "/" + name);
}

const WebResEntry* EntryEndingWith(const std::string& suffix) {
  for (uint32_t i = 0; i < g_webResCount; ++i) {
    std::string p = g_webResIndex[i].path;
    if (p.size() >= suffix.size() &&
        p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0)
      return &g_webResIndex[i];
  }
  return nullptr;
}

}  // namespace

TEST(WebRes, EverySizeFromZeroTo64RoundTrips) {
  for (int n = 0; n <= 64; ++n) {
    std::string out = "untouched";
    ASSERT_TRUE(WebResGet("/t/size-" + std::to_string(n), out, true)) << n;
    EXPECT_EQ(out, SizeBytes(n)) << "size " << n;
  }
}

TEST(WebRes, PoolIsScrambledNotPlain) {
  const WebResEntry* e = EntryEndingWith("/t/size-64");
  ASSERT_NE(e, nullptr);
  std::string stored(reinterpret_cast<const char*>(g_webResPool) + e->offset, e->size);
  EXPECT_NE(stored, SizeBytes(64));
  const WebResEntry* page = EntryEndingWith("/index.html");
  ASSERT_NE(page, nullptr);
  std::string storedPage(reinterpret_cast<const char*>(g_webResPool) + page->offset, page->size);
  EXPECT_EQ(storedPage.find("<html"), std::string::npos);
}

TEST(WebRes, RealInterfaceFilesComeBackWithHashedNames) {
  std::string css, js, html;
  const WebResEntry* c = EntryEndingWith(".css");
  const WebResEntry* j = EntryEndingWith(".js");
  ASSERT_NE(c, nullptr);
  ASSERT_NE(j, nullptr);
  EXPECT_EQ(std::string(c->path).rfind("/assets/index-", 0), 0u);
  EXPECT_EQ(std::string(j->path).rfind("/assets/index-", 0), 0u);
  ASSERT_TRUE(WebResGet(c->path, css, true));
  ASSERT_TRUE(WebResGet(j->path, js, true));
  ASSERT_TRUE(WebResGet("/index.html", html, true));
  EXPECT_EQ(css, ReadSource("app.css"));
  // The script is the bundle of the page's modules that this build made.
  const std::string bundle = ReadFile(WEBUI_BUNDLE);
  ASSERT_FALSE(bundle.empty()) << WEBUI_BUNDLE;
  EXPECT_EQ(js, bundle);
  // The page refers to the hashed names instead of the source names.
  EXPECT_NE(html.find(std::string("href=\"") + c->path + "\""), std::string::npos);
  EXPECT_NE(html.find(std::string("src=\"") + j->path + "\""), std::string::npos);
  EXPECT_EQ(html.find("/app.js"), std::string::npos);
}

// The page, its style sheet and its script travel with every copy of the
// program: together they stay under 180 KB (its three views: cleaning, the
// space map and the moves to another drive, and the settings and results
// of Windows' own tools).
TEST(WebRes, InterfaceStaysWithinItsSizeBudget) {
  constexpr uint64_t kInterfaceBudget = 180 * 1024;
  uint64_t total = 0;
  int counted = 0;
  for (uint32_t i = 0; i < g_webResCount; ++i) {
    std::string p = g_webResIndex[i].path;
    if (p.rfind("/t/", 0) == 0) continue;  // the resource tests' own entries
    total += g_webResIndex[i].size;
    ++counted;
  }
  EXPECT_EQ(counted, 3);
  EXPECT_LT(total, kInterfaceBudget) << total << " bytes";
}

TEST(WebRes, LookupIsExactAndLeavesOutAloneOnMiss) {
  std::string out = "keep";
  EXPECT_FALSE(WebResGet("/INDEX.HTML", out, true));
  EXPECT_FALSE(WebResGet("index.html", out, true));
  EXPECT_FALSE(WebResGet("/index.html?x", out, true));
  EXPECT_FALSE(WebResGet("/index.htm", out, true));
  EXPECT_FALSE(WebResGet("", out, true));
  EXPECT_EQ(out, "keep");
}

TEST(WebRes, PrivateEntriesOnlyThroughTheInternalLookup) {
  std::string out = "keep";
  EXPECT_FALSE(WebResGet("/t/private.txt", out, true));
  EXPECT_EQ(out, "keep");
  EXPECT_TRUE(WebResGetInternal("/t/private.txt", out));
  EXPECT_EQ(out, "not for the wire\n");
}

TEST(WebRes, CountAndPoolSizeAgreeWithTheIndex) {
  EXPECT_TRUE(WebResAvailable());
  EXPECT_EQ(WebResCount(), g_webResCount);
  EXPECT_EQ(g_webResCount, 3u + 65u + 1u);
  uint64_t sum = 0;
  for (uint32_t i = 0; i < g_webResCount; ++i) {
    EXPECT_EQ(g_webResIndex[i].offset, sum) << g_webResIndex[i].path;
    sum += g_webResIndex[i].size;
  }
  EXPECT_EQ(sum, g_webResPoolSize);
}
