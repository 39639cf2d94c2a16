// The whole-file helpers of platform.h over one opening call per backend
// (OpenFileStream): what happens after the file is open is the same on both.
#include "platform/common/internal.h"
#include "platform/platform.h"

namespace tov {

void ReadStreamToEnd(FILE* f, std::string* out) {
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  fclose(f);
}

bool WriteStreamAndClose(FILE* f, const std::string& bytes) {
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

bool ReadWholeFile(const std::wstring& path, std::string* out) {
  FILE* f = OpenFileStream(path, false);
  if (!f) return false;
  out->clear();
  ReadStreamToEnd(f, out);
  return true;
}

bool ReadFileHead(const std::wstring& path, size_t maxBytes, std::string* out) {
  FILE* f = OpenFileStream(path, false);
  if (!f) return false;
  out->assign(maxBytes, '\0');
  size_t n = maxBytes ? fread(&(*out)[0], 1, maxBytes, f) : 0;
  out->resize(n);
  fclose(f);
  return true;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  FILE* f = OpenFileStream(path, true);
  return f && WriteStreamAndClose(f, bytes);
}

}  // namespace tov
