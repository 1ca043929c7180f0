#include "plugins/kaAudioDriftDetector.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

namespace {

constexpr int32_t kNominalRateHz = 48000;
constexpr double kNominalRate = 48000.0;         // frames per second of host clock
constexpr double kMicrosPerSecond = 1'000'000.0;
constexpr double kDeadBandFrames = 1.0;          // smaller levels are jitter: recorded as 0
constexpr double kSlowThresholdFrames = 400.0;   // level and window average beyond it: +-1
constexpr double kResetThresholdFrames = 800.0;  // beyond it the adjustment is too large
constexpr double kResetOffsetFrames = 399.5;
constexpr int kMaxAdjustmentFrames = 20;
// About 2.5 s of deliveries every 10 ms: the usual window never grows it.
constexpr size_t kInitialHistoryCapacity = 256;

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t result = 0;
  if (__builtin_add_overflow(a, b, &result)) return b > 0 ? kInt64Max : kInt64Min;
  return result;
}

// later - earlier in microseconds, as a double, without signed overflow.
double Difference(int64_t later, int64_t earlier) {
  int64_t result = 0;
  if (__builtin_sub_overflow(later, earlier, &result)) {
    return static_cast<double>(later) - static_cast<double>(earlier);
  }
  return static_cast<double>(result);
}

// Saturating later - earlier, for comparisons with the window.
int64_t Span(int64_t later, int64_t earlier) {
  int64_t result = 0;
  if (__builtin_sub_overflow(later, earlier, &result)) return earlier < 0 ? kInt64Max : kInt64Min;
  return result;
}

// Truncates toward zero into an int, saturating (NaN gives 0).
int TruncateToInt(double value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
  if (value <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

template <typename Duration>
int64_t ToMicros(Duration duration) {
  using Micro = std::chrono::microseconds;
  const auto count = duration.count();
  if (count <= 0) return 0;
  constexpr auto kFactor = static_cast<int64_t>(Micro::period::den / Duration::period::den *
                                                Duration::period::num / Micro::period::num);
  if (count > kInt64Max / kFactor) return kInt64Max;
  return static_cast<int64_t>(count) * kFactor;
}

}  // namespace

// ---- HistoryRing ------------------------------------------------------------

bool kaAudioDriftDetector::HistoryRing::Reserve(size_t count) {
  if (count <= slots_.size()) return true;
  size_t capacity = slots_.empty() ? 1 : slots_.size();
  while (capacity < count) capacity *= 2;
  std::vector<History> grown;
  try {
    grown.resize(capacity);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  for (size_t i = 0; i < size_; ++i) grown[i] = At(i);
  slots_.swap(grown);
  head_ = 0;
  return true;
}

bool kaAudioDriftDetector::HistoryRing::PushBack(const History& entry) {
  if (size_ == slots_.size() && !Reserve(slots_.empty() ? kInitialHistoryCapacity : slots_.size() * 2)) {
    return false;
  }
  ++size_;
  At(size_ - 1) = entry;
  return true;
}

void kaAudioDriftDetector::HistoryRing::PopFront() {
  if (size_ == 0) return;
  head_ = (head_ + 1) & (slots_.size() - 1);
  --size_;
}

void kaAudioDriftDetector::HistoryRing::Clear() {
  head_ = 0;
  size_ = 0;
}

// ---- kaAudioDriftDetector -------------------------------------------------

kaAudioDriftDetector::kaAudioDriftDetector(std::string name, std::chrono::milliseconds warmup,
                                           std::chrono::seconds window)
    : warmup_(ToMicros(warmup)), window_(ToMicros(window)), name_(std::move(name)) {
  // Failure only means the first deliveries grow it.
  history_.Reserve(kInitialHistoryCapacity);
}

kaAudioDriftDetector::~kaAudioDriftDetector() { LogStats(); }

kaAudioDriftDetector::History kaAudioDriftDetector::HistoryEntry(size_t index) const {
  if (index >= history_.Size()) return History{0, 0.0};
  return history_.At(index);
}

void kaAudioDriftDetector::SetLogInterval(double seconds) {
  logInterval_ = (std::isfinite(seconds) && seconds > 0.0) ? seconds : 0.0;
}

void kaAudioDriftDetector::SetSampleRateForTesting(int hz) { sampleRate_ = hz; }

double kaAudioDriftDetector::SmallestLevel() const {
  double smallest = 0.0;
  for (size_t i = 0; i < history_.Size(); ++i) {
    const double level = history_.At(i).level;
    if (i == 0 || std::fabs(level) < std::fabs(smallest)) smallest = level;
  }
  return smallest;
}

void kaAudioDriftDetector::Append(int64_t now, double level) {
  const History entry{now, level};
  if (!history_.PushBack(entry)) {
    if (history_.Empty()) return;  // nothing can be kept
    levelSum_ -= history_.Front().level;
    history_.PopFront();
    history_.PushBack(entry);  // room was just made
  }
  levelSum_ += level;
}

void kaAudioDriftDetector::LogStats() {
  if (sampleRate_ == 0) return;
  const double elapsed = Difference(lastTime_, firstTime_) / kMicrosPerSecond;
  if (!(elapsed > 0.0)) return;  // nothing measured yet

  const int minutes = TruncateToInt(elapsed / 60.0);
  const int seconds = TruncateToInt(elapsed - static_cast<double>(minutes) * 60.0);
  const double buffersPerSecond = static_cast<double>(deliveryCount_) / elapsed;
  const double count = static_cast<double>(history_.Size());
  // The average of an empty history is not a number, printed as such.
  const double average = history_.Empty() ? std::numeric_limits<double>::quiet_NaN() : levelSum_ / count;
  const int rate = TruncateToInt(static_cast<double>(samplesReceived_) / elapsed + 0.5);
  zTraceManager::Default().TraceNote(
      "Drift '%s' %d'%02d\" : buff/s=%1.2f max(min)=%1.2f min=%1.2f adj=%lld avg=%1.2f rate=%d\n", name_.c_str(),
      minutes, seconds, buffersPerSecond, maxMinLevel_, SmallestLevel(), static_cast<long long>(totalAdjustment_),
      average, rate);
}

void kaAudioDriftDetector::ResetMeasurement(const char* reason) {
  LogStats();
  zTraceManager::Default().TraceNote("Drift '%s' RESET [%s]\n", name_.c_str(), reason ? reason : "");
  measuring_ = false;
}

int kaAudioDriftDetector::DriftCorrect(int frames, long long now) {
  if (frames < 0) return 0;

  // The detector measures against the nominal rate only: any other rate
  // starts the measurement again.
  if (sampleRate_ != kNominalRateHz) {
    ResetMeasurement("Sample Rate Change");
    sampleRate_ = kNominalRateHz;
  }

  // A new measurement forgets the history; lastTime_ keeps its value so the
  // renderer can still tell how long ago audio last came.
  if (!measuring_) {
    history_.Clear();
    levelSum_ = 0.0;
    measureStart_ = SaturatingAdd(now, warmup_);
    firstTime_ = 0;
    samplesReceived_ = 0;
    measuring_ = true;
    nextLogTime_ = 0.0;
    maxMinLevel_ = 0.0;
    deliveryCount_ = 0;
    totalAdjustment_ = 0;
  }

  // Deliveries inside the warm-up are neither measured nor counted: a
  // source's first blocks come in bursts that say nothing of its clock.
  if (!(measureStart_ > now)) {
    if (deliveryCount_ == 0) firstTime_ = now;
    lastTime_ = now;
    ++deliveryCount_;
    const double elapsed = Difference(now, firstTime_) / kMicrosPerSecond;
    const double received = static_cast<double>(samplesReceived_);  // earlier deliveries only

    if (logInterval_ > 0.0 && elapsed > nextLogTime_) {
      LogStats();
      nextLogTime_ = logInterval_ + elapsed;
    }

    if (firstTime_ < now) {  // the first measured delivery records no level
      double level = elapsed * kNominalRate - received;
      if (std::fabs(level) < kDeadBandFrames) level = 0.0;

      // A level that flips sign against the newest non-zero one is taken as
      // jitter and recorded as 0.
      if (level != 0.0 && history_.Size() >= 2) {
        const double newest = history_.Back().level;
        if (newest != 0.0 && (level > 0.0) != (newest > 0.0)) level = 0.0;
      }

      while (history_.Size() >= 2 && Span(history_.Back().time, history_.Front().time) >= window_) {
        levelSum_ -= history_.Front().level;
        history_.PopFront();
      }

      Append(now, level);
    }

    // Counted after the level, which compares time with the frames that
    // came before this block.
    samplesReceived_ = SaturatingAdd(samplesReceived_, frames);
  }

  // Nothing is corrected until the history spans a whole window.
  const int64_t span = history_.Size() >= 2 ? Span(history_.Back().time, history_.Front().time) : 0;
  if (span < window_ || history_.Empty()) return 0;

  const double drift = SmallestLevel();
  if (std::fabs(drift) > std::fabs(maxMinLevel_)) maxMinLevel_ = drift;

  const double average = levelSum_ / static_cast<double>(history_.Size());
  double adjustment = 0.0;
  if (std::fabs(drift) > kSlowThresholdFrames && std::fabs(average) > kSlowThresholdFrames) {
    adjustment = drift > 0.0 ? 1.0 : -1.0;
  }
  if (std::fabs(drift) > kResetThresholdFrames) {
    adjustment = std::trunc(drift > 0.0 ? drift - kResetOffsetFrames : drift + kResetOffsetFrames);
  }
  if (adjustment == 0.0) return 0;

  if (std::fabs(adjustment) > kMaxAdjustmentFrames) {
    // Formatted on the stack: a reset allocates nothing.
    char reason[64];
    std::snprintf(reason, sizeof reason, "Over max adjustment %.0f", adjustment);
    ResetMeasurement(reason);
    return 0;
  }

  // The whole history moves by the adjustment, so the next evaluations see
  // the corrected level rather than correcting it again.
  const int applied = static_cast<int>(adjustment);  // -20 ... 20 here
  for (size_t i = 0; i < history_.Size(); ++i) {
    history_.At(i).level -= applied;
    levelSum_ -= applied;
  }
  samplesReceived_ = SaturatingAdd(samplesReceived_, applied);
  totalAdjustment_ = SaturatingAdd(totalAdjustment_, applied);
  return applied;
}
