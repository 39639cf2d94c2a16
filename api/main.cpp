// The program's entry: a command-line clean or schedule runs without the
// server; anything else starts the server with the API's endpoints and its
// start-up.
#include "api/tamsel_api.h"
#include "move/move.h"
#include "platform/platform.h"
#include "server/web_shell.h"
#include "unattended/cli_clean.h"

int main(int argc, char** argv) {
  // Before anything can load a DLL on demand.
  tov::RestrictDllSearch();
  std::vector<std::string> args = tov::CommandLineArgs(argc, argv);
  // Cleaning from the command line or a scheduled task needs no server.
  if (tamsel::IsUnattendedCommand(args)) return tamsel::UnattendedMain(args);
  tov::ServerConfig config;
  config.routes = tamsel::ApiRoutes();
  config.onStartup = tamsel::ApiStartup;
  int code = tov::WebShellMain(args, config);
  // A start that hands over to the running instance ends here: the
  // recovery of a move it began at its start ends first.
  tamsel::WaitForRecoveryAtStart();
  return code;
}
