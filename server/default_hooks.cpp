// Defaults for the application hooks, for a program that supplies none.
// Each is its own function so that the program can link one default and
// supply the other.
#include "server/web_shell.h"

void TovOnStartup(const std::string&) {}
