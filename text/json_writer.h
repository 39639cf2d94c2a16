// The one JSON writer every document the program sends or stores goes
// through. It appends to one text in call order, so a document's members
// stand exactly in the order its builder names them (the page, the
// single-instance probe and the tests rely on that); commas and quotes come
// from the writer, strings are escaped as JEsc does, numbers are plain
// decimals, and there is no white space. It allocates nothing but its
// output text, so the large documents (the map's folders, a scan's result)
// cost one growing string.
//
//   JsonWriter w;
//   w.BeginObject().Key("ok").Bool(true).Key("items").BeginArray();
//   for (...) w.Str(id);
//   w.EndArray().EndObject();
//   return w.Take();  // {"ok":true,"items":["a","b"]}
//
// The builder is trusted to pair every Begin with its End and to name a key
// before each value of an object; the writer does not check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tov {

struct JsonWriter {
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();

  // The name of the object member whose value comes next.
  JsonWriter& Key(const char* key);
  JsonWriter& Key(const std::string& key);

  // Values: a string (escaped), an unsigned or signed decimal, a flag,
  // null, and an array of strings.
  JsonWriter& Str(const std::string& s);
  JsonWriter& Str(const char* s);
  JsonWriter& Num(uint64_t v);
  JsonWriter& Int(int64_t v);
  JsonWriter& Bool(bool b);
  JsonWriter& Null();
  JsonWriter& Strings(const std::vector<std::string>& list);

  // A value that is already one complete JSON text (a document another
  // builder made), copied as it is.
  JsonWriter& Raw(const std::string& json);

  // Reserves room for a document of about this many bytes.
  JsonWriter& Reserve(size_t bytes);

  // The document so far, and the document handed over (the writer is left
  // empty).
  const std::string& Text() const { return out_; }
  std::string Take();

 private:
  // Writes the comma a value needs before it: none right after a key or as
  // the first value of its container.
  void BeforeValue();

  std::string out_;
  bool first_ = true;      // nothing written yet in the innermost container
  bool afterKey_ = false;  // a key was written and waits for its value
};

// Appends s escaped for use between the double quotes of a JSON string, as
// JEsc returns it.
void AppendJsonEscaped(std::string* out, const char* s, size_t n);

}  // namespace tov
