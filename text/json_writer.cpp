#include "text/json_writer.h"

#include <cstring>

namespace tov {
namespace {

// The short escapes, and \u00xx for the other bytes below 0x20.
void AppendEscape(std::string* out, unsigned char c) {
  switch (c) {
    case '"':
      out->append("\\\"", 2);
      return;
    case '\\':
      out->append("\\\\", 2);
      return;
    case '\n':
      out->append("\\n", 2);
      return;
    case '\r':
      out->append("\\r", 2);
      return;
    case '\t':
      out->append("\\t", 2);
      return;
    default: {
      static const char kHex[] = "0123456789abcdef";
      char buf[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out->append(buf, 6);
    }
  }
}

void AppendDecimal(std::string* out, uint64_t v) {
  char buf[20];
  size_t n = sizeof buf;
  do {
    buf[--n] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  out->append(buf + n, sizeof buf - n);
}

void AppendQuoted(std::string* out, const char* s, size_t n) {
  out->push_back('"');
  AppendJsonEscaped(out, s, n);
  out->push_back('"');
}

}  // namespace

void AppendJsonEscaped(std::string* out, const char* s, size_t n) {
  // Runs of bytes that need no escape are copied in one piece.
  size_t run = 0;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out->append(s + run, i - run);
    AppendEscape(out, c);
    run = i + 1;
  }
  out->append(s + run, n - run);
}

void JsonWriter::BeforeValue() {
  if (afterKey_)
    afterKey_ = false;
  else if (!first_)
    out_.push_back(',');
  first_ = false;
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  out_.push_back('{');
  first_ = true;
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  out_.push_back('}');
  first_ = false;
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  out_.push_back('[');
  first_ = true;
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  out_.push_back(']');
  first_ = false;
  return *this;
}

JsonWriter& JsonWriter::Key(const char* key) {
  if (!first_) out_.push_back(',');
  AppendQuoted(&out_, key, strlen(key));
  out_.push_back(':');
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::Key(const std::string& key) {
  if (!first_) out_.push_back(',');
  AppendQuoted(&out_, key.data(), key.size());
  out_.push_back(':');
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::Str(const std::string& s) {
  BeforeValue();
  AppendQuoted(&out_, s.data(), s.size());
  return *this;
}

JsonWriter& JsonWriter::Str(const char* s) {
  BeforeValue();
  AppendQuoted(&out_, s, strlen(s));
  return *this;
}

JsonWriter& JsonWriter::Num(uint64_t v) {
  BeforeValue();
  AppendDecimal(&out_, v);
  return *this;
}

JsonWriter& JsonWriter::Int(int64_t v) {
  BeforeValue();
  if (v < 0) out_.push_back('-');
  // The magnitude, of the most negative value too, without overflow.
  AppendDecimal(&out_, v < 0 ? ~static_cast<uint64_t>(v) + 1 : static_cast<uint64_t>(v));
  return *this;
}

JsonWriter& JsonWriter::Bool(bool b) {
  BeforeValue();
  if (b)
    out_.append("true", 4);
  else
    out_.append("false", 5);
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  out_.append("null", 4);
  return *this;
}

JsonWriter& JsonWriter::Strings(const std::vector<std::string>& list) {
  BeginArray();
  for (const std::string& s : list) Str(s);
  return EndArray();
}

JsonWriter& JsonWriter::Raw(const std::string& json) {
  BeforeValue();
  out_ += json;
  return *this;
}

JsonWriter& JsonWriter::Reserve(size_t bytes) {
  out_.reserve(bytes);
  return *this;
}

std::string JsonWriter::Take() {
  std::string out;
  out.swap(out_);
  first_ = true;
  afterKey_ = false;
  return out;
}

}  // namespace tov
