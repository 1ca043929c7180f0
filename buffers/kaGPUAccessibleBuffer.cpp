#include "buffers/kaGPUAccessibleBuffer.h"

#include <cstring>
#include <functional>
#include <limits>

namespace {

int32_t Saturate32(int64_t value) {
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// True when `p` lies in [begin, begin + size). Compared as addresses, since
// the mapping may point anywhere.
bool PointsInto(const unsigned char* p, const unsigned char* begin, uint32_t size) {
  if (!p || !begin) return false;
  const auto address = reinterpret_cast<uintptr_t>(p);
  const auto start = reinterpret_cast<uintptr_t>(begin);
  return address >= start && address - start < size;
}

}  // namespace

kaGPUAccessibleBuffer::kaGPUAccessibleBuffer() = default;

kaGPUAccessibleBuffer::~kaGPUAccessibleBuffer() = default;

int32_t kaGPUAccessibleBuffer::QueryInterface(const char* name, void** out) {
  return Concrete_QueryInterface(name, out);
}

int32_t kaGPUAccessibleBuffer::AddRef() { return xCUnknown::Concrete_AddRef(); }

int32_t kaGPUAccessibleBuffer::Release() { return xCUnknown::Concrete_Release(); }

char* kaGPUAccessibleBuffer::CopySubImage(char* destination, int& x, int& y, int& width, int& height) {
  if (!destination) return nullptr;
  const int32_t imageWidth = Width();
  const int32_t imageHeight = Height();

  // The part of the rectangle left of or above the image is cut off first;
  // the sums saturate to 32 bits rather than wrap.
  if (x < 0) {
    width = Saturate32(static_cast<int64_t>(width) + x);
    x = 0;
  }
  if (y < 0) {
    height = Saturate32(static_cast<int64_t>(height) + y);
    y = 0;
  }
  // No pixel of the image lies in it. The cuts above stay in the caller's
  // variables.
  if (x >= imageWidth || y >= imageHeight) return nullptr;
  // Here 0 <= x < imageWidth and 0 <= y < imageHeight: cut to the right and
  // bottom edges.
  if (static_cast<int64_t>(x) + width > imageWidth) width = imageWidth - x;
  if (static_cast<int64_t>(y) + height > imageHeight) height = imageHeight - y;

  // Through the interface's table, so a subclass's mapping is the one used.
  kaXIGPUAccessibleBuffer* const mappable = this;
  const Mapping mapping = mappable->Map(kMapForReading);
  const int32_t pixelBytes = veRasterType::BitsPerPixel(RasterType()) / 8;
  // A failed mapping writes one pixel of 0xFF bytes, the caller's sign that
  // nothing was copied; nothing was mapped, so there is no Unmap.
  if (!mapping.data || mapping.rowBytes < 1) {
    if (pixelBytes > 0) std::memset(destination, 0xFF, static_cast<size_t>(pixelBytes));
    return destination;
  }

  const int64_t lineBytes = static_cast<int64_t>(pixelBytes) * width;
  if (width > 0 && height > 0 && lineBytes > 0 && lineBytes <= std::numeric_limits<int32_t>::max()) {
    const int64_t rowBytes = mapping.rowBytes;
    const int64_t firstByte = y * rowBytes + static_cast<int64_t>(x) * pixelBytes;
    const int64_t endByte = (static_cast<int64_t>(y) + height - 1) * rowBytes +
                            (static_cast<int64_t>(x) + width) * pixelBytes;
    // How far the mapped image reaches from mapping.data: to the end of the
    // buffer's own storage when the mapping points into it, else the image's
    // rows of the mapping. Rows that would leave it are not copied at all.
    int64_t mappedBytes = static_cast<int64_t>(imageHeight) * rowBytes;
    const unsigned char* const own = GetStorage();
    if (PointsInto(mapping.data, own, StorageSize())) {
      mappedBytes = static_cast<int64_t>(StorageSize()) -
                    static_cast<int64_t>(reinterpret_cast<uintptr_t>(mapping.data) - reinterpret_cast<uintptr_t>(own));
    }
    if (endByte <= mappedBytes) {
      zCopyImage(mapping.data + firstByte, mapping.rowBytes, destination, static_cast<int32_t>(lineBytes),
                 static_cast<int32_t>(lineBytes), height);
    }
  }
  mappable->Unmap();
  return destination;
}

int32_t kaGPUAccessibleBuffer::Concrete_QueryInterface(const char* name, void** out) {
  if (!name) return xCUnknown::Concrete_QueryInterface(name, out);
  void* subObject = nullptr;
  if (CompareInterfaceName(name, "kaXIGPUAccessibleBuffer")) {
    subObject = static_cast<kaXIGPUAccessibleBuffer*>(this);
  } else if (CompareInterfaceName(name, "kaXIVideoBuffer")) {
    subObject = static_cast<kaXIVideoBuffer*>(this);
  } else {
    return xCUnknown::Concrete_QueryInterface(name, out);
  }
  if (!out) return 0;
  *out = subObject;
  xCUnknown::Concrete_AddRef();
  return 0;
}
