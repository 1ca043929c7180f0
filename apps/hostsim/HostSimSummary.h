#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "HostSimMediaSummary.h"
#include "HostSimOptions.h"
#include "kasp2/kasp2.h"

// What one run of the host simulator found, source by source.
struct HostSimVideoSummary {
  std::string name;  // "V1"
  std::string option;  // the --video text
  int input = -1;      // for a media input's picture: its index in HostSimSummary::inputs
  uint64_t delivered = 0;
  uint64_t failedFrames = 0;  // frames the generator could not make
  uint64_t cued = 0;
  uint64_t shown = 0;  // distinct frames shown
  uint64_t blank = 0;
  uint64_t blankAfterFirst = 0;
  uint64_t backwards = 0;
  double latencyAvgMs = 0.0;  // cue time minus the frame's due time
  double latencyMaxMs = 0.0;
  double deliveryMaxLateMs = 0.0;  // most a delivery ran after its due time
  uint64_t deliveryStalls = 0;     // deliveries more than DeliveryLateness::kStallMicros late
};

struct HostSimAudioSummary {
  std::string name;  // "A1"
  std::string option;  // the --audio text
  int input = -1;      // for a media input's sound: its index in HostSimSummary::inputs
  bool counterCheck = false;  // exact sample-counter check (else sine continuity)
  bool started = false;       // sound reached the output
  uint64_t framesDelivered = 0;
  uint64_t blocks = 0;
  uint64_t cues = 0;
  uint64_t silentBeforeStart = 0;  // priming
  uint64_t underruns = 0;          // silent cues after the first sound
  uint64_t lostFrames = 0;      // away from re-primes
  uint64_t repeatedFrames = 0;  // away from re-primes
  uint64_t reprimes = 0;        // new read bases after the first sound
  uint64_t reprimeLostFrames = 0;      // skipped by the re-primes' jumps
  uint64_t reprimeRepeatedFrames = 0;  // replayed by them
  uint64_t corruptPeriods = 0;
  uint64_t primes = 0;
  uint64_t driftStretches = 0;  // corrections that add a frame
  uint64_t driftShrinks = 0;    // corrections that drop a frame
  uint64_t driftResets = 0;     // times the drift detector gave up and restarted its measurement
  uint64_t unexpectedLost = 0;      // lost beyond the drift shrinks
  uint64_t unexpectedRepeated = 0;  // repeated beyond the drift stretches
  kaPluginAudioRenderer::ReceiveCounters receive;  // what the renderer's receive path did with the blocks
  double deliveryMaxLateMs = 0.0;  // most a delivery ran after its due time
  uint64_t deliveryStalls = 0;     // deliveries more than DeliveryLateness::kStallMicros late
  double backlogMs = 0.0;
  // A sine source: what a listener hears once the reference period is taken
  // (AudioStreamChecker::Quality), over `qualityPeriods` periods.
  double heardHz = 0.0;  // the first tone as the output hears it
  uint64_t qualityPeriods = 0;
  double residualPeakDbfs = 0.0;
  double sinadDb = 0.0;
  double wanderFrames = 0.0;  // smooth correction: the farthest its timing wandered (not counted as lost)
  // Smooth drift correction: the last ratio, in ppm off 1; the largest level
  // error of its measurement, in frames; its restarts.
  bool smoothDrift = false;
  double smoothRatioPpm = 0.0;
  double smoothPeakLevelFrames = 0.0;
  uint64_t smoothRestarts = 0;
  std::string wavPath;
};

// A video and an audio source from one clock (--pair): how the host lined
// them up and the lip sync the output showed.
struct HostSimPairSummary {
  std::string name;           // "V2+A1"
  double videoDelay = 0.0;    // seconds, as set on the video renderer
  double soundLatency = 0.0;  // seconds, as asked of the audio renderer
  double cueLatency = -1.0;   // the audio cue path's, measured at its last prime
  uint64_t measured = 0;      // frames whose offset was measured
  double minMs = 0.0;         // offsets, positive when the sound comes late
  double avgMs = 0.0;
  double maxMs = 0.0;
};

struct HostSimSummary {
  bool simulated = false;
  double durationSeconds = 0.0;
  double wallSeconds = 0.0;
  uint64_t periods = 0;
  double engineMaxLateMs = 0.0;  // most a period started after its cue time
  bool realTimeScheduling = false;  // every thread of the run got SCHED_FIFO
  std::vector<HostSimVideoSummary> video;
  std::vector<HostSimAudioSummary> audio;
  std::vector<HostSimPairSummary> pairs;
  std::vector<HostSimInputSummary> inputs;
  HostSimRecordSummary record;
  kaCacheStatistics cache;
  uint64_t filterHits = 0;
  uint64_t filterMisses = 0;
  uint64_t rendersDropped = 0;  // video renders the render thread could not keep up with
  uint64_t hostVideoCalls = 0;
  uint64_t hostAudioCalls = 0;
  // Trace lines of the run: drift detector notes and the statistics table.
  std::vector<std::string> driftLines;
  std::vector<std::string> statisticsLines;
  std::string contactSheetPath;
  std::vector<std::string> failures;  // empty when every check passed

  // Recycling-cache and filter-cache hits in percent; -1 without requests.
  double CacheHitPercent() const;
  double FilterHitPercent() const;
};

// Checks a finished run's summary against what its options promised and
// fills summary.failures: blank frames after a video source's first frame,
// frames shown out of order, audio lost or repeated beyond the drift
// corrections, audio skipped or replayed by a re-prime, silent cues after
// the first sound, periods holding no source audio, a source that never
// reached the output, blocks that an audio renderer refused, dropped or
// truncated (or counted differently from the deliveries), and host
// callbacks that do not match the deliveries, a tone whose residual or
// SINAD is beyond the limits its source asked for, and a pair whose sound came
// more than 40 ms early or 60 ms late against its picture (or was never
// measured). A failure of a source whose
// delivery thread ran later than the reader's slack says so, so that a
// starved machine is not taken for a fault of the library.
void EvaluateHostSimSummary(HostSimSummary& summary, const HostSimOptions& options);

// Prints the summary block that a run ends with: per source what was
// delivered, cued and found, the caches' hit rates, the statistics table and
// the drift detectors' lines (both left out when `quiet`), the files written
// and the result.
void PrintHostSimSummary(const HostSimSummary& summary, bool quiet, FILE* out);
