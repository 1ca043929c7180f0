#include "vesk/veVelBridge.h"

int VEL_SetAudioSampleData(Corvane::Vel::CAudioSample* sample, void* bytes, int length,
                           bool takeOwnership) {
  if (sample == nullptr) return -1;
  return sample->SetExternalData(bytes, length, takeOwnership).Failed() ? -1 : 0;
}

int VideoPropertiesToMediaRecord(const Corvane::Vel::CVideoProperties* properties, veMediaRecord& record) {
  if (properties == nullptr) return -1;
  record.SetMediaType(veMediaTypeVideo);
  record.SetWidth(properties->GetWidth());
  record.SetHeight(properties->GetHeight());
  record.SetRasterType(properties->GetPixelFormat());
  record.SetBytesPerRow(properties->GetBytesPerRow());
  return 0;
}
