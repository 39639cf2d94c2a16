#include "text/text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "text/json_doc.h"

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

}  // namespace

bool JsonTopLevelBool(const std::string& body, const std::string& key, bool def) {
  JsonValue doc;
  if (!ParseJson(body, &doc) || doc.kind != JsonValue::Kind::Object) return def;
  const JsonValue* v = JsonMemberOf(doc, key);
  if (!v) return def;
  bool other = !def;
  const std::string word = Bool(other);
  bool says = (v->kind == JsonValue::Kind::Bool && v->flag == other) ||
              (v->kind == JsonValue::Kind::String && v->text == word);
  return says ? other : def;
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

std::string MarkupEscape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string Num(uint64_t v) {
  char buf[24];
  snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
  return buf;
}

std::string Bool(bool b) {
  return b ? "true" : "false";
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
