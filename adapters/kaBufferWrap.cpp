// The wrap operations of kaBuffer2 and kaBufferGroup2: they live with the
// adapters they make, so the buffers subsystem does not depend on the media
// framework beyond forward declarations.
#include "adapters/kaBufferGraphicsSurface.h"
#include "adapters/kaBufferGroupGraphicsContext.h"
#include "adapters/kaBufferPixelDataReference.h"
#include "buffers/kaBuffer2.h"
#include "buffers/kaBufferGroup2.h"

bool kaBuffer2::WrapInVelPixelDataReference(Corvane::Vel::CPixelDataReference*& out) {
  kaBufferPixelDataReference* const adapter = kaBufferPixelDataReference::Create(this);
  if (adapter == nullptr) return false;
  out = adapter;
  return true;
}

bool kaBuffer2::WrapInVelGraphicsSurface(Corvane::Vel::CGraphicsSurface*& out) {
  kaBufferGraphicsSurface* const adapter = kaBufferGraphicsSurface::Create(this);
  if (adapter == nullptr) return false;
  out = adapter;
  return true;
}

bool kaBufferGroup2::WrapInVelGraphicsContext(Corvane::Vel::CGraphicsContext*& out) {
  kaBufferGroupGraphicsContext* const adapter = kaBufferGroupGraphicsContext::Create(this);
  if (adapter == nullptr) return false;
  out = adapter;
  return true;
}
