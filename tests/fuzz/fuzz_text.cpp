// libFuzzer harness for the text helpers that read request parameters and
// escape answers. The input is split into a key and a body (the first byte
// chooses the key's length); every reader runs on the pair, and properties
// that must hold for any bytes are checked:
// - JEsc's output has no raw control byte and no unescaped quote, and reads
//   back to the input through JsonStr (and, without control bytes, JStr);
// - a value percent-encoded byte by byte reads back through QueryOf;
// - array elements are substrings of the body without quotes;
// - JsonBool only falls back to the default when it finds neither word;
// - JsonTopLevelBool leaves its default only for a body that holds the key
//   and the other word (or an escape that may spell it), and a body that is
//   no object always gives the default.
// Reads past the end of a buffer are ASan's to catch.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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
  size_t keyLen = data[0] % 16;
  bool def = data[1] & 1;
  data += 2;
  size -= 2;
  if (keyLen > size) keyLen = size;
  std::string key(reinterpret_cast<const char*>(data), keyLen);
  std::string body(reinterpret_cast<const char*>(data) + keyLen, size - keyLen);

  // Readers on arbitrary bodies: no crash, and the shapes they promise.
  bool b1 = tov::JsonBool(body, key, def);
  bool b2 = tov::JsonBool(body, key, !def);
  if (b1 != b2) Check(b1 == def && b2 == !def, "JsonBool mixed up its default", key, body);
  if (body.find("\"" + key + "\"") == std::string::npos)
    Check(b1 == def, "JsonBool decided a missing key", key, body);

  bool t1 = tov::JsonTopLevelBool(body, key, def);
  if (t1 != def) {
    // The word itself, or a string that spells it with escapes.
    Check(body.find(def ? "false" : "true") != std::string::npos ||
              body.find('\\') != std::string::npos,
          "JsonTopLevelBool left its default without the word", key, body);
  }
  Check(tov::JsonTopLevelBool("[" + body + "]", key, def) == def,
        "JsonTopLevelBool read a member of something that is no object", key, body);

  for (const std::string& e : tov::JsonStrArray(body, key)) {
    Check(e.find('"') == std::string::npos, "an array element holds a quote", key, e);
    Check(body.find("\"" + e + "\"") != std::string::npos, "an array element not in the body", key,
          e);
  }
  std::string s1 = tov::JsonStr(body, key);
  std::string s2 = tov::JStr(body, key);
  if (body.find("\"" + key + "\"") == std::string::npos) {
    Check(s1.empty() && s2.empty(), "a string read for a missing key", key, body);
  }
  // JStr only drops backslashes, so its result is never longer than the body.
  Check(s2.size() <= body.size(), "JStr grew the value", key, s2);

  std::string q = tov::QueryOf(body, key);
  if (body.find('?') == std::string::npos) Check(q.empty(), "QueryOf without a query", key, body);
  Check(q.size() <= body.size(), "QueryOf grew the value", key, q);

  // Escaping, and reading an escaped value back.
  std::string esc = tov::JEsc(body);
  CheckEscaped(body, esc);
  Check(tov::JsonStr("{\"v\":\"" + esc + "\"}", "v") == body, "JsonStr(JEsc(x)) is not x", body,
        esc);
  bool hasControl = false;
  for (unsigned char c : body) hasControl = hasControl || c < 0x20;
  if (!hasControl)
    Check(tov::JStr("{\"v\":\"" + esc + "\"}", "v") == body, "JStr(JEsc(x)) is not x", body, esc);

  // A value encoded byte by byte comes back whole, whatever it holds, as
  // long as the key cannot be found earlier in the query than where it is.
  if (key.find_first_of("?=&%+") == std::string::npos && !key.empty()) {
    std::string target = "/api/detail?" + key + "=" + PercentEncodeAll(body) + "&limit=5";
    Check(tov::QueryOf(target, key) == body, "QueryOf(encoded x) is not x", key, body);
  }

  // An array built from quote-free, bracket-free elements reads back.
  std::vector<std::string> parts;
  std::string cur;
  for (char c : body) {
    if (c == ',') {
      parts.push_back(cur);
      cur.clear();
    } else if (c != '"' && c != ']') {
      cur += c;
    }
  }
  parts.push_back(cur);
  if (!key.empty() && key.find_first_of("\"[]") == std::string::npos) {
    std::string doc = "{\"" + key + "\":[";
    for (size_t i = 0; i < parts.size(); ++i) doc += (i ? ",\"" : "\"") + parts[i] + "\"";
    doc += "],\"dryRun\":false}";
    Check(tov::JsonStrArray(doc, key) == parts, "JsonStrArray lost an element", key, doc);
  }
  return 0;
}
