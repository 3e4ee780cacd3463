// zelctl: the command-line client of the automation bridge. All logic is in cli/zelctl.cc.
#include <csignal>
#include <iostream>

#include "cli/zelctl.h"

namespace {
std::atomic<bool> g_stop{false};
// Ctrl-C ends `zelctl watch`: the handler only sets the flag the watch loop checks.
void OnSignal(int) { g_stop.store(true); }
}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);  // a closed output pipe ends the program by write errors
  std::vector<std::string> args(argv + 1, argv + argc);
  return zel::cli::RunZelctl(args, std::cout, std::cerr, &g_stop);
}
