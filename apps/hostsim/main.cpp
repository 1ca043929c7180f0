// kasp2-hostsim: runs live test sources through libkasp2 as a mixing host
// does and checks what comes out. See --help.
#include <cstdio>
#include <string>

#include "HostSimOptions.h"
#include "HostSimulator.h"

int main(int argc, char** argv) {
  HostSimOptions options;
  std::string error;
  if (!ParseHostSimOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "kasp2-hostsim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(HostSimUsage(), stdout);
    return 0;
  }
  HostSimSummary summary;
  return RunHostSimulator(options, summary, stdout);
}
