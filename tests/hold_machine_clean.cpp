// A helper of the black-box tests, not a test: holds the machine's clean
// (the one clean every process of the program takes) the way another
// cleaning process would, until it is killed. Prints "held" once it holds
// it, or "busy" and exits 1 when another process does.
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/platform.h"

int main() {
  if (!tov::TryHoldMachineClean()) {
    printf("busy\n");
    fflush(stdout);
    return 1;
  }
  printf("held\n");
  fflush(stdout);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
