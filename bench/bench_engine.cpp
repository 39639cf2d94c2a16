// The engine's walkers timed in-process, without the HTTP server and the
// task thread around them: the cleanest figure for a scan or a clean.
//
//   bench_engine scan|dryrun|clean PATH [--include PATTERN]... [--repeat N]
//
// PATH is a Windows path of the stand-in (C:\bench\tree; TAMSEL_ROOT says
// where drive C lives). The catalogue holds one "files" item with one
// recursive target at PATH, so the figures are those an item of the real
// catalogue covering the same folder would give. One line per repetition:
// "seconds=X files=N bytes=N skipped=N", then "hwm_kb=N" (peak resident size).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/tamsel_engine.h"

namespace {

long PeakResidentKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmHWM:") == 0) return atol(line.c_str() + 6);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: bench_engine scan|dryrun|clean PATH [--include PAT]... [--repeat N]\n");
    return 2;
  }
  std::string mode = argv[1];
  tamsel::Target target;
  target.path = tamsel::U2W(argv[2]);
  target.recursive = true;
  target.allowSystem = false;
  int repeat = 1;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--include"))
      target.include.push_back(tamsel::U2W(argv[i + 1]));
    else if (!strcmp(argv[i], "--repeat"))
      repeat = atoi(argv[i + 1]);
  }
  tamsel::RuleItem item = tamsel::MkItem("bench", "bench", "low", "files", true, "");
  item.targets.push_back(target);
  tamsel::Category cat;
  cat.id = "bench";
  cat.name = "bench";
  cat.items.push_back(item);
  std::vector<tamsel::Category> cats{cat};
  std::vector<std::string> ids{"bench"};

  for (int r = 0; r < repeat; ++r) {
    tamsel::ResultList out;
    auto t0 = std::chrono::steady_clock::now();
    if (mode == "scan")
      tamsel::ScanItems(cats, ids, out);
    else if (mode == "dryrun")
      tamsel::CleanItems(cats, ids, true, out);
    else if (mode == "clean")
      tamsel::CleanItems(cats, ids, false, out);
    else
      return 2;
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const tamsel::ItemStat st = out.empty() ? tamsel::ItemStat() : out[0].second;
    printf("seconds=%.6f files=%llu bytes=%llu skipped=%llu\n", s,
           static_cast<unsigned long long>(st.files), static_cast<unsigned long long>(st.bytes),
           static_cast<unsigned long long>(st.skipped));
    for (const std::string& e : st.errors) fprintf(stderr, "error: %s\n", e.c_str());
    fflush(stdout);
  }
  printf("hwm_kb=%ld\n", PeakResidentKb());
  return 0;
}
