#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "buffers/_kaCachedBuffer.h"
#include "buffers/kaBuffer2.h"
#include "buffers/kaBufferGroupCache.h"
#include "buffers/kaCacheStatistics.h"
#include "buffers/kaGPUAccessibleBuffer.h"
#include "foundation/kaFoundation.h"

class kaVideoFilterManager;
namespace Corvane::Vel {
class CGraphicsContext;
}  // namespace Corvane::Vel

// The allocator of every media buffer: the host makes one group and hands it
// to each renderer. The group owns the recycling cache (every buffer it hands
// out is a _kaCachedBuffer made by the cache and returned to it by its last
// Release) and the video filter manager; both are made by the constructor and
// never replaced. The group has no lock of its own: any thread may allocate,
// the cache guards its state, and a new buffer is filled outside every lock
// while only its caller holds it. Reference counted; it lives as long as the
// host's reference and those of its renderers. Buffers in use outlive it.
//
// Results: 0 for success, -1 for failure, unless a step passes on the result
// of an inner call. No operation throws an exception of its own; the standard
// library's (std::bad_alloc) pass through. Calls between the group's own
// operations go through the virtual table, so a subclass that overrides
// CreateGPUAccessibleBuffer or allocate_buffer changes every form built on it.
class KASP2_EXPORT kaBufferGroup2 : public xCUnknown {
 public:
  using Cache = kaBufferGroupCache<_kaCachedBuffer>;
  // Receives the buffers that RenderSharedBuffers hands out.
  using BufferConsumer = std::function<void(const std::shared_ptr<kaBuffer2>&)>;
  using SharedBufferRenderer = std::function<void(const BufferConsumer&)>;

  // Makes the filter manager, then the cache (one shared allocation, so that
  // buffers can hold a weak pointer to it). The manager is empty only when
  // memory ran short while making it; allocation does not depend on it.
  kaBufferGroup2();

  // ---- xCUnknown ----------------------------------------------------------
  // QueryInterface answers the foundation's names only.
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;

  // ---- virtual operations, in table order ---------------------------------

  // A GPU-accessible video buffer for `format`, with bytes per row set to the
  // tight value of its width and raster type (any given value is replaced) and
  // storage of row count × bytes per row. On success stores the buffer in
  // *out with one reference for the caller and returns 0. Returns -1 and
  // leaves *out as it was when `out` is null, the format is unusable (unknown
  // raster type, a width or height that gives no row, a size that overflows
  // 32 bits) or no buffer could be made.
  virtual int32_t CreateGPUAccessibleBuffer(const veMediaRecord& format, kaGPUAccessibleBuffer** out);

  // A GPU-accessible buffer for `format` holding a copy of the image at
  // `data`, whose rows are the record's bytes per row apart. `length` is not
  // read: the caller guarantees that `data` holds row count × source row bytes.
  // Returns -1 and leaves *out as it was when the record is not video with a
  // nonzero raster type and a width and height of at least 1, `out` or `data`
  // is null, the source row bytes are smaller than a row's active bytes, or
  // the row count or active bytes are not positive; passes on a nonzero result
  // of CreateGPUAccessibleBuffer (*out as it was); returns -1 with *out as it
  // was when the new buffer cannot be mapped, and -1 with *out null when the
  // mapped image cannot hold the rows or the copy fails. The new buffer goes
  // back to the cache on every failure after it was made.
  virtual int32_t CreateGPUAccessibleBufferFromData(const veMediaRecord& format, const void* data,
                                                    unsigned long length, kaGPUAccessibleBuffer** out);

  // Video memory is ordinary memory here: always an empty pointer; the buffer
  // is left alone.
  virtual std::shared_ptr<kaBuffer2> ConvertBufferToVideoMemoryBuffer(const std::shared_ptr<kaBuffer2>& buffer);

  // The recycling cache's six counters, read under one holding of its lock.
  virtual kaCacheStatistics GetStatistics() const;

  // Calls `render` once with a consumer that ignores every buffer it is
  // given; an empty `render` throws std::bad_function_call.
  virtual void RenderSharedBuffers(const SharedBufferRenderer& render);

  // A buffer of `size` bytes for `format` (the size of `count` frames of it
  // when `size` is negative). A video record without bytes per row is given
  // the tight value of its width and raster type in the buffer's record (the
  // caller's record is not changed). On success stores the buffer in *out with
  // one reference for the caller and returns 0. `extra` is not read.
  // Returns -1 when `out` is null (nothing stored); otherwise *out is set to
  // null first and -1 returned when the size is 0 (given, or computed for an
  // unusable format or a count below 1), the video bytes per row cannot be
  // computed (unknown raster type, negative width, overflow), or no buffer
  // could be made. A cache hit allocates nothing.
  virtual int32_t allocate_buffer(const veMediaRecord& format, int size, int count, int extra, kaBuffer2** out);

  // ---- non-virtual ------------------------------------------------------------

  // allocate_buffer with the size of `count` frames / with the size given.
  int32_t CreateBuffer(const veMediaRecord& format, int count, int extra, kaBuffer2** out);
  int32_t CreateBuffer(const veMediaRecord& format, int size, int count, int extra, kaBuffer2** out);

  // A "vido" buffer of the given width, height and raster type through
  // CreateGPUAccessibleBuffer; the pointer owns the caller's reference. Empty
  // on failure.
  std::shared_ptr<kaGPUAccessibleBuffer> CreateGPUAccessibleBuffer(int width, int height, int rasterType);
  // Empties `out`, then CreateGPUAccessibleBuffer: a nonzero result is
  // returned unchanged with `out` empty; on success `out` owns the reference
  // and the result is 0 (-1, `out` empty, when the pointer cannot be made).
  int32_t CreateGPUAccessibleBuffer(const veMediaRecord& format, std::shared_ptr<kaGPUAccessibleBuffer>& out);

  // A GPU-accessible buffer for `format` filled with black (see below),
  // stored in *out with one reference for the caller; returns 0.
  //  - "2vuy": in each row, width/2 words of bytes 80 00 80 00;
  //  - "yuvs": in each row, width/2 words of bytes 00 80 00 80;
  //  - "RGBA", "rgba": with `clear`, row bytes × height zero bytes; else in
  //    each row, width words of bytes 00 00 00 FF (opaque black);
  //  - any other raster type: row bytes × height zero bytes.
  // Rows start the mapped row bytes apart; the bytes of a row past its last
  // word are not written.
  // Returns -1 and stores nothing when `out` is null. Otherwise *out is set to
  // null first; returns -1 for an odd width with a YUV raster type (no buffer
  // made), passes on a nonzero result of CreateGPUAccessibleBuffer, and
  // returns -1 when the buffer cannot be mapped or the fill would not fit in
  // its storage (the buffer goes back to the cache).
  int32_t CreateBlankGPUAccessibleBuffer(const veMediaRecord& format, bool clear, kaGPUAccessibleBuffer** out);
  // The form above; a nonzero result is returned unchanged and `out` left
  // alone; on success `out` owns the reference and the result is 0.
  int32_t CreateBlankGPUAccessibleBuffer(const veMediaRecord& format, bool clear,
                                         std::shared_ptr<kaGPUAccessibleBuffer>& out);

  // An "rgb " buffer of `width` × `height` (allocate_buffer, one frame) whose
  // first `width` pixels of each row hold the 32-bit word `colour` (stored in
  // native byte order), or whose rows are all zero when `colour` is 0; it has
  // "vidI" true and display size `width` × `height` (flags 0). The caller owns
  // the one reference. Null when no buffer can be made, its bytes per row is
  // 0, or the pixels would not fit in its rows or storage.
  kaBuffer2* CreateColoredBuffer(int width, int height, unsigned int colour);

  // An "audo" buffer holding a copy of `byteCount` bytes at `data`: format
  // `format`, `channels` channels at `sampleRate` Hz, `byteCount` / frame bytes
  // frames, its record carrying `range` as time keys and its own time range
  // set to `range`. Empty when `data` is null, `byteCount` is not positive or
  // not a whole number of frames, the format is unknown, `channels` is outside
  // 1 … 255 (the sample-size function takes an 8-bit count, which would turn
  // -1 into 255), `sampleRate` is not positive, or no buffer with room for
  // the bytes can be made. A cache hit allocates nothing: the record is built
  // in a per-thread one that keeps its storage from block to block.
  std::shared_ptr<kaBuffer2> MakeAudioBuffer(void* data, int byteCount, int format, int sampleRate, int channels,
                                             const veTimeRange& range);

  // A shared copy of the group's filter manager (empty only when it could not
  // be made).
  std::shared_ptr<kaVideoFilterManager> VideoFilterManager();

  // A media-framework graphics context over this group (adapters/): surfaces
  // it makes are buffers from this group. Stores the new context in `out`
  // with one framework reference for the caller (given up with the
  // framework's Release), the context holding a reference to the group, and
  // returns true; returns false with `out` untouched when the framework
  // cannot make the object.
  bool WrapInVelGraphicsContext(Corvane::Vel::CGraphicsContext*& out);

  // ---- statistics and diagnostics -----------------------------------------------

  // Writes a fixed-width table of the labelled snapshots to the trace log at
  // the level "note", one message per line: border, header, border, one row
  // per pair in order, border. A null label shows as an empty one. Should
  // hits + misses overflow 64 bits, the hit share is taken over the true
  // (double) sum rather than the wrapped one, so it never exceeds 100%. A line
  // that cannot be formatted is replaced by "zTrace '<reason>'\n" (or "zTrace
  // Unknown Assertion\n") and the report goes on. Takes no lock: take the
  // snapshots first.
  static void TraceBufferStatistics(const std::vector<std::pair<const char*, kaCacheStatistics>>& groups);
  // Idle buffers of the first bucket that a request for (`format`, `size`)
  // would use; -1 when there is none. Under the cache's lock.
  long Debug_CountOfCachedBuffers(const veMediaRecord& format, unsigned long size);
  // Destroys the idle buffers that went back to the cache before `cutoff` and
  // drops the buckets left empty. Under the cache's lock.
  void Debug_RecycleBuffersWithAge(std::chrono::steady_clock::time_point cutoff);

 protected:
  // Drops the filter manager, then the cache (idle buffers die with it).
  ~kaBufferGroup2() override;

 private:
  // Never replaced after construction; read without a lock.
  std::shared_ptr<Cache> cache;
  std::shared_ptr<kaVideoFilterManager> videoFilterManager;
};
