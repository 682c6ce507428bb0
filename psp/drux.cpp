#include "psp/drux.h"

// Not built yet: no DRUX information is found and the start-up check does nothing.
EfiStatus DruxInfoGet(DruxInfo** info) {
  if (info != nullptr) *info = nullptr;
  return EFI_UNSUPPORTED;
}

void DruxHobInfoInit() {}
