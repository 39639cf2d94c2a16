// Text helpers every module uses: the JSON string escaper, the number
// formatter, the field readers that pull parameters out of request bodies,
// the query-string reader and the UTF-8/wide converters.
//
// The readers are text scanners, not parsers: each looks for the quoted key
// anywhere in the body and reads what follows the next colon. Their exact
// behaviour, including where it differs from a JSON parser, is relied on by
// the API (for example "dryRun": "true" reads as true). None keeps state and
// none throws; absence gives an empty string, an empty list or the default.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tov {

// Escapes a UTF-8 text for use between the double quotes of a JSON string:
// " \ LF CR TAB get short escapes, other bytes below 0x20 become \u00xx,
// everything else (including / and non-ASCII bytes) is copied.
std::string JEsc(const std::string& s);

// Escapes a text for HTML and XML, in element text and in attribute values
// quoted either way: & < > " ' become entities, everything else is copied.
std::string MarkupEscape(const std::string& s);

// Plain decimal text of an unsigned 64-bit value.
std::string Num(uint64_t v);

// The JSON literal of a flag: "true" or "false".
std::string Bool(bool b);

// True if the 16 bytes after the key's colon contain "true", false if they
// contain "false", otherwise def.
bool JsonBool(const std::string& body, const std::string& key, bool def);

// The value of the member `key` of the body's top-level object, read as a
// JSON parser reads it (ParseJson of json_doc.h): true or false, or the
// strings "true" and "false". Unlike JsonBool it never looks inside nested
// values or other members' text. It answers !def only when the body is one
// well-formed JSON object (no member named twice) whose member says !def;
// anything unclear (missing, another type, malformed body, duplicates) gives
// def. For the flags where a wrong reading does harm ("dryRun": only an
// explicit false makes a clean real).
bool JsonTopLevelBool(const std::string& body, const std::string& key, bool def);

// The string elements between the first [ after the key and the next ],
// taken literally (no escapes); non-strings are ignored.
std::vector<std::string> JsonStrArray(const std::string& body, const std::string& key);

// A string value with JSON escapes decoded (\uXXXX to UTF-8, surrogate
// halves not combined); empty when the value is not a string.
std::string JsonStr(const std::string& body, const std::string& key);

// A string value where a backslash takes the next byte literally.
std::string JStr(const std::string& body, const std::string& key);

// The value of key= in the query of a request target, + and %XX decoded.
// The match is plain text and not anchored: "id" also matches in "xid=".
std::string QueryOf(const std::string& target, const std::string& key);

// UTF-8 to wide and back (code page 65001, flags 0).
std::wstring U2WX(const std::string& s);
std::string W2UX(const std::wstring& s);

}  // namespace tov
