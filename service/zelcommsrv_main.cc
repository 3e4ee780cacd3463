// zelcommsrv: the communications server daemon.
#include <cstdio>

#include "service/daemon.h"

int main(int argc, char** argv) {
  // Before any thread exists, so every thread inherits the blocked stop signals.
  zel::BlockStopSignals();
  zel::DaemonOptions options;
  std::string error;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (zel::Failed(zel::ParseDaemonOptions(args, &options, &error))) {
    std::fprintf(stderr, "zelcommsrv: %s\n", error.c_str());
    return 64;  // EX_USAGE
  }
  if (options.show_help) {
    std::fputs(zel::DaemonUsage().c_str(), stdout);
    return 0;
  }
  if (options.show_version) {
    std::printf("zelcommsrv %s\n", ZEL_PRODUCT_VERSION);
    return 0;
  }
  return zel::RunDaemon(options);
}
