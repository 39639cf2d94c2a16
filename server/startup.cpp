// The process entry of the server: the command line, the hand-over to a
// running instance, the access token, binding the socket, the start-up
// lines, then the self-test or the accept loop.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "desktop/shell_win.h"
#include "lifecycle/shell_life.h"
#include "server/connections.h"
#include "server/request_gate.h"
#include "server/self_test.h"
#include "server/web_res.h"
#include "server/web_shell.h"
#include "text/text.h"

namespace tov {

namespace {

constexpr const char kTokenLine[] = "[ok] 本机访问地址（含访问令牌）：http://%s:%d/#token=%s\n";

struct Options {
  int port = 0;
  std::string webRoot;
  bool hasWebRoot = false;
  bool openBrowser = true;
  bool lan = false;
  bool selfTest = false;
  bool forceNew = false;
};

void PrintUsage() {
  printf("用法: %s [端口] [dist目录] [--no-browser] [--lan] [--selftest] [--version]\n",
         kInternalName);
  printf("  端口不填 = 随机空闲端口；dist 目录不填 = 用内嵌资源\n");
  printf("  --no-browser  启动后不自动打开浏览器\n");
  printf("  --lan         绑 0.0.0.0（同网段设备可访问，首次可能弹防火墙授权）\n");
  printf("  --selftest    起服务→自我请求→打印结果→退出\n");
  printf("  --force-new   跳过单实例复用，强制起一个新实例\n");
  printf(
      "不开页面清理: %s --clean [项目ID,项目ID...|default] [--dry-run] [--older-than 天数] "
      "[--quiet]\n",
      kInternalName);
  printf(
      "  --clean       清理后退出；不写项目或写 default = 设置里「自动清理」列表中的项目，"
      "只清理至少 N 天前修改过的文件（N 在设置里选，默认 1；--older-than 可改）；"
      "已有实例时交给它清理\n");
  printf("  --dry-run     只统计可释放多少，不删除\n");
  printf("  --older-than  只清理至少这么多天前修改过的文件（0-3650）\n");
  printf("  --quiet       只打印最后一行汇总\n");
  printf("自动清理: %s --schedule daily|weekly|off\n", kInternalName);
  printf(
      "  --schedule    每天 / 每周在电脑空闲且接通电源时运行 --clean default --quiet；off = "
      "关闭\n");
}

// Parses the arguments left to right. Returns -1 to go on, or the exit code
// when help or version ended the program.
int ParseArgs(const std::vector<std::string>& args, Options* o) {
  int positional = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      PrintUsage();
      return 0;
    }
    if (a == "-v" || a == "--version") {
      printf("%s %s\n", kProductName, kVersion);
      return 0;
    }
    if (a == "-n" || a == "--no-browser") {
      o->openBrowser = false;
    } else if (a == "--lan") {
      o->lan = true;
    } else if (a == "--selftest") {
      o->selfTest = true;
      o->openBrowser = false;
    } else if (a == "--force-new") {
      o->forceNew = true;
    } else if (!a.empty() && a[0] == '-') {
      // "-" alone and unknown options are ignored.
    } else if (positional == 0) {
      o->port = atoi(a.c_str());
      ++positional;
    } else if (positional == 1) {
      o->webRoot = a;
      o->hasWebRoot = true;
      ++positional;
    }
  }
  return -1;
}

std::string ExecutableDir() {
  std::string exe = WideToUtf8(ModuleFileName());
  size_t cut = exe.find_last_of("\\/");
  if (exe.empty() || cut == std::string::npos) return ".";
  return exe.substr(0, cut);
}

}  // namespace

int WebShellMain(const std::vector<std::string>& args, const ServerConfig& config) {
  AttachParentConsoleIfNoStdout();

  Options opt;
  int early = ParseArgs(args, &opt);
  if (early >= 0) {
    fflush(stdout);
    return early;
  }
  g_lanMode = opt.lan;

  printf("%s %s\n", kProductName, kVersion);
  printf("--------------------------------------------\n");

  ShellWinInit();

  g_strWebRoot = opt.hasWebRoot ? opt.webRoot : ExecutableDir() + "/dist";
  if (config.onStartup) config.onStartup();

  if (!NetStartup()) {
    printf("[err] WSAStartup 失败\n");
    fflush(stdout);
    return 1;
  }

  // A second start hands over to the running instance and only opens the
  // browser on it. The self-test always runs a server of its own.
  if (!opt.forceNew && !opt.selfTest) {
    int running = ReadPortFile(kInternalName);
    if (running > 0 && ProbeOurInstance(running, kProductName)) {
      char url[128];
      snprintf(url, sizeof url, "http://127.0.0.1:%d/", running);
      printf("[ok] 已经有实例在运行：%s\n", url);
      fflush(stdout);
      if (opt.openBrowser) {
        // Without a readable secret the bare address opens, and the page
        // explains what to do.
        std::string token = ReadTokenFile(kInternalName);
        OpenBrowserUrl(token.empty() ? std::string(url) : url + std::string("#token=") + token);
      }
      return 0;
    }
  }

  g_strAccessToken = NewAccessToken();
  if (g_strAccessToken.empty()) {
    printf("[err] 无法生成访问令牌（系统随机数不可用）\n");
    fflush(stdout);
    return 1;
  }

  Socket listener = SockTcp();
  if (listener == kBadSocket) {
    printf("[err] socket 失败\n");
    fflush(stdout);
    return 1;
  }
  SockSetExclusive(listener);
  int port = opt.port;
  bool bound = SockBind(listener, opt.lan, port);
  if (!bound && port != 0) {
    printf("[warn] 端口 %d 已被占用，改为随机分配\n", port);
    bound = SockBind(listener, opt.lan, 0);
  }
  if (!bound) {
    printf("[err] 端口绑定失败\n");
    fflush(stdout);
    SockClose(listener);
    return 1;
  }
  if (int actual = SockLocalPort(listener)) port = actual;
  SockListen(listener, 64);

  // The self-test's server ends in a moment: the files that lead a second
  // start and the command-line clean to the running instance stay as they
  // are.
  if (!opt.selfTest) {
    WritePortFile(kInternalName, port);
    WriteTokenFile(kInternalName, g_strAccessToken);
  }

  printf("[ok] 服务已启动：http://127.0.0.1:%d/\n", port);
  printf(kTokenLine, "127.0.0.1", port, g_strAccessToken.c_str());
  if (WebResAvailable()) {
    printf("[ok] 界面已内嵌：%u 项资源（无需 dist/ 目录）\n", WebResCount());
  } else {
    std::wstring index = Utf8ToWide(g_strWebRoot + "/index.html");
    uint32_t attrs = 0;
    if (index.empty() || !GetAttributes(index, &attrs) || (attrs & kAttrDirectory))
      printf("[!!] 界面文件没找到：%s/index.html（开发模式）\n", g_strWebRoot.c_str());
  }
  if (opt.lan) {
    printf("[ok] 局域网模式：同网段设备可访问 http://<本机IP>:%d/\n", port);
    for (const std::string& address : LocalIPv4Addresses())
      printf(kTokenLine, address.c_str(), port, g_strAccessToken.c_str());
  }
  fflush(stdout);

  if (opt.selfTest) return RunSelfTest(listener, port, config.routes);

  if (opt.openBrowser) {
    char url[128];
    snprintf(url, sizeof url, "http://127.0.0.1:%d/#token=%s", port, g_strAccessToken.c_str());
    OpenBrowserUrl(url);
  }

  printf("[ok] 关闭本窗口即退出程序\n");
  fflush(stdout);
  AcceptLoop(listener, config.routes);
}

}  // namespace tov
