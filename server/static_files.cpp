#include "server/static_files.h"

#include <cstring>

#include "server/http_request.h"
#include "server/web_res.h"
#include "server/web_shell.h"
#include "text/text.h"

namespace tov {

std::string g_strWebRoot = ".";

namespace {

constexpr const char kHtmlType[] = "text/html; charset=utf-8";

struct ContentTypeRule {
  const char* suffix;
  const char* type;
};

// Searched in order; the first suffix that ends the name wins.
constexpr ContentTypeRule kContentTypes[] = {
    {".html", "text/html; charset=utf-8"},
    {".js", "application/javascript; charset=utf-8"},
    {".mjs", "application/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".json", "application/json; charset=utf-8"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},
    {".webp", "image/webp"},
    {".ico", "image/x-icon"},
    {".woff", "font/woff"},
    {".woff2", "font/woff2"},
    {".ttf", "font/ttf"},
    {".wasm", "application/wasm"},
    {".txt", "text/plain; charset=utf-8"},
    {".map", "application/json; charset=utf-8"},
};

bool EndsWith(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

}  // namespace

const char* ContentTypeOf(const std::string& name) {
  for (const ContentTypeRule& r : kContentTypes)
    if (EndsWith(name, r.suffix)) return r.type;
  return "application/octet-stream";
}

std::string ErrorPage(const std::string& name) {
  std::string p;
  p += "<!doctype html><html lang=\"zh-CN\"><head><meta charset=\"utf-8\">";
  p += "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">";
  p += "<title>找不到文件 - ";
  p += kProductName;
  p += "</title>";
  p += "<style>body{font-family:-apple-system,'Microsoft YaHei',sans-serif;background:#F7F6F3;"
       "color:#33302B;";
  p += "margin:0;padding:40px 18px;line-height:1.8}.box{max-width:660px;margin:0 auto;"
       "background:#fff;";
  p += "border:1px solid #E6E2DA;border-radius:12px;padding:26px 24px}h1{font-size:18px;"
       "margin:0 0 12px}";
  p += "code{background:#F2F0EA;padding:2px 6px;border-radius:5px;font-size:13px;"
       "word-break:break-all}";
  p += ".k{color:#8B3A2F}</style></head><body><div class=\"box\">";
  p += "<h1>找不到：<b>";
  p += MarkupEscape(name);
  p += "</b></h1>";
  p += "<p>界面文件都打包在程序内部，正常使用不会看到这个页面。</p>";
  p += "<p>多半是地址打错了，或者从旧的书签 / 历史记录点进来的 —— 回首页重新开始即可。</p>";
  p += "</div></body></html>";
  return p;
}

bool IsUnsafeStaticPath(const std::string& path) {
  // The path is joined to the folder without a separator: one that does not
  // start with a slash would name a sibling whose name begins with the
  // folder's ("dist" + ".zip", "dist" + "-old/x").
  if (path.empty() || path[0] != '/') return true;
  // The path is joined to the folder as it is, without decoding, so only
  // characters the file system itself gives meaning to can climb out.
  for (char c : path) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\' || c == ':' || u < 0x20) return true;
  }
  size_t i = 0;
  while (i <= path.size()) {
    size_t slash = path.find('/', i);
    if (slash == std::string::npos) slash = path.size();
    std::string seg = path.substr(i, slash - i);
    // "..", and segments that Windows trims to ".." or to nothing.
    if (!seg.empty() && (seg.back() == '.' || seg.back() == ' ')) return true;
    i = slash + 1;
  }
  return false;
}

void ServeStatic(Socket s, const std::string& path) {
  std::string name = path == "/" ? std::string("/index.html") : path;
  std::string content;
  if (WebResGet(name, content, true)) {
    SendResponse(s, 200, "OK", ContentTypeOf(name), content);
    return;
  }
  bool underStatic = StartsWith(path, "/static/");
  if (underStatic) {
    std::string inner = path.substr(7);
    if (WebResGet(inner, content, true)) {
      SendResponse(s, 200, "OK", ContentTypeOf(inner), content);
      return;
    }
  }
  std::string rel = underStatic ? path.substr(7) : name;
  if (!IsUnsafeStaticPath(rel)) {
    std::string file = g_strWebRoot + rel;
    std::wstring wide = Utf8ToWide(file);
    uint32_t attrs = 0;
    if (!wide.empty() && GetAttributes(wide, &attrs) && !(attrs & kAttrDirectory) &&
        ReadWholeFile(wide, &content) && !content.empty()) {
      SendResponse(s, 200, "OK", ContentTypeOf(file), content);
      return;
    }
  }
  SendResponse(s, 404, "Not Found", kHtmlType, ErrorPage(name));
}

}  // namespace tov
