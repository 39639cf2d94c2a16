#include "platform/platform.h"
#include "server/web_shell.h"

int main(int argc, char** argv) {
  return tov::WebShellMain(tov::CommandLineArgs(argc, argv));
}
