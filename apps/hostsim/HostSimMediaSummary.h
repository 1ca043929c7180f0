#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// What a run found of its media inputs (--input) and its recording
// (--record): plain data, filled after the run, judged and printed with the
// rest of the summary.

struct HostSimInputSummary {
  std::string name;     // "I1"
  std::string option;   // the --input text
  std::string video;    // the engine source of its picture ("V3"), empty without one
  std::string audio;    // of its sound ("A2"), empty without one
  std::string streams;  // what was opened: "320x240 yuv420p; fltp 48000 Hz 2 ch"
  uint64_t framesDecoded = 0;
  uint64_t framesDelivered = 0;
  uint64_t audioBlocks = 0;
  uint64_t audioFrames = 0;
  uint64_t decodeErrors = 0;
  uint64_t convertFailures = 0;
  uint64_t stalls = 0;
  uint64_t loops = 0;
  uint64_t reopens = 0;
  bool ended = false;
  // Blank frames, drop-outs and re-primes of its output are the stream's
  // doing, not the host's, once it stalled or ended.
  bool Excused() const { return stalls > 0 || ended; }
};

struct HostSimRecordSummary {
  std::string path;    // empty: nothing was recorded
  std::string source;  // "V1 + A1"
  std::string videoCodec;
  std::string audioCodec;
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  uint64_t periods = 0;        // written, black ones included
  uint64_t overflows = 0;      // periods that found the encoder's queue full (written black and silent)
  uint64_t unconvertible = 0;  // pictures of a layout the recorder cannot read (written black)
  uint64_t errors = 0;         // encode and write errors
  std::string error;           // the first failure's words, if any
};

struct HostSimSummary;

// Fails the run for an input's picture that went blank after its first
// frame, or its sound that dropped out or re-primed, while the stream
// neither stalled nor ended; for a picture that showed nothing or a sound
// that never reached the output; for blocks the renderer refused; and for a
// recording that lost periods to its queue or failed to write.
void EvaluateMediaSummary(HostSimSummary& summary, double durationSeconds);

// The inputs' and the recording's lines of the summary (nothing without
// either).
void PrintMediaSummary(const HostSimSummary& summary, FILE* out);
