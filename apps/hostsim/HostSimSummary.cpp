#include "HostSimSummary.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "DeliveryLateness.h"
#include "HostAudioSource.h"
#include "LipSync.h"

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
// Lip sync: a frame delivered any later than due may miss the cue it was
// lined up for; a millisecond of scheduling noise is allowed.
constexpr double kLipSlackMs = 1.0;

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

// The limits a tone source asked for (maxpeak=, minsinad=).
void CheckListenerLimits(HostSimSummary& summary, const HostSimAudioSummary& a, const AudioSourceOptions& o) {
  if (!o.maxResidualPeakDbfs && !o.minSinadDb) return;
  char line[160];
  if (a.qualityPeriods == 0) {
    Fail(summary, a.name + ": no period was measured for its maxpeak= or minsinad=");
    return;
  }
  if (o.maxResidualPeakDbfs && a.residualPeakDbfs > *o.maxResidualPeakDbfs) {
    std::snprintf(line, sizeof line, ": the tone's residual peaks at %.1f dBFS, above the %.1f dBFS asked",
                  a.residualPeakDbfs, *o.maxResidualPeakDbfs);
    Fail(summary, a.name + line);
  }
  if (o.minSinadDb && a.sinadDb < *o.minSinadDb) {
    std::snprintf(line, sizeof line, ": the tone's SINAD is %.1f dB, below the %.1f dB asked", a.sinadDb,
                  *o.minSinadDb);
    Fail(summary, a.name + line);
  }
}

}  // namespace

void EvaluateHostSimSummary(HostSimSummary& summary, const HostSimOptions& options) {
  for (size_t i = 0; i < summary.video.size(); ++i) {
    const HostSimVideoSummary& v = summary.video[i];
    if (v.input >= 0) continue;  // judged as unknown content, below
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
    if (a.input >= 0) continue;  // judged as unknown content, below
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
    CheckListenerLimits(summary, a, o);
  }
  for (size_t i = 0; i < summary.pairs.size() && i < options.pairs.size(); ++i) {
    const HostSimPairSummary& p = summary.pairs[i];
    // A frame delivered late shows a cue late: then its picture, not the
    // library, is out of step.
    const size_t videoIndex = static_cast<size_t>(options.pairs[i].video);
    const std::string starved =
        videoIndex < summary.video.size() ? StarvedNote(summary.video[videoIndex].deliveryMaxLateMs, kLipSlackMs) : "";
    char window[160];
    if (p.measured == 0) {
      Fail(summary, p.name + ": no frame's lip sync could be measured");
    } else if (p.minMs < -LipSyncMeter::kMaxEarlyMs || p.maxMs > LipSyncMeter::kMaxLateMs) {
      std::snprintf(window, sizeof window,
                    ": sound %+.1f ... %+.1f ms against its picture, outside -%.0f ... +%.0f ms (early ... late)",
                    p.minMs, p.maxMs, LipSyncMeter::kMaxEarlyMs, LipSyncMeter::kMaxLateMs);
      Fail(summary, p.name + window + starved);
    }
  }
  EvaluateMediaSummary(summary, options.durationSeconds);
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

namespace {

// The process's peak resident memory in kibibytes (VmHWM of /proc/self/status);
// 0 where it cannot be read.
unsigned long long PeakResidentKiB() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  unsigned long long kib = 0;
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, "VmHWM:", 6) == 0 && std::sscanf(line + 6, "%llu", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

// What a listener hears of each sine source, and what smooth correction did.
void PrintListenerTable(const HostSimSummary& summary, FILE* out) {
  bool any = false;
  for (const HostSimAudioSummary& a : summary.audio) any = any || a.qualityPeriods > 0 || a.smoothDrift;
  if (!any) return;
  std::fprintf(out, "\nlistener %-33s %9s %7s %10s %8s %11s %7s %6s %4s\n", "source", "heard", "periods",
               "res.peak", "SINAD", "ratio", "level", "wander", "rst");
  for (const HostSimAudioSummary& a : summary.audio) {
    if (a.qualityPeriods == 0 && !a.smoothDrift) continue;
    std::fprintf(out, "  %-5s %-34s", a.name.c_str(), a.option.c_str());
    if (a.qualityPeriods > 0) {
      std::fprintf(out, " %7.1fHz %7" PRIu64 " %6.1fdBFS %6.1fdB", a.heardHz, a.qualityPeriods, a.residualPeakDbfs,
                   a.sinadDb);
    } else {
      std::fprintf(out, " %9s %7s %10s %8s", "-", "-", "-", "-");
    }
    if (a.smoothDrift) {
      std::fprintf(out, " %+8.1fppm %7.1f %6.2f %4" PRIu64 "\n", a.smoothRatioPpm, a.smoothPeakLevelFrames,
                   a.wanderFrames, a.smoothRestarts);
    } else {
      std::fprintf(out, " %11s %7s %6s %4s\n", "-", "-", "-", "-");
    }
  }
  std::fprintf(out,
               "  (heard: the tone's frequency at the output; res.peak: the largest difference between a\n"
               "   period and the tone fitted to it; SINAD: tone over residual power; ratio: smooth drift\n"
               "   correction's last resampling ratio, off 1; level: the most its measured level moved,\n"
               "   frames; wander: the most the tone's timing moved with the ratio, frames (slow, not\n"
               "   lost); rst: its restarts. Measured once the checker took its reference, after %.0f s\n"
               "   of sound for a smooth-corrected source)\n",
               HostAudioSource::kSmoothSettleSeconds);
}

}  // namespace

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
                   a.input >= 0 ? "sound" : a.counterCheck ? "counter" : "sine", a.backlogMs);
    }
    std::fprintf(out,
                 "  (prime: silent cues before the first sound; under: silent cues after it; lost/rept: frames\n"
                 "   lost or repeated between source and cue; drift: corrections adding/dropping a frame, which\n"
                 "   account for as many repeated/lost frames; reprim: new read bases after the first sound;\n"
                 "   rp.lost/rp.rept: frames their jumps skipped/replayed, measured on the cued audio)\n");
    PrintListenerTable(summary, out);
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
  if (!summary.pairs.empty()) {
    std::fprintf(out, "\nlip sync %-10s %8s %9s %9s %8s %8s %8s %8s\n", "pair", "frames", "v.delay", "a.latency",
                 "a.cue", "min", "avg", "max");
    for (const HostSimPairSummary& p : summary.pairs) {
      std::fprintf(out, "  %-16s %8" PRIu64 " %7.1fms %7.1fms %6.1fms %+6.1fms %+6.1fms %+6.1fms\n", p.name.c_str(),
                   p.measured, p.videoDelay * 1000.0, p.soundLatency * 1000.0, p.cueLatency * 1000.0, p.minMs,
                   p.avgMs, p.maxMs);
    }
    std::fprintf(out,
                 "  (frames: newly shown frames measured; v.delay: the picture's live delay; a.latency: when the\n"
                 "   sound was asked to be heard, a.cue: the cue path's own latency, both after its block arrived;\n"
                 "   min/avg/max: the sound against its picture, positive when late; window -%.0f ... +%.0f ms)\n",
                 LipSyncMeter::kMaxEarlyMs, LipSyncMeter::kMaxLateMs);
  }
  std::fprintf(out, "\nbuffer cache: %" PRIu64 " requests, %" PRIu64 " served from the cache",
               summary.cache.hits + summary.cache.misses, summary.cache.hits);
  if (summary.CacheHitPercent() >= 0) std::fprintf(out, " (%.2f%%)", summary.CacheHitPercent());
  // The cache's high-water mark of buffer bytes beside the process's peak
  // resident memory, which adds everything else the process holds.
  std::fprintf(out, "; MemoryHW %" PRIu64 " MB, peak resident %llu MB", summary.cache.peakLiveBytes >> 20,
               PeakResidentKiB() >> 10);
  if (summary.cache.evictedForCap > 0) {
    std::fprintf(out, "; %" PRIu64 " idle buffers (%" PRIu64 " MB) destroyed for the idle cap",
                 summary.cache.evictedForCap, summary.cache.evictedBytesForCap >> 20);
  }
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
  PrintMediaSummary(summary, out);
  std::fprintf(out, "\nfiles:\n");
  for (const HostSimAudioSummary& a : summary.audio) std::fprintf(out, "  %s\n", a.wavPath.c_str());
  if (!summary.contactSheetPath.empty()) std::fprintf(out, "  %s\n", summary.contactSheetPath.c_str());
  if (!summary.record.path.empty() && summary.record.error.empty()) std::fprintf(out, "  %s\n", summary.record.path.c_str());
  if (summary.failures.empty()) {
    std::fprintf(out, "\nresult: PASS\n");
  } else {
    std::fprintf(out, "\nresult: FAIL\n");
    for (const std::string& failure : summary.failures) std::fprintf(out, "  %s\n", failure.c_str());
  }
  std::fflush(out);
}
