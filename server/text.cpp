#include "server/text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace tov {
namespace {

// Position of the key's colon, or npos when the key or a later colon is
// missing. The colon may lie anywhere after the quoted key.
size_t ColonAfterKey(const std::string& body, const std::string& key) {
  size_t at = body.find("\"" + key + "\"");
  if (at == std::string::npos) return std::string::npos;
  return body.find(':', at);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;  // anything else counts as 0
}

void AppendUtf8(unsigned v, std::string* out) {
  if (v <= 0x7F) {
    out->push_back(static_cast<char>(v));
  } else if (v <= 0x7FF) {
    out->push_back(static_cast<char>(0xC0 | (v >> 6)));
    out->push_back(static_cast<char>(0x80 | (v & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (v >> 12)));
    out->push_back(static_cast<char>(0x80 | ((v >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (v & 0x3F)));
  }
}

// A small reader of one JSON document, enough to find top-level members.
// Every function advances at past what it read and returns false on
// malformed input.
constexpr int kMaxJsonDepth = 64;

void SkipSpace(const std::string& s, size_t& at) {
  while (at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\n' || s[at] == '\r')) ++at;
}

// A string with its escapes decoded into *out (may be null).
bool ReadString(const std::string& s, size_t& at, std::string* out) {
  if (at >= s.size() || s[at] != '"') return false;
  ++at;
  while (at < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[at]);
    if (c == '"') {
      ++at;
      return true;
    }
    if (c < 0x20) return false;
    if (c != '\\') {
      if (out) out->push_back(static_cast<char>(c));
      ++at;
      continue;
    }
    if (at + 1 >= s.size()) return false;
    char e = s[at + 1];
    at += 2;
    const char* simple = strchr("\"\\/bfnrt", e);
    if (e != '\0' && simple) {
      static const char kDecoded[] = "\"\\/\b\f\n\r\t";
      if (out) out->push_back(kDecoded[simple - "\"\\/bfnrt"]);
      continue;
    }
    if (e != 'u' || at + 4 > s.size()) return false;
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
      char h = s[at + k];
      if (!isxdigit(static_cast<unsigned char>(h))) return false;
      v = v * 16 + static_cast<unsigned>(HexDigit(h));
    }
    at += 4;
    if (out) AppendUtf8(v, out);
  }
  return false;
}

bool SkipValue(const std::string& s, size_t& at, int depth);

// A literal, a number or a string: its text in *raw (a string decoded and
// marked by a leading quote), for the caller to judge.
bool ReadScalar(const std::string& s, size_t& at, std::string* raw) {
  if (at < s.size() && s[at] == '"') {
    raw->assign(1, '"');
    return ReadString(s, at, raw);
  }
  size_t start = at;
  while (at < s.size() && (isalnum(static_cast<unsigned char>(s[at])) || s[at] == '-' ||
                           s[at] == '+' || s[at] == '.'))
    ++at;
  raw->assign(s, start, at - start);
  if (raw->empty()) return false;
  if (*raw == "true" || *raw == "false" || *raw == "null") return true;
  // A number: -?digits[.digits][e[+-]digits]; strtod is stricter enough.
  char* end = nullptr;
  strtod(raw->c_str(), &end);
  return end && *end == '\0' &&
         (isdigit(static_cast<unsigned char>((*raw)[0])) || (*raw)[0] == '-');
}

bool SkipContainer(const std::string& s, size_t& at, int depth, char open, char close) {
  if (depth > kMaxJsonDepth || at >= s.size() || s[at] != open) return false;
  ++at;
  SkipSpace(s, at);
  if (at < s.size() && s[at] == close) {
    ++at;
    return true;
  }
  for (;;) {
    if (open == '{') {
      if (!ReadString(s, at, nullptr)) return false;
      SkipSpace(s, at);
      if (at >= s.size() || s[at] != ':') return false;
      ++at;
      SkipSpace(s, at);
    }
    if (!SkipValue(s, at, depth + 1)) return false;
    SkipSpace(s, at);
    if (at >= s.size()) return false;
    if (s[at] == close) {
      ++at;
      return true;
    }
    if (s[at] != ',') return false;
    ++at;
    SkipSpace(s, at);
  }
}

bool SkipValue(const std::string& s, size_t& at, int depth) {
  if (at >= s.size()) return false;
  if (s[at] == '{') return SkipContainer(s, at, depth, '{', '}');
  if (s[at] == '[') return SkipContainer(s, at, depth, '[', ']');
  std::string raw;
  return ReadScalar(s, at, &raw);
}

}  // namespace

bool JsonTopLevelBool(const std::string& body, const std::string& key, bool def) {
  size_t at = 0;
  SkipSpace(body, at);
  if (at >= body.size() || body[at] != '{') return def;
  ++at;
  SkipSpace(body, at);
  int seen = 0, saidOther = 0;
  if (at < body.size() && body[at] == '}') {
    ++at;
  } else {
    for (;;) {
      std::string name;
      if (!ReadString(body, at, &name)) return def;
      SkipSpace(body, at);
      if (at >= body.size() || body[at] != ':') return def;
      ++at;
      SkipSpace(body, at);
      if (name == key) {
        ++seen;
        std::string raw;
        size_t start = at;
        if (body[start] == '{' || body[start] == '[') {
          if (!SkipValue(body, at, 1)) return def;
        } else if (!ReadScalar(body, at, &raw)) {
          return def;
        }
        const char* other = def ? "false" : "true";
        if (raw == other || raw == std::string("\"") + other) ++saidOther;
      } else if (!SkipValue(body, at, 1)) {
        return def;
      }
      SkipSpace(body, at);
      if (at >= body.size()) return def;
      if (body[at] == '}') {
        ++at;
        break;
      }
      if (body[at] != ',') return def;
      ++at;
      SkipSpace(body, at);
    }
  }
  SkipSpace(body, at);
  if (at != body.size()) return def;
  return (seen > 0 && saidOther == seen) ? !def : def;
}

std::string JEsc(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 8);
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(ch);
        }
    }
  }
  return out;
}

std::string Num(uint64_t v) {
  char buf[24];
  snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
  return buf;
}

bool JsonBool(const std::string& body, const std::string& key, bool def) {
  size_t colon = ColonAfterKey(body, key);
  if (colon == std::string::npos) return def;
  std::string window = body.substr(colon + 1, 16);
  if (window.find("true") != std::string::npos) return true;
  if (window.find("false") != std::string::npos) return false;
  return def;
}

std::vector<std::string> JsonStrArray(const std::string& body, const std::string& key) {
  std::vector<std::string> out;
  size_t at = body.find("\"" + key + "\"");
  if (at == std::string::npos) return out;
  size_t open = body.find('[', at);
  if (open == std::string::npos) return out;
  size_t close = body.find(']', open);
  if (close == std::string::npos) return out;
  size_t i = open + 1;
  while (i < close) {
    if (body[i] != '"') {
      ++i;
      continue;
    }
    size_t end = body.find('"', i + 1);
    if (end == std::string::npos || end > close) break;
    out.push_back(body.substr(i + 1, end - i - 1));
    i = end + 1;
  }
  return out;
}

std::string JsonStr(const std::string& body, const std::string& key) {
  size_t colon = ColonAfterKey(body, key);
  if (colon == std::string::npos) return std::string();
  size_t i = colon + 1, n = body.size();
  while (i < n && isspace(static_cast<unsigned char>(body[i]))) ++i;
  if (i >= n || body[i] != '"') return std::string();
  std::string out;
  for (++i; i < n && body[i] != '"';) {
    if (body[i] != '\\' || i + 1 >= n) {
      out.push_back(body[i++]);
      continue;
    }
    char e = body[i + 1];
    switch (e) {
      case '"':
        out.push_back('"');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case '/':
        out.push_back('/');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'u':
        if (i + 5 < n) {
          unsigned v = 0;
          for (size_t k = 2; k < 6; ++k) v = v * 16 + HexDigit(body[i + k]);
          AppendUtf8(v, &out);
          i += 6;
          continue;
        }
        break;
      default:
        break;  // unknown escapes append nothing
    }
    i += 2;
  }
  return out;
}

std::string JStr(const std::string& body, const std::string& key) {
  size_t colon = ColonAfterKey(body, key);
  if (colon == std::string::npos) return std::string();
  size_t i = colon + 1, n = body.size();
  while (i < n && (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n')) ++i;
  if (i >= n || body[i] != '"') return std::string();
  std::string out;
  for (++i; i < n && body[i] != '"';) {
    if (body[i] == '\\' && i + 1 < n) {
      out.push_back(body[i + 1]);
      i += 2;
    } else {
      out.push_back(body[i++]);
    }
  }
  return out;
}

std::string QueryOf(const std::string& target, const std::string& key) {
  size_t q = target.find('?');
  if (q == std::string::npos) return std::string();
  std::string query = target.substr(q + 1);
  size_t at = query.find(key + "=");
  if (at == std::string::npos) return std::string();
  size_t start = at + key.size() + 1;
  size_t end = query.find('&', start);
  std::string raw = query.substr(start, end == std::string::npos ? std::string::npos : end - start);
  std::string out;
  for (size_t i = 0; i < raw.size();) {
    if (raw[i] == '+') {
      out.push_back(' ');
      ++i;
    } else if (raw[i] == '%' && raw.size() - i >= 3) {
      char hex[3] = {raw[i + 1], raw[i + 2], 0};
      out.push_back(static_cast<char>(strtol(hex, nullptr, 16) & 0xFF));
      i += 3;
    } else {
      out.push_back(raw[i++]);
    }
  }
  return out;
}

std::wstring U2WX(const std::string& s) {
  return Utf8ToWide(s);
}
std::string W2UX(const std::wstring& s) {
  return WideToUtf8(s);
}

}  // namespace tov
