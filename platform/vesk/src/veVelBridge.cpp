#include "vesk/veVelBridge.h"

int VEL_SetAudioSampleData(Corvane::Vel::CAudioSample* sample, void* bytes, int length,
                           bool takeOwnership) {
  if (sample == nullptr) return -1;
  return sample->SetExternalData(bytes, length, takeOwnership).Failed() ? -1 : 0;
}
