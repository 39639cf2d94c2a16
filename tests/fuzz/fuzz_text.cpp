// libFuzzer harness for the text helpers and the typed accessors through
// which the program reads every body. The input is split into a key and a
// body (the first byte chooses the key's length, the second is not used); every reader runs on the
// pair, and properties that must hold for any bytes are checked:
// - JEsc's output has no raw control byte and no unescaped quote, and reads
//   back to the input through the JSON reader; so does FailureJson's message;
// - a value percent-encoded byte by byte reads back through QueryOf;
// - a body read as an object has members only of the kinds the accessors
//   report: each says Found exactly when JsonMemberOf finds the member with
//   the accessor's type, Missing exactly when it finds none;
// - nothing wrapped in [ ] reads as an object, and an object that names the
//   key twice is refused;
// - an array of escaped elements reads back element for element.
// Reads past the end of a buffer are ASan's to catch.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "text/json_doc.h"
#include "text/text.h"

namespace {

void Check(bool ok, const char* what, const std::string& a, const std::string& b = "") {
  if (ok) return;
  fprintf(stderr, "INVARIANT BROKEN: %s\n[%s]\n[%s]\n", what, a.c_str(), b.c_str());
  fflush(stderr);
  abort();
}

// The JSON-string properties of an escaped text: no byte below 0x20, and
// every quote preceded by an odd run of backslashes.
void CheckEscaped(const std::string& in, const std::string& esc) {
  size_t backslashes = 0;
  for (unsigned char c : esc) {
    Check(c >= 0x20, "JEsc left a control byte", in, esc);
    if (c == '"') Check(backslashes % 2 == 1, "JEsc left a quote unescaped", in, esc);
    backslashes = c == '\\' ? backslashes + 1 : 0;
  }
  Check(backslashes % 2 == 0, "JEsc output ends inside an escape", in, esc);
}

std::string PercentEncodeAll(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The second byte is not used; the seeds keep their layout of key length,
  // flag byte, key and body.
  size_t keyLen = data[0] % 16;
  data += 2;
  size -= 2;
  if (keyLen > size) keyLen = size;
  std::string key(reinterpret_cast<const char*>(data), keyLen);
  std::string body(reinterpret_cast<const char*>(data) + keyLen, size - keyLen);

  // The accessors on arbitrary bodies: no crash, and the shapes they promise.
  tov::JsonValue doc;
  if (tov::ParseBodyObject(body, &doc)) {
    Check(doc.kind == tov::JsonValue::Kind::Object, "a body object that is no object", key, body);
    const tov::JsonValue* v = tov::JsonMemberOf(doc, key);
    using tov::JsonField;
    using Kind = tov::JsonValue::Kind;
    auto expect = [v](Kind kind) {
      return !v ? JsonField::Missing : v->kind == kind ? JsonField::Found : JsonField::WrongType;
    };
    std::string text;
    bool flag = false;
    std::vector<std::string> list;
    uint64_t count = 0;
    Check(tov::JsonStringMember(doc, key, &text) == expect(Kind::String), "string member", key,
          body);
    Check(tov::JsonBoolMember(doc, key, &flag) == expect(Kind::Bool), "bool member", key, body);
    JsonField strings = tov::JsonStringsMember(doc, key, &list);
    if (expect(Kind::Array) != JsonField::Found) {
      Check(strings == expect(Kind::Array), "strings member of no array", key, body);
    } else {
      bool allText = true;
      for (const tov::JsonValue& e : v->items) allText = allText && e.kind == Kind::String;
      Check(strings == (allText ? JsonField::Found : JsonField::WrongType), "strings member", key,
            body);
      if (allText)
        Check(list.size() == v->items.size(), "strings member lost an element", key, body);
    }
    JsonField counted = tov::JsonCountMember(doc, key, &count);
    if (counted == JsonField::Found)
      Check(v->kind == Kind::Number && tov::Num(count) == (v->text == "-0" ? "0" : v->text),
            "count member is not the number's text", key, body);
    else
      Check((counted == JsonField::Missing) == !v, "count member missing", key, body);
    // The same member named twice is refused.
    std::string twice = "{\"" + tov::JEsc(key) + "\":1,\"" + tov::JEsc(key) + "\":1}";
    Check(!tov::ParseBodyObject(twice, &doc), "a member named twice was read", key, twice);
  }
  Check(!tov::ParseBodyObject("[" + body + "]", &doc), "an array read as an object", key, body);

  std::string q = tov::QueryOf(body, key);
  if (body.find('?') == std::string::npos) Check(q.empty(), "QueryOf without a query", key, body);
  Check(q.size() <= body.size(), "QueryOf grew the value", key, q);

  // Escaping, and reading an escaped value back, under any key.
  std::string esc = tov::JEsc(body);
  CheckEscaped(body, esc);
  std::string back;
  Check(tov::ParseBodyObject("{\"" + tov::JEsc(key) + "\":\"" + esc + "\"}", &doc) &&
            tov::JsonStringMember(doc, key, &back) == tov::JsonField::Found && back == body,
        "JEsc(x) does not read back as x", body, esc);
  Check(tov::ParseBodyObject(tov::FailureWriter(body).Key("fallback").Bool(true).EndObject().Take(),
                             &doc) &&
            tov::JsonStringMember(doc, "message", &back) == tov::JsonField::Found && back == body,
        "FailureJson(x) does not read back as x", body);

  // A value encoded byte by byte comes back whole, whatever it holds, as
  // long as the key cannot be found earlier in the query than where it is.
  if (key.find_first_of("?=&%+") == std::string::npos && !key.empty()) {
    std::string target = "/api/detail?" + key + "=" + PercentEncodeAll(body) + "&limit=5";
    Check(tov::QueryOf(target, key) == body, "QueryOf(encoded x) is not x", key, body);
  }

  // An array of the body's comma-separated parts, each escaped, reads back.
  std::vector<std::string> parts;
  std::string cur;
  for (char c : body) {
    if (c == ',') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  std::string arrayDoc = "{\"x\":{\"" + tov::JEsc(key) + "\":1},\"" + tov::JEsc(key) + "\":[";
  for (size_t i = 0; i < parts.size(); ++i)
    arrayDoc += (i ? ",\"" : "\"") + tov::JEsc(parts[i]) + "\"";
  arrayDoc += "],\"dryRun\":false}";
  std::vector<std::string> list;
  Check(key != "x" && key != "dryRun"
            ? tov::ParseBodyObject(arrayDoc, &doc) &&
                  tov::JsonStringsMember(doc, key, &list) == tov::JsonField::Found && list == parts
            : !tov::ParseBodyObject(arrayDoc, &doc),
        "an array of escaped texts does not read back", key, arrayDoc);
  return 0;
}
