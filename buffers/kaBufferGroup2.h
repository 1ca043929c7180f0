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
// to each renderer. Owns the recycling cache (every buffer it hands out is a
// _kaCachedBuffer that goes back there on its last Release) and the video
// filter manager, both made once and never replaced. No lock of its own: any
// thread may allocate, the cache guards itself, and a new buffer is filled
// while only its caller holds it. Reference counted; buffers in use outlive it.
// Results are 0 or -1 unless an inner call's result is passed on. The group's
// operations call each other through the table, so a subclass's
// CreateGPUAccessibleBuffer or allocate_buffer applies to every form.
class KASP2_EXPORT kaBufferGroup2 : public xCUnknown {
 public:
  using Cache = kaBufferGroupCache<_kaCachedBuffer>;
  // Receives the buffers that RenderSharedBuffers hands out.
  using BufferConsumer = std::function<void(const std::shared_ptr<kaBuffer2>&)>;
  using SharedBufferRenderer = std::function<void(const BufferConsumer&)>;

  // The filter manager is empty only when memory ran short making it;
  // allocation does not depend on it.
  kaBufferGroup2();

  // ---- xCUnknown (the foundation's interface names only) ------------------
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;

  // ---- virtual operations: plug-ins call them through the table, so their
  // order never changes ------------------------------------------------------

  // Stores in *out a GPU-accessible buffer for `format` with tight rows (any
  // given bytes per row is replaced), one reference for the caller; returns 0.
  // Returns -1, *out as it was, for a null `out`, an unusable format or memory short.
  virtual int32_t CreateGPUAccessibleBuffer(const veMediaRecord& format, kaGPUAccessibleBuffer** out);

  // As above, holding a copy of the image at `data`, whose rows are the
  // record's bytes per row apart. `length` is not read: the caller
  // guarantees that `data` holds every row.
  // Returns -1, *out as it was, for null arguments, no usable video format,
  // source rows shorter than an image row, or a new buffer that cannot be mapped.
  // Passes on a failure of CreateGPUAccessibleBuffer, *out as it was.
  // Returns -1 with *out null when the mapping cannot hold the rows or the copy fails.
  virtual int32_t CreateGPUAccessibleBufferFromData(const veMediaRecord& format, const void* data,
                                                    unsigned long length, kaGPUAccessibleBuffer** out);

  // Video memory is ordinary memory here: always empty, `buffer` untouched.
  virtual std::shared_ptr<kaBuffer2> ConvertBufferToVideoMemoryBuffer(const std::shared_ptr<kaBuffer2>& buffer);

  // One consistent snapshot of the recycling cache's counters.
  virtual kaCacheStatistics GetStatistics() const;

  // Calls `render` once with a consumer that ignores every buffer; `render`
  // must not be empty (std::bad_function_call).
  virtual void RenderSharedBuffers(const SharedBufferRenderer& render);

  // Stores in *out a buffer of `size` bytes for `format` (`count` frames of
  // it when `size` is negative), one reference for the caller; returns 0. A
  // video record without bytes per row gets tight rows in the buffer's copy.
  // `extra` is not read. A cache hit allocates nothing.
  // Returns -1 and stores nothing when `out` is null.
  // Returns -1 with *out null for a size of 0, an unusable format or memory short.
  virtual int32_t allocate_buffer(const veMediaRecord& format, int size, int count, int extra, kaBuffer2** out);

  // ---- non-virtual ------------------------------------------------------------

  // allocate_buffer for `count` frames, or for `size` bytes.
  int32_t CreateBuffer(const veMediaRecord& format, int count, int extra, kaBuffer2** out);
  int32_t CreateBuffer(const veMediaRecord& format, int size, int count, int extra, kaBuffer2** out);

  // A video buffer of that size and raster type (CreateGPUAccessibleBuffer);
  // the pointer owns the caller's reference. Empty on failure.
  std::shared_ptr<kaGPUAccessibleBuffer> CreateGPUAccessibleBuffer(int width, int height, int rasterType);
  // CreateGPUAccessibleBuffer into `out`, which owns the reference; returns 0.
  // Returns its failure, or -1 when the pointer cannot be made, with `out` empty.
  int32_t CreateGPUAccessibleBuffer(const veMediaRecord& format, std::shared_ptr<kaGPUAccessibleBuffer>& out);

  // Stores in *out a GPU-accessible buffer for `format` filled with black, one
  // reference for the caller; returns 0. Black is the YUV pattern for 2vuy and
  // yuvs, opaque for RGBA and rgba (all zero with `clear`), else zero bytes.
  // Returns -1 and stores nothing when `out` is null.
  // Returns -1 with *out null for an odd width with a YUV raster type, or a
  // buffer that cannot be mapped or filled.
  // Passes on a failure of CreateGPUAccessibleBuffer, *out null.
  int32_t CreateBlankGPUAccessibleBuffer(const veMediaRecord& format, bool clear, kaGPUAccessibleBuffer** out);
  // The same into `out`, which owns the reference.
  // Returns the failure with `out` untouched.
  int32_t CreateBlankGPUAccessibleBuffer(const veMediaRecord& format, bool clear,
                                         std::shared_ptr<kaGPUAccessibleBuffer>& out);

  // An "rgb " buffer of `width` × `height` whose pixels are the native-order
  // word `colour` (all row bytes zero for 0), with "vidI" true and that
  // display size; the caller owns the one reference.
  // Returns null when no buffer can be made or the pixels would not fit in it.
  kaBuffer2* CreateColoredBuffer(int width, int height, unsigned int colour);

  // An audio buffer holding a copy of `byteCount` bytes at `data` in
  // `format`, `channels` channels at `sampleRate` Hz, with `range` both as
  // the record's time keys and as its time range. A cache hit allocates
  // nothing.
  // Returns empty for null `data`, a size that is not whole frames, an unknown
  // format, channels outside 1 … 255, a rate below 1, or memory short.
  std::shared_ptr<kaBuffer2> MakeAudioBuffer(void* data, int byteCount, int format, int sampleRate, int channels,
                                             const veTimeRange& range);

  // Caps the storage bytes that the group's idle buffers may hold together;
  // 0 (the default) means no cap. Past the cap the longest-idle buffers of
  // any format are destroyed first, at once and on every return, and counted
  // in the statistics (evictedForCap, evictedBytesForCap). Any thread.
  void SetMaxIdleBytes(uint64_t bytes);

  // The group's filter manager; empty only when it could not be made.
  std::shared_ptr<kaVideoFilterManager> VideoFilterManager();

  // Stores in `out` a new media-framework graphics context whose surfaces
  // are buffers of this group; it holds a reference to the group, the caller
  // owns one framework reference. Returns false with `out` untouched when the
  // framework cannot make the object.
  bool WrapInVelGraphicsContext(Corvane::Vel::CGraphicsContext*& out);

  // ---- statistics and diagnostics -----------------------------------------------

  // Writes the labelled snapshots as a table to the trace log (level note),
  // one message per line, in the order given; a null label prints empty. A
  // line that cannot be formatted becomes a "zTrace '<reason>'" note and the
  // table goes on. Takes no lock: take the snapshots first.
  static void TraceBufferStatistics(const std::vector<std::pair<const char*, kaCacheStatistics>>& groups);
  // Idle buffers in the bucket a request for (`format`, `size`) would use;
  // -1 when there is none.
  long Debug_CountOfCachedBuffers(const veMediaRecord& format, unsigned long size);
  // Destroys the idle buffers that came back before `cutoff`.
  void Debug_RecycleBuffersWithAge(std::chrono::steady_clock::time_point cutoff);

 protected:
  // Idle buffers die with the cache; buffers in use come back to nothing
  // and are destroyed by their last Release.
  ~kaBufferGroup2() override;

 private:
  // Never replaced after construction; read without a lock.
  std::shared_ptr<Cache> cache;
  std::shared_ptr<kaVideoFilterManager> videoFilterManager;
};
