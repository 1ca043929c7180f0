#pragma once
#include "foundation/kaFoundation.h"

// How a host lines up the picture and the sound of one source whose video and
// audio come from one clock (a camera with its microphone, a file, a feed).
//
// The two paths have different fixed latencies, measured from the moment a
// frame or a block reaches its renderer:
//  - picture: the live delay asked of the video renderer, then the wait for
//    the next cue that shows the frame: uniform over the shorter of the output
//    period and the frame duration, so half of it on average (VideoCueLatency);
//  - sound: the audio cue path reads the ring a fixed distance behind the
//    writer, pinned when it primes: the prime distance (50 ms) plus however
//    long the writer had been quiet at that moment, then any live delay.
// Left alone, sound is some 35 ms late against undelayed video, and 50–80 ms
// early against video delayed 0.1 s.
//
// Align gives the video delay to set and the latency to ask of the audio
// renderer (kaPluginAudioRenderer::SetLipSyncLatency), which tops its own
// measured cue latency up to it when it primes, so that the sound of an
// instant is heard when its picture is shown, on average, whatever the block
// size and priming moment. The picture is only ever delayed more than asked,
// never less: a video delay that has to grow while frames wait shows one
// frame twice, one that shrank would drop frames. Pure functions: any thread.
namespace kaLipSync {

// The shortest audio cue latency: the prime distance of 2400 frames at 48 kHz.
inline constexpr double kMinAudioCueLatency = 0.05;

// The mean wait of a delivered frame for the cue that shows it, in seconds:
// half the shorter of `outputPeriod` and `frameDuration`. A duration that is
// not finite and positive counts as the other one; both such give 0.
KASP2_EXPORT double VideoCueLatency(double outputPeriod, double frameDuration);

struct Plan {
  double videoDelay = 0.0;    // seconds, for the video renderer's live delay
  double audioLatency = 0.0;  // seconds, for SetLipSyncLatency
  bool exact = true;          // false when a delay had to be held at its ceiling
};

// `videoDelay`: the delay the user asked for the source (its picture and, with
// it, its sound). `soundOffset`: how much later than its picture the sound is
// to be heard (a trim for a source that is itself out of sync; negative:
// earlier). `audioCueLatency`: the host's estimate of the audio cue path's
// latency, at least kMinAudioCueLatency (the prime distance plus the source's
// block duration is a good one: the sound is never late by more than the
// estimate falls short). `videoCueLatency`: from VideoCueLatency.
// A video delay is held as the renderer holds it (kaLiveDelay::ClampSeconds);
// other values that are not finite count as 0, negative latencies as 0, and
// an audio estimate below the minimum as the minimum. Both results stay
// within the live delay's ceiling (kaLiveDelay::kMaxSeconds, plus the audio
// path's own latency for audioLatency); `exact` says whether that held.
KASP2_EXPORT Plan Align(double videoDelay, double soundOffset, double audioCueLatency, double videoCueLatency);

}  // namespace kaLipSync
