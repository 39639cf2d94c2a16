// A strict reader of whole JSON documents, for bodies and files whose every
// member is checked (settings, the options of a task): unlike the scanners
// of text.h it accepts a document only when it is well-formed JSON from the
// first byte to the last, and hands back its values with escapes decoded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tov {

// Containers nested deeper than this are refused, so that a hostile body
// cannot exhaust the stack.
constexpr int kMaxJsonDocDepth = 32;

struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool flag = false;              // Bool
  std::string text;               // String: decoded UTF-8; Number: its literal text
  std::vector<JsonValue> items;   // Array elements; Object member values
  std::vector<std::string> keys;  // Object member names, parallel to items
};

// Parses one JSON document (RFC 8259, white space around it allowed). False
// on anything malformed, on trailing text, on nesting deeper than
// kMaxJsonDocDepth and on an object that names a member twice.
bool ParseJson(const std::string& text, JsonValue* out);

// The member `key` of an object, or null (also when v is no object).
const JsonValue* JsonMemberOf(const JsonValue& v, const std::string& key);

// A number without fraction or exponent within [lo, hi], into *out.
bool JsonIntIn(const JsonValue& v, int64_t lo, int64_t hi, int64_t* out);

}  // namespace tov
