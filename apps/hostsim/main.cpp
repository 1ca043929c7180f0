// kasp2-hostsim: runs live test sources through libkasp2 as a mixing host
// does and checks what comes out. See --help.
#include <cstdio>
#include <string>

#include "HostSimOptions.h"
#include "HostSimulator.h"

extern "C" {
#include <libavutil/log.h>
}

int main(int argc, char** argv) {
  // FFmpeg's notes (encoder banners, stream warnings) would drown the status
  // lines; its errors still show.
  av_log_set_level(AV_LOG_ERROR);
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
