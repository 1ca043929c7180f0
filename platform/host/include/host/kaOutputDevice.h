#pragma once
#include <cstdint>

// The host's output device (a screen, a recorder, a stream) for which a render
// graph is evaluated. Filters receive it by reference for the length of one
// render call; the filter manager only passes it on. Owned by the host.
class kaOutputDevice {
 public:
  kaOutputDevice() = default;
  explicit kaOutputDevice(int32_t deviceIndex) : deviceIndex_(deviceIndex) {}
  kaOutputDevice(const kaOutputDevice&) = delete;
  kaOutputDevice& operator=(const kaOutputDevice&) = delete;
  virtual ~kaOutputDevice() = default;

  // The host's number for the device.
  int32_t DeviceIndex() const { return deviceIndex_; }

 private:
  int32_t deviceIndex_ = 0;
};
