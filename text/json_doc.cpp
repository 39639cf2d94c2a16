#include "text/json_doc.h"

#include <cstring>

#include "platform/platform.h"

namespace tov {
namespace {

struct Reader {
  const std::string& s;
  size_t at = 0;
};

void Space(Reader& r) {
  while (r.at < r.s.size() &&
         (r.s[r.at] == ' ' || r.s[r.at] == '\t' || r.s[r.at] == '\n' || r.s[r.at] == '\r'))
    ++r.at;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Hex4(Reader& r, uint32_t* v) {
  if (r.at + 4 > r.s.size()) return false;
  *v = 0;
  for (int k = 0; k < 4; ++k) {
    int h = Hex(r.s[r.at + k]);
    if (h < 0) return false;
    *v = *v * 16 + static_cast<uint32_t>(h);
  }
  r.at += 4;
  return true;
}

bool String(Reader& r, std::string* out) {
  if (r.at >= r.s.size() || r.s[r.at] != '"') return false;
  ++r.at;
  while (r.at < r.s.size()) {
    unsigned char c = static_cast<unsigned char>(r.s[r.at]);
    if (c == '"') {
      ++r.at;
      return true;
    }
    if (c < 0x20) return false;
    if (c != '\\') {
      out->push_back(static_cast<char>(c));
      ++r.at;
      continue;
    }
    if (r.at + 1 >= r.s.size()) return false;
    char e = r.s[r.at + 1];
    r.at += 2;
    const char* simple = e ? strchr("\"\\/bfnrt", e) : nullptr;
    if (simple) {
      out->push_back("\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"]);
      continue;
    }
    uint32_t v = 0;
    if (e != 'u' || !Hex4(r, &v)) return false;
    // A surrogate pair makes one character; a lone half is no text.
    if (v >= 0xD800 && v < 0xDC00) {
      uint32_t low = 0;
      if (r.at + 2 > r.s.size() || r.s[r.at] != '\\' || r.s[r.at + 1] != 'u') return false;
      r.at += 2;
      if (!Hex4(r, &low) || low < 0xDC00 || low >= 0xE000) return false;
      v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
    } else if (v >= 0xDC00 && v < 0xE000) {
      return false;
    }
    AppendUtf8(v, out);
  }
  return false;
}

bool Digits(Reader& r) {
  size_t start = r.at;
  while (r.at < r.s.size() && r.s[r.at] >= '0' && r.s[r.at] <= '9') ++r.at;
  return r.at > start;
}

bool Number(Reader& r, std::string* out) {
  size_t start = r.at;
  if (r.at < r.s.size() && r.s[r.at] == '-') ++r.at;
  if (r.at < r.s.size() && r.s[r.at] == '0') {
    ++r.at;
  } else if (!Digits(r)) {
    return false;
  }
  if (r.at < r.s.size() && r.s[r.at] == '.') {
    ++r.at;
    if (!Digits(r)) return false;
  }
  if (r.at < r.s.size() && (r.s[r.at] == 'e' || r.s[r.at] == 'E')) {
    ++r.at;
    if (r.at < r.s.size() && (r.s[r.at] == '+' || r.s[r.at] == '-')) ++r.at;
    if (!Digits(r)) return false;
  }
  out->assign(r.s, start, r.at - start);
  return true;
}

bool Literal(Reader& r, const char* word) {
  size_t n = strlen(word);
  if (r.s.compare(r.at, n, word) != 0) return false;
  r.at += n;
  return true;
}

bool Value(Reader& r, int depth, JsonValue* v) {
  Space(r);
  if (r.at >= r.s.size()) return false;
  char c = r.s[r.at];
  if (c == '{' || c == '[') {
    if (depth >= kMaxJsonDocDepth) return false;
    bool object = c == '{';
    v->kind = object ? JsonValue::Kind::Object : JsonValue::Kind::Array;
    ++r.at;
    Space(r);
    char close = object ? '}' : ']';
    if (r.at < r.s.size() && r.s[r.at] == close) {
      ++r.at;
      return true;
    }
    for (;;) {
      Space(r);
      if (object) {
        std::string key;
        if (!String(r, &key)) return false;
        for (const std::string& k : v->keys)
          if (k == key) return false;
        v->keys.push_back(std::move(key));
        Space(r);
        if (r.at >= r.s.size() || r.s[r.at] != ':') return false;
        ++r.at;
      }
      v->items.emplace_back();
      if (!Value(r, depth + 1, &v->items.back())) return false;
      Space(r);
      if (r.at >= r.s.size()) return false;
      if (r.s[r.at] == close) {
        ++r.at;
        return true;
      }
      if (r.s[r.at] != ',') return false;
      ++r.at;
    }
  }
  if (c == '"') {
    v->kind = JsonValue::Kind::String;
    return String(r, &v->text);
  }
  if (c == 't' || c == 'f') {
    v->kind = JsonValue::Kind::Bool;
    v->flag = c == 't';
    return Literal(r, c == 't' ? "true" : "false");
  }
  if (c == 'n') {
    v->kind = JsonValue::Kind::Null;
    return Literal(r, "null");
  }
  v->kind = JsonValue::Kind::Number;
  return Number(r, &v->text);
}

}  // namespace

bool ParseJson(const std::string& text, JsonValue* out) {
  *out = JsonValue();
  Reader r{text};
  bool whole = Value(r, 0, out);
  Space(r);
  if (whole && r.at == text.size()) return true;
  // Nothing of a refused document is left to read by mistake.
  *out = JsonValue();
  return false;
}

const JsonValue* JsonMemberOf(const JsonValue& v, const std::string& key) {
  if (v.kind != JsonValue::Kind::Object) return nullptr;
  for (size_t i = 0; i < v.keys.size(); ++i)
    if (v.keys[i] == key) return &v.items[i];
  return nullptr;
}

bool JsonIntIn(const JsonValue& v, int64_t lo, int64_t hi, int64_t* out) {
  if (v.kind != JsonValue::Kind::Number) return false;
  if (v.text.find_first_of(".eE") != std::string::npos) return false;
  // At most 18 digits cannot overflow; longer numbers are out of any range here.
  size_t digits = v.text.size() - (v.text[0] == '-' ? 1 : 0);
  if (digits > 18) return false;
  int64_t n = 0;
  for (char c : v.text)
    if (c != '-') n = n * 10 + (c - '0');
  if (v.text[0] == '-') n = -n;
  if (n < lo || n > hi) return false;
  *out = n;
  return true;
}

bool ParseBodyObject(const std::string& body, JsonValue* out) {
  if (body.empty()) {
    *out = JsonValue();
    out->kind = JsonValue::Kind::Object;
    return true;
  }
  return ParseJson(body, out) && out->kind == JsonValue::Kind::Object;
}

JsonField JsonStringMember(const JsonValue& obj, const std::string& key, std::string* out) {
  const JsonValue* v = JsonMemberOf(obj, key);
  if (!v) return JsonField::Missing;
  if (v->kind != JsonValue::Kind::String) return JsonField::WrongType;
  *out = v->text;
  return JsonField::Found;
}

JsonField JsonBoolMember(const JsonValue& obj, const std::string& key, bool* out) {
  const JsonValue* v = JsonMemberOf(obj, key);
  if (!v) return JsonField::Missing;
  if (v->kind != JsonValue::Kind::Bool) return JsonField::WrongType;
  *out = v->flag;
  return JsonField::Found;
}

JsonField JsonStringsMember(const JsonValue& obj, const std::string& key,
                            std::vector<std::string>* out) {
  const JsonValue* v = JsonMemberOf(obj, key);
  if (!v) return JsonField::Missing;
  if (v->kind != JsonValue::Kind::Array) return JsonField::WrongType;
  for (const JsonValue& e : v->items)
    if (e.kind != JsonValue::Kind::String) return JsonField::WrongType;
  out->clear();
  for (const JsonValue& e : v->items) out->push_back(e.text);
  return JsonField::Found;
}

JsonField JsonCountMember(const JsonValue& obj, const std::string& key, uint64_t* out) {
  const JsonValue* v = JsonMemberOf(obj, key);
  if (!v) return JsonField::Missing;
  int64_t n = 0;
  if (!JsonIntIn(*v, 0, 999999999999999999LL, &n)) return JsonField::WrongType;
  *out = static_cast<uint64_t>(n);
  return JsonField::Found;
}

}  // namespace tov
