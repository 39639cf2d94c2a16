// The text helpers (the exact escapes, the failure document, the query
// reader), the JSON writer every document goes through, and the typed
// accessors of the JSON reader as the API reads bodies with them.
#include <gtest/gtest.h>

#include <cstdint>

#include "text/json_doc.h"
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

TEST(FailureJson, EscapesTheMessageAndAppendsMoreMembers) {
  EXPECT_EQ(FailureJson("没有选中任何清理项"), "{\"ok\":false,\"message\":\"没有选中任何清理项\"}");
  EXPECT_EQ(FailureJson("a\"b\\c\n"), "{\"ok\":false,\"message\":\"a\\\"b\\\\c\\n\"}");
  EXPECT_EQ(FailureWriter("服务器返回 503").Key("fallback").Bool(true).EndObject().Take(),
            "{\"ok\":false,\"message\":\"服务器返回 503\",\"fallback\":true}");
  // The success document, alone or with more members.
  EXPECT_EQ(OkJson(), "{\"ok\":true}");
  EXPECT_EQ(OkWriter().Key("started").Bool(true).EndObject().Take(),
            "{\"ok\":true,\"started\":true}");
  JsonValue doc;
  ASSERT_TRUE(ParseJson(FailureJson(std::string("x\x01\"", 3)), &doc));
  std::string message;
  EXPECT_EQ(JsonStringMember(doc, "message", &message), JsonField::Found);
  EXPECT_EQ(message, std::string("x\x01\"", 3));
}

// Every way the writer can be driven, each with the exact text it must
// give: the documents' keys stay in the order they were written, commas
// stand only between values, containers nest and may be empty.
TEST(JsonWriter, WritesExactlyWhatItWasToldInOrder) {
  struct Case {
    const char* label;
    std::string (*build)();
    const char* expected;
  };
  const Case cases[] = {
      {"empty object", [] { return JsonWriter().BeginObject().EndObject().Take(); }, "{}"},
      {"empty array", [] { return JsonWriter().BeginArray().EndArray().Take(); }, "[]"},
      {"keys in call order, not sorted",
       [] {
         return JsonWriter()
             .BeginObject()
             .Key("z")
             .Num(1)
             .Key("a")
             .Bool(false)
             .Key("m")
             .Str("x")
             .EndObject()
             .Take();
       },
       "{\"z\":1,\"a\":false,\"m\":\"x\"}"},
      {"empty containers as members and items",
       [] {
         return JsonWriter()
             .BeginObject()
             .Key("a")
             .BeginArray()
             .EndArray()
             .Key("o")
             .BeginObject()
             .EndObject()
             .Key("l")
             .BeginArray()
             .BeginObject()
             .EndObject()
             .BeginArray()
             .EndArray()
             .EndArray()
             .Key("n")
             .Null()
             .EndObject()
             .Take();
       },
       "{\"a\":[],\"o\":{},\"l\":[{},[]],\"n\":null}"},
      {"nesting: a member after a closed container gets its comma",
       [] {
         return JsonWriter()
             .BeginObject()
             .Key("ok")
             .Bool(true)
             .Key("items")
             .BeginArray()
             .BeginObject()
             .Key("id")
             .Str("a")
             .Key("sub")
             .BeginObject()
             .Key("k")
             .Num(0)
             .EndObject()
             .EndObject()
             .BeginObject()
             .Key("id")
             .Str("b")
             .EndObject()
             .EndArray()
             .Key("total")
             .Num(2)
             .EndObject()
             .Take();
       },
       "{\"ok\":true,\"items\":[{\"id\":\"a\",\"sub\":{\"k\":0}},{\"id\":\"b\"}],"
       "\"total\":2}"},
      {"numbers: the extremes of both kinds",
       [] {
         return JsonWriter()
             .BeginArray()
             .Num(0)
             .Num(18446744073709551615ULL)
             .Int(-1)
             .Int(INT64_MIN)
             .Int(INT64_MAX)
             .Int(0)
             .EndArray()
             .Take();
       },
       "[0,18446744073709551615,-1,-9223372036854775808,9223372036854775807,0]"},
      {"strings and keys escaped as JEsc escapes",
       [] {
         return JsonWriter()
             .BeginObject()
             .Key(std::string("k\"\n", 3))
             .Str(std::string("a\"\\\n\r\t\x01\x1f") + '\0' + "/\x7f临时")
             .EndObject()
             .Take();
       },
       "{\"k\\\"\\n\":\"a\\\"\\\\\\n\\r\\t\\u0001\\u001f\\u0000/\x7f临时\"}"},
      {"an array of strings, empty or not",
       [] {
         return JsonWriter()
             .BeginObject()
             .Key("none")
             .Strings({})
             .Key("two")
             .Strings({"a\"", ""})
             .EndObject()
             .Take();
       },
       "{\"none\":[],\"two\":[\"a\\\"\",\"\"]}"},
      {"a document built elsewhere as a member and an item",
       [] {
         return JsonWriter()
             .BeginObject()
             .Key("drive")
             .Raw("{\"ok\":false}")
             .Key("list")
             .BeginArray()
             .Raw("1")
             .Raw("[]")
             .EndArray()
             .EndObject()
             .Take();
       },
       "{\"drive\":{\"ok\":false},\"list\":[1,[]]}"},
      {"a string alone", [] { return JsonWriter().Str("x").Take(); }, "\"x\""},
      {"a number alone", [] { return JsonWriter().Num(7).Take(); }, "7"},
  };
  for (const Case& c : cases) {
    std::string text = c.build();
    EXPECT_EQ(text, c.expected) << c.label;
    // Whatever the writer gives reads back as JSON.
    JsonValue doc;
    EXPECT_TRUE(ParseJson(text, &doc)) << c.label;
  }
}

TEST(JsonWriter, ReadsBackEveryByteOfAStringAndStartsAfreshAfterTake) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  // Only valid UTF-8 reads back, so the bytes from 0x80 are left to JEsc's
  // test above, which pins them as copied.
  std::string ascii = all.substr(0, 128);
  JsonWriter w;
  w.BeginObject().Key("s").Str(ascii).EndObject();
  EXPECT_EQ(w.Text(), "{\"s\":\"" + JEsc(ascii) + "\"}");
  JsonValue doc;
  ASSERT_TRUE(ParseJson(w.Take(), &doc));
  std::string back;
  EXPECT_EQ(JsonStringMember(doc, "s", &back), JsonField::Found);
  EXPECT_EQ(back, ascii);
  EXPECT_EQ(JEsc(all).substr(JEsc(ascii).size()), all.substr(128));
  // Taken, the writer is empty and writes a new document without a comma.
  EXPECT_EQ(w.Text(), "");
  EXPECT_EQ(w.BeginArray().Num(1).EndArray().Take(), "[1]");
}

// How a body reads: "refused" when it is not one object or the member has
// another type, "missing" when the object lacks it, else its value.
std::string FlagReading(const std::string& body, const char* key) {
  JsonValue doc;
  if (!ParseBodyObject(body, &doc)) return "refused";
  bool flag = false;
  switch (JsonBoolMember(doc, key, &flag)) {
    case JsonField::Missing:
      return "missing";
    case JsonField::WrongType:
      return "refused";
    case JsonField::Found:
      break;
  }
  return flag ? "true" : "false";
}

// The flag where a wrong reading deletes files: a clean is real only when
// the body's own top-level "dryRun" is false. Everything else is refused or
// leaves the flag out (and the clean stays a dry run).
TEST(JsonBoolMember, OnlyTheBodysOwnMemberIsReadAndOnlyAsTrueOrFalse) {
  for (const char* body : {
           "{\"dryRun\":false}",
           " { \"items\" : [\"a\"] ,\n\t\"dryRun\" :\r false } ",
           "{\"dry\\u0052un\":false}",
       })
    EXPECT_EQ(FlagReading(body, "dryRun"), "false") << body;
  EXPECT_EQ(FlagReading("{\"dryRun\":true}", "dryRun"), "true");
  // Nested members, other keys and other keys' values leave it out; so
  // does an empty body, which reads as the empty object.
  for (const char* body : {
           "{\"x\":{\"dryRun\":false}}",
           "{\"x\":[{\"dryRun\":false}]}",
           "{\"dryRunX\":false}",
           "{\"xdryRun\":false}",
           "{\"note\":\"\\\"dryRun\\\":false\"}",
           "{}",
           "",
       })
    EXPECT_EQ(FlagReading(body, "dryRun"), "missing") << body;
  for (const char* body : {
           // Other types, the words as strings among them.
           "{\"dryRun\":1,\"x\":false}",
           "{\"dryRun\":\"yes\",\"a\":false}",
           "{\"dryRun\":\"false\"}",
           "{\"dryRun\":\"true\"}",
           "{\"dryRun\":0}",
           "{\"dryRun\":null}",
           "{\"dryRun\":\"False\"}",
           "{\"dryRun\":\" false\"}",
           "{\"dryRun\":[false]}",
           "{\"dryRun\":{}}",
           // Not one object.
           "[{\"dryRun\":false}]",
           "\"dryRun\":false",
           "false",
           "null",
           " ",
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
           // A member named twice makes the body ambiguous, even when both agree.
           "{\"dryRun\":false,\"dryRun\":true}",
           "{\"dryRun\":true,\"dryRun\":false}",
           "{\"dryRun\":false,\"dryRun\":1}",
           "{\"dryRun\":false,\"dryRun\":false}",
           "{\"dryRun\":false,\"dry\\u0052un\":false}",
       })
    EXPECT_EQ(FlagReading(body, "dryRun"), "refused") << body;
}

TEST(JsonBoolMember, SkipsEveryKindOfValueAndRefusesRunawayNesting) {
  std::string rich =
      "{\"n\":-1.5e3,\"t\":true,\"z\":null,\"s\":\"a\\\"b\\\\c\\u4e2d\\n\",\"o\":{\"p\":[1,[2,{}],"
      "\"]}\"]},\"e\":[],\"dryRun\":false}";
  EXPECT_EQ(FlagReading(rich, "dryRun"), "false");
  std::string deep =
      "{\"x\":" + std::string(10000, '[') + std::string(10000, ']') + ",\"dryRun\":false}";
  EXPECT_EQ(FlagReading(deep, "dryRun"), "refused");
  std::string fine = "{\"x\":" + std::string(20, '[') + std::string(20, ']') + ",\"dryRun\":false}";
  EXPECT_EQ(FlagReading(fine, "dryRun"), "false");
}

// The item list of a clean: found only as the body's own array of strings.
// The two bodies at the top once cleaned "user-temp" through a reader that
// took the first [...] after the key's name, wherever it stood.
TEST(JsonStringsMember, TheItemsAreTheTopLevelArrayOfStringsOrNothing) {
  struct Case {
    const char* body;
    JsonField field;
    std::vector<std::string> items;  // when Found
  } cases[] = {
      {"{\"items\":\"nothing\",\"skip\":[\"user-temp\"]}", JsonField::WrongType, {}},
      {"{\"dryRun\":true,\"x\":{\"items\":[\"user-temp\"]}}", JsonField::Missing, {}},
      {"{\"items\":[\"a\",\"b\"]}", JsonField::Found, {"a", "b"}},
      {"{\"items\":[]}", JsonField::Found, {}},
      {"{ \"items\" : [ \"a]b\" , \"c\\\"d\" , \"\\u4e2d\\n\" ] }",
       JsonField::Found,
       {"a]b", "c\"d", "中\n"}},
      {"{\"items\":[\"a\",5,\"b\"]}", JsonField::WrongType, {}},
      {"{\"items\":[1,2]}", JsonField::WrongType, {}},
      {"{\"items\":[[\"a\"]]}", JsonField::WrongType, {}},
      {"{\"items\":[null]}", JsonField::WrongType, {}},
      {"{\"items\":{\"0\":\"a\"}}", JsonField::WrongType, {}},
      {"{\"items\":null}", JsonField::WrongType, {}},
      {"{\"ids\":[\"a\"],\"x\":[\"q\"]}", JsonField::Missing, {}},
      {"{\"items_\":[\"a\"]}", JsonField::Missing, {}},
  };
  for (const Case& c : cases) {
    JsonValue doc;
    ASSERT_TRUE(ParseBodyObject(c.body, &doc)) << c.body;
    std::vector<std::string> items = {"untouched"};
    EXPECT_EQ(JsonStringsMember(doc, "items", &items), c.field) << c.body;
    EXPECT_EQ(items, c.field == JsonField::Found ? c.items : std::vector<std::string>{"untouched"})
        << c.body;
  }
  // Not one object: nothing to read a member of.
  for (const char* body : {"[\"items\",[\"user-temp\"]]", "[{\"items\":[\"user-temp\"]}]",
                           "{\"items\":[\"user-temp\"]", "{\"items\":[\"user-temp\"],\"items\":[]}",
                           "\"{\\\"items\\\":[\\\"user-temp\\\"]}\"", "7"}) {
    JsonValue doc;
    EXPECT_FALSE(ParseBodyObject(body, &doc)) << body;
  }
}

TEST(JsonStringMember, TextsDecodedOtherTypesSaidApart) {
  JsonValue doc;
  ASSERT_TRUE(ParseBodyObject(
      "{\"s\":\"x\\u4e2dy\\\"\\\\\\/\",\"e\":\"\",\"n\":5,\"z\":null,\"o\":{\"s\":\"in\"},"
      "\"sur\":\"\\ud83d\\ude00\"}",
      &doc));
  std::string out = "untouched";
  EXPECT_EQ(JsonStringMember(doc, "s", &out), JsonField::Found);
  EXPECT_EQ(out, "x中y\"\\/");
  EXPECT_EQ(JsonStringMember(doc, "e", &out), JsonField::Found);
  EXPECT_EQ(out, "");
  EXPECT_EQ(JsonStringMember(doc, "sur", &out), JsonField::Found);
  EXPECT_EQ(out, "\xf0\x9f\x98\x80");
  out = "untouched";
  for (const char* key : {"n", "z", "o"}) {
    EXPECT_EQ(JsonStringMember(doc, key, &out), JsonField::WrongType) << key;
    EXPECT_EQ(out, "untouched") << key;
  }
  EXPECT_EQ(JsonStringMember(doc, "missing", &out), JsonField::Missing);
  EXPECT_EQ(out, "untouched");
  // A document that is no object has no members.
  ASSERT_TRUE(ParseJson("[\"s\"]", &doc));
  EXPECT_EQ(JsonStringMember(doc, "s", &out), JsonField::Missing);
  // Nor has a refused one, however much of it was read before the fault.
  for (const char* text :
       {"{\"s\":\"half\",\"ok\":tru", "{\"s\":\"a\",\"s\":\"b\"}", "{\"s\":\"x\"} {",
        "{\"s\":\"x\",\"o\":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"
        "}"}) {
    EXPECT_FALSE(ParseJson(text, &doc)) << text;
    EXPECT_EQ(doc.kind, JsonValue::Kind::Null) << text;
    EXPECT_EQ(JsonStringMember(doc, "s", &out), JsonField::Missing) << text;
  }
}

TEST(JsonCountMember, UnsignedWholeNumbersOfAtMostEighteenDigits) {
  JsonValue doc;
  ASSERT_TRUE(ParseBodyObject(
      "{\"a\":0,\"b\":999999999999999999,\"c\":1000000000000000000,\"d\":-1,\"e\":1.0,"
      "\"f\":1e3,\"g\":\"5\",\"h\":-0}",
      &doc));
  uint64_t n = 7;
  EXPECT_EQ(JsonCountMember(doc, "a", &n), JsonField::Found);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(JsonCountMember(doc, "b", &n), JsonField::Found);
  EXPECT_EQ(n, 999999999999999999ULL);
  n = 7;
  for (const char* key : {"c", "d", "e", "f", "g"}) {
    EXPECT_EQ(JsonCountMember(doc, key, &n), JsonField::WrongType) << key;
    EXPECT_EQ(n, 7u) << key;
  }
  EXPECT_EQ(JsonCountMember(doc, "h", &n), JsonField::Found);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(JsonCountMember(doc, "x", &n), JsonField::Missing);
}
