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

// The library's media buffer: a reference-counted format description (the
// veMediaRecord base comes first, so a kaBuffer2* is a veMediaRecord*) and the
// bytes it describes. Owns its storage and its recycle functions. No lock:
// any thread may release it, and whoever writes its record or bytes must be
// its only user. Only the dirtied time is atomic, because a renderer stamps a
// shown frame while hosts that keep it may read it. Made with new (or
// zNewSharedPtr); the last Release hands it to the recycle functions, which
// may take it back instead of letting it be destroyed.
class KASP2_EXPORT kaBuffer2 : public veMediaRecord, public xCUnknown {
 public:
  // A recycle function's answer; any nonzero value counts as Recycled.
  enum RecycleResult : int32_t { Destroy = 0, Recycled = 1 };

  // One plane of a video image inside `storage`.
  struct Plane {
    unsigned char* data = nullptr;
    int32_t rowBytes = 0;
  };
  // Entries 0 to count - 1 are set; the others stay null with row bytes 0.
  struct Planes {
    int32_t count = 0;
    Plane plane[3];
  };

  using RecycleFunction = std::function<RecycleResult()>;
  using PreRecycleFunction = std::function<void()>;
  using PlanesFunction = std::function<void(const Planes&)>;

  // Empty record and time range, no storage, dirtied time -1, no recycle
  // functions; the second form sets the media type.
  kaBuffer2();
  explicit kaBuffer2(veMediaType type);

  // ---- virtual operations: plug-ins built against the library call these
  // through the table, so their order never changes --------------------------
  int32_t QueryInterface(const char* name, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;
  // Null while no storage is allocated.
  virtual unsigned char* GetStorage();
  virtual const unsigned char* GetStorage() const;
  // Replaces the storage with `size` bytes (old contents not kept) and
  // returns 0. Returns -1 and keeps the old storage for a negative size or
  // when memory is short.
  virtual int32_t AllocateStorage(int size);
  // Where the planes of the image that the record describes lie in the
  // storage; a packed raster type is one plane with the record's bytes per
  // row as stored. A plane without rows is counted but null. Returns count 0
  // when a planar layout does not fit the storage: no pointer outside it is
  // ever handed out.
  virtual Planes GetPlanarStorage();
  // Calls `function` with GetPlanarStorage() on this thread and returns true;
  // nothing is locked, copied or marked (the read-only form differs only in
  // name). `function` must not be empty (std::bad_function_call).
  virtual bool MapPlanarStorage(const PlanesFunction& function);
  virtual bool MapPlanarStorageReadOnly(const PlanesFunction& function);
  virtual uint32_t StorageSize() const;
  // When the content last changed, in zTime::MicroNow() microseconds; -1
  // when never stamped. The cache stamps a buffer as it comes back, the video
  // renderer at the first cue that shows it. Safe to read while another
  // thread stamps it.
  virtual int64_t DirtiedTime() const;
  virtual void SetDirtiedTime(long long time);
  virtual void SetBufferIsUpsideDown(bool upsideDown);
  // Runs on the releasing thread when the count reaches zero: the
  // pre-recycle function, then the recycle function, which either takes the
  // object (PrepareForReuse runs, the object lives on) or answers Destroy;
  // without a recycle function the object is deleted. The pre-recycle
  // function runs once per return to zero, and the object is never deleted
  // while an earlier return's functions are still running.
  void DeleteObject() override;
  // Subclass hook after a recycle function took the object. A new owner may
  // already be using it, so it must change nothing that owner sees.
  virtual void PrepareForReuse();

  // ---- non-virtual ------------------------------------------------------
  bool BufferIsUpsideDown() const { return bufferIsUpsideDown; }

  // The media's time range, kept in the buffer beside the record; the
  // record's own time keys ("tmsc", "mtim", "dura") are not touched.
  const veTimeRange& GetBufferTimeRange() const { return timeRange; }
  void SetBufferTimeRange(const veTimeRange& range) { timeRange = range; }

  // Display size, in the record under veKeyDisplayWidth/Height (flag 2); 0
  // when never set. The setters are const because holders of a const buffer
  // stamp it; a buffer is never a const object, so the write is defined.
  void SetDisplayWidth(int width) const;
  void SetDisplayHeight(int height) const;
  int GetDisplayWidth() const;
  int GetDisplayHeight() const;
  // Display size floor(width × ratio) (single precision; NaN gives 0, a
  // value beyond 32 bits saturates) by `height`.
  void SetPixelAspectCorrectedDimensions(int width, int height, float ratio) const;

  // Copies the image the record describes from `source` (rows
  // `sourceRowBytes` apart; the caller guarantees they are all there) into
  // the storage, rows the record's bytes per row apart.
  // Writes nothing when the record is no usable video format, either row
  // pitch is shorter than a row, or the rows would not fit the storage.
  void CopyImageFrom(void* source, int sourceRowBytes);

  // Stores in `out` a new media-framework adapter over this buffer (no pixel
  // copied) that holds a reference to it; the caller owns one framework
  // reference. Returns false with `out` untouched when the framework cannot
  // make the object.
  bool WrapInVelPixelDataReference(Corvane::Vel::CPixelDataReference*& out);
  bool WrapInVelGraphicsSurface(Corvane::Vel::CGraphicsSurface*& out);

  // The recycling cache owns the recycle function; the pre-recycle function
  // is the host's. A pre-recycle function may run under the cache's lock, so
  // it must not call into the cache or the buffer group.
  void SetRecycleLambda(const RecycleFunction& function) { recycleFunction = function; }
  void SetPreRecycleLambda(const PreRecycleFunction& function) { preRecycleFunction = function; }

 protected:
  ~kaBuffer2() override;

  // Plug-in subclasses are built against this layout: the order is fixed.
  zBuffer storage{0, 0};
  std::atomic<int64_t> dirtiedTime{-1};
  bool bufferIsUpsideDown = false;
  veTimeRange timeRange{};
  RecycleFunction recycleFunction;
  PreRecycleFunction preRecycleFunction;

 private:
  template <class BufferT>
  friend class kaBufferGroupCache;

  // One pass of the recycle functions; true when the object was deleted.
  bool RunReturnToZero();

  // Which releasing thread runs the recycle functions (see DeleteObject).
  enum ReturnState : uint32_t { kNoPass = 0, kPassRunning = 1, kZeroHandedOver = 2 };
  std::atomic<uint32_t> returnState_{kNoPass};
};
