#include "platform/timer.h"

#include "platform/hw.h"

uint64_t TscRead() { return hw::Rdtsc(); }
void SpinPause() { hw::Pause(); }
