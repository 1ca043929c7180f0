#pragma once
#include <cstdint>

#include "kasp2/kasp2.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

struct SwsContext;

// Turns decoded pictures into video frames from the host's buffer group, in
// a raster type the video renderer takes: "2vuy" (UYVY 4:2:2) or "rgba". A
// picture already in that layout is copied row by row; any other goes
// through libswscale, at the same size. Owns the swscale context, kept while
// the pictures' size and format stay, so steady state allocates nothing of
// its own (the group's cache serves the frames). Not thread-safe: the
// source's decode thread (or the simulated driver) uses it.
class MediaVideoConverter {
 public:
  // `preferredRaster`: "2vuy", "rgba", or 0 to choose from each picture
  // ("rgba" for RGB pictures, "2vuy" for the others).
  explicit MediaVideoConverter(uint32_t preferredRaster = 0);
  ~MediaVideoConverter();
  MediaVideoConverter(const MediaVideoConverter&) = delete;
  MediaVideoConverter& operator=(const MediaVideoConverter&) = delete;

  // The raster type a picture of `format` and `width` becomes: the
  // preference when it is usable ("2vuy" needs an even width, and falls back
  // to "rgba" otherwise), else the automatic choice.
  static uint32_t ChooseRaster(AVPixelFormat format, int32_t width, uint32_t preferredRaster);
  // True when pictures of `format` reach `raster` by a plain copy of rows.
  static bool IsDirect(AVPixelFormat format, uint32_t raster);

  // Makes a frame from `group` holding `picture` and returns it with one
  // reference for the caller; its time range and record are the caller's to
  // set. Null, holding nothing, when the picture has no size or an unknown
  // format, the group gives no buffer or the conversion fails.
  kaBuffer2* Convert(const AVFrame& picture, kaBufferGroup2& group);

  uint64_t CopiedFrames() const { return copied_; }
  uint64_t ScaledFrames() const { return scaled_; }

 private:
  bool Scale(const AVFrame& picture, uint32_t raster, uint8_t* storage, int32_t rowBytes);

  uint32_t preferredRaster_;
  SwsContext* scaler_ = nullptr;
  uint64_t copied_ = 0;
  uint64_t scaled_ = 0;
};
