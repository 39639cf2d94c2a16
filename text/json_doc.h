// The one reader of JSON the program takes in: request bodies, the settings
// file, the answers of a running instance and of the web service. It accepts
// a document only when it is well-formed JSON from the first byte to the
// last, and hands back its values with escapes decoded. The typed accessors
// below read one member of an object and say whether it was missing or of
// another type, so that every caller can refuse the second plainly.
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
// kMaxJsonDocDepth and on an object that names a member twice; *out is then
// the null value, with nothing of the refused text in it.
bool ParseJson(const std::string& text, JsonValue* out);

// The member `key` of an object, or null (also when v is no object).
const JsonValue* JsonMemberOf(const JsonValue& v, const std::string& key);

// A number without fraction or exponent within [lo, hi], into *out.
bool JsonIntIn(const JsonValue& v, int64_t lo, int64_t hi, int64_t* out);

// The answer to a body that is not one JSON object.
constexpr const char kNotJsonObject[] = "请求不是有效的 JSON 对象";

// A request body that must be one JSON object, into *out; an empty body
// (a GET, or a POST without one) reads as the empty object. False for
// anything else ParseJson refuses, and for a document that is no object (an
// array, a string, a number...).
bool ParseBodyObject(const std::string& body, JsonValue* out);

// What a typed accessor found of a member. Missing also when obj is no
// object; a member that is null is of the wrong type.
enum class JsonField { Found, Missing, WrongType };

// The member `key` as a string; *out is set only when Found.
JsonField JsonStringMember(const JsonValue& obj, const std::string& key, std::string* out);

// The member `key` as true or false (no strings, no numbers); *out is set
// only when Found.
JsonField JsonBoolMember(const JsonValue& obj, const std::string& key, bool* out);

// The member `key` as an array whose every element is a string (the empty
// array included); WrongType when one element is not. *out is set only when
// Found.
JsonField JsonStringsMember(const JsonValue& obj, const std::string& key,
                            std::vector<std::string>* out);

// The member `key` as an unsigned number without fraction or exponent, at
// most 18 digits; *out is set only when Found.
JsonField JsonCountMember(const JsonValue& obj, const std::string& key, uint64_t* out);

}  // namespace tov
