#include "server/web_res.h"

#include <cstring>

namespace tov {

namespace {

constexpr uint64_t kGamma = 0x9E3779B97F4A7C15ULL;

// SplitMix64 used as a keystream: XOR with it scrambles and unscrambles.
void Unscramble(const WebResEntry& e, std::string& out) {
  out.assign(e.size, '\0');
  if (e.size == 0) return;
  uint64_t state = ((static_cast<uint64_t>(e.key) + 1) * kGamma) ^ g_webResMask;
  const unsigned char* src = g_webResPool + e.offset;
  char* dst = &out[0];
  for (uint32_t block = 0; block < e.size; block += 8) {
    state += kGamma;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Byte j of a little-endian word is bits 8j..8j+7, exactly the key byte
    // the loop below takes for it: a whole block in one XOR. Every page
    // request unscrambles its resource anew, so this loop is its main cost.
    if (e.size - block >= 8) {
      uint64_t w;
      memcpy(&w, src + block, 8);
      w ^= z;
      memcpy(dst + block, &w, 8);
      continue;
    }
#endif
    for (uint32_t j = 0; j < 8 && block + j < e.size; ++j)
      dst[block + j] = static_cast<char>(src[block + j] ^ static_cast<unsigned char>(z >> (8 * j)));
  }
}

}  // namespace

bool WebResAvailable() {
  return g_webResCount != 0;
}

uint32_t WebResCount() {
  return g_webResCount;
}

bool WebResGet(const std::string& path, std::string& out, bool publicOnly) {
  for (uint32_t i = 0; i < g_webResCount; ++i) {
    const WebResEntry& e = g_webResIndex[i];
    if (strlen(e.path) != path.size() || memcmp(e.path, path.data(), path.size()) != 0) continue;
    if (publicOnly && e.isPublic != 1) return false;
    Unscramble(e, out);
    return true;
  }
  return false;
}

bool WebResGetInternal(const std::string& path, std::string& out) {
  return WebResGet(path, out, false);
}

}  // namespace tov
