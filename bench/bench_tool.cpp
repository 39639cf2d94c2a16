// Helpers of the benchmark that have to be quick or precise enough that a
// script would distort them:
//
//   bench_tool mktree DIR FILES DIRS SEED [WIDE]
//       Plants a synthetic tree below DIR (which must not exist): DIRS
//       directories at mixed depths, FILES files spread unevenly over them,
//       names that the catalogue's patterns partly match, sizes from sparse
//       files. The same seed always gives the same tree, so a tree deleted
//       by one contestant is planted again identically for the next. WIDE
//       (default 0) of the DIRS directories hang directly below one folder
//       DIR/WinSxS, as in the widest folder of a real system drive; the
//       other directories then also hang below those at random.
//       Prints "dirs=N files=N bytes=N tmplog_files=N tmplog_bytes=N".
//   bench_tool walk DIR
//       The floor for a scan: readdir plus fstatat relative to the directory,
//       no sorting, no text conversion. Prints "files=N bytes=N".
//   bench_tool startup PORT PROGRAM [ARGS...]
//       Starts PROGRAM and asks 127.0.0.1:PORT for /api/env until the first
//       complete answer; prints "startup_ms=X pid=N" and leaves the program
//       running (the caller measures its memory and ends it).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// SplitMix64: small, fast and the same on every machine.
struct Rng {
  uint64_t s;
  uint64_t Next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  uint64_t Below(uint64_t n) { return n ? Next() % n : 0; }
  bool Chance(unsigned percent) { return Below(100) < percent; }
};

double NowSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Extensions with the weight (in percent) of names that carry them. The
// upper-case forms check that pattern matching ignores case; ".tmp" and
// ".log" are what the "*.tmp"/"*.log" items of the catalogue select.
struct Ext {
  const char* ext;
  unsigned weight;
};
constexpr Ext kExts[] = {
    {".tmp", 14}, {".log", 10},   {".TMP", 2}, {".Log", 1}, {".dat", 14},  {".txt", 9},
    {".bin", 9},  {".cache", 10}, {"", 9},     {".etl", 5}, {".json", 12}, {".tmp.part", 5},
};
const char* const kPrefixes[] = {"tmp", "cache_",  "data", "f",    "Thumb",
                                 "~DF", "session", "报告", "upd_", "x"};
const char* const kDirWords[] = {"cache", "Temp", "sess", "Low",
                                 "d",     "更新", "pkg",  "Crash Reports"};

const char* PickExt(Rng& r) {
  unsigned total = 0;
  for (const Ext& e : kExts) total += e.weight;
  uint64_t x = r.Below(total);
  for (const Ext& e : kExts) {
    if (x < e.weight) return e.ext;
    x -= e.weight;
  }
  return "";
}

uint64_t PickSize(Rng& r) {
  uint64_t k = r.Below(100);
  if (k < 20) return 0;                              // empty files are common in temp folders
  if (k < 70) return 1 + r.Below(64 * 1024);         // small
  if (k < 97) return 64 * 1024 + r.Below(4u << 20);  // medium
  return (4u << 20) + r.Below(60u << 20);            // large; sparse, so free on disk
}

bool IsTmpOrLog(const std::string& name) {
  auto ends = [&](const char* suf) {
    size_t n = strlen(suf);
    if (name.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
      char c = name[name.size() - n + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != suf[i]) return false;
    }
    return true;
  };
  return ends(".tmp") || ends(".log");
}

int MakeTree(const char* root, long files, long dirs, uint64_t seed, long wide) {
  Rng r{seed};
  struct Dir {
    std::string path;
    int depth;
    long files;
  };
  std::vector<Dir> d;
  d.reserve(static_cast<size_t>(dirs) + 1);
  d.push_back({root, 0, 0});
  if (mkdir(root, 0755) != 0) {
    fprintf(stderr, "mktree: cannot create %s: %s\n", root, strerror(errno));
    return 1;
  }
  // The wide folder and its children come first.
  long first = 1;
  if (wide > 0 && dirs > 1) {
    wide = std::min(wide, dirs - 1);
    d.push_back({std::string(root) + "/WinSxS", 1, 0});
    if (mkdir(d.back().path.c_str(), 0755) != 0) {
      fprintf(stderr, "mktree: mkdir %s: %s\n", d.back().path.c_str(), strerror(errno));
      return 1;
    }
    for (long i = 0; i < wide; ++i) {
      char name[64];
      snprintf(name, sizeof name, "amd64_pkg-%ld_31bf3856ad364e35", i);
      Dir nd{d[1].path + "/" + name, 2, 0};
      if (mkdir(nd.path.c_str(), 0755) != 0) {
        fprintf(stderr, "mktree: mkdir %s: %s\n", nd.path.c_str(), strerror(errno));
        return 1;
      }
      d.push_back(std::move(nd));
    }
    first = wide + 2;
  }
  // A random recursive tree: each new directory hangs below a random earlier
  // one, which gives a few shallow and many middle-depth folders; depth is
  // capped well below the walkers' limit so that every contestant sees the
  // whole tree.
  for (long i = first; i <= dirs; ++i) {
    size_t parent = 0;
    for (int tries = 0; tries < 8; ++tries) {
      parent = static_cast<size_t>(r.Below(d.size()));
      if (d[parent].depth < 18) break;
      parent = 0;
    }
    char name[64];
    snprintf(name, sizeof name, "%s%ld", kDirWords[r.Below(sizeof kDirWords / sizeof *kDirWords)],
             i);
    Dir nd{d[parent].path + "/" + name, d[parent].depth + 1, 0};
    if (mkdir(nd.path.c_str(), 0755) != 0) {
      fprintf(stderr, "mktree: mkdir %s: %s\n", nd.path.c_str(), strerror(errno));
      return 1;
    }
    d.push_back(std::move(nd));
  }
  // Most files are spread evenly; a tenth crowd into a few big folders, as
  // browser and update caches do.
  std::vector<size_t> big;
  for (int i = 0; i < 20; ++i) big.push_back(static_cast<size_t>(r.Below(d.size())));
  for (long i = 0; i < files; ++i) {
    size_t at = r.Chance(10) ? big[r.Below(big.size())] : static_cast<size_t>(r.Below(d.size()));
    d[at].files++;
  }
  uint64_t bytes = 0, tlFiles = 0, tlBytes = 0;
  long made = 0;
  for (const Dir& dir : d) {
    if (!dir.files) continue;
    int dfd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
      fprintf(stderr, "mktree: open %s: %s\n", dir.path.c_str(), strerror(errno));
      return 1;
    }
    for (long k = 0; k < dir.files; ++k) {
      char name[96];
      snprintf(name, sizeof name, "%s%lx%s",
               kPrefixes[r.Below(sizeof kPrefixes / sizeof *kPrefixes)], static_cast<long>(made),
               PickExt(r));
      uint64_t size = PickSize(r);
      bool readOnly = r.Chance(1);
      int fd = openat(dfd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, readOnly ? 0444 : 0644);
      if (fd < 0) {
        fprintf(stderr, "mktree: create %s/%s: %s\n", dir.path.c_str(), name, strerror(errno));
        return 1;
      }
      if (size && ftruncate(fd, static_cast<off_t>(size)) != 0) {
        fprintf(stderr, "mktree: truncate: %s\n", strerror(errno));
        return 1;
      }
      close(fd);
      bytes += size;
      if (IsTmpOrLog(name)) {
        tlFiles++;
        tlBytes += size;
      }
      ++made;
    }
    close(dfd);
  }
  printf("dirs=%ld files=%ld bytes=%llu tmplog_files=%llu tmplog_bytes=%llu\n", dirs, made,
         static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(tlFiles),
         static_cast<unsigned long long>(tlBytes));
  return 0;
}

void Walk(int dfd, uint64_t* files, uint64_t* bytes) {
  DIR* dir = fdopendir(dfd);
  if (!dir) {
    close(dfd);
    return;
  }
  while (struct dirent* e = readdir(dir)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    struct stat st;
    if (fstatat(dfd, n, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      int sub = openat(dfd, n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) Walk(sub, files, bytes);
    } else if (S_ISREG(st.st_mode)) {
      ++*files;
      *bytes += static_cast<uint64_t>(st.st_size);
    }
  }
  closedir(dir);
}

int WalkTree(const char* root) {
  int fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 1;
  uint64_t files = 0, bytes = 0;
  Walk(fd, &files, &bytes);
  printf("files=%llu bytes=%llu\n", static_cast<unsigned long long>(files),
         static_cast<unsigned long long>(bytes));
  return 0;
}

// One GET of /api/env; true when a complete 200 answer came back.
bool AskEnv(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = false;
  if (connect(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0) {
    char req[160];
    int n =
        snprintf(req, sizeof req,
                 "GET /api/env HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n", port);
    if (send(s, req, static_cast<size_t>(n), MSG_NOSIGNAL) == n) {
      std::string resp;
      char buf[4096];
      ssize_t got;
      while ((got = recv(s, buf, sizeof buf, 0)) > 0) resp.append(buf, static_cast<size_t>(got));
      ok =
          resp.compare(0, 12, "HTTP/1.1 200") == 0 && resp.find("\"ok\":true") != std::string::npos;
    }
  }
  close(s);
  return ok;
}

int Startup(int port, char** argv) {
  double t0 = NowSeconds();
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
      dup2(devnull, 1);
      dup2(devnull, 2);
    }
    execv(argv[0], argv);
    _exit(127);
  }
  for (;;) {
    if (AskEnv(port)) break;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      fprintf(stderr, "startup: the program ended before answering\n");
      return 1;
    }
    if (NowSeconds() - t0 > 10) {
      kill(pid, SIGKILL);
      fprintf(stderr, "startup: no answer within 10 s\n");
      return 1;
    }
    // Connection refused comes back at once; a short pause keeps the poll
    // from stealing the CPU the program needs to start.
    struct timespec pause = {0, 100000};
    nanosleep(&pause, nullptr);
  }
  double t1 = NowSeconds();
  printf("startup_ms=%.3f pid=%d\n", (t1 - t0) * 1000.0, static_cast<int>(pid));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 6 && !strcmp(argv[1], "mktree"))
    return MakeTree(argv[2], atol(argv[3]), atol(argv[4]), strtoull(argv[5], nullptr, 10),
                    argc >= 7 ? atol(argv[6]) : 0);
  if (argc == 3 && !strcmp(argv[1], "walk")) return WalkTree(argv[2]);
  if (argc >= 4 && !strcmp(argv[1], "startup")) return Startup(atoi(argv[2]), argv + 3);
  fprintf(stderr,
          "usage: bench_tool mktree DIR FILES DIRS SEED [WIDE] | walk DIR | startup PORT PROGRAM "
          "[ARGS]\n");
  return 2;
}
