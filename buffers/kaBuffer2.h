#pragma once
#include <atomic>
#include <cstdint>
#include <functional>

#include "foundation/kaFoundation.h"

template <class BufferT>
class kaBufferGroupCache;
namespace Corvane::Vel {
class CPixelDataReference;
class CGraphicsSurface;
}  // namespace Corvane::Vel

// The library's media buffer: one reference-counted object that is both the
// format description of some media (its veMediaRecord base, placed first so
// that a kaBuffer2* is also a valid veMediaRecord*) and the bytes of that
// media (`storage`). It owns its storage and both recycle functions. It has
// no lock: any thread may release it, and the caller that writes its record
// or its bytes must own it. The one exception is the dirtied time, an atomic:
// the renderer that shows a frame stamps it with the cue time while hosts
// that keep the frame may be reading it. Objects are made with new (or
// zNewSharedPtr) and destroyed only by their last Release.
//
// When the count reaches zero DeleteObject runs the recycle protocol on the
// releasing thread: the pre-recycle function, then the recycle function,
// which may take the object back (the recycling cache does) instead of
// letting it be destroyed.
class KASP2_EXPORT kaBuffer2 : public veMediaRecord, public xCUnknown {
 public:
  // What a recycle function answers. Any nonzero value counts as Recycled.
  enum RecycleResult : int32_t { Destroy = 0, Recycled = 1 };

  // One plane of a video image inside `storage`.
  struct Plane {
    unsigned char* data = nullptr;
    int32_t rowBytes = 0;
  };
  // Where the planes of a video image lie. Entries 0 to count - 1 are set;
  // the others stay null with row bytes 0.
  struct Planes {
    int32_t count = 0;
    Plane plane[3];
  };

  using RecycleFunction = std::function<RecycleResult()>;
  using PreRecycleFunction = std::function<void()>;
  using PlanesFunction = std::function<void(const Planes&)>;

  // Every fixed field empty, no storage, dirtied time -1, not upside down,
  // an all-zero time range and no recycle functions.
  kaBuffer2();
  // The same with the media type set.
  explicit kaBuffer2(veMediaType type);

  // ---- virtual operations, in table order -------------------------------
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;
  // The data pointer of `storage`; null while nothing is allocated.
  virtual unsigned char* GetStorage();
  virtual const unsigned char* GetStorage() const;
  // Resizes `storage` to `size` bytes (old contents discarded, new bytes
  // zero) and returns zBuffer::ResizeTo's result: 0 on success; -1 for a
  // negative size or when memory is short, leaving the storage as it was.
  virtual int32_t AllocateStorage(int size);
  // The planes of the image held in `storage` as the record describes it:
  //  - a packed (non-planar) raster type gives one plane (storage, the
  //    record's bytes per row as stored, even 0 or negative);
  //  - "I420"/"YV12" give 3 planes (Y at 0 with row bytes W, then two chroma
  //    planes of W/2 row bytes at W·H and W·H + W·H/4), "NV12" 2 planes (Y,
  //    then interleaved chroma at W·H, both W row bytes), "IMC4" 3 planes of
  //    B row bytes (Y, then chroma at H·B and H·B + W/2), "YM16" 3 planes of
  //    B row bytes at 0, W and W + W/2 (W width, H height, B bytes per row);
  //  - any other planar type gives one plane (storage, B).
  // A planar description that does not fit the storage (no storage, negative
  // sizes, or a plane whose rows would reach past StorageSize()) gives count
  // 0: no pointer outside the storage is ever handed out. A plane that holds
  // no row (the chroma planes of a 4:2:0 image one row high) is counted but
  // empty: null data and row bytes 0.
  virtual Planes GetPlanarStorage();
  // Compute GetPlanarStorage() (through the table) and call `function` with
  // the result on this thread; return true. Neither locks, copies nor marks
  // anything; the read-only form differs only in name. An empty `function`
  // throws std::bad_function_call once the planes are computed.
  virtual bool MapPlanarStorage(const PlanesFunction& function);
  virtual bool MapPlanarStorageReadOnly(const PlanesFunction& function);
  virtual uint32_t StorageSize() const;
  // Time stamp of the content in zTime::MicroNow microseconds; -1 when never
  // stamped. The recycling cache stamps a buffer each time it comes back, the
  // video renderer at the first cue that shows it. Atomic: safe to read while
  // another thread stamps it.
  virtual int64_t DirtiedTime() const;
  virtual void SetDirtiedTime(long long time);
  virtual void SetBufferIsUpsideDown(bool upsideDown);
  // Runs when the count reaches zero, on the releasing thread:
  //  1. the pre-recycle function, if set;
  //  2. the recycle function, if set: a nonzero answer means somebody took
  //     the object (PrepareForReuse then runs and the object lives on),
  //     Destroy means it is deleted;
  //  3. with no recycle function the object is deleted.
  // A return to zero that happens while an earlier pass is still running
  // (re-entered from one of the functions, or on another thread that got the
  // object from the taker and released it before this pass finished) is
  // handed to the running pass, which runs the protocol once more when its
  // own pass is over. So the object is never deleted under a running pass,
  // and the pre-recycle function still runs once per return to zero.
  void DeleteObject() override;
  // Hook for subclasses after a recycle function took the object. It may run
  // while a new owner already uses the object: it must not change anything
  // that owner sees. Does nothing here.
  virtual void PrepareForReuse();

  // ---- non-virtual ------------------------------------------------------
  bool BufferIsUpsideDown() const { return bufferIsUpsideDown; }

  // Time range of the media held, kept in the buffer itself. This is not the
  // record's time keys: veMediaRecord::SetTimeRange writes "tmsc"/"mtim"/
  // "dura" entries into the record, these only store the four words.
  const veTimeRange& GetBufferTimeRange() const { return timeRange; }
  void SetBufferTimeRange(const veTimeRange& range) { timeRange = range; }

  // Display size, kept in the record under veKeyDisplayWidth/Height and
  // written with flag 2. Declared const although they write the record's
  // keyed entries (callers holding a const buffer stamp it); a buffer is
  // never a const object, so the write is well defined.
  void SetDisplayWidth(int width) const;
  void SetDisplayHeight(int height) const;
  // 0 for a buffer that never had a display size.
  int GetDisplayWidth() const;
  int GetDisplayHeight() const;
  // Display width = floor(width × ratio) computed in single precision,
  // display height = height; width written first. A product that is not a
  // number writes 0; one beyond the 32-bit range saturates.
  void SetPixelAspectCorrectedDimensions(int width, int height, float ratio) const;

  // Copies a video image from `source` (rows `sourceRowBytes` apart) into
  // `storage`: the record must be video with a nonzero raster type, width
  // and height at least 1; the row count and active bytes come from the
  // raster type; the destination row bytes are the record's bytes per row,
  // or StorageSize() / rows when that is 0. Nothing is written when any of
  // this fails, when the source row bytes or the destination row bytes are
  // smaller than a row's active bytes, or when the rows would not fit in
  // StorageSize(). The caller guarantees that the source holds the rows.
  void CopyImageFrom(void* source, int sourceRowBytes);

  // Media-framework adapters over this buffer (adapters/). Each makes a new
  // adapter that holds a reference to the buffer, stores it in `out` with one
  // framework reference for the caller (given up with the framework's
  // Release) and returns true; returns false with `out` untouched when the
  // framework cannot make the object. No pixel is copied.
  bool WrapInVelPixelDataReference(Corvane::Vel::CPixelDataReference*& out);
  bool WrapInVelGraphicsSurface(Corvane::Vel::CGraphicsSurface*& out);

  // Replace the recycle functions (by copy). The recycling cache assigns and
  // clears the recycle function itself; nothing in this library sets the
  // pre-recycle function. A pre-recycle function must not call into the
  // recycling cache or the buffer group: it may run under the cache's lock.
  void SetRecycleLambda(const RecycleFunction& function) { recycleFunction = function; }
  void SetPreRecycleLambda(const PreRecycleFunction& function) { preRecycleFunction = function; }

 protected:
  // Only the last Release destroys a buffer.
  ~kaBuffer2() override;

  zBuffer storage{0, 0};
  std::atomic<int64_t> dirtiedTime{-1};
  bool bufferIsUpsideDown = false;
  veTimeRange timeRange{};
  RecycleFunction recycleFunction;
  PreRecycleFunction preRecycleFunction;

 private:
  template <class BufferT>
  friend class kaBufferGroupCache;

  // One pass of the recycle protocol. True when the object was deleted.
  bool RunReturnToZero();

  // Who runs the recycle protocol (see DeleteObject).
  enum ReturnState : uint32_t { kNoPass = 0, kPassRunning = 1, kZeroHandedOver = 2 };
  std::atomic<uint32_t> returnState_{kNoPass};
};
