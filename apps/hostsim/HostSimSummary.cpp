#include "HostSimSummary.h"

#include <cinttypes>

#include "DeliveryLateness.h"
#include "HostAudioSource.h"

namespace {

// A source that never sounded (or never showed a frame) in a run this much
// longer than its live delay has failed.
constexpr double kAudioStartAllowanceSeconds = 0.5;
constexpr double kVideoStartAllowanceSeconds = 0.2;

// How late a delivery may run before the reader goes short. Audio: the cue
// pins its base 2400 frames behind the writer and reads 1600 per period, and
// a block lands at most one block after its frames were due, which leaves
// 800 frames less one block: 11.7 ms. Video: a frame later than one output
// period misses its cue.
constexpr int32_t kFramesPerPeriod =
    kaPluginAudioRenderer::kWorkingSampleRate / kaPluginAudioRenderer::kCuesPerSecond;
constexpr double kAudioSlackMs =
    (kaPluginAudioRenderer::kPrimeFrames - kFramesPerPeriod) * 1000.0 / kaPluginAudioRenderer::kWorkingSampleRate -
    HostAudioSource::kBlockMicros / 1000.0;
constexpr double kVideoSlackMs = kaPluginAudioRenderer::kPeriodTimeMicros / 1000.0;

// What a failure of a source adds when its delivery thread ran later than
// the reader's slack: the fault may be the machine's, not the library's.
std::string StarvedNote(double maxLateMs, double slackMs) {
  if (maxLateMs <= slackMs) return "";
  char note[112];
  std::snprintf(note, sizeof note, " (its delivery thread ran up to %.1f ms late: the machine starved it)", maxLateMs);
  return note;
}

double Percent(uint64_t part, uint64_t whole) {
  return whole == 0 ? -1.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

void Fail(HostSimSummary& summary, const std::string& reason) { summary.failures.push_back(reason); }

// "1 re-prime", "3 re-primes".
std::string Counted(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace

void EvaluateHostSimSummary(HostSimSummary& summary, const HostSimOptions& options) {
  for (size_t i = 0; i < summary.video.size(); ++i) {
    const HostSimVideoSummary& v = summary.video[i];
    const VideoSourceOptions& o = options.video[i];
    const std::string starved = StarvedNote(v.deliveryMaxLateMs, kVideoSlackMs);
    if (v.blankAfterFirst > 0) {
      Fail(summary,
           v.name + ": " + std::to_string(v.blankAfterFirst) + " blank frames after its first frame" + starved);
    }
    if (v.backwards > 0) Fail(summary, v.name + ": showed an older frame than before " + std::to_string(v.backwards) + " times");
    const double frameSeconds = static_cast<double>(o.frameDuration) / static_cast<double>(o.timeScale);
    if (v.shown == 0 && options.durationSeconds > o.delaySeconds + 2 * frameSeconds + kVideoStartAllowanceSeconds) {
      Fail(summary, v.name + ": showed no frame");
    }
  }
  for (size_t i = 0; i < summary.audio.size(); ++i) {
    const HostSimAudioSummary& a = summary.audio[i];
    const AudioSourceOptions& o = options.audio[i];
    // What the audio failures of this source add: a starved delivery thread,
    // a drift correction that could not follow the source's clock.
    std::string note = StarvedNote(a.deliveryMaxLateMs, kAudioSlackMs);
    if (a.driftResets > 0) {
      note += " (its drift correction gave up and restarted " + Counted(a.driftResets, "time") + ")";
    }
    const std::string reprimes = " in " + Counted(a.reprimes, "re-prime");
    if (a.unexpectedLost > 0) Fail(summary, a.name + ": lost " + std::to_string(a.unexpectedLost) + " frames" + note);
    if (a.unexpectedRepeated > 0) {
      Fail(summary, a.name + ": repeated " + std::to_string(a.unexpectedRepeated) + " frames" + note);
    }
    if (a.reprimeLostFrames > 0) {
      Fail(summary, a.name + ": lost " + std::to_string(a.reprimeLostFrames) + " frames" + reprimes + note);
    }
    if (a.reprimeRepeatedFrames > 0) {
      Fail(summary, a.name + ": repeated " + std::to_string(a.reprimeRepeatedFrames) + " frames" + reprimes + note);
    }
    if (a.underruns > 0) {
      Fail(summary, a.name + ": " + std::to_string(a.underruns) + " silent cues after priming" + note);
    }
    if (a.corruptPeriods > 0) {
      Fail(summary, a.name + ": " + std::to_string(a.corruptPeriods) + " periods held no source audio" + note);
    }
    if (!a.started && options.durationSeconds > o.delaySeconds + kAudioStartAllowanceSeconds) {
      Fail(summary, a.name + ": no audio reached the output" + note);
    }
    // The sources make only well-formed blocks that fit the ring many times.
    const kaPluginAudioRenderer::ReceiveCounters& r = a.receive;
    if (r.refused > 0 || r.dropped > 0 || r.truncated > 0) {
      Fail(summary, a.name + ": the renderer refused " + std::to_string(r.refused) + ", dropped " +
                        std::to_string(r.dropped) + " and truncated " + std::to_string(r.truncated) + " of " +
                        std::to_string(r.received) + " blocks");
    }
    if (r.received != a.blocks) {
      Fail(summary, a.name + ": the renderer counted " + std::to_string(r.received) +
                        " blocks received, the source delivered " + std::to_string(a.blocks));
    }
  }
  uint64_t videoDeliveries = 0;
  uint64_t audioDeliveries = 0;
  for (const HostSimVideoSummary& v : summary.video) videoDeliveries += v.delivered;
  for (const HostSimAudioSummary& a : summary.audio) audioDeliveries += a.blocks;
  if (summary.hostVideoCalls != videoDeliveries || summary.hostAudioCalls != audioDeliveries) {
    Fail(summary, "the host was told of " + std::to_string(summary.hostVideoCalls) + " video and " +
                      std::to_string(summary.hostAudioCalls) + " audio deliveries, the sources made " +
                      std::to_string(videoDeliveries) + " and " + std::to_string(audioDeliveries));
  }
}

double HostSimSummary::CacheHitPercent() const { return Percent(cache.hits, cache.hits + cache.misses); }
double HostSimSummary::FilterHitPercent() const { return Percent(filterHits, filterHits + filterMisses); }

void PrintHostSimSummary(const HostSimSummary& summary, bool quiet, FILE* out) {
  if (!out) return;
  std::fprintf(out, "\nkasp2-hostsim: %.2f s %s in %.2f s of wall time, %" PRIu64 " output periods",
               summary.durationSeconds, summary.simulated ? "on the simulated clock" : "in real time",
               summary.wallSeconds, summary.periods);
  if (!summary.simulated) {
    std::fprintf(out, "\n  engine periods started at most %.1f ms late; threads %s", summary.engineMaxLateMs,
                 summary.realTimeScheduling ? "on real-time scheduling" : "on normal scheduling (real-time not permitted)");
  }
  std::fprintf(out, "\n");
  if (!summary.video.empty()) {
    std::fprintf(out, "\nvideo   %-34s %9s %6s %6s %6s %7s %9s %9s\n", "source", "delivered", "cued", "shown",
                 "blank", "late", "lat.avg", "lat.max");
    for (const HostSimVideoSummary& v : summary.video) {
      std::fprintf(out, "  %-5s %-34s %9" PRIu64 " %6" PRIu64 " %6" PRIu64 " %6" PRIu64 " %7" PRIu64
                        " %7.1fms %7.1fms\n",
                   v.name.c_str(), v.option.c_str(), v.delivered, v.cued, v.shown, v.blank, v.blankAfterFirst,
                   v.latencyAvgMs, v.latencyMaxMs);
    }
    std::fprintf(out, "  (blank: cues that showed a blank frame; late: of those, after the first frame)\n");
  }
  if (!summary.audio.empty()) {
    std::fprintf(out, "\naudio   %-34s %9s %5s %5s %5s %5s %5s %9s %6s %7s %7s %7s %6s\n", "source", "frames", "cues",
                 "prime", "under", "lost", "rept", "drift", "reprim", "rp.lost", "rp.rept", "check", "ring");
    for (const HostSimAudioSummary& a : summary.audio) {
      char drift[48];
      std::snprintf(drift, sizeof drift, "+%" PRIu64 "/-%" PRIu64, a.driftStretches, a.driftShrinks);
      std::fprintf(out, "  %-5s %-34s %9" PRIu64 " %5" PRIu64 " %5" PRIu64 " %5" PRIu64 " %5" PRIu64 " %5" PRIu64
                        " %9s %6" PRIu64 " %7" PRIu64 " %7" PRIu64 " %7s %4.0fms\n",
                   a.name.c_str(), a.option.c_str(), a.framesDelivered, a.cues, a.silentBeforeStart, a.underruns,
                   a.lostFrames, a.repeatedFrames, drift, a.reprimes, a.reprimeLostFrames, a.reprimeRepeatedFrames,
                   a.counterCheck ? "counter" : "sine", a.backlogMs);
    }
    std::fprintf(out,
                 "  (prime: silent cues before the first sound; under: silent cues after it; lost/rept: frames\n"
                 "   lost or repeated between source and cue; drift: corrections adding/dropping a frame, which\n"
                 "   account for as many repeated/lost frames; reprim: new read bases after the first sound;\n"
                 "   rp.lost/rp.rept: frames their jumps skipped/replayed, measured on the cued audio)\n");
  }
  if (!summary.video.empty() || !summary.audio.empty()) {
    std::fprintf(out, "\ndelivery %-33s %8s %8s %7s %7s %9s %9s %6s\n", "source", "blocks", "received", "refused",
                 "dropped", "truncated", "late.max", "stalls");
    for (const HostSimVideoSummary& v : summary.video) {
      std::fprintf(out, "  %-5s %-34s %8" PRIu64 " %8s %7s %7s %9s %7.1fms %6" PRIu64 "\n", v.name.c_str(),
                   v.option.c_str(), v.delivered, "-", "-", "-", "-", v.deliveryMaxLateMs, v.deliveryStalls);
    }
    for (const HostSimAudioSummary& a : summary.audio) {
      std::fprintf(out,
                   "  %-5s %-34s %8" PRIu64 " %8" PRIu64 " %7" PRIu64 " %7" PRIu64 " %9" PRIu64 " %7.1fms %6" PRIu64
                   "\n",
                   a.name.c_str(), a.option.c_str(), a.blocks, a.receive.received, a.receive.refused,
                   a.receive.dropped, a.receive.truncated, a.deliveryMaxLateMs, a.deliveryStalls);
    }
    std::fprintf(out,
                 "  (blocks: frames or audio blocks the source delivered; received ... truncated: what the audio\n"
                 "   renderer's receive path did with them; late.max: most a delivery ran after its due time;\n"
                 "   stalls: deliveries more than %.1f ms (two output periods) late)\n",
                 DeliveryLateness::kStallMicros / 1000.0);
  }
  std::fprintf(out, "\nbuffer cache: %" PRIu64 " requests, %" PRIu64 " served from the cache",
               summary.cache.hits + summary.cache.misses, summary.cache.hits);
  if (summary.CacheHitPercent() >= 0) std::fprintf(out, " (%.2f%%)", summary.CacheHitPercent());
  std::fprintf(out, "\nfilter cache: %" PRIu64 " lookups, %" PRIu64 " hits", summary.filterHits + summary.filterMisses,
               summary.filterHits);
  if (summary.FilterHitPercent() >= 0) std::fprintf(out, " (%.2f%%)", summary.FilterHitPercent());
  std::fprintf(out, ", %" PRIu64 " chain runs, %" PRIu64 " renders dropped\n", summary.filterMisses,
               summary.rendersDropped);
  std::fprintf(out, "host callbacks: %" PRIu64 " video, %" PRIu64 " audio\n", summary.hostVideoCalls,
               summary.hostAudioCalls);
  if (!quiet) {
    std::fprintf(out, "\n");
    for (const std::string& line : summary.statisticsLines) std::fprintf(out, "%s\n", line.c_str());
    if (!summary.driftLines.empty()) std::fprintf(out, "\n");
    for (const std::string& line : summary.driftLines) std::fprintf(out, "%s\n", line.c_str());
  }
  std::fprintf(out, "\nfiles:\n");
  for (const HostSimAudioSummary& a : summary.audio) std::fprintf(out, "  %s\n", a.wavPath.c_str());
  if (!summary.contactSheetPath.empty()) std::fprintf(out, "  %s\n", summary.contactSheetPath.c_str());
  if (summary.failures.empty()) {
    std::fprintf(out, "\nresult: PASS\n");
  } else {
    std::fprintf(out, "\nresult: FAIL\n");
    for (const std::string& failure : summary.failures) std::fprintf(out, "  %s\n", failure.c_str());
  }
  std::fflush(out);
}
