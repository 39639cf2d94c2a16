#include "text/text.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "text/json_writer.h"

namespace tov {

std::string JEsc(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 8);
  AppendJsonEscaped(&out, s.data(), s.size());
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

JsonWriter FailureWriter(const std::string& message) {
  JsonWriter w;
  w.BeginObject().Key("ok").Bool(false).Key("message").Str(message);
  return w;
}

std::string FailureJson(const std::string& message) {
  return FailureWriter(message).EndObject().Take();
}

JsonWriter OkWriter() {
  JsonWriter w;
  w.BeginObject().Key("ok").Bool(true);
  return w;
}

std::string OkJson() {
  return OkWriter().EndObject().Take();
}

std::string TrimBlanks(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(a, e - a + 1);
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
