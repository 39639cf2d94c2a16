#include "platform/platform.h"
#include "server/web_shell.h"

int main(int argc, char** argv) {
  // Before anything can load a DLL on demand.
  tov::RestrictDllSearch();
  return tov::WebShellMain(tov::CommandLineArgs(argc, argv));
}
