// The text helpers: the exact escapes, windows, brackets and decodings that
// the API's callers rely on, including where they differ from real JSON.
#include <gtest/gtest.h>

#include "text/text.h"

using namespace tov;

TEST(JEsc, EscapesQuotesBackslashesAndControlBytes) {
  EXPECT_EQ(JEsc(std::string("a\"\\\n\x01", 5)), "a\\\"\\\\\\n\\u0001");
  EXPECT_EQ(JEsc("\r\t"), "\\r\\t");
  EXPECT_EQ(JEsc(std::string("\x08\x0c\x1b\x00", 4)), "\\u0008\\u000c\\u001b\\u0000");
}

TEST(JEsc, LeavesSlashDelAndUtf8Alone) {
  EXPECT_EQ(JEsc("a/b\x7f"), "a/b\x7f");
  EXPECT_EQ(JEsc("临时文件"), "临时文件");
  EXPECT_EQ(JEsc(""), "");
}

TEST(Num, FormatsPlainDecimal) {
  EXPECT_EQ(Num(0), "0");
  EXPECT_EQ(Num(18446744073709551615ULL), "18446744073709551615");
  EXPECT_EQ(Num(1000000), "1000000");
}

TEST(JsonBool, ReadsWordsInTheSixteenByteWindow) {
  EXPECT_FALSE(JsonBool("{\"dryRun\":false}", "dryRun", true));
  EXPECT_TRUE(JsonBool("{\"dryRun\":true}", "dryRun", false));
  EXPECT_TRUE(JsonBool("{\"dryRun\":1}", "dryRun", true));
  EXPECT_FALSE(JsonBool("{\"dryRun\":0}", "dryRun", false));
  EXPECT_TRUE(JsonBool("{}", "dryRun", true));
  EXPECT_TRUE(JsonBool("{\"dryRun\": \"true\"}", "dryRun", false));
  // A short value can be decided by the next field inside the window...
  EXPECT_TRUE(JsonBool("{\"dryRun\":0,\"x\":true}", "dryRun", false));
  // ...but not by one that starts past its 16 bytes.
  EXPECT_FALSE(JsonBool("{\"dryRun\":0,\"longername\":true}", "dryRun", false));
  // "true" wins over "false" wherever each stands in the window.
  EXPECT_TRUE(JsonBool("{\"a\":false,\"b\":true}", "a", false));
}

TEST(JsonBool, KeyMustBeQuotedAndColonMayComeLate) {
  EXPECT_TRUE(JsonBool("{dryRun:false}", "dryRun", true));  // bare key: absent
  EXPECT_FALSE(JsonBool("{\"dryRun\"  :  false}", "dryRun", true));
  EXPECT_TRUE(JsonBool("{\"dryRun\"}", "dryRun", true));  // no colon: absent
}

TEST(JsonStrArray, TakesStringElementsBetweenBrackets) {
  EXPECT_EQ(JsonStrArray("{\"ids\":[\"a\",\"b\"]}", "ids"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(JsonStrArray("{\"ids\": [ \"a\" , 5, \"b\" ]}", "ids"),
            (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(JsonStrArray("{\"ids\":[]}", "ids").empty());
  EXPECT_TRUE(JsonStrArray("{\"ids\":\"a\"}", "ids").empty());
  EXPECT_TRUE(JsonStrArray("{\"ids\":[1,2]}", "ids").empty());
  EXPECT_TRUE(JsonStrArray("{}", "ids").empty());
  EXPECT_TRUE(JsonStrArray("{\"ids\":[\"a\"", "ids").empty());  // no closing bracket
}

TEST(JsonStrArray, ElementsAreLiteralAndStopAtTheFirstBracket) {
  EXPECT_EQ(JsonStrArray("{\"ids\":[\"a\\nb\"]}", "ids"), (std::vector<std::string>{"a\\nb"}));
  // The first ] ends the array, even inside a string.
  EXPECT_EQ(JsonStrArray("{\"ids\":[\"a]b\",\"c\"]}", "ids"), (std::vector<std::string>{}));
  // An unterminated element ends the scan.
  EXPECT_EQ(JsonStrArray("{\"ids\":[\"a\",\"b]}", "ids"), (std::vector<std::string>{"a"}));
  // The bracket may lie behind other keys.
  EXPECT_EQ(JsonStrArray("{\"ids\":1,\"x\":[\"q\"]}", "ids"), (std::vector<std::string>{"q"}));
}

TEST(JsonStr, DecodesEscapes) {
  EXPECT_EQ(JsonStr("{\"msg\": \"x\\u4e2dy\"}", "msg"),
            "x\xe4\xb8\xad"
            "y");
  EXPECT_EQ(JsonStr("{\"m\":\"a\\\"b\\\\c\\/d\\ne\\rf\\tg\"}", "m"), "a\"b\\c/d\ne\rf\tg");
  EXPECT_EQ(JsonStr("{\"m\":\"\\u00e9\\u0041\"}", "m"),
            "\xc3\xa9"
            "A");
  // Other escapes append nothing.
  EXPECT_EQ(JsonStr("{\"m\":\"a\\bc\\fd\\xe\"}", "m"), "acde");
  // Non-hex digits count as 0.
  EXPECT_EQ(JsonStr("{\"m\":\"\\u00zA\"}", "m"), "\n");
  // Surrogate halves are written one by one.
  EXPECT_EQ(JsonStr("{\"m\":\"\\ud83d\"}", "m"), "\xed\xa0\xbd");
}

TEST(JsonStr, NonStringsAndTruncations) {
  EXPECT_EQ(JsonStr("{\"msg\":5}", "msg"), "");
  EXPECT_EQ(JsonStr("{\"msg\":null}", "msg"), "");
  EXPECT_EQ(JsonStr("{\"msg\":\"abc", "msg"), "abc");
  EXPECT_EQ(JsonStr("{\"msg\":\n\t \"v\"}", "msg"), "v");
  EXPECT_EQ(JsonStr("{\"msg\":   ", "msg"), "");
  // \u without four more bytes consumes two bytes and appends nothing.
  EXPECT_EQ(JsonStr("{\"m\":\"a\\u12", "m"), "a12");
  // A backslash as the very last byte is kept.
  EXPECT_EQ(JsonStr("{\"m\":\"a\\", "m"), "a\\");
}

TEST(JStr, TakesTheEscapedByteLiterally) {
  EXPECT_EQ(JStr("{\"v\":\"1\\.2\"}", "v"), "1.2");
  EXPECT_EQ(JStr("{\"v\":\"a\\nb\"}", "v"), "anb");
  EXPECT_EQ(JStr("{\"v\":\"\\u00e9\"}", "v"), "u00e9");
  EXPECT_EQ(JStr("{\"v\":\"q\\\"q\"}", "v"), "q\"q");
  EXPECT_EQ(JStr("{\"v\":\"a\\", "v"), "a\\");
  EXPECT_EQ(JStr("{\"v\":7}", "v"), "");
  // Only space, tab, CR and LF are skipped before the quote.
  EXPECT_EQ(JStr("{\"v\":\f\"x\"}", "v"), "");
  EXPECT_EQ(JsonStr("{\"v\":\f\"x\"}", "v"), "x");
}

TEST(QueryOf, DecodesPlusAndPercent) {
  EXPECT_EQ(QueryOf("/api/x?id=a%20b+c&n=1", "id"), "a b c");
  EXPECT_EQ(QueryOf("/api/x?id=a%20b+c&n=1", "n"), "1");
  EXPECT_EQ(QueryOf("/api/x", "id"), "");
  EXPECT_EQ(QueryOf("/api/x?other=1", "id"), "");
  EXPECT_EQ(QueryOf("/api/x?id=%e4%b8%ad", "id"), "\xe4\xb8\xad");
}

TEST(QueryOf, IsNotAnchoredAndTakesTheFirstMatch) {
  EXPECT_EQ(QueryOf("/api/x?xid=5", "id"), "5");
  EXPECT_EQ(QueryOf("/api/x?xid=5&id=6", "id"), "5");
  EXPECT_EQ(QueryOf("/a?b?id=1", "id"), "1");  // everything after the first ?
  EXPECT_EQ(QueryOf("/a?id=1#frag", "id"), "1#frag");
}

TEST(QueryOf, OddPercentForms) {
  EXPECT_EQ(QueryOf("/a?id=x%", "id"), "x%");
  EXPECT_EQ(QueryOf("/a?id=x%4", "id"), "x%4");
  EXPECT_EQ(QueryOf("/a?id=%zz", "id"), std::string(1, '\0'));
  EXPECT_EQ(QueryOf("/a?id=%4z", "id"), std::string(1, '\x04'));
  EXPECT_EQ(QueryOf("/a?id=%41%42", "id"), "AB");
}

TEST(Utf, RoundTripsChineseAndReplacesInvalidBytes) {
  std::string zh = "清理 C:\\临时";
  EXPECT_EQ(W2UX(U2WX(zh)), zh);
  EXPECT_EQ(U2WX(""), L"");
  EXPECT_EQ(W2UX(L""), "");
  std::wstring bad = U2WX(
      "a\xff"
      "b");
  ASSERT_EQ(bad.size(), 3u);
  EXPECT_EQ(bad[1], static_cast<wchar_t>(0xFFFD));
  // Embedded NUL bytes are converted too.
  EXPECT_EQ(U2WX(std::string("a\0b", 3)).size(), 3u);
}

// The reader of flags where a wrong reading deletes files: only the body's
// own top-level member counts, and anything unclear keeps the default.
TEST(JsonTopLevelBool, OnlyAnExplicitTopLevelValueChangesTheDefault) {
  // What makes a clean real.
  EXPECT_FALSE(JsonTopLevelBool("{\"dryRun\":false}", "dryRun", true));
  EXPECT_FALSE(
      JsonTopLevelBool(" { \"items\" : [\"a\"] ,\n\t\"dryRun\" :\r false } ", "dryRun", true));
  EXPECT_FALSE(JsonTopLevelBool("{\"dryRun\":\"false\"}", "dryRun", true));
  EXPECT_FALSE(JsonTopLevelBool("{\"dry\\u0052un\":false}", "dryRun", true));
  // What stays a dry run: other types, nested members, other keys' values.
  for (const char* body : {
           "{\"dryRun\":1,\"x\":false}",
           "{\"dryRun\":\"yes\",\"a\":false}",
           "{\"x\":{\"dryRun\":false}}",
           "{\"x\":[{\"dryRun\":false}]}",
           "{\"dryRun\":0}",
           "{\"dryRun\":null}",
           "{\"dryRun\":\"False\"}",
           "{\"dryRun\":\" false\"}",
           "{\"dryRun\":[false]}",
           "{\"dryRun\":{}}",
           "{\"dryRunX\":false}",
           "{\"xdryRun\":false}",
           "{\"note\":\"\\\"dryRun\\\":false\"}",
           "{}",
           "",
           "[{\"dryRun\":false}]",
           "\"dryRun\":false",
           // Malformed bodies, however close to a real request.
           "{\"dryRun\":false",
           "{\"dryRun\":false,}",
           "{\"dryRun\":false}}",
           "{\"dryRun\":false} x",
           "{\"dryRun\" false}",
           "{'dryRun':false}",
           "{\"dryRun\":fals}",
           "{\"dryRun\":falsey}",
           "{\"items\":[\"a\",],\"dryRun\":false}",
           "{\"a\":\"\x01\",\"dryRun\":false}",
           // Duplicates that disagree.
           "{\"dryRun\":false,\"dryRun\":true}",
           "{\"dryRun\":true,\"dryRun\":false}",
           "{\"dryRun\":false,\"dryRun\":1}",
       })
    EXPECT_TRUE(JsonTopLevelBool(body, "dryRun", true)) << body;
  // A member named twice makes the body ambiguous, even when both agree.
  EXPECT_TRUE(JsonTopLevelBool("{\"dryRun\":false,\"dryRun\":\"false\"}", "dryRun", true));
  // The same reader for a flag whose default is false.
  EXPECT_TRUE(JsonTopLevelBool("{\"restartExplorer\":true}", "restartExplorer", false));
  EXPECT_TRUE(JsonTopLevelBool("{\"restartExplorer\":\"true\"}", "restartExplorer", false));
  EXPECT_FALSE(JsonTopLevelBool("{\"restartExplorer\":1}", "restartExplorer", false));
  EXPECT_FALSE(JsonTopLevelBool("{\"o\":{\"restartExplorer\":true}}", "restartExplorer", false));
}

TEST(JsonTopLevelBool, SkipsEveryKindOfValueAndRefusesRunawayNesting) {
  std::string rich =
      "{\"n\":-1.5e3,\"t\":true,\"z\":null,\"s\":\"a\\\"b\\\\c\\u4e2d\\n\",\"o\":{\"p\":[1,[2,{}],"
      "\"]}\"]},\"e\":[],\"dryRun\":false}";
  EXPECT_FALSE(JsonTopLevelBool(rich, "dryRun", true));
  std::string deep =
      "{\"x\":" + std::string(10000, '[') + std::string(10000, ']') + ",\"dryRun\":false}";
  EXPECT_TRUE(JsonTopLevelBool(deep, "dryRun", true));
  std::string fine = "{\"x\":" + std::string(20, '[') + std::string(20, ']') + ",\"dryRun\":false}";
  EXPECT_FALSE(JsonTopLevelBool(fine, "dryRun", true));
}
