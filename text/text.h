// Text helpers every module uses: the JSON string escaper, the number
// formatter, the success and failure documents, the query-string reader and
// the UTF-8/wide converters. JSON is read by json_doc.h alone and written
// by json_writer.h alone. None keeps state and none throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "text/json_writer.h"

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

// The failure document {"ok":false,"message":"..."} with the message
// escaped; every answer that refuses or fails is this one, or this one with
// more members after the message: FailureWriter's, whose object is left
// open for them (FailureWriter(m).Key("fallback").Bool(true).EndObject()).
std::string FailureJson(const std::string& message);
JsonWriter FailureWriter(const std::string& message);

// The plain success document {"ok":true}; OkWriter's object is left open
// for more members.
std::string OkJson();
JsonWriter OkWriter();

// The value of key= in the query of a request target, + and %XX decoded.
// The match is plain text and not anchored: "id" also matches in "xid=".
std::string QueryOf(const std::string& target, const std::string& key);

// The text without the blanks (space, tab, CR, LF) at either end.
std::string TrimBlanks(const std::string& s);

// UTF-8 to wide and back (code page 65001, flags 0).
std::wstring U2WX(const std::string& s);
std::string W2UX(const std::wstring& s);

}  // namespace tov
