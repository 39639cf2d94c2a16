// The kinds of file the space map totals, by extension: one table, in the
// order the kinds are named; "其他" takes every file the table does not
// name (and every file without an extension).
#include <algorithm>
#include <cstring>
#include <vector>

#include "space/space_map.h"

namespace tamsel {
namespace {

struct SpaceKind {
  const char* name;
  const char* extensions;  // lower case, separated by spaces, letters and digits, at most 12 each
};

const SpaceKind kSpaceKinds[kSpaceKindCount] = {
    {"视频", "mp4 m4v mkv avi mov wmv flv f4v webm mpg mpeg m2ts mts ts vob 3gp rmvb rm asf"},
    {"音频", "mp3 wav flac aac m4a ogg oga opus wma ape aiff aif mid midi amr"},
    {"图片", "jpg jpeg png gif bmp webp tif tiff heic heif raw cr2 nef arw dng psd ico svg"},
    {"压缩包", "zip rar 7z tar gz tgz bz2 xz zst lz4 cab lzma z"},
    {"安装包", "msi msix msixbundle appx appxbundle msu msp apk"},
    {"光盘与虚拟磁盘", "iso img vhd vhdx vmdk vdi qcow2 avhdx"},
    {"文档", "pdf doc docx xls xlsx ppt pptx txt rtf odt ods odp csv md epub wps et dps"},
    {"程序与库", "exe dll sys ocx drv cpl scr efi mui"},
    {"其他", ""},
};

constexpr size_t kOther = kSpaceKindCount - 1;
// Extensions are read as numbers in base 37 (digits 1 to 36 for 0-9 and
// a-z, either case), so twelve characters fit in 64 bits (37^12 < 2^64).
constexpr size_t kMaxExtension = 12;
constexpr uint64_t kExtensionBase = 37;

// An extension of at most 12 ASCII letters and digits as one number, letters
// in either case alike; 0 when it is longer or holds any other character
// (the table names none such).
uint64_t ExtensionKey(const char* ext, size_t len) {
  if (len == 0 || len > kMaxExtension) return 0;
  uint64_t key = 0;
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(ext[i]);
    uint64_t digit = 0;
    if (c >= '0' && c <= '9')
      digit = 1 + (c - '0');
    else if (c >= 'a' && c <= 'z')
      digit = 11 + (c - 'a');
    else if (c >= 'A' && c <= 'Z')
      digit = 11 + (c - 'A');
    else
      return 0;
    key = key * kExtensionBase + digit;
  }
  return key;
}

// The table as sorted keys, built once.
const std::vector<std::pair<uint64_t, size_t>>& KeyTable() {
  static const std::vector<std::pair<uint64_t, size_t>> g_keys = [] {
    std::vector<std::pair<uint64_t, size_t>> keys;
    for (size_t k = 0; k < kSpaceKindCount; ++k) {
      const char* p = kSpaceKinds[k].extensions;
      while (*p) {
        const char* end = strchr(p, ' ');
        size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
        keys.emplace_back(ExtensionKey(p, len), k);
        p += len;
        while (*p == ' ') ++p;
      }
    }
    std::sort(keys.begin(), keys.end());
    return keys;
  }();
  return g_keys;
}

}  // namespace

const char* SpaceKindName(size_t kind) {
  return kind < kSpaceKindCount ? kSpaceKinds[kind].name : "";
}

const char* SpaceKindExtensions(size_t kind) {
  return kind < kSpaceKindCount ? kSpaceKinds[kind].extensions : "";
}

size_t SpaceKindOf(const char* name, size_t len) {
  const char* dot = nullptr;
  for (size_t i = len; i > 0; --i) {
    if (name[i - 1] == '.') {
      dot = name + i - 1;
      break;
    }
  }
  if (!dot) return kOther;
  uint64_t key = ExtensionKey(dot + 1, static_cast<size_t>(name + len - dot - 1));
  if (key == 0) return kOther;
  const auto& keys = KeyTable();
  auto it = std::lower_bound(keys.begin(), keys.end(), std::make_pair(key, size_t{0}));
  return it != keys.end() && it->first == key ? it->second : kOther;
}

}  // namespace tamsel
