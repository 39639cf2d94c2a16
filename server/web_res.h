// The interface (one HTML document, one style sheet, one script) compiled
// into the executable as one scrambled pool with an index beside it. The
// index and pool are generated at build time by webui/gen_webres.py; this
// module only looks entries up and unscrambles them, afresh on every call.
#pragma once

#include <cstdint>
#include <string>

namespace tov {

struct WebResEntry {
  const char* path;   // URL path, starting with "/"
  uint32_t offset;    // of the entry's bytes in the pool
  uint32_t size;      // bytes
  uint32_t key;       // seeds the entry's keystream
  uint32_t isPublic;  // 1 if the entry may be served over HTTP
};

// Generated data (one definition per executable: the product's interface,
// or the test table of the resource tests).
extern const uint32_t g_webResCount;
extern const WebResEntry g_webResIndex[];
extern const unsigned char g_webResPool[];
extern const uint64_t g_webResPoolSize;
extern const uint64_t g_webResMask;  // mixed into every entry's seed

bool WebResAvailable();
uint32_t WebResCount();

// Finds the entry whose path equals path byte for byte (case-sensitive, no
// query or normalisation). On success out holds the plain bytes; on failure,
// or when publicOnly is set and the entry is not public, out is untouched.
bool WebResGet(const std::string& path, std::string& out, bool publicOnly);
bool WebResGetInternal(const std::string& path, std::string& out);

}  // namespace tov
