#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EngineSources.h"
#include "HostEngine.h"
#include "HostMediaInput.h"
#include "HostSimOptions.h"
#include "HostSimSummary.h"
#include "ProgramRecorder.h"

// Milliseconds of working-format audio in `bytes` of `channels` channels;
// 0 without channels.
double BacklogMs(uint64_t bytes, int32_t channels);
// What the engine counted of one picture or sound source (cues, frames
// shown, silences, re-primes, backlog) copied into its summary row; the
// rest of the row is the source's own to fill.
void CopyEngineCounters(const HostEngine::VideoCounters& counters, HostSimVideoSummary& row);
void CopyEngineCounters(const HostEngine::AudioCounters& counters, SampleAudioRenderer& renderer,
                        HostSimAudioSummary& row);

// The media side of one simulator run: the --input sources (each a media
// source plug-in with its two renderers) and the --record writer. It opens
// the inputs before the run, appends their picture and sound to the engine's
// lists, hands the recorder the chosen sources, starts and stops the inputs
// (their own threads in real time, the driver's steps on the simulated
// clock), and fills the summary's input and record entries afterwards.
// The controlling thread calls everything; it must outlive the engine that
// holds its sources.
class HostSimMedia {
 public:
  HostSimMedia(const HostSimOptions& options, kaBufferGroup2& group, kaSourcesPluginMethods& host);
  ~HostSimMedia();
  HostSimMedia(const HostSimMedia&) = delete;
  HostSimMedia& operator=(const HostSimMedia&) = delete;

  // Opens every input and appends its picture and sound to `video` and
  // `audio` (after the test sources, numbered on from them). False with the
  // reason in `error` when an input cannot be opened.
  bool OpenInputs(std::vector<EngineVideoSource*>& video, std::vector<EngineAudioSource*>& audio, std::string& error);
  // Opens the recording, when asked, of input N's sources or the first of
  // `video` and `audio`, and gives it to the engine. False with the reason
  // in `error` when the file cannot be written.
  bool OpenRecorder(HostEngine& engine, const std::vector<EngineVideoSource*>& video,
                    const std::vector<EngineAudioSource*>& audio, std::string& error);

  // Simulated clock: maps every input to `startMicros` and returns what the
  // driver steps.
  std::vector<HostStepper*> StartStepped(int64_t startMicros);
  // Real time: the inputs' own threads; Stop ends them (promptly, even with
  // a network read pending).
  void StartRealTime();
  void Stop();

  // Simulated clock, between the driver's steps: lets the recording's
  // encoder catch up, so a simulated run records every period.
  void WaitForRecorder() {
    if (recorder_) recorder_->WaitForRoom();
  }
  // After the engine finished: closes the recording padded to `periods`.
  void FinishRecording(uint64_t periods);
  // The inputs' status-line fields.
  std::string Status() const;
  // Appends the inputs' picture and sound entries to the summary, after
  // the test sources', and fills the input and record entries.
  void Summarize(const HostEngine& engine, HostSimSummary& summary) const;

 private:
  const HostSimOptions& options_;
  kaBufferGroup2& group_;
  kaSourcesPluginMethods& host_;
  std::vector<std::unique_ptr<HostMediaInput>> inputs_;
  // Per input: its picture's and its sound's index in the engine's lists, -1
  // for none.
  std::vector<int> videoIndex_;
  std::vector<int> audioIndex_;
  std::unique_ptr<ProgramRecorder> recorder_;
  HostSimRecordSummary record_;
};
