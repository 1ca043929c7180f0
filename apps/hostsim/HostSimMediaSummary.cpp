#include "HostSimMediaSummary.h"

#include <cinttypes>

#include "HostSimSummary.h"

namespace {

// An input that never showed a frame (or never sounded) in a run this long
// has failed: its stream gave nothing, or nothing usable.
constexpr double kStartAllowanceSeconds = 1.0;

// "V3 (I1 clip.mp4)": the source and the input it belongs to.
std::string Label(const std::string& name, const HostSimInputSummary& input) {
  return name + " (" + input.name + " " + input.option + ")";
}

// What an excused fault adds: the stream's own trouble.
std::string StreamNote(const HostSimInputSummary& input) {
  if (input.stalls > 0) return " (its stream stalled " + std::to_string(input.stalls) + " times)";
  return input.ended ? " (its stream ended)" : "";
}

}  // namespace

void EvaluateMediaSummary(HostSimSummary& summary, double durationSeconds) {
  auto fail = [&summary](const std::string& reason) { summary.failures.push_back(reason); };
  for (const HostSimVideoSummary& v : summary.video) {
    if (v.input < 0 || static_cast<size_t>(v.input) >= summary.inputs.size()) continue;
    const HostSimInputSummary& input = summary.inputs[static_cast<size_t>(v.input)];
    const std::string label = Label(v.name, input);
    if (v.blankAfterFirst > 0 && !input.Excused()) {
      fail(label + ": " + std::to_string(v.blankAfterFirst) + " blank frames after its first frame");
    }
    if (v.backwards > 0) fail(label + ": showed an older frame than before " + std::to_string(v.backwards) + " times");
    if (v.shown == 0 && durationSeconds > kStartAllowanceSeconds) fail(label + ": showed no frame" + StreamNote(input));
  }
  for (const HostSimAudioSummary& a : summary.audio) {
    if (a.input < 0 || static_cast<size_t>(a.input) >= summary.inputs.size()) continue;
    const HostSimInputSummary& input = summary.inputs[static_cast<size_t>(a.input)];
    const std::string label = Label(a.name, input);
    if (!input.Excused()) {
      if (a.underruns > 0) fail(label + ": " + std::to_string(a.underruns) + " silent cues after priming");
      if (a.reprimes > 0) fail(label + ": " + std::to_string(a.reprimes) + " re-primes");
    }
    if (!a.started && durationSeconds > kStartAllowanceSeconds) {
      fail(label + ": no audio reached the output" + StreamNote(input));
    }
    const kaPluginAudioRenderer::ReceiveCounters& r = a.receive;
    if (r.refused > 0 || r.dropped > 0 || r.truncated > 0) {
      fail(label + ": the renderer refused " + std::to_string(r.refused) + ", dropped " + std::to_string(r.dropped) +
           " and truncated " + std::to_string(r.truncated) + " of " + std::to_string(r.received) + " blocks");
    }
    if (r.received != a.blocks) {
      fail(label + ": the renderer counted " + std::to_string(r.received) + " blocks received, the input delivered " +
           std::to_string(a.blocks));
    }
  }
  const HostSimRecordSummary& record = summary.record;
  if (record.path.empty()) return;
  if (!record.error.empty()) fail("record " + record.path + ": " + record.error);
  if (record.overflows > 0) {
    fail("record " + record.path + ": " + std::to_string(record.overflows) +
         " periods found the encoder's queue full and were written black and silent");
  }
}

void PrintMediaSummary(const HostSimSummary& summary, FILE* out) {
  if (!out) return;
  if (!summary.inputs.empty()) {
    std::fprintf(out, "\ninput   %-34s %7s %7s %7s %9s %6s %6s %5s %6s  %s\n", "source", "decoded", "frames", "blocks",
                 "audio", "errors", "stalls", "loops", "reopen", "streams");
    for (const HostSimInputSummary& i : summary.inputs) {
      std::fprintf(out,
                   "  %-5s %-34s %7" PRIu64 " %7" PRIu64 " %7" PRIu64 " %9" PRIu64 " %6" PRIu64 " %6" PRIu64
                   " %5" PRIu64 " %6" PRIu64 "  %s%s\n",
                   i.name.c_str(), i.option.c_str(), i.framesDecoded, i.framesDelivered, i.audioBlocks, i.audioFrames,
                   i.decodeErrors + i.convertFailures, i.stalls, i.loops, i.reopens, i.streams.c_str(),
                   i.ended ? " (ended)" : "");
    }
    std::fprintf(out,
                 "  (decoded/frames: pictures decoded and delivered; blocks/audio: 5 ms blocks and their frames;\n"
                 "   errors: damaged or refused data and pictures or blocks that could not be converted;\n"
                 "   stalls: times delivery ran dry mid-stream (the host then shows blank and silent))\n");
  }
  const HostSimRecordSummary& r = summary.record;
  if (!r.path.empty()) {
    std::fprintf(out,
                 "\nrecord: %s from %s: %" PRIu64 " periods of %dx%d %s and %d ch %s, %" PRIu64 " overflowed, %" PRIu64
                 " unreadable pictures, %" PRIu64 " errors\n",
                 r.path.c_str(), r.source.c_str(), r.periods, r.width, r.height, r.videoCodec.c_str(), r.channels,
                 r.audioCodec.c_str(), r.overflows, r.unconvertible, r.errors);
  }
}
